// The HTTP face in front of the routes: the request guard (API key, body size), OpenAI's error
// shape for every refusal the framework itself makes (404, 405, 422, 500), and the connection
// deadlines of the HTTP protocol.
//
// Design notes
// - The guard checks the headers before any route reads the body: a request with both
//   Content-Length and Transfer-Encoding is refused (RFC 9112 lets a server refuse it, and the
//   two framings disagreeing is how a body slips past a limit), a declared length above the
//   limit gets 413 at once, and the bytes that actually arrive are counted as well: past the
//   limit the route sees the client gone and the answer becomes 413 whatever the route says.
// - The guard runs on the event loop and never waits itself: it hands the route wrapped
//   `receive` and `send` callables. The counting `receive` returns an awaitable (ThenAwaitable)
//   that drives the server's own awaitable and looks at its message when it completes, so no
//   Python coroutine is needed on this side.
// - Deadlines: uvicorn closes a keep-alive connection that stays idle after a response, but not
//   one that never sends a request, nor one that sends its head or body slowly. The protocol
//   class from http_protocol() adds both: a fresh connection gets the same idle limit as a
//   kept-alive one, and a request must arrive whole (head and body) within `request_timeout`
//   of its first byte, or the connection is closed.
#include "modules/serve/openai.hpp"

#include <algorithm>
#include <string>

namespace vz::serve {
using namespace nb::literals;

namespace {

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

// Awaits `inner`, then hands its result through `then`: the awaitable protocol driven by hand
// (send / throw forwarded to the inner iterator until it stops with its result).
struct ThenAwaitable {
    nb::object it;
    std::function<nb::object(nb::handle)> then;

    [[noreturn]] void finish(nb::python_error &e) {
        if (!e.matches(PyExc_StopIteration)) throw;
        nb::object value = e.value().attr("value");
        nb::object result = then(value);
        nb::object stop = nb::handle(PyExc_StopIteration)(result);
        PyErr_SetObject(PyExc_StopIteration, stop.ptr());
        throw nb::python_error();
    }
    nb::object send(nb::handle value) {
        try {
            return it.attr("send")(value);
        } catch (nb::python_error &e) {
            finish(e);
        }
    }
    nb::object throw_(nb::args args) {
        try {
            return it.attr("throw")(*args);
        } catch (nb::python_error &e) {
            finish(e);
        }
    }
    void close() {
        if (nb::hasattr(it, "close")) it.attr("close")();
    }
};

nb::object then(nb::handle awaitable, std::function<nb::object(nb::handle)> fn) {
    ThenAwaitable t;
    t.it = awaitable.attr("__await__")();
    t.then = std::move(fn);
    return nb::cast(std::move(t));
}

// What the guard knows of one request while the route runs.
struct BodyCount {
    int64_t received = 0, limit = 0;
    bool over = false;     // more bytes came than the limit allows
    bool started = false;  // the route's answer began before that
    int replaced = 0;      // 1: the 413's start went out in place of the route's; 2: and its body
};

struct RequestGuard {
    nb::object app;
    std::string expected;  // "Bearer <key>", empty when no key is set
    int64_t max_body = 0;
    // Worker threads the generation routes need: each waits on one while its rows queue or run,
    // so the framework's pool (40 threads by default) must hold every running and waiting
    // request, or requests past it would wait for a thread instead of getting their 503.
    int64_t worker_threads = 0;
    bool pool_sized = false;

    void size_pool() {
        pool_sized = true;
        if (worker_threads <= 0) return;
        try {
            nb::object limiter = bind::import("anyio.to_thread").attr("current_default_thread_limiter")();
            if (nb::cast<double>(limiter.attr("total_tokens")) < (double) worker_threads)
                nb::setattr(limiter, "total_tokens", nb::int_(worker_threads));
        } catch (nb::python_error &e) {
            if (!ordinary(e)) throw;  // not on an anyio-driven loop: the pool stays as it is
        }
    }

    nb::object refuse(nb::handle scope, nb::handle receive, nb::handle send, int status, const std::string &message,
                      nb::handle headers = nb::none()) {
        return error_response(status, message, "", status == 401 ? "invalid_api_key" : "", headers)(scope, receive,
                                                                                                    send);
    }

    std::string too_large(int64_t n) const {
        return "request body of " + std::to_string(n) + " bytes is above the limit of " + std::to_string(max_body) +
               " bytes";
    }

