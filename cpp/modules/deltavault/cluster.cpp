// Many fine-tunes added at once, their tensors compressed by the tasks of an executor (any
// concurrent.futures.Executor: a thread or process pool, or a Dask cluster's executor):
//
//   _compress_tensors(items, base_file, base_size, settings, label, threads)
//       one task: reads its tensors from their source shards and the base from the library's base
//       file, by path, computes each float32 delta, compresses it and returns the records as
//       plain data (manifest entries and numpy arrays) with the error sums. A module-level
//       function of this module, so that it pickles by name and any worker that imports the
//       package runs it.
//   add_finetunes_from(path, {id: source}, *, executor, ...)
//       the coordinator: takes the library's writer lock, checks every source's tensors against
//       the base from the file headers, submits tasks of about `task_bytes` source bytes each,
//       and commits each fine-tune (its file, then the manifest) once all its tasks are in.
//       A fine-tune whose check or task fails is not added; the others still commit.
//
// Only the coordinator writes the library. Workers read the same files at the same paths, so
// they need a shared file system. A task's records depend on its inputs and settings alone, and
// the delta, compressor call and error sums are those of add_finetune_from, so a record is the
// same whichever executor (or none) made it. A task sets VZ_NUM_THREADS in its worker process
// (one thread by default), so that N single-threaded workers use N cores.
#include "modules/deltavault/files.hpp"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vz::deltavault {
using namespace nb::literals;
using namespace files;

