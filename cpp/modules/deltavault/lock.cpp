// The writer lock of a library directory: an exclusive flock on `.vz-lock`.
//
// flock belongs to the open file description, so the kernel drops it when the holder exits
// or is killed; a lock file left behind by a dead writer is therefore never "stale" and is
// simply taken by the next one. The holder writes its pid and command line into the file so
// that a waiting writer can say whom it waits for. Readers never take the lock: a commit is one
// atomic rename of the manifest, and files a manifest names are only removed after a newer
// manifest stopped naming them.
#include "modules/deltavault/files.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vz::deltavault::files {

namespace {

std::string holder_of(int fd) {
    char buf[4096];
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return "";
    std::string s(buf, std::size_t(n));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    std::size_t nl = s.find('\n');
    if (nl == std::string::npos) return "pid " + s;
    return "pid " + s.substr(0, nl) + ": " + s.substr(nl + 1);
}

std::string this_command() {
    try {
        nb::object sys = bind::import("sys");
        nb::object argv = nb::hasattr(sys, "orig_argv") ? sys.attr("orig_argv") : sys.attr("argv");
        std::string out;
        for (nb::handle a : argv) {
            std::string s = bind::text(a);
            for (char &c : s)
                if (c == '\n' || c == '\r') c = ' ';
            out += (out.empty() ? "" : " ") + s;
        }
        return out.size() > 1000 ? out.substr(0, 1000) + "..." : out;
    } catch (nb::python_error &) {
        return "?";
    }
}

// Waits for the lock with the interpreter released, so other threads of this process keep
// running. A signal interrupts the wait: the host's handlers run then (Ctrl-C raises
// KeyboardInterrupt at once, not after the lock was taken) and the wait goes on if they return.
int lock_blocking(int fd) {
    for (;;) {
        int rc, err;
        {
            nb::gil_scoped_release nogil;
            rc = ::flock(fd, LOCK_EX);
            err = errno;
        }
        if (rc == 0) return 0;
        if (err != EINTR) {
            errno = err;
            return -1;
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

}  // namespace

LibraryLock::LibraryLock(const fs::path &dir, bool wait) {
    fs::path p = dir / kLockName;
    fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) bind::raise_os(errno, p);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        if (e != EWOULDBLOCK) {
            ::close(fd_);
            bind::raise_os(e, p);
        }
        std::string who = holder_of(fd_);
        if (who.empty()) who = "another process";
        if (!wait) {
            ::close(fd_);
            fd_ = -1;
            bind::raise(PyExc_BlockingIOError, "the model library " + quoted(dir) +
                                                   " is being changed by another "
                                                   "writer (" +
                                                   who +
                                                   "); nothing was changed: try again when it has "
                                                   "finished");
        }
        nb::object stderr_ = bind::import("sys").attr("stderr");
        if (!stderr_.is_none()) {
            std::string msg = "waiting for the lock on the model library " + quoted(dir) + ", held by " + who + "\n";
            stderr_.attr("write")(nb::str(msg.c_str()));
            stderr_.attr("flush")();
        }
        int rc;
        try {
            rc = lock_blocking(fd_);
        } catch (...) {
            ::close(fd_);
            fd_ = -1;
            throw;
        }
        if (rc != 0) {
            int e2 = errno;
            ::close(fd_);
            fd_ = -1;
            bind::raise_os(e2, p);
        }
    }
    std::string me = std::to_string((long long) ::getpid()) + "\n" + this_command() + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        ssize_t n = ::pwrite(fd_, me.data(), me.size(), 0);
        (void) n;
    }
    // Whatever a writer that died left under a temporary name is of no use to anyone: only
    // writers holding this lock create such files.
    std::error_code ec;
    for (const std::string &name : names_in(dir))
        if (name.rfind(kTmpPrefix, 0) == 0 && fs::is_regular_file(dir / name, ec)) fs::remove(dir / name, ec);
}

LibraryLock::~LibraryLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

}  // namespace vz::deltavault::files
