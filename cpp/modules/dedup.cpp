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

namespace vz::dedup {
namespace nb = nanobind;
using namespace nb::literals;
namespace dd = vz::core::dedup;

namespace {

constexpr int64_t kDefaultBlockSize = int64_t(1) << 20;
// Contiguous copies (of non-contiguous tensors) held at once by add_state_dict before the
// pending tensors are hashed and recorded; bounds peak memory for strided state dicts.
constexpr std::size_t kMaxPendingCopies = std::size_t(256) << 20;

[[noreturn]] void raise_block_size(int64_t n) {
    bind::raise(PyExc_ValueError, "block_size must be a positive integer, got " + std::to_string(n));
}

int64_t checked_block(nb::handle value, const char *name) {
    int64_t n = bind::arg_int(value, name);
    if (n <= 0) raise_block_size(n);
    return n;
}

// ---- digest function -------------------------------------------------------------------------

// hashlib.sha256(view).digest() from a worker thread. The first Python error is kept and
// re-raised on the calling thread once every worker has stopped.
struct HashlibDigest {
    nb::object sha256;
    std::mutex mu;
    std::unique_ptr<nb::python_error> first_error;  // guarded by mu

    static bool call(const uint8_t *data, std::size_t len, uint8_t *out, void *ctx) {
        auto *self = static_cast<HashlibDigest *>(ctx);
        nb::gil_scoped_acquire gil;
        try {
            nb::object mv = bind::steal_or_raise(PyMemoryView_FromMemory(
                reinterpret_cast<char *>(const_cast<uint8_t *>(data)), Py_ssize_t(len), PyBUF_READ));
            nb::object d = self->sha256(mv).attr("digest")();
            if (!PyBytes_Check(d.ptr()) || PyBytes_GET_SIZE(d.ptr()) != 32)
                bind::raise(PyExc_RuntimeError, "hashlib.sha256 returned an unexpected digest");
            std::memcpy(out, PyBytes_AS_STRING(d.ptr()), 32);
            return true;
        } catch (nb::python_error &e) {
            std::lock_guard<std::mutex> lock(self->mu);
            if (!self->first_error) self->first_error = std::make_unique<nb::python_error>(std::move(e));
            return false;
        } catch (...) {
            return false;  // reported as a failed digest
        }
    }

    [[noreturn]] void reraise() {
        if (first_error) throw nb::python_error(std::move(*first_error));
        throw std::runtime_error("SHA-256 digest failed");
    }
};

// Binds libcrypto on first use: it is the library behind the interpreter's _hashlib module.
bool use_openssl() {
    static bool tried = false;  // only touched with the interpreter lock held
    if (dd::openssl_sha256_bound()) return true;
    if (tried) return false;
    tried = true;
    nb::object m;
    try {
        m = bind::import("_hashlib");
    } catch (nb::python_error &) {
        return false;
    }
    if (!nb::hasattr(m, "__file__")) return false;
    std::string path = bind::text(m.attr("__file__"));
    return dd::bind_openssl_sha256(path.c_str());
}

// Digests of all blocks of `segments`, in order, computed with the interpreter lock released.
std::vector<dd::Digest> digest_blocks(const std::vector<dd::Segment> &segments, std::size_t block) {
    std::vector<dd::Digest> digests;
    unsigned workers = core::worker_count();
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
    ctx.sha256 = bind::import("hashlib").attr("sha256");
    bool ok;
    {
        nb::gil_scoped_release unlocked;
        ok = dd::hash_blocks(segments, block, &HashlibDigest::call, &ctx, workers, digests);
    }
    if (!ok) ctx.reraise();
    return digests;
}

// ---- recording ---------------------------------------------------------------------------------

// The tenant's reference list, created empty and inserted when the tenant is new.
nb::object tenant_refs(nb::handle tenants, nb::handle tenant) {
    if (bind::contains(tenants, tenant)) return tenants[tenant];
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
            if (!bind::contains(unique, h)) unique[h] = nb::int_(len);
            append(h);
        }
        if (seg.len) {
            nb::object prev = tenant_bytes.attr("get")(tenant, 0);
            tenant_bytes[tenant] = prev + nb::int_(seg.len);
        }
    }
}

// ---- tensors as bytes ----------------------------------------------------------------------

// The element bytes of `value` in row-major order and its own element type and byte order:
// numpy.ascontiguousarray (a copy only when the array is not C-contiguous already), seen as a
// flat uint8 array. `copied` says whether a new array had to be made. Object arrays are
// refused by numpy here: their "bytes" would be addresses of Python objects.
bind::Buffer tensor_bytes(nb::module_ &np, nb::handle value, bool &copied) {
    nb::object arr = np.attr("ascontiguousarray")(value);
    copied = !arr.is(value);
    return bind::Buffer(arr.attr("reshape")(-1).attr("view")(np.attr("uint8")), PyBUF_SIMPLE);
}

// ---- DedupStore methods ------------------------------------------------------------------------

