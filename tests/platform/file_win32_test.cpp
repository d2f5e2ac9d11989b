// The Windows file services: the sharing of each open mode, error codes and
// their classes, positioned and stream transfers, the lock between processes,
// identity, moves and the system's own wildcard search over UTF-16 names.
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/Handle.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <ChildProcess.h>
#include <PlatformFind.h>
#include <TempDir.h>
#include <Utf16Win32.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <cstdio>
#include <set>
#include <string>

using namespace NUVZubPlatform;

namespace {

// A second opener, as another program would be.
DWORD OpenSecond(const std::string& path, DWORD access, DWORD share) {
    const HANDLE h = CreateFileW(utf16::Widen(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    ::CloseHandle(h);
    return 0;
}

bool Exists(const std::string& path) {
    return GetFileAttributesW(utf16::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

TEST(PlatformWin32Open, EachModeSharesReadAndDeleteAndOnlyReadingSharesWrite) {
    TempDir dir;
    struct Case {
        OpenMode mode;
        const char* name;
        bool othersMayWrite;
    };
    const Case cases[] = {
        {OpenMode::Read, "read", true},
        {OpenMode::Update, "update", false},
        {OpenMode::Write, "write", false},
        {OpenMode::Append, "append", false},
        {OpenMode::CreateNew, "createnew", false},
        {OpenMode::Temporary, "temporary", false},
    };
    for (const Case& c : cases) {
        const std::string path = dir / c.name;
        if (c.mode == OpenMode::Read || c.mode == OpenMode::Update) dir.Write(c.name, "data");
        Handle h = kNoHandle;
        ASSERT_EQ(OpenFile(path.c_str(), c.mode, h), 0) << c.name;
        EXPECT_EQ(OpenSecond(path, GENERIC_READ, 0), DWORD(ERROR_SHARING_VIOLATION)) << c.name;
        EXPECT_EQ(OpenSecond(path, GENERIC_READ, kShareAll), 0u) << c.name;
        EXPECT_EQ(OpenSecond(path, GENERIC_WRITE, kShareAll),
                  c.othersMayWrite ? 0u : DWORD(ERROR_SHARING_VIOLATION))
            << c.name;
        EXPECT_EQ(OpenSecond(path, DELETE, kShareAll), 0u) << c.name;
        EXPECT_EQ(CloseFile(h), 0) << c.name;
    }
}

TEST(PlatformWin32Open, ErrorCodesAndTheirClasses) {
    TempDir dir;
    dir.Write("present", "");
    Handle h = kNoHandle;
    const int missingFile = OpenFile((dir / "absent").c_str(), OpenMode::Read, h);
    EXPECT_EQ(h, kNoHandle);
    EXPECT_TRUE(IsNotFound(missingFile));
    EXPECT_FALSE(IsPathNotFound(missingFile, (dir / "absent").c_str()));
    for (const std::string& path : {dir / "absent\\x", dir / "present\\x"}) {
        const int missingPath = OpenFile(path.c_str(), OpenMode::Write, h);
        EXPECT_TRUE(IsPathNotFound(missingPath, path.c_str())) << path << " " << missingPath;
        EXPECT_FALSE(IsNotFound(missingPath)) << path;
    }
    EXPECT_TRUE(IsAlreadyExists(OpenFile((dir / "present").c_str(), OpenMode::CreateNew, h)));
    EXPECT_EQ(OpenFile(dir.Path().c_str(), OpenMode::Read, h), ERROR_ACCESS_DENIED);
    // Bytes that are no UTF-8 never reach the system as some other name.
    EXPECT_EQ(OpenFile((dir / "bad\xff").c_str(), OpenMode::Write, h),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_FALSE(Exists(dir / "bad\xc3\xbf"));
    for (int code : {39, 112, 1295}) // handle disk full, disk full, quota exceeded
        EXPECT_TRUE(IsDiskFull(code)) << code;
    EXPECT_FALSE(IsDiskFull(ERROR_WRITE_FAULT));
}

TEST(PlatformWin32Open, LongPrefixedRelativePathIsResolvedAgainstTheWorkingDirectory) {
    TempDir dir;
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(utf16::Widen(dir.Path()).c_str()));
    // What the path functions make of a relative path of 260 characters or more.
    const std::string name = "sub\\..\\" + std::string(250, 'n');
    Handle h = kNoHandle;
    const int error = OpenFile(("\\\\?\\" + name).c_str(), OpenMode::Write, h);
    CloseFile(h);
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(Exists(dir / std::string(250, 'n')));
}

TEST(PlatformWin32Transfer, PositionedDiskTransfersAndAppendsAtTheEnd) {
    TempDir dir;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, h), 0);
    EXPECT_FALSE(IsStream(h));
    std::uint64_t done = 0;
    ASSERT_EQ(WriteAt(h, "xy", 2, 4, done), 0);
    EXPECT_EQ(done, 2u);
    char buffer[16] = {};
    ASSERT_EQ(ReadAt(h, buffer, sizeof buffer, 0, done), 0);
    EXPECT_EQ(std::string(buffer, done), std::string("\0\0\0\0xy", 6)); // the gap reads as zeros
    EXPECT_EQ(ReadAt(h, buffer, sizeof buffer, 100, done), 0);          // past the end: the end
    EXPECT_EQ(done, 0u);
    const std::uint64_t beyond = std::uint64_t(1) << 63;
    EXPECT_NE(CheckOffset(beyond), 0);
    EXPECT_EQ(CheckOffset(beyond - 1), 0);
    EXPECT_EQ(ReadAt(h, buffer, 1, beyond, done), CheckOffset(beyond));
    EXPECT_EQ(WriteAt(h, "z", 1, beyond, done), CheckOffset(beyond));
    EXPECT_EQ(SetFileLength(h, beyond), CheckOffset(beyond));
    ASSERT_EQ(SetFileLength(h, 3), 0);
    std::uint64_t length = 0;
    ASSERT_EQ(GetFileLength(h, length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(SyncFile(h), 0);
    ASSERT_EQ(CloseFile(h), 0);

    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Append, h), 0);
    ASSERT_EQ(WriteAt(h, "end", 3, 0, done), 0); // the offset does not count
    CloseFile(h);
    EXPECT_EQ(ReadWhole(dir / "f"), std::string("\0\0\0end", 6));
}

TEST(PlatformWin32Transfer, PipesAreStreamsReadInSequenceWithoutFlushWaits) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    EXPECT_TRUE(IsStream(readEnd));
    EXPECT_TRUE(IsStream(writeEnd));
    std::uint64_t done = 0;
    ASSERT_EQ(WriteNext(writeEnd, "abc", 3, done), 0);
    EXPECT_EQ(done, 3u);
    // Nobody has read yet: flushing a pipe would wait for that.
    EXPECT_EQ(SyncFile(writeEnd), 0);
    std::uint64_t length = 99;
    EXPECT_EQ(GetFileLength(writeEnd, length), 0);
    EXPECT_EQ(length, 0u);
    char buffer[8] = {};
    ASSERT_EQ(ReadNext(readEnd, buffer, sizeof buffer, done), 0);
    EXPECT_EQ(std::string(buffer, done), "abc");
    ::CloseHandle(writeEnd);
    EXPECT_EQ(ReadNext(readEnd, buffer, sizeof buffer, done), 0); // the writer gone: the end
    EXPECT_EQ(done, 0u);
    ::CloseHandle(readEnd);
}

TEST(PlatformWin32Temporary, KeepsItsNameWhileOpenAndIsGoneAfterClose) {
    TempDir dir;
    const std::string path = dir / "t.tmp";
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Temporary, h), 0);
    EXPECT_TRUE(Exists(path));
    Handle again = kNoHandle;
    EXPECT_TRUE(IsAlreadyExists(OpenFile(path.c_str(), OpenMode::Temporary, again)));
    ASSERT_EQ(CloseFile(h), 0);
    EXPECT_FALSE(Exists(path));
}

