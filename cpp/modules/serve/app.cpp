// The HTTP side: the pydantic request models (built when the module loads) and the fastapi
// application with its three routes. Route handlers are C++ functions; each is registered as a
// functools.partial bound to the engine and carrying the signature fastapi reads, so the
// framework validates the body against ChatRequest and runs the (synchronous) handler on its
// worker threads.
//
// A chat handler checks the fields the request model cannot (each refusal a 4xx naming its
// field), hands the conversation to the application's batcher and waits for the reply with the
// GIL released, asking the event loop now and then whether the client is still there. A
// streamed reply is an iterator of Server-Sent Events that the framework pulls on its worker
// threads. In front of the routes, an ASGI guard checks the optional API key and refuses bodies
// above the size limit before anything reads them.
#include "modules/serve/batcher.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

namespace vz::serve {
using namespace nb::literals;

namespace {

nb::dict healthz(nb::handle engine) {
    nb::dict out;
    out["status"] = "ok";
    out["vram_allocated"] = vram_bytes();
    out["device"] = engine.attr("device");
    out["servable"] = engine.attr("servable")();
    return out;
}

nb::dict models(nb::handle engine) {
    nb::list data;
    for (nb::handle name : engine.attr("servable")()) {
        nb::dict entry;
        entry["id"] = name;
        entry["object"] = "model";
        entry["owned_by"] = "velkor-zuma";
        data.append(entry);
    }
    nb::dict out;
    out["object"] = "list";
    out["data"] = data;
    return out;
}

[[noreturn]] void http_error(nb::handle http_exception, int status, const std::string &detail,
                             nb::handle headers = nb::none()) {
    nb::object exc = http_exception("status_code"_a = status, "detail"_a = nb::str(detail.c_str(), detail.size()),
                                    "headers"_a = headers);
    bind::raise(exc.type().ptr(), exc);
}

// Ids unique in this process: the creation second, then a running count.
std::atomic<int64_t> reply_count{0};
nb::str reply_id(nb::handle created) {
    return nb::str(("chatcmpl-" + bind::text(created) + "-" + std::to_string(++reply_count)).c_str());
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

// Waits for `ready` on the job, polling the client's connection; a client that went away
// cancels its job, which the scheduler then ends at its next step.
void wait_job(Job &job, nb::handle request, const std::function<bool()> &ready) {
    while (!job.wait_for(ready, 0.25))
        if (!job.cancelled.load() && disconnected(request)) job.cancelled = true;
}

// Raises what ended a job without a reply: a refusal as its HTTP status, or the exception of
// the generation as it was (the framework answers 500).
void raise_failure(Job &job, nb::handle http_exception) {
    if (job.error.is_valid() && !job.error.is_none()) {
        bind::raise(job.error.type().ptr(), job.error);
    }
    if (job.status) http_error(http_exception, job.status, job.message);
}

nb::dict usage(Job &job) {
    nb::dict u;
    u["prompt_tokens"] = job.prompt_tokens;
    u["completion_tokens"] = job.completion_tokens;
    u["total_tokens"] = job.prompt_tokens + job.completion_tokens;
    return u;
}

// The body of a streamed reply: Server-Sent Events in the chat-completion chunk format, as
// the scheduler decodes. Iterated on the framework's worker threads; dropping or closing it
// before the end cancels the generation.
struct EventStream {
    std::shared_ptr<Job> job;
    nb::object request, id, created, model;
    bool include_usage = false;
    int state = 0;  // role chunk, content, finish chunk, usage chunk, [DONE], over

    EventStream() = default;
    EventStream(const EventStream &) = delete;
    EventStream &operator=(const EventStream &) = delete;
    EventStream(EventStream &&) = default;
    ~EventStream() { close(); }

    void close() {
        if (job) job->cancelled = true;
    }

    nb::str event(nb::handle delta, nb::handle finish_reason, bool with_choice = true) {
        nb::dict chunk;
        chunk["id"] = id;
        chunk["object"] = "chat.completion.chunk";
        chunk["created"] = created;
        chunk["model"] = model;
        nb::list choices;
        if (with_choice) {
            nb::dict choice;
            choice["index"] = 0;
            choice["delta"] = delta;
            choice["finish_reason"] = finish_reason;
            choices.append(choice);
        }
        chunk["choices"] = choices;
        if (include_usage) chunk["usage"] = with_choice ? nb::none() : nb::object(usage(*job));
        return data(chunk);
    }

    static nb::str data(nb::handle payload) {
        return nb::str("data: {}\n\n").format(bind::import("json").attr("dumps")(payload));
    }

    nb::str next() {
        Job &j = *job;
        if (state == 0) {
            state = 1;
            nb::dict delta;
            delta["role"] = "assistant";
            delta["content"] = "";
            return event(delta, nb::none());
        }
        if (state == 1) {
            wait_job(j, request, [&] { return !j.pending.empty() || j.done; });
            std::string piece;
            bool done;
            {
                std::lock_guard<std::mutex> lk(j.mu);
                piece.swap(j.pending);
                done = j.done;
            }
            if (!piece.empty()) {
                nb::dict delta;
                delta["content"] = nb::str(piece.c_str(), piece.size());
                return event(delta, nb::none());
            }
            if (!done) return next();
            state = 2;
        }
        if (state == 2) {
            if ((j.error.is_valid() && !j.error.is_none()) || j.status) {
                // The reply cannot complete: say so in the stream, which the client raises.
                nb::dict error, body;
                error["message"] = j.status ? nb::str(j.message.c_str(), j.message.size()) : nb::str(j.error);
                error["type"] = j.status == 400 ? "invalid_request_error" : "server_error";
                body["error"] = error;
                state = 4;
                return data(body);
            }
            state = 3;
            return event(nb::dict(), nb::str(j.finish_reason.c_str()));
        }
        if (state == 3) {
            state = 4;
            if (include_usage) return event(nb::none(), nb::none(), false);
        }
        if (state == 4) {
            state = 5;
            return nb::str("data: [DONE]\n\n");
        }
        throw nb::stop_iteration();
    }
};

nb::object chat(nb::handle engine, nb::handle batcher, nb::handle http_exception, nb::handle streaming_response,
                nb::handle req, nb::handle request) {
    // Field checks the request model cannot express, each naming its field.
    nb::object messages = req.attr("messages");
    if (!bind::truthy(messages)) http_error(http_exception, 400, "'messages' must hold at least one message");
    nb::object max_tokens = req.attr("max_tokens");
    int64_t limit = 0;
    if (!max_tokens.is_none()) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(max_tokens.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) nb::raise_python_error();
        if (overflow < 0 || (overflow == 0 && n < 0))
            http_error(
                http_exception, 400,
                "'max_tokens' must be 0 or more (0 or null: the server's default), got " + bind::text(max_tokens));
        limit = overflow > 0 ? INT64_MAX : (int64_t) n;  // capped later by the context left
    }
    double temperature = nb::cast<double>(req.attr("temperature"));
    if (!std::isfinite(temperature))
        http_error(http_exception, 400,
                   "'temperature' must be a finite number, got " + bind::text(req.attr("temperature")));

    nb::object model = req.attr("model");
    nb::object names = engine.attr("servable")();
    if (!bind::contains(names, model)) {
        std::string detail = "model '" + bind::text(model) + "' not served. available: " + bind::text(names);
        http_error(http_exception, 404, detail);
    }

    nb::list conversation;
    for (nb::handle m : messages) {
        nb::dict msg;
        msg["role"] = m.attr("role");
        msg["content"] = m.attr("content");
        conversation.append(msg);
    }

    bool stream = bind::truthy(req.attr("stream"));
    Scheduler &scheduler = *nb::cast<Batcher &>(batcher).get();
    RowSettings settings;
    settings.temperature = temperature;
    std::shared_ptr<Job> job = scheduler.submit(model, conversation, nb::none(), limit, settings, stream);
    Job &j = *job;

    if (stream) {
        // Refusals (a prompt beyond the context) still get their status before the stream.
        wait_job(j, request, [&] { return j.admitted; });
        // A generation that fails once admitted ends its stream with an error event instead.
        if (j.done && j.status) raise_failure(j, http_exception);
        nb::object options = req.attr("stream_options");
        EventStream events;
        events.job = job;
        events.request = nb::borrow(request);
        events.created = nb::int_(bind::import("time").attr("time")());
        events.id = reply_id(events.created);
        events.model = model;
        events.include_usage = !options.is_none() && bind::truthy(options.attr("get")("include_usage", false));
        nb::dict headers;
        headers["Cache-Control"] = "no-cache";
        nb::object body = nb::cast(std::move(events));
        // The framework stops iterating a stream whose client went away but keeps the iterator
        // until it is collected, which may be long after (a cycle through the cancellation's
        // traceback); its background task runs as soon as the response ends, delivered or not,
        // and stops the generation then.
        nb::object close = bind::import("starlette.background").attr("BackgroundTask")(body.attr("close"));
        return streaming_response(body, "media_type"_a = "text/event-stream", "headers"_a = headers,
                                  "background"_a = close);
    }

    wait_job(j, request, [&] { return j.done; });
    raise_failure(j, http_exception);

    nb::int_ created(bind::import("time").attr("time")());  // whole seconds, after generation
    nb::dict message;
    message["role"] = "assistant";
    message["content"] = nb::str(j.text.c_str(), j.text.size());
    nb::dict choice;
    choice["index"] = 0;
    choice["finish_reason"] = nb::str(j.finish_reason.c_str());
    choice["message"] = message;
    nb::list choices;
    choices.append(choice);

    nb::dict out;
    out["id"] = reply_id(created);
    out["object"] = "chat.completion";
    out["created"] = created;
    out["model"] = model;
    out["choices"] = choices;
    out["usage"] = usage(j);
    return out;
}

// ---- request guard: API key and body size, before any route reads the body -------------------

// Equal byte strings, in a time that does not depend on where they differ.
bool same_secret(const std::string &a, const std::string &b) {
    size_t n = std::max(a.size(), b.size());
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = i < a.size() ? (unsigned char) a[i] : 0;
        unsigned char y = i < b.size() ? (unsigned char) b[i] : 0;
        diff |= (unsigned char) (x ^ y);
    }
    return diff == 0;
}

struct RequestGuard {
    nb::object app;
    std::string expected;  // "Bearer <key>", empty when no key is set
    int64_t max_body = 0;

