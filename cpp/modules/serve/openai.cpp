// Checks an OpenAI chat or completion request field by field and writes the reply shapes.
//
// Design notes
// - Every field the API defines is honoured or refused with 400 naming it; silence is never an
//   answer. Fields that change nothing in the output (user, metadata, store, ...) are accepted.
//   A field this server does not know is refused: it may have been meant to change the reply.
// - The checks read the body as received (JSON values), so that a bool is never taken for a
//   number (`"max_tokens": true` is refused, not read as 1) and text that cannot be encoded (a
//   lone surrogate) is refused before anything else sees it.
// - A refusal's message starts with the quoted field name; the error body's `param` is read
//   from there (param_of), which is also how the scheduler's own refusals name their field.
// - Tool calls: "required" and a named function are decoded under a JSON-schema grammar built
//   from the declared functions ({"name": const, "arguments": parameters}); "auto" renders the
//   tools through the chat template and reads back a call the model writes in the template's
//   convention (<tool_call> blocks, or a reply that is one JSON call).
#include "modules/serve/openai.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>

namespace vz::serve {
using namespace nb::literals;

namespace {

nb::object json() { return bind::import("json"); }

// The value of `key` in the body, or None when absent.
nb::object field(nb::handle body, const char *key) {
    PyObject *v = PyDict_GetItemString(body.ptr(), key);  // borrowed
    return v ? nb::borrow(v) : nb::none();
}

bool is_int(nb::handle v) { return PyLong_Check(v.ptr()) && !PyBool_Check(v.ptr()); }
bool is_number(nb::handle v) { return is_int(v) || PyFloat_Check(v.ptr()); }
bool is_str(nb::handle v) { return PyUnicode_Check(v.ptr()); }
bool is_dict(nb::handle v) { return PyDict_Check(v.ptr()); }
bool is_list(nb::handle v) { return PyList_Check(v.ptr()); }

std::string q(const std::string &name) { return "'" + name + "'"; }

// A value as it reads in JSON, cut short when long.
std::string shown(nb::handle v) {
    std::string s;
    try {
        s = json_text(v);
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        s = bind::text(nb::repr(v));
    }
    if (s.size() > 80) s = s.substr(0, 77) + "...";
    return s;
}

[[noreturn]] void refuse(const std::string &name, const std::string &what, nb::handle got) {
    throw ApiError(400, q(name) + " " + what + ", got " + shown(got), name);
}

std::string utf8(nb::handle s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) nb::raise_python_error();
    return std::string(p, (size_t) n);
}

// Text that cannot be written as UTF-8 anywhere under `v` (a lone surrogate) refuses the field.
void check_text(nb::handle v, const std::string &name, int depth = 0) {
    if (depth > 200) throw ApiError(400, q(name) + " is nested too deeply", name);
    if (is_str(v)) {
        if (!PyUnicode_AsUTF8AndSize(v.ptr(), nullptr)) {
            PyErr_Clear();
            throw ApiError(400, q(name) + " holds text that is not valid Unicode (a lone surrogate)", name);
        }
    } else if (is_dict(v)) {
        for (auto [k, x] : nb::borrow<nb::dict>(v)) {
            check_text(k, name, depth + 1);
            check_text(x, name, depth + 1);
        }
    } else if (is_list(v)) {
        for (nb::handle x : v) check_text(x, name, depth + 1);
    }
}

std::string number_text(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", x);
    return buf;
}

// A number field: `lo`..`hi` (above `lo` when lo_open). Absent or null: `dflt`.
double number(nb::handle body, const char *key, double dflt, double lo, double hi, bool lo_open = false) {
    nb::object v = field(body, key);
    if (v.is_none()) return dflt;
    if (!is_number(v)) refuse(key, "must be a number", v);
    double x = PyFloat_AsDouble(v.ptr());
    if (x == -1.0 && PyErr_Occurred()) {  // an integer beyond a double
        PyErr_Clear();
        refuse(key, "must be from " + number_text(lo) + " to " + number_text(hi), v);
    }
    if (!std::isfinite(x)) refuse(key, "must be a finite number", v);
    if (x < lo || x > hi || (lo_open && x <= lo))
        refuse(key,
               std::string("must be ") + (lo_open ? "above " : "from ") + number_text(lo) +
                   (lo_open ? " and at most " : " to ") + number_text(hi),
               v);
    return x;
}

// An integer field (never a bool) from lo to hi. Absent or null: `dflt`.
int64_t integer(nb::handle body, const char *key, int64_t dflt, int64_t lo, int64_t hi) {
    nb::object v = field(body, key);
    if (v.is_none()) return dflt;
    if (!is_int(v)) refuse(key, "must be an integer", v);
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (x == -1 && PyErr_Occurred()) nb::raise_python_error();
    if (overflow || x < lo || x > hi)
        refuse(key, "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi), v);
    return (int64_t) x;
}

bool boolean(nb::handle body, const char *key, bool dflt) {
    nb::object v = field(body, key);
    if (v.is_none()) return dflt;
    if (!PyBool_Check(v.ptr())) refuse(key, "must be true or false", v);
    return v.ptr() == Py_True;
}

// max_tokens / max_completion_tokens: 0 or more; 0 or null is the server's default; a count
// beyond int64 is capped later by the context left.
int64_t token_limit(nb::handle body, const char *key, bool *given) {
    nb::object v = field(body, key);
    *given = !v.is_none();
    if (v.is_none()) return 0;
    if (!is_int(v)) refuse(key, "must be an integer (0 or null: the server's default)", v);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) nb::raise_python_error();
    if (overflow < 0 || (overflow == 0 && n < 0))
        throw ApiError(400, q(key) + " must be 0 or more (0 or null: the server's default), got " + bind::text(v), key);
    return overflow > 0 ? INT64_MAX : (int64_t) n;
}

// The sampling fields shared by chat and completions.
void sampling(nb::handle engine, nb::handle body, Plan &plan) {
    RowSettings &s = plan.settings;
    s.temperature = number(body, "temperature", 0.0, 0.0, 2.0);
    s.top_p = number(body, "top_p", 1.0, 0.0, 1.0, true);
    s.presence_penalty = number(body, "presence_penalty", 0.0, -2.0, 2.0);
    s.frequency_penalty = number(body, "frequency_penalty", 0.0, -2.0, 2.0);
    plan.n = integer(body, "n", 1, 1, 8);
    if (!field(body, "seed").is_none()) {
        s.has_seed = true;
        s.seed = (uint64_t) integer(body, "seed", 0, INT64_MIN, INT64_MAX);
    }

    bool given_max = false, given_completion = false;
    int64_t max_tokens = token_limit(body, "max_tokens", &given_max);
    int64_t max_completion = plan.completions ? 0 : token_limit(body, "max_completion_tokens", &given_completion);
    plan.limit = given_completion ? max_completion : max_tokens;  // the newer field wins

    nb::object stop = field(body, "stop");
    if (is_str(stop)) {
        s.stop.push_back(utf8(stop));
    } else if (is_list(stop)) {
        if (nb::len(stop) > 4) refuse("stop", "holds at most 4 texts", stop);
        for (nb::handle t : stop) {
            if (!is_str(t)) refuse("stop", "must be a text or a list of texts", stop);
            s.stop.push_back(utf8(t));
        }
    } else if (!stop.is_none()) {
        refuse("stop", "must be a text or a list of up to 4 texts", stop);
    }
    for (auto &t : s.stop)
        if (t.empty()) refuse("stop", "must not hold an empty text", stop);

    nb::object bias = field(body, "logit_bias");
    if (!bias.is_none()) {
        if (!is_dict(bias)) refuse("logit_bias", "must map token ids to numbers from -100 to 100", bias);
        int64_t vocab = (int64_t) nb::len(nb::object(engine.attr("tokenizer")));
        for (auto [k, v] : nb::borrow<nb::dict>(bias)) {
            std::string key = is_str(k) ? utf8(k) : std::string();
            bool digits = !key.empty() && key.size() <= 18 &&
                          std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; });
            int64_t id = digits ? std::stoll(key) : -1;
            if (id < 0 || id >= vocab)
                throw ApiError(
                    400,
                    "'logit_bias' keys must be token ids from 0 to " + std::to_string(vocab - 1) + ", got " + shown(k),
                    "logit_bias");
            if (!is_number(v)) refuse("logit_bias", "values must be numbers from -100 to 100", v);
            double x = PyFloat_AsDouble(v.ptr());
            if (x == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                x = INFINITY;
            }
            if (!(x >= -100.0 && x <= 100.0)) refuse("logit_bias", "values must be numbers from -100 to 100", v);
            s.logit_bias.emplace_back(id, x);
        }
    }

    nb::object options = field(body, "stream_options");
    if (!options.is_none()) {
        if (!is_dict(options)) refuse("stream_options", "must be an object", options);
        for (auto [k, v] : nb::borrow<nb::dict>(options)) {
            std::string key = bind::text(k);
            if (key == "include_usage") {
                if (!PyBool_Check(v.ptr())) refuse("stream_options", "include_usage must be true or false", v);
                plan.include_usage = v.ptr() == Py_True;
            } else if (key != "include_obfuscation") {
                throw ApiError(400, "'stream_options': '" + key + "' is not supported by this server",
                               "stream_options");
            }
        }
    }
    plan.stream = boolean(body, "stream", false);
}

