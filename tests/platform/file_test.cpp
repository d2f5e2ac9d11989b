// The file services on both systems; the Windows-only ones are in file_win32_test.
#include <NUVZubPlatform/File.h>

#include <NativePaths.h>
#include <PlatformFind.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#if defined(_WIN32)
#include <Utf16Win32.h>
#include <WindowsRules.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace NUVZubPlatform;

namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
constexpr int kTooLarge = fault::kBadOffset; // writing or cutting at 2^63
constexpr int kInterrupts = 0;               // no call is interrupted there
bool MakePipe(Handle ends[2]) { return CreatePipe(&ends[0], &ends[1], nullptr, 0); }
void SetReadOnly(const std::string& path, bool on) {
    SetFileAttributesW(utf16::Widen(path).c_str(),
                       on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}
#else
constexpr char kSeparator = '/';
constexpr int kTooLarge = EFBIG;
constexpr int kInterrupts = 3; // EINTRs, each retried
bool MakePipe(Handle ends[2]) { return pipe(ends) == 0; }
void SetReadOnly(const std::string& path, bool on) { chmod(path.c_str(), on ? 0444 : 0644); }
#endif

using Matches = std::pair<std::string, std::set<std::string>>;

FileAttributes AttributesOf(const std::string& path) {
    FileAttributes attributes;
    EXPECT_EQ(GetAttributes(path.c_str(), attributes), 0) << path;
    return attributes;
}

bool Same(const FileIdentity& a, const FileIdentity& b) {
    return a.device == b.device && a.index == b.index;
}

} // namespace

