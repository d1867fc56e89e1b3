// Content-addressed block store: every tenant's bytes are cut into fixed-size blocks named by
// their SHA-256 digest, so blocks shared by many tenants (the common base model) count once.
// The store keeps only digests, block lengths and per-tenant reference lists, never contents.
//
// Digests come from the OpenSSL libcrypto that the interpreter's hashlib already loaded, called
// from native threads with the interpreter lock released; where that library cannot be reached,
// hashlib.sha256 itself is called from the same threads (it drops the lock while hashing).
#include "bind/bind.hpp"
#include "core/dedup_hash.hpp"
#include "core/parallel.hpp"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace nb::literals;
namespace dd = vz::core::dedup;

namespace {

constexpr int64_t kDefaultBlockSize = int64_t(1) << 20;
// Contiguous copies (of non-contiguous tensors) held at once by add_state_dict before the
// pending tensors are hashed and recorded; bounds peak memory for strided state dicts.
constexpr std::size_t kMaxPendingCopies = std::size_t(256) << 20;

[[noreturn]] void raise_block_size(int64_t n) {
    std::string msg = "block_size must be a positive integer, got " + std::to_string(n);
    throw nb::value_error(msg.c_str());
}

int64_t checked_block(nb::handle value, const char *name) {
    int64_t n = vz::arg_int(value, name);
    if (n <= 0) raise_block_size(n);
    return n;
}

// ---- digest function -------------------------------------------------------------------------

// hashlib.sha256(view).digest() from a worker thread. The first Python error is kept and
// re-raised on the calling thread once every worker has stopped.
struct HashlibDigest {
    nb::object sha256;
    std::mutex mu;
    PyObject *err_type = nullptr, *err_value = nullptr, *err_tb = nullptr;

    ~HashlibDigest() {
        Py_XDECREF(err_type);
        Py_XDECREF(err_value);
        Py_XDECREF(err_tb);
    }

    static bool call(const uint8_t *data, std::size_t len, uint8_t *out, void *ctx) {
        auto *self = static_cast<HashlibDigest *>(ctx);
        nb::gil_scoped_acquire gil;
        bool ok = false;
        PyObject *mv = PyMemoryView_FromMemory(reinterpret_cast<char *>(const_cast<uint8_t *>(data)),
                                               Py_ssize_t(len), PyBUF_READ);
        if (mv) {
            PyObject *h = PyObject_CallOneArg(self->sha256.ptr(), mv);
            Py_DECREF(mv);
            if (h) {
                PyObject *d = PyObject_CallMethod(h, "digest", nullptr);
                Py_DECREF(h);
                if (d) {
                    if (PyBytes_Check(d) && PyBytes_GET_SIZE(d) == 32) {
                        std::memcpy(out, PyBytes_AS_STRING(d), 32);
                        ok = true;
                    } else {
                        PyErr_SetString(PyExc_RuntimeError, "hashlib.sha256 returned an unexpected digest");
                    }
                    Py_DECREF(d);
                }
            }
        }
        if (!ok) {
            std::lock_guard<std::mutex> lock(self->mu);
            if (!self->err_type) PyErr_Fetch(&self->err_type, &self->err_value, &self->err_tb);
            else PyErr_Clear();
        }
        return ok;
    }

    [[noreturn]] void reraise() {
        if (err_type) {
            PyErr_Restore(err_type, err_value, err_tb);
            err_type = err_value = err_tb = nullptr;
            nb::raise_python_error();
        }
        throw std::runtime_error("SHA-256 digest failed");
    }
};

// Binds libcrypto on first use: it is the library behind the interpreter's _hashlib module.
bool use_openssl() {
    static bool tried = false;  // only touched with the interpreter lock held
    if (dd::openssl_sha256_bound()) return true;
    if (tried) return false;
    tried = true;
    PyObject *mod = PyImport_ImportModule("_hashlib");
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    nb::object m = nb::steal(mod);
    if (!nb::hasattr(m, "__file__")) return false;
    std::string path = nb::cast<std::string>(nb::str(m.attr("__file__")));
    return dd::bind_openssl_sha256(path.c_str());
}

// Digests of all blocks of `segments`, in order, computed with the interpreter lock released.
std::vector<dd::Digest> digest_blocks(const std::vector<dd::Segment> &segments, std::size_t block) {
    std::vector<dd::Digest> digests;
    unsigned workers = vz::core::worker_count();
    if (use_openssl()) {
        bool ok;
        {
            nb::gil_scoped_release unlocked;
            ok = dd::hash_blocks(segments, block, dd::openssl_sha256, nullptr, workers, digests);
        }
        if (!ok) throw std::runtime_error("SHA-256 digest failed");
        return digests;
    }
    HashlibDigest ctx;
    ctx.sha256 = vz::import("hashlib").attr("sha256");
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        ok = dd::hash_blocks(segments, block, &HashlibDigest::call, &ctx, workers, digests);
    }
    if (!ok) ctx.reraise();
    return digests;
}

