// The writer lock of a library directory: an exclusive flock on `.vz-lock`.
//
// flock belongs to the open file description, so the kernel drops it when the holder exits
// or is killed; a lock file left behind by a dead writer is therefore never "stale" and is
// simply taken by the next one. The holder writes its pid and its program's name into the file
// so that a waiting writer can say whom it waits for (never its command line: the file is
// world-readable and arguments can hold secrets). Readers never take the lock: a commit is one
// atomic rename of the manifest, and files a manifest names are only removed after a newer
// manifest stopped naming them.
//
// Anyone who may write into a shared library directory can put something else in the lock
// file's place. It is therefore opened without following a symbolic link (O_NOFOLLOW: a link,
// dangling or not, is refused and nothing is created through it) and used only when it is a
// regular file with no other name (a hard link to someone's file would otherwise be truncated).
#include "modules/deltavault/files.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vz::deltavault::files {

namespace {

// How long a waiting writer sleeps between two attempts at the lock. The wait is a loop of
// non-blocking attempts so that a signal can never be lost: one that arrives at any point of it
// is seen by the next check at most this long after (a blocking flock only returns for a signal
// that arrives while it is blocked). Short enough for Ctrl-C to feel immediate, long enough to
// cost nothing while another writer works for minutes.
constexpr long kLockPollNanoseconds = 50L * 1000 * 1000;

// Longest holder text shown to a waiting writer (the file is anyone's to write).
constexpr std::size_t kMaxHolderText = 200;

std::string holder_of(int fd) {
    char buf[512];
    ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    if (n <= 0) return "";
    std::string s(buf, std::size_t(n));
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    std::size_t nl = s.find('\n');
    std::string out = nl == std::string::npos ? "pid " + s : "pid " + s.substr(0, nl) + ": " + s.substr(nl + 1);
    // Shown on a terminal: control characters (escape sequences included) are not passed on.
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out.size() > kMaxHolderText ? out.substr(0, kMaxHolderText) + "..." : out;
}

// The name of this program: the script's file name (`velkor-zuma`), or the interpreter's for
// `python -c` and interactive sessions. Only the name, never the arguments.
std::string this_program() {
    try {
        nb::object sys = bind::import("sys");
        nb::object os_path = bind::import("os.path");
        nb::object argv = sys.attr("argv");
        std::string name;
        if (PyList_Check(argv.ptr()) && nb::len(argv) > 0 && PyUnicode_Check(nb::handle(argv[0]).ptr()))
            name = bind::text(os_path.attr("basename")(argv[0]));
        if ((name.empty() || name[0] == '-') && PyUnicode_Check(sys.attr("executable").ptr()))
            name = bind::text(os_path.attr("basename")(sys.attr("executable")));
        for (char &c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
        if (name.size() > 100) name = name.substr(0, 100);
        return name.empty() ? "?" : name;
    } catch (nb::python_error &) {
        return "?";
    }
}

// Waits for the lock with the interpreter released between attempts, so other threads of this
// process keep running. The host's signal handlers run after each slice (Ctrl-C raises
// KeyboardInterrupt then, not after the lock was taken); the wait goes on if they return.
int lock_waiting(int fd) {
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        int err = errno;
        if (err != EWOULDBLOCK && err != EINTR) {
            errno = err;
            return -1;
        }
        if (err == EWOULDBLOCK) {
            nb::gil_scoped_release nogil;
            struct timespec slice{0, kLockPollNanoseconds};
            ::nanosleep(&slice, nullptr);  // a signal ends it early: checked just below
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

// Opens the lock file `p`, creating it when it is missing, without ever following a link or
// writing to anything but a regular file of its own.
int open_lock_file(const fs::path &dir, const fs::path &p) {
    int fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    int err = errno;
    struct stat st{};
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        err = errno;
        ::close(fd);
        bind::raise_os(err, p);
    }
    bool is_link = fd < 0 && err == ELOOP;
    if (is_link || (fd >= 0 && (!S_ISREG(st.st_mode) || st.st_nlink > 1))) {
        if (fd >= 0) ::close(fd);
        std::string what = is_link                ? "a symbolic link"
                           : !S_ISREG(st.st_mode) ? "not a regular file"
                                                  : "a file with other names (hard links)";
        nb::object e = nb::borrow(PyExc_OSError)(
            nb::int_(is_link ? ELOOP : EPERM),
            nb::str(("the lock file of the model library " + quoted(dir) + " is " + what +
                     "; it is never followed or written through: remove it (another user may have put it "
                     "there) and try again; nothing was changed")
                        .c_str()),
            nb::str(p.c_str()));
        PyErr_SetObject(PyExc_OSError, e.ptr());
        throw nb::python_error();
    }
    if (fd < 0) bind::raise_os(err, p);
    return fd;
}

}  // namespace

LibraryLock::LibraryLock(const fs::path &dir, bool wait) {
    fs::path p = dir / kLockName;
    fd_ = open_lock_file(dir, p);
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        int e = errno;
        if (e != EWOULDBLOCK) {
            ::close(fd_);
            fd_ = -1;
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
        int rc;
        try {
            nb::object stderr_ = bind::import("sys").attr("stderr");
            if (!stderr_.is_none()) {
                std::string msg = "waiting for the lock on the model library " + quoted(dir) + ", held by " + who +
                                  "\n";
                stderr_.attr("write")(nb::str(msg.c_str()));
                stderr_.attr("flush")();
            }
            rc = lock_waiting(fd_);
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
    std::string me = std::to_string((long long) ::getpid()) + "\n" + this_program() + "\n";
    if (::ftruncate(fd_, 0) == 0) {
        ssize_t n = ::pwrite(fd_, me.data(), me.size(), 0);
        (void) n;
    }
    // Whatever a writer that died left under a temporary name is of no use to anyone: only
    // writers holding this lock create such files.
    std::error_code ec;
    for (const std::string &name : names_in(dir))
        if (name.rfind(kTmpPrefix, 0) == 0 && fs::is_regular_file(fs::symlink_status(dir / name, ec)))
            fs::remove(dir / name, ec);
}

LibraryLock::~LibraryLock() {
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}

}  // namespace vz::deltavault::files
