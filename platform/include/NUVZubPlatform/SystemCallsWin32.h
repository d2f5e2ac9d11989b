// The table through which the Windows platform layer makes its file-system
// calls and its symbol look-ups. Tests replace entries to make a call fail
// with a chosen error (set with SetLastError, or returned as a status by the
// native call); the library itself never changes it. Only the platform layer
// and tests include this.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <windows.h>
#include <winternl.h>

#include <dbghelp.h>

namespace NUVZubPlatform {

struct SystemCallsWin32 {
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
     DWORD flags, HANDLE templateFile);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);
    BOOL(WINAPI* ReadFile)(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD done, LPOVERLAPPED at);
    BOOL(WINAPI* WriteFile)
    (HANDLE handle, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED at);
    DWORD(WINAPI* GetFileType)(HANDLE handle);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE handle);
    BOOL(WINAPI* SetFilePointerEx)
    (HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method);
    BOOL(WINAPI* SetEndOfFile)(HANDLE handle);
    BOOL(WINAPI* GetFileSizeEx)(HANDLE handle, PLARGE_INTEGER size);
    BOOL(WINAPI* LockFileEx)
    (HANDLE handle, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
     LPOVERLAPPED at);
    BOOL(WINAPI* UnlockFile)
    (HANDLE handle, DWORD offsetLow, DWORD offsetHigh, DWORD lengthLow, DWORD lengthHigh);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR path);
    BOOL(WINAPI* GetFileInformationByHandle)(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info);
    BOOL(WINAPI* MoveFileExW)(LPCWSTR from, LPCWSTR to, DWORD flags);
    BOOL(WINAPI* CreateHardLinkW)(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security);
    BOOL(WINAPI* CreateDirectoryW)(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
    BOOL(WINAPI* RemoveDirectoryW)(LPCWSTR path);
    HANDLE(WINAPI* FindFirstFileExW)
    (LPCWSTR pattern, FINDEX_INFO_LEVELS level, LPVOID found, FINDEX_SEARCH_OPS search,
     LPVOID filter, DWORD flags);
    BOOL(WINAPI* FindNextFileW)(HANDLE search, LPWIN32_FIND_DATAW found);
    BOOL(WINAPI* FindClose)(HANDLE search);
    BOOL(WINAPI* SetFileInformationByHandle)
    (HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
    /// Opens a name relative to a directory handle (the only documented way to);
    /// a failure is an NTSTATUS, not GetLastError's.
    NTSTATUS(NTAPI* NtCreateFile)
    (PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES name, PIO_STATUS_BLOCK status,
     PLARGE_INTEGER allocation, ULONG attributes, ULONG share, ULONG disposition, ULONG options,
     PVOID extended, ULONG extendedLength);
    // The debugging help library's look-ups, for modules without DWARF.
    BOOL(WINAPI* SymFromAddrW)
    (HANDLE process, DWORD64 address, PDWORD64 displacement, PSYMBOL_INFOW symbol);
    BOOL(WINAPI* SymGetLineFromAddrW64)
    (HANDLE process, DWORD64 address, PDWORD displacement, PIMAGEHLP_LINEW64 line);
    /// Fails with ERROR_PROC_NOT_FOUND where the library is older than 6.2.
    BOOL(WINAPI* SymGetLineFromInlineContextW)
    (HANDLE process, DWORD64 address, ULONG inlineContext, DWORD64 moduleBase, PDWORD displacement,
     PIMAGEHLP_LINEW64 line);
};

/// The table in use.
NUVZUB_API SystemCallsWin32 GetWin32Calls();
/// Replaces the whole table; set it while no other thread makes file calls.
NUVZUB_API void SetWin32Calls(const SystemCallsWin32& calls);
/// Back to the real calls.
NUVZUB_API void ResetWin32Calls();

} // namespace NUVZubPlatform
