// The HTTP side: the pydantic request models (built when the module loads) and the fastapi
// application with its three routes. Route handlers are C++ functions; each is registered as a
// functools.partial bound to the engine and carrying the signature fastapi reads, so the
// framework validates the body against ChatRequest and runs the (synchronous) handler on its
// worker threads.
#include "serve.hpp"

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

nb::dict chat(nb::handle engine, nb::handle http_exception, nb::handle req) {
    nb::object model = req.attr("model");
    nb::object names = engine.attr("servable")();
    if (!contains(names, model)) {
        std::string detail = "model '" + nb::cast<std::string>(nb::str(model)) +
                             "' not served. available: " + nb::cast<std::string>(nb::str(names));
        nb::object exc = http_exception("status_code"_a = 404, "detail"_a = nb::str(detail.c_str(), detail.size()));
        PyErr_SetObject(exc.type().ptr(), exc.ptr());
        nb::raise_python_error();
    }

    nb::list conversation;
    for (nb::handle m : req.attr("messages")) {
        nb::dict msg;
        msg["role"] = m.attr("role");
        msg["content"] = m.attr("content");
        conversation.append(msg);
    }
    nb::object reply =
        engine.attr("generate")(model, conversation, req.attr("max_tokens"), req.attr("temperature"));

    nb::int_ created(vz::import("time").attr("time")());  // whole seconds, after generation
    nb::dict message;
    message["role"] = "assistant";
    message["content"] = reply;
    nb::dict choice;
    choice["index"] = 0;
    choice["finish_reason"] = "stop";
    choice["message"] = message;
    nb::list choices;
    choices.append(choice);

    nb::dict out;
    out["id"] = nb::str("chatcmpl-") + nb::str(created);
    out["object"] = "chat.completion";
    out["created"] = created;
    out["model"] = model;
    out["choices"] = choices;
    return out;
}

// functools.partial(fn, *bound) named `name`, with `params` as its visible signature.
nb::object route(nb::object fn, nb::tuple bound, const char *name, nb::list params, const char *doc) {
    nb::object handler = vz::import("functools").attr("partial")(fn, *bound);
    nb::object signature = vz::import("inspect").attr("Signature");
    nb::setattr(handler, "__signature__", signature(params));
    nb::setattr(handler, "__name__", nb::str(name));
    nb::setattr(handler, "__qualname__", nb::str((std::string("build_app.<locals>.") + name).c_str()));
    nb::setattr(handler, "__module__", nb::str(kModule));
    nb::setattr(handler, "__doc__", nb::str(doc));
    return handler;
}

}  // namespace

void register_models(nb::module_ &m) {
    nb::module_ pydantic = vz::import("pydantic");
    nb::module_ typing = vz::import("typing");
    nb::object create_model = pydantic.attr("create_model");
    nb::handle str_t = (PyObject *) &PyUnicode_Type;
    nb::handle int_t = (PyObject *) &PyLong_Type;
    nb::handle float_t = (PyObject *) &PyFloat_Type;
    nb::object required = nb::ellipsis();

    nb::object chat_message = create_model(
        "ChatMessage", "__module__"_a = m.attr("__name__"),
        "__doc__"_a = "One message of a conversation.",
        "role"_a = nb::make_tuple(str_t, required), "content"_a = nb::make_tuple(str_t, required));
    m.attr("ChatMessage") = chat_message;

    nb::object chat_request = create_model(
        "ChatRequest", "__module__"_a = m.attr("__name__"),
        "__doc__"_a = "Body of POST /v1/chat/completions.",
        "model"_a = nb::make_tuple(str_t, required),
        "messages"_a = nb::make_tuple(typing.attr("List")[chat_message], required),
        "max_tokens"_a = nb::make_tuple(typing.attr("Optional")[int_t], nb::none()),
        "temperature"_a = nb::make_tuple(float_t, nb::float_(0.0)));
    m.attr("ChatRequest") = chat_request;
}

nb::object build_app(nb::handle engine) {
    nb::module_ fastapi = vz::import("fastapi");
    nb::object fastapi_cls = fastapi.attr("FastAPI");
    nb::object http_exception = fastapi.attr("HTTPException");
    nb::object app = fastapi_cls("title"_a = "velkor-zuma serve");

    nb::object parameter = vz::import("inspect").attr("Parameter");
    nb::list chat_params;
    chat_params.append(parameter("req", parameter.attr("POSITIONAL_OR_KEYWORD"),
                                 "annotation"_a = attr("ChatRequest")));

    nb::object h = route(nb::cpp_function(&healthz, "engine"_a), nb::make_tuple(engine), "healthz",
                         nb::list(), "Liveness check with a snapshot of allocated VRAM.");
    nb::object md = route(nb::cpp_function(&models, "engine"_a), nb::make_tuple(engine), "models",
                          nb::list(), "The model names this server answers to.");
    nb::object c = route(nb::cpp_function(&chat, "engine"_a, "http_exception"_a, "req"_a),
                         nb::make_tuple(engine, http_exception), "chat", chat_params,
                         "One non-streamed chat completion from the named adapter.");

    app.attr("get")("/healthz")(h);
    app.attr("get")("/v1/models")(md);
    app.attr("post")("/v1/chat/completions")(c);
    return app;
}

}  // namespace vz::serve
