// The file utilities over the Windows layer: each system call's failure,
// injected through the platform's call table, reported with its service and
// the system's code.
#include <FileUtilsChecks.h>
#include <SystemCallFaultsWin32.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

using NUVZubPlatform::SystemCallsWin32;

namespace {

using FileUtilsFaultsWin32 = QuietFileUtils;

} // namespace

TEST_F(FileUtilsFaultsWin32, FailureRowsThroughTheCallTable) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A"));
    {
        fault::Scoped f(&SystemCallsWin32::MoveFileExW, &fault::Move, ERROR_NOT_SAME_DEVICE);
        ExpectSystemError([&] { fu::Move(a, NUVString(dir / "b")); }, "MoveFileEx",
                          ERROR_NOT_SAME_DEVICE);
    }
    {
        fault::Scoped f(&SystemCallsWin32::CreateHardLinkW, &fault::Link, ERROR_TOO_MANY_LINKS);
        ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "b")); }, "CreateHardLink",
                          ERROR_TOO_MANY_LINKS);
    }
    {
        fault::Scoped f(&SystemCallsWin32::SetFileInformationByHandle, &fault::Delete,
                        ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::Remove(a); }, "DeleteFile", ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "*")); }, "DeleteFile",
                          ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
    }
    {
        fault::Scoped f(&SystemCallsWin32::CreateDirectoryW, &fault::MakeDir, ERROR_DISK_FULL);
        ExpectSystemError([&] { fu::MakeDir(NUVString(dir / "d")); }, "CreateDirectory",
                          ERROR_DISK_FULL);
    }
    {
        fault::Scoped f(&SystemCallsWin32::RemoveDirectoryW, &fault::RemoveDir,
                        ERROR_SHARING_VIOLATION);
        ExpectSystemError([&] { fu::RemoveDir(NUVString(dir.Path())); }, "RemoveDirectory",
                          ERROR_SHARING_VIOLATION);
    }
    {
        fault::Scoped f(&SystemCallsWin32::GetFileAttributesW, &fault::Attributes,
                        ERROR_ACCESS_DENIED);
        EXPECT_FALSE(fu::FileExists(a)); // never throws
        EXPECT_FALSE(fu::IsWriteable(a));
    }
    EXPECT_TRUE(fu::FileExists(a));
}

TEST_F(FileUtilsFaultsWin32, IdentityFailures) {
    TempDir dir;
    const NUVString a(dir.Write("a", "1"));
    {
        fault::Scoped f(&SystemCallsWin32::CreateFileW, &fault::Open, ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { fu::GetFileID(a); }, "CreateFile", ERROR_ACCESS_DENIED);
    }
    fault::Scoped f(&SystemCallsWin32::GetFileInformationByHandle, &fault::Information,
                    ERROR_IO_DEVICE);
    ExpectSystemError([&] { fu::GetFileID(a); }, "GetFileInformationByHandle", ERROR_IO_DEVICE);
}

TEST_F(FileUtilsFaultsWin32, GlobSearchFailures) {
    TempDir dir;
    dir.Write("a", "");
    dir.Write("b", "");
    {
        fault::Scoped f(&SystemCallsWin32::FindFirstFileExW, &fault::FindFirst,
                        ERROR_TOO_MANY_OPEN_FILES);
        testing::internal::CaptureStderr();
        ExpectSystemError([&] { Collect(dir / "*"); }, "FindFirstFile", ERROR_TOO_MANY_OPEN_FILES);
        testing::internal::GetCapturedStderr();
    }
    // A failure after the first match: "." and ".." come before it.
    fault::Scoped f(&SystemCallsWin32::FindNextFileW, &fault::FindNext, ERROR_IO_DEVICE, 2);
    ExpectSystemError([&] { Collect(dir / "*"); }, "FindNextFile", ERROR_IO_DEVICE);
}
