// The file utilities over the Windows layer: each system call's failure,
// injected through the platform's call table, reported with its service and
// the system's code.
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <FileUtilsChecks.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

using NUVZubPlatform::SystemCallsWin32;

namespace {

SystemCallsWin32 g_real = NUVZubPlatform::GetWin32Calls();
DWORD g_error = 0;
int g_passing = 0; ///< calls that pass before the failures start

bool Failing() {
    if (g_passing-- > 0) return false;
    SetLastError(g_error);
    return true;
}

BOOL WINAPI FailMove(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return !Failing() && g_real.MoveFileExW(from, to, flags);
}
BOOL WINAPI FailLink(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security) {
    return !Failing() && g_real.CreateHardLinkW(link, existing, security);
}
BOOL WINAPI FailDelete(LPCWSTR path) { return !Failing() && g_real.DeleteFileW(path); }
BOOL WINAPI FailMakeDir(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
    return !Failing() && g_real.CreateDirectoryW(path, security);
}
BOOL WINAPI FailRemoveDir(LPCWSTR path) { return !Failing() && g_real.RemoveDirectoryW(path); }
DWORD WINAPI FailAttributes(LPCWSTR path) {
    return Failing() ? INVALID_FILE_ATTRIBUTES : g_real.GetFileAttributesW(path);
}
HANDLE WINAPI FailOpen(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) {
    return Failing() ? INVALID_HANDLE_VALUE
                     : g_real.CreateFileW(path, access, share, security, disposition, flags,
                                          templateFile);
}
BOOL WINAPI FailInformation(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
    return !Failing() && g_real.GetFileInformationByHandle(handle, info);
}
HANDLE WINAPI FailFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW found) {
    return Failing() ? INVALID_HANDLE_VALUE : g_real.FindFirstFileW(pattern, found);
}
BOOL WINAPI FailFindNext(HANDLE search, LPWIN32_FIND_DATAW found) {
    return !Failing() && g_real.FindNextFileW(search, found);
}

/// While it lives, `member` of the call table is `stub`, failing with `error`
/// after `passing` calls that pass.
class Fault {
public:
    template <class F> Fault(F SystemCallsWin32::*member, F stub, DWORD error, int passing = 0) {
        NUVZubPlatform::ResetWin32Calls();
        g_real = NUVZubPlatform::GetWin32Calls();
        g_error = error;
        g_passing = passing;
        SystemCallsWin32 calls = g_real;
        calls.*member = stub;
        NUVZubPlatform::SetWin32Calls(calls);
    }
    ~Fault() { NUVZubPlatform::ResetWin32Calls(); }
    Fault(const Fault&) = delete;
    Fault& operator=(const Fault&) = delete;
};

using FileUtilsFaultsWin32 = QuietFileUtils;

} // namespace

TEST_F(FileUtilsFaultsWin32, FailureRowsThroughTheCallTable) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A"));
    {
        Fault f(&SystemCallsWin32::MoveFileExW, &FailMove, ERROR_NOT_SAME_DEVICE);
        ExpectSystemError([&] { fu::Move(a, NUVString(dir / "b")); }, "MoveFileEx",
                          ERROR_NOT_SAME_DEVICE);
    }
    {
        Fault f(&SystemCallsWin32::CreateHardLinkW, &FailLink, ERROR_TOO_MANY_LINKS);
        ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "b")); }, "CreateHardLink",
                          ERROR_TOO_MANY_LINKS);
    }
    {
        Fault f(&SystemCallsWin32::DeleteFileW, &FailDelete, ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::Remove(a); }, "DeleteFile", ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "*")); }, "DeleteFile",
                          ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
    }
    {
        Fault f(&SystemCallsWin32::CreateDirectoryW, &FailMakeDir, ERROR_DISK_FULL);
        ExpectSystemError([&] { fu::MakeDir(NUVString(dir / "d")); }, "CreateDirectory",
                          ERROR_DISK_FULL);
    }
    {
        Fault f(&SystemCallsWin32::RemoveDirectoryW, &FailRemoveDir, ERROR_SHARING_VIOLATION);
        ExpectSystemError([&] { fu::RemoveDir(NUVString(dir.Path())); }, "RemoveDirectory",
                          ERROR_SHARING_VIOLATION);
    }
    {
        Fault f(&SystemCallsWin32::GetFileAttributesW, &FailAttributes, ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fu::FileExists(a)); // never throws
        EXPECT_FALSE(fu::IsWriteable(a));
    }
    EXPECT_TRUE(fu::FileExists(a));
}

TEST_F(FileUtilsFaultsWin32, IdentityFailures) {
    TempDir dir;
    const NUVString a(dir.Write("a", "1"));
    {
        Fault f(&SystemCallsWin32::CreateFileW, &FailOpen, ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::GetFileID(a); }, "CreateFile", ERROR_ACCESS_DENIED);
    }
    Fault f(&SystemCallsWin32::GetFileInformationByHandle, &FailInformation, ERROR_IO_DEVICE);
    ExpectSystemError([&] { fu::GetFileID(a); }, "GetFileInformationByHandle", ERROR_IO_DEVICE);
}

TEST_F(FileUtilsFaultsWin32, GlobSearchFailures) {
    TempDir dir;
    dir.Write("a", "");
    dir.Write("b", "");
    {
        Fault f(&SystemCallsWin32::FindFirstFileW, &FailFindFirst, ERROR_TOO_MANY_OPEN_FILES);
        testing::internal::CaptureStderr();
        ExpectSystemError([&] { Collect(dir / "*"); }, "FindFirstFile", ERROR_TOO_MANY_OPEN_FILES);
        testing::internal::GetCapturedStderr();
    }
    // A failure after the first match: "." and ".." come before it.
    Fault f(&SystemCallsWin32::FindNextFileW, &FailFindNext, ERROR_IO_DEVICE, 2);
    ExpectSystemError([&] { Collect(dir / "*"); }, "FindNextFile", ERROR_IO_DEVICE);
}
