// The OS file over the Windows layer when a system call fails: each failure,
// injected through the platform's call table, becomes the file's own exception
// with the system's code, and the file stays usable. The disk-full codes of
// the write-type calls are in osfile_win32_test.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <SystemCallFaultsWin32.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <string>

using NUVZubPlatform::SystemCallsWin32;

namespace {

struct OSFileFaultsWin32 : ::testing::Test {
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
    TempDir dir;
};

template <class E, class F> E Catch(F body) {
    try {
        body();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "expected exception not thrown";
    throw std::runtime_error("no exception");
}

template <class F> void ExpectSystemError(F body, const char* service, DWORD code) {
    const auto e = Catch<NUVZubExcSystemError>(body);
    EXPECT_STREQ(e.GetServiceName().AsString(), service);
    EXPECT_EQ(e.GetSystemErrorCode().GetCode(), int(code));
}

} // namespace

TEST_F(OSFileFaultsWin32, TransferFailures) {
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(dir / "t"));
    file.WriteAll("abc", 3);
    char buffer[3];
    {
        fault::Scoped f(&SystemCallsWin32::ReadFile, &fault::Read, ERROR_IO_DEVICE);
        const auto e = Catch<NUVZubExcReadError>([&] { file.ReadAtomic(0, buffer, 3); });
        EXPECT_EQ(e.GetSystemErrorCode().GetCode(), ERROR_IO_DEVICE);
    }
    {
        fault::Scoped f(&SystemCallsWin32::WriteFile, &fault::Write, ERROR_IO_DEVICE);
        const auto e = Catch<NUVZubExcWriteError>([&] { file.WriteAtomic(0, "x", 1); });
        EXPECT_EQ(e.GetSystemErrorCode().GetCode(), ERROR_IO_DEVICE);
    }
    {
        fault::Scoped f(&SystemCallsWin32::WriteFile, &fault::WriteNothing, 0);
        Catch<NUVZubExcShortWrite>([&] { file.WriteAll("x", 1); });
    }
    // After the failures the mutex is free again and the file intact.
    EXPECT_EQ(file.ReadAtomic(0, buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST_F(OSFileFaultsWin32, FlushTruncateSizeCloseAndLockFailures) {
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(dir / "t"));
    {
        fault::Scoped f(&SystemCallsWin32::FlushFileBuffers, &fault::Flush, ERROR_IO_DEVICE);
        ExpectSystemError([&] { file.Flush(); }, "FlushFileBuffers", ERROR_IO_DEVICE);
    }
    {
        fault::Scoped f(&SystemCallsWin32::SetEndOfFile, &fault::SetEnd, ERROR_ACCESS_DENIED);
        ExpectSystemError([&] { file.Truncate(10); }, "SetEndOfFile", ERROR_ACCESS_DENIED);
    }
    {
        fault::Scoped f(&SystemCallsWin32::GetFileSizeEx, &fault::Size, ERROR_IO_DEVICE);
        ExpectSystemError([&] { file.FileSize(); }, "GetFileSize", ERROR_IO_DEVICE);
    }
    {
        fault::Scoped f(&SystemCallsWin32::LockFileEx, &fault::Lock, ERROR_NOT_ENOUGH_MEMORY);
        ExpectSystemError([&] { file.Lock(); }, "LockFileEx", ERROR_NOT_ENOUGH_MEMORY);
    }
    ASSERT_TRUE(file.Lock());
    {
        fault::Scoped f(&SystemCallsWin32::UnlockFile, &fault::Unlock, ERROR_IO_DEVICE);
        ExpectSystemError([&] { file.Unlock(); }, "UnlockFile", ERROR_IO_DEVICE);
    }
    fault::Scoped f(&SystemCallsWin32::CloseHandle, &fault::Close, ERROR_IO_DEVICE);
    const auto e = Catch<NUVZubExcFileCloseFailed>([&] { file.Close(); });
    EXPECT_EQ(e.GetSystemErrorCode().GetCode(), ERROR_IO_DEVICE);
    EXPECT_FALSE(file.IsOpen()); // the handle is gone either way
}

TEST_F(OSFileFaultsWin32, OpenFailuresInEveryMode) {
    dir.Write("e", "");
    NUVZubUttOSFile file;
    const NUVString path(dir / "e");
    fault::Scoped f(&SystemCallsWin32::CreateFileW, &fault::Open, ERROR_TOO_MANY_OPEN_FILES);
    for (void (NUVZubUttOSFile::*open)(const NUVString&) :
         {&NUVZubUttOSFile::OpenRead, &NUVZubUttOSFile::OpenUpdate, &NUVZubUttOSFile::OpenWrite,
          &NUVZubUttOSFile::OpenAppend})
        ExpectSystemError([&] { (file.*open)(path); }, "CreateFile", ERROR_TOO_MANY_OPEN_FILES);
    EXPECT_FALSE(file.IsOpen());
}

TEST_F(OSFileFaultsWin32, GeneratedNameTakenMeanwhileIsSkipped) {
    NUVZubUttOSFile file;
    {
        fault::Scoped f(&SystemCallsWin32::CreateFileW, &fault::CreateNew, ERROR_FILE_EXISTS, 0, 2);
        file.CreateGenerated(NUVString(dir / "g"), ".dat", false);
    }
    EXPECT_EQ(file.Name().Str(), dir / "g.3.dat");
    NUVZubUttOSFile other;
    {
        fault::Scoped f(&SystemCallsWin32::CreateFileW, &fault::CreateNew, ERROR_FILE_NOT_FOUND);
        const auto e = Catch<NUVZubExcNoSuchFile>(
            [&] { other.CreateGenerated(NUVString(dir / "g"), ".dat", false); });
        EXPECT_EQ(std::string(e.GetFile_name().AsString()), dir / "g.4.dat");
    }
    // At most a few retries: a code taken for "exists" would show as a later name.
    fault::Scoped f(&SystemCallsWin32::CreateFileW, &fault::CreateNew, ERROR_ACCESS_DENIED, 0, 5);
    ExpectSystemError([&] { other.CreateGenerated(NUVString(dir / "g"), ".dat", false); },
                      "CreateFile", ERROR_ACCESS_DENIED);
}

TEST_F(OSFileFaultsWin32, CopyReportsTheDestinationsCloseFailure) {
    const NUVString from(dir.Write("from", "some bytes"));
    {
        // The destination's close is the first close of the copy.
        fault::Scoped f(&SystemCallsWin32::CloseHandle, &fault::Close, ERROR_IO_DEVICE, 0, 1);
        const auto e = Catch<NUVZubExcFileCloseFailed>(
            [&] { NUVZubUttFileUtils::Copy(from, NUVString(dir / "to")); });
        EXPECT_EQ(e.GetSystemErrorCode().GetCode(), ERROR_IO_DEVICE);
    }
    fault::Scoped f(&SystemCallsWin32::CloseHandle, &fault::Close, ERROR_DISK_FULL, 0, 1);
    Catch<NUVZubExcDiskFull>([&] { NUVZubUttFileUtils::Copy(from, NUVString(dir / "to2")); });
}
