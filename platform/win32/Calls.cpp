// The real system calls behind the table of SystemCallsWin32.h.
#include "Calls.h"

namespace NUVZubPlatform {

FARPROC DbgHelpProcedure(const char* name) {
    const HMODULE library = GetModuleHandleW(L"dbghelp.dll");
    return library != nullptr ? GetProcAddress(library, name) : nullptr;
}

namespace {

BOOL WINAPI LineFromInlineContext(HANDLE process, DWORD64 address, ULONG inlineContext,
                                  DWORD64 moduleBase, PDWORD displacement, PIMAGEHLP_LINEW64 line) {
    using Function = decltype(SystemCallsWin32::SymGetLineFromInlineContextW);
    static const auto real = reinterpret_cast<Function>(
        reinterpret_cast<void*>(DbgHelpProcedure("SymGetLineFromInlineContextW")));
    if (real == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return FALSE;
    }
    return real(process, address, inlineContext, moduleBase, displacement, line);
}

const SystemCallsWin32 kRealCalls = {
    ::CreateFileW,
    ::CloseHandle,
    ::ReadFile,
    ::WriteFile,
    ::GetFileType,
    ::FlushFileBuffers,
    ::SetFilePointerEx,
    ::SetEndOfFile,
    ::GetFileSizeEx,
    ::LockFileEx,
    ::UnlockFile,
    ::GetFileAttributesW,
    ::GetFileInformationByHandle,
    ::MoveFileExW,
    ::CreateHardLinkW,
    ::CreateDirectoryW,
    ::RemoveDirectoryW,
    ::FindFirstFileExW,
    ::FindNextFileW,
    ::FindClose,
    ::SetFileInformationByHandle,
    ::NtCreateFile,
    ::SymFromAddrW,
    ::SymGetLineFromAddrW64,
    LineFromInlineContext,
};

} // namespace

SystemCallsWin32 g_win32 = kRealCalls;

SystemCallsWin32 GetWin32Calls() { return g_win32; }
void SetWin32Calls(const SystemCallsWin32& calls) { g_win32 = calls; }
void ResetWin32Calls() { g_win32 = kRealCalls; }

} // namespace NUVZubPlatform
