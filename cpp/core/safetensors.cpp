#include "core/safetensors.hpp"

#include "core/bf16.hpp"
#include "core/parallel.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vz::core::st {
namespace {

// The element types of the safetensors format, by the names its header uses, and their sizes.
struct DTypeRow {
    DType d;
    const char *name;
    std::size_t size;
    bool fl;
};
constexpr DTypeRow kTypes[] = {
    {DType::BOOL, "BOOL", 1, false}, {DType::U8, "U8", 1, false},    {DType::I8, "I8", 1, false},
    {DType::U16, "U16", 2, false},   {DType::I16, "I16", 2, false},  {DType::U32, "U32", 4, false},
    {DType::I32, "I32", 4, false},   {DType::U64, "U64", 8, false},  {DType::I64, "I64", 8, false},
    {DType::F16, "F16", 2, true},    {DType::BF16, "BF16", 2, true}, {DType::F32, "F32", 4, true},
    {DType::F64, "F64", 8, true},
};
const DTypeRow &row(DType d) { return kTypes[static_cast<int>(d)]; }

// A header larger than this is refused before it is read: real headers are a few MB at most.
constexpr std::uint64_t kMaxHeader = std::uint64_t(256) << 20;
// Nesting deeper than this is refused: a header holds objects two levels deep.
constexpr int kMaxDepth = 16;
// Below this many elements a conversion runs on the calling thread (the grain of the delta passes
// in deltavault_kernels.cpp: starting a thread costs more than converting fewer).
constexpr std::size_t kGrain = std::size_t(1) << 16;

[[noreturn]] void sys_fail(int err, const std::string &path, const char *what) {
    throw SystemError(err, path, std::string(what) + " '" + path + "': " + std::strerror(err));
}

// ---- a strict JSON reader for headers ---------------------------------------------------------

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    bool integral = false;      // a number written without fraction or exponent, >= 0
    std::uint64_t u = 0;        // its value when integral and <= 2^63
    std::string s;
    std::vector<Json> items;                          // Array
    std::vector<std::pair<std::string, Json>> fields; // Object, in order
};

