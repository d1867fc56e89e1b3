// `add-finetune` with several sources, or with their tensors compressed on a Dask cluster
// (--scheduler ADDRESS: a running scheduler; --workers N: a local cluster started for the
// command). Only this process writes the library; the workers read the sources and the
// library's base by path, so they must see the same files at the same paths.
#include "modules/cli/cli.hpp"

#include <fstream>
#include <set>

namespace vz::cli {

namespace {
constexpr const char *kClusterHint =
    "--scheduler and --workers need Dask's distributed scheduler:\n  pip install \"velkor-zuma[cluster]\"";

// Retries of a task the cluster makes before its fine-tune fails (a worker that dies while
// running a task does not count: the scheduler moves the task to another worker).
constexpr int kTaskRetries = 2;

bool uses_cluster(nb::handle args) { return !args.attr("scheduler").is_none() || !args.attr("workers").is_none(); }

// A Dask client for the command's options, and the local cluster it runs on (if any).
struct Cluster {
    nb::object cluster, client, executor;
    ~Cluster() {
        try {
            if (client.is_valid()) client.attr("close")();
            if (cluster.is_valid()) cluster.attr("close")();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(__func__);
        }
    }
};

void connect(nb::handle args, Cluster &c) {
    nb::module_ distributed = bind::import_optional("distributed", kClusterHint);
    nb::object scheduler = args.attr("scheduler");
    if (scheduler.is_none()) {
        long long n = nb::cast<long long>(args.attr("workers"));
        progress("starting a local cluster of " + std::to_string(n) + " worker processes");
        nb::dict env;
        env["VZ_NUM_THREADS"] = "1";  // one thread a worker: N workers use N cores
        c.cluster = distributed.attr("LocalCluster")("n_workers"_a = n, "threads_per_worker"_a = 1,
                                                     "processes"_a = true, "dashboard_address"_a = ":0", "env"_a = env,
                                                     "silence_logs"_a = bind::import("logging").attr("ERROR"));
        c.client = distributed.attr("Client")(c.cluster);
    } else {
        std::string address = nb::cast<std::string>(scheduler);
        try {
            c.client = distributed.attr("Client")(address, "timeout"_a = "30s");
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyboardInterrupt)) throw;
            throw CliError("cannot reach the Dask scheduler at " + address + ": " + one_line(bind::text(e.value())));
        }
    }
    c.executor = c.client.attr("get_executor")("retries"_a = kTaskRetries, "pure"_a = false);
}
}  // namespace

void add_finetune_cluster_arguments(nb::handle p, nb::handle worker_count_type) {
    p.attr("add_argument")("--ids-from", "metavar"_a = "FILE",
                           "help"_a = "a file of ids, one a line, for the sources in order (before those of --id)");
    nb::object g = p.attr("add_mutually_exclusive_group")();
    g.attr("add_argument")("--scheduler", "metavar"_a = "ADDRESS",
                           "help"_a =
                               "compress on the Dask cluster of this scheduler (e.g. tcp://host:8786); its "
                               "workers must see the sources and the library at the same paths");
    g.attr("add_argument")("--workers", "metavar"_a = "N", "type"_a = worker_count_type,
                           "help"_a = "compress on a local Dask cluster of N worker processes, one thread each");
}

