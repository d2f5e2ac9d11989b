// Open-file services over POSIX. Every system call goes through the table of
// SystemCalls.h so that tests can make any of them fail.
#include "Calls.h"

#include <NUVZubPlatform/File.h>

#include "../ReportText.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace NUVZubPlatform {

namespace {

// Largest count handed to one read or write call: Linux moves at most
// 0x7ffff000 bytes per call anyway.
constexpr std::uint64_t kMaxTransfer = 0x7ffff000;

size_t Capped(std::uint64_t size) {
    return static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
}

// One read or write call, repeated while a signal interrupts it; `done` gets
// the bytes moved, the result is 0 or the call's error.
template <class Call> int Transfer(std::uint64_t& done, Call call) {
    ssize_t n;
    do {
        n = call();
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    done = static_cast<std::uint64_t>(n);
    return 0;
}

// ---- the standard streams and the library's files ----
//
// A descriptor 0, 1 or 2 is free only because the process closed a standard
// stream; a file of ours landing there would receive whatever is written to
// that stream next (a report to stderr). So free standard slots are filled
// with /dev/null before each open, and a file that lands there all the same
// (another thread closed a standard stream meanwhile) is moved above 2 at
// once. Reports never write to descriptor 2 itself but to a copy taken while
// no file of ours stands in a standard slot, which therefore names the
// program's stream. The only moment left undefended is the few instructions
// between an open returning a standard slot (possible only when another thread
// closed that stream since the slots were filled) and its marking here.

std::atomic<unsigned> g_lowLandings{0};             // ours in a standard slot now
std::atomic<std::uint64_t> g_lowLandingsStarted{0}; // ever

/// Marks a descriptor of ours that took a standard slot until it has moved.
class LowLanding {
public:
    explicit LowLanding(int fd) : m_active(fd >= 0 && fd <= 2) {
        if (!m_active) return;
        g_lowLandingsStarted.fetch_add(1);
        g_lowLandings.fetch_add(1);
    }
    ~LowLanding() {
        if (m_active) g_lowLandings.fetch_sub(1);
    }
    LowLanding(const LowLanding&) = delete;
    LowLanding& operator=(const LowLanding&) = delete;

private:
    bool m_active;
};

bool StandardSlotFree() {
    pollfd slots[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
    if (poll(slots, 3, 0) < 0) return true; // unknown: filling is harmless
    return ((slots[0].revents | slots[1].revents | slots[2].revents) & POLLNVAL) != 0;
}

// Each open of /dev/null takes the lowest free slot, until one lands above 2.
// The programs's later dup2 onto a standard slot still works.
void FillStandardSlots() {
    for (;;) {
        const int null = g_calls.open("/dev/null", O_RDWR | O_CLOEXEC, 0);
        if (null < 0) return;
        if (null > 2) {
            g_calls.close(null);
            return;
        }
    }
}

} // namespace

void FillFreeStandardSlots() {
    if (StandardSlotFree()) FillStandardSlots();
}

namespace {

int MoveAboveStandardStreams(int& fd) {
    const int moved = g_calls.fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) {
        const int error = errno;
        g_calls.close(fd);
        return error;
    }
    const int low = fd;
    fd = moved;
    const int null = g_calls.open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (null < 0) {
        g_calls.close(low); // the slot stays free; the next open moves again
    } else if (null != low) {
        // Should the copy fail, the slot must still not keep our file.
        if (g_calls.dup3(null, low, O_CLOEXEC) < 0) g_calls.close(low);
        if (null > 2) g_calls.close(null); // else it fills another free low slot
    }
    return 0;
}

bool IsRegularOrDirectory(int fd) {
    struct stat info;
    return g_calls.fstat(fd, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode));
}

} // namespace

int OpenFile(const char* path, OpenMode mode, Handle& handle) {
    return OpenAt(AT_FDCWD, path, mode, handle);
}

int OpenAt(int directory, const char* path, OpenMode mode, Handle& handle) {
    int flags = O_CLOEXEC;
    mode_t permissions = 0666;
    bool randomAccess = true;
    switch (mode) {
    case OpenMode::Read:
        flags |= O_RDONLY;
        break;
    case OpenMode::Update:
        flags |= O_RDWR;
        break;
    case OpenMode::Write:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case OpenMode::Append:
        flags |= O_WRONLY | O_CREAT | O_APPEND;
        randomAccess = false;
        break;
    case OpenMode::CreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    case OpenMode::Temporary:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        permissions = 0600;
        break;
    }
    FillFreeStandardSlots();
    int fd;
    do {
        fd = directory == AT_FDCWD ? g_calls.open(path, flags, permissions)
                                   : g_calls.openat(directory, path, flags, permissions);
    } while (fd < 0 && errno == EINTR);
    const LowLanding landing(fd);
    if (fd < 0) {
        handle = kNoHandle;
        return errno;
    }
    // A directory opens for reading on POSIX; a file is expected here.
    {
        struct stat info;
        if (g_calls.fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            g_calls.close(fd);
            handle = kNoHandle;
            return EISDIR;
        }
    }
    if (fd <= 2) {
        const int error = MoveAboveStandardStreams(fd);
        if (error != 0) {
            handle = kNoHandle;
            return error;
        }
    }
    if (randomAccess) g_calls.posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); // only a hint
    handle = fd;
    return 0;
}

