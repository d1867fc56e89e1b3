// The server's metrics in Prometheus form, one registry per application: requests by model and
// status, prompt and completion tokens, waiting and running rows, decode step time, time to
// first token and request latency.
#pragma once

#include "modules/serve/batcher.hpp"

#include <memory>
#include <string>

namespace vz::serve {

struct Metrics {
    nb::object registry;  // a prometheus_client CollectorRegistry of this application alone
    nb::object requests, prompt_tokens, completion_tokens, first_token, latency;

    // Counts one answered request (any status) for a model name ("" when it named none served).
    void request(const std::string &model, int status);
    // Counts the tokens of a finished row and its timings (steady-clock seconds, 0 when unknown).
    void row(const std::string &model, const Job &job, double now);
    nb::object render();  // the exposition text as bytes
};

// A new Metrics over the scheduler behind `batcher` (its waiting and running rows and step times
// are read when scraped).
nb::object make_metrics(nb::handle batcher);
void register_metrics(nb::module_ &m);

// Seconds on the steady clock, as Job::submitted_at and first_token_at are taken.
double steady_now();

}  // namespace vz::serve