// ---- recording ---------------------------------------------------------------------------------

bool has_key(nb::handle mapping, nb::handle key) {
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) nb::raise_python_error();
    return r == 1;
}

// The tenant's reference list, created empty and inserted when the tenant is new.
nb::object tenant_refs(nb::handle tenants, nb::handle tenant) {
    if (has_key(tenants, tenant)) return tenants[tenant];
    nb::object refs = nb::list();
    tenants[tenant] = refs;
    return refs;
}

// Records the digests of each segment (one byte string each) for the tenant, in order.
void record(nb::handle self, nb::handle tenant, const std::vector<dd::Segment> &segments,
            const std::vector<dd::Digest> &digests, std::size_t block) {
    nb::object unique = self.attr("unique");
    nb::object tenants = self.attr("tenants");
    nb::object tenant_bytes = self.attr("_tenant_bytes");
    std::size_t b = 0;
    char hex[64];
    for (const dd::Segment &seg : segments) {
        nb::object refs = tenant_refs(tenants, tenant);
        nb::object append = refs.attr("append");
        for (std::size_t off = 0; off < seg.len; off += block, ++b) {
            std::size_t len = std::min(block, seg.len - off);
            dd::to_hex(digests[b], hex);
            nb::str h(hex, sizeof hex);
            if (!has_key(unique, h)) unique[h] = nb::int_(len);
            append(h);
        }
        if (seg.len) {
            nb::object prev = tenant_bytes.attr("get")(tenant, 0);
            tenant_bytes[tenant] = prev + nb::int_(seg.len);
        }
    }
}

// ---- tensors as bytes ----------------------------------------------------------------------

// A held buffer of a tensor's bytes (released on destruction).
struct TensorBytes {
    nb::object owner;
    Py_buffer view{};
    bool held = false;
    TensorBytes() = default;
    TensorBytes(const TensorBytes &) = delete;
    TensorBytes &operator=(const TensorBytes &) = delete;
    ~TensorBytes() {
        if (held) PyBuffer_Release(&view);
    }
};

// The element bytes of `value` in row-major order and its own element type and byte order:
// numpy.ascontiguousarray (a copy only when the array is not C-contiguous already), seen as a
// flat uint8 array. `copied` says whether a new array had to be made. Object arrays are
// refused by numpy here: their "bytes" would be addresses of Python objects.
std::unique_ptr<TensorBytes> tensor_bytes(nb::module_ &np, nb::handle value, bool &copied) {
    nb::object arr = np.attr("ascontiguousarray")(value);
    copied = !arr.is(value);
    auto tb = std::make_unique<TensorBytes>();
    tb->owner = arr.attr("reshape")(-1).attr("view")(np.attr("uint8"));
    if (PyObject_GetBuffer(tb->owner.ptr(), &tb->view, PyBUF_SIMPLE) != 0) nb::raise_python_error();
    tb->held = true;
    return tb;
}

// ---- DedupStore methods ------------------------------------------------------------------------

void add_tensor_bytes(nb::handle self, nb::handle tenant_obj, nb::handle data_obj) {
    nb::str tenant = vz::arg_str(tenant_obj, "tenant");
    nb::bytes data = vz::arg_bytes(data_obj, "data");
    std::size_t block = std::size_t(checked_block(self.attr("block_size"), "block_size"));
    std::vector<dd::Segment> segs{{reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data.ptr())),
                                   std::size_t(PyBytes_GET_SIZE(data.ptr()))}};
    std::vector<dd::Digest> digests = digest_blocks(segs, block);
    record(self, tenant, segs, digests, block);
}

void add_state_dict(nb::handle self, nb::handle tenant_obj, nb::handle sd_obj) {
    nb::str tenant = vz::arg_str(tenant_obj, "tenant");
    nb::dict sd = vz::arg_dict(sd_obj, "sd");
    std::size_t block = std::size_t(checked_block(self.attr("block_size"), "block_size"));
    nb::module_ np = vz::numpy();
    nb::object names = vz::import("builtins").attr("sorted")(sd);

    std::vector<std::unique_ptr<TensorBytes>> pending;
    std::vector<dd::Segment> segs;
    std::size_t copied_bytes = 0;
    auto flush = [&] {
        if (pending.empty()) return;
        std::vector<dd::Digest> digests = digest_blocks(segs, block);
        record(self, tenant, segs, digests, block);
        pending.clear();
        segs.clear();
        copied_bytes = 0;
    };

    for (nb::handle name : names) {
        std::unique_ptr<TensorBytes> tb;
        bool copied = false;
        try {
            tb = tensor_bytes(np, sd[name], copied);
        } catch (nb::python_error &) {
            // Tensors before the one that cannot be turned into bytes stay recorded.
            flush();
            throw;
        }
        segs.push_back({static_cast<const uint8_t *>(tb->view.buf), std::size_t(tb->view.len)});
        if (copied) copied_bytes += std::size_t(tb->view.len);
        pending.push_back(std::move(tb));
        if (copied_bytes >= kMaxPendingCopies) flush();
    }
    flush();
}

