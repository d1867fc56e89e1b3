// Local GGUF models: discovery of the models that Ollama and LM Studio keep on disk, and loading
// of GGUF tensors as memory-mapped numpy arrays.
//
// Everything that touches the file system goes through the host's pathlib objects and the
// host's os module, so path joining, globbing and the platform rules are exactly the host's.
// The module's own attributes (`OLLAMA_HOME`, `os`, `Path`, `json`, `_lmstudio_home`) are looked
// up afresh at every call: replacing one of them redirects the functions.
#include "bind/bind.hpp"

#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kModule = "velkor_zuma.localmodels";

// Ollama keeps the manifests of its default registry under a directory named after that
// registry's host.
const char *const kOllamaRegistry = "registry.ollama.ai";

const char *const kGgufHint = "gguf package required. Install with:\n  pip install \"velkor-zuma[ollama]\"";

nb::object mod_attr(const char *name) { return vz::module_attr(kModule, name); }

[[noreturn]] void raise_exc(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

// `needle in haystack`, with the host's semantics.
bool contains(nb::handle haystack, nb::handle needle) {
    int r = PySequence_Contains(haystack.ptr(), needle.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool call_bool(nb::handle obj, const char *method) { return truthy(obj.attr(method)()); }

nb::object read_json(nb::handle path) {
    return mod_attr("json").attr("loads")(path.attr("read_text")());
}

// Blob file of a layer: the digest with every ":" turned into "-" (sha256:abc -> sha256-abc).
nb::object blob_path(nb::handle blobs, nb::handle layer) {
    nb::object digest = layer[nb::str("digest")];  // a layer without digest: KeyError
    return blobs / digest.attr("replace")(":", "-");
}

// ---------------------------------------------------------------------------------------------
// Ollama

nb::list list_ollama_models() {
    nb::object manifests = mod_attr("OLLAMA_HOME") / nb::str("manifests");
    nb::list out;
    if (!call_bool(manifests, "exists")) return out;
    for (nb::handle entry : manifests.attr("rglob")("*")) {
        if (!call_bool(entry, "is_file")) continue;
        nb::object parts = entry.attr("relative_to")(manifests).attr("parts");
        size_t n = nb::len(parts);
        if (n < 2) continue;
        nb::object name = nb::str("{}:{}").attr("format")(parts[n - 2], parts[n - 1]);
        // A manifest that cannot be read, parsed or summed is left out; the walk goes on.
        try {
            nb::object data = read_json(entry);
            nb::object layers = data.attr("get")("layers", nb::list());
            nb::object total = nb::int_(0);
            for (nb::handle layer : layers) total = total + layer.attr("get")("size", 0);
            nb::dict item;
            item["name"] = name;
            item["size_bytes"] = total;
            out.append(item);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    return out;
}

nb::object find_ollama_blob(nb::handle model_name_arg) {
    nb::object model_name = vz::arg_str(model_name_arg, "model_name");
    if (!contains(model_name, nb::str(":"))) model_name = model_name + nb::str(":latest");
    nb::list name_tag = nb::borrow<nb::list>(model_name.attr("split")(":", 1));
    nb::object name = name_tag[0], tag = name_tag[1];

    nb::object home = mod_attr("OLLAMA_HOME");
    nb::object manifests = home / nb::str("manifests");
    nb::object manifest = manifests / nb::str(kOllamaRegistry) / nb::str("library") / name / tag;
    if (!call_bool(manifest, "exists")) {
        nb::object pattern = name + nb::str("/") + tag;
        nb::object first;
        for (nb::handle hit : manifests.attr("rglob")(pattern)) {
            first = nb::borrow(hit);
            break;
        }
        if (!first.is_valid()) {
            nb::object msg = nb::str(
                "Ollama model '{0}' not found in {1}.\nRun `ollama pull {0}` first, or set OLLAMA_MODELS "
                "to your Ollama models directory.").attr("format")(model_name, manifests);
            raise_exc(PyExc_FileNotFoundError, msg);
        }
        manifest = first;
    }

    nb::object data = read_json(manifest);
    nb::object blobs = home / nb::str("blobs");
    nb::object layers = data.attr("get")("layers", nb::list());

    // The weights layer first: the first layer whose media type mentions "model" and whose
    // blob is present.
    for (nb::handle layer : layers) {
        nb::object media = layer.attr("get")("mediaType", "");
        if (!contains(media, nb::str("model"))) continue;
        nb::object p = blob_path(blobs, layer);
        if (call_bool(p, "exists")) return p;
    }
    // Otherwise the largest blob present, the first one among equals.
    nb::object best;
    nb::object best_size;
    for (nb::handle layer : layers) {
        nb::object p = blob_path(blobs, layer);
        if (!call_bool(p, "exists")) continue;
        nb::object size = p.attr("stat")().attr("st_size");
        if (!best.is_valid() || size > best_size) {
            best = p;
            best_size = size;
        }
    }
    if (best.is_valid()) return best;
    nb::object msg = nb::str("No GGUF blob found for '{}' in {}").attr("format")(model_name, blobs);
    raise_exc(PyExc_FileNotFoundError, msg);
}

// ---------------------------------------------------------------------------------------------
// LM Studio

nb::object lmstudio_home() {
    nb::object os = mod_attr("os");
    nb::object path_cls = mod_attr("Path");
    nb::object env = os.attr("environ").attr("get")("LMSTUDIO_MODELS");
    if (truthy(env)) return path_cls(env);
    nb::object home = path_cls.attr("home")();
    if (os.attr("name").equal(nb::str("nt")))
        return home / nb::str(".cache") / nb::str("lm-studio") / nb::str("models");
    if (os.attr("uname")().attr("sysname").equal(nb::str("Darwin")))
        return home / nb::str(".lmstudio") / nb::str("models");
    return home / nb::str(".cache") / nb::str("lm-studio") / nb::str("models");
}

// The models directory as the module currently names its finder (so a replaced `_lmstudio_home`
// is honoured by the other two functions).
nb::object current_lmstudio_home() { return mod_attr("_lmstudio_home")(); }

nb::list list_lmstudio_models() {
    nb::object root = current_lmstudio_home();
    nb::list out;
    if (!call_bool(root, "exists")) return out;
    for (nb::handle p : root.attr("rglob")("*.gguf")) {
        nb::dict item;
        item["name"] = nb::str(p.attr("relative_to")(root));
        item["path"] = nb::str(p);
        item["size_bytes"] = p.attr("stat")().attr("st_size");
        out.append(item);
    }
    return out;
}

nb::object find_lmstudio_model(nb::handle name_arg) {
    nb::str name = vz::arg_str(name_arg, "name");
    nb::object root = current_lmstudio_home();
    if (!call_bool(root, "exists")) {
        nb::object msg = nb::str("LM Studio models directory not found: {}\nSet LMSTUDIO_MODELS to your LM Studio "
                                 "models path.").attr("format")(root);
        raise_exc(PyExc_FileNotFoundError, msg);
    }
    nb::object exact = root / name;
    if (call_bool(exact, "exists")) return exact;

    nb::object needle = name.attr("lower")();
    nb::list matches;
    for (nb::handle p : root.attr("rglob")("*.gguf"))
        if (contains(nb::str(p).attr("lower")(), needle)) matches.append(p);

    if (matches.size() == 0) {
        nb::object msg = nb::str("No GGUF matching '{}' in {}.\nRun `velkor-zuma list-lmstudio` to see available "
                                 "models.").attr("format")(name, root);
        raise_exc(PyExc_FileNotFoundError, msg);
    }
    if (matches.size() == 1) return matches[0];
    nb::list rel;
    for (nb::handle p : matches) rel.append(nb::str(p.attr("relative_to")(root)));
    nb::object msg = nb::str("Multiple matches for '{}':\n  {}\nBe more specific.")
                         .attr("format")(name, nb::str("\n  ").attr("join")(rel));
    raise_exc(PyExc_ValueError, msg);
}

// ---------------------------------------------------------------------------------------------
// GGUF

nb::dict load_gguf_tensors(nb::handle gguf_path) {
    nb::module_ gguf = vz::import_optional("gguf", kGgufHint);
    PyObject *reader_cls = PyObject_GetAttrString(gguf.ptr(), "GGUFReader");
    if (!reader_cls) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "cannot import name 'GGUFReader' from 'gguf'");
        vz::raise_from(PyExc_ImportError, kGgufHint);
    }
    nb::object reader = nb::steal(reader_cls)(nb::str(gguf_path), "mode"_a = "r");

    nb::object uint8 = vz::numpy().attr("uint8");
    nb::str float_kind("f");
    nb::dict out;
    // Floating tensors stay as the reader maps them; everything else (integers, quantized
    // blocks) becomes a byte view of the same mapped memory. Nothing is decoded or copied.
    for (nb::handle t : reader.attr("tensors")) {
        nb::object arr = t.attr("data");
        if (!arr.attr("dtype").attr("kind").equal(float_kind)) arr = arr.attr("view")(uint8);
        out[t.attr("name")] = arr;
    }
    return out;
}

}  // namespace

NB_MODULE(localmodels, m) {
    m.doc() = "Models installed by Ollama and LM Studio, and GGUF tensor loading.";

    nb::module_ os = vz::import("os");
    nb::object path_cls = vz::import("pathlib").attr("Path");
    m.attr("json") = vz::import("json");
    m.attr("os") = os;
    m.attr("Path") = path_cls;
    m.attr("np") = vz::numpy();
    m.attr("_OLLAMA_REGISTRY") = nb::str(kOllamaRegistry);

    // The Ollama models root, fixed when the module loads. OLLAMA_MODELS is used as it is,
    // even when empty (the current directory).
    nb::object deflt = path_cls.attr("home")() / nb::str(".ollama") / nb::str("models");
    m.attr("_OLLAMA_DEFAULT") = deflt;
    nb::object environ = os.attr("environ");
    if (contains(environ, nb::str("OLLAMA_MODELS")))
        m.attr("OLLAMA_HOME") = path_cls(environ[nb::str("OLLAMA_MODELS")]);
    else
        m.attr("OLLAMA_HOME") = path_cls(nb::str(deflt));

    m.def("list_ollama_models", &list_ollama_models,
          "Every model installed in the Ollama store at OLLAMA_HOME, as {'name': 'model:tag', 'size_bytes': n}.");
    m.def("find_ollama_blob", &find_ollama_blob, "model_name"_a.none(),
          "Path of the GGUF weights blob of an installed Ollama model ('name' means 'name:latest').");
    m.def("_lmstudio_home", &lmstudio_home, "LM Studio's models directory (LMSTUDIO_MODELS, else the platform default).");
    m.def("list_lmstudio_models", &list_lmstudio_models,
          "Every GGUF file under LM Studio's models directory, as {'name', 'path', 'size_bytes'}.");
    m.def("find_lmstudio_model", &find_lmstudio_model, "name"_a.none(),
          "Path of the LM Studio model given by its relative path or by a unique case-insensitive part of it.");
    m.def("load_gguf_tensors", &load_gguf_tensors, "gguf_path"_a,
          "Tensors of a GGUF file by name: floating tensors as mapped, all others as raw uint8 bytes (no copies).");
}
