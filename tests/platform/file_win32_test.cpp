// The Windows file services: the sharing of each open mode, error codes and
// their classes, paths at every length, positioned and stream transfers, the
// lock between processes, identity, moves, removal, and the library's own
// matching over the system's listing of UTF-16 names.
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/Handle.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <ChildProcess.h>
#include <PlatformFind.h>
#include <TempDir.h>
#include <Utf16Win32.h>
#include <WindowsRules.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <aclapi.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

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

namespace {

// Every path the system receives, to check it against a limit Wine lacks.
SystemCallsWin32 g_real = GetWin32Calls();
std::vector<std::wstring> g_paths;
HANDLE WINAPI RecordOpen(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                         HANDLE t) {
    g_paths.push_back(p);
    return g_real.CreateFileW(p, a, s, sa, d, f, t);
}

// A directory whose path is far beyond MAX_PATH, in components the system takes.
std::string LongDirectory(const TempDir& dir) {
    std::string path = dir.Path();
    for (char c : {'a', 'b'}) {
        path += "\\" + std::string(150, c);
        CreateDirectoryW((L"\\\\?\\" + utf16::Widen(path)).c_str(), nullptr);
    }
    return path;
}

} // namespace

// What the system's short and long forms would make two files of: a name
// with a final dot or space is the name without it, at any length.
TEST(PlatformWin32Paths, ANameMeansOneFileAtEveryLength) {
    TempDir dir;
    const std::string longDir = LongDirectory(dir);
    ASSERT_GE(longDir.size(), 300u);
    for (const std::string& where : {dir.Path(), longDir}) {
        for (const char* name : {"dot.", "space ", "both. "}) {
            SCOPED_TRACE(where.size());
            std::string given = where + "\\" + name;
            if (given.size() >= MAX_PATH) given = "\\\\?\\" + given; // as FixPathForOS gives it
            Handle h = kNoHandle;
            ASSERT_EQ(OpenFile(given.c_str(), OpenMode::CreateNew, h), 0) << name;
            CloseFile(h);
            std::string plain = name;
            while (plain.back() == '.' || plain.back() == ' ')
                plain.pop_back();
            const std::set<std::string> found = Find(where + "\\" + plain + "*");
            EXPECT_EQ(found, (std::set<std::string>{plain})) << name;
            ASSERT_EQ(RemoveFile(given.c_str()), 0) << name;
        }
    }
}

// A device name is the device wherever the path puts it, or a file wherever:
// the same at both lengths.
TEST(PlatformWin32Paths, ADeviceNameMeansTheSameAtEveryLength) {
    TempDir dir;
    const std::string longDir = LongDirectory(dir);
    std::vector<bool> files;
    for (const std::string& where : {dir.Path(), longDir}) {
        std::string given = where + "\\NUL";
        if (given.size() >= MAX_PATH) given = "\\\\?\\" + given;
        Handle h = kNoHandle;
        ASSERT_EQ(OpenFile(given.c_str(), OpenMode::Write, h), 0);
        std::uint64_t done = 0;
        EXPECT_EQ(WriteNext(h, "x", 1, done), 0);
        CloseFile(h);
        files.push_back(Find(where + "\\*").count("NUL") == 1);
    }
    EXPECT_EQ(files[0], files[1]) << "NUL is a file at one length and the device at the other";
}

// The long-path prefix makes the system take "." and ".." literally: they are
// folded first, and every path gets the prefix from MAX_PATH on, a relative
// one too (Wine needs none; Windows refuses such paths without it).
TEST(PlatformWin32Paths, LongPathsAreFoldedAndPrefixedRelativeOnesToo) {
    TempDir dir;
    const std::string longDir = LongDirectory(dir);
    const std::string dotted = "\\\\?\\" + longDir + "\\..\\" + std::string(150, 'b') + "\\.\\f";
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile(dotted.c_str(), OpenMode::Write, h), 0);
    CloseFile(h);
    EXPECT_EQ(Find(longDir + "\\f*"), (std::set<std::string>{"f"}));

    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(utf16::Widen(dir.Path()).c_str()));
    const std::string relative = std::string(150, 'a') + "\\..\\" + std::string(150, 'a') + "\\r";
    SystemCallsWin32 calls = GetWin32Calls();
    calls.CreateFileW = RecordOpen;
    g_paths.clear();
    SetWin32Calls(calls);
    const int error = OpenFile(relative.c_str(), OpenMode::Write, h);
    ResetWin32Calls();
    CloseFile(h);
    SetCurrentDirectoryW(saved);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(g_paths.size(), 1u);
    EXPECT_EQ(g_paths[0], L"\\\\?\\" + utf16::Widen(dir / std::string(150, 'a') + "\\r"));
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
    ASSERT_EQ(WriteAt(h, "end", 3, kAtEnd, done), 0);
    CloseFile(h);
    EXPECT_EQ(ReadWhole(dir / "f"), std::string("\0\0\0end", 6));
}