TEST(PlatformWin32Temporary, IsGoneAfterItsProcessIsTerminated) {
    SharedTempDir dir;
    const std::string path = dir / "held.tmp";
    BackgroundChild holder([&] {
        Handle h = kNoHandle;
        if (OpenFile(path.c_str(), OpenMode::Temporary, h) != 0) return 2;
        std::fputs("open\n", stderr);
        std::fflush(stderr);
        Sleep(INFINITE);
        return 0;
    });
    ASSERT_TRUE(holder.Started());
    ASSERT_EQ(holder.ReadLine(), "open");
    EXPECT_TRUE(Exists(path));
    holder.Terminate();
    EXPECT_FALSE(Exists(path));
}

TEST(PlatformWin32Lock, ExcludesAnotherProcessUntilUnlockedAndBlocksNoData) {
    SharedTempDir dir;
    const std::string path = dir / "locked";
    Handle mine = kNoHandle;
    if (!IsChildProcess()) {
        ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Write, mine), 0);
        ASSERT_EQ(LockFile(mine), 0);
    }
    BackgroundChild waiter([&] {
        Handle h = kNoHandle;
        if (OpenFile(path.c_str(), OpenMode::Read, h) != 0) return 2;
        std::fputs("waiting\n", stderr);
        std::fflush(stderr);
        if (LockFile(h) != 0) return 3;
        std::fputs("locked\n", stderr);
        std::fflush(stderr);
        return UnlockFile(h) == 0 ? 0 : 4;
    });
    ASSERT_TRUE(waiter.Started());
    ASSERT_EQ(waiter.ReadLine(), "waiting");
    EXPECT_FALSE(waiter.Ended(1000)) << "the second process got the lock while it was held";
    // The lock covers no byte of data: another handle still reads and writes.
    Handle other = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Read, other), 0);
    std::uint64_t done = 0;
    EXPECT_EQ(WriteAt(mine, "data", 4, 0, done), 0);
    char buffer[4];
    EXPECT_EQ(ReadAt(other, buffer, 4, 0, done), 0);
    EXPECT_EQ(done, 4u);
    CloseFile(other);
    ASSERT_EQ(UnlockFile(mine), 0);
    EXPECT_EQ(waiter.ReadLine(), "locked");
    EXPECT_TRUE(waiter.Ended(30000));
    EXPECT_EQ(waiter.ExitCode(), 0);
    EXPECT_NE(UnlockFile(mine), 0) << "unlocking what is not locked fails";
    CloseFile(mine);
}

