#include "core/gguf_header.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vz::core::gguf {
namespace {

constexpr uint32_t kMagic = 0x46554747;  // "GGUF" read as a little-endian 32-bit word
// Tensor names longer than this are refused: real ones are tens of bytes, and the bound keeps
// what a crafted length can make the reader allocate small.
constexpr uint64_t kMaxNameBytes = 1 << 16;
// Arrays of arrays are legal; real files never nest them. The bound keeps the walk's recursion
// shallow whatever a file claims.
constexpr int kMaxArrayDepth = 16;

// Metadata value types and the sizes of the scalar ones.
enum ValueType : uint32_t {
    UINT8,
    INT8,
    UINT16,
    INT16,
    UINT32,
    INT32,
    FLOAT32,
    BOOL,
    STRING,
    ARRAY,
    UINT64,
    INT64,
    FLOAT64
};

uint64_t scalar_size(uint32_t type) {
    switch (type) {
        case UINT8:
        case INT8:
        case BOOL: return 1;
        case UINT16:
        case INT16: return 2;
        case UINT32:
        case INT32:
        case FLOAT32: return 4;
        case UINT64:
        case INT64:
        case FLOAT64: return 8;
        default: return 0;
    }
}

std::string num(uint64_t v) { return std::to_string(v); }

// Sequential reader over the file with its own buffer; every read and skip is checked against
// the file size before anything is trusted.
class Cursor {
public:
    Cursor(int fd, uint64_t size) : fd_(fd), size_(size) {}

    uint64_t pos() const { return pos_; }
    uint64_t remaining() const { return size_ - pos_; }
    void set_swap(bool s) { swap_ = s; }

    void need(uint64_t n, const char *what) const {
        if (n > remaining())
            throw FormatError(std::string("the file ends inside its header (") + what + " at byte " + num(pos_) +
                              " needs " + num(n) + " bytes, " + num(remaining()) + " bytes left)");
    }

    // A count of items of at least `least` bytes each must fit in what is left of the file.
    void fits(uint64_t count, uint64_t least, const char *what) const {
        if (count > remaining() / least)
            throw FormatError(std::string("the file ends inside its header (") + what + " at byte " + num(pos_) +
                              " counts " + num(count) + " items of at least " + num(least) + " bytes, " +
                              num(remaining()) + " bytes left)");
    }

    void read(void *out, uint64_t n, const char *what) {
        need(n, what);
        auto *dst = static_cast<unsigned char *>(out);
        while (n > 0) {
            if (pos_ < buf_start_ || pos_ >= buf_start_ + buf_len_) fill();
            uint64_t at = pos_ - buf_start_;
            uint64_t take = std::min<uint64_t>(n, buf_len_ - at);
            std::memcpy(dst, buf_.data() + at, take);
            dst += take;
            pos_ += take;
            n -= take;
        }
    }

    void skip(uint64_t n, const char *what) {
        need(n, what);
        pos_ += n;
    }

    uint32_t u32(const char *what) {
        uint32_t v;
        read(&v, 4, what);
        return swap_ ? __builtin_bswap32(v) : v;
    }
    uint64_t u64(const char *what) {
        uint64_t v;
        read(&v, 8, what);
        return swap_ ? __builtin_bswap64(v) : v;
    }

    // A string's length, checked against what is left of the file.
    uint64_t str_len(const char *what) {
        uint64_t n = u64(what);
        need(n, what);
        return n;
    }

private:
    void fill() {
        buf_.resize(kBuffer);
        uint64_t want = std::min<uint64_t>(kBuffer, size_ - pos_);
        if (!read_exact(fd_, buf_.data(), want, pos_))
            throw FormatError("the file became shorter while its header was read");
        buf_start_ = pos_;
        buf_len_ = want;
    }

    // Header bytes read per system call: headers of real files are kilobytes to a few megabytes,
    // so 64 KiB takes few calls and little memory.
    static constexpr uint64_t kBuffer = 1 << 16;
    int fd_;
    uint64_t size_;
    uint64_t pos_ = 0;
    bool swap_ = false;
    std::vector<unsigned char> buf_;
    uint64_t buf_start_ = 0, buf_len_ = 0;
};

// Skips one metadata value of `type`, checking every count against the bytes left.
void skip_value(Cursor &c, uint32_t type, int depth) {
    if (uint64_t size = scalar_size(type)) return c.skip(size, "a metadata value");
    if (type == STRING) return c.skip(c.str_len("a metadata string"), "a metadata string");
    if (type != ARRAY) throw FormatError("unknown metadata value type " + num(type));
    if (depth >= kMaxArrayDepth) throw FormatError("metadata arrays nested deeper than " + num(kMaxArrayDepth));
    uint32_t item = c.u32("an array's item type");
    uint64_t count = c.u64("an array's length");
    if (uint64_t size = scalar_size(item)) {
        c.fits(count, size, "an array");
        return c.skip(count * size, "an array's items");
    }
    // Strings take at least their 8-byte length, nested arrays at least 12 bytes of header.
    uint64_t least = item == STRING ? 8 : item == ARRAY ? 12 : 0;
    if (least == 0) throw FormatError("unknown metadata array item type " + num(item));
    c.fits(count, least, "an array");
    for (uint64_t i = 0; i < count; ++i) skip_value(c, item, depth + 1);
}

}  // namespace

