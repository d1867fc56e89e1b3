// The records CompressedDelta and ModelLibrary, the library's operations and the module
// functions _nbytes and reconstruction_error.
#include "modules/deltavault/deltavault.hpp"

#include <cmath>
#include <limits>

namespace vz::deltavault {
using namespace nb::literals;

nb::object own_attr(const char *name) { return bind::module_attr(kModule, name); }

namespace {

using bind::contains;
using bind::get_item;
using bind::items;

// ---- CompressedDelta ---------------------------------------------------------------------------

nb::object delta_stored_bytes(nb::handle self) {
    nb::object total = nb::int_(0);
    for (nb::handle rec : self.attr("tensors").attr("values")())
        total = total + nb::int_(rec.attr("compressed_size_bytes"));
    return total;
}

// ---- ModelLibrary --------------------------------------------------------------------------------

nb::object add_finetune(nb::handle self, nb::handle model_id, nb::handle finetuned) {
    bind::arg_str(model_id, "model_id");
    bind::arg_dict(finetuned, "finetuned");
    nb::object base = self.attr("base");
    nb::object method = self.attr("method");
    nb::object max_rank = self.attr("max_rank");
    nb::object energy = self.attr("energy");
    // max_error: each tensor gets the smallest record within that relative error (dense when
    // nothing smaller is), whatever `method` says.
    nb::object max_error = self.attr("max_error");
    if (!max_error.is_none() && !energy.is_none())
        throw nb::value_error("energy and max_error cannot both be set: each picks the compression on its own");
    nb::object compress_best = max_error.is_none() ? nb::none()
                                                   : bind::module_attr("velkor_zuma.lowrank", "compress_best");
    // The solver keyword reaches the compressors only when it is not "exact", so that exact
    // libraries call them exactly as before.
    nb::object solver = self.attr("solver");
    bool exact = solver.equal(nb::str("exact"));
    nb::object methods = own_attr("CompressionMethod");
    nb::object none_method = methods.attr("NONE");
    nb::object compress = own_attr("compress");
    nb::object svd_compress_energy = own_attr("svd_compress_energy");
    // max_rank 0 means "no cap" on the energy path.
    nb::object energy_cap;
    if (!energy.is_none()) energy_cap = max_rank.equal(nb::int_(0)) ? nb::none() : max_rank;

    // svd_mixed spends one budget over all the 2-D deltas: their singular values first, one delta
    // at a time, then the widths of every tensor's triplets.
    nb::object lowrank = bind::import("velkor_zuma.lowrank");
    bool mixed = energy.is_none() && max_error.is_none() && PyUnicode_Check(method.ptr()) &&
                 method.equal(nb::str("svd_mixed"));
    nb::dict widths;
    nb::dict mixed_kw;
    if (mixed) {
        mixed_kw["bits"] = self.attr("bits");
        nb::list names, shapes, spectra;
        DeltaBuffer buffer;
        for (nb::handle item : items(finetuned)) {
            nb::handle name = item[0], w = item[1];
            nb::object delta = float32_delta(
                name, w, contains(base, name) ? nb::handle(get_item(base, name)) : nb::handle(), buffer);
            if (nb::cast<long>(delta.attr("ndim")) < 2 || nb::cast<long long>(delta.attr("size")) == 0) continue;
            // A delta that is not finite is refused, naming its first bad value, by the pass below.
            if (!bind::truthy(bind::numpy().attr("isfinite")(delta).attr("all")())) continue;
            names.append(name);
            shapes.append(nb::tuple(delta.attr("shape")));
            spectra.append(lowrank.attr("svd_spectrum")(delta));
        }
        nb::object ws = lowrank.attr("svd_mixed_widths")(shapes, spectra, **mixed_kw);
        for (std::size_t i = 0; i < nb::len(names); ++i) widths[names[i]] = ws[i];
        mixed_kw["zstd"] = self.attr("zstd");
        if (!exact) mixed_kw["solver"] = solver;
    }

    // Everything is computed before the library changes: a failure leaves `deltas` as it was.
    nb::dict tensors;
    DeltaBuffer buffer;
    for (nb::handle item : items(finetuned)) {
        nb::handle name = item[0], w = item[1];
        nb::object delta;
        if (contains(base, name)) {
            nb::object b = get_item(base, name);
            delta = float32_delta(name, w, b, buffer);
        } else {
            delta = float32_delta(name, w, nb::handle(), buffer);
        }
        {
            nb::module_ np = bind::numpy();
            nb::object flat = np.attr("ascontiguousarray")(delta);
            std::vector<std::uint64_t> shape;
            for (nb::handle n : flat.attr("shape")) shape.push_back(nb::cast<std::uint64_t>(n));
            bind::Buffer view(flat, PyBUF_C_CONTIGUOUS);
            refuse_non_finite(static_cast<const float *>(view.data()), view.count(), shape,
                              "tensor '" + bind::text(name) + "' of fine-tune '" + bind::text(model_id) + "'",
                              [&](std::size_t i) {
                                  nb::object src = np.attr("asarray")(w).attr("reshape")(-1)[nb::int_((long long) i)];
                                  return nb::cast<double>(nb::float_(src));
                              });
        }
        long ndim = nb::cast<long>(delta.attr("ndim"));
        nb::object rec;
        if (ndim < 2)
            rec = compress(delta, none_method);
        else if (mixed && contains(widths, name))
            rec = lowrank.attr("svd_mixed_compress")(delta, "widths"_a = get_item(widths, name), **mixed_kw);
        else if (mixed)
            rec = lowrank.attr("svd_mixed_compress")(delta, **mixed_kw);
        else if (!max_error.is_none())
            rec = compress_best(delta, "max_error"_a = max_error, "max_rank"_a = max_rank);
        else if (!energy.is_none() && exact)
            rec = svd_compress_energy(delta, "energy"_a = energy, "max_rank"_a = energy_cap);
        else if (!energy.is_none())
            rec = svd_compress_energy(delta, "energy"_a = energy, "max_rank"_a = energy_cap, "solver"_a = solver);
        else if (exact)
            rec = compress(delta, method, "max_rank"_a = max_rank);
        else
            rec = compress(delta, method, "max_rank"_a = max_rank, "solver"_a = solver);
        tensors[name] = rec;
    }
    nb::object record = own_attr("CompressedDelta")("model_id"_a = model_id, "tensors"_a = tensors,
                                                    "base_id"_a = self.attr("base_id"));
    self.attr("deltas")[model_id] = record;
    return record;
}

// One entry of a reconstruction: base + decompressed delta (the record alone when the base
// lacks the name). A compressed record is added to the base in one pass when the fused
// kernels apply; an uncompressed one is added without copying its array first.
nb::object reconstruct_entry(nb::handle base, nb::handle name, nb::handle rec) {
    if (!contains(base, name)) return own_attr("decompress")(rec);
    nb::object b = get_item(base, name);
    if (rec.attr("method").is(own_attr("CompressionMethod").attr("NONE"))) {
        // decompress would return a copy of the stored array; base + that array is the same sum
        // without the copy. add_base never writes into it (the record holds it).
        nb::object cores = rec.attr("cores");
        if (nb::isinstance<nb::tuple>(cores) && nb::len(cores) >= 1) {
            nb::object stored = cores[0];
            if (stored.type().is(bind::numpy().attr("ndarray"))) return add_base(b, std::move(stored));
        }
    } else {
        nb::object fused = fused_add_base(b, rec);
        if (fused.is_valid()) return fused;
    }
    return add_base(b, own_attr("decompress")(rec));
}

nb::dict reconstruct(nb::handle self, nb::handle model_id) {
    bind::arg_str(model_id, "model_id");
    nb::object record = get_item(self.attr("deltas"), model_id);
    nb::object base = self.attr("base");
    nb::dict out;
    for (nb::handle item : items(record.attr("tensors"))) out[item[0]] = reconstruct_entry(base, item[0], item[1]);
    return out;
}

// reconstruction_error(reconstruct(model_id), finetuned), tensor by tensor: compressed records
// are compared with the fine-tune straight from the base and the factors, without forming
// the reconstruction; other entries are reconstructed one at a time.
double library_error(nb::handle self, nb::handle model_id, nb::handle finetuned) {
    bind::arg_str(model_id, "model_id");
    nb::dict ref = bind::arg_dict(finetuned, "finetuned");
    nb::object record = get_item(self.attr("deltas"), model_id);
    nb::object base = self.attr("base");
    nb::object none_method = own_attr("CompressionMethod").attr("NONE");
    double num = 0.0, den = 0.0;
    for (nb::handle item : items(record.attr("tensors"))) {
        nb::handle name = item[0], rec = item[1];
        nb::object y = get_item(ref, name);
        double sd = 0.0, sr = 0.0;
        bool done = false;
        if (!rec.attr("method").is(none_method) && contains(base, name))
            done = fused_error(get_item(base, name), rec, y, sd, sr);
        if (!done) squared_error_sums(reconstruct_entry(base, name, rec), y, sd, sr);
        num += sd;
        den += sr;
    }
    return std::sqrt(num) / (std::sqrt(den) + 1e-12);
}

long long base_bytes(nb::handle self) { return state_dict_nbytes(self.attr("base"), "sd"); }

long long naive_bytes(nb::handle finetunes) {
    nb::dict f = bind::arg_dict(finetunes, "finetunes");
    long long total = 0;
    for (auto item : f) total += state_dict_nbytes(item.second, "sd");
    return total;
}

nb::object stored_bytes(nb::handle self) {
    nb::object total = nb::int_(base_bytes(self));
    for (nb::handle rec : self.attr("deltas").attr("values")()) total = total + nb::int_(rec.attr("stored_bytes")());
    return total;
}

nb::dict summary(nb::handle self, nb::handle finetunes) {
    nb::dict f = bind::arg_dict(finetunes, "finetunes");
    long long naive = naive_bytes(f);
    nb::object stored = stored_bytes(self);
    long long base = base_bytes(self);
    nb::dict out;
    out["n_models"] = nb::int_((long long) f.size());
    out["base_bytes"] = nb::int_(base);
    out["naive_total_bytes"] = nb::int_(naive);
    out["velkor_zuma_bytes"] = stored;
    double stored_d = nb::cast<double>(nb::float_(stored));
    out["overall_ratio"] = nb::float_(stored_d == 0.0 ? std::numeric_limits<double>::infinity()
                                                      : double(naive) / stored_d);
    out["delta_only_bytes"] = stored - nb::int_(base);
    return out;
}

// ---- module functions --------------------------------------------------------------------------

double reconstruction_error(nb::handle a, nb::handle b) {
    nb::dict da = bind::arg_dict(a, "a");
    nb::dict db = bind::arg_dict(b, "b");
    double num = 0.0, den = 0.0;
    for (auto item : da) {
        nb::object y = get_item(db, item.first);
        double sd = 0.0, sr = 0.0;
        squared_error_sums(item.second, y, sd, sr);
        num += sd;
        den += sr;
    }
    return std::sqrt(num) / (std::sqrt(den) + 1e-12);
}

}  // namespace

void register_library(nb::module_ &m) {
    using bind::Field;
    nb::object dict_type = nb::borrow((PyObject *) &PyDict_Type);

    nb::object delta_cls = bind::make_dataclass(
        m, "CompressedDelta",
        {Field::req("model_id", "str"), Field::req("tensors", "dict[str, CompressedTensor]"),
         Field::req("base_id", "str")},
        false, nb::dict(), "One fine-tune stored as compressed per-tensor deltas from the base.");
    bind::add_method(delta_cls, "stored_bytes", &delta_stored_bytes,
                     "Bytes held by the compressed deltas (sum of their compressed_size_bytes).");

    nb::object lib_cls = bind::make_dataclass(
        m, "ModelLibrary",
        {Field::req("base_id", "str"), Field::req("base", "dict[str, np.ndarray]"),
         Field::factory("deltas", "dict[str, CompressedDelta]", dict_type),
         Field::def("method", "CompressionMethod", m.attr("CompressionMethod").attr("TENSOR_TRAIN")),
         Field::def("max_rank", "int", nb::int_(8)), Field::def("energy", "float | None", nb::none()),
         Field::def("solver", "str", nb::str("exact")), Field::def("max_error", "float | None", nb::none()),
         Field::def("bits", "float", nb::float_(1.2)), Field::def("zstd", "bool", nb::bool_(false))},
        false, nb::dict(), "One base state dict plus many fine-tunes stored as compressed deltas.");
    bind::add_method(lib_cls, "add_finetune", &add_finetune, "model_id"_a.none(), "finetuned"_a.none(),
                     "Compresses and stores the fine-tune's per-tensor deltas from the base; returns the "
                     "new CompressedDelta (replacing an earlier one with the same model_id).");
    bind::add_method(lib_cls, "reconstruct", &reconstruct, "model_id"_a.none(),
                     "Rebuilds a stored fine-tune as base plus decompressed delta, tensor by tensor.");
    bind::add_method(lib_cls, "reconstruction_error", &library_error, "model_id"_a.none(), "finetuned"_a.none(),
                     "reconstruction_error(self.reconstruct(model_id), finetuned), computed from the base, the "
                     "stored records and the fine-tune without building the reconstruction.");
    bind::add_method(
        lib_cls, "base_bytes", [](nb::handle self) { return base_bytes(self); }, "Byte size of the base state dict.");
    bind::add_method(
        lib_cls, "naive_bytes", [](nb::handle, nb::handle finetunes) { return naive_bytes(finetunes); },
        "finetunes"_a.none(), "Bytes the given fine-tunes take stored as full dense models.");
    bind::add_method(lib_cls, "stored_bytes", &stored_bytes,
                     "Bytes the library holds: the base once plus all compressed deltas.");
    bind::add_method(lib_cls, "summary", &summary, "finetunes"_a.none(),
                     "Byte accounting of the library against the given dense fine-tunes.");

    m.def(
        "_nbytes", [](nb::handle sd) { return state_dict_nbytes(sd, "sd"); }, "sd"_a.none(),
        "Byte size of a state dict: sum of element count x item size.");
    m.def("reconstruction_error", &reconstruction_error, "a"_a.none(), "b"_a.none(),
          "Relative Frobenius error of state dict a against the reference b, in float32 with "
          "float64 sums.");
}

}  // namespace vz::deltavault