TEST(PlatformWin32Lock, UnlockingWhatIsNotLockedGivesTheNotLockedCode) {
    if (UnderWine()) GTEST_SKIP() << "Wine answers 33 (lock violation) where Windows says 158";
    TempDir dir;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, h), 0);
    EXPECT_EQ(UnlockFile(h), NotLockedError());
    CloseFile(h);
}

TEST(PlatformWin32FileSystem, IdentityOfLinksDirectoriesAndExclusivelyOpenFiles) {
    TempDir dir;
    dir.Write("a", "x");
    ASSERT_EQ(MakeHardLink((dir / "a").c_str(), (dir / "b").c_str()), 0);
    EXPECT_TRUE(IsAlreadyExists(MakeHardLink((dir / "a").c_str(), (dir / "b").c_str())));
    dir.Write("c", "x");
    FileIdentity a, b, upper, c, directory, open;
    int step = -1;
    ASSERT_EQ(GetIdentity((dir / "a").c_str(), a, step), 0);
    ASSERT_EQ(GetIdentity((dir / "b").c_str(), b, step), 0);
    ASSERT_EQ(GetIdentity((dir / "A").c_str(), upper, step), 0); // names ignore case
    ASSERT_EQ(GetIdentity((dir / "c").c_str(), c, step), 0);
    ASSERT_EQ(GetIdentity(dir.Path().c_str(), directory, step), 0);
    EXPECT_TRUE(a.device == b.device && a.index == b.index);
    EXPECT_TRUE(a.device == upper.device && a.index == upper.index);
    EXPECT_FALSE(a.device == c.device && a.index == c.index);
    EXPECT_FALSE(a.index == directory.index);
    // An open without access rights passes another holder's exclusive open.
    const HANDLE exclusive = CreateFileW(utf16::Widen(dir / "c").c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetIdentity((dir / "c").c_str(), open, step), 0);
    EXPECT_TRUE(open.device == c.device && open.index == c.index);
    ASSERT_EQ(GetHandleIdentity(exclusive, open), 0);
    EXPECT_TRUE(open.device == c.device && open.index == c.index);
    ::CloseHandle(exclusive);
    EXPECT_TRUE(IsNotFound(GetIdentity((dir / "none").c_str(), open, step)));
    EXPECT_EQ(step, 0);
}