namespace {

// Source bytes per task by default: large enough that a task's reading and compressing (tens of
// milliseconds at least) dwarfs what the engine spends on it (about a millisecond per task on a
// local cluster), small enough that the tensors of one fine-tune spread over a few workers.
constexpr long long kTaskBytes = 32ll << 20;

// ---- the compression settings, resolved once by the coordinator (resolve_settings) ----------------------

// Settings as plain data for a task (the method by its value, so that the task needs no enum
// pickled), and back.
nb::dict settings_dict(const Settings &s) {
    nb::dict d;
    nb::object methods = own_attr("CompressionMethod");
    d["method"] = nb::isinstance(s.method, methods) ? s.method.attr("value") : s.method;
    d["max_rank"] = s.max_rank;
    d["energy"] = s.energy;
    d["energy_cap"] = s.energy_cap;
    d["solver"] = s.solver;
    d["bits"] = s.bits;
    d["zstd"] = s.zstd;
    return d;
}

Settings settings_from(nb::dict d) {
    Settings s;
    for (const char *k : {"method", "max_rank", "energy", "energy_cap", "solver"})
        if (!d.contains(k)) bind::raise(PyExc_ValueError, std::string("task settings lack '") + k + "'");
    s.method = d["method"];
    if (PyUnicode_Check(s.method.ptr())) s.method = own_attr("CompressionMethod")(s.method);
    s.max_rank = d["max_rank"];
    s.energy = d["energy"];
    s.energy_cap = d["energy_cap"];
    s.solver = d["solver"];
    // svd_mixed's options, and the widths of this task's tensors (from the coordinator's first pass).
    if (d.contains("bits")) s.bits = d["bits"];
    if (d.contains("zstd")) s.zstd = d["zstd"];
    if (d.contains("widths")) s.widths = d["widths"];
    return s;
}

// ---- the task -----------------------------------------------------------------------------------------

// Makes this process's native loops and BLAS use `threads` threads from now on (0: as they are).
// The thread count is read from the environment at each call, so this applies at once.
void set_process_threads(long threads) {
    if (threads <= 0) return;
    nb::object environ = bind::import("os").attr("environ");
    nb::str want(std::to_string(threads).c_str());
    nb::object have = environ.attr("get")("VZ_NUM_THREADS");
    if (have.is_none() || !have.equal(want)) environ["VZ_NUM_THREADS"] = want;
}

// One tensor compressed as add_finetune_from does it, its record as plain data.
nb::dict compress_one(DeltaBuffer &buffer, const st::Reader &src, const std::string &name, const st::Reader *base,
                      std::size_t index, const Settings &s, const std::string &label) {
    const st::TensorInfo *t = src.find(name);
    if (!t) bind::raise(PyExc_ValueError, "'" + src.path() + "' no longer holds the tensor");
    const st::TensorInfo *b = base ? base->find(name) : nullptr;
    if (base && !b) bind::raise(PyExc_ValueError, "the library's base file no longer holds the tensor");
    check_tensor(t->name, st::is_float(t->dtype), numpy_name(t->dtype), t->shape, b, label);
    TensorRecord r = compress_tensor(buffer, name, index, src.data(*t), t->dtype, t->shape,
                                     b ? base->data(*b) : nullptr, b, s, "tensor '" + name + "' of '" + label + "'");
    src.release(*t);
    if (b) base->release(*b);
    nb::list arrs;
    for (auto &kv : r.arrays) arrs.append(nb::make_tuple(nb::str(kv.first.c_str()), kv.second));
    nb::dict out;
    out["entry"] = r.entry;
    out["arrays"] = arrs;
    out["sq_diff"] = nb::float_(r.sq_diff);
    out["sq_ref"] = nb::float_(r.sq_ref);
    out["nbytes"] = nb::int_((long long) t->nbytes());
    return out;
}

// A task's failure, naming the tensor: a RuntimeError whose `tensor` attribute holds the name (an
// attribute survives pickling, so the coordinator can tell it from the engine's own errors).
[[noreturn]] void tensor_failed(const std::string &name, const std::string &label, const std::string &what) {
    std::string msg = "tensor '" + name + "' of '" + label + "': " + what;
    nb::object exc = nb::handle(PyExc_RuntimeError)(nb::str(msg.c_str()));
    nb::setattr(exc, "tensor", nb::str(name.c_str()));
    bind::raise(PyExc_RuntimeError, exc);
}

nb::list compress_tensors(nb::handle items, nb::handle base_file, long long base_size, nb::handle settings,
                          nb::handle label, long threads) {
    bind::arg_list(items, "items");
    bind::arg_str(base_file, "base_file");
    bind::arg_dict(settings, "settings");
    bind::arg_str(label, "label");
    set_process_threads(threads);
    Settings s = settings_from(nb::borrow<nb::dict>(settings));
    std::string lab = nb::cast<std::string>(label);
    fs::path bf(nb::cast<std::string>(base_file));
    std::uint64_t size = os_call([&] { return fileio::file_size(bf); });
    if ((long long) size != base_size)
        bind::raise(PyExc_ValueError, "the library's base file " + quoted(bf) + " has " + std::to_string(size) +
                                          " bytes here, not the " + std::to_string(base_size) +
                                          " the library records; workers must see the library's own files");
    std::shared_ptr<st::Reader> base;
    std::map<std::string, std::shared_ptr<st::Reader>> shards;
    DeltaBuffer buffer;
    nb::list out;
    for (nb::handle it : items) {
        nb::tuple t = bind::arg_tuple(it, "items[i]");
        if (nb::len(t) != 4) bind::raise(PyExc_ValueError, "a task item is (index, name, shard, in_base)");
        std::size_t index = nb::cast<std::size_t>(t[0]);
        std::string name = nb::cast<std::string>(t[1]), shard = nb::cast<std::string>(t[2]);
        bool in_base = nb::cast<bool>(t[3]);
        try {
            if (in_base && !base) base = open_reader(bf);
            auto &r = shards[shard];
            if (!r) r = open_source_file(shard);
            out.append(compress_one(buffer, *r, name, in_base ? base.get() : nullptr, index, s, lab));
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
            tensor_failed(name, lab, bind::text(e.type().attr("__name__")) + ": " + bind::text(e.value()));
        } catch (st::FormatError &e) {
            tensor_failed(name, lab, std::string("ValueError: ") + e.what());
        } catch (st::SystemError &e) {
            tensor_failed(name, lab, std::string("OSError: ") + e.what());
        }
    }
    return out;
}

// ---- the coordinator ----------------------------------------------------------------------------------

struct Finetune {
    std::string id, label;
    std::vector<std::string> names;               // in the source's order
    std::vector<std::string> shard_of;            // the shard each tensor is read from
    std::vector<bool> in_base;
    std::vector<std::uint64_t> nbytes;
    std::vector<nb::object> results;              // per tensor, once its task is in
    std::size_t tasks_left = 0;
    nb::object error;                             // the failure, once there is one
    nb::object widths;                            // svd_mixed: name -> widths, from the first pass
    nb::object result;                            // what add_finetune_from returns, once committed
};

struct Task {
    std::size_t ft;
    std::vector<std::size_t> tensors;
};

// The tensors of a source path in the order add_finetune_from reads them; tasks open the shards
// by their absolute paths, wherever they run.
SourceFiles list_source(Finetune &f, const fs::path &p) {
    SourceFiles src = open_source_files(p, true);
    f.names = src.names;
    for (const auto &[reader, info] : src.where) {
        f.shard_of.push_back(reader->path());
        f.nbytes.push_back(info->nbytes());
    }
    return src;
}

class Coordinator {
public:
    Coordinator(const fs::path &dir, bool wait) : dir_(dir), lock_(dir, wait) {
        mf_ = read_manifest(dir_);
        BaseFile b = open_base(dir_, mf_);
        base_file_ = fs::absolute(b.file);
        base_ = b.reader;
        base_size_ = (long long) base_->file_size();
        base_names_.insert(b.names.begin(), b.names.end());
    }
    Manifest &manifest() { return mf_; }

