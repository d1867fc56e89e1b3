// Safetensors files read over one memory map and written as a stream. No Python here.
//
// A safetensors file is an 8-byte little-endian header length N, N bytes of JSON header
// ({"name": {"dtype", "shape", "data_offsets": [begin, end]}, ..., "__metadata__": {text: text}},
// possibly padded with spaces), then the data buffer; offsets count from the buffer's start.
//
// Reader: the header is parsed once, with every number checked before it is used (header
// length inside the file, offsets inside the buffer, begin <= end, byte count == element count
// x item size, no two tensors overlapping, dtype known, names unique, nesting shallow), so that
// a tensor's bytes can be handed out as a pointer into the map without further checks. Tensors
// are read on access; `release` drops a tensor's pages from this process (the page cache keeps
// them), so that streaming through a file larger than memory keeps the resident set at about one
// tensor.
//
// Writer: writes to a temporary file created exclusively, then `commit` fsyncs and renames it
// to its final name (the rename is atomic). When the tensors' names, dtypes and shapes are known
// in advance (a base copied from a source) the header goes first and data follows tensor by
// tensor; otherwise (compressed records, whose shapes come out of the compressor) a header area
// is reserved, data is appended, and the header is written into the area at the end, padded
// with spaces (a larger header than reserved moves the data once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vz::core::st {

enum class DType { BOOL, U8, I8, U16, I16, U32, I32, U64, I64, F16, BF16, F32, F64 };

bool dtype_from_name(const std::string &name, DType &out);  // "F32" -> F32; false if unknown
const char *dtype_name(DType d);                              // F32 -> "F32"
std::size_t itemsize(DType d);
bool is_float(DType d);

// A malformed or inconsistent file: the message says what is wrong (without the file name).
struct FormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// A failed system call: `err` is the errno, `path` the file it concerned.
struct SystemError : std::runtime_error {
    SystemError(int err, std::string path, const std::string &what)
        : std::runtime_error(what), err(err), path(std::move(path)) {}
    int err;
    std::string path;
};

struct TensorInfo {
    std::string name;
    DType dtype = DType::F32;
    std::vector<std::uint64_t> shape;
    std::uint64_t begin = 0, end = 0;  // byte range inside the data buffer
    std::uint64_t count() const;       // element count (checked not to overflow when parsed)
    std::uint64_t nbytes() const { return end - begin; }
};

// element count of `shape` times `item`, or false when it does not fit in 63 bits.
bool checked_nbytes(const std::vector<std::uint64_t> &shape, std::size_t item, std::uint64_t &out);

class Reader {
public:
    explicit Reader(const std::string &path);  // FormatError / SystemError
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const std::string &path() const { return path_; }
    std::uint64_t file_size() const { return size_; }
    const std::vector<TensorInfo> &tensors() const { return tensors_; }  // in header order
    const TensorInfo *find(const std::string &name) const;               // nullptr if absent
    const std::map<std::string, std::string> &metadata() const { return meta_; }
    // The whole file as mapped (file_size() bytes, header included), e.g. to check its digest.
    const std::uint8_t *file_bytes() const { return base_; }

    // The tensor's bytes in the map (valid while the reader lives; may be unaligned).
    const std::uint8_t *data(const TensorInfo &t) const { return base_ + data_start_ + t.begin; }
    // Drops the pages of a tensor from this process; later reads fault them in again.
    void release(const TensorInfo &t) const;
    // Element-wise float32 conversion of a floating-point tensor (exact for F16/BF16/F32).
    void to_float32(const TensorInfo &t, float *out) const;

private:
    std::string path_;
    int fd_ = -1;
    const std::uint8_t *base_ = nullptr;
    std::uint64_t size_ = 0, data_start_ = 0;
    std::vector<TensorInfo> tensors_;
    std::map<std::string, std::size_t> index_;
    std::map<std::string, std::string> meta_;
};

// Element conversions to float32 (n elements from possibly unaligned memory); run on all cores.
void convert_to_float32(const void *src, DType kind, float *out, std::size_t n);
struct Planned {
    std::string name;
    DType dtype = DType::F32;
    std::vector<std::uint64_t> shape;
};

class Writer {
public:
    // Creates `tmp_path` exclusively (an existing file is an error).
    explicit Writer(std::string tmp_path);
    ~Writer();  // an uncommitted file is removed
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Header first: the tensors that will follow, in order, and the file's metadata.
    void begin(const std::vector<Planned> &plan, const std::vector<std::pair<std::string, std::string>> &meta);
    // Header last: reserve `reserve` bytes for it.
    void begin_reserved(std::size_t reserve);
    // Appends part of the current tensor's bytes. With a planned header, writes must add up to
    // each planned tensor's size in order; otherwise call `add` to name what was written.
    void write(const void *data, std::size_t n);
    // Header-last mode: names the bytes written since the previous `add` as one tensor.
    void add(const Planned &t);
    // Finishes the file (header written in header-last mode, sizes checked, fsync) and
    // returns its size. The file stays under its temporary name.
    std::uint64_t finish(const std::vector<std::pair<std::string, std::string>> &meta = {});
    // Renames the finished file to `final_path`.
    void commit(const std::string &final_path);
    const std::string &tmp_path() const { return tmp_; }

private:
    void write_at(std::uint64_t off, const void *data, std::size_t n);
    std::string tmp_;
    int fd_ = -1;
    bool committed_ = false, reserved_ = false, finished_ = false;
    std::size_t reserve_ = 0;
    std::uint64_t data_start_ = 0, pos_ = 0, tensor_start_ = 0;  // pos_: bytes of data written
    std::vector<TensorInfo> done_;
    std::vector<std::uint64_t> plan_ends_;
    std::size_t plan_index_ = 0;
};

// The JSON header text for `tensors` (offsets as given) and metadata.
std::string header_json(const std::vector<TensorInfo> &tensors,
                        const std::vector<std::pair<std::string, std::string>> &meta);

// fsync of a file or directory by path (directories: errors ignored, some file systems refuse).
void fsync_path(const std::string &path, bool directory);

}  // namespace vz::core::st