class Parser {
public:
    Parser(const char *p, std::size_t n) : p_(p), end_(p + n) {}
    Json document() {
        ws();
        if (p_ >= end_ || *p_ != '{') fail("the header is not a JSON object");
        Json v = value(0);
        ws();
        if (p_ != end_) fail("the header holds text after its JSON object");
        return v;
    }

private:
    [[noreturn]] void fail(const std::string &what) { throw FormatError(what); }
    void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool lit(const char *w) {
        std::size_t n = std::strlen(w);
        if (std::size_t(end_ - p_) >= n && std::memcmp(p_, w, n) == 0) {
            p_ += n;
            return true;
        }
        return false;
    }
    static void utf8(std::string &out, std::uint32_t c) {
        if (c < 0x80)
            out += char(c);
        else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    std::uint32_t hex4() {
        if (end_ - p_ < 4) fail("the header holds a truncated \\u escape");
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p_++;
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= std::uint32_t(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= std::uint32_t(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= std::uint32_t(c - 'A' + 10);
            else
                fail("the header holds a bad \\u escape");
        }
        return v;
    }
    std::string string() {
        ++p_;  // opening quote
        std::string out;
        while (true) {
            if (p_ >= end_) fail("the header holds an unterminated string");
            char c = *p_++;
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) fail("the header holds a control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (p_ >= end_) fail("the header holds an unterminated string");
            char e = *p_++;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    std::uint32_t c1 = hex4();
                    if (c1 >= 0xD800 && c1 < 0xDC00) {
                        if (!(lit("\\u"))) fail("the header holds a lone surrogate");
                        std::uint32_t c2 = hex4();
                        if (c2 < 0xDC00 || c2 >= 0xE000) fail("the header holds a lone surrogate");
                        c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
                    } else if (c1 >= 0xDC00 && c1 < 0xE000) {
                        fail("the header holds a lone surrogate");
                    }
                    utf8(out, c1);
                    break;
                }
                default: fail("the header holds an unknown escape");
            }
        }
    }
    Json number() {
        Json v;
        v.kind = Json::Number;
        const char *start = p_;
        bool neg = false;
        if (*p_ == '-') {
            neg = true;
            ++p_;
        }
        if (p_ >= end_ || !(*p_ >= '0' && *p_ <= '9')) fail("the header holds a malformed number");
        bool overflow = false;
        std::uint64_t u = 0;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
            std::uint64_t d = std::uint64_t(*p_ - '0');
            if (u > (std::numeric_limits<std::uint64_t>::max() - d) / 10)
                overflow = true;
            else
                u = u * 10 + d;
            ++p_;
        }
        bool frac = false;
        if (p_ < end_ && *p_ == '.') {
            frac = true;
            ++p_;
            if (p_ >= end_ || !(*p_ >= '0' && *p_ <= '9')) fail("the header holds a malformed number");
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            frac = true;
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ >= end_ || !(*p_ >= '0' && *p_ <= '9')) fail("the header holds a malformed number");
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        (void) start;
        v.integral = !neg && !frac && !overflow && u <= (std::uint64_t(1) << 63);
        v.u = u;
        return v;
    }
    Json value(int depth) {
        if (depth > kMaxDepth) fail("the header nests deeper than " + std::to_string(kMaxDepth) + " levels");
        ws();
        if (p_ >= end_) fail("the header ends early");
        Json v;
        char c = *p_;
        if (c == '{') {
            ++p_;
            v.kind = Json::Object;
            ws();
            if (p_ < end_ && *p_ == '}') {
                ++p_;
                return v;
            }
            while (true) {
                ws();
                if (p_ >= end_ || *p_ != '"') fail("the header holds an object key that is not a string");
                std::string k = string();
                ws();
                if (p_ >= end_ || *p_ != ':') fail("the header lacks a ':' after a key");
                ++p_;
                v.fields.emplace_back(std::move(k), value(depth + 1));
                ws();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ < end_ && *p_ == '}') {
                    ++p_;
                    return v;
                }
                fail("the header holds a malformed object");
            }
        }
        if (c == '[') {
            ++p_;
            v.kind = Json::Array;
            ws();
            if (p_ < end_ && *p_ == ']') {
                ++p_;
                return v;
            }
            while (true) {
                v.items.push_back(value(depth + 1));
                ws();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ < end_ && *p_ == ']') {
                    ++p_;
                    return v;
                }
                fail("the header holds a malformed list");
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            v.s = string();
            return v;
        }
        if (lit("true")) {
            v.kind = Json::Bool;
            v.b = true;
            return v;
        }
        if (lit("false")) {
            v.kind = Json::Bool;
            return v;
        }
        if (lit("null")) return v;
        if (c == '-' || (c >= '0' && c <= '9')) return number();
        fail("the header holds something that is not JSON");
    }
    const char *p_, *end_;
};

void json_string(std::string &out, const std::string &s) {
    out += '"';
    for (unsigned char c : s) {
        if (c == '"')
            out += "\\\"";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    out += '"';
}

// ---- conversions -----------------------------------------------------------------------------


inline float f16_to_float(std::uint16_t h) {
    std::uint32_t sign = std::uint32_t(h & 0x8000) << 16;
    std::uint32_t exp = (h >> 10) & 0x1F, man = h & 0x3FF, u;
    if (exp == 0) {
        if (man == 0) {
            u = sign;
        } else {  // subnormal: normalise
            int e = -1;
            do {
                ++e;
                man <<= 1;
            } while (!(man & 0x400));
            u = sign | (std::uint32_t(127 - 15 - e) << 23) | ((man & 0x3FF) << 13);
        }
    } else if (exp == 31) {
        u = sign | 0x7F800000u | (man << 13);
    } else {
        u = sign | ((exp + 127 - 15) << 23) | (man << 13);
    }
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

template <typename T>
inline T load(const std::uint8_t *p, std::size_t i) {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof(T));
    return v;
}

template <typename Fn>
void chunks(std::size_t n, Fn &&fn) {
    parallel_for(n, kGrain, [&](std::size_t lo, std::size_t hi, unsigned) { fn(lo, hi); });
}

}  // namespace