// Append access alone would leave the lock and the length out of reach on
// Windows (Wine grants both to any handle: its rules stand in here).
TEST(PlatformWin32Transfer, AnAppendFileTakesTheLockAndANewLengthAndStillAppends) {
    TempDir dir;
    dir.Write("log", "0123456789");
    const rules::Scoped windows;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "log").c_str(), OpenMode::Append, h), 0);
    EXPECT_EQ(LockFile(h), 0);
    EXPECT_EQ(UnlockFile(h), 0);
    EXPECT_EQ(SetFileLength(h, 4), 0);
    std::uint64_t done = 0;
    ASSERT_EQ(WriteAt(h, "ab", 2, kAtEnd, done), 0);
    ASSERT_EQ(WriteAt(h, "cd", 2, kAtEnd, done), 0);
    CloseFile(h);
    EXPECT_EQ(ReadWhole(dir / "log"), "0123abcd");
}

// CREATE_ALWAYS would fail on a hidden or system file (Windows' rule stands
// in for Wine, which has no such rule).
TEST(PlatformWin32Open, WriteEmptiesHiddenAndSystemFilesAndKeepsTheirAttributes) {
    TempDir dir;
    const rules::Scoped windows;
    for (DWORD attribute : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM}) {
        const std::string path = dir.Write("f" + std::to_string(attribute), "old contents");
        ASSERT_TRUE(SetFileAttributesW(utf16::Widen(path).c_str(), attribute));
        Handle h = kNoHandle;
        ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Write, h), 0) << attribute;
        std::uint64_t done = 0;
        EXPECT_EQ(WriteAt(h, "new", 3, 0, done), 0);
        CloseFile(h);
        EXPECT_EQ(ReadWhole(path), "new") << attribute;
        EXPECT_NE(GetFileAttributesW(utf16::Widen(path).c_str()) & attribute, 0u) << attribute;
    }
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
    // Streams hold no stored bytes, whatever is queued: Windows may answer a
    // size query on the read end with the queued count (its rule stands in).
    for (HANDLE end : {readEnd, writeEnd}) {
        const rules::Scoped windows;
        std::uint64_t length = 99;
        EXPECT_EQ(GetFileLength(end, length), 0);
        EXPECT_EQ(length, 0u);
    }
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

namespace {

// The calling user's SID.
std::vector<unsigned char> CurrentUser() {
    std::vector<unsigned char> user(512);
    HANDLE token = nullptr;
    DWORD size = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        if (!GetTokenInformation(token, TokenUser, user.data(), DWORD(user.size()), &size))
            user.clear();
        ::CloseHandle(token);
    }
    return user;
}

// Empty when `descriptor` grants every right to the calling user alone and
// takes nothing from the folder; else what is wrong with it.
std::string OwnerOnly(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return "no descriptor: the folder's access list is inherited";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl)
        return "no access list";
    if ((control & SE_DACL_PROTECTED) == 0) return "the folder's entries are inherited";
    if (acl->AceCount != 1) return std::to_string(acl->AceCount) + " entries";
    void* entry = nullptr;
    if (!GetAce(acl, 0, &entry)) return "unreadable entry";
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return "not an allowing entry";
    const std::vector<unsigned char> user = CurrentUser();
    if (user.empty() || !EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                                  reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid))
        return "granted to someone else";
    if ((allowed->Mask & FILE_ALL_ACCESS) != FILE_ALL_ACCESS) return "not every right";
    return "";
}

