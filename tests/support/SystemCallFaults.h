// Makes chosen system calls of the platform layer fail with a chosen errno,
// through the platform's call table. One fault at a time, restored by scope.
#pragma once

#include <NUVZubPlatform/SystemCalls.h>

#include <FaultSchedule.h>

#include <cerrno>

namespace fault {

inline NUVZubPlatform::SystemCalls g_real = NUVZubPlatform::GetSystemCalls();
inline int g_error = 0;

inline bool Fail() {
    if (!Due()) return false;
    errno = g_error;
    return true;
}

inline int Open(const char* p, int f, mode_t m) { return Fail() ? -1 : g_real.open(p, f, m); }
inline int Close(int fd) {
    if (Fail()) {
        g_real.close(fd); // the kernel frees the descriptor even when close fails
        errno = g_error;
        return -1;
    }
    return g_real.close(fd);
}
inline ssize_t Pread(int fd, void* b, size_t n, off_t o) {
    return Fail() ? -1 : g_real.pread(fd, b, n, o);
}
inline ssize_t Pwrite(int fd, const void* b, size_t n, off_t o) {
    return Fail() ? -1 : g_real.pwrite(fd, b, n, o);
}
inline ssize_t PwriteNothing(int, const void*, size_t, off_t) { return 0; }
inline int Fsync(int fd) { return Fail() ? -1 : g_real.fsync(fd); }
inline int Ftruncate(int fd, off_t n) { return Fail() ? -1 : g_real.ftruncate(fd, n); }
inline int Fstat(int fd, struct stat* s) { return Fail() ? -1 : g_real.fstat(fd, s); }
inline int Stat(const char* p, struct stat* s) { return Fail() ? -1 : g_real.stat(p, s); }
inline int Flock(int fd, int op) { return Fail() ? -1 : g_real.flock(fd, op); }
inline int Rename(const char* a, const char* b) { return Fail() ? -1 : g_real.rename(a, b); }
inline int Link(const char* a, const char* b) { return Fail() ? -1 : g_real.link(a, b); }
inline int Unlink(const char* p) { return Fail() ? -1 : g_real.unlink(p); }
inline int Mkdir(const char* p, mode_t m) { return Fail() ? -1 : g_real.mkdir(p, m); }
inline int Rmdir(const char* p) { return Fail() ? -1 : g_real.rmdir(p); }
inline DIR* Opendir(const char* p) { return Fail() ? nullptr : g_real.opendir(p); }
inline struct dirent* Readdir(DIR* d) { return Fail() ? nullptr : g_real.readdir(d); }
inline char* Getcwd(char* b, size_t n) { return Fail() ? nullptr : g_real.getcwd(b, n); }
inline int Openat(int d, const char* p, int f, mode_t m) {
    return Fail() ? -1 : g_real.openat(d, p, f, m);
}
inline int Fstatat(int d, const char* p, struct stat* s, int f) {
    return Fail() ? -1 : g_real.fstatat(d, p, s, f);
}
inline int Unlinkat(int d, const char* p, int f) { return Fail() ? -1 : g_real.unlinkat(d, p, f); }

/// While it lives, `member` of the call table is `stub`, failing with `error`
/// after `skip` passing calls, `failures` times (-1: always).
class Scoped {
public:
    template <class F>
    Scoped(F NUVZubPlatform::SystemCalls::*member, F stub, int error, int skip = 0,
           int failures = -1) {
        NUVZubPlatform::ResetSystemCalls();
        g_real = NUVZubPlatform::GetSystemCalls();
        g_error = error;
        Schedule(skip, failures);
        NUVZubPlatform::SystemCalls calls = g_real;
        calls.*member = stub;
        NUVZubPlatform::SetSystemCalls(calls);
    }
    ~Scoped() { NUVZubPlatform::ResetSystemCalls(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
};

} // namespace fault