std::vector<std::pair<std::string, std::string>> finetune_jobs(nb::handle args) {
    std::vector<std::string> ids;
    nb::object file = args.attr("ids_from");
    if (!file.is_none()) {
        std::string name = nb::cast<std::string>(file);
        std::ifstream in(name);
        if (!in) throw CliError("cannot read the ids file " + name);
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
            std::size_t b = line.find_first_not_of(" \t");
            if (b == std::string::npos) continue;
            ids.push_back(line.substr(b));
        }
    }
    nb::object given = args.attr("id");
    if (!given.is_none())
        for (nb::handle h : given) ids.push_back(nb::cast<std::string>(h));
    nb::list srcs = nb::borrow<nb::list>(args.attr("src"));
    if (ids.empty()) throw UsageError("the following arguments are required: --id (or --ids-from)");
    if (ids.size() != nb::len(srcs))
        throw UsageError(std::to_string(nb::len(srcs)) + (nb::len(srcs) == 1 ? " source but " : " sources but ") +
                         std::to_string(ids.size()) + (ids.size() == 1 ? " id" : " ids") +
                         ": give one --id (or one line of --ids-from) per SRC, in order");
    std::set<std::string> seen;
    std::vector<std::pair<std::string, std::string>> jobs;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!seen.insert(ids[i]).second) throw UsageError("id '" + ids[i] + "' given twice");
        jobs.emplace_back(ids[i], nb::cast<std::string>(srcs[i]));
    }
    return jobs;
}

int cmd_add_finetunes(nb::handle args, const std::vector<std::pair<std::string, std::string>> &jobs) {
    std::string dir = nb::cast<std::string>(args.attr("library"));
    if (!is_dir(dir))
        throw CliError("no library at " + dir + "; create one with `velkor-zuma add-base SRC --library " + dir + "`");
    nb::module_ dv = bind::import("velkor_zuma.deltavault");
    nb::object method = args.attr("method");
    if (!method.is_none()) method = bind::import("velkor_zuma.lowrank").attr("CompressionMethod")(method);
    nb::dict options;
    options["method"] = method;
    options["max_rank"] = method_max_rank(args);
    options["energy"] = args.attr("energy");
    options["solver"] = args.attr("solver");
    options["replace"] = args.attr("replace");
    options["wait"] = nb::bool_(!nb::cast<bool>(args.attr("no_wait")));
    for (auto kv : mixed_kwargs(args)) options[kv.first] = kv.second;

    std::vector<std::string> failed;
    auto report = [&](const std::string &id, nb::handle res) {
        if (PyExceptionInstance_Check(res.ptr())) {
            err("fine-tune '" + id + "' failed: " + one_line(bind::text(res)));
            failed.push_back(id);
        } else {
            print_added(id, dir, nb::borrow<nb::dict>(res));
        }
    };
    if (!uses_cluster(args)) {
        // One after another in this process, as many single adds: each source may be of any kind.
        for (const auto &[id, src] : jobs) {
            ProgressBar bar("add-finetune " + id);
            nb::object res;
            try {
                res = dv.attr("add_finetune_from")(dir, id, stream_source(src), "progress"_a = bar.callback(),
                                                   **options);
            } catch (nb::python_error &e) {
                if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit)) throw;
                res = nb::borrow(e.value());
            } catch (CliError &c) {
                res = nb::handle(PyExc_RuntimeError)(nb::str(c.what()));
            }
            bar.close();
            report(id, res);
        }
    } else {
        nb::dict sources;
        for (const auto &[id, src] : jobs) {
            if (!is_dir(src) && !is_file(src))
                throw CliError("'" + src +
                               "' is not a local file or directory: on a cluster, sources are read by "
                               "path (safetensors files or directories of shards that the workers can see)");
            sources[nb::str(id.c_str())] = nb::str(src.c_str());
        }
        Cluster c;
        connect(args, c);
        ProgressBar bar("add-finetune");
        nb::dict res = nb::borrow<nb::dict>(dv.attr("add_finetunes_from")(
            dir, sources, "executor"_a = c.executor, "errors"_a = "return", "progress"_a = bar.callback(), **options));
        bar.close();
        for (const auto &[id, src] : jobs) report(id, res[nb::str(id.c_str())]);
    }
    if (failed.empty()) return 0;
    std::string names;
    for (const auto &f : failed) names += (names.empty() ? "" : ", ") + f;
    err(std::to_string(failed.size()) + " of " + std::to_string(jobs.size()) + " fine-tunes failed: " + names +
        (failed.size() < jobs.size() ? " (the others were added)" : ""));
    return 1;
}

}  // namespace vz::cli