    nb::object call(nb::handle scope, nb::handle receive, nb::handle send) {
        if (!nb::str("http").equal(scope["type"])) return app(scope, receive, send);
        if (!pool_sized) size_pool();
        std::string authorization, length;
        bool has_length = false, has_encoding = false;
        for (nb::handle pair : scope["headers"]) {
            std::string key = nb::cast<std::string>(nb::bytes(pair[0]).attr("decode")("latin-1"));
            nb::bytes value(pair[1]);
            if (key == "authorization") {
                authorization.assign(value.c_str(), value.size());
            } else if (key == "content-length") {
                if (has_length) return refuse(scope, receive, send, 400, "the Content-Length header is given twice");
                has_length = true;
                length.assign(value.c_str(), value.size());
            } else if (key == "transfer-encoding") {
                has_encoding = true;
            }
        }
        if (!expected.empty() && !nb::str("/healthz").equal(scope["path"]) && !same_secret(authorization, expected)) {
            nb::dict headers;
            headers["WWW-Authenticate"] = "Bearer";
            return refuse(scope, receive, send, 401,
                          "a valid API key is needed: send the header 'Authorization: Bearer <key>'", headers);
        }
        if (has_length && has_encoding)
            return refuse(scope, receive, send, 400,
                          "a request may not carry both Content-Length and Transfer-Encoding headers");
        if (has_length) {
            bool digits = !length.empty() && length.size() <= 18 &&
                          std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits) return refuse(scope, receive, send, 400, "the Content-Length header is not a byte count");
            int64_t n = std::stoll(length);
            if (n > max_body) return refuse(scope, receive, send, 413, too_large(n));
        } else if (has_encoding) {
            return refuse(scope, receive, send, 411, "a request body needs a Content-Length header");
        }

        // Count what arrives, whatever the headers said.
        auto count = std::make_shared<BodyCount>();
        count->limit = max_body;
        nb::object real_receive = nb::borrow(receive), real_send = nb::borrow(send);
        nb::object counted_receive = nb::cpp_function([count, real_receive]() {
            return then(real_receive(), [count](nb::handle message) -> nb::object {
                if (count->over) {
                    nb::dict gone;
                    gone["type"] = "http.disconnect";
                    return gone;
                }
                if (nb::str("http.request").equal(message["type"])) {
                    nb::object chunk = nb::borrow<nb::dict>(message).attr("get")("body", nb::bytes(""));
                    count->received += (int64_t) nb::len(chunk);
                    if (count->received > count->limit) {
                        count->over = true;  // the route sees the client gone and stops reading
                        nb::dict gone;
                        gone["type"] = "http.disconnect";
                        return gone;
                    }
                }
                return nb::borrow(message);
            });
        });
        std::string text = json_text(error_body(
            413, "request body of more than " + std::to_string(max_body) + " bytes is above the limit", "", ""));
        nb::object guarded_send = nb::cpp_function([count, real_send, text](nb::handle message) -> nb::object {
            std::string type = bind::text(message["type"]);
            if (!count->over || count->started) {
                if (type == "http.response.start") count->started = true;
                return real_send(message);
            }
            // The route answers a body it could not read: the 413 goes out in its place.
            if (type == "http.response.start") {
                nb::list headers;
                headers.append(nb::make_tuple(nb::bytes("content-type"), nb::bytes("application/json")));
                headers.append(
                    nb::make_tuple(nb::bytes("content-length"), nb::bytes(std::to_string(text.size()).c_str())));
                headers.append(nb::make_tuple(nb::bytes("connection"), nb::bytes("close")));
                nb::dict start;
                start["type"] = "http.response.start";
                start["status"] = 413;
                start["headers"] = headers;
                count->replaced = 1;
                return real_send(start);
            }
            if (type == "http.response.body" && count->replaced == 1) {
                count->replaced = 2;
                nb::dict body;
                body["type"] = "http.response.body";
                body["body"] = nb::bytes(text.c_str(), text.size());
                body["more_body"] = false;
                return real_send(body);
            }
            return bind::import("asyncio").attr("sleep")(0);  // the rest of the route's answer is dropped
        });
        return app(scope, counted_receive, guarded_send);
    }
};

}  // namespace

// ---- OpenAI's error shape for the framework's own refusals ---------------------------------------