// Fields that change nothing in the reply and are accepted as they are.
bool harmless(const std::string &key) {
    static const char *const names[] = {"user",         "metadata",         "store",
                                        "service_tier", "prompt_cache_key", "safety_identifier"};
    return std::any_of(std::begin(names), std::end(names), [&](const char *n) { return key == n; });
}

void only_known(nb::handle body, std::initializer_list<const char *> known) {
    for (auto [k, v] : nb::borrow<nb::dict>(body)) {
        std::string key = bind::text(k);
        if (harmless(key)) continue;
        if (std::any_of(known.begin(), known.end(), [&](const char *n) { return key == n; })) continue;
        if (v.is_none()) continue;  // null is the API's own "not given"
        throw ApiError(400, q(key) + " is not supported by this server", key);
    }
}

// The text of a message's content: a string, or a list of parts whose text parts are joined.
std::string content_text(nb::handle content, size_t index) {
    if (is_str(content)) return utf8(content);
    std::string where = "message " + std::to_string(index);
    if (!is_list(content)) refuse("messages", "content must be a text or a list of parts (" + where + ")", content);
    std::string out;
    bool first = true;
    for (nb::handle part : content) {
        nb::object type = is_dict(part) ? field(part, "type") : nb::none();
        std::string t = is_str(type) ? utf8(type) : std::string();
        if (t == "text") {
            nb::object text = field(part, "text");
            if (!is_str(text)) refuse("messages", "a text part needs 'text' as a string (" + where + ")", part);
            if (!first) out += "\n";
            out += utf8(text);
            first = false;
        } else if (t == "image_url" || t == "input_image" || t == "image" || t == "input_audio" || t == "audio" ||
                   t == "file" || t == "input_file" || t == "video" || t == "video_url") {
            throw ApiError(400, "'messages': this model takes text only (" + where + " has a '" + t + "' part)",
                           "messages");
        } else {
            refuse("messages", "parts must be of type 'text' (" + where + ")", part);
        }
    }
    return out;
}

