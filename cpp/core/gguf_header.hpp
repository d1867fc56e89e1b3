// GGUF header check: walks the metadata and tensor-info sections of a GGUF file with plain
// reads (no mapping) and works out where each tensor's bytes lie, so that a damaged or hostile
// file is refused before any mapped view of it is made.
//
// What it checks: every length, count and offset fits in the file (overflow-checked, never
// trusting a count before the bytes it claims exist); the alignment is a non-zero power of two;
// each tensor's type is known, its element count and byte size do not overflow, its first
// extent is a whole number of the type's blocks, its offset is a multiple of the alignment and
// its byte range lies inside the data section (from the aligned end of the tensor infos to the
// end of the file). It decodes no metadata value and keeps only what the checks need.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace vz::core::gguf {

// Elements per block and bytes per block of one tensor type (1 and the item size for plain types).
struct TypeSize {
    uint64_t block = 1;
    uint64_t bytes = 0;
};

// One tensor's place in the file: absolute byte offset and byte count.
struct TensorSpan {
    std::string name;
    uint64_t start = 0;
    uint64_t n_bytes = 0;
};

struct Header {
    bool recognised = false;  // magic and a supported version; false: not checked any further
    uint32_t version = 0;
    uint64_t alignment = 32;
    uint64_t data_start = 0;
    uint64_t file_size = 0;
    std::vector<TensorSpan> tensors;
};

// The file is not a well-formed GGUF file (message says what is wrong).
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One tensor's info is wrong; `tensor` names it.
struct TensorError : std::runtime_error {
    std::string tensor;
    TensorError(std::string name, const std::string &what) : std::runtime_error(what), tensor(std::move(name)) {}
};

// A read of the file failed with this errno.
struct IoError {
    int err;
};

// Checks the header of the GGUF file open for reading on `fd` against `types` (the tensor types
// the caller can read, by their numeric code). A file without the GGUF magic, or of a version
// other than 2 or 3, is returned with `recognised` false for the caller's reader to reject.
Header scan_header(int fd, const std::unordered_map<uint32_t, TypeSize> &types);

// Reads exactly `n` bytes at `offset` into `out`; false when the file ends first.
bool read_exact(int fd, void *out, uint64_t n, uint64_t offset);

}  // namespace vz::core::gguf