    nb::object refuse(nb::handle scope, nb::handle receive, nb::handle send, int status, const std::string &detail,
                      nb::handle headers = nb::none()) {
        nb::dict body;
        body["detail"] = nb::str(detail.c_str(), detail.size());
        nb::object response = bind::import("starlette.responses")
                                  .attr("JSONResponse")(body, "status_code"_a = status, "headers"_a = headers);
        return response(scope, receive, send);
    }

    nb::object call(nb::handle scope, nb::handle receive, nb::handle send) {
        if (!nb::str("http").equal(scope["type"])) return app(scope, receive, send);
        std::string authorization, length, chunked;
        bool has_length = false, has_chunked = false;
        for (nb::handle pair : scope["headers"]) {
            std::string key = nb::cast<std::string>(nb::bytes(pair[0]).attr("decode")("latin-1"));
            nb::bytes value(pair[1]);
            if (key == "authorization")
                authorization.assign(value.c_str(), value.size());
            else if (key == "content-length") {
                has_length = true;
                length.assign(value.c_str(), value.size());
            } else if (key == "transfer-encoding") {
                has_chunked = true;
            }
        }
        if (!expected.empty() && !nb::str("/healthz").equal(scope["path"]) && !same_secret(authorization, expected)) {
            nb::dict headers;
            headers["WWW-Authenticate"] = "Bearer";
            return refuse(scope, receive, send, 401,
                          "a valid API key is needed: send the header 'Authorization: Bearer <key>'", headers);
        }
        if (has_length) {
            bool digits = !length.empty() && length.size() <= 18 &&
                          std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits) return refuse(scope, receive, send, 400, "the Content-Length header is not a byte count");
            int64_t n = std::stoll(length);
            if (n > max_body)
                return refuse(scope, receive, send, 413,
                              "request body of " + std::to_string(n) + " bytes is above the limit of " +
                                  std::to_string(max_body) + " bytes");
        } else if (has_chunked) {
            return refuse(scope, receive, send, 411, "a request body needs a Content-Length header");
        }
        return app(scope, receive, send);
    }
};

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
    nb::object required = nb::ellipsis();

    nb::object chat_message = create_model(
        "ChatMessage", "__module__"_a = m.attr("__name__"), "__doc__"_a = "One message of a conversation.",
        "role"_a = nb::make_tuple(str_t, required), "content"_a = nb::make_tuple(str_t, required));
    m.attr("ChatMessage") = chat_message;

    nb::object chat_request = create_model(
        "ChatRequest", "__module__"_a = m.attr("__name__"), "__doc__"_a = "Body of POST /v1/chat/completions.",
        "model"_a = nb::make_tuple(str_t, required),
        "messages"_a = nb::make_tuple(typing.attr("List")[chat_message], required),
        "max_tokens"_a = nb::make_tuple(typing.attr("Optional")[int_t], nb::none()),
        "temperature"_a = nb::make_tuple(float_t, nb::float_(0.0)),
        "stream"_a = nb::make_tuple(nb::handle((PyObject *) &PyBool_Type), nb::bool_(false)),
        "stream_options"_a = nb::make_tuple(
            typing.attr("Optional")[typing.attr("Dict")[nb::make_tuple(str_t, typing.attr("Any"))]], nb::none()));
    m.attr("ChatRequest") = chat_request;

    nb::class_<EventStream>(m, "_EventStream", "The Server-Sent Events of one streamed chat completion.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &EventStream::next)
        .def("close", &EventStream::close, "Stop the generation behind this stream.");

    nb::class_<RequestGuard>(m, "_RequestGuard",
                             "ASGI middleware: the API key on every route but /healthz, and the body size limit.")
        .def(
            "__init__",
            [](RequestGuard *g, nb::object app, nb::object api_key, int64_t max_body_bytes) {
                new (g) RequestGuard();
                g->app = std::move(app);
                if (!api_key.is_none() && bind::truthy(api_key))
                    g->expected = "Bearer " + nb::cast<std::string>(api_key);
                g->max_body = max_body_bytes;
            },
            "app"_a, "api_key"_a.none() = nb::none(), "max_body_bytes"_a = kDefaultMaxBodyBytes)
        .def("__call__", &RequestGuard::call, "scope"_a, "receive"_a, "send"_a);
}