nb::object sum_values(nb::handle mapping) {
    return vz::import("builtins").attr("sum")(mapping.attr("values")());
}

nb::object naive_bytes(nb::handle self) { return sum_values(self.attr("_tenant_bytes")); }
nb::object deduped_bytes(nb::handle self) { return sum_values(self.attr("unique")); }

nb::object true_divide(nb::handle a, nb::handle b) {
    PyObject *r = PyNumber_TrueDivide(a.ptr(), b.ptr());
    if (!r) nb::raise_python_error();
    return nb::steal(r);
}

nb::object dedup_ratio(nb::handle self) {
    nb::object d = deduped_bytes(self);
    if (!nb::bool_(d)) return nb::float_(1.0);
    return true_divide(naive_bytes(self), d);
}

nb::object shared_fraction(nb::handle self) {
    nb::object n = naive_bytes(self);
    if (!nb::bool_(n)) return nb::float_(0.0);
    return nb::float_(1.0) - true_divide(deduped_bytes(self), n);
}

nb::dict summary(nb::handle self) {
    nb::dict out;
    out["tenants"] = nb::int_(nb::len(nb::object(self.attr("tenants"))));
    out["block_size"] = self.attr("block_size");
    out["naive_bytes"] = naive_bytes(self);
    out["deduped_bytes"] = deduped_bytes(self);
    out["unique_blocks"] = nb::int_(nb::len(nb::object(self.attr("unique"))));
    out["dedup_ratio"] = dedup_ratio(self);
    out["shared_fraction"] = shared_fraction(self);
    return out;
}

// ---- _blocks -----------------------------------------------------------------------------------

// The consecutive slices buf[i*block:(i+1)*block] of a memoryview as a lazy sequence: a slice
// (a view into buf, no copy) is made only when its index is asked for, and an index past the end
// raises IndexError, which ends iteration.
struct BlockSequence {
    nb::object buf;
    Py_ssize_t len = 0, block = 1;

    Py_ssize_t size() const { return len / block + (len % block != 0); }

    nb::object at(Py_ssize_t i) const {
        if (i < 0 || i >= size()) throw nb::index_error("block index out of range");
        Py_ssize_t start = i * block;
        PyObject *s = PySequence_GetSlice(buf.ptr(), start, start + std::min(block, len - start));
        if (!s) nb::raise_python_error();
        return nb::steal(s);
    }
};

// A generator over the block slices: the iteration that collections.abc.Sequence gives every
// sequence (it yields seq[0], seq[1], ... until IndexError), so slices are made one at a time.
nb::object blocks(nb::handle buf, nb::handle block_obj) {
    if (!PyMemoryView_Check(buf.ptr())) vz::raise_arg_type("buf", "memoryview", buf);
    int64_t block = checked_block(block_obj, "block");
    BlockSequence seq;
    seq.buf = nb::borrow(buf);
    seq.len = Py_ssize_t(nb::len(buf));
    seq.block = Py_ssize_t(block);
    nb::object obj = nb::cast(std::move(seq), nb::rv_policy::move);
    return vz::import("collections.abc").attr("Sequence").attr("__iter__")(obj);
}

}  // namespace

NB_MODULE(dedup, m) {
    m.doc() = "Content-addressed dedup store of fixed-size SHA-256-named blocks shared across tenants.";

    nb::class_<BlockSequence>(m, "_BlockSequence", "Consecutive memoryview slices of one buffer, made on access.")
        .def("__len__", &BlockSequence::size)
        .def("__getitem__", &BlockSequence::at, "index"_a);

    m.def("_blocks", &blocks, "buf"_a.none(), "block"_a.none(),
          "Consecutive slices of `buf` of length `block` (the last one shorter), as views, lazily.");

    nb::object cls = vz::make_dataclass(
        m, "DedupStore",
        {vz::Field::def("block_size", "int", nb::int_(kDefaultBlockSize)),
         vz::Field::factory("unique", "dict[str, int]", nb::borrow(&PyDict_Type)),
         vz::Field::factory("tenants", "dict[str, list[str]]", nb::borrow(&PyDict_Type)),
         vz::Field::factory("_tenant_bytes", "dict[str, int]", nb::borrow(&PyDict_Type))},
        false, nb::dict(),
        "Global content-addressed block store shared across tenants: SHA-256 digest and length of "
        "every distinct block, and each tenant's ordered list of block digests.");
    vz::add_method(cls, "add_tensor_bytes", &add_tensor_bytes, "tenant"_a.none(), "data"_a.none());
    vz::add_method(cls, "add_state_dict", &add_state_dict, "tenant"_a.none(), "sd"_a.none());
    vz::add_method(cls, "naive_bytes", &naive_bytes);
    vz::add_method(cls, "deduped_bytes", &deduped_bytes);
    vz::add_method(cls, "dedup_ratio", &dedup_ratio);
    vz::add_method(cls, "shared_fraction", &shared_fraction);
    vz::add_method(cls, "summary", &summary);
}