namespace {

nb::object on_http_exception(nb::handle request, nb::handle exc) {
    (void) request;
    int status = nb::cast<int>(exc.attr("status_code"));
    nb::object detail = exc.attr("detail");
    nb::object headers = nb::getattr(exc, "headers", nb::none());
    std::string message, param, code;
    if (PyDict_Check(detail.ptr())) {
        message = bind::text(detail["message"]);
        nb::object p = nb::borrow<nb::dict>(detail).attr("get")("param");
        nb::object c = nb::borrow<nb::dict>(detail).attr("get")("code");
        if (!p.is_none()) param = bind::text(p);
        if (!c.is_none()) code = bind::text(c);
    } else {
        message = bind::text(detail);
        param = param_of(message);
    }
    return error_response(status, message, param, code, headers);
}

// fastapi's request validation (422): each error's location and text, as the framework wrote them.
nb::object on_validation_error(nb::handle request, nb::handle exc) {
    (void) request;
    std::string message, param;
    for (nb::handle e : exc.attr("errors")()) {
        if (nb::str("json_invalid").equal(nb::borrow<nb::dict>(e).attr("get")("type")))
            return error_response(422, "the request body is not valid JSON: " + bind::text(e["msg"]), "", "");
        std::string loc;
        for (nb::handle part : e["loc"]) {
            std::string p = bind::text(part);
            if (loc.empty() && p == "body") continue;
            if (!loc.empty()) loc += ".";
            loc += p;
        }
        if (param.empty()) param = loc;
        if (!message.empty()) message += "; ";
        message += (loc.empty() ? std::string("body") : loc) + ": " + bind::text(e["msg"]);
    }
    if (message.empty()) message = "the request does not match its schema";
    return error_response(422, message, param, "");
}

nb::object on_server_error(nb::handle request, nb::handle exc) {
    (void) request;
    return error_response(500, "the server failed to answer this request (" + bind::type_name(exc) + "); see its log",
                          "", "");
}

// ---- connection deadlines -------------------------------------------------------------------------

nb::object h11_protocol() { return bind::import("uvicorn.protocols.http.h11_impl").attr("H11Protocol"); }

void cancel_deadline(nb::handle self) {
    nb::object deadline = nb::getattr(self, "_vz_deadline", nb::none());
    if (!deadline.is_none()) deadline.attr("cancel")();
    nb::setattr(self, "_vz_deadline", nb::none());
}

// The request being received is whole (or none is under way): its deadline is over.
void settle(nb::handle self) {
    if (nb::getattr(self, "_vz_deadline", nb::none()).is_none()) return;
    nb::module_ h11 = bind::import("h11");
    nb::object conn = self.attr("conn");
    nb::object state = conn.attr("their_state");
    if (state.is(h11.attr("SEND_BODY"))) return;
    if (state.is(h11.attr("IDLE")) && bind::truthy(conn.attr("trailing_data")[0])) return;  // half a head
    cancel_deadline(self);
}

void expire(nb::handle self) {
    nb::setattr(self, "_vz_deadline", nb::none());
    nb::module_ h11 = bind::import("h11");
    nb::object state = self.attr("conn").attr("their_state");
    nb::object transport = self.attr("transport");
    if ((state.is(h11.attr("IDLE")) || state.is(h11.attr("SEND_BODY"))) &&
        !bind::truthy(transport.attr("is_closing")()))
        transport.attr("close")();  // the request did not arrive in time
}

void connection_made(nb::handle self, nb::handle transport) {
    h11_protocol().attr("connection_made")(self, transport);
    nb::setattr(self, "_vz_deadline", nb::none());
    nb::object keep_alive = self.attr("_vz_keep_alive");
    nb::setattr(self, "timeout_keep_alive", keep_alive);
    // A connection that never sends a request is closed like an idle kept-alive one.
    nb::setattr(self, "timeout_keep_alive_task",
                self.attr("loop").attr("call_later")(keep_alive, self.attr("timeout_keep_alive_handler")));
}

void data_received(nb::handle self, nb::handle data) {
    if (nb::getattr(self, "_vz_deadline", nb::none()).is_none() &&
        self.attr("conn").attr("their_state").is(bind::import("h11").attr("IDLE"))) {
        nb::object self_ref = nb::borrow(self);
        nb::object on_time = nb::cpp_function([self_ref]() { expire(self_ref); }, nb::name("request_deadline"));
        nb::setattr(self, "_vz_deadline",
                    self.attr("loop").attr("call_later")(self.attr("_vz_request_timeout"), on_time));
    }
    h11_protocol().attr("data_received")(self, data);
    settle(self);
}

void connection_lost(nb::handle self, nb::handle exc) {
    cancel_deadline(self);
    h11_protocol().attr("connection_lost")(self, exc);
}

void on_response_complete(nb::handle self) {
    h11_protocol().attr("on_response_complete")(self);
    settle(self);
}

}  // namespace

