// Local GGUF models: discovery of the models that Ollama and LM Studio keep on disk, and loading
// of GGUF tensors as memory-mapped numpy arrays.
//
// Everything that touches the file system goes through the host's pathlib objects and the
// host's os module, so path joining, globbing and the platform rules are exactly the host's.
// The module's own attributes (`OLLAMA_HOME`, `os`, `Path`, `json`, `_lmstudio_home`) are looked
// up afresh at every call: replacing one of them redirects the functions.
//
// The stores and the files are untrusted input. An Ollama model name is made of plain path
// components and is matched literally; a layer digest must be "sha256:" and 64 hex digits;
// every manifest and blob must resolve (symlinks followed) to a regular file inside the store's
// manifests or blobs directory, and a manifest larger than any real one is refused. A GGUF file's
// header is checked with plain reads before the gguf library maps it, so that no tensor's view
// reaches outside the file's data section.
#include "bind/bind.hpp"
#include "core/gguf_header.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>

namespace vz::localmodels {
namespace nb = nanobind;
using namespace nb::literals;

namespace {

const char *const kModule = "velkor_zuma.localmodels";

// Ollama keeps the manifests of its default registry under a directory named after that
// registry's host.
const char *const kOllamaRegistry = "registry.ollama.ai";

const char *const kGgufHint = "gguf package required. Install with:\n  pip install \"velkor-zuma[ollama]\"";

// Real Ollama manifests are a few kilobytes; anything past this is not one (and is not read).
constexpr Py_ssize_t kManifestCap = Py_ssize_t(1) << 20;

nb::object mod_attr(const char *name) { return bind::module_attr(kModule, name); }

// `bool(obj.method())`.
bool call_bool(nb::handle obj, const char *method) { return bind::truthy(obj.attr(method)()); }

// `path.resolve()` lies inside (or is) `root`, itself resolved.
bool inside(nb::handle resolved, nb::handle root) { return bind::truthy(resolved.attr("is_relative_to")(root)); }

// The manifest at `path` as parsed JSON, after checking that it resolves to a regular file
// inside `manifests_root` (resolved) and is no larger than a manifest can be. ValueError
// otherwise; read and parse errors propagate.
nb::object read_manifest(nb::handle path, nb::handle manifests_root) {
    nb::object real = path.attr("resolve")();
    if (!inside(real, manifests_root))
        bind::raise(PyExc_ValueError,
                    nb::str("Ollama manifest {} resolves to {}, outside the store's manifests directory {}")
                        .attr("format")(path, real, manifests_root));
    if (!call_bool(real, "is_file"))
        bind::raise(PyExc_ValueError, nb::str("Ollama manifest {} is not a regular file").attr("format")(path));
    nb::object size = real.attr("stat")().attr("st_size");
    nb::object too_large = nb::str(
                               "Ollama manifest {} is larger than {} bytes; real manifests are a few "
                               "kilobytes")
                               .attr("format")(path, kManifestCap);
    if (size > nb::int_(kManifestCap)) bind::raise(PyExc_ValueError, too_large);
    // Read at most one byte past the cap, in case the file grew since it was measured.
    nb::object f = real.attr("open")("rb");
    nb::object data;
    try {
        data = f.attr("read")(kManifestCap + 1);
    } catch (nb::python_error &) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    if (nb::len(data) > size_t(kManifestCap)) bind::raise(PyExc_ValueError, too_large);
    return mod_attr("json").attr("loads")(data);
}

// The 64 hex digits of a layer digest, written "sha256:<hex>" (or as the store names the blob
// file, "sha256-<hex>"); an invalid, null handle for anything else.
nb::object digest_hex(nb::handle digest) {
    if (!PyUnicode_Check(digest.ptr())) return nb::object();
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(digest.ptr(), &n);
    if (!s) {
        PyErr_Clear();
        return nb::object();
    }
    std::string text(s, size_t(n));
    if (text.size() != 7 + 64 || (text.compare(0, 7, "sha256:") != 0 && text.compare(0, 7, "sha256-") != 0))
        return nb::object();
    for (size_t i = 7; i < text.size(); ++i)
        if (!isxdigit(static_cast<unsigned char>(text[i]))) return nb::object();
    return nb::str(text.c_str() + 7, 64);
}

// Blob file of a layer: the digest with its ":" turned into "-" (sha256:<hex> -> sha256-<hex>).
// A layer without digest raises KeyError; a digest that is not "sha256:" and 64 hex digits is
// refused, so that no digest can name a path of its own.
nb::object blob_path(nb::handle blobs, nb::handle layer, nb::handle model_name) {
    nb::object digest = layer[nb::str("digest")];  // a layer without digest: KeyError
    nb::object hex = digest_hex(digest);
    if (!hex.is_valid())
        bind::raise(PyExc_ValueError,
                    nb::str("Ollama manifest of '{}' has an invalid layer digest {!r} (expected 'sha256:' and 64 "
                            "hex digits)")
                        .attr("format")(model_name, digest));
    return blobs / (nb::str("sha256-") + hex);
}

// Whether the blob at `p` is present: a regular file once symlinks are resolved. One that
// resolves outside the blobs directory (`blobs_root`, resolved) is refused.
bool blob_present(nb::handle p, nb::handle blobs_root, nb::handle model_name) {
    if (!call_bool(p, "exists")) return false;
    nb::object real = p.attr("resolve")();
    if (!inside(real, blobs_root))
        bind::raise(PyExc_ValueError,
                    nb::str("Ollama blob {} of '{}' resolves to {}, outside the store's blobs directory {}")
                        .attr("format")(p, model_name, real, blobs_root));
    return call_bool(real, "is_file");
}

// One component of a model name or its tag: not empty, "." or "..", no backslash or NUL, so
// that no name steps out of the manifests directory or names an absolute path.
bool plain_component(nb::handle part) {
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(part.ptr(), &n);
    if (!s) nb::raise_python_error();
    std::string text(s, size_t(n));
    if (text.empty() || text == "." || text == "..") return false;
    return text.find('\\') == std::string::npos && text.find('\0') == std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// Ollama

nb::list list_ollama_models() {
    nb::object manifests = mod_attr("OLLAMA_HOME") / nb::str("manifests");
    nb::list out;
    if (!call_bool(manifests, "exists")) return out;
    nb::object root = manifests.attr("resolve")();
    for (nb::handle entry : manifests.attr("rglob")("*")) {
        if (!call_bool(entry, "is_file")) continue;
        nb::object parts = entry.attr("relative_to")(manifests).attr("parts");
        size_t n = nb::len(parts);
        if (n < 2) continue;
        nb::object name = nb::str("{}:{}").attr("format")(parts[n - 2], parts[n - 1]);
        // A manifest that cannot be read, parsed or summed, or that resolves outside the store
        // or is too large to be one, is left out; the walk goes on.
        try {
            nb::object data = read_manifest(entry, root);
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
    nb::object model_name = bind::arg_str(model_name_arg, "model_name");
    if (!bind::contains(model_name, ":")) model_name = model_name + nb::str(":latest");
    nb::list name_tag = nb::borrow<nb::list>(model_name.attr("split")(":", 1));
    nb::object name = name_tag[0], tag = name_tag[1];

    // The name is a path below the manifests directory ("namespace/model" makes two levels),
    // the tag one more component; both must be plain.
    nb::list parts = nb::borrow<nb::list>(name.attr("split")("/"));
    bool plain = plain_component(tag) && !bind::contains(tag, "/");
    for (nb::handle part : parts) plain = plain && plain_component(part);
    if (!plain)
        bind::raise(PyExc_ValueError,
                    nb::str("Invalid Ollama model name '{}': expected name[:tag] made of plain path components "
                            "(no empty, '.' or '..' parts, no backslash)")
                        .attr("format")(model_name));
    parts.append(tag);

    nb::object home = mod_attr("OLLAMA_HOME");
    nb::object manifests = home / nb::str("manifests");
    nb::object manifest = manifests / nb::str(kOllamaRegistry) / nb::str("library") / name / tag;
    if (!call_bool(manifest, "is_file")) {
        // Any registry and namespace: the first manifest in walk order whose last components
        // are the name's and the tag, compared literally (no glob patterns).
        size_t k = parts.size();
        nb::object first;
        if (call_bool(manifests, "is_dir")) {
            for (nb::handle entry : manifests.attr("rglob")("*")) {
                nb::object rel = entry.attr("relative_to")(manifests).attr("parts");
                size_t n = nb::len(rel);
                bool same = n >= k;
                for (size_t i = 0; same && i < k; ++i) same = rel[n - k + i].equal(parts[i]);
                if (!same || !call_bool(entry, "is_file")) continue;
                first = nb::borrow(entry);
                break;
            }
        }
        if (!first.is_valid()) {
            nb::object msg =
                nb::str(
                    "Ollama model '{0}' not found in {1}.\nRun `ollama pull {0}` first, or set OLLAMA_MODELS "
                    "to your Ollama models directory.")
                    .attr("format")(model_name, manifests);
            bind::raise(PyExc_FileNotFoundError, msg);
        }
        manifest = first;
    }

    nb::object data = read_manifest(manifest, manifests.attr("resolve")());
    nb::object blobs = home / nb::str("blobs");
    nb::object blobs_root = blobs.attr("resolve")();
    nb::object layers = data.attr("get")("layers", nb::list());

    // The weights layer first: the first layer whose media type mentions "model" and whose
    // blob is present.
    for (nb::handle layer : layers) {
        nb::object media = layer.attr("get")("mediaType", "");
        if (!bind::contains(media, "model")) continue;
        nb::object p = blob_path(blobs, layer, model_name);
        if (blob_present(p, blobs_root, model_name)) return p;
    }
    // Otherwise the largest blob present, the first one among equals.
    nb::object best;
    nb::object best_size;
    for (nb::handle layer : layers) {
        nb::object p = blob_path(blobs, layer, model_name);
        if (!blob_present(p, blobs_root, model_name)) continue;
        nb::object size = p.attr("stat")().attr("st_size");
        if (!best.is_valid() || size > best_size) {
            best = p;
            best_size = size;
        }
    }
    if (best.is_valid()) return best;
    nb::object msg = nb::str("No GGUF blob found for '{}' in {}").attr("format")(model_name, blobs);
    bind::raise(PyExc_FileNotFoundError, msg);
}

// ---------------------------------------------------------------------------------------------
// LM Studio

nb::object lmstudio_home() {
    nb::object os = mod_attr("os");
    nb::object path_cls = mod_attr("Path");
    nb::object env = os.attr("environ").attr("get")("LMSTUDIO_MODELS");
    if (bind::truthy(env)) return path_cls(env);
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
        // An entry that cannot be measured (a dangling or self-looping link, no permission) is
        // left out with a RuntimeWarning naming it; the others are still listed.
        nb::object size;
        try {
            size = p.attr("stat")().attr("st_size");
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError)) throw;
            nb::str msg = nb::str("skipped unreadable LM Studio model file {}: {}").format(p, e.value());
            if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1) < 0) nb::raise_python_error();
            continue;
        }
        nb::dict item;
        item["name"] = nb::str(p.attr("relative_to")(root));
        item["path"] = nb::str(p);
        item["size_bytes"] = size;
        out.append(item);
    }
    return out;
}