nb::str pystr(const std::string &s) { return nb::str(s.c_str(), s.size()); }

// An assistant message's tool_calls, for the chat template: arguments parsed back to objects
// (templates write them with tojson) where they are JSON.
nb::list message_tool_calls(nb::handle calls, size_t index) {
    std::string where = " (message " + std::to_string(index) + ")";
    if (!is_list(calls)) refuse("messages", "tool_calls must be a list" + where, calls);
    nb::list out;
    for (nb::handle call : calls) {
        nb::object fn = is_dict(call) ? field(call, "function") : nb::none();
        nb::object name = is_dict(fn) ? field(fn, "name") : nb::none();
        nb::object args = is_dict(fn) ? field(fn, "arguments") : nb::none();
        if (!is_str(name) || !(is_str(args) || args.is_none()))
            refuse("messages", "a tool call needs function.name and function.arguments as strings" + where, call);
        nb::object type = field(call, "type");
        if (!type.is_none() && !nb::str("function").equal(type))
            refuse("messages", "tool calls must be of type 'function'" + where, call);
        nb::object parsed = args.is_none() ? nb::object(nb::dict()) : nb::object(args);
        if (is_str(args)) {
            try {
                parsed = json().attr("loads")(args);
            } catch (nb::python_error &e) {
                if (!ordinary(e)) throw;
            }
        }
        nb::dict f;
        f["name"] = name;
        f["arguments"] = parsed;
        nb::dict c;
        nb::object id = field(call, "id");
        if (is_str(id)) c["id"] = id;
        c["type"] = "function";
        c["function"] = f;
        out.append(c);
    }
    return out;
}