nb::object http_protocol(nb::handle request_timeout, nb::handle keep_alive_timeout) {
    double request = bind::arg_float(request_timeout, "request_timeout");
    double keep_alive = bind::arg_float(keep_alive_timeout, "keep_alive_timeout");
    if (!(request > 0)) bind::raise(PyExc_ValueError, "request_timeout must be above 0 seconds");
    if (!(keep_alive > 0)) bind::raise(PyExc_ValueError, "keep_alive_timeout must be above 0 seconds");
    nb::object partialmethod = bind::import("functools").attr("partialmethod");
    nb::dict ns;
    ns["__module__"] = kModule;
    ns["__doc__"] =
        "uvicorn's h11 protocol with deadlines: a request must arrive whole within "
        "_vz_request_timeout seconds of its first byte, and a connection idle for _vz_keep_alive "
        "seconds (before its first request too) is closed.";
    ns["_vz_request_timeout"] = request;
    ns["_vz_keep_alive"] = keep_alive;
    ns["connection_made"] = partialmethod(
        nb::cpp_function(&connection_made, nb::name("connection_made"), "self"_a, "transport"_a.none()));
    ns["data_received"] = partialmethod(
        nb::cpp_function(&data_received, nb::name("data_received"), "self"_a, "data"_a.none()));
    ns["connection_lost"] = partialmethod(
        nb::cpp_function(&connection_lost, nb::name("connection_lost"), "self"_a, "exc"_a.none()));
    ns["on_response_complete"] = partialmethod(
        nb::cpp_function(&on_response_complete, nb::name("on_response_complete")));
    return bind::import("builtins").attr("type")("_HttpProtocol", nb::make_tuple(h11_protocol()), ns);
}

void install_error_shape(nb::handle app) {
    nb::object add = app.attr("add_exception_handler");
    add(bind::import("starlette.exceptions").attr("HTTPException"),
        nb::cpp_function(&on_http_exception, nb::name("openai_http_error")));
    add(bind::import("fastapi.exceptions").attr("RequestValidationError"),
        nb::cpp_function(&on_validation_error, nb::name("openai_validation_error")));
    add(nb::handle(PyExc_Exception), nb::cpp_function(&on_server_error, nb::name("openai_server_error")));
}

void register_http(nb::module_ &m) {
    nb::class_<ThenAwaitable>(m, "_Then", "An awaitable that hands another awaitable's result through a function.")
        .def("__await__", [](nb::handle self) { return nb::borrow(self); })
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](ThenAwaitable &t) { return t.send(nb::none()); })
        .def("send", &ThenAwaitable::send)
        .def("throw", &ThenAwaitable::throw_)
        .def("close", &ThenAwaitable::close);

    nb::class_<RequestGuard>(m, "_RequestGuard",
                             "ASGI middleware: the API key on every route but /healthz, and the body size limit.")
        .def(
            "__init__",
            [](RequestGuard *g, nb::object app, nb::object api_key, int64_t max_body_bytes, int64_t worker_threads) {
                new (g) RequestGuard();
                g->app = std::move(app);
                if (!api_key.is_none() && bind::truthy(api_key))
                    g->expected = "Bearer " + nb::cast<std::string>(api_key);
                g->max_body = max_body_bytes;
                g->worker_threads = worker_threads;
            },
            "app"_a, "api_key"_a.none() = nb::none(), "max_body_bytes"_a = kDefaultMaxBodyBytes, "worker_threads"_a = 0)
        .def("__call__", &RequestGuard::call, "scope"_a, "receive"_a, "send"_a);

    m.def("_http_protocol", &http_protocol, nb::kw_only(), "request_timeout"_a.none() = kDefaultRequestTimeout,
          "keep_alive_timeout"_a.none() = kDefaultKeepAlive,
          "uvicorn's h11 protocol class with a deadline for each request's head and body and an idle limit "
          "for every connection.");
}

}  // namespace vz::serve