std::vector<std::string> g_descriptors; // OwnerOnly's verdict on each create
HANDLE WINAPI CheckCreate(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                          HANDLE t) {
    g_descriptors.push_back(OwnerOnly(sa ? sa->lpSecurityDescriptor : nullptr));
    return g_real.CreateFileW(p, a, s, sa, d, f, t);
}
NTSTATUS NTAPI CheckNativeCreate(PHANDLE h, ACCESS_MASK a, POBJECT_ATTRIBUTES o,
                                 PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                                 ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                 ULONG eaLength) {
    g_descriptors.push_back(OwnerOnly(o->SecurityDescriptor));
    return g_real.NtCreateFile(h, a, o, io, size, attributes, share, disposition, options, ea,
                               eaLength);
}

} // namespace

// Owner-only, as POSIX's mode 0600: a temporary file must not take the
// folder's access list (readable by every user under C:\temp). Checked here:
// the descriptor each create hands the system.
TEST(PlatformWin32Temporary, IsCreatedForTheCallingUserAlone) {
    TempDir dir;
    SystemCallsWin32 calls = g_real = GetWin32Calls();
    calls.CreateFileW = CheckCreate;
    calls.NtCreateFile = CheckNativeCreate;
    g_descriptors.clear();
    SetWin32Calls(calls);
    Handle opened = kNoHandle, pinnedFile = kNoHandle;
    const int openError = OpenFile((dir / "open.tmp").c_str(), OpenMode::Temporary, opened);
    PinnedName* pinned = nullptr;
    const int pinError = PinName((dir / "pinned.tmp").c_str(), pinned);
    const int pinnedError = pinned ? OpenPinned(pinned, OpenMode::Temporary, pinnedFile) : -1;
    ResetWin32Calls();
    EXPECT_EQ(openError, 0);
    EXPECT_EQ(pinError, 0);
    EXPECT_EQ(pinnedError, 0);
    // OpenFile's create, the pin's directory, OpenPinned's create.
    ASSERT_EQ(g_descriptors.size(), 3u);
    EXPECT_EQ(g_descriptors[0], "") << "OpenFile";
    EXPECT_EQ(g_descriptors[2], "") << "OpenPinned";
    CloseFile(opened);
    CloseFile(pinnedFile);
    UnpinName(pinned);
}

// What the file system kept of that descriptor.
TEST(PlatformWin32Temporary, KeepsItsOwnerOnlyDescriptor) {
    if (UnderWine())
        GTEST_SKIP() << "Wine keeps no descriptor of a file: it turns one into mode bits and "
                        "shows others, so only the descriptor handed over can be checked there";
    TempDir dir;
    Handle opened = kNoHandle, pinnedFile = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "open.tmp").c_str(), OpenMode::Temporary, opened), 0);
    PinnedName* pinned = nullptr;
    ASSERT_EQ(PinName((dir / "pinned.tmp").c_str(), pinned), 0);
    EXPECT_EQ(OpenPinned(pinned, OpenMode::Temporary, pinnedFile), 0);
    for (Handle h : {opened, pinnedFile}) {
        PSECURITY_DESCRIPTOR kept = nullptr;
        ASSERT_EQ(GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                  nullptr, nullptr, &kept),
                  DWORD(ERROR_SUCCESS));
        EXPECT_EQ(OwnerOnly(kept), "");
        LocalFree(kept);
    }
    CloseFile(opened);
    CloseFile(pinnedFile);
    UnpinName(pinned);
}

TEST(PlatformWin32Lock, ExcludesAnotherProcessUntilUnlockedAndCoversNoData) {
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
    // The lock covers no byte of data: another handle locks every byte below
    // the lock's own at once, and that one byte not. (Whether reads and writes
    // pass is another question: AnotherProcessReadsWhileLocked.)
    Handle other = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Read, other), 0);
    OVERLAPPED start = {};
    const DWORD now = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
    EXPECT_TRUE(::LockFileEx(other, now, 0, 0xFFFFFFFE, 0x7FFFFFFF, &start)) << GetLastError();
    EXPECT_TRUE(::UnlockFile(other, 0, 0, 0xFFFFFFFE, 0x7FFFFFFF));
    OVERLAPPED lockByte = {};
    lockByte.Offset = 0xFFFFFFFE;
    lockByte.OffsetHigh = 0x7FFFFFFF;
    EXPECT_FALSE(::LockFileEx(other, now, 0, 1, 0, &lockByte));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_LOCK_VIOLATION));
    CloseFile(other);
    ASSERT_EQ(UnlockFile(mine), 0);
    EXPECT_EQ(waiter.ReadLine(), "locked");
    EXPECT_TRUE(waiter.Ended(30000));
    EXPECT_EQ(waiter.ExitCode(), 0);
    EXPECT_NE(UnlockFile(mine), 0) << "unlocking what is not locked fails";
    CloseFile(mine);
}