nb::object find_lmstudio_model(nb::handle name_arg) {
    nb::str name = bind::arg_str(name_arg, "name");
    nb::object root = current_lmstudio_home();
    if (!call_bool(root, "exists")) {
        nb::object msg = nb::str(
                             "LM Studio models directory not found: {}\nSet LMSTUDIO_MODELS to your LM Studio "
                             "models path.")
                             .attr("format")(root);
        bind::raise(PyExc_FileNotFoundError, msg);
    }
    nb::object exact = root / name;
    if (call_bool(exact, "exists")) return exact;

    nb::object needle = name.attr("lower")();
    nb::list matches;
    for (nb::handle p : root.attr("rglob")("*.gguf"))
        if (bind::contains(nb::str(p).attr("lower")(), needle)) matches.append(p);

    if (matches.size() == 0) {
        nb::object msg = nb::str(
                             "No GGUF matching '{}' in {}.\nRun `velkor-zuma list-lmstudio` to see available "
                             "models.")
                             .attr("format")(name, root);
        bind::raise(PyExc_FileNotFoundError, msg);
    }
    if (matches.size() == 1) return matches[0];
    nb::list rel;
    for (nb::handle p : matches) rel.append(nb::str(p.attr("relative_to")(root)));
    nb::object msg = nb::str("Multiple matches for '{}':\n  {}\nBe more specific.")
                         .attr("format")(name, nb::str("\n  ").attr("join")(rel));
    bind::raise(PyExc_ValueError, msg);
}