bool read_exact(int fd, void *out, uint64_t n, uint64_t offset) {
    auto *dst = static_cast<unsigned char *>(out);
    while (n > 0) {
        size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, uint64_t(1) << 30));
        ssize_t got = ::pread(fd, dst, chunk, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw IoError{errno};
        }
        if (got == 0) return false;
        dst += got;
        offset += static_cast<uint64_t>(got);
        n -= static_cast<uint64_t>(got);
    }
    return true;
}

Header scan_header(int fd, const std::unordered_map<uint32_t, TypeSize> &types) {
    struct stat st;
    if (::fstat(fd, &st) != 0) throw IoError{errno};
    Header h;
    h.file_size = static_cast<uint64_t>(st.st_size);
    Cursor c(fd, h.file_size);

    // Magic and version; anything else is left to the caller's reader to reject.
    if (c.remaining() < 8) return h;
    uint32_t magic = 0, version = 0;
    c.read(&magic, 4, "the magic");
    c.read(&version, 4, "the version");
    // A version whose low half is zero was written with the other byte order (as the gguf
    // library decides); read the whole header swapped.
    if ((version & 0xFFFF) == 0) {
        c.set_swap(true);
        version = __builtin_bswap32(version);
    }
    h.version = version;
    if (magic != kMagic || (version != 2 && version != 3)) return h;
    h.recognised = true;

    uint64_t n_tensors = c.u64("the tensor count");
    uint64_t n_kv = c.u64("the metadata count");

    // Metadata: every key is a string and a typed value; each takes at least 12 bytes.
    c.fits(n_kv, 12, "the metadata");
    static const std::string kAlignmentKey = "general.alignment";
    for (uint64_t i = 0; i < n_kv; ++i) {
        uint64_t klen = c.str_len("a metadata key");
        std::string key;
        if (klen == kAlignmentKey.size()) {
            key.resize(klen);
            c.read(key.data(), klen, "a metadata key");
        } else {
            c.skip(klen, "a metadata key");
        }
        uint32_t type = c.u32("a metadata value type");
        if (key == kAlignmentKey) {
            if (type != UINT32) throw FormatError("general.alignment is not a 32-bit unsigned integer");
            uint32_t a = c.u32("general.alignment");
            if (a == 0 || (a & (a - 1)) != 0)
                throw FormatError("general.alignment " + num(a) + " is not a power of two");
            h.alignment = a;
        } else {
            skip_value(c, type, 0);
        }
    }

    // Tensor infos: name, extents, type and offset; each takes at least 24 bytes.
    c.fits(n_tensors, 24, "the tensor infos");
    struct Info {
        TensorSpan span;
        uint64_t offset;
    };
    std::vector<Info> infos;
    infos.reserve(static_cast<size_t>(n_tensors));
    for (uint64_t i = 0; i < n_tensors; ++i) {
        uint64_t nlen = c.str_len("a tensor name");
        if (nlen > kMaxNameBytes) throw FormatError("a tensor name of " + num(nlen) + " bytes");
        Info info;
        info.span.name.resize(nlen);
        c.read(info.span.name.data(), nlen, "a tensor name");
        const std::string &name = info.span.name;

        uint32_t n_dims = c.u32("a tensor's dimension count");
        c.fits(n_dims, 8, "a tensor's extents");
        uint64_t n_elems = 1, first = 1;
        bool overflow = false;
        for (uint32_t d = 0; d < n_dims; ++d) {
            uint64_t extent = c.u64("a tensor extent");
            if (d == 0) first = extent;
            if (extent > uint64_t(INT64_MAX) || __builtin_mul_overflow(n_elems, extent, &n_elems)) overflow = true;
        }
        if (overflow || n_elems > uint64_t(INT64_MAX)) throw TensorError(name, "its element count overflows");
        uint32_t type = c.u32("a tensor type");
        auto it = types.find(type);
        if (it == types.end()) throw TensorError(name, "unknown tensor type " + num(type));
        const TypeSize ts = it->second;
        if (ts.block == 0 || ts.bytes == 0) throw TensorError(name, "unknown tensor type " + num(type));
        if (first % ts.block != 0)
            throw TensorError(
                name, "its first extent " + num(first) + " is not a whole number of blocks of " + num(ts.block));
        if (__builtin_mul_overflow(n_elems / ts.block, ts.bytes, &info.span.n_bytes))
            throw TensorError(name, "its byte size overflows");
        info.offset = c.u64("a tensor offset");
        infos.push_back(std::move(info));
    }

    // The data section starts at the aligned end of the tensor infos and ends with the file.
    uint64_t end = c.pos();
    uint64_t pad = (h.alignment - end % h.alignment) % h.alignment;
    h.data_start = end + pad;  // cannot overflow: end is at most the file size
    for (Info &info : infos) {
        TensorSpan &s = info.span;
        std::string where = "its data (offset " + num(info.offset) + ", " + num(s.n_bytes) +
                            " bytes) does not lie inside the file's data section (bytes " + num(h.data_start) + " to " +
                            num(h.file_size) + ")";
        if (info.offset % h.alignment != 0)
            throw TensorError(
                s.name, "its offset " + num(info.offset) + " is not a multiple of the alignment " + num(h.alignment));
        uint64_t stop;
        if (__builtin_add_overflow(h.data_start, info.offset, &s.start) ||
            __builtin_add_overflow(s.start, s.n_bytes, &stop) || stop > h.file_size)
            throw TensorError(s.name, where);
        h.tensors.push_back(std::move(s));
    }
    return h;
}

}  // namespace vz::core::gguf