// Windows' byte-range locks are mandatory: a lock over data would make other
// handles' reads there fail. (Writes by others the holder's sharing refuses.)
TEST(PlatformWin32Lock, AnotherProcessReadsWhileLocked) {
    if (UnderWine())
        GTEST_SKIP() << "Wine's locks are advisory: reads and writes pass whatever is locked, "
                        "so this shows nothing there";
    SharedTempDir dir;
    const std::string path = dir / "locked";
    Handle mine = kNoHandle;
    if (!IsChildProcess()) {
        ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Write, mine), 0);
        std::uint64_t done = 0;
        ASSERT_EQ(WriteAt(mine, "0123456789", 10, 0, done), 0);
        ASSERT_EQ(LockFile(mine), 0);
    }
    const ChildResult r = RunInChild([&] {
        Handle h = kNoHandle;
        if (OpenFile(path.c_str(), OpenMode::Read, h) != 0) return 2;
        char buffer[10];
        std::uint64_t done = 0;
        return ReadAt(h, buffer, 10, 0, done) == 0 && done == 10 ? 0 : 3;
    });
    EXPECT_EQ(r.exitCode, 0);
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
    // Any length, the long-path form folded too, the result without a prefix.
    const std::string deep = "C:\\" + std::string(200, 'd') + "\\" + std::string(200, 'e');
    for (const std::string& given : {deep + "\\..\\f", "\\\\?\\" + deep + "\\..\\f"}) {
        ASSERT_EQ(FullPath(given.c_str(), out), 0) << given;
        EXPECT_EQ(out, "C:\\" + std::string(200, 'd') + "\\f");
    }
}

