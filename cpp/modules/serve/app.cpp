// The web application: the pydantic request models (built when the module loads) and the fastapi
// routes.
//
// - /healthz, /v1/models, /v1/models/{id} and /metrics are ASGI endpoints answered on the event
//   loop: they read the engine's names and the scheduler's figures and never wait for the model
//   or for a worker thread, however many generations are running.
// - /v1/chat/completions and /v1/completions are fastapi routes: the framework checks the body
//   against the request model (422 on a wrong type), then the handler, on a worker thread, reads
//   the body as received and checks every field (openai.cpp), submits one row per choice to the
//   application's scheduler and waits for the replies with the GIL released, asking the event
//   loop now and then whether the client is still there. A streamed reply is an iterator of
//   Server-Sent Events that the framework pulls on its worker threads.
// - Every 4xx and 5xx body has OpenAI's shape (http.cpp installs the handlers).
#include "modules/serve/metrics.hpp"
#include "modules/serve/openai.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <string>

namespace vz::serve {
using namespace nb::literals;

namespace {

nb::str pystr(const std::string &s) { return nb::str(s.c_str(), s.size()); }

// What the handlers of one application share.
struct Routes {
    nb::object engine, batcher, metrics, http_exception, streaming_response;
    nb::object created;  // when the application was built: the models' `created`

    Metrics &m() { return nb::cast<Metrics &>(metrics); }
};

nb::dict health(Routes &r) {
    nb::dict out;
    out["status"] = "ok";
    out["vram_allocated"] = vram_bytes();
    out["device"] = r.engine.attr("device");
    out["precision"] = r.engine.attr("cfg").attr("precision");  // what "auto" chose, once loaded
    out["servable"] = r.engine.attr("servable")();
    return out;
}

nb::dict model_entry(Routes &r, nb::handle name) {
    nb::dict entry;
    entry["id"] = name;
    entry["object"] = "model";
    entry["created"] = r.created;
    entry["owned_by"] = "velkor-zuma";
    return entry;
}

nb::dict model_list(Routes &r) {
    nb::list data;
    for (nb::handle name : r.engine.attr("servable")()) data.append(model_entry(r, name));
    nb::dict out;
    out["object"] = "list";
    out["data"] = data;
    return out;
}

// An ASGI endpoint answered on the event loop (no worker thread, no model).
struct LoopEndpoint {
    enum Kind { Health, Models, Model, Prometheus } kind;
    nb::object routes;