bool dtype_from_name(const std::string &name, DType &out) {
    for (const DTypeRow &r : kTypes)
        if (name == r.name) {
            out = r.d;
            return true;
        }
    return false;
}
const char *dtype_name(DType d) { return row(d).name; }
std::size_t itemsize(DType d) { return row(d).size; }
bool is_float(DType d) { return row(d).fl; }

bool checked_nbytes(const std::vector<std::uint64_t> &shape, std::size_t item, std::uint64_t &out) {
    const std::uint64_t limit = std::uint64_t(1) << 62;
    std::uint64_t n = 1;
    bool zero = false;
    for (std::uint64_t e : shape) {
        if (e == 0) zero = true;
        if (e > limit) return false;
        if (!zero && n > limit / (e ? e : 1)) return false;
        n = zero ? 0 : n * e;
    }
    if (n > limit / item) return false;
    out = n * item;
    return true;
}

std::uint64_t TensorInfo::count() const {
    std::uint64_t n = 1;
    for (std::uint64_t e : shape) n *= e;
    return n;
}

void convert_to_float32(const void *src, DType kind, float *out, std::size_t n) {
    const std::uint8_t *p = static_cast<const std::uint8_t *>(src);
    chunks(n, [&](std::size_t lo, std::size_t hi) {
        switch (kind) {
            case DType::BF16:
                for (std::size_t i = lo; i < hi; ++i) out[i] = bf16_to_float(load<std::uint16_t>(p, i));
                break;
            case DType::F16:
                for (std::size_t i = lo; i < hi; ++i) out[i] = f16_to_float(load<std::uint16_t>(p, i));
                break;
            case DType::F32: std::memcpy(out + lo, p + lo * 4, (hi - lo) * 4); break;
            case DType::F64:
                for (std::size_t i = lo; i < hi; ++i) out[i] = float(load<double>(p, i));
                break;
            default: throw FormatError("not a floating-point tensor");
        }
    });
}

// ---- Reader ------------------------------------------------------------------------------------