    nb::list finetunes() const { return mf_.finetunes(); }
    std::optional<std::size_t> position(const std::string &id) const {
        auto e = mf_.finetune(id);
        return e ? std::optional<std::size_t>(e->second) : std::nullopt;
    }

    // Lists a source and checks it against the base from the headers (add_finetune_from's checks).
    SourceFiles plan(Finetune &f, const fs::path &src, bool replace) {
        if (position(f.id) && !replace)
            bind::raise(PyExc_FileExistsError,
                        "the model library " + quoted(dir_) + " already holds a fine-tune '" + f.id +
                            "'; nothing was changed: replace it with replace=True (the command's "
                            "--replace), or choose another id");
        SourceFiles files = list_source(f, src);
        bool common = false;
        for (std::size_t i = 0; i < f.names.size(); ++i) {
            const st::TensorInfo *t = files.where[i].second;
            const st::TensorInfo *b = base_names_.count(f.names[i]) ? base_->find(f.names[i]) : nullptr;
            check_tensor(t->name, st::is_float(t->dtype), numpy_name(t->dtype), t->shape, b, f.label);
            if (b) common = true;
            f.in_base.push_back(b != nullptr);
        }
        if (!common && !f.names.empty() && !base_names_.empty())
            bind::raise(PyExc_ValueError, "'" + f.label +
                                              "' shares no tensor name with the library's base; is it a "
                                              "fine-tune of it?");
        f.results.assign(f.names.size(), nb::object());
        return files;
    }

    // svd_mixed's first pass over a planned fine-tune in this process: the spectrum of each 2-D
    // delta, tensor by tensor, then one budget over them all (its widths go to the tasks).
    void plan_widths(Finetune &f, const SourceFiles &files, const Settings &s, Progress &prog) {
        MixedPlan mp;
        DeltaBuffer buffer;
        for (std::size_t i = 0; i < f.names.size(); ++i) {
            const auto &[reader, t] = files.where[i];
            const st::TensorInfo *b = f.in_base[i] ? base_->find(f.names[i]) : nullptr;
            mp.add(buffer, f.names[i], reader->data(*t), t->dtype, t->shape, b ? base_->data(*b) : nullptr, b);
            reader->release(*t);
            if (b) base_->release(*b);
            prog.step(t->nbytes());
        }
        f.widths = mp.widths(s);
    }

    nb::tuple task_args(const Finetune &f, const Task &t, nb::dict settings, long threads) const {
        if (f.widths.is_valid()) {
            // The widths of this task's tensors only.
            nb::dict own;
            for (std::size_t i : t.tensors) {
                nb::str key(f.names[i].c_str());
                if (bind::contains(f.widths, key)) own[key] = bind::get_item(f.widths, key);
            }
            settings = nb::borrow<nb::dict>(bind::import("copy").attr("copy")(settings));
            settings["widths"] = own;
        }
        nb::list items;
        for (std::size_t i : t.tensors)
            items.append(nb::make_tuple(nb::int_((long long) i), nb::str(f.names[i].c_str()),
                                        nb::str(f.shard_of[i].c_str()), nb::bool_(f.in_base[i])));
        return nb::make_tuple(items, nb::str(base_file_.string().c_str()), nb::int_(base_size_), settings,
                              nb::str(f.label.c_str()), nb::int_(threads));
    }