    nb::object call(nb::handle scope, nb::handle receive, nb::handle send) {
        Routes &r = nb::cast<Routes &>(routes);
        nb::module_ responses = bind::import("starlette.responses");
        nb::object response;
        if (kind == Health) {
            response = responses.attr("JSONResponse")(health(r));
        } else if (kind == Models) {
            response = responses.attr("JSONResponse")(model_list(r));
        } else if (kind == Model) {
            nb::object id = scope["path_params"]["model_id"];
            nb::object names = r.engine.attr("servable")();
            if (bind::contains(names, id))
                response = responses.attr("JSONResponse")(model_entry(r, id));
            else
                response = error_response(404,
                                          "model '" + bind::text(id) + "' not served. available: " + bind::text(names),
                                          "model", "model_not_found");
        } else {
            response = responses.attr("Response")(
                r.m().render(), "media_type"_a = bind::import("prometheus_client").attr("CONTENT_TYPE_LATEST"));
        }
        return response(scope, receive, send);
    }
};

[[noreturn]] void raise_api(Routes &r, const ApiError &e) {
    nb::dict detail;
    detail["message"] = pystr(e.message);
    detail["param"] = e.param.empty() ? nb::none() : nb::object(pystr(e.param));
    detail["code"] = e.code.empty() ? nb::none() : nb::object(pystr(e.code));
    nb::object headers = nb::none();
    if (e.status == 503) {
        nb::dict h;
        h["Retry-After"] = "1";
        headers = h;
    }
    nb::object exc = r.http_exception("status_code"_a = e.status, "detail"_a = detail, "headers"_a = headers);
    bind::raise(exc.type().ptr(), exc);
}

// Ids unique in this process: the creation second, then a running count.
std::atomic<int64_t> reply_count{0};
nb::str reply_id(const char *prefix, nb::handle created) {
    return pystr(std::string(prefix) + bind::text(created) + "-" + std::to_string(++reply_count));
}

// True once the client behind `request` has gone away. Asked on the event loop from the
// framework's worker thread; any failure to ask counts as still connected.
bool disconnected(nb::handle request) {
    if (!request.is_valid() || request.is_none()) return false;
    try {
        return bind::truthy(bind::import("anyio.from_thread").attr("run")(request.attr("is_disconnected")));
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        return false;
    }
}

// The request body as received (the JSON the framework parsed and cached), read from the worker
// thread through the event loop.
nb::object raw_body(nb::handle request) {
    try {
        return bind::import("anyio.from_thread").attr("run")(request.attr("json"));
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        throw ApiError(400, "the request body is not JSON");
    }
}

// Waits for `ready` on the job, polling the client's connection; a client that went away
// cancels its job, which the scheduler then ends at its next step.
void wait_job(Job &job, nb::handle request, const std::function<bool()> &ready) {
    while (!job.wait_for(ready, 0.25))
        if (!job.cancelled.load() && disconnected(request)) job.cancelled = true;
}

void cancel(const std::vector<std::shared_ptr<Job>> &jobs) {
    for (auto &j : jobs) j->cancelled = true;
}

bool failed(Job &j) { return (j.error.is_valid() && !j.error.is_none()) || j.status != 0; }

// Raises what ended a job without a reply: a refusal as its HTTP status (naming the field its
// message names), or the exception of the generation as it was (the framework answers 500).
[[noreturn]] void raise_failure(Routes &r, Job &job, const std::string &model) {
    if (job.error.is_valid() && !job.error.is_none()) {
        r.m().request(model, 500);
        bind::raise(job.error.type().ptr(), job.error);
    }
    r.m().request(model, job.status);
    raise_api(r, ApiError(job.status, job.message, param_of(job.message)));
}

std::string model_label(Routes &r, nb::handle body) {
    nb::object model = PyDict_Check(body.ptr()) ? nb::borrow<nb::dict>(body).attr("get")("model") : nb::none();
    if (model.is_none() || !PyUnicode_Check(model.ptr())) return "";
    if (!bind::contains(r.engine.attr("servable")(), model)) return "";
    return bind::text(model);
}

nb::dict usage(const std::vector<std::shared_ptr<Job>> &jobs, int64_t n) {
    int64_t prompt = 0, completion = 0;
    for (size_t k = 0; k < jobs.size(); ++k) {
        if ((int64_t) k % n == 0) prompt += jobs[k]->prompt_tokens;  // each input's prompt once
        completion += jobs[k]->completion_tokens;
    }
    nb::dict u;
    u["prompt_tokens"] = prompt;
    u["completion_tokens"] = completion;
    u["total_tokens"] = prompt + completion;
    return u;
}

// The tool_calls of a streamed delta: each call with its index.
nb::list delta_calls(nb::handle calls) {
    nb::list out;
    int64_t i = 0;
    for (nb::handle c : calls) {
        nb::dict d;
        d["index"] = i++;
        d["id"] = c["id"];
        d["type"] = c["type"];
        d["function"] = c["function"];
        out.append(d);
    }
    return out;
}

// The body of a streamed reply: Server-Sent Events in the chunk format of chat completions or
// completions, as the scheduler decodes, one choice per row. Iterated on the framework's worker
// threads; dropping or closing it before the end cancels the generation.
struct EventStream {
    std::vector<std::shared_ptr<Job>> jobs;
    std::shared_ptr<Plan> plan;
    nb::object routes, request, id, created, model;
    std::string label;
    std::vector<int> finished;    // per row: its finish chunk went out
    std::vector<size_t> offsets;  // per row: text sent so far (completion logprobs' text_offset)
    std::deque<nb::object> ready;
    int phase = 0;  // 0: opening chunks, 1: rows running, 2: tail, 3: over
    bool broken = false;

