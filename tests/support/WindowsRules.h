// Rules that Microsoft documents for Windows and Wine does not enforce, put
// into the platform's call table in front of the real calls, so that a test
// under Wine shows whether the library keeps them. On Windows the real calls
// keep them anyway.
#pragma once

#include <NUVZubPlatform/SystemCallsWin32.h>

#include <WindowsApi.h>

#include <winternl.h>

namespace rules {

inline NUVZubPlatform::SystemCallsWin32 g_real = NUVZubPlatform::GetWin32Calls();

/// The access rights a handle was opened with.
inline ACCESS_MASK Granted(HANDLE handle) {
    using Query = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    PUBLIC_OBJECT_BASIC_INFORMATION info = {};
    if (query == nullptr || query(handle, ObjectBasicInformation, &info, sizeof info, nullptr) < 0)
        return ~ACCESS_MASK{0}; // unknown: let the real call decide
    return info.GrantedAccess;
}

inline BOOL Denied() {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

/// LockFileEx: "The handle must have been created with either the
/// GENERIC_READ or GENERIC_WRITE access right."
inline BOOL WINAPI LockFileEx(HANDLE h, DWORD f, DWORD r, DWORD low, DWORD high, LPOVERLAPPED at) {
    if ((Granted(h) & (FILE_READ_DATA | FILE_WRITE_DATA)) == 0) return Denied();
    return g_real.LockFileEx(h, f, r, low, high, at);
}

/// SetEndOfFile: "The handle must have been created with the GENERIC_WRITE
/// access right" (append access alone does not include FILE_WRITE_DATA).
inline BOOL WINAPI SetEndOfFile(HANDLE h) {
    if ((Granted(h) & FILE_WRITE_DATA) == 0) return Denied();
    return g_real.SetEndOfFile(h);
}

/// CreateFileW: "If CREATE_ALWAYS and FILE_ATTRIBUTE_NORMAL are specified,
/// CreateFile fails and sets the last error to ERROR_ACCESS_DENIED if the file
/// exists and has the FILE_ATTRIBUTE_HIDDEN or FILE_ATTRIBUTE_SYSTEM
/// attribute. To avoid the error, specify the same attributes as the
/// existing file."
inline HANDLE WINAPI CreateFileW(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d,
                                 DWORD f, HANDLE t) {
    if (d == CREATE_ALWAYS) {
        const DWORD bits = g_real.GetFileAttributesW(p);
        const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if (bits != INVALID_FILE_ATTRIBUTES && (bits & kept & ~f) != 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    return g_real.CreateFileW(p, a, s, sa, d, f, t);
}

/// GetFileSizeEx on a pipe: the function is documented for files; on a pipe
/// Windows may answer with the count of bytes queued, as here.
inline BOOL WINAPI GetFileSizeEx(HANDLE h, PLARGE_INTEGER size) {
    DWORD queued = 0;
    if (GetFileType(h) == FILE_TYPE_PIPE &&
        PeekNamedPipe(h, nullptr, 0, nullptr, &queued, nullptr)) {
        size->QuadPart = queued;
        return TRUE;
    }
    return g_real.GetFileSizeEx(h, size);
}

/// While it lives, the rules above stand in the call table.
class Scoped {
public:
    Scoped() {
        NUVZubPlatform::ResetWin32Calls();
        g_real = NUVZubPlatform::GetWin32Calls();
        NUVZubPlatform::SystemCallsWin32 calls = g_real;
        calls.LockFileEx = LockFileEx;
        calls.SetEndOfFile = SetEndOfFile;
        calls.CreateFileW = CreateFileW;
        calls.GetFileSizeEx = GetFileSizeEx;
        NUVZubPlatform::SetWin32Calls(calls);
    }
    ~Scoped() { NUVZubPlatform::ResetWin32Calls(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
};

} // namespace rules