TEST(PlatformWin32FileSystem, AttributesMovesAndDirectories) {
    TempDir dir;
    dir.Write("from", "new");
    dir.Write("to", "old");
    FileAttributes attributes;
    ASSERT_EQ(GetAttributes(dir.Path().c_str(), attributes), 0);
    EXPECT_TRUE(attributes.isDirectory);
    EXPECT_FALSE(attributes.readOnly);
    ASSERT_TRUE(SetFileAttributesW(utf16::Widen(dir / "to").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_EQ(GetAttributes((dir / "to").c_str(), attributes), 0);
    EXPECT_TRUE(attributes.readOnly);
    EXPECT_EQ(RemoveFile((dir / "to").c_str()), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(SetFileAttributesW(utf16::Widen(dir / "to").c_str(), FILE_ATTRIBUTE_NORMAL));
    ASSERT_EQ(RenameFile((dir / "from").c_str(), (dir / "to").c_str()), 0); // replaces
    EXPECT_EQ(ReadWhole(dir / "to"), "new");
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "from").c_str(), attributes)));
    // Between two links of one file the source name goes, the file stays.
    ASSERT_EQ(MakeHardLink((dir / "to").c_str(), (dir / "link").c_str()), 0);
    ASSERT_EQ(RenameFile((dir / "link").c_str(), (dir / "to").c_str()), 0);
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "link").c_str(), attributes)));
    EXPECT_EQ(ReadWhole(dir / "to"), "new");
    // Another form of the same name is the same entry: the file stays.
    ASSERT_EQ(RenameFile((dir / "to").c_str(), (dir / "TO").c_str()), 0);
    EXPECT_EQ(ReadWhole(dir / "to"), "new");
    ASSERT_EQ(RenameFile((dir / "to").c_str(), (dir / ".\\to").c_str()), 0);
    EXPECT_EQ(ReadWhole(dir / "to"), "new");
    ASSERT_EQ(MakeDirectory((dir / "d").c_str()), 0);
    EXPECT_TRUE(IsAlreadyExists(MakeDirectory((dir / "d").c_str())));
    dir.Write("d\\inside", "");
    EXPECT_EQ(RemoveDirectory((dir / "d").c_str()), ERROR_DIR_NOT_EMPTY);
    ASSERT_EQ(RemoveFile((dir / "d\\inside").c_str()), 0);
    EXPECT_EQ(RemoveDirectory((dir / "d").c_str()), 0);
    EXPECT_TRUE(IsPathNotFound(MakeDirectory((dir / "x\\y").c_str()), ""));
}

TEST(PlatformWin32FileSystem, FullPathFoldsAgainstTheWorkingDirectory) {
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::string out;
    ASSERT_EQ(FullPath("x\\..\\y\\.\\z", out), 0);
    std::string expected = utf16::Narrow(cwd);
    if (expected.back() != '\\') expected += '\\';
    EXPECT_EQ(out, expected + "y\\z");
    ASSERT_EQ(FullPath("C:\\a\\..\\b", out), 0);
    EXPECT_EQ(out, "C:\\b");
}

TEST(PlatformWin32Find, TheSystemMatchesIgnoringCaseAndNamesComeBackAsUtf8) {
    TempDir dir;
    for (const char* name : {"a.TXT", "b.txt", "c.dat", "\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"})
        dir.Write(name, "");
    EXPECT_EQ(Find(dir / "*.txt"), (std::set<std::string>{"a.TXT", "b.txt"}));
    // "é", and "𝄞" beyond 16 bits (a surrogate pair in UTF-16).
    EXPECT_EQ(Find(dir / "*.x"), (std::set<std::string>{"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}));
    EXPECT_EQ(Find(dir / "*").count(".."), 1u);
    int result = 0;
    EXPECT_TRUE(Find(dir / "*.none", &result).empty());
    EXPECT_EQ(result, kNoMatch);
    Find(dir / "missing\\*", &result);
    EXPECT_TRUE(IsPathNotFound(result, ""));
}

TEST(PlatformWin32Find, ANameWithAnUnpairedSurrogateComesBackAndOpens) {
    TempDir dir;
    const std::wstring lone = utf16::Widen(dir.Path()) + L"\\s\xD800.x";
    const HANDLE h = CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP()
            << "this file system stores no unpaired surrogate (Wine keeps names in UTF-8), "
               "error "
            << GetLastError();
    ::CloseHandle(h);
    // The surrogate travels encoded like any other code point.
    const std::set<std::string> found = Find(dir / "*.x");
    ASSERT_EQ(found, (std::set<std::string>{"s\xed\xa0\x80.x"}));
    Handle file = kNoHandle;
    EXPECT_EQ(OpenFile((dir / *found.begin()).c_str(), OpenMode::Read, file), 0);
    CloseFile(file);
}

TEST(PlatformWin32Find, AFailedStepIsReportedNotTakenForTheEnd) {
    TempDir dir;
    dir.Write("a", "");
    SystemCallsWin32 calls = GetWin32Calls();
    calls.FindNextFileW = [](HANDLE, LPWIN32_FIND_DATAW) -> BOOL {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
    };
    SetWin32Calls(calls);
    int result = 0;
    Find(dir / "*", &result);
    ResetWin32Calls();
    EXPECT_EQ(result, ERROR_NETNAME_DELETED);
}
