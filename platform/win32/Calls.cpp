// The real system calls behind the table of SystemCallsWin32.h.
#include "Calls.h"

namespace NUVZubPlatform {

namespace {

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
};

} // namespace

SystemCallsWin32 g_win32 = kRealCalls;

SystemCallsWin32 GetWin32Calls() { return g_win32; }
void SetWin32Calls(const SystemCallsWin32& calls) { g_win32 = calls; }
void ResetWin32Calls() { g_win32 = kRealCalls; }

} // namespace NUVZubPlatform