Reader::Reader(const std::string &path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) sys_fail(errno, path, "cannot open");
    struct stat sb;
    if (::fstat(fd_, &sb) != 0) {
        int e = errno;
        ::close(fd_);
        sys_fail(e, path, "cannot stat");
    }
    if (!S_ISREG(sb.st_mode)) {
        ::close(fd_);
        throw FormatError("it is not a regular file");
    }
    size_ = std::uint64_t(sb.st_size);
    try {
        if (size_ < 8) throw FormatError("it holds " + std::to_string(size_) + " bytes, fewer than a header length");
        void *m = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (m == MAP_FAILED) sys_fail(errno, path, "cannot map");
        base_ = static_cast<const std::uint8_t *>(m);
        std::uint64_t hlen = 0;
        for (int i = 7; i >= 0; --i) hlen = (hlen << 8) | base_[i];
        if (hlen > size_ - 8)
            throw FormatError("its header length " + std::to_string(hlen) + " exceeds the file (" +
                              std::to_string(size_) + " bytes)");
        if (hlen > kMaxHeader) throw FormatError("its header length " + std::to_string(hlen) + " is implausibly large");
        data_start_ = 8 + hlen;
        const std::uint64_t data_size = size_ - data_start_;
        Json doc = Parser(reinterpret_cast<const char *>(base_ + 8), std::size_t(hlen)).document();
        for (auto &kv : doc.fields) {
            const std::string &name = kv.first;
            const Json &e = kv.second;
            if (name == "__metadata__") {
                if (e.kind != Json::Object) throw FormatError("its __metadata__ is not an object");
                for (auto &m2 : e.fields) {
                    if (m2.second.kind != Json::String)
                        throw FormatError("its __metadata__ holds a value that is not text");
                    meta_[m2.first] = m2.second.s;
                }
                continue;
            }
            std::string where = "tensor '" + name + "'";
            if (e.kind != Json::Object) throw FormatError(where + " is not described by an object");
            const Json *dt = nullptr, *shape = nullptr, *offs = nullptr;
            for (auto &f : e.fields) {
                if (f.first == "dtype")
                    dt = &f.second;
                else if (f.first == "shape")
                    shape = &f.second;
                else if (f.first == "data_offsets")
                    offs = &f.second;
            }
            if (!dt || !shape || !offs) throw FormatError(where + " lacks dtype, shape or data_offsets");
            TensorInfo t;
            t.name = name;
            if (dt->kind != Json::String || !dtype_from_name(dt->s, t.dtype))
                throw FormatError(where + " has an unknown dtype");
            if (shape->kind != Json::Array) throw FormatError(where + " has a shape that is not a list");
            for (const Json &d : shape->items) {
                if (d.kind != Json::Number || !d.integral)
                    throw FormatError(where + " has a shape that is not whole numbers");
                t.shape.push_back(d.u);
            }
            if (offs->kind != Json::Array || offs->items.size() != 2 || offs->items[0].kind != Json::Number ||
                offs->items[1].kind != Json::Number || !offs->items[0].integral || !offs->items[1].integral)
                throw FormatError(where + " has data_offsets that are not two whole numbers");
            t.begin = offs->items[0].u;
            t.end = offs->items[1].u;
            if (t.begin > t.end) throw FormatError(where + " ends before it begins");
            if (t.end > data_size)
                throw FormatError(where + " ends at byte " + std::to_string(t.end) + " of a " +
                                  std::to_string(data_size) + "-byte data buffer");
            std::uint64_t want = 0;
            if (!checked_nbytes(t.shape, itemsize(t.dtype), want))
                throw FormatError(where + " has a shape too large to address");
            if (want != t.end - t.begin)
                throw FormatError(where + " holds " + std::to_string(t.end - t.begin) +
                                  " bytes, its shape and dtype need " + std::to_string(want));
            if (index_.count(name)) throw FormatError(where + " appears twice");
            index_[name] = tensors_.size();
            tensors_.push_back(std::move(t));
        }
        std::vector<const TensorInfo *> order;
        for (const TensorInfo &t : tensors_)
            if (t.end > t.begin) order.push_back(&t);
        std::sort(order.begin(), order.end(), [](auto *a, auto *b) { return a->begin < b->begin; });
        for (std::size_t i = 1; i < order.size(); ++i)
            if (order[i]->begin < order[i - 1]->end)
                throw FormatError("tensors '" + order[i - 1]->name + "' and '" + order[i]->name + "' overlap");
    } catch (...) {
        if (base_) ::munmap(const_cast<std::uint8_t *>(base_), size_);
        ::close(fd_);
        throw;
    }
}

Reader::~Reader() {
    if (base_) ::munmap(const_cast<std::uint8_t *>(base_), size_);
    if (fd_ >= 0) ::close(fd_);
}

const TensorInfo *Reader::find(const std::string &name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &tensors_[it->second];
}

void Reader::release(const TensorInfo &t) const {
    // Whole pages inside the tensor's range only; a read-only file mapping refaults them.
    const std::uintptr_t page = std::uintptr_t(::sysconf(_SC_PAGESIZE));
    std::uintptr_t lo = reinterpret_cast<std::uintptr_t>(data(t));
    std::uintptr_t hi = lo + t.nbytes();
    lo = (lo + page - 1) / page * page;
    hi = hi / page * page;
    if (hi > lo) ::madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_DONTNEED);
}

void Reader::to_float32(const TensorInfo &t, float *out) const {
    convert_to_float32(data(t), t.dtype, out, std::size_t(t.count()));
}