void add_tensor_bytes(nb::handle self, nb::handle tenant_obj, nb::handle data_obj) {
    nb::str tenant = bind::arg_str(tenant_obj, "tenant");
    nb::bytes data = bind::arg_bytes(data_obj, "data");
    std::size_t block = std::size_t(checked_block(self.attr("block_size"), "block_size"));
    std::vector<dd::Segment> segs{
        {reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(data.ptr())), std::size_t(PyBytes_GET_SIZE(data.ptr()))}};
    std::vector<dd::Digest> digests = digest_blocks(segs, block);
    record(self, tenant, segs, digests, block);
}

void add_state_dict(nb::handle self, nb::handle tenant_obj, nb::handle sd_obj) {
    nb::str tenant = bind::arg_str(tenant_obj, "tenant");
    nb::dict sd = bind::arg_dict(sd_obj, "sd");
    std::size_t block = std::size_t(checked_block(self.attr("block_size"), "block_size"));
    nb::module_ np = bind::numpy();
    nb::object names = bind::import("builtins").attr("sorted")(sd);

    std::vector<bind::Buffer> pending;
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
        bind::Buffer tb;
        bool copied = false;
        try {
            tb = tensor_bytes(np, sd[name], copied);
        } catch (nb::python_error &) {
            // Tensors before the one that cannot be turned into bytes stay recorded.
            flush();
            throw;
        }
        segs.push_back({static_cast<const uint8_t *>(tb.data()), tb.size_bytes()});
        if (copied) copied_bytes += tb.size_bytes();
        pending.push_back(std::move(tb));
        if (copied_bytes >= kMaxPendingCopies) flush();
    }
    flush();
}

nb::object sum_values(nb::handle mapping) { return bind::import("builtins").attr("sum")(mapping.attr("values")()); }

nb::object naive_bytes(nb::handle self) { return sum_values(self.attr("_tenant_bytes")); }
nb::object deduped_bytes(nb::handle self) { return sum_values(self.attr("unique")); }

nb::object true_divide(nb::handle a, nb::handle b) {
    return bind::steal_or_raise(PyNumber_TrueDivide(a.ptr(), b.ptr()));
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
        return bind::steal_or_raise(PySequence_GetSlice(buf.ptr(), start, start + std::min(block, len - start)));
    }
};

// A generator over the block slices: the iteration that collections.abc.Sequence gives every
// sequence (it yields seq[0], seq[1], ... until IndexError), so slices are made one at a time.
nb::object blocks(nb::handle buf, nb::handle block_obj) {
    if (!PyMemoryView_Check(buf.ptr())) bind::raise_arg_type("buf", "memoryview", buf);
    int64_t block = checked_block(block_obj, "block");
    BlockSequence seq;
    seq.buf = nb::borrow(buf);
    seq.len = Py_ssize_t(nb::len(buf));
    seq.block = Py_ssize_t(block);
    nb::object obj = nb::cast(std::move(seq), nb::rv_policy::move);
    return bind::import("collections.abc").attr("Sequence").attr("__iter__")(obj);
}

}  // namespace
}  // namespace vz::dedup

NB_MODULE(dedup, m) {
    namespace bind = vz::bind;
    using namespace vz::dedup;

    m.doc() = "Content-addressed dedup store of fixed-size SHA-256-named blocks shared across tenants.";

    nb::class_<BlockSequence>(m, "_BlockSequence", "Consecutive memoryview slices of one buffer, made on access.")
        .def("__len__", &BlockSequence::size)
        .def("__getitem__", &BlockSequence::at, "index"_a);

    m.def("_blocks", &blocks, "buf"_a.none(), "block"_a.none(),
          "Consecutive slices of `buf` of length `block` (the last one shorter), as views, lazily.");

    nb::object cls = bind::make_dataclass(
        m, "DedupStore",
        {bind::Field::def("block_size", "int", nb::int_(kDefaultBlockSize)),
         bind::Field::factory("unique", "dict[str, int]", nb::borrow(&PyDict_Type)),
         bind::Field::factory("tenants", "dict[str, list[str]]", nb::borrow(&PyDict_Type)),
         bind::Field::factory("_tenant_bytes", "dict[str, int]", nb::borrow(&PyDict_Type))},
        false, nb::dict(),
        "Global content-addressed block store shared across tenants: SHA-256 digest and length of "
        "every distinct block, and each tenant's ordered list of block digests.");
    bind::add_method(cls, "add_tensor_bytes", &add_tensor_bytes, "tenant"_a.none(), "data"_a.none());
    bind::add_method(cls, "add_state_dict", &add_state_dict, "tenant"_a.none(), "sd"_a.none());
    bind::add_method(cls, "naive_bytes", &naive_bytes);
    bind::add_method(cls, "deduped_bytes", &deduped_bytes);
    bind::add_method(cls, "dedup_ratio", &dedup_ratio);
    bind::add_method(cls, "shared_fraction", &shared_fraction);
    bind::add_method(cls, "summary", &summary);
}