TEST(PlatformFind, TheLibrarysMatchingOfTheLastComponent) {
    TempDir dir;
    std::set<std::string> all{".", ".."};
    // "Ünï.Txt", "é.x", and "𝄞.x" beyond 16 bits
    for (const char* name : {"page.html", "x.htm", "notes.txt~", "keep.txt1", "a.TXT", "b.txt",
                             "noext", "abc", "axc", "ac", ".hidden", "[ab]", "two.dots.txt",
                             "\xc3\x9cn\xc3\xaf.Txt", "\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"})
        all.insert(dir.Write(name, "").substr(dir.Path().size() + 1));
    [[maybe_unused]] const std::set<std::string> anyCase = {"a.TXT", "b.txt", "two.dots.txt",
                                                            "\xc3\x9cn\xc3\xaf.Txt"};
    const Matches cases[] = {
        {"?.x", {"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}}, // '?' is one character
        {"*.x", {"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}},
        {"a?c", {"abc", "axc"}},
        {"*c*", {"abc", "axc", "ac"}},
        {"[ab]", {"[ab]"}}, // '[' is literal
        {"*.htm", {"x.htm"}},
        {"*.txt~", {"notes.txt~"}},
        {"page.htm", {}},
        {"*", all},
#if defined(_WIN32) // case ignored, beyond ASCII too ("üNÏ.txt"); "*." has no extension
        {"*.txt", anyCase},
        {"*.TXT", anyCase},
        {"\xc3\xbcN\xc3\x8f.txt", {"\xc3\x9cn\xc3\xaf.Txt"}},
        {"N*", {"noext", "notes.txt~"}},
        {"*.", {"noext", "abc", "axc", "ac", "[ab]"}},
        {"a*.", {"abc", "axc", "ac"}},
        {"*.*", all},
#else
        {"*.txt", {"b.txt", "two.dots.txt"}},
        {"*.TXT", {"a.TXT"}},
        {".*", {".", "..", ".hidden"}},
        {"N*", {}},
        {"*.", {".", ".."}},
#endif
    };
    for (const auto& [pattern, matches] : cases)
        EXPECT_EQ(Find(dir / pattern), matches) << pattern;
#if defined(_WIN32) // the system's 8.3 short names (PAGE~1.HTM for page.html) never match
    std::wstring shortPath(MAX_PATH, L'\0');
    shortPath.resize(
        GetShortPathNameW(utf16::Widen(dir / "page.html").c_str(), &shortPath[0], MAX_PATH));
    const std::string name = utf16::Narrow(shortPath.substr(shortPath.find_last_of(L'\\') + 1));
    EXPECT_EQ(Find(dir / name).size(), name == "page.html" ? 1u : 0u) << name;
#endif
}

TEST(PlatformFind, NoMatchMissingDirectoryAndFailedStepDiffer) {
    TempDir dir;
    int result = 0;
    EXPECT_TRUE(Find(dir / "*.none", &result).empty());
    EXPECT_EQ(result, kNoMatch);
    const std::string missing = dir / "missing" + kSeparator + "*";
    Find(missing, &result);
    EXPECT_TRUE(IsPathNotFound(result, missing.c_str())) << result;
    dir.Write("a", "");
    fault::Scoped f(fault::kFindNext, fault::kIoError);
    Find(dir / "*", &result);
    EXPECT_EQ(result, fault::kIoError) << "a failed step taken for the end";
}

TEST(PlatformFullPath, FoldsLexicallyAgainstTheWorkingDirectory) {
    std::string out, cwd = CurrentDir();
    if (cwd.back() != kSeparator) cwd += kSeparator;
    ASSERT_EQ(FullPath(Native("x/../y/./z").c_str(), out), 0);
    EXPECT_EQ(out, cwd + Native("y/z"));
#if defined(_WIN32) // any length, the long-path form too, given back without its prefix
    const std::string d = "C:\\" + std::string(200, 'd'), deep = d + "\\" + std::string(200, 'e');
    const std::pair<std::string, std::string> cases[] = {{"C:\\a\\..\\b", "C:\\b"},
                                                         {deep + "\\..\\f", d + "\\f"},
                                                         {"\\\\?\\" + deep + "\\..\\f", d + "\\f"}};
#else
    const std::pair<std::string, std::string> cases[] = {{"/a/./b/../c//d/", "/a/c/d"},
                                                         {"/../..", "/"}};
    fault::Scoped f(&fault::Calls::getcwd, &fault::Getcwd, EACCES);
    EXPECT_EQ(FullPath("rel", out), EACCES);
#endif
    for (const auto& [given, folded] : cases) {
        ASSERT_EQ(FullPath(given.c_str(), out), 0) << given; // needs no working directory
        EXPECT_EQ(out, folded);
    }
}

TEST(PlatformFile, TemporaryIsExclusiveAndKeepsItsNameWhileOpen) {
    TempDir dir;
    const std::string path = dir / "t.tmp";
    Handle handle = kNoHandle, again = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Temporary, handle), 0);
    EXPECT_EQ(Find(path).size(), 1u);
    EXPECT_TRUE(IsAlreadyExists(OpenFile(path.c_str(), OpenMode::Temporary, again)));
#if !defined(_WIN32) // owner-only, kept from the standard streams and from programs run
    struct stat info;
    ASSERT_EQ(fstat(handle, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_GT(handle, 2);
    EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0);
#endif
    EXPECT_EQ(CloseFile(handle), 0);
#if defined(_WIN32)
    EXPECT_TRUE(Find(path).empty()) << "the system deletes it at close";
#endif
}

TEST(PlatformFile, StreamsMoveDataInOrderWithoutPositionsOrFlushWaits) {
    Handle ends[2];
    ASSERT_TRUE(MakePipe(ends));
    EXPECT_TRUE(IsStream(ends[0]));
    EXPECT_TRUE(IsStream(ends[1]));
    std::uint64_t done = 0;
    ASSERT_EQ(WriteNext(ends[1], "abc", 3, done), 0);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(SyncFile(ends[1]), 0); // nobody has read yet: a flush would wait for that
#if defined(_WIN32) // no stored bytes, though Windows may answer with the count queued
    for (Handle end : ends) {
        const rules::Scoped windows;
        std::uint64_t length = 99;
        EXPECT_EQ(GetFileLength(end, length), 0);
        EXPECT_EQ(length, 0u);
    }
#else
    char one;
    EXPECT_EQ(ReadAt(ends[0], &one, 1, 0, done), ESPIPE); // why streams need their own calls
#endif
    char buffer[8] = {};
    ASSERT_EQ(ReadNext(ends[0], buffer, sizeof buffer, done), 0);
    EXPECT_EQ(std::string(buffer, done), "abc");
    NUVZubPlatform::CloseHandle(ends[1]);
    EXPECT_EQ(ReadNext(ends[0], buffer, sizeof buffer, done), 0); // the writer gone: the end
    EXPECT_EQ(done, 0u);
    NUVZubPlatform::CloseHandle(ends[0]);
}

TEST(PlatformFile, PositionedTransfersLengthsAndAppendsAtTheEnd) {
    TempDir dir;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, h), 0);
    EXPECT_FALSE(IsStream(h));
    std::uint64_t done = 0, length = 0;
    char buffer[16] = {};
    {
        fault::Scoped f(fault::kWrite, EINTR, 0, kInterrupts);
        ASSERT_EQ(WriteAt(h, "xy", 2, 4, done), 0);
        EXPECT_EQ(fault::g_failed, kInterrupts);
    }
    EXPECT_EQ(done, 2u);
    {
        fault::Scoped f(fault::kRead, EINTR, 0, kInterrupts);
        ASSERT_EQ(ReadAt(h, buffer, sizeof buffer, 0, done), 0);
    }
    EXPECT_EQ(std::string(buffer, done), std::string("\0\0\0\0xy", 6)); // the gap reads as zeros
    {
        fault::Scoped f(fault::kRead, fault::kIoError);
        EXPECT_EQ(ReadAt(h, buffer, 1, 0, done), fault::kIoError);
    }
    EXPECT_EQ(ReadAt(h, buffer, sizeof buffer, 100, done), 0); // past the end: the end
    EXPECT_EQ(done, 0u);
    const std::uint64_t beyond = std::uint64_t(1) << 63;
    EXPECT_EQ(CheckOffset(beyond), fault::kBadOffset);
    EXPECT_EQ(CheckOffset(beyond - 1), 0);
    EXPECT_EQ(ReadAt(h, buffer, 1, beyond, done), fault::kBadOffset);
    EXPECT_EQ(WriteAt(h, "z", 1, beyond, done), kTooLarge);
    EXPECT_EQ(SetFileLength(h, beyond), kTooLarge);
    ASSERT_EQ(SetFileLength(h, 3), 0);
    ASSERT_EQ(GetFileLength(h, length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(SyncFile(h), 0);
    ASSERT_EQ(CloseFile(h), 0);
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Append, h), 0);
    ASSERT_EQ(WriteAt(h, "end", 3, kAtEnd, done), 0);
    CloseFile(h);
    EXPECT_EQ(ReadWhole(dir / "f"), std::string("\0\0\0end", 6));
}

TEST(PlatformErrors, OpenFailuresAndTheirClasses) {
    TempDir dir;
    const std::string absent = dir / "absent", present = dir.Write("present", "");
    Handle h = kNoHandle;
    const int missingFile = OpenFile(absent.c_str(), OpenMode::Read, h);
    EXPECT_EQ(h, kNoHandle);
    EXPECT_TRUE(IsNotFound(missingFile));
    EXPECT_FALSE(IsPathNotFound(missingFile, absent.c_str()));
    for (const std::string& path : {absent + kSeparator + "x", present + kSeparator + "x"})
        EXPECT_TRUE(IsPathNotFound(OpenFile(path.c_str(), OpenMode::Write, h), path.c_str()))
            << path;
    EXPECT_TRUE(IsAlreadyExists(OpenFile(present.c_str(), OpenMode::CreateNew, h)));
    for (OpenMode mode : {OpenMode::Read, OpenMode::Update}) // a directory is no file
        EXPECT_EQ(OpenFile(dir.Path().c_str(), mode, h), fault::kIsDirectory);
    EXPECT_EQ(h, kNoHandle);
    for (int code : fault::kDiskFullCodes)
        EXPECT_TRUE(IsDiskFull(code)) << code;
    EXPECT_FALSE(IsDiskFull(fault::kIoError));
    EXPECT_TRUE(IsNotFound(fault::kMissing));
    EXPECT_TRUE(IsAlreadyExists(fault::kExists));
#if defined(_WIN32)
    EXPECT_FALSE(IsNotFound(OpenFile((absent + "\\x").c_str(), OpenMode::Write, h)));
    // Bytes that are no UTF-8 never reach the system as some other name, whatever the call.
    const std::string bad = dir / "bad\xff";
    int call = 0;
    for (int error : {OpenFile(bad.c_str(), OpenMode::Write, h), RemoveFile(bad.c_str()),
                      MakeDirectory(bad.c_str()), RemoveDirectory(bad.c_str()),
                      RenameFile(present.c_str(), bad.c_str())})
        EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION) << "call " << call++;
    EXPECT_EQ(Find(dir / "*"), (std::set<std::string>{".", "..", "present"}));
#else
    const std::pair<std::string, int> cases[] = {
        {"none", ENOENT}, {"no/none", ENOENT}, {"present/x", ENOTDIR}, {"present/x", ENOENT}};
    for (const auto& [path, error] : cases)
        EXPECT_EQ(IsPathNotFound(error, (dir / path).c_str()), path != "none") << path;
    EXPECT_FALSE(IsPathNotFound(EACCES, (dir / "none").c_str()));
    EXPECT_FALSE(IsPathNotFound(ENOENT, "relative-none"));
    // CreateNew through a dangling symbolic link creates no target.
    ASSERT_EQ(symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(IsAlreadyExists(OpenFile((dir / "link").c_str(), OpenMode::CreateNew, h)));
    EXPECT_EQ(h, kNoHandle);
    EXPECT_NE(access((dir / "target").c_str(), F_OK), 0);
#endif
}

// Moves, links and directories: FileUtils' tests make the same calls through the library.
TEST(PlatformFileSystem, AttributesAndIdentities) {
    TempDir dir;
    const std::string a = dir.Write("a", "x"), c = dir.Write("c", "x");
    EXPECT_TRUE(AttributesOf(dir.Path()).isDirectory);
    EXPECT_FALSE(AttributesOf(dir.Path()).readOnly);
    SetReadOnly(a, true);
    EXPECT_TRUE(AttributesOf(a).readOnly);
    EXPECT_FALSE(AttributesOf(a).isDirectory);
    SetReadOnly(a, false);
    EXPECT_FALSE(AttributesOf(a).readOnly);
    FileAttributes attributes;
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "none").c_str(), attributes)));
    ASSERT_EQ(MakeHardLink(a.c_str(), (dir / "b").c_str()), 0);
    int step = -1;
    const auto id = [&](const std::string& path) {
        FileIdentity identity;
        EXPECT_EQ(GetIdentity(path.c_str(), identity, step), 0) << path;
        return identity;
    };
    EXPECT_TRUE(Same(id(a), id(dir / "b")));
    EXPECT_FALSE(Same(id(a), id(c)));
    EXPECT_NE(id(dir.Path()).index, id(a).index);
    FileIdentity open;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile(c.c_str(), OpenMode::Read, h), 0);
    ASSERT_EQ(GetHandleIdentity(h, open), 0);
    CloseFile(h);
    EXPECT_TRUE(Same(open, id(c)));
    {
        fault::Scoped f(fault::kQuery, fault::kIoError);
        EXPECT_EQ(GetIdentity(a.c_str(), open, step), fault::kIoError);
        EXPECT_EQ(step, 1);
    }
    EXPECT_TRUE(IsNotFound(GetIdentity((dir / "none").c_str(), open, step)));
    EXPECT_EQ(step, 0);
#if defined(_WIN32)
    EXPECT_TRUE(Same(id(dir / "A"), id(a))); // names ignore case
    ASSERT_EQ(RenameFile(a.c_str(), (dir / "A").c_str()), 0);
    EXPECT_EQ(ReadWhole(a), "x");
    // An open without access rights passes another holder's exclusive open.
    const HANDLE exclusive = CreateFileW(utf16::Widen(c).c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    const FileIdentity held = id(c);
    ::CloseHandle(exclusive);
    EXPECT_TRUE(Same(held, id(c)));
    SetReadOnly(c, true);
    EXPECT_EQ(RemoveFile(c.c_str()), ERROR_ACCESS_DENIED);
#else
    ASSERT_EQ(chmod(a.c_str(), 0400 | 0020), 0); // one write bit is enough, even for root
    EXPECT_FALSE(AttributesOf(a).readOnly);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0); // a directory is never read-only
    attributes = AttributesOf(dir.Path());
    chmod(dir.Path().c_str(), 0755);
    EXPECT_FALSE(attributes.readOnly);
#endif
}
