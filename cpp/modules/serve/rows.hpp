// One row of the step scheduler and the per-row parts around it: sampling (sampling.cpp),
// the reply text with its stop texts and stream (sampling.cpp) and structured output
// (grammar.cpp). Everything here runs on the scheduler thread with the GIL held.
#pragma once

#include "modules/serve/batcher.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vz::serve {

// The row groups of the step being run, read by the LoRA layers' own forward (deltas.cpp):
// one group per adapter present, with the rows' indices (unset when it holds every row).
struct RowPlan {
    struct Group {
        size_t adapter = 0;  // position in the engine's adapter names
        nb::object rows;     // int64 tensor of row indices, or unset: all rows
    };
    // Layers whose adapters' factors are stacked side by side (deltas.cpp) share a layout: the
    // columns of the stacked down-projection that each adapter owns, with its scale.
    struct Slice {
        size_t adapter = 0;
        int64_t offset = 0, rank = 0;
        double scale = 0.0;
    };
    struct Layout {
        std::vector<Slice> slices;
        int64_t width = 0;  // columns in all
        nb::object dtype;   // of the stacked factors
    };
    bool active = false;
    std::vector<Group> groups;
    std::vector<int64_t> row_adapter;  // the step's rows' adapter positions (-1: the base)
    std::vector<Layout> layouts;       // fixed once the layers are installed
    std::vector<nb::object> masks;     // per layout, the step's [rows, width] column mask, made on first use

    // Adds a group's delta (rows of the group x out) into the layer's output for all rows.
    static void add_into(nb::handle result, const Group &g, nb::handle delta) {
        if (g.rows.is_valid())
            result.attr("index_add_")(0, g.rows, delta);
        else
            result.attr("add_")(delta);
    }
};

// What the step loop knows of the engine, read once when the scheduler starts.
struct EngineView {
    nb::object engine, torch, model, tokenizer, device;
    nb::object adapter_names;  // the engine's list of adapter names (empty: no peft wrapper)
    bool peft = false;         // the model is a peft wrapper taking `adapter_names=` per row
    size_t adapter_count = 0;
    std::shared_ptr<RowPlan> plan;  // set when the LoRA layers apply rows' adapters themselves
    std::vector<int64_t> eos;  // end-of-sequence ids of the generation config
    int64_t pad_id = 0;
    int64_t context = 0;  // positions the model can attend to (0: unknown)
    int64_t default_limit = 0;
    int64_t vocab = 0;  // width of the logits
};

// A row's constrained-decoding state (grammar.cpp): a matcher of the grammar library over the
// engine's tokenizer, and the bitmask it fills each step.
struct RowGrammar {
    nb::object matcher, bitmask;
};

struct Row {
    std::shared_ptr<Job> job;
    std::vector<int64_t> prompt;  // the prompt's token ids
    int64_t prefilled = 0;        // prompt tokens already in `cache` (a long prompt goes in chunks)
    nb::object cache;             // the row's own cache while its prompt is being read in chunks
    int64_t limit = 0;            // new tokens at most (capped by the context left)
    nb::object adapter;           // the name peft's `adapter_names=` gets ("__base__" for the base)
    int64_t adapter_index = -1;   // its position in the engine's adapter names (-1: the base)
    nb::object generator;         // torch.Generator of a sampled row (seeded, or from entropy)
    nb::object bias_ids, bias_values;  // logit_bias as two tensors, or unset
    std::unique_ptr<RowGrammar> grammar;
    bool plain = true;  // greedy with nothing else to apply: the batched argmax decides it
    int64_t pad = 0;    // leading padding columns of this row in the batch's cache

    std::string text;      // the reply so far (cut at a stop text once found)
    std::string streamed;  // the part of `text` already handed to the stream's reader
    bool cut = false;      // `text` is final: cut before a stop text
    bool ended = false;
};

// ---- sampling.cpp ----
// Prepares a row's sampling state (generator, logit bias) from its settings.
void prepare_sampling(const EngineView &ev, Row &row);
// Chooses the next token of every row from `logits` ([rows, vocab], the last position), and
// records logprobs where a row asks for them.
std::vector<int64_t> choose_tokens(const EngineView &ev, nb::handle logits, std::vector<Row *> &rows);
// Takes a row's new token: updates its text, ends it at an end token, a stop text or its limit,
// and hands streamable text to its reader. Returns true when the row has ended.
bool take_token(const EngineView &ev, Row &row, int64_t token);
// Ends a row's job with its reply (finish_reason already set, or "length").
void finish_row(const EngineView &ev, Row &row, bool stopping);

// ---- deltas.cpp ----
// Gives the engine's plain LoRA linear layers a forward that applies each row's adapter to its
// rows only while a step runs with a plan; false (nothing changed) where the model has other
// LoRA layers, which then take peft's `adapter_names=` path.
bool install_row_deltas(EngineView &ev);
// Groups a step's rows by adapter and turns the plan on (the caller turns it off after).
void plan_rows(const EngineView &ev, const std::vector<Row *> &rows);

// ---- library_models.cpp ----
// Whether the engine serves a model library's fine-tunes, and gives the modules they change a
// forward that applies each row's fine-tune from the step's plan (once per engine).
bool library_attached(nb::handle engine);
void install_library_rows(EngineView &ev);

// ---- grammar.cpp ----
// Compiles a row's grammar ("json_object" or "json_schema"); a schema the library cannot
// enforce refuses the job (400, 'response_format') and returns false.
bool prepare_grammar(const EngineView &ev, Row &row);
// Masks the tokens the row's grammar forbids next, in place on its logits row ([vocab]).
void mask_grammar(const EngineView &ev, Row &row, nb::handle logits_row);
// Advances the row's grammar over its chosen token; true when the grammar is complete.
bool accept_grammar(Row &row, int64_t token);

}  // namespace vz::serve