// ---- Writer ------------------------------------------------------------------------------------

std::string header_json(const std::vector<TensorInfo> &tensors,
                        const std::vector<std::pair<std::string, std::string>> &meta) {
    std::string out = "{";
    bool first = true;
    if (!meta.empty()) {
        out += "\"__metadata__\":{";
        for (std::size_t i = 0; i < meta.size(); ++i) {
            if (i) out += ',';
            json_string(out, meta[i].first);
            out += ':';
            json_string(out, meta[i].second);
        }
        out += '}';
        first = false;
    }
    for (const TensorInfo &t : tensors) {
        if (!first) out += ',';
        first = false;
        json_string(out, t.name);
        out += ":{\"dtype\":\"";
        out += dtype_name(t.dtype);
        out += "\",\"shape\":[";
        for (std::size_t i = 0; i < t.shape.size(); ++i) {
            if (i) out += ',';
            out += std::to_string(t.shape[i]);
        }
        out += "],\"data_offsets\":[" + std::to_string(t.begin) + "," + std::to_string(t.end) + "]}";
    }
    out += '}';
    return out;
}

Writer::Writer(std::string tmp_path) : tmp_(std::move(tmp_path)) {
    // Read as well as write: finish() reads the data back when it moves it (a header that outgrew
    // its area, or one far smaller than it).
    fd_ = ::open(tmp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) sys_fail(errno, tmp_, "cannot create");
}

Writer::~Writer() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(tmp_.c_str());
}

void Writer::write_at(std::uint64_t off, const void *data, std::size_t n) {
    const char *p = static_cast<const char *>(data);
    while (n) {
        ssize_t w = ::pwrite(fd_, p, std::min<std::size_t>(n, std::size_t(1) << 30), off_t(off));
        if (w < 0) {
            if (errno == EINTR) continue;
            sys_fail(errno, tmp_, "cannot write");
        }
        p += w;
        off += std::uint64_t(w);
        n -= std::size_t(w);
    }
}

namespace {

// The header padded with spaces so that the data starts on an 8-byte boundary.
std::string padded(std::string h, std::size_t to = 0) {
    std::size_t want = to ? to : (h.size() + 8 + 7) / 8 * 8 - 8;
    if (h.size() < want) h.append(want - h.size(), ' ');
    return h;
}

void put_u64(std::uint8_t *out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out[i] = std::uint8_t(v >> (8 * i));
}

}  // namespace

void Writer::begin(const std::vector<Planned> &plan, const std::vector<std::pair<std::string, std::string>> &meta) {
    std::vector<TensorInfo> infos;
    std::uint64_t off = 0;
    for (const Planned &p : plan) {
        TensorInfo t;
        t.name = p.name;
        t.dtype = p.dtype;
        t.shape = p.shape;
        std::uint64_t n = 0;
        if (!checked_nbytes(p.shape, itemsize(p.dtype), n)) throw FormatError("tensor '" + p.name + "' is too large");
        t.begin = off;
        t.end = off + n;
        off = t.end;
        plan_ends_.push_back(t.end);
        infos.push_back(std::move(t));
    }
    std::string h = padded(header_json(infos, meta));
    std::uint8_t len[8];
    put_u64(len, h.size());
    write_at(0, len, 8);
    write_at(8, h.data(), h.size());
    data_start_ = 8 + h.size();
    done_ = std::move(infos);
}

void Writer::begin_reserved(std::size_t reserve) {
    reserved_ = true;
    reserve_ = (reserve + 8 + 7) / 8 * 8 - 8;
    data_start_ = 8 + reserve_;
}

void Writer::write(const void *data, std::size_t n) {
    if (!reserved_) {
        std::uint64_t total = plan_ends_.empty() ? 0 : plan_ends_.back();
        if (pos_ + n > total) throw FormatError("more data than the header announced");
    }
    write_at(data_start_ + pos_, data, n);
    pos_ += n;
}

