// The `velkor-zuma` command: shared declarations of the subcommands and their helpers.
#pragma once

#include "bind/bind.hpp"

#include <nanobind/stl/string.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vz::cli {
using namespace nb::literals;

// A failure the user can act on: printed as one line on stderr, exit status 1.
struct CliError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A bad combination of arguments found after parsing: reported through the subcommand's parser
// (usage line + message on stderr), exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A setting changed for a while and put back by `undo`: once, on every way out of the scope
// (errors included), or earlier where run() is called, so that what follows sees it restored.
// An error while putting it back on the way out cannot be raised there: a Python one is
// reported as unraisable, and nothing leaves the destructor.
template <typename Undo>
class Restore {
public:
    explicit Restore(Undo undo) : undo_(std::move(undo)) {}
    Restore(const Restore &) = delete;
    Restore &operator=(const Restore &) = delete;
    ~Restore() {
        try {
            run();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("restoring a setting of the velkor-zuma command");
        } catch (...) {
        }
    }
    void run() {
        if (!pending_) return;
        pending_ = false;
        undo_();
    }

private:
    Undo undo_;
    bool pending_ = true;
};

// ---- output ----------------------------------------------------------------------------------
// Written through sys.stdout / sys.stderr so that our lines and those the host's libraries print
// stay in order; every call flushes.
void out(const std::string &text);     // text + "\n" on stdout
void err(const std::string &text);     // text + "\n" on stderr
bool stderr_is_tty();
// Progress notes for long work: on stderr, and only when stderr is a terminal.
void progress(const std::string &text);

// The progress bar of every long command: a tqdm bar on stderr (tensors and bytes done, rate,
// time left) when stderr is a terminal and tqdm is installed; nothing otherwise. `callback()`
// is what the library operations take as `progress` (None when there is no bar).
class ProgressBar {
public:
    explicit ProgressBar(const std::string &what);
    ~ProgressBar();
    nb::object callback() const { return callback_; }
    void close();

private:
    nb::object bar_, callback_;
};

std::string human(double bytes);              // 1024-based: "1.50 KB", largest unit "GB"
std::string with_commas(int64_t n);           // 1478656 -> "1,478,656"
std::string bytes_both(int64_t n);            // "1.41 MB (1,478,656 bytes)"
std::string fixed(double v, int decimals);    // printf("%.*f")
std::string sci(double v);                    // printf("%.2e")
std::string py_repr(nb::handle obj);          // repr(obj)

// A plain text table: column widths from the cells, `right[i]` right-aligns column i.
std::string table(const std::vector<std::string> &headers, const std::vector<std::vector<std::string>> &rows,
                  const std::vector<bool> &right);

// One line out of a possibly multi-line message (for the error line on stderr).
std::string one_line(const std::string &msg);

// ---- host objects ----------------------------------------------------------------------------
nb::object path(const std::string &p);  // pathlib.Path(p)
bool is_dir(const std::string &p);
bool is_file(const std::string &p);
bool dir_has_entries(const std::string &p);

// ---- model sources ---------------------------------------------------------------------------
// SRC forms: "ollama:NAME", "lmstudio:NAME", a .gguf file, a snapshot directory of safetensors
// shards, or a hub repository id (downloaded or reused from the hub cache).
bool is_gguf_source(const std::string &src);
nb::dict load_source(const std::string &src);
// The snapshot directory of a hub repository id (downloaded or reused from the hub cache);
// anything else that is not a local path is refused with the "model source not found" message.
nb::object snapshot_source(const std::string &src);
// A directory holding a transformers model (config, tokenizer, shards): a local directory, or
// the snapshot of a hub id. GGUF sources are refused with a message naming `what`.
nb::object model_dir_source(const std::string &src, const char *what);

// ---- libraries on disk -----------------------------------------------------------------------
nb::object library_load(const std::string &dir);
void library_save(nb::handle lib, const std::string &dir);

// ---- the command ------------------------------------------------------------------------------
// Runs the command line argv (None: sys.argv[1:]) and returns the exit status.
int main_entry(nb::handle argv);

// ---- subcommands (args: the argparse namespace) -------------------------------------------
int cmd_demo(nb::handle args);
int cmd_serve(nb::handle args);
int cmd_add_base(nb::handle args);
int cmd_add_finetune(nb::handle args);
// cluster.cpp: several sources at once, or on a Dask cluster (--scheduler / --workers).
void add_finetune_cluster_arguments(nb::handle parser, nb::handle worker_count_type);
std::vector<std::pair<std::string, std::string>> finetune_jobs(nb::handle args);  // (id, source) pairs
int cmd_add_finetunes(nb::handle args, const std::vector<std::pair<std::string, std::string>> &jobs);
// commands.cpp: the line printed for each fine-tune added, and a library source read tensor by tensor.
void print_added(const std::string &id, const std::string &dir, nb::dict res);
// add-finetune's --max-rank as the library takes it: 0 for --method sign without --max-rank.
nb::object method_max_rank(nb::handle args);
// Refuses --bits / --zstd with a method other than svd_mixed.
void check_mixed_args(nb::handle args);
// add-finetune's svd_mixed options (bits, zstd) as keyword arguments, those given only.
nb::dict mixed_kwargs(nb::handle args);
nb::object stream_source(const std::string &src);
int cmd_list(nb::handle args);
int cmd_export(nb::handle args);
int cmd_dedup(nb::handle args);
int cmd_list_ollama(nb::handle args);
int cmd_list_lmstudio(nb::handle args);
int cmd_perplexity(nb::handle args);

// Prints the library summary (shared by `list` and the demo).
void print_library(nb::handle lib, nb::dict summary, const std::string &title);
void print_library_header(nb::handle base_id, nb::handle method, nb::handle max_rank, nb::handle energy,
                          size_t base_tensors, nb::dict summary, const std::string &title);
// Prints a DedupStore's summary with a per-tenant table (shared by `dedup` and the demo).
void print_dedup(nb::handle store, const std::string &title);

}  // namespace vz::cli
