// Makes one call of the platform's call table fail with a chosen error (errno;
// GetLastError's on Windows) after some calls that pass, some times, by scope.
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
inline int g_skip = 0, g_failures = -1, g_failed = 0; // see Scoped

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

// A stand-in for the call `member` that fails with the result `failed`.
template <class F, F Calls::*member, auto failed> struct Stub;
template <class R, class... A, R (*Calls::*member)(A...), auto failed>
struct Stub<R (*)(A...), member, failed> {
    static R Call(A... a) { return Fail() ? R(failed) : (g_real.*member)(a...); }
};
template <class T> struct Member;
template <class F> struct Member<F Calls::*> { using Type = F; };
template <auto member, auto failed>
inline constexpr auto& Failing =
    Stub<typename Member<decltype(member)>::Type, member, failed>::Call;

#if defined(_WIN32)
constexpr LONG_PTR kInvalid = -1; // INVALID_HANDLE_VALUE as a constant
inline constexpr auto& Open = Failing<&Calls::CreateFileW, kInvalid>;
inline constexpr auto& FindFirst = Failing<&Calls::FindFirstFileExW, kInvalid>;
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
inline BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD done, LPOVERLAPPED) {
    *done = 0;
    return TRUE;
}
// The deletion step of every removal: the disposition set through the file's handle.
inline BOOL WINAPI Delete(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    const bool disposition = kind == FileDispositionInfo || kind == 21; // 21: ...InfoEx
    return !(disposition && Fail()) && g_real.SetFileInformationByHandle(h, kind, info, size);
}
inline constexpr auto& Attributes = Failing<&Calls::GetFileAttributesW, INVALID_FILE_ATTRIBUTES>;
inline constexpr auto& Move = Failing<&Calls::MoveFileExW, FALSE>;
inline constexpr auto& Link = Failing<&Calls::CreateHardLinkW, FALSE>;
inline constexpr auto& MakeDir = Failing<&Calls::CreateDirectoryW, FALSE>;
inline constexpr auto& RemoveDir = Failing<&Calls::RemoveDirectoryW, FALSE>;
#else
inline int Close(int fd) {
    if (!Fail()) return g_real.close(fd);
    g_real.close(fd); // the kernel frees the descriptor even when close fails
    errno = g_error;
    return -1;
}
inline ssize_t PwriteNothing(int, const void*, size_t, off_t) { return 0; }
inline constexpr auto& Open = Failing<&Calls::open, -1>;
inline constexpr auto& Stat = Failing<&Calls::stat, -1>;
inline constexpr auto& Rename = Failing<&Calls::rename, -1>;
inline constexpr auto& Link = Failing<&Calls::link, -1>;
inline constexpr auto& Unlink = Failing<&Calls::unlink, -1>;
inline constexpr auto& Mkdir = Failing<&Calls::mkdir, -1>;
inline constexpr auto& Rmdir = Failing<&Calls::rmdir, -1>;
inline constexpr auto& Opendir = Failing<&Calls::opendir, nullptr>;
inline constexpr auto& Getcwd = Failing<&Calls::getcwd, nullptr>;
inline constexpr auto& Unlinkat = Failing<&Calls::unlinkat, -1>;
#endif

struct Call { // an entry of the call table and its stand-in
    template <class F>
    Call(F Calls::*member, F stub) : install([=](Calls& c) { c.*member = stub; }) {}
    std::function<void(Calls&)> install;
};

// The entry `member` failing with the result `failed`.
template <auto member, auto failed> Call Fails() { return Call(member, &Failing<member, failed>); }

// While it lives, `call` fails with `error` after `skip` passing calls,
// `failures` times (-1: always); g_failed counts them.
struct Scoped {
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
};

// The calls that tests of both systems make fail.
#if defined(_WIN32)
inline const Call kOpen{&Calls::CreateFileW, &Open}, kCreateNew{&Calls::CreateFileW, &CreateNew};
inline const Call kRead = Fails<&Calls::ReadFile, FALSE>();
inline const Call kWrite = Fails<&Calls::WriteFile, FALSE>();
inline const Call kWriteNothing{&Calls::WriteFile, &WriteNothing};
inline const Call kSync = Fails<&Calls::FlushFileBuffers, FALSE>();
inline const Call kSize = Fails<&Calls::GetFileSizeEx, FALSE>();
inline const Call kSetLength = Fails<&Calls::SetEndOfFile, FALSE>();
inline const Call kClose{&Calls::CloseHandle, &Close};
inline const Call kLock = Fails<&Calls::LockFileEx, FALSE>();
inline const Call kUnlock = Fails<&Calls::UnlockFile, FALSE>();
inline const Call kQuery = Fails<&Calls::GetFileInformationByHandle, FALSE>();
inline const Call kFindNext = Fails<&Calls::FindNextFileW, FALSE>();
#else
inline const Call kOpen{&Calls::open, &Open}, kCreateNew = kOpen;
inline const Call kRead = Fails<&Calls::pread, -1>(), kWrite = Fails<&Calls::pwrite, -1>();
inline const Call kWriteNothing{&Calls::pwrite, &PwriteNothing}, kClose{&Calls::close, &Close};
inline const Call kSync = Fails<&Calls::fsync, -1>(), kSize = Fails<&Calls::fstat, -1>();
inline const Call kSetLength = Fails<&Calls::ftruncate, -1>();
inline const Call kLock = Fails<&Calls::flock, -1>(), kUnlock = kLock, kQuery = kSize;
inline const Call kFindNext = Fails<&Calls::readdir, nullptr>();
#endif

} // namespace fault