// ---------------------------------------------------------------------------------------------
// GGUF

// An open file descriptor, closed when the guard goes.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

// Tensor types the gguf library reads, by numeric code: elements and bytes per block.
std::unordered_map<uint32_t, core::gguf::TypeSize> gguf_type_sizes(nb::handle gguf) {
    std::unordered_map<uint32_t, core::gguf::TypeSize> out;
    nb::object sizes = gguf.attr("GGML_QUANT_SIZES");
    for (nb::handle item : sizes.attr("items")()) {
        nb::tuple kv = nb::borrow<nb::tuple>(item);
        nb::tuple bs = nb::borrow<nb::tuple>(kv[1]);
        out[nb::cast<uint32_t>(nb::int_(kv[0]))] = {nb::cast<uint64_t>(bs[0]), nb::cast<uint64_t>(bs[1])};
    }
    return out;
}

// Checks the header of the GGUF file at `path_text` (open on `fd`) with plain reads; a damaged
// file raises ValueError naming the file, or the tensor at fault.
core::gguf::Header check_gguf_header(int fd, nb::handle path_text,
                                     const std::unordered_map<uint32_t, core::gguf::TypeSize> &types) {
    std::string format_error, tensor, tensor_error;
    int io_error = 0;
    core::gguf::Header header;
    {
        nb::gil_scoped_release unlocked;  // file reads only
        try {
            header = core::gguf::scan_header(fd, types);
        } catch (const core::gguf::TensorError &e) {
            tensor = e.tensor;
            tensor_error = e.what();
        } catch (const core::gguf::FormatError &e) {
            format_error = e.what();
        } catch (const core::gguf::IoError &e) {
            io_error = e.err;
        }
    }
    if (io_error) bind::raise_os(io_error, path_text);
    if (!tensor_error.empty()) {
        // The name as the file spells it, undecodable bytes replaced (the message must not fail).
        nb::object name = bind::steal_or_raise(
            PyUnicode_DecodeUTF8(tensor.data(), Py_ssize_t(tensor.size()), "replace"));
        bind::raise(
            PyExc_ValueError,
            nb::str("GGUF tensor '{}' in {} is damaged: {}").format(name, path_text, nb::str(tensor_error.c_str())));
    }
    if (!format_error.empty())
        bind::raise(PyExc_ValueError,
                    nb::str("GGUF file {} is damaged: {}").format(path_text, nb::str(format_error.c_str())));
    return header;
}

