#include "core/fileio.hpp"

#include "core/safetensors.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vz::core::fileio {

OsError::OsError(int e, std::string p) : std::runtime_error(p + ": " + std::strerror(e)), err(e), path(std::move(p)) {}

namespace {

// A file descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    // Closes now, reporting close's own failure (a write that only fails at close is a failed write).
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

Fd open_or_throw(const fs::path &p, int flags, mode_t mode = 0) {
    int fd = ::open(p.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) throw OsError(errno, p.string());
    return Fd(fd);
}

std::uint64_t size_of(int fd, const fs::path &p) {
    struct stat sb;
    if (::fstat(fd, &sb) != 0) throw OsError(errno, p.string());
    return std::uint64_t(sb.st_size);
}

}  // namespace

std::string random_token() {
    std::random_device rd;
    std::uint64_t v = (std::uint64_t(rd()) << 32) ^ std::uint64_t(rd());
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", (unsigned long long) v);
    return out;
}

std::string temp_name(const std::string &prefix, const std::string &final_name) {
    return prefix + std::to_string((long long) ::getpid()) + "-" + random_token() + "-" + final_name;
}

std::string read_file(const fs::path &p, std::uint64_t limit) {
    // Opened without blocking so that a FIFO in the file's place cannot stall the caller (who may
    // hold a library's lock), then held to a regular file: a directory is EISDIR as read() would
    // say, a FIFO, socket or device (/dev/zero behind a link) is EINVAL.
    Fd fd = open_or_throw(p, O_RDONLY | O_NONBLOCK);
    struct stat sb;
    if (::fstat(fd.get(), &sb) != 0) throw OsError(errno, p.string());
    if (S_ISDIR(sb.st_mode)) throw OsError(EISDIR, p.string());
    if (!S_ISREG(sb.st_mode)) throw OsError(EINVAL, p.string());
    std::uint64_t size = std::uint64_t(sb.st_size);
    if (size > limit) throw OsError(EFBIG, p.string());
    std::string out;
    out.reserve(std::size_t(size));
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw OsError(errno, p.string());
        }
        if (n == 0) break;
        // A file that grows while it is read is still held to the limit.
        if (out.size() + std::size_t(n) > limit) throw OsError(EFBIG, p.string());
        out.append(buf, std::size_t(n));
    }
    return out;
}

void write_file_atomic(const fs::path &tmp, const fs::path &final_path, const std::string &data) {
    Fd fd = open_or_throw(tmp, O_WRONLY | O_CREAT | O_EXCL, 0644);
    auto fail = [&](int e, const fs::path &named) {
        ::unlink(tmp.c_str());
        throw OsError(e, named.string());
    };
    const char *p = data.data();
    std::size_t left = data.size();
    while (left) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, tmp);
        }
        p += n;
        left -= std::size_t(n);
    }
    if (::fsync(fd.get()) != 0) fail(errno, tmp);
    if (fd.close() != 0) fail(errno, tmp);
    if (std::rename(tmp.c_str(), final_path.c_str()) != 0) fail(errno, final_path);
    fs::path dir = final_path.parent_path();
    try {
        st::fsync_path(dir.empty() ? std::string(".") : dir.string(), true);
    } catch (st::SystemError &e) {
        throw OsError(e.err, e.path);
    }
}

std::uint64_t file_size(const fs::path &p) {
    struct stat sb;
    if (::stat(p.c_str(), &sb) != 0) throw OsError(errno, p.string());
    return std::uint64_t(sb.st_size);
}

std::vector<std::string> list_dir(const fs::path &dir) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) throw OsError(errno, dir.string());
    std::vector<std::string> out;
    errno = 0;
    while (struct dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) out.emplace_back(e->d_name);
        errno = 0;
    }
    int err = errno;
    ::closedir(d);
    if (err) throw OsError(err, dir.string());
    return out;
}

void for_each_piece(const fs::path &p, std::size_t piece, const std::function<void(const void *, std::size_t)> &fn) {
    if (piece == 0) throw std::invalid_argument("for_each_piece needs pieces of at least one byte");
    Fd fd = open_or_throw(p, O_RDONLY);
    std::size_t size = std::size_t(size_of(fd.get(), p));
    if (!size) return;
    void *m = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (m == MAP_FAILED) throw OsError(errno, p.string());
    try {
        for (std::size_t off = 0; off < size; off += piece) {
            std::size_t n = std::min(piece, size - off);
            fn(static_cast<char *>(m) + off, n);
            ::madvise(static_cast<char *>(m) + off, n, MADV_DONTNEED);
        }
    } catch (...) {
        ::munmap(m, size);
        throw;
    }
    ::munmap(m, size);
}

}  // namespace vz::core::fileio