    // Writes the fine-tune's file and then the manifest that names it (the commit).
    void commit(Finetune &f) {
        auto pos = position(f.id);
        FinetuneFile file(dir_, pos ? *pos : nb::len(finetunes()), f.names);
        for (std::size_t i = 0; i < f.names.size(); ++i) {
            nb::dict r = nb::borrow<nb::dict>(f.results[i]);
            TensorRecord rec;
            rec.entry = nb::borrow<nb::dict>(r["entry"]);
            for (nb::handle kv : r["arrays"]) rec.arrays.emplace_back(nb::cast<std::string>(kv[0]), kv[1]);
            rec.sq_diff = nb::cast<double>(r["sq_diff"]);
            rec.sq_ref = nb::cast<double>(r["sq_ref"]);
            file.add(f.names[i], rec, nb::cast<long long>(r["nbytes"]));
            f.results[i] = nb::object();
        }
        f.result = file.commit(mf_, f.id, pos);
    }

private:
    fs::path dir_;
    LibraryLock lock_;
    Manifest mf_;
    fs::path base_file_;
    std::shared_ptr<st::Reader> base_;
    long long base_size_ = 0;
    std::set<std::string> base_names_;
};

// The failure of a task as its fine-tune reports it: the task's own error when it names its
// tensor, else a RuntimeError naming the task's tensors, caused by the engine's error.
nb::object task_failure(const Finetune &f, const Task &t, nb::handle exc) {
    if (nb::hasattr(exc, "tensor")) return nb::borrow(exc);
    std::string names;
    for (std::size_t i : t.tensors) names += (names.empty() ? "'" : ", '") + f.names[i] + "'";
    std::string msg = std::string(t.tensors.size() == 1 ? "tensor " : "tensors ") + names + " of '" + f.label +
                      "': " + bind::type_name(exc) + ": " + bind::text(exc);
    nb::object out = nb::handle(PyExc_RuntimeError)(nb::str(msg.c_str()));
    if (t.tensors.size() == 1) nb::setattr(out, "tensor", nb::str(f.names[t.tensors[0]].c_str()));
    nb::setattr(out, "__cause__", exc);
    return out;
}

void add_note(nb::handle exc, const std::string &note) {
    if (nb::hasattr(exc, "add_note")) exc.attr("add_note")(nb::str(note.c_str()));
}

struct Options {
    nb::object method, max_rank, energy, solver, progress, executor;
    nb::object bits = nb::none(), zstd = nb::none();
    bool replace = false, wait = true;
    long long task_bytes = kTaskBytes;
    long threads = 1;
};

// Adds the fine-tunes in `ids`/`sources`; returns, per id, the add_finetune_from result or the
// exception that kept that fine-tune out.
std::vector<std::pair<std::string, nb::object>> run(const fs::path &dir, const std::vector<std::string> &ids,
                                                    const std::vector<nb::object> &sources, const Options &o) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) read_manifest(dir);  // the usual "no model library" errors
    Coordinator c(dir, o.wait);
    Settings s = resolve_settings(c.manifest(), o.method, o.max_rank, o.energy, o.solver);
    mixed_options(s, c.manifest(), o.bits, o.zstd);
    const bool mixed = is_mixed(s);
    nb::dict settings = settings_dict(s);
    std::vector<SourceFiles> planned(ids.size());

    std::vector<Finetune> fts(ids.size());
    std::vector<Task> tasks;
    std::size_t total_tensors = 0;
    std::uint64_t total_bytes = 0;
    for (std::size_t k = 0; k < ids.size(); ++k) {
        Finetune &f = fts[k];
        f.id = ids[k];
        fs::path p = fs::path(nb::cast<std::string>(bind::import("os").attr("fspath")(sources[k])));
        f.label = p.string();
        try {
            planned[k] = c.plan(f, p, o.replace);
        } catch (nb::python_error &e) {
            f.error = nb::borrow(e.value());
            continue;
        }
        // Consecutive tensors, in the source's order, up to about task_bytes each.
        Task cur{k, {}};
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < f.names.size(); ++i) {
            cur.tensors.push_back(i);
            bytes += f.nbytes[i];
            total_bytes += f.nbytes[i];
            if ((long long) bytes >= o.task_bytes) {
                tasks.push_back(cur);
                cur.tensors.clear();
                bytes = 0;
            }
        }
        if (!cur.tensors.empty()) tasks.push_back(cur);
        total_tensors += f.names.size();
        f.tasks_left = 0;
    }
    for (const Task &t : tasks) ++fts[t.ft].tasks_left;

    Progress prog{o.progress};
    prog.total_tensors = total_tensors;
    prog.total_bytes = total_bytes;
    if (mixed) {
        // Every tensor is read twice: once for its spectrum, once by its task.
        prog.total_tensors *= 2;
        prog.total_bytes *= 2;
        for (std::size_t k = 0; k < fts.size(); ++k) {
            Finetune &f = fts[k];
            if (f.error.is_valid()) continue;
            try {
                c.plan_widths(f, planned[k], s, prog);
            } catch (nb::python_error &e) {
                if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
                f.error = nb::borrow(e.value());
            }
            planned[k] = SourceFiles();
        }
    }
    // A task's result is in: keep its records; a fine-tune whose tasks are all in is committed.
    auto take = [&](const Task &t, nb::handle result) {
        Finetune &f = fts[t.ft];
        if (f.error.is_valid()) return;
        nb::list rl = nb::borrow<nb::list>(result);
        if (nb::len(rl) != t.tensors.size())
            bind::raise(PyExc_RuntimeError, "a task returned " + std::to_string(nb::len(rl)) + " records for " +
                                                std::to_string(t.tensors.size()) + " tensors");
        for (std::size_t j = 0; j < t.tensors.size(); ++j) {
            f.results[t.tensors[j]] = rl[j];
            prog.step(f.nbytes[t.tensors[j]]);
        }
        if (--f.tasks_left == 0) c.commit(f);
    };
    // Fine-tunes without tensors are committed at once.
    for (Finetune &f : fts)
        if (!f.error.is_valid() && f.tasks_left == 0) c.commit(f);

    nb::object fn = own_attr("_compress_tensors");
    if (o.executor.is_none()) {
        // In this process, one task after another, with the threads this process has.
        for (const Task &t : tasks) {
            Finetune &f = fts[t.ft];
            if (f.error.is_valid()) continue;
            nb::object r;
            try {
                r = fn(*c.task_args(f, t, settings, 0));
            } catch (nb::python_error &e) {
                if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
                f.error = task_failure(f, t, e.value());
                continue;
            }
            take(t, r);
        }
    } else {
        nb::list futures;
        nb::dict which;  // future -> task index
        // Each future lands in this queue once, when it is done: its done callback runs when the
        // executor sets its outcome, or in cancel() itself for a future this loop cancels. Waiting
        // on the queue, not on the executor's report of each cancel, matters: an executor need not
        // ever report a cancelled future (a Dask client's executor loses that report when the
        // task's result crosses the cancel), and waiting for one could last forever.
        nb::object landed = bind::import("queue").attr("SimpleQueue")();
        nb::object land = landed.attr("put");
        try {
            for (std::size_t k = 0; k < tasks.size(); ++k) {
                const Task &t = tasks[k];
                nb::object fut = o.executor.attr("submit")(fn, *c.task_args(fts[t.ft], t, settings, o.threads));
                futures.append(fut);
                which[fut] = nb::int_((long long) k);
                fut.attr("add_done_callback")(land);
            }
            std::vector<bool> settled(tasks.size(), false);  // taken in, or cancelled by this loop
            std::size_t left = tasks.size();
            while (left > 0) {
                nb::object fut = landed.attr("get")();
                std::size_t i = nb::cast<std::size_t>(which[fut]);
                if (settled[i]) continue;  // one this loop cancelled, landing from its cancel()
                settled[i] = true;
                --left;
                const Task &t = tasks[i];
                Finetune &f = fts[t.ft];
                if (f.error.is_valid()) continue;
                // A task cancelled elsewhere (a pool shut down with cancel_futures=True, the
                // cluster's own cancel) fails its fine-tune as a task's error does.
                nb::object exc =
                    nb::cast<bool>(fut.attr("cancelled")())
                        ? bind::import("concurrent.futures").attr("CancelledError")("the executor cancelled the task")
                        : fut.attr("exception")();
                if (!exc.is_none()) {
                    f.error = task_failure(f, t, exc);
                    // The rest of this fine-tune's tasks are of no use now.
                    for (std::size_t k = 0; k < tasks.size(); ++k)
                        if (tasks[k].ft == t.ft && !settled[k] && bind::truthy(futures[k].attr("cancel")())) {
                            settled[k] = true;
                            --left;
                        }
                    continue;
                }
                take(t, fut.attr("result")());
            }
        } catch (...) {
            for (nb::handle fut : futures) fut.attr("cancel")();
            throw;
        }
    }

    std::vector<std::pair<std::string, nb::object>> out;
    for (Finetune &f : fts) {
        if (f.error.is_valid()) add_note(f.error, "fine-tune '" + f.id + "' was not added");
        out.emplace_back(f.id, f.error.is_valid() ? f.error : f.result);
    }
    return out;
}

