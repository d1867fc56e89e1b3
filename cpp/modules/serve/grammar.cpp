// Structured output: a row whose reply must be JSON (any object, or one that validates against
// a schema) is decoded under a grammar of the xgrammar library. The engine's tokenizer is
// described to the library once (its compiler, kept on the engine, caches compiled grammars);
// each row gets its own matcher, which fills a bitmask of the tokens allowed next before the
// row's token is chosen and then accepts the chosen token. The row ends as soon as the value
// is complete. JSON is generated without free white space between tokens of the structure, so
// a model cannot spend its tokens on indentation.
#include "modules/serve/rows.hpp"

namespace vz::serve {
using namespace nb::literals;

namespace {

nb::object compiler_for(const EngineView &ev, nb::module_ xgr) {
    const char *key = "_grammar_compiler";
    nb::handle holder = ev.engine;
    nb::object kept = nb::getattr(holder, key, nb::none());
    if (!kept.is_none()) return kept;
    nb::object info = xgr.attr("TokenizerInfo")
                          .attr("from_huggingface")(
                              ev.tokenizer, "vocab_size"_a = ev.vocab > 0 ? nb::object(nb::int_(ev.vocab)) : nb::none(),
                              "stop_token_ids"_a = nb::cast(ev.eos));
    nb::object compiler = xgr.attr("GrammarCompiler")(info, "max_threads"_a = 1);
    nb::setattr(holder, key, compiler);
    return compiler;
}

}  // namespace

bool prepare_grammar(const EngineView &ev, Row &row) {
    Job &job = *row.job;
    const RowSettings &s = job.settings;
    nb::module_ xgr = bind::import_optional("xgrammar", "serve");
    nb::object compiler = compiler_for(ev, xgr);
    nb::object compiled;
    std::string schema = s.grammar == "json_object" ? std::string("{\"type\": \"object\"}") : s.schema;
    if (s.grammar != "json_object" && s.grammar != "json_schema") {
        job.refuse(400, "'response_format': unknown type '" + s.grammar + "'");
        return false;
    }
    try {
        compiled = compiler.attr("compile_json_schema")(nb::str(schema.c_str(), schema.size()),
                                                        "any_whitespace"_a = false);
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        job.refuse(400, "'response_format': this schema cannot be enforced: " + bind::text(e.value()));
        return false;
    }
    auto g = std::make_unique<RowGrammar>();
    g->matcher = xgr.attr("GrammarMatcher")(compiled);
    g->bitmask = xgr.attr("allocate_token_bitmask")(1, ev.vocab);
    row.grammar = std::move(g);
    return true;
}

void mask_grammar(const EngineView &ev, Row &row, nb::handle logits_row) {
    nb::module_ xgr = bind::import("xgrammar");
    row.grammar->matcher.attr("fill_next_token_bitmask")(row.grammar->bitmask);
    nb::object bitmask = row.grammar->bitmask;
    if (!nb::str("cpu").equal(nb::str(ev.device.attr("type")))) bitmask = bitmask.attr("to")(ev.device);
    xgr.attr("apply_token_bitmask_inplace")(logits_row.attr("unsqueeze")(0), bitmask, "vocab_size"_a = ev.vocab);
}

bool accept_grammar(Row &row, int64_t token) {
    nb::object m = row.grammar->matcher;
    m.attr("accept_token")(token);
    return bind::truthy(m.attr("is_completed")()) || bind::truthy(m.attr("is_terminated")());
}

}  // namespace vz::serve