    EventStream() = default;
    EventStream(const EventStream &) = delete;
    EventStream &operator=(const EventStream &) = delete;
    EventStream(EventStream &&) = default;
    ~EventStream() { close(); }

    void close() { cancel(jobs); }

    bool buffered() const { return !plan->completions && plan->tool_mode != ToolMode::Off; }

    static nb::str data(nb::handle payload) { return pystr("data: " + json_text(payload) + "\n\n"); }

    void chunk(nb::list choices, bool with_usage_null = true) {
        nb::dict c;
        c["id"] = id;
        c["object"] = plan->completions ? "text_completion" : "chat.completion.chunk";
        c["created"] = created;
        c["model"] = model;
        c["choices"] = choices;
        if (plan->include_usage && with_usage_null) c["usage"] = nb::none();
        ready.push_back(data(c));
    }

    void choice(size_t k, nb::handle delta_or_text, nb::handle finish_reason, const std::vector<TokenLogprob> *lps) {
        nb::dict ch;
        ch["index"] = (int64_t) k;
        if (plan->completions) {
            ch["text"] = delta_or_text;
            ch["logprobs"] = lps ? nb::object(completion_logprobs(*lps, offsets[k])) : nb::none();
        } else {
            ch["delta"] = delta_or_text;
            if (plan->settings.logprobs) ch["logprobs"] = lps ? nb::object(chat_logprobs(*lps)) : nb::none();
        }
        ch["finish_reason"] = finish_reason;
        nb::list choices;
        choices.append(ch);
        chunk(choices);
    }

    void text(size_t k, const std::string &piece, const std::vector<TokenLogprob> &lps) {
        const std::vector<TokenLogprob> *lp = plan->settings.logprobs ? &lps : nullptr;
        if (plan->completions) {
            choice(k, pystr(piece), nb::none(), lp);
            offsets[k] += piece.size();
        } else {
            nb::dict delta;
            delta["content"] = pystr(piece);
            choice(k, delta, nb::none(), lp);
        }
    }

    void error_event(Job &j) {
        std::string message = j.status ? j.message : bind::text(j.error);
        int status = j.status ? j.status : 500;
        ready.push_back(data(error_body(status, message, param_of(message), "")));
        Routes &r = nb::cast<Routes &>(routes);
        r.m().request(label, status);
        broken = true;
    }

    // Takes what every row has produced since the last call; true when anything went out.
    bool produce() {
        bool any = false;
        for (size_t k = 0; k < jobs.size(); ++k) {
            if (finished[k]) continue;
            Job &j = *jobs[k];
            std::string piece;
            std::vector<TokenLogprob> lps;
            bool done;
            {
                std::lock_guard<std::mutex> lk(j.mu);
                piece.swap(j.pending);
                lps.swap(j.pending_logprobs);
                done = j.done;
            }
            if (done && failed(j)) {
                error_event(j);
                cancel(jobs);
                return true;
            }
            if (!piece.empty() && !buffered()) {
                text(k, piece, lps);
                any = true;
            }
            if (!done) continue;
            finished[k] = 1;
            any = true;
            std::string reason = j.finish_reason;
            if (buffered()) {
                ToolReply reply = read_tool_calls(j.text, *plan);
                if (nb::len(reply.calls) > 0) {
                    nb::dict delta;
                    if (!reply.content.empty()) delta["content"] = pystr(reply.content);
                    delta["tool_calls"] = delta_calls(reply.calls);
                    choice(k, delta, nb::none(), nullptr);
                    reason = "tool_calls";
                } else if (!j.text.empty()) {
                    text(k, j.text, j.logprobs);
                }
            }
            if (plan->completions)
                choice(k, nb::str(""), pystr(reason), nullptr);
            else
                choice(k, nb::dict(), pystr(reason), nullptr);
        }
        return any;
    }