nb::dict load_gguf_tensors(nb::handle gguf_path, nb::handle copy_arg) {
    bool copy = bind::truthy(copy_arg);
    nb::module_ gguf = bind::import_optional("gguf", kGgufHint);
    nb::object reader_type;
    try {
        reader_type = bind::from_import("gguf", "GGUFReader");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError)) throw;
        bind::raise_from(e, PyExc_ImportError, kGgufHint);
    }
    nb::str path_text = nb::str(gguf_path);

    // The header is checked with plain reads before the reader maps the file: every tensor's
    // byte range must lie inside the data section. A file that is not GGUF at all is left to
    // the reader, whose own error says so.
    Fd file;
    nb::bytes raw_path = nb::borrow<nb::bytes>(bind::import("os").attr("fsencode")(path_text));
    if (std::memchr(raw_path.c_str(), 0, raw_path.size()) != nullptr)  // as the host's open() refuses it
        bind::raise(PyExc_ValueError, nb::str("embedded null byte"));
    {
        nb::gil_scoped_release unlocked;  // a slow file system
        file.fd = ::open(raw_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    }
    if (file.fd < 0) bind::raise_os(errno, path_text);
    struct stat st;
    if (::fstat(file.fd, &st) != 0) bind::raise_os(errno, path_text);
    if (S_ISDIR(st.st_mode)) bind::raise_os(EISDIR, path_text);
    if (!S_ISREG(st.st_mode))
        bind::raise(PyExc_ValueError, nb::str("GGUF file {} is not a regular file").format(path_text));
    core::gguf::Header header = check_gguf_header(file.fd, path_text, gguf_type_sizes(gguf));

    nb::object reader = reader_type(path_text, "mode"_a = "r");
    // The reader accepted a file this check does not know (a newer version): its tensors could
    // not be checked, so none is returned.
    if (!header.recognised)
        bind::raise(PyExc_ValueError, nb::str("GGUF file {} has version {}, whose layout this loader cannot check")
                                          .format(path_text, header.version));

    nb::object np = bind::numpy();
    nb::object uint8 = np.attr("uint8");
    nb::str float_kind("f");
    nb::object changed = nb::str("GGUF file {} changed while it was being read").format(path_text);
    nb::object tensors = reader.attr("tensors");
    if (nb::len(tensors) != header.tensors.size()) bind::raise(PyExc_ValueError, changed);

    // Floating tensors stay as the reader maps them; everything else (integers, quantized
    // blocks) becomes a byte view of the same mapped memory. Nothing is decoded; nothing is
    // copied unless asked.
    nb::dict out;
    std::vector<std::pair<void *, size_t>> targets;  // copies to fill: destination, tensor index
    size_t i = 0;
    for (nb::handle t : tensors) {
        const core::gguf::TensorSpan &span = header.tensors[i];
        nb::object name = t.attr("name");
        nb::object arr = t.attr("data");
        // The reader's view must be the range checked above (the file may have been replaced).
        if (!name.equal(nb::str(span.name.data(), span.name.size())) ||
            !t.attr("data_offset").equal(nb::int_(span.start)) || !arr.attr("nbytes").equal(nb::int_(span.n_bytes)))
            bind::raise(PyExc_ValueError, changed);
        if (!arr.attr("dtype").attr("kind").equal(float_kind)) arr = arr.attr("view")(uint8);
        if (copy) {
            arr = np.attr("empty")(arr.attr("shape"), arr.attr("dtype"));
            nb::object address = arr.attr("__array_interface__")["data"][0];
            targets.emplace_back(reinterpret_cast<void *>(nb::cast<uintptr_t>(address)), i);
        }
        out[name] = arr;
        ++i;
    }
    if (copy) {
        // Copies are read from the file with ordinary reads, never through the mapping: a file
        // truncated meanwhile gives an error here, not a fault later.
        bool short_read = false;
        int io_error = 0;
        {
            nb::gil_scoped_release unlocked;  // file reads into arrays this call owns
            try {
                for (auto &[dst, k] : targets)
                    if (!core::gguf::read_exact(file.fd, dst, header.tensors[k].n_bytes, header.tensors[k].start)) {
                        short_read = true;
                        break;
                    }
            } catch (const core::gguf::IoError &e) {
                io_error = e.err;
            }
        }
        if (io_error) bind::raise_os(io_error, path_text);
        if (short_read) bind::raise(PyExc_ValueError, changed);
    }
    return out;
}

}  // namespace
}  // namespace vz::localmodels