nb::list conversation(nb::handle body) {
    nb::object messages = field(body, "messages");
    if (!is_list(messages) || nb::len(messages) == 0)
        throw ApiError(400, "'messages' must hold at least one message", "messages");
    nb::list out;
    size_t index = 0;
    for (nb::handle m : messages) {
        std::string where = " (message " + std::to_string(index) + ")";
        if (!is_dict(m)) refuse("messages", "each message must be an object" + where, m);
        nb::object role = field(m, "role");
        std::string r = is_str(role) ? utf8(role) : std::string();
        if (r != "system" && r != "developer" && r != "user" && r != "assistant" && r != "tool")
            refuse("messages", "role must be one of system, developer, user, assistant, tool" + where, role);
        for (const char *refused : {"function_call", "audio"})
            if (!field(m, refused).is_none())
                throw ApiError(400,
                               std::string("'messages': '") + refused + "' is not supported by this server" + where,
                               "messages");
        nb::dict msg;
        msg["role"] = role;
        nb::object content = field(m, "content");
        nb::object calls = field(m, "tool_calls");
        if (content.is_none()) {
            if (!(r == "assistant" && !calls.is_none()))
                refuse("messages", "content may be null only in an assistant message with tool_calls" + where, content);
            msg["content"] = nb::none();
        } else {
            msg["content"] = pystr(content_text(content, index));
        }
        if (!calls.is_none()) {
            if (r != "assistant") refuse("messages", "only assistant messages carry tool_calls" + where, calls);
            msg["tool_calls"] = message_tool_calls(calls, index);
        }
        nb::object call_id = field(m, "tool_call_id");
        if (r == "tool") {
            if (!is_str(call_id)) refuse("messages", "a tool message needs 'tool_call_id' as a string" + where, m);
            msg["tool_call_id"] = call_id;
        }
        nb::object name = field(m, "name");
        if (!name.is_none()) {
            if (!is_str(name)) refuse("messages", "'name' must be a string" + where, name);
            msg["name"] = name;
        }
        out.append(msg);
        ++index;
    }
    return out;
}

bool valid_function_name(const std::string &s) {
    return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}

// The chat template's own text mentions tools when it renders them.
bool template_takes_tools(nb::handle tokenizer) {
    nb::object tpl = nb::getattr(tokenizer, "chat_template", nb::none());
    if (is_str(tpl)) return utf8(tpl).find("tools") != std::string::npos;
    if (is_dict(tpl)) return bind::contains(tpl, "tool_use") || bind::text(tpl).find("tools") != std::string::npos;
    return false;
}

