// Output, formatting and model-source helpers of the `velkor-zuma` command.
#include "modules/cli/cli.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace vz::cli {

namespace {

void write_stream(const char *name, const std::string &text) {
    nb::object stream = bind::import("sys").attr(name);
    if (stream.is_none()) return;
    stream.attr("write")(nb::str(text.c_str(), text.size()));
    stream.attr("flush")();
}

}  // namespace

void out(const std::string &text) { write_stream("stdout", text + "\n"); }
void err(const std::string &text) { write_stream("stderr", text + "\n"); }

bool stderr_is_tty() {
    nb::object stream = bind::import("sys").attr("stderr");
    if (stream.is_none()) return false;
    try {
        return nb::cast<bool>(stream.attr("isatty")());
    } catch (nb::python_error &) {
        return false;
    }
}

void progress(const std::string &text) {
    if (stderr_is_tty()) err("... " + text);
}

ProgressBar::ProgressBar(const std::string &what) {
    callback_ = nb::none();
    if (!stderr_is_tty()) return;
    nb::object tqdm;
    try {
        tqdm = bind::import("tqdm").attr("tqdm");
    } catch (nb::python_error &) {
        return;  // no bar without tqdm; the command itself works the same
    }
    bar_ = tqdm("desc"_a = what, "total"_a = nb::none(), "unit"_a = "B", "unit_scale"_a = true, "unit_divisor"_a = 1024,
                "file"_a = bind::import("sys").attr("stderr"), "leave"_a = false, "dynamic_ncols"_a = true);
    nb::object bar = bar_;
    auto last = std::make_shared<long long>(0);
    callback_ = nb::cpp_function([bar, last](long long done, long long tensors, long long bytes, long long total) {
        if (total > 0 && (bar.attr("total").is_none() || nb::cast<long long>(bar.attr("total")) != total))
            bar.attr("total") = total;
        bar.attr("set_postfix_str")(std::to_string(done) + "/" + std::to_string(tensors) + " tensors",
                                    "refresh"_a = false);
        bar.attr("update")(bytes - *last);
        *last = bytes;
        // tqdm redraws at most every 0.1 s; the last tensor is always drawn, however quick the run.
        if (done == tensors) bar.attr("refresh")();
    });
}

ProgressBar::~ProgressBar() {
    try {
        close();
    } catch (...) {
    }
}

void ProgressBar::close() {
    if (bar_.is_valid()) {
        nb::object b = bar_;
        bar_ = nb::object();
        b.attr("close")();
    }
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string sci(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2e", v);
    return buf;
}

std::string human(double b) {
    static const char *units[] = {"B", "KB", "MB", "GB"};
    for (int i = 0; i < 4; ++i) {
        if (b < 1024.0 || i == 3) return fixed(b, 2) + " " + units[i];
        b /= 1024.0;
    }
    return fixed(b, 2) + " GB";
}

std::string with_commas(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string res;
    int count = 0;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (count && count % 3 == 0) res.push_back(',');
        res.push_back(*it);
        ++count;
    }
    if (n < 0) res.push_back('-');
    std::reverse(res.begin(), res.end());
    return res;
}

std::string bytes_both(int64_t n) { return human((double) n) + " (" + with_commas(n) + " bytes)"; }

std::string py_repr(nb::handle obj) { return nb::cast<std::string>(nb::repr(obj)); }

std::string table(const std::vector<std::string> &headers, const std::vector<std::vector<std::string>> &rows,
                  const std::vector<bool> &right) {
    size_t ncol = headers.size();
    std::vector<size_t> width(ncol, 0);
    auto measure = [&](const std::vector<std::string> &row) {
        for (size_t i = 0; i < ncol && i < row.size(); ++i)
            width[i] = std::max(width[i], (size_t) nb::len(nb::str(row[i].c_str(), row[i].size())));
    };
    measure(headers);
    for (auto &r : rows) measure(r);
    auto line = [&](const std::vector<std::string> &row) {
        std::string s;
        for (size_t i = 0; i < ncol; ++i) {
            const std::string cell = i < row.size() ? row[i] : "";
            size_t len = (size_t) nb::len(nb::str(cell.c_str(), cell.size()));
            std::string pad(width[i] - std::min(width[i], len), ' ');
            if (i) s += "  ";
            if (i < right.size() && right[i])
                s += pad + cell;
            else
                s += (i + 1 == ncol) ? cell : cell + pad;
        }
        return s;
    };
    std::string res = "  " + line(headers);
    for (auto &r : rows) res += "\n  " + line(r);
    return res;
}

std::string one_line(const std::string &msg) {
    // Split into lines, trim them, and join: after a sentence or a colon with a space, else "; ".
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= msg.size()) {
        size_t end = msg.find('\n', start);
        if (end == std::string::npos) end = msg.size();
        std::string part = msg.substr(start, end - start);
        size_t a = part.find_first_not_of(" \t\r");
        size_t b = part.find_last_not_of(" \t\r");
        if (a != std::string::npos) parts.push_back(part.substr(a, b - a + 1));
        start = end + 1;
    }
    std::string res;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) {
            char last = res.empty() ? ' ' : res.back();
            res += (last == '.' || last == ':' || last == '!' || last == '?') ? " " : "; ";
        }
        res += parts[i];
    }
    return res;
}

// ---- files -----------------------------------------------------------------------------------

nb::object path(const std::string &p) { return bind::import("pathlib").attr("Path")(p); }