void Writer::add(const Planned &p) {
    TensorInfo t;
    t.name = p.name;
    t.dtype = p.dtype;
    t.shape = p.shape;
    std::uint64_t n = 0;
    if (!checked_nbytes(p.shape, itemsize(p.dtype), n) || n != pos_ - tensor_start_)
        throw FormatError("tensor '" + p.name + "' does not match the bytes written for it");
    t.begin = tensor_start_;
    t.end = pos_;
    tensor_start_ = pos_;
    done_.push_back(std::move(t));
}

std::uint64_t Writer::finish(const std::vector<std::pair<std::string, std::string>> &meta) {
    if (reserved_) {
        if (pos_ != tensor_start_) throw FormatError("bytes written after the last tensor were not named");
        std::string h = header_json(done_, meta);
        if (h.size() > reserve_) {
            // The header outgrew its area: move the data up once.
            std::string grown = padded(h);
            std::uint64_t shift = grown.size() - reserve_;
            std::vector<char> buf(std::size_t(8) << 20);
            std::uint64_t remaining = pos_;
            while (remaining) {
                std::size_t n = std::size_t(std::min<std::uint64_t>(remaining, buf.size()));
                std::uint64_t from = data_start_ + remaining - n;
                ssize_t r = ::pread(fd_, buf.data(), n, off_t(from));
                if (r != ssize_t(n)) sys_fail(r < 0 ? errno : EIO, tmp_, "cannot read back");
                write_at(from + shift, buf.data(), n);
                remaining -= n;
            }
            reserve_ = grown.size();
            data_start_ = 8 + reserve_;
        } else if (std::uint64_t waste = reserve_ - padded(h).size(); waste > 256 && waste * 64 > pos_) {
            // The area is far larger than the header and the data small beside the waste: move the
            // data down once (at most 64 bytes copied per byte saved), so that small files do not
            // carry the reserve as padding.
            std::string tight = padded(h);
            std::vector<char> buf(std::size_t(8) << 20);
            const std::uint64_t to = 8 + tight.size();
            for (std::uint64_t done = 0; done < pos_;) {
                std::size_t n = std::size_t(std::min<std::uint64_t>(pos_ - done, buf.size()));
                ssize_t r = ::pread(fd_, buf.data(), n, off_t(data_start_ + done));
                if (r != ssize_t(n)) sys_fail(r < 0 ? errno : EIO, tmp_, "cannot read back");
                write_at(to + done, buf.data(), n);
                done += n;
            }
            reserve_ = tight.size();
            data_start_ = to;
        }
        std::string full = padded(h, reserve_);
        std::uint8_t len[8];
        put_u64(len, full.size());
        write_at(0, len, 8);
        write_at(8, full.data(), full.size());
    } else if (pos_ != (plan_ends_.empty() ? 0 : plan_ends_.back())) {
        throw FormatError("fewer data bytes than the header announced");
    }
    if (::ftruncate(fd_, off_t(data_start_ + pos_)) != 0) sys_fail(errno, tmp_, "cannot size");
    if (::fsync(fd_) != 0) sys_fail(errno, tmp_, "cannot sync");
    finished_ = true;
    return data_start_ + pos_;
}

void Writer::commit(const std::string &final_path) {
    if (!finished_) throw FormatError("file committed before it was finished");
    if (std::rename(tmp_.c_str(), final_path.c_str()) != 0) sys_fail(errno, final_path, "cannot rename to");
    committed_ = true;
}

void fsync_path(const std::string &path, bool directory) {
    int fd = ::open(path.c_str(), directory ? (O_RDONLY | O_DIRECTORY | O_CLOEXEC) : (O_RDONLY | O_CLOEXEC));
    if (fd < 0) {
        if (directory) return;
        sys_fail(errno, path, "cannot open");
    }
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0 && !directory) sys_fail(err, path, "cannot sync");
}

}  // namespace vz::core::st