void tools(nb::handle engine, nb::handle body, Plan &plan) {
    nb::object given = field(body, "tools");
    nb::object choice = field(body, "tool_choice");
    nb::object parallel = field(body, "parallel_tool_calls");
    if (!parallel.is_none() && !PyBool_Check(parallel.ptr()))
        refuse("parallel_tool_calls", "must be true or false", parallel);
    nb::dict parameters;  // name -> parameters schema
    nb::list declared;
    if (!given.is_none()) {
        if (!is_list(given)) refuse("tools", "must be a list of function tools", given);
        for (nb::handle t : given) {
            nb::object type = is_dict(t) ? field(t, "type") : nb::none();
            nb::object fn = is_dict(t) ? field(t, "function") : nb::none();
            if (!nb::str("function").equal(type) || !is_dict(fn))
                refuse("tools", "holds function tools only ({\"type\": \"function\", \"function\": {...}})", t);
            nb::object name = field(fn, "name");
            std::string n = is_str(name) ? utf8(name) : std::string();
            if (!valid_function_name(n))
                refuse("tools", "function names must be 1 to 64 letters, digits, '_' or '-'", name);
            if (bind::contains(parameters, name)) refuse("tools", "declares a function twice", name);
            nb::object params = field(fn, "parameters");
            if (params.is_none()) {
                nb::dict empty;
                empty["type"] = "object";
                empty["properties"] = nb::dict();
                params = empty;
            } else if (!is_dict(params)) {
                refuse("tools", "a function's parameters must be a JSON schema object", params);
            }
            nb::object desc = field(fn, "description");
            if (!desc.is_none() && !is_str(desc)) refuse("tools", "a function's description must be a string", desc);
            nb::object strict = field(fn, "strict");
            if (!strict.is_none() && !PyBool_Check(strict.ptr()))
                refuse("tools", "'strict' must be true or false", strict);
            parameters[name] = params;
            plan.tool_names.push_back(n);
            nb::dict f;
            f["name"] = name;
            if (!desc.is_none()) f["description"] = desc;
            f["parameters"] = params;
            nb::dict tool;
            tool["type"] = "function";
            tool["function"] = f;
            declared.append(tool);
        }
    }
    bool have = nb::len(declared) > 0;
    std::string named;
    if (choice.is_none()) {
        plan.tool_mode = have ? ToolMode::Auto : ToolMode::Off;
    } else if (is_str(choice)) {
        std::string c = utf8(choice);
        if (c == "none")
            plan.tool_mode = ToolMode::Off;
        else if (c == "auto")
            plan.tool_mode = have ? ToolMode::Auto : ToolMode::Off;
        else if (c == "required")
            plan.tool_mode = ToolMode::Required;
        else
            refuse("tool_choice", "must be \"none\", \"auto\", \"required\" or a named function", choice);
    } else if (is_dict(choice)) {
        nb::object fn = field(choice, "function");
        nb::object name = is_dict(fn) ? field(fn, "name") : nb::none();
        if (!nb::str("function").equal(field(choice, "type")) || !is_str(name))
            refuse("tool_choice", "must name a function as {\"type\": \"function\", \"function\": {\"name\": ...}}",
                   choice);
        named = utf8(name);
        if (!bind::contains(parameters, name))
            refuse("tool_choice", "names a function that 'tools' does not declare", name);
        plan.tool_mode = ToolMode::Required;
    } else {
        refuse("tool_choice", "must be \"none\", \"auto\", \"required\" or a named function", choice);
    }
    if (plan.tool_mode == ToolMode::Off) return;
    if (!have) throw ApiError(400, "'tool_choice' needs functions declared in 'tools'", "tool_choice");
    if (!template_takes_tools(engine.attr("tokenizer")))
        throw ApiError(400, "'tools': this model's chat template does not support tools", "tools");
    plan.tools = declared;
    if (plan.tool_mode != ToolMode::Required) return;

    // The call must be valid JSON for a declared function: decode under a schema of the calls.
    if (!plan.settings.grammar.empty())
        throw ApiError(400, "'response_format' cannot be combined with a required tool call", "response_format");
    nb::list options;
    for (auto &n : plan.tool_names) {
        if (!named.empty() && n != named) continue;
        nb::dict name_schema, props, schema;
        name_schema["type"] = "string";
        name_schema["const"] = pystr(n);
        props["name"] = name_schema;
        props["arguments"] = parameters[pystr(n)];
        schema["type"] = "object";
        schema["properties"] = props;
        schema["required"] = nb::make_tuple("name", "arguments");
        schema["additionalProperties"] = false;
        options.append(schema);
    }
    nb::object schema = options[0];
    if (nb::len(options) > 1) {
        nb::dict any;
        any["anyOf"] = options;
        schema = any;
    }
    plan.settings.grammar = "json_schema";
    plan.settings.schema = json_text(schema);
}

