// Open-file services over POSIX. Every system call goes through the table of
// SystemCalls.h so that tests can make any of them fail.
#include "Calls.h"

#include <NUVZubPlatform/File.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
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

// A descriptor 0, 1 or 2 is free only because the process closed a standard
// stream; whoever writes there next (a report to stderr, say) would write into
// our file. Move the file above 2 and park /dev/null in the low slot.
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
    int fd;
    do {
        fd = g_calls.open(path, flags, permissions);
    } while (fd < 0 && errno == EINTR);
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

} // namespace NUVZubPlatform