// The system also matches the 8.3 short names ("*.htm" would find page.html
// as PAGE~1.HTM) and has its own rules; every name it lists passes the
// library's matching of the long name, ignoring case as the file system does.
TEST(PlatformWin32Find, MatchesTheLongNamesOnlyIgnoringCase) {
    TempDir dir;
    const char* names[] = {"page.html",
                           "x.htm",
                           "notes.txt~",
                           "keep.txt1",
                           "a.TXT",
                           "b.txt",
                           "noext",
                           "abc",
                           ".hidden",
                           "two.dots.txt",
                           "\xc3\x9cn\xc3\xaf.Txt"}; // "Ünï.Txt"
    for (const char* name : names)
        dir.Write(name, "");
    // The short name the system gave page.html, if this volume makes them.
    wchar_t shortPath[MAX_PATH] = {};
    GetShortPathNameW(utf16::Widen(dir / "page.html").c_str(), shortPath, MAX_PATH);
    std::string shortName = utf16::Narrow(shortPath);
    shortName = shortName.substr(shortName.find_last_of('\\') + 1);
    std::set<std::string> all{".", ".."};
    for (const char* name : names)
        all.insert(name);
    struct Case {
        std::string pattern;
        std::set<std::string> matches;
    };
    const Case cases[] = {
        {"*.htm", {"x.htm"}},
        {"*.txt", {"a.TXT", "b.txt", "two.dots.txt", "\xc3\x9cn\xc3\xaf.Txt"}},
        {"*.TXT", {"a.TXT", "b.txt", "two.dots.txt", "\xc3\x9cn\xc3\xaf.Txt"}},
        {"?.txt", {"a.TXT", "b.txt"}},
        {"\xc3\xbcN\xc3\x8f.txt", {"\xc3\x9cn\xc3\xaf.Txt"}}, // "üNÏ.txt": beyond ASCII too
        {"N*", {"noext", "notes.txt~"}},
        {"*.*", all},
        {"*.", {"noext", "abc"}},
        {"a*.", {"abc"}},
        {"*.txt~", {"notes.txt~"}},
        {"page.htm", {}},
        {shortName,
         shortName == "page.html" ? std::set<std::string>{"page.html"} : std::set<std::string>{}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Find(dir / c.pattern), c.matches) << c.pattern;
    int result = 0;
    EXPECT_TRUE(Find(dir / "*.none", &result).empty());
    EXPECT_EQ(result, kNoMatch);
    Find(dir / "missing\\*", &result);
    EXPECT_TRUE(IsPathNotFound(result, ""));
}

TEST(PlatformWin32Find, NamesComeBackAsUtf8) {
    TempDir dir;
    for (const char* name : {"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x", "plain.y"})
        dir.Write(name, "");
    // "é", and "𝄞" beyond 16 bits (a surrogate pair in UTF-16), one character each.
    EXPECT_EQ(Find(dir / "*.x"), (std::set<std::string>{"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}));
    EXPECT_EQ(Find(dir / "?.x"), (std::set<std::string>{"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}));
    EXPECT_EQ(Find(dir / "*").count(".."), 1u);
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

// ---- removal ----

namespace {

// A system without POSIX-semantics deletion (before Windows 10 1709, FAT,
// some shares, Wine): the removals move the file aside first.
BOOL WINAPI NoPosixDeletion(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind == 21) { // FileDispositionInfoEx
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return g_real.SetFileInformationByHandle(h, kind, info, size);
}

// The three ways a name goes: by path, as found by a search, as pinned.
int RemoveBy(int way, const TempDir& dir, const std::string& name) {
    const std::string path = dir / name;
    if (way == 0) return RemoveFile(path.c_str());
    if (way == 1) {
        DirectorySearch* search = nullptr;
        const char* found = nullptr;
        int error = FindFirst(path.c_str(), search, found);
        if (error == 0) error = RemoveFound(search, found);
        EndFind(search);
        return error;
    }
    PinnedName* pinned = nullptr;
    int error = PinName(path.c_str(), pinned);
    Handle h = kNoHandle;
    if (error == 0) error = OpenPinned(pinned, OpenMode::Update, h);
    if (error == 0) error = RemovePinned(pinned, h);
    CloseFile(h);
    UnpinName(pinned);
    return error;
}

} // namespace

// A deleted name stays taken on Windows ("delete pending": a create there
// fails with access denied) until the last handle of the file closes. Each
// removal frees it at once, with POSIX semantics or without.
TEST(PlatformWin32Remove, TheNameIsFreeAtOnceWhileTheFileIsStillOpen) {
    for (bool posix : {true, false}) {
        for (int way = 0; way < 3; ++way) {
            SCOPED_TRACE(std::string(posix ? "as the system has it" : "no POSIX semantics") +
                         ", way " + std::to_string(way));
            TempDir dir;
            const std::string path = dir.Write("name", "old");
            const HANDLE holder =
                CreateFileW(utf16::Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            SystemCallsWin32 calls = g_real = GetWin32Calls();
            if (!posix) calls.SetFileInformationByHandle = NoPosixDeletion;
            SetWin32Calls(calls);
            const int error = RemoveBy(way, dir, "name");
            ResetWin32Calls();
            EXPECT_EQ(error, 0);
            EXPECT_TRUE(Find(dir / "name").empty());
            Handle again = kNoHandle;
            EXPECT_EQ(OpenFile(path.c_str(), OpenMode::CreateNew, again), 0);
            CloseFile(again);
            char buffer[8];
            DWORD n = 0;
            EXPECT_TRUE(ReadFile(holder, buffer, sizeof buffer, &n, nullptr));
            EXPECT_EQ(std::string(buffer, n), "old");
            ::CloseHandle(holder);
            EXPECT_EQ(Find(dir / "*"), (std::set<std::string>{".", "..", "name"}))
                << "nothing left behind";
        }
    }
}

// A read-only file is refused, as DeleteFileW refuses it, and stays as it was.
TEST(PlatformWin32Remove, AReadOnlyFileIsRefusedAndKeepsItsName) {
    for (bool posix : {true, false}) {
        for (int way = 0; way < 2; ++way) {
            TempDir dir;
            const std::string path = dir.Write("kept", "data");
            ASSERT_TRUE(SetFileAttributesW(utf16::Widen(path).c_str(), FILE_ATTRIBUTE_READONLY));
            SystemCallsWin32 calls = g_real = GetWin32Calls();
            if (!posix) calls.SetFileInformationByHandle = NoPosixDeletion;
            SetWin32Calls(calls);
            const int error = RemoveBy(way, dir, "kept");
            ResetWin32Calls();
            EXPECT_EQ(error, ERROR_ACCESS_DENIED) << posix << way;
            EXPECT_EQ(Find(dir / "*"), (std::set<std::string>{".", "..", "kept"})) << posix << way;
        }
    }
}

// Names found are removed from the directory searched, and a pinned name is
// created and removed in its directory, wherever the path leads by then: here
// relative paths, and another thread's change of the working directory.
TEST(PlatformWin32Remove, NamesGoFromTheirDirectoryWhereverThePathLeadsLater) {
    TempDir dir;
    for (const char* sub : {"one", "one\\sub", "two", "two\\sub"})
        ASSERT_EQ(MakeDirectory((dir / sub).c_str()), 0);
    dir.Write("one\\sub\\a.x", "");
    dir.Write("two\\sub\\a.x", "");
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    const auto enter = [&](const char* sub) {
        return SetCurrentDirectoryW(utf16::Widen(dir / sub).c_str()) != 0;
    };
    ASSERT_TRUE(enter("one"));
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    const int searched = FindFirst("sub\\*.x", search, found);
    PinnedName* pinned = nullptr;
    const int pinnedError = PinName("sub\\t.x", pinned);
    ASSERT_TRUE(enter("two"));
    const int removed = searched == 0 ? RemoveFound(search, found) : searched;
    Handle h = kNoHandle;
    const int created = pinnedError == 0 ? OpenPinned(pinned, OpenMode::CreateNew, h) : pinnedError;
    const bool createdThere = Find(dir / "one\\sub\\t.x").size() == 1;
    const int unpinned = created == 0 ? RemovePinned(pinned, h) : created;
    SetCurrentDirectoryW(saved);
    EndFind(search);
    CloseFile(h);
    UnpinName(pinned);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(unpinned, 0);
    EXPECT_TRUE(createdThere);
    EXPECT_TRUE(Find(dir / "one\\sub\\*.x").empty());
    EXPECT_EQ(Find(dir / "two\\sub\\*.x"), (std::set<std::string>{"a.x"}));
}

// A directory found is refused, never entered.
TEST(PlatformWin32Remove, ADirectoryFoundIsRefused) {
    TempDir dir;
    ASSERT_EQ(MakeDirectory((dir / "d.x").c_str()), 0);
    dir.Write("d.x\\inside", "");
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    ASSERT_EQ(FindFirst((dir / "d.*").c_str(), search, found), 0);
    EXPECT_EQ(RemoveFound(search, found), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveFound(search, "d.x\\inside"), ERROR_INVALID_NAME) << "a path, not a name";
    EndFind(search);
    EXPECT_EQ(Find(dir / "d.x\\*"), (std::set<std::string>{".", "..", "inside"}));
}

// A symbolic link found is removed itself, never its target; one to a
// directory is refused.
TEST(PlatformWin32Remove, ALinkFoundIsRemovedItselfNeverItsTarget) {
    TempDir dir;
    dir.Write("target.keep", "kept");
    ASSERT_EQ(MakeDirectory((dir / "sub.keep").c_str()), 0);
    dir.Write("sub.keep\\inside", "");
    const DWORD unprivileged = 2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    CreateSymbolicLinkW(utf16::Widen(dir / "file.x").c_str(),
                        utf16::Widen(dir / "target.keep").c_str(), unprivileged);
    CreateSymbolicLinkW(utf16::Widen(dir / "dir.x").c_str(), utf16::Widen(dir / "sub.keep").c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
    if (Find(dir / "*.x") != std::set<std::string>{"dir.x", "file.x"})
        GTEST_SKIP() << "no symbolic links here (Wine reports them made and makes none; "
                        "Windows needs the privilege or developer mode)";
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    ASSERT_EQ(FindFirst((dir / "*.x").c_str(), search, found), 0);
    EXPECT_EQ(RemoveFound(search, "file.x"), 0);
    EXPECT_EQ(RemoveFound(search, "dir.x"), ERROR_ACCESS_DENIED);
    EndFind(search);
    EXPECT_EQ(Find(dir / "*.x"), (std::set<std::string>{"dir.x"}));
    EXPECT_EQ(ReadWhole(dir / "target.keep"), "kept");
    EXPECT_EQ(Find(dir / "sub.keep\\*"), (std::set<std::string>{".", "..", "inside"}));
}