void response_format(nb::handle body, Plan &plan) {
    nb::object rf = field(body, "response_format");
    if (rf.is_none()) return;
    nb::object type = is_dict(rf) ? field(rf, "type") : nb::none();
    std::string t = is_str(type) ? utf8(type) : std::string();
    if (t == "text") return;
    if (t == "json_object") {
        plan.settings.grammar = "json_object";
        return;
    }
    if (t != "json_schema")
        refuse("response_format",
               "must be {\"type\": \"text\"}, {\"type\": \"json_object\"} or {\"type\": \"json_schema\", ...}", rf);
    nb::object described = field(rf, "json_schema");
    if (!is_dict(described)) refuse("response_format", "needs 'json_schema' as an object holding the schema", rf);
    nb::object schema = field(described, "schema");
    if (schema.is_none()) schema = nb::dict();
    if (!is_dict(schema)) refuse("response_format", "json_schema.schema must be a JSON schema object", schema);
    nb::object strict = field(described, "strict");
    if (!strict.is_none() && !PyBool_Check(strict.ptr()))
        refuse("response_format", "json_schema.strict must be true or false", strict);
    nb::object name = field(described, "name");
    if (!name.is_none() && !is_str(name)) refuse("response_format", "json_schema.name must be a string", name);
    plan.settings.grammar = "json_schema";
    plan.settings.schema = json_text(schema);
}

nb::object body_model(nb::handle engine, nb::handle body) {
    nb::object model = field(body, "model");
    nb::object names = engine.attr("servable")();
    if (!bind::contains(names, model))
        throw ApiError(404, "model '" + bind::text(model) + "' not served. available: " + bind::text(names), "model",
                       "model_not_found");
    return model;
}

void whole_body(nb::handle body) {
    if (!is_dict(body)) throw ApiError(400, "the request body must be a JSON object");
    for (auto [k, v] : nb::borrow<nb::dict>(body)) {
        std::string key;
        if (!PyUnicode_AsUTF8AndSize(k.ptr(), nullptr)) {
            PyErr_Clear();
            throw ApiError(400, "the request holds a field name that is not valid Unicode (a lone surrogate)");
        }
        key = bind::text(k);
        check_text(v, key);
    }
}

}  // namespace

std::string json_text(nb::handle obj) { return bind::text(json().attr("dumps")(obj, "ensure_ascii"_a = true)); }

std::string param_of(const std::string &message) {
    if (message.size() < 3 || message[0] != '\'') return "";
    size_t end = message.find('\'', 1);
    if (end == std::string::npos || end == 1) return "";
    std::string name = message.substr(1, end - 1);
    for (char c : name)
        if (!(std::isalnum((unsigned char) c) || c == '_' || c == '.' || c == '[' || c == ']')) return "";
    return name;
}

nb::dict error_body(int status, const std::string &message, const std::string &param, const std::string &code) {
    nb::dict error;
    error["message"] = pystr(message);
    const char *type = status == 401   ? "authentication_error"
                       : status == 404 ? "not_found_error"
                       : status >= 500 ? "server_error"
                                       : "invalid_request_error";
    if (status == 404 && code == "model_not_found") type = "invalid_request_error";
    error["type"] = type;
    error["param"] = param.empty() ? nb::none() : nb::object(pystr(param));
    error["code"] = code.empty() ? nb::none() : nb::object(pystr(code));
    nb::dict body;
    body["error"] = error;
    return body;
}

nb::object error_response(int status, const std::string &message, const std::string &param, const std::string &code,
                          nb::handle headers) {
    nb::object body = pystr(json_text(error_body(status, message, param, code)));
    return bind::import("starlette.responses")
        .attr("Response")(body, "status_code"_a = status, "headers"_a = headers, "media_type"_a = "application/json");
}

