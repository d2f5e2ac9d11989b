// Makes chosen system calls of the Windows platform layer fail with a chosen
// error (GetLastError's), through the platform's call table. One fault at a
// time, restored by scope: the Windows side of SystemCallFaults.h.
#pragma once

#include <NUVZubPlatform/SystemCallsWin32.h>

#include <FaultSchedule.h>

#include <WindowsApi.h>

namespace fault {

inline NUVZubPlatform::SystemCallsWin32 g_real = NUVZubPlatform::GetWin32Calls();
inline DWORD g_error = 0;

inline bool Fail() {
    if (!Due()) return false;
    SetLastError(g_error);
    return true;
}

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

/// While it lives, `member` of the call table is `stub`, failing with `error`
/// after `skip` passing calls, `failures` times (-1: always).
class Scoped {
public:
    template <class F>
    Scoped(F NUVZubPlatform::SystemCallsWin32::*member, F stub, DWORD error, int skip = 0,
           int failures = -1) {
        NUVZubPlatform::ResetWin32Calls();
        g_real = NUVZubPlatform::GetWin32Calls();
        g_error = error;
        Schedule(skip, failures);
        NUVZubPlatform::SystemCallsWin32 calls = g_real;
        calls.*member = stub;
        NUVZubPlatform::SetWin32Calls(calls);
    }
    ~Scoped() { NUVZubPlatform::ResetWin32Calls(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
};

} // namespace fault