    // Waits until some row has something to send (or ends), watching the client.
    void wait_any() {
        if (jobs.size() == 1) {
            Job &j = *jobs[0];
            wait_job(j, request, [&] { return !j.pending.empty() || j.done; });
            return;
        }
        for (int round = 0;; ++round) {
            for (size_t k = 0; k < jobs.size(); ++k) {
                if (finished[k]) continue;
                Job &j = *jobs[k];
                if (j.wait_for([&] { return !j.pending.empty() || j.done; }, 0.02)) return;
            }
            if (round % 8 == 7 && disconnected(request)) {
                cancel(jobs);
                return;
            }
        }
    }

    void tail() {
        Routes &r = nb::cast<Routes &>(routes);
        if (!broken) {
            if (plan->include_usage) {
                nb::dict c;
                c["id"] = id;
                c["object"] = plan->completions ? "text_completion" : "chat.completion.chunk";
                c["created"] = created;
                c["model"] = model;
                c["choices"] = nb::list();
                c["usage"] = usage(jobs, plan->n);
                ready.push_back(data(c));
            }
            double now = steady_now();
            r.m().request(label, 200);
            for (auto &j : jobs) r.m().row(label, *j, now);
        }
        ready.push_back(nb::str("data: [DONE]\n\n"));
    }