Plan parse_chat(nb::handle engine, nb::handle body) {
    whole_body(body);
    Plan plan;
    plan.inputs.push_back(conversation(body));
    only_known(body, {"model",
                      "messages",
                      "max_tokens",
                      "max_completion_tokens",
                      "temperature",
                      "top_p",
                      "n",
                      "seed",
                      "presence_penalty",
                      "frequency_penalty",
                      "logit_bias",
                      "stop",
                      "logprobs",
                      "top_logprobs",
                      "response_format",
                      "tools",
                      "tool_choice",
                      "parallel_tool_calls",
                      "stream",
                      "stream_options",
                      "modalities"});
    nb::object modalities = field(body, "modalities");
    if (!modalities.is_none()) {
        bool text_only = is_list(modalities) && nb::len(modalities) == 1 && nb::str("text").equal(modalities[0]);
        if (!text_only) refuse("modalities", "may only be [\"text\"]: this model writes text only", modalities);
    }
    sampling(engine, body, plan);
    plan.settings.logprobs = boolean(body, "logprobs", false);
    plan.settings.top_logprobs = integer(body, "top_logprobs", 0, 0, 20);
    if (!field(body, "top_logprobs").is_none() && !plan.settings.logprobs)
        throw ApiError(400, "'top_logprobs' needs 'logprobs': true", "top_logprobs");
    response_format(body, plan);
    tools(engine, body, plan);
    plan.model = body_model(engine, body);
    return plan;
}

Plan parse_completion(nb::handle engine, nb::handle body) {
    whole_body(body);
    Plan plan;
    plan.completions = true;
    plan.settings.raw_prompt = true;
    nb::object prompt = field(body, "prompt");
    if (is_str(prompt)) {
        plan.inputs.push_back(prompt);
    } else if (is_list(prompt) && nb::len(prompt) > 0) {
        if (nb::len(prompt) > 64) refuse("prompt", "holds at most 64 prompts", prompt);
        for (nb::handle p : prompt) {
            if (!is_str(p)) refuse("prompt", "must be a text or a list of texts (token ids are not taken)", prompt);
            plan.inputs.push_back(nb::borrow(p));
        }
    } else {
        refuse("prompt", "must be a text or a non-empty list of texts", prompt);
    }
    for (auto &p : plan.inputs)
        if (nb::len(p) == 0) refuse("prompt", "must not be empty", p);
    only_known(body, {"model", "prompt", "max_tokens", "temperature", "top_p", "n", "seed", "presence_penalty",
                      "frequency_penalty", "logit_bias", "stop", "logprobs", "stream", "stream_options", "echo",
                      "suffix", "best_of"});
    sampling(engine, body, plan);
    // The legacy `logprobs`: how many alternatives to list with each token (0..5).
    nb::object lp = field(body, "logprobs");
    if (!lp.is_none()) {
        plan.settings.logprobs = true;
        plan.settings.top_logprobs = integer(body, "logprobs", 0, 0, 5);
    }
    if (boolean(body, "echo", false))
        throw ApiError(400, "'echo' is not supported by this server: the reply holds the new text only", "echo");
    nb::object suffix = field(body, "suffix");
    if (!suffix.is_none() && !(is_str(suffix) && nb::len(suffix) == 0))
        throw ApiError(400, "'suffix' is not supported by this server", "suffix");
    int64_t best_of = integer(body, "best_of", plan.n, 1, 8);
    if (best_of != plan.n) throw ApiError(400, "'best_of' other than 'n' is not supported by this server", "best_of");
    plan.model = body_model(engine, body);
    return plan;
}

// ---- reply shapes --------------------------------------------------------------------------------

namespace {

nb::list byte_values(const std::string &s) {
    nb::list out;
    for (unsigned char c : s) out.append((int) c);
    return out;
}

}  // namespace

