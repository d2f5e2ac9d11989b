// Makes chosen calls of the platform's call table fail with a chosen error
// (errno; GetLastError's on Windows): after some calls that pass, some times.
// One fault at a time, restored by scope. Also each system's codes for the
// failures the tests provoke, and the calls that tests of both systems inject.
#pragma once

#include <functional>

#if defined(_WIN32)
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <WindowsApi.h>
#else
#include <NUVZubPlatform/SystemCalls.h>

#include <cerrno>
#endif

namespace fault {

#if defined(_WIN32)
using Calls = NUVZubPlatform::SystemCallsWin32;
using Error = DWORD;
inline Calls RealCalls() { return NUVZubPlatform::GetWin32Calls(); }
inline void SetCalls(const Calls& calls) { NUVZubPlatform::SetWin32Calls(calls); }
inline void ResetCalls() { NUVZubPlatform::ResetWin32Calls(); }
inline void SetError(Error error) { SetLastError(error); }
constexpr int kIoError = ERROR_IO_DEVICE, kDenied = ERROR_ACCESS_DENIED;
constexpr int kExists = ERROR_FILE_EXISTS, kMissing = ERROR_FILE_NOT_FOUND;
constexpr int kMissingDirectory = ERROR_PATH_NOT_FOUND, kNotEmpty = ERROR_DIR_NOT_EMPTY;
constexpr int kIsDirectory = ERROR_ACCESS_DENIED, kTooManyFiles = ERROR_TOO_MANY_OPEN_FILES;
constexpr int kNoLocks = ERROR_NOT_ENOUGH_MEMORY, kBadOffset = ERROR_NEGATIVE_SEEK;
constexpr int kNotLocked = ERROR_NOT_LOCKED;
constexpr int kDiskFullCodes[] = {39, 112, 1295}; // handle disk full, disk full, quota
#else
using Calls = NUVZubPlatform::SystemCalls;
using Error = int;
inline Calls RealCalls() { return NUVZubPlatform::GetSystemCalls(); }
inline void SetCalls(const Calls& calls) { NUVZubPlatform::SetSystemCalls(calls); }
inline void ResetCalls() { NUVZubPlatform::ResetSystemCalls(); }
inline void SetError(Error error) { errno = error; }
constexpr int kIoError = EIO, kDenied = EACCES, kExists = EEXIST, kMissing = ENOENT;
constexpr int kMissingDirectory = ENOENT, kNotEmpty = ENOTEMPTY, kIsDirectory = EISDIR;
constexpr int kTooManyFiles = EMFILE, kNoLocks = ENOLCK, kBadOffset = EINVAL;
constexpr int kNotLocked = ENOLCK;
constexpr int kDiskFullCodes[] = {ENOSPC, EDQUOT};
#endif

inline Calls g_real = RealCalls();
inline Error g_error = 0;
inline int g_skip = 0;      ///< calls that pass before the first failure
inline int g_failures = -1; ///< failures before calls pass again; -1 for ever
inline int g_failed = 0;    ///< failures injected so far

/// True, with the error set, if this call is to fail.
inline bool Fail() {
    if (g_skip > 0) {
        --g_skip;
        return false;
    }
    if (g_failures == 0) return false;
    if (g_failures > 0) --g_failures;
    ++g_failed;
    SetError(g_error);
    return true;
}

#if defined(_WIN32)
inline HANDLE WINAPI Open(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                          HANDLE t) {
    return Fail() ? INVALID_HANDLE_VALUE : g_real.CreateFileW(p, a, s, sa, d, f, t);
}
// Only the exclusive creates, as of a generated name: other opens pass.
inline HANDLE WINAPI CreateNew(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d,
                               DWORD f, HANDLE t) {
    return d == CREATE_NEW && Fail() ? INVALID_HANDLE_VALUE
                                     : g_real.CreateFileW(p, a, s, sa, d, f, t);
}
inline BOOL WINAPI Close(HANDLE h) {
    if (!Fail()) return g_real.CloseHandle(h);
    g_real.CloseHandle(h); // the handle goes, the failure is reported
    SetLastError(g_error);
    return FALSE;
}
inline BOOL WINAPI Read(HANDLE h, LPVOID b, DWORD n, LPDWORD done, LPOVERLAPPED at) {
    return !Fail() && g_real.ReadFile(h, b, n, done, at);
}
inline BOOL WINAPI Write(HANDLE h, LPCVOID b, DWORD n, LPDWORD done, LPOVERLAPPED at) {
    return !Fail() && g_real.WriteFile(h, b, n, done, at);
}
inline BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD done, LPOVERLAPPED) {
    *done = 0;
    return TRUE;
}
inline BOOL WINAPI Flush(HANDLE h) { return !Fail() && g_real.FlushFileBuffers(h); }
inline BOOL WINAPI SetEnd(HANDLE h) { return !Fail() && g_real.SetEndOfFile(h); }
inline BOOL WINAPI Size(HANDLE h, PLARGE_INTEGER size) {
    return !Fail() && g_real.GetFileSizeEx(h, size);
}
inline BOOL WINAPI Lock(HANDLE h, DWORD f, DWORD r, DWORD low, DWORD high, LPOVERLAPPED at) {
    return !Fail() && g_real.LockFileEx(h, f, r, low, high, at);
}
inline BOOL WINAPI Unlock(HANDLE h, DWORD at, DWORD atHigh, DWORD low, DWORD high) {
    return !Fail() && g_real.UnlockFile(h, at, atHigh, low, high);
}
inline DWORD WINAPI Attributes(LPCWSTR p) {
    return Fail() ? INVALID_FILE_ATTRIBUTES : g_real.GetFileAttributesW(p);
}
inline BOOL WINAPI Information(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
    return !Fail() && g_real.GetFileInformationByHandle(h, info);
}
inline BOOL WINAPI Move(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return !Fail() && g_real.MoveFileExW(from, to, flags);
}
inline BOOL WINAPI Link(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES sa) {
    return !Fail() && g_real.CreateHardLinkW(link, existing, sa);
}
// The deletion step of every removal: the disposition set through the file's handle.
inline BOOL WINAPI Delete(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    const bool disposition = kind == FileDispositionInfo || kind == 21; // 21: ...InfoEx
    return !(disposition && Fail()) && g_real.SetFileInformationByHandle(h, kind, info, size);
}
inline BOOL WINAPI MakeDir(LPCWSTR p, LPSECURITY_ATTRIBUTES sa) {
    return !Fail() && g_real.CreateDirectoryW(p, sa);
}
inline BOOL WINAPI RemoveDir(LPCWSTR p) { return !Fail() && g_real.RemoveDirectoryW(p); }
inline HANDLE WINAPI FindFirst(LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found,
                               FINDEX_SEARCH_OPS search, LPVOID filter, DWORD flags) {
    return Fail() ? INVALID_HANDLE_VALUE
                  : g_real.FindFirstFileExW(pattern, level, found, search, filter, flags);
}
inline BOOL WINAPI FindNext(HANDLE search, LPWIN32_FIND_DATAW found) {
    return !Fail() && g_real.FindNextFileW(search, found);
}
#else
inline int Open(const char* p, int f, mode_t m) { return Fail() ? -1 : g_real.open(p, f, m); }
inline int Close(int fd) {
    if (!Fail()) return g_real.close(fd);
    g_real.close(fd); // the kernel frees the descriptor even when close fails
    errno = g_error;
    return -1;
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
inline int Unlinkat(int d, const char* p, int f) { return Fail() ? -1 : g_real.unlinkat(d, p, f); }
#endif

/// One entry of the call table and the stub that stands in for it.
struct Call {
    template <class F>
    Call(F Calls::*member, F stub) : install([=](Calls& c) { c.*member = stub; }) {}
    std::function<void(Calls&)> install;
};

/// While it lives, `call` fails with `error` after `skip` passing calls,
/// `failures` times (-1: always).
class Scoped {
public:
    Scoped(const Call& call, Error error, int skip = 0, int failures = -1) {
        ResetCalls();
        g_real = RealCalls();
        g_error = error;
        g_skip = skip;
        g_failures = failures;
        g_failed = 0;
        Calls calls = g_real;
        call.install(calls);
        SetCalls(calls);
    }
    template <class F>
    Scoped(F Calls::*member, F stub, Error error, int skip = 0, int failures = -1)
        : Scoped(Call(member, stub), error, skip, failures) {}
    ~Scoped() { ResetCalls(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
};

// The calls that tests of both systems make fail, by what they do.
#if defined(_WIN32)
inline const Call kOpen{&Calls::CreateFileW, &Open}, kCreateNew{&Calls::CreateFileW, &CreateNew};
inline const Call kRead{&Calls::ReadFile, &Read}, kWrite{&Calls::WriteFile, &Write};
inline const Call kWriteNothing{&Calls::WriteFile, &WriteNothing};
inline const Call kSync{&Calls::FlushFileBuffers, &Flush}, kSize{&Calls::GetFileSizeEx, &Size};
inline const Call kSetLength{&Calls::SetEndOfFile, &SetEnd}, kClose{&Calls::CloseHandle, &Close};
inline const Call kLock{&Calls::LockFileEx, &Lock}, kUnlock{&Calls::UnlockFile, &Unlock};
inline const Call kQuery{&Calls::GetFileInformationByHandle, &Information};
inline const Call kFindNext{&Calls::FindNextFileW, &FindNext};
#else
inline const Call kOpen{&Calls::open, &Open}, kCreateNew{&Calls::open, &Open};
inline const Call kRead{&Calls::pread, &Pread}, kWrite{&Calls::pwrite, &Pwrite};
inline const Call kWriteNothing{&Calls::pwrite, &PwriteNothing};
inline const Call kSync{&Calls::fsync, &Fsync}, kSize{&Calls::fstat, &Fstat};
inline const Call kSetLength{&Calls::ftruncate, &Ftruncate}, kClose{&Calls::close, &Close};
inline const Call kLock{&Calls::flock, &Flock}, kUnlock{&Calls::flock, &Flock};
inline const Call kQuery{&Calls::fstat, &Fstat}, kFindNext{&Calls::readdir, &Readdir};
#endif

} // namespace fault