    nb::object next() {
        while (ready.empty()) {
            if (phase == 0) {
                phase = 1;
                if (!plan->completions)
                    for (size_t k = 0; k < jobs.size(); ++k) {
                        nb::dict delta;
                        delta["role"] = "assistant";
                        delta["content"] = "";
                        choice(k, delta, nb::none(), nullptr);
                    }
            } else if (phase == 1) {
                if (!produce() && !std::all_of(finished.begin(), finished.end(), [](int f) { return f != 0; }))
                    wait_any();
                if (broken || std::all_of(finished.begin(), finished.end(), [](int f) { return f != 0; })) phase = 2;
            } else if (phase == 2) {
                phase = 3;
                tail();
            } else {
                close();
                throw nb::stop_iteration();
            }
        }
        nb::object out = ready.front();
        ready.pop_front();
        return out;
    }
};

// Submits one row per input and choice; a refusal at submission cancels the rows before it.
std::vector<std::shared_ptr<Job>> submit(Routes &r, const Plan &plan, const std::string &label) {
    Scheduler &scheduler = *nb::cast<Batcher &>(r.batcher).get();
    std::vector<std::shared_ptr<Job>> jobs;
    for (auto &input : plan.inputs) {
        for (int64_t i = 0; i < plan.n; ++i) {
            RowSettings s = plan.settings;
            if (s.has_seed) s.seed += (uint64_t) i;  // choice i draws from seed + i
            auto job = scheduler.submit(plan.model, input, plan.tools, plan.limit, s, plan.stream);
            jobs.push_back(job);
            bool refused;
            {
                std::lock_guard<std::mutex> lk(job->mu);
                refused = job->done && failed(*job);
            }
            if (refused) {
                cancel(jobs);
                raise_failure(r, *job, label);
            }
        }
    }
    return jobs;
}

nb::object answer(nb::handle routes_obj, nb::handle request, bool completions) {
    Routes &r = nb::cast<Routes &>(routes_obj);
    nb::object body;
    std::string label;
    auto plan = std::make_shared<Plan>();
    try {
        body = raw_body(request);
        label = model_label(r, body);
        *plan = completions ? parse_completion(r.engine, body) : parse_chat(r.engine, body);
    } catch (ApiError &e) {
        r.m().request(label, e.status);
        raise_api(r, e);
    }
    std::vector<std::shared_ptr<Job>> jobs = submit(r, *plan, label);

    if (plan->stream) {
        // Refusals (a prompt beyond the context, a schema the grammar cannot take) still get
        // their status before the stream starts.
        for (auto &job : jobs) {
            Job &j = *job;
            wait_job(j, request, [&] { return j.admitted; });
            if (j.done && j.status) {
                cancel(jobs);
                raise_failure(r, j, label);
            }
        }
        EventStream events;
        events.jobs = jobs;
        events.plan = plan;
        events.routes = nb::borrow(routes_obj);
        events.request = nb::borrow(request);
        events.created = nb::int_(bind::import("time").attr("time")());
        events.id = reply_id(completions ? "cmpl-" : "chatcmpl-", events.created);
        events.model = plan->model;
        events.label = label;
        events.finished.assign(jobs.size(), 0);
        events.offsets.assign(jobs.size(), 0);
        nb::dict headers;
        headers["Cache-Control"] = "no-cache";
        nb::object stream = nb::cast(std::move(events));
        // The framework stops iterating a stream whose client went away but keeps the iterator
        // until it is collected, which may be long after (a cycle through the cancellation's
        // traceback); its background task runs as soon as the response ends, delivered or not,
        // and stops the generation then.
        nb::object close = bind::import("starlette.background").attr("BackgroundTask")(stream.attr("close"));
        return r.streaming_response(stream, "media_type"_a = "text/event-stream", "headers"_a = headers,
                                    "background"_a = close);
    }

    for (auto &job : jobs) {
        Job &j = *job;
        wait_job(j, request, [&] { return j.done; });
        if (failed(j)) {
            cancel(jobs);
            raise_failure(r, j, label);
        }
    }

    nb::int_ created(bind::import("time").attr("time")());  // whole seconds, after generation
    nb::list choices;
    for (size_t k = 0; k < jobs.size(); ++k) {
        Job &j = *jobs[k];
        nb::dict choice;
        choice["index"] = (int64_t) k;
        if (completions) {
            choice["text"] = pystr(j.text);
            choice["logprobs"] = plan->settings.logprobs ? nb::object(completion_logprobs(j.logprobs, 0)) : nb::none();
            choice["finish_reason"] = pystr(j.finish_reason);
        } else {
            ToolReply reply = read_tool_calls(j.text, *plan);
            nb::dict message;
            message["role"] = "assistant";
            std::string reason = j.finish_reason;
            if (nb::len(reply.calls) > 0) {
                message["content"] = reply.content.empty() ? nb::object(nb::none()) : nb::object(pystr(reply.content));
                message["tool_calls"] = reply.calls;
                reason = "tool_calls";
            } else {
                message["content"] = pystr(j.text);
            }
            choice["finish_reason"] = pystr(reason);
            choice["message"] = message;
            if (plan->settings.logprobs) choice["logprobs"] = chat_logprobs(j.logprobs);
        }
        choices.append(choice);
    }
    double now = steady_now();
    r.m().request(label, 200);
    for (auto &j : jobs) r.m().row(label, *j, now);

    nb::dict out;
    out["id"] = reply_id(completions ? "cmpl-" : "chatcmpl-", created);
    out["object"] = completions ? "text_completion" : "chat.completion";
    out["created"] = created;
    out["model"] = plan->model;
    out["choices"] = choices;
    out["usage"] = usage(jobs, plan->n);
    return out;
}

nb::object chat(nb::handle routes, nb::handle req, nb::handle request) {
    (void) req;  // the framework's check of the body; the fields are read as received
    return answer(routes, request, false);
}

nb::object completion(nb::handle routes, nb::handle req, nb::handle request) {
    (void) req;
    return answer(routes, request, true);
}

// functools.partial(fn, *bound) named `name`, with `params` as its visible signature.
nb::object route(nb::object fn, nb::tuple bound, const char *name, nb::list params, const char *doc) {
    nb::object handler = bind::import("functools").attr("partial")(fn, *bound);
    nb::object signature = bind::import("inspect").attr("Signature");
    nb::setattr(handler, "__signature__", signature(params));
    nb::setattr(handler, "__name__", nb::str(name));
    nb::setattr(handler, "__qualname__", nb::str((std::string("build_app.<locals>.") + name).c_str()));
    nb::setattr(handler, "__module__", nb::str(kModule));
    nb::setattr(handler, "__doc__", nb::str(doc));
    return handler;
}

}  // namespace

void register_models(nb::module_ &m) {
    nb::module_ pydantic = bind::import("pydantic");
    nb::module_ typing = bind::import("typing");
    nb::object create_model = pydantic.attr("create_model");
    nb::handle str_t = (PyObject *) &PyUnicode_Type;
    nb::handle int_t = (PyObject *) &PyLong_Type;
    nb::handle float_t = (PyObject *) &PyFloat_Type;
    nb::handle bool_t = (PyObject *) &PyBool_Type;
    nb::object required = nb::ellipsis();
    nb::object any = typing.attr("Any");
    nb::object optional = typing.attr("Optional");
    nb::object union_t = typing.attr("Union");
    nb::object list_t = typing.attr("List");
    nb::object dict_t = typing.attr("Dict");

    // Content: text, a list of parts, or null (an assistant message that only calls tools).
    nb::object content_t = optional[union_t[nb::make_tuple(str_t, list_t[dict_t[nb::make_tuple(str_t, any)]])]];
    nb::object chat_message = create_model(
        "ChatMessage", "__module__"_a = m.attr("__name__"), "__doc__"_a = "One message of a conversation.",
        "role"_a = nb::make_tuple(str_t, required), "content"_a = nb::make_tuple(content_t, required));
    m.attr("ChatMessage") = chat_message;

    nb::object chat_request = create_model(
        "ChatRequest", "__module__"_a = m.attr("__name__"),
        "__doc__"_a = "Body of POST /v1/chat/completions (the further OpenAI fields are read as received).",
        "model"_a = nb::make_tuple(str_t, required), "messages"_a = nb::make_tuple(list_t[chat_message], required),
        "max_tokens"_a = nb::make_tuple(optional[int_t], nb::none()),
        "temperature"_a = nb::make_tuple(float_t, nb::float_(0.0)),
        "stream"_a = nb::make_tuple(bool_t, nb::bool_(false)),
        "stream_options"_a = nb::make_tuple(optional[dict_t[nb::make_tuple(str_t, any)]], nb::none()));
    m.attr("ChatRequest") = chat_request;

    nb::object completion_request = create_model(
        "CompletionRequest", "__module__"_a = m.attr("__name__"),
        "__doc__"_a = "Body of POST /v1/completions (the further OpenAI fields are read as received).",
        "model"_a = nb::make_tuple(str_t, required),
        "prompt"_a = nb::make_tuple(union_t[nb::make_tuple(str_t, list_t[str_t])], required),
        "max_tokens"_a = nb::make_tuple(optional[int_t], nb::none()),
        "temperature"_a = nb::make_tuple(float_t, nb::float_(0.0)),
        "stream"_a = nb::make_tuple(bool_t, nb::bool_(false)),
        "stream_options"_a = nb::make_tuple(optional[dict_t[nb::make_tuple(str_t, any)]], nb::none()));
    m.attr("CompletionRequest") = completion_request;

    nb::class_<EventStream>(m, "_EventStream", "The Server-Sent Events of one streamed reply.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &EventStream::next)
        .def("close", &EventStream::close, "Stop the generations behind this stream.");

    nb::class_<Routes>(m, "_Routes", "What the route handlers of one application share.");
    nb::class_<LoopEndpoint>(m, "_LoopEndpoint", "An ASGI endpoint answered on the event loop, never on a worker.")
        .def("__call__", &LoopEndpoint::call, "scope"_a, "receive"_a, "send"_a);
}

nb::object build_app(nb::handle engine, nb::handle max_batch_obj, nb::handle max_body_obj, nb::handle max_waiting_obj) {
    int64_t max_batch = bind::arg_int(max_batch_obj, "max_batch");
    int64_t max_body = bind::arg_int(max_body_obj, "max_body_bytes");
    int64_t max_waiting = bind::arg_int(max_waiting_obj, "max_waiting");
    if (max_body < 0) bind::raise(PyExc_ValueError, "max_body_bytes must not be negative");
    nb::module_ fastapi = bind::import("fastapi");
    nb::object app = fastapi.attr("FastAPI")("title"_a = "velkor-zuma serve");
    nb::object batcher = make_batcher(engine, max_batch, max_waiting);

    nb::object routes_obj = nb::cast(Routes{});
    Routes &routes = nb::cast<Routes &>(routes_obj);
    routes.engine = nb::borrow(engine);
    routes.batcher = batcher;
    routes.metrics = make_metrics(batcher);
    routes.http_exception = fastapi.attr("HTTPException");
    routes.streaming_response = bind::import("fastapi.responses").attr("StreamingResponse");
    routes.created = nb::int_(bind::import("time").attr("time")());

    auto loop_route = [&](const char *path, LoopEndpoint::Kind kind, const char *name, bool in_schema) {
        nb::object endpoint = nb::cast(LoopEndpoint{kind, routes_obj});
        app.attr("add_route")(path, endpoint, "methods"_a = nb::make_tuple("GET"), "name"_a = name,
                              "include_in_schema"_a = in_schema);
    };

    nb::object parameter = bind::import("inspect").attr("Parameter");
    auto params = [&](nb::handle model) {
        nb::list p;
        p.append(parameter("req", parameter.attr("POSITIONAL_OR_KEYWORD"), "annotation"_a = model));
        p.append(
            parameter("request", parameter.attr("POSITIONAL_OR_KEYWORD"), "annotation"_a = fastapi.attr("Request")));
        return p;
    };
    nb::object c = route(nb::cpp_function(&chat, "routes"_a, "req"_a, "request"_a), nb::make_tuple(routes_obj), "chat",
                         params(attr("ChatRequest")),
                         "One chat completion per choice from the named adapter, whole or streamed as "
                         "Server-Sent Events.");
    nb::object k = route(nb::cpp_function(&completion, "routes"_a, "req"_a, "request"_a), nb::make_tuple(routes_obj),
                         "completions", params(attr("CompletionRequest")),
                         "Text completions of one prompt or several, whole or streamed as Server-Sent Events.");

    loop_route("/healthz", LoopEndpoint::Health, "healthz", true);
    loop_route("/v1/models", LoopEndpoint::Models, "models", true);
    app.attr("post")("/v1/chat/completions")(c);
    loop_route("/v1/models/{model_id:path}", LoopEndpoint::Model, "model", true);
    app.attr("post")("/v1/completions")(k);
    loop_route("/metrics", LoopEndpoint::Prometheus, "metrics", false);

    install_error_shape(app);
    // The key is read when the application is built; an empty value means no key.
    nb::object key = bind::import("os").attr("environ").attr("get")(kApiKeyVariable, "");
    // Every running and waiting request holds a worker thread, plus a few for those refused.
    int64_t threads = std::min<int64_t>(max_batch, 4096) + std::min<int64_t>(max_waiting, 4096) + 8;
    app.attr("add_middleware")(attr("_RequestGuard"), "api_key"_a = bind::truthy(key) ? key : nb::none(),
                               "max_body_bytes"_a = max_body, "worker_threads"_a = threads);
    app.attr("state").attr("batcher") = batcher;
    app.attr("state").attr("metrics") = routes.metrics;
    app.attr("state").attr("routes") = routes_obj;
    return app;
}

}  // namespace vz::serve