nb::dict chat_logprobs(const std::vector<TokenLogprob> &tokens) {
    nb::list content;
    for (auto &t : tokens) {
        nb::list top;
        for (auto &[text, lp] : t.top) {
            nb::dict alt;
            alt["token"] = bind::import("builtins").attr("bytes")(byte_values(text)).attr("decode")("utf-8", "replace");
            alt["logprob"] = lp;
            alt["bytes"] = byte_values(text);
            top.append(alt);
        }
        nb::dict entry;
        entry["token"] =
            bind::import("builtins").attr("bytes")(byte_values(t.token)).attr("decode")("utf-8", "replace");
        entry["logprob"] = t.logprob;
        entry["bytes"] = byte_values(t.token);
        entry["top_logprobs"] = top;
        content.append(entry);
    }
    nb::dict out;
    out["content"] = content;
    return out;
}

nb::dict completion_logprobs(const std::vector<TokenLogprob> &tokens, size_t offset) {
    nb::list texts, lps, tops, offsets;
    nb::object decode = bind::import("builtins").attr("bytes");
    for (auto &t : tokens) {
        texts.append(decode(byte_values(t.token)).attr("decode")("utf-8", "replace"));
        lps.append(t.logprob);
        nb::dict top;
        for (auto &[text, lp] : t.top) top[decode(byte_values(text)).attr("decode")("utf-8", "replace")] = lp;
        tops.append(top);
        offsets.append(offset);
        offset += t.token.size();
    }
    nb::dict out;
    out["tokens"] = texts;
    out["token_logprobs"] = lps;
    out["top_logprobs"] = tops;
    out["text_offset"] = offsets;
    return out;
}

namespace {

// One call read from JSON text: {"name": declared, "arguments" (or "parameters"): object or text}.
bool read_call(const std::string &text, const Plan &plan, nb::list &calls) {
    nb::object obj;
    try {
        obj = json().attr("loads")(pystr(text));
    } catch (nb::python_error &e) {
        if (!ordinary(e)) throw;
        return false;
    }
    if (!is_dict(obj)) return false;
    nb::object name = field(obj, "name");
    if (!is_str(name)) return false;
    std::string n = utf8(name);
    if (std::find(plan.tool_names.begin(), plan.tool_names.end(), n) == plan.tool_names.end()) return false;
    nb::object args = field(obj, "arguments");
    if (args.is_none()) args = field(obj, "parameters");
    if (args.is_none()) args = nb::dict();
    nb::dict fn;
    fn["name"] = name;
    fn["arguments"] = is_str(args) ? nb::str(args) : pystr(json_text(args));
    nb::dict call;
    call["id"] = nb::str("call_{}").format(bind::import("uuid").attr("uuid4")().attr("hex").attr("__getitem__")(
        nb::slice(nb::none(), nb::int_(24), nb::none())));
    call["type"] = "function";
    call["function"] = fn;
    calls.append(call);
    return true;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

ToolReply read_tool_calls(const std::string &text, const Plan &plan) {
    ToolReply out;
    if (plan.tool_mode == ToolMode::Off) {
        out.content = text;
        return out;
    }
    static const std::string open = "<tool_call>", close = "</tool_call>";
    size_t pos = 0;
    std::string rest;
    bool tagged = false;
    while (true) {
        size_t start = text.find(open, pos);
        if (start == std::string::npos) {
            rest += text.substr(pos);
            break;
        }
        rest += text.substr(pos, start - pos);
        size_t body = start + open.size();
        size_t end = text.find(close, body);
        std::string inner = text.substr(body, end == std::string::npos ? std::string::npos : end - body);
        if (read_call(trim(inner), plan, out.calls)) {
            tagged = true;
        } else {
            rest += text.substr(start, end == std::string::npos ? std::string::npos : end + close.size() - start);
        }
        if (end == std::string::npos) break;
        pos = end + close.size();
    }
    if (tagged) {
        out.content = trim(rest);
        return out;
    }
    nb::list calls;
    if (read_call(trim(text), plan, calls)) {
        out.calls = calls;
        return out;
    }
    out.content = text;
    return out;
}

}  // namespace vz::serve