bool is_dir(const std::string &p) { return nb::cast<bool>(path(p).attr("is_dir")()); }
bool is_file(const std::string &p) { return nb::cast<bool>(path(p).attr("is_file")()); }

bool dir_has_entries(const std::string &p) {
    if (!is_dir(p)) return false;
    return nb::len(bind::import("os").attr("listdir")(p)) > 0;
}

// ---- model sources ---------------------------------------------------------------------------

namespace {

bool starts_with(const std::string &s, const char *prefix) { return s.rfind(prefix, 0) == 0; }

bool ends_with_ci(const std::string &s, const std::string &suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower((unsigned char) s[s.size() - suffix.size() + i]) != suffix[i]) return false;
    return true;
}

// A hub repository id: "name" or "owner/name" of letters, digits and "-_.", not a path.
bool looks_like_hub_id(const std::string &s) {
    if (s.empty() || s[0] == '.' || s[0] == '/' || s[0] == '~' || s.back() == '/') return false;
    int slashes = 0;
    for (char c : s) {
        if (c == '/')
            ++slashes;
        else if (!(std::isalnum((unsigned char) c) || c == '-' || c == '_' || c == '.'))
            return false;
    }
    if (slashes > 1) return false;
    // "models/mine" where ./models exists is a mistyped local path, not a repository.
    if (slashes == 1 && is_dir(s.substr(0, s.find('/')))) return false;
    return true;
}

}  // namespace

bool is_gguf_source(const std::string &src) {
    return starts_with(src, "ollama:") || starts_with(src, "lmstudio:") || ends_with_ci(src, ".gguf");
}

namespace {

nb::dict load_gguf(nb::handle file) {
    nb::module_ lm = bind::import("velkor_zuma.localmodels");
    return nb::borrow<nb::dict>(lm.attr("load_gguf_tensors")(file));
}

}  // namespace

nb::dict load_source(const std::string &src) {
    if (starts_with(src, "ollama:")) {
        std::string name = src.substr(7);
        if (name.empty()) throw CliError("'ollama:' needs a model name, e.g. ollama:llama3.2");
        nb::object blob = bind::import("velkor_zuma.localmodels").attr("find_ollama_blob")(name);
        progress("reading GGUF " + bind::text(blob));
        return load_gguf(blob);
    }
    if (starts_with(src, "lmstudio:")) {
        std::string name = src.substr(9);
        if (name.empty()) throw CliError("'lmstudio:' needs a model name; run `velkor-zuma list-lmstudio`");
        nb::object file = bind::import("velkor_zuma.localmodels").attr("find_lmstudio_model")(name);
        if (!nb::cast<bool>(file.attr("is_file")()))
            throw CliError("'" + src + "' names the directory " + bind::text(file) +
                           ", not a GGUF file; run `velkor-zuma list-lmstudio` to see the models");
        progress("reading GGUF " + bind::text(file));
        return load_gguf(file);
    }
    if (is_file(src)) {
        if (ends_with_ci(src, ".gguf")) {
            progress("reading GGUF " + src);
            return load_gguf(path(src));
        }
        throw CliError("'" + src +
                       "' is a file; expected a model directory of .safetensors shards, "
                       "a .gguf file, ollama:NAME, lmstudio:NAME or a hub id");
    }
    nb::module_ hub = bind::import("velkor_zuma.hubload");
    if (is_dir(src)) {
        progress("loading safetensors shards from " + src);
        return nb::borrow<nb::dict>(hub.attr("load_state_dict_numpy_safe")(path(src)));
    }
    return nb::borrow<nb::dict>(hub.attr("load_state_dict_numpy_safe")(snapshot_source(src)));
}

nb::object snapshot_source(const std::string &src) {
    if (ends_with_ci(src, ".gguf")) throw CliError("GGUF file not found: " + src);
    if (!looks_like_hub_id(src))
        throw CliError("model source not found: '" + src +
                       "' (expected a model directory, a .gguf file, "
                       "ollama:NAME, lmstudio:NAME or a hub id)");
    progress("fetching snapshot of " + src + " from the hub cache");
    nb::object dir = bind::import("velkor_zuma.hubload").attr("snapshot")(src);
    progress("loading safetensors shards from " + bind::text(dir));
    return dir;
}

nb::object model_dir_source(const std::string &src, const char *what) {
    if (is_gguf_source(src))
        throw CliError(std::string(what) +
                       " needs a model directory with its config and tokenizer "
                       "(a snapshot directory or a hub id), not a GGUF model: '" +
                       src + "'");
    if (is_dir(src)) return path(src);
    if (is_file(src) || !looks_like_hub_id(src)) throw CliError("model directory not found: '" + src + "'");
    progress("fetching snapshot of " + src + " from the hub cache");
    return bind::import("velkor_zuma.hubload").attr("snapshot")(src);
}

// ---- libraries on disk -----------------------------------------------------------------------

nb::object library_load(const std::string &dir) {
    if (!is_dir(dir))
        throw CliError("no library at " + dir + "; create one with `velkor-zuma add-base SRC --library " + dir + "`");
    nb::object cls = bind::import("velkor_zuma.deltavault").attr("ModelLibrary");
    progress("loading library " + dir);
    return cls.attr("load")(dir);
}

void library_save(nb::handle lib, const std::string &dir) {
    progress("saving library " + dir);
    lib.attr("save")(dir);
}

}  // namespace vz::cli