Options options(nb::handle method, nb::handle max_rank, nb::handle energy, nb::handle solver, bool replace, bool wait,
                nb::handle progress, nb::handle executor, nb::handle task_bytes, nb::handle task_threads) {
    Options o;
    o.method = nb::borrow(method);
    o.max_rank = nb::borrow(max_rank);
    o.energy = nb::borrow(energy);
    o.solver = nb::borrow(solver);
    o.replace = replace;
    o.wait = wait;
    o.progress = nb::borrow(progress);
    o.executor = nb::borrow(executor);
    if (!executor.is_none() && !nb::hasattr(executor, "submit"))
        bind::raise_arg_type("executor", "concurrent.futures.Executor or None", executor);
    if (!task_bytes.is_none()) {
        o.task_bytes = bind::arg_int(task_bytes, "task_bytes");
        if (o.task_bytes < 1) bind::raise(PyExc_ValueError, "task_bytes must be at least 1");
    }
    // Threads of a pool share this process, whose thread setting they leave as it is; a task in a
    // worker process of its own uses one thread.
    o.threads = nb::isinstance(executor, bind::import("concurrent.futures").attr("ThreadPoolExecutor")) ? 0 : 1;
    if (!task_threads.is_none()) {
        long long t = bind::arg_int(task_threads, "task_threads");
        if (t < 0) bind::raise(PyExc_ValueError, "task_threads must be 0 or more");
        o.threads = long(t);
    }
    return o;
}

