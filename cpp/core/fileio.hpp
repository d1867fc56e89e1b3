// Plain file helpers for stores that commit by renaming: random tokens and temporary names,
// whole-file reads with a size limit, atomic writes (write, fsync, rename, fsync the directory),
// file sizes, directory listings, and reading a file piece by piece over a memory map (for
// hashing it without holding it all in memory). No Python headers: a failed system call throws
// OsError carrying its errno and the file it concerned, which the glue turns into the host's
// OSError subclass with that file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vz::core::fileio {
namespace fs = std::filesystem;

// A failed system call: `err` is the errno, `path` the file it concerned.
struct OsError : std::runtime_error {
    OsError(int err, std::string path);
    int err;
    std::string path;
};

// 16 hex digits from the system's random source.
std::string random_token();
// `prefix` + this process's pid + "-" + a random token + "-" + `final_name`: unique to this
// process and recognisable by its prefix as a leftover of a writer.
std::string temp_name(const std::string &prefix, const std::string &final_name);

// The whole file; a file larger than `limit` bytes is refused with EFBIG before it is read.
std::string read_file(const fs::path &p, std::uint64_t limit);
// Writes `data` to `tmp` (created exclusively), fsyncs it, renames it to `final_path` and fsyncs
// the directory: afterwards `final_path` holds either its old contents or all of `data`. On
// failure `tmp` is removed; the error names `tmp` (writing) or `final_path` (renaming).
void write_file_atomic(const fs::path &tmp, const fs::path &final_path, const std::string &data);

std::uint64_t file_size(const fs::path &p);
// Names of the entries of `dir` (not "." and ".."), in the order the system lists them.
std::vector<std::string> list_dir(const fs::path &dir);

// Calls fn(data, n) on consecutive pieces of at most `piece` bytes of the file, read over a
// private memory map; pieces already handed out leave the resident set. An exception of `fn`
// propagates after the map is released.
void for_each_piece(const fs::path &p, std::size_t piece, const std::function<void(const void *, std::size_t)> &fn);

}  // namespace vz::core::fileio