NB_MODULE(localmodels, m) {
    namespace bind = vz::bind;
    using namespace vz::localmodels;

    m.doc() = "Models installed by Ollama and LM Studio, and GGUF tensor loading.";

    nb::module_ os = bind::import("os");
    nb::object path_cls = bind::import("pathlib").attr("Path");
    m.attr("json") = bind::import("json");
    m.attr("os") = os;
    m.attr("Path") = path_cls;
    m.attr("np") = bind::numpy();
    m.attr("_OLLAMA_REGISTRY") = nb::str(kOllamaRegistry);

    // The Ollama models root, fixed when the module loads. OLLAMA_MODELS is used as it is,
    // even when empty (the current directory).
    nb::object deflt = path_cls.attr("home")() / nb::str(".ollama") / nb::str("models");
    m.attr("_OLLAMA_DEFAULT") = deflt;
    nb::object environ = os.attr("environ");
    if (bind::contains(environ, "OLLAMA_MODELS"))
        m.attr("OLLAMA_HOME") = path_cls(environ[nb::str("OLLAMA_MODELS")]);
    else
        m.attr("OLLAMA_HOME") = path_cls(nb::str(deflt));

    m.def("list_ollama_models", &list_ollama_models,
          "Every model installed in the Ollama store at OLLAMA_HOME, as {'name': 'model:tag', 'size_bytes': n}.");
    m.def("find_ollama_blob", &find_ollama_blob, "model_name"_a.none(),
          "Path of the GGUF weights blob of an installed Ollama model ('name' means 'name:latest').");
    m.def("_lmstudio_home", &lmstudio_home,
          "LM Studio's models directory (LMSTUDIO_MODELS, else the platform default).");
    m.def("list_lmstudio_models", &list_lmstudio_models,
          "Every GGUF file under LM Studio's models directory, as {'name', 'path', 'size_bytes'}.");
    m.def("find_lmstudio_model", &find_lmstudio_model, "name"_a.none(),
          "Path of the LM Studio model given by its relative path or by a unique case-insensitive part of it.");
    m.def("load_gguf_tensors", &load_gguf_tensors, "gguf_path"_a, nb::kw_only(), "copy"_a.none() = false,
          "Tensors of a GGUF file by name: floating tensors keep their type, all others are raw uint8 bytes.\n\n"
          "The header is checked first: a tensor whose bytes do not lie inside the file's data section, or\n"
          "whose size or type is damaged, raises ValueError naming it.\n\n"
          "By default nothing is copied: the arrays are read-only views of the file mapped into memory, so\n"
          "loading a large model costs little until the arrays are used. The views read the file itself:\n"
          "if it is truncated or replaced in place while they are alive, touching them kills the process\n"
          "with SIGBUS. With copy=True every tensor is read into a fresh, writeable array with ordinary\n"
          "reads and the file is closed on return: use it for arrays that outlive the file's stability.");
}
