// Rules Microsoft documents and Wine does not enforce, put in front of the real
// calls in the call table: under Wine a test then shows whether the library keeps them.
#pragma once

#include <NUVZubPlatform/SystemCallsWin32.h>

#include <WindowsApi.h>

#include <winternl.h>

namespace rules {

inline NUVZubPlatform::SystemCallsWin32 g_real = NUVZubPlatform::GetWin32Calls();

/// True, with access denied set, if `handle` has none of `rights` (known to have).
inline bool Lacks(HANDLE handle, ACCESS_MASK rights) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    if (query == nullptr ||
        query(handle, ObjectBasicInformation, &info, sizeof info, nullptr) < 0 ||
        (info.GrantedAccess & rights) != 0)
        return false;
    SetLastError(ERROR_ACCESS_DENIED);
    return true;
}

/// LockFileEx needs read or write access; SetEndOfFile write access, which append lacks.
inline BOOL WINAPI LockFileEx(HANDLE h, DWORD f, DWORD r, DWORD low, DWORD high, LPOVERLAPPED at) {
    return !Lacks(h, FILE_READ_DATA | FILE_WRITE_DATA) && g_real.LockFileEx(h, f, r, low, high, at);
}
inline BOOL WINAPI SetEndOfFile(HANDLE h) {
    return !Lacks(h, FILE_WRITE_DATA) && g_real.SetEndOfFile(h);
}

/// CREATE_ALWAYS over a hidden or system file is denied unless the call asks for them too.
inline HANDLE WINAPI CreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d,
                                 DWORD f, HANDLE t) {
    const DWORD bits = d == CREATE_ALWAYS ? g_real.GetFileAttributesW(p) : INVALID_FILE_ATTRIBUTES;
    if (bits == INVALID_FILE_ATTRIBUTES ||
        (bits & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~f) == 0)
        return g_real.CreateFileW(p, a, s, sa, d, f, t);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
}

/// GetFileSizeEx is documented for files: on a pipe Windows may answer with
/// the count of bytes queued, as here.
inline BOOL WINAPI GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    DWORD queued = 0;
    if (GetFileType(h) != FILE_TYPE_PIPE ||
        !PeekNamedPipe(h, nullptr, 0, nullptr, &queued, nullptr))
        return g_real.GetFileSizeEx(h, size);
    size->QuadPart = queued;
    return TRUE;
}

/// While it lives, the rules above stand in the call table.
struct Scoped {
    Scoped() {
        NUVZubPlatform::ResetWin32Calls();
        NUVZubPlatform::SystemCallsWin32 calls = g_real = NUVZubPlatform::GetWin32Calls();
        calls.LockFileEx = LockFileEx;
        calls.SetEndOfFile = SetEndOfFile;
        calls.CreateFileW = CreateFileW;
        calls.GetFileSizeEx = GetFileSizeEx;
        NUVZubPlatform::SetWin32Calls(calls);
    }
    ~Scoped() { NUVZubPlatform::ResetWin32Calls(); }
};

} // namespace rules