nb::dict add_finetunes_from(nb::handle path, nb::handle sources, nb::handle method, nb::handle max_rank,
                            nb::handle energy, nb::handle solver, bool replace, bool wait, nb::handle progress,
                            nb::handle executor, nb::handle task_bytes, nb::handle task_threads, nb::handle errors,
                            nb::handle bits, nb::handle zstd) {
    fs::path dir = to_path(path);
    if (!nb::isinstance(sources, bind::import("collections.abc").attr("Mapping")))
        bind::raise_arg_type("sources", "Mapping[str, str | os.PathLike]", sources);
    bind::arg_str(errors, "errors");
    std::string mode = nb::cast<std::string>(errors);
    if (mode != "raise" && mode != "return")
        bind::raise(PyExc_ValueError, "errors must be 'raise' or 'return', not '" + mode + "'");
    std::vector<std::string> ids;
    std::vector<nb::object> srcs;
    for (nb::handle k : sources) {
        bind::arg_str(k, "model_id");
        nb::object v = sources[k];
        if (!PyUnicode_Check(v.ptr()) && !nb::hasattr(v, "__fspath__"))
            bind::raise(PyExc_TypeError, "the source of fine-tune '" + nb::cast<std::string>(k) +
                                             "' must be a path (str or os.PathLike) that the workers can read, not " +
                                             bind::type_name(v));
        ids.push_back(nb::cast<std::string>(k));
        srcs.push_back(v);
    }
    Options o = options(method, max_rank, energy, solver, replace, wait, progress, executor, task_bytes, task_threads);
    o.bits = nb::borrow(bits);
    o.zstd = nb::borrow(zstd);
    auto res = run(dir, ids, srcs, o);
    nb::dict out;
    nb::list failed;
    std::string failed_ids;
    for (auto &kv : res) {
        out[nb::str(kv.first.c_str())] = kv.second;
        if (PyExceptionInstance_Check(kv.second.ptr())) {
            failed.append(kv.second);
            failed_ids += (failed_ids.empty() ? "'" : ", '") + kv.first + "'";
        }
    }
    if (mode == "raise" && nb::len(failed)) {
        std::string msg = std::to_string(nb::len(failed)) + " of " + std::to_string(res.size()) +
                          " fine-tunes were not added (" + failed_ids + ")" +
                          (nb::len(failed) < res.size() ? "; the others were committed" : "");
        nb::module_ builtins = bind::import("builtins");
        nb::object group;
        if (nb::hasattr(builtins, "ExceptionGroup")) {
            group = builtins.attr("ExceptionGroup")(nb::str(msg.c_str()), failed);
        } else {
            // Before Python 3.11: one RuntimeError saying all, caused by the first failure.
            for (nb::handle e : failed) msg += "\n" + bind::text(e);
            group = nb::handle(PyExc_RuntimeError)(nb::str(msg.c_str()));
            nb::setattr(group, "__cause__", failed[0]);
        }
        bind::raise(group.type().ptr(), group);
    }
    return out;
}

}  // namespace