nb::object build_app(nb::handle engine, nb::handle max_batch_obj, nb::handle max_body_obj) {
    int64_t max_batch = bind::arg_int(max_batch_obj, "max_batch");
    int64_t max_body = bind::arg_int(max_body_obj, "max_body_bytes");
    if (max_body < 0) bind::raise(PyExc_ValueError, "max_body_bytes must not be negative");
    nb::module_ fastapi = bind::import("fastapi");
    nb::object fastapi_cls = fastapi.attr("FastAPI");
    nb::object http_exception = fastapi.attr("HTTPException");
    nb::object streaming_response = bind::import("fastapi.responses").attr("StreamingResponse");
    nb::object app = fastapi_cls("title"_a = "velkor-zuma serve");
    nb::object batcher = make_batcher(engine, max_batch, kDefaultMaxWaiting);

    nb::object parameter = bind::import("inspect").attr("Parameter");
    nb::list chat_params;
    chat_params.append(parameter("req", parameter.attr("POSITIONAL_OR_KEYWORD"), "annotation"_a = attr("ChatRequest")));
    chat_params.append(
        parameter("request", parameter.attr("POSITIONAL_OR_KEYWORD"), "annotation"_a = fastapi.attr("Request")));

    nb::object h = route(nb::cpp_function(&healthz, "engine"_a), nb::make_tuple(engine), "healthz", nb::list(),
                         "Liveness check with a snapshot of allocated VRAM.");
    nb::object md = route(nb::cpp_function(&models, "engine"_a), nb::make_tuple(engine), "models", nb::list(),
                          "The model names this server answers to.");
    nb::object c = route(nb::cpp_function(&chat, "engine"_a, "batcher"_a, "http_exception"_a, "streaming_response"_a,
                                          "req"_a, "request"_a),
                         nb::make_tuple(engine, batcher, http_exception, streaming_response), "chat", chat_params,
                         "One chat completion from the named adapter, whole or streamed as Server-Sent Events.");

    app.attr("get")("/healthz")(h);
    app.attr("get")("/v1/models")(md);
    app.attr("post")("/v1/chat/completions")(c);

    // The key is read when the application is built; an empty value means no key.
    nb::object key = bind::import("os").attr("environ").attr("get")(kApiKeyVariable, "");
    app.attr("add_middleware")(attr("_RequestGuard"), "api_key"_a = bind::truthy(key) ? key : nb::none(),
                               "max_body_bytes"_a = max_body);
    app.attr("state").attr("batcher") = batcher;
    return app;
}

}  // namespace vz::serve