void WriteStandardError(const char* data, std::size_t size) {
    std::fflush(stderr); // what the program wrote through stdio comes first
    // A copy of descriptor 2 taken while no file of ours stood in a standard
    // slot; such a file moves at once (it never waits on anything).
    int copy = -1;
    for (;;) {
        const std::uint64_t started = g_lowLandingsStarted.load();
        if (g_lowLandings.load() == 0) {
            copy = g_calls.fcntl(2, F_DUPFD_CLOEXEC, 3);
            if (copy < 0) return; // stderr is closed
            if (g_lowLandings.load() == 0 && g_lowLandingsStarted.load() == started) break;
            g_calls.close(copy);
        }
        sched_yield();
    }
    while (size > 0) {
        const ssize_t n = g_calls.write(copy, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A stderr shared in non-blocking mode: wait until it takes more.
            pollfd writable{copy, POLLOUT, 0};
            if (poll(&writable, 1, -1) >= 0) continue;
        }
        if (n <= 0) break; // a closed pipe or a full disk: the report is lost
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    g_calls.close(copy);
}

int CloseFile(Handle handle) {
    if (handle == kNoHandle) return 0;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    if (g_calls.close(handle) != 0 && errno != EINTR) return errno;
    return 0;
}

int ReadAt(Handle handle, void* buffer, std::uint64_t size, std::uint64_t offset,
           std::uint64_t& done) {
    done = 0;
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return EINVAL;
    return Transfer(done, [&] {
        return g_calls.pread(handle, buffer, Capped(size), static_cast<off_t>(offset));
    });
}

int WriteAt(Handle handle, const void* data, std::uint64_t size, std::uint64_t offset,
            std::uint64_t& done) {
    done = 0;
    // An Append file's descriptor has O_APPEND: write() goes to the end.
    if (offset == kAtEnd) return WriteNext(handle, data, size, done);
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return EFBIG;
    return Transfer(done, [&] {
        return g_calls.pwrite(handle, data, Capped(size), static_cast<off_t>(offset));
    });
}

bool IsStream(Handle handle) {
    struct stat info;
    if (g_calls.fstat(handle, &info) != 0) return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode);
}

int ReadNext(Handle handle, void* buffer, std::uint64_t size, std::uint64_t& done) {
    done = 0;
    return Transfer(done, [&] { return g_calls.read(handle, buffer, Capped(size)); });
}

int WriteNext(Handle handle, const void* data, std::uint64_t size, std::uint64_t& done) {
    done = 0;
    return Transfer(done, [&] { return g_calls.write(handle, data, Capped(size)); });
}

int CheckOffset(std::uint64_t offset) {
    return offset > static_cast<std::uint64_t>(LLONG_MAX) ? EINVAL : 0;
}

int SyncFile(Handle handle) {
    int result;
    do {
        result = g_calls.fsync(handle);
    } while (result != 0 && errno == EINTR);
    if (result == 0) return 0;
    const int error = errno;
    // Pipes, sockets and devices have nothing to sync: Linux says EINVAL or EROFS.
    if ((error == EINVAL || error == EROFS) && !IsRegularOrDirectory(handle)) return 0;
    return error;
}

int SetFileLength(Handle handle, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(LLONG_MAX)) return EFBIG;
    int result;
    do {
        result = g_calls.ftruncate(handle, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int GetFileLength(Handle handle, std::uint64_t& length) {
    struct stat info;
    if (g_calls.fstat(handle, &info) != 0) return errno;
    length = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

int LockFile(Handle handle) {
    // flock is no cancellation point, yet its wait may last for ever: like the
    // C library's own blocking calls, the wait takes a cancellation at once.
    // A lock granted just before that is released when the file is closed.
    int result;
    int error;
    do {
        int type;
        pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &type);
        result = g_calls.flock(handle, LOCK_EX);
        error = errno;
        pthread_setcanceltype(type, &type);
    } while (result != 0 && error == EINTR);
    return result == 0 ? 0 : error;
}

int UnlockFile(Handle handle) { return g_calls.flock(handle, LOCK_UN) == 0 ? 0 : errno; }

int NotLockedError() { return ENOLCK; }

bool IsNotFound(int error) { return error == ENOENT; }
bool IsPathNotFound(int error, const char* path) {
    if (error == ENOTDIR) return true;
    if (error != ENOENT) return false;
    // ENOENT names no culprit: it is the path's when its directory is missing.
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return false; // the working directory exists
    const std::string directory(path, slash == path ? 1 : static_cast<size_t>(slash - path));
    struct stat info;
    if (g_calls.stat(directory.c_str(), &info) != 0) return errno == ENOENT || errno == ENOTDIR;
    return !S_ISDIR(info.st_mode);
}

bool IsAlreadyExists(int error) { return error == EEXIST; }
bool IsDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }

Handle StandardInput() { return fcntl(0, F_GETFD) == -1 ? kNoHandle : 0; }

} // namespace NUVZubPlatform