// One fine-tune added through an executor (add_finetune_from with executor=): its failure is
// raised as it is.
nb::dict add_finetune_with(nb::handle path, nb::handle model_id, nb::handle source, nb::handle method,
                           nb::handle max_rank, nb::handle energy, nb::handle solver, bool replace, bool wait,
                           nb::handle progress, nb::handle executor, nb::handle bits, nb::handle zstd) {
    fs::path dir = to_path(path);
    bind::arg_str(model_id, "model_id");
    if (!PyUnicode_Check(source.ptr()) && !nb::hasattr(source, "__fspath__"))
        bind::raise_arg_type("source", "str or os.PathLike (with an executor, workers read the source by path)",
                             source);
    Options o = options(method, max_rank, energy, solver, replace, wait, progress, executor, nb::none(), nb::none());
    o.bits = nb::borrow(bits);
    o.zstd = nb::borrow(zstd);
    auto res = run(dir, {nb::cast<std::string>(model_id)}, {nb::borrow(source)}, o);
    nb::object r = res[0].second;
    if (PyExceptionInstance_Check(r.ptr())) bind::raise(r.type().ptr(), r);
    return nb::borrow<nb::dict>(r);
}

namespace {
struct CompressTask {};
}  // namespace

void register_cluster(nb::module_ &m) {
    // The task is an instance of a small class rather than a plain function: it pickles by the
    // name of its class (native functions do not pickle), which is what executors send to workers.
    nb::class_<CompressTask>(m, "_CompressTensors", "The task of add_finetunes_from (_compress_tensors).")
        .def(nb::init<>())
        .def(
            "__call__",
            [](CompressTask &, nb::handle items, nb::handle base_file, long long base_size, nb::handle settings,
               nb::handle label,
               long threads) { return compress_tensors(items, base_file, base_size, settings, label, threads); },
            "items"_a, "base_file"_a, "base_size"_a, "settings"_a, "label"_a, "threads"_a = 1,
            "Compresses the deltas of the tensors `items` ((index, name, shard path, in_base) each) against the "
            "library's base file, and returns their records as plain data ([{'entry', 'arrays', 'sq_diff', "
            "'sq_ref', 'nbytes'}]). threads > 0 sets VZ_NUM_THREADS in this process first.")
        .def("__reduce__", [](nb::handle self) { return nb::make_tuple(self.type(), nb::tuple()); });
    m.attr("_compress_tensors") = m.attr("_CompressTensors")();
    m.def("add_finetunes_from", &add_finetunes_from, "path"_a.none(), "sources"_a.none(), nb::kw_only(),
          "method"_a.none() = nb::none(), "max_rank"_a.none() = nb::none(), "energy"_a.none() = nb::none(),
          "solver"_a.none() = nb::none(), "replace"_a = false, "wait"_a = true, "progress"_a.none() = nb::none(),
          "executor"_a.none() = nb::none(), "task_bytes"_a.none() = nb::none(), "task_threads"_a.none() = nb::none(),
          "errors"_a.none() = "raise", "bits"_a.none() = nb::none(), "zstd"_a.none() = nb::none(),
          "Adds several fine-tunes ({model_id: source path}) to the library in `path` at once. Their tensors "
          "are compressed by tasks of about task_bytes source bytes (default 32 MiB) submitted to `executor` "
          "(any concurrent.futures.Executor; None: in this process); each task reads its tensors and the base "
          "by path, so workers must see the same files. Only this process writes the library, under its lock, "
          "committing each fine-tune when all its tensors are in. A fine-tune whose check or task fails is not "
          "added (a task's error names its tensor) and the others still are: errors='raise' then raises an "
          "ExceptionGroup of the failures, errors='return' puts each failure in place of its result. Each task "
          "sets VZ_NUM_THREADS to task_threads in its worker (default 1; 0 for a ThreadPoolExecutor, whose "
          "threads share this process). Other options as add_finetune_from (under svd_mixed, this process "
          "reads each fine-tune once for its singular values and one budget before the tasks compress it). "
          "Returns {model_id: result}.");
}

}  // namespace vz::deltavault
