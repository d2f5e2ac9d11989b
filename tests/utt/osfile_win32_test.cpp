// The OS file under Windows' own rules: temporary files, named pipes, the
// lock, and names that differ in case.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <ChildProcess.h>
#include <TempDir.h>
#include <Utf16Win32.h>
#include <WindowsRules.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

struct OSFileWin32 : ::testing::Test {
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
};

TEST_F(OSFileWin32, TemporaryFileIsGoneAfterItsProcessIsTerminated) {
    SharedTempDir dir;
    BackgroundChild holder([&] {
        NUVZubUttOSFile file;
        file.CreateTemporary(NUVString(dir.Path()));
        file.WriteAll("kept until the end", 18);
        std::fprintf(stderr, "%s\n", file.Name().CastToCharPtr());
        std::fflush(stderr);
        Sleep(INFINITE);
        return 0;
    });
    ASSERT_TRUE(holder.Started());
    const std::string name = holder.ReadLine();
    ASSERT_EQ(name, dir.Path() + "\\ZubTemp.1.tmp");
    EXPECT_TRUE(NUVZubUttFileUtils::FileExists(NUVString(name)));
    holder.Terminate();
    EXPECT_FALSE(NUVZubUttFileUtils::FileExists(NUVString(name)));
}

TEST_F(OSFileWin32, NamedPipesAndDevicesAreStreams) {
    const std::wstring name =
        L"\\\\.\\pipe\\nuvzub_osfile_" + std::to_wstring(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    NUVZubUttOSFile pipe;
    pipe.OpenUpdate(NUVString(utf16::Narrow(name)));
    pipe.WriteAll("hello", 5);
    pipe.Flush(); // a pipe's flush would wait for the reader; streams have none
    char buffer[8] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(server, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "hello");
    ASSERT_TRUE(WriteFile(server, "back", 4, &n, nullptr));
    {
        const rules::Scoped windows; // no stored bytes, though Windows may answer the count queued
        EXPECT_EQ(pipe.FileSize(), 0u);
    }
    EXPECT_EQ(pipe.Read(buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "back");
    EXPECT_EQ(pipe.Position(), 9u);
    ::CloseHandle(server);
    EXPECT_EQ(pipe.Read(buffer, 4), 0u) << "the other end gone: the end";

    NUVZubUttOSFile device;
    device.OpenWrite("NUL");
    device.WriteAll("discarded", 9);
    device.Flush();
    EXPECT_EQ(device.FileSize(), 0u);
}

// The lock is one byte beyond any data, as Windows' locks are mandatory: one
// over data would fail others' reads there. It excludes every other handle (of
// any process) until unlocked. A second Lock of one object would wait for the
// lock the object itself holds; it returns at once, and one Unlock frees it.
TEST_F(OSFileWin32, LockExcludesOtherHandlesCoversNoDataAndTwiceNeedsOneUnlock) {
    SharedTempDir dir;
    const std::string path = dir / "locked";
    NUVZubUttOSFile mine;
    HANDLE other = INVALID_HANDLE_VALUE;
    OVERLAPPED below = {}, lockByte = {};
    lockByte.Offset = 0xFFFFFFFE;
    lockByte.OffsetHigh = 0x7FFFFFFF;
    const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    if (!IsChildProcess()) {
        mine.OpenWrite(NUVString(path));
        ASSERT_TRUE(mine.Lock());
        auto again = std::async(std::launch::async, [&mine] { return mine.Lock(); });
        if (again.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            std::fputs("the second Lock waits for the first\n", stderr);
            std::_Exit(1); // the waiting thread holds the file: nothing can be cleaned up
        }
        ASSERT_TRUE(again.get());
        other = CreateFileW(utf16::Widen(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(LockFileEx(other, now, 0, 0xFFFFFFFE, 0x7FFFFFFF, &below)) << GetLastError();
        EXPECT_TRUE(UnlockFile(other, 0, 0, 0xFFFFFFFE, 0x7FFFFFFF));
        EXPECT_FALSE(LockFileEx(other, now, 0, 1, 0, &lockByte));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_LOCK_VIOLATION));
    }
    // The library's own Lock in another process waits until the one Unlock.
    BackgroundChild waiter([&] {
        NUVZubUttOSFile file;
        file.OpenRead(NUVString(path));
        std::fputs("waiting\n", stderr);
        std::fflush(stderr);
        if (!file.Lock()) return 2;
        file.Unlock();
        return 0;
    });
    ASSERT_TRUE(waiter.Started());
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    EXPECT_FALSE(waiter.Ended(1000)) << "the second process got the lock while it was held";
    mine.Unlock();
    EXPECT_TRUE(waiter.Ended(30000));
    EXPECT_EQ(waiter.ExitCode(), 0);
    EXPECT_TRUE(LockFileEx(other, now, 0, 1, 0, &lockByte)) << "still locked: " << GetLastError();
    CloseHandle(other);
}

// Another program's file whose extension differs only in case is matched by
// the search (Windows ignores case) but is not one of the generated names.
TEST_F(OSFileWin32, NamesDifferingInTheCaseOfTheirExtensionAreSkipped) {
    TempDir dir;
    dir.Write("data.3.DAT", "");
    dir.Write("data.1.dat", "");
    NUVZubUttOSFile generated;
    generated.CreateGenerated(NUVString(dir / "data"), ".dat", false);
    EXPECT_EQ(generated.Name().Str(), dir / "data.2.dat");
    dir.Write("ZubTemp.1.TMP", "");
    NUVZubUttOSFile temporary;
    temporary.CreateTemporary(NUVString(dir.Path()));
    // ZubTemp.1.tmp is ZubTemp.1.TMP on this file system: the create skips it.
    EXPECT_EQ(temporary.Name().Str(), dir.Path() + "\\ZubTemp.2.tmp");
}

// Append access alone would leave Lock and Truncate refused on Windows; and a
// hidden or system file would refuse the overwrite of OpenWrite and Copy.
// Wine has neither rule: they stand in front of its calls here.
TEST_F(OSFileWin32, AppendLocksAndTruncatesAndWriteOverwritesHiddenAndSystemFiles) {
    TempDir dir;
    const rules::Scoped windows;
    const std::string log = dir.Write("log", "0123456789");
    NUVZubUttOSFile append;
    append.OpenAppend(NUVString(log));
    EXPECT_TRUE(append.Lock());
    append.Truncate(4);
    append.WriteAll("ab", 2);
    append.Seek(0);
    append.WriteAll("cd", 2); // the position does not count
    append.Unlock();
    append.Close();
    EXPECT_EQ(ReadWhole(log), "0123abcd");

    const std::string from = dir.Write("from", "copied");
    for (DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        const std::string written = dir.Write("w" + std::to_string(attribute), "old contents");
        const std::string copied = dir.Write("c" + std::to_string(attribute), "old contents");
        for (const std::string& path : {written, copied})
            ASSERT_TRUE(SetFileAttributesW(utf16::Widen(path).c_str(), attribute));
        NUVZubUttOSFile file;
        file.OpenWrite(NUVString(written));
        file.WriteAll("new", 3);
        file.Close();
        NUVZubUttFileUtils::Copy(NUVString(from), NUVString(copied));
        EXPECT_EQ(ReadWhole(written), "new") << attribute;
        EXPECT_EQ(ReadWhole(copied), "copied") << attribute;
        for (const std::string& path : {written, copied}) // kept, not cleared to overwrite
            EXPECT_NE(GetFileAttributesW(utf16::Widen(path).c_str()) & attribute, 0u) << path;
    }
}
