// The file services on both systems: what differs is in the rows and in the
// few lines under _WIN32. The Windows-only behaviours are in file_win32_test.
#include <NUVZubPlatform/File.h>

#include <NativePaths.h>
#include <PlatformFind.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

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
bool MakePipe(Handle ends[2]) { return CreatePipe(&ends[0], &ends[1], nullptr, 0); }
void SetReadOnly(const std::string& path, bool on) {
    SetFileAttributesW(utf16::Widen(path).c_str(),
                       on ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}
#else
constexpr char kSeparator = '/';
constexpr int kTooLarge = EFBIG;
bool MakePipe(Handle ends[2]) { return pipe(ends) == 0; }
void SetReadOnly(const std::string& path, bool on) { chmod(path.c_str(), on ? 0444 : 0644); }
#endif

} // namespace

TEST(PlatformFind, TheLibrarysMatchingOfTheLastComponent) {
    TempDir dir;
    std::set<std::string> all{".", ".."};
    // "Ünï.Txt", "é.x", and "𝄞.x" beyond 16 bits
    for (const char* name : {"page.html", "x.htm", "notes.txt~", "keep.txt1", "a.TXT", "b.txt",
                             "noext", "abc", "axc", "ac", ".hidden", "[ab]", "two.dots.txt",
                             "\xc3\x9cn\xc3\xaf.Txt", "\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"})
        all.insert(dir.Write(name, "").substr(dir.Path().size() + 1));
    const std::set<std::string> txt =
#if defined(_WIN32)
        {"a.TXT", "b.txt", "two.dots.txt", "\xc3\x9cn\xc3\xaf.Txt"}; // ignoring case
#else
        {"b.txt", "two.dots.txt"};
#endif
    const struct {
        std::string pattern;
        std::set<std::string> matches;
    } cases[] = {
        {"?.x", {"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}}, // '?' is one character
        {"*.x", {"\xc3\xa9.x", "\xf0\x9d\x84\x9e.x"}},
        {"a?c", {"abc", "axc"}},
        {"*c*", {"abc", "axc", "ac"}},
        {"[ab]", {"[ab]"}}, // '[' is literal
        {"*.htm", {"x.htm"}},
        {"*.txt~", {"notes.txt~"}},
        {"page.htm", {}},
        {"*.txt", txt},
        {"*", all},
#if defined(_WIN32)
        {"*.TXT", txt},
        {"\xc3\xbcN\xc3\x8f.txt", {"\xc3\x9cn\xc3\xaf.Txt"}}, // "üNÏ.txt": beyond ASCII too
        {"N*", {"noext", "notes.txt~"}},
        {"*.", {"noext", "abc", "axc", "ac", "[ab]"}}, // no extension
        {"a*.", {"abc", "axc", "ac"}},
#else
        {"*.TXT", {"a.TXT"}},
        {".*", {".", "..", ".hidden"}},
        {"N*", {}},
        {"*.", {".", ".."}},
#endif
    };
    for (const auto& c : cases)
        EXPECT_EQ(Find(dir / c.pattern), c.matches) << c.pattern;
#if defined(_WIN32)
    // "*.*" is every name; and the system's 8.3 short names ("*.htm" would
    // find page.html as PAGE~1.HTM) never match.
    EXPECT_EQ(Find(dir / "*.*"), all);
    wchar_t shortPath[MAX_PATH] = {};
    GetShortPathNameW(utf16::Widen(dir / "page.html").c_str(), shortPath, MAX_PATH);
    std::string shortName = utf16::Narrow(shortPath);
    shortName = shortName.substr(shortName.find_last_of('\\') + 1);
    EXPECT_EQ(Find(dir / shortName), shortName == "page.html" ? std::set<std::string>{"page.html"}
                                                              : std::set<std::string>{});
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
    // A failed step is reported, not taken for the end.
    dir.Write("a", "");
    fault::Scoped f(fault::kFindNext, fault::kIoError);
    Find(dir / "*", &result);
    EXPECT_EQ(result, fault::kIoError);
}

TEST(PlatformFullPath, FoldsLexicallyAgainstTheWorkingDirectory) {
    std::string out, cwd = CurrentDir();
    if (cwd.back() != kSeparator) cwd += kSeparator;
    ASSERT_EQ(FullPath(Native("x/../y/./z").c_str(), out), 0);
    EXPECT_EQ(out, cwd + Native("y/z"));
#if defined(_WIN32)
    // Any length, the long-path form folded too, the result without a prefix.
    const std::string deep = "C:\\" + std::string(200, 'd') + "\\" + std::string(200, 'e');
    const struct {
        std::string given, folded;
    } cases[] = {{"C:\\a\\..\\b", "C:\\b"},
                 {deep + "\\..\\f", "C:\\" + std::string(200, 'd') + "\\f"},
                 {"\\\\?\\" + deep + "\\..\\f", "C:\\" + std::string(200, 'd') + "\\f"}};
#else
    const struct {
        std::string given, folded;
    } cases[] = {{"/a/./b/../c//d/", "/a/c/d"}, {"/../..", "/"}};
    fault::Scoped f(&fault::Calls::getcwd, &fault::Getcwd, EACCES);
    EXPECT_EQ(FullPath("rel", out), EACCES);
#endif
    for (const auto& c : cases) {
        ASSERT_EQ(FullPath(c.given.c_str(), out), 0) << c.given;
        EXPECT_EQ(out, c.folded); // an absolute path needs no working directory
    }
}

TEST(PlatformFile, TemporaryIsExclusiveAndKeepsItsNameWhileOpen) {
    TempDir dir;
    const std::string path = dir / "t.tmp";
    Handle handle = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Temporary, handle), 0);
    EXPECT_EQ(Find(path).size(), 1u);
    Handle again = kNoHandle;
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
#if defined(_WIN32)
    // No stored bytes, whatever is queued: Windows may answer a size query on
    // the read end with the queued count (its rule stands in).
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
    std::uint64_t done = 0;
    ASSERT_EQ(WriteAt(h, "xy", 2, 4, done), 0);
    EXPECT_EQ(done, 2u);
    char buffer[16] = {};
    ASSERT_EQ(ReadAt(h, buffer, sizeof buffer, 0, done), 0);
    EXPECT_EQ(std::string(buffer, done), std::string("\0\0\0\0xy", 6)); // the gap reads as zeros
    EXPECT_EQ(ReadAt(h, buffer, sizeof buffer, 100, done), 0);          // past the end: the end
    EXPECT_EQ(done, 0u);
    const std::uint64_t beyond = std::uint64_t(1) << 63;
    EXPECT_EQ(CheckOffset(beyond), fault::kBadOffset);
    EXPECT_EQ(CheckOffset(beyond - 1), 0);
    EXPECT_EQ(ReadAt(h, buffer, 1, beyond, done), fault::kBadOffset);
    EXPECT_EQ(WriteAt(h, "z", 1, beyond, done), kTooLarge);
    EXPECT_EQ(SetFileLength(h, beyond), kTooLarge);
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

TEST(PlatformErrors, OpenFailuresAndTheirClasses) {
    TempDir dir;
    dir.Write("present", "");
    Handle h = kNoHandle;
    const std::string absent = dir / "absent";
    const int missingFile = OpenFile(absent.c_str(), OpenMode::Read, h);
    EXPECT_EQ(h, kNoHandle);
    EXPECT_TRUE(IsNotFound(missingFile));
    EXPECT_FALSE(IsPathNotFound(missingFile, absent.c_str()));
    for (const std::string& path : {absent + kSeparator + "x", dir / "present" + kSeparator + "x"})
        EXPECT_TRUE(IsPathNotFound(OpenFile(path.c_str(), OpenMode::Write, h), path.c_str()))
            << path;
    EXPECT_TRUE(IsAlreadyExists(OpenFile((dir / "present").c_str(), OpenMode::CreateNew, h)));
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
    // Bytes that are no UTF-8 never reach the system as some other name.
    EXPECT_EQ(OpenFile((dir / "bad\xff").c_str(), OpenMode::Write, h),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_TRUE(Find(dir / "bad*").empty());
#else
    const struct {
        const char* path;
        int error;
        bool pathNotFound;
    } cases[] = {{"none", ENOENT, false},
                 {"no/none", ENOENT, true},
                 {"present/x", ENOTDIR, true},
                 {"present/x", ENOENT, true},
                 {"none", EACCES, false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsPathNotFound(c.error, (dir / c.path).c_str()), c.pathNotFound) << c.path;
    EXPECT_FALSE(IsPathNotFound(ENOENT, "relative-none"));
#endif
}

TEST(PlatformFileSystem, AttributesMovesAndDirectories) {
    TempDir dir;
    dir.Write("from", "new");
    const std::string to = dir.Write("to", "old");
    FileAttributes attributes;
    ASSERT_EQ(GetAttributes(dir.Path().c_str(), attributes), 0);
    EXPECT_TRUE(attributes.isDirectory);
    EXPECT_FALSE(attributes.readOnly);
    SetReadOnly(to, true);
    ASSERT_EQ(GetAttributes(to.c_str(), attributes), 0);
    EXPECT_TRUE(attributes.readOnly);
    EXPECT_FALSE(attributes.isDirectory);
    SetReadOnly(to, false);
    ASSERT_EQ(GetAttributes(to.c_str(), attributes), 0);
    EXPECT_FALSE(attributes.readOnly);
    ASSERT_EQ(RenameFile((dir / "from").c_str(), to.c_str()), 0); // replaces
    EXPECT_EQ(ReadWhole(to), "new");
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "from").c_str(), attributes)));
    // Between two links of one file the source name goes, the file stays.
    ASSERT_EQ(MakeHardLink(to.c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(IsAlreadyExists(MakeHardLink(to.c_str(), (dir / "link").c_str())));
    ASSERT_EQ(RenameFile((dir / "link").c_str(), to.c_str()), 0);
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "link").c_str(), attributes)));
    ASSERT_EQ(RenameFile(to.c_str(), (dir / Native("./to")).c_str()), 0); // the same entry
    EXPECT_EQ(ReadWhole(to), "new");
    ASSERT_EQ(MakeDirectory((dir / "d").c_str()), 0);
    EXPECT_TRUE(IsAlreadyExists(MakeDirectory((dir / "d").c_str())));
    dir.Write(Native("d/inside"), "");
    EXPECT_EQ(RemoveDirectory((dir / "d").c_str()), fault::kNotEmpty);
    ASSERT_EQ(RemoveFile((dir / Native("d/inside")).c_str()), 0);
    EXPECT_EQ(RemoveDirectory((dir / "d").c_str()), 0);
    const std::string deeper = dir / Native("x/y");
    EXPECT_TRUE(IsPathNotFound(MakeDirectory(deeper.c_str()), deeper.c_str()));
#if defined(_WIN32)
    ASSERT_EQ(RenameFile(to.c_str(), (dir / "TO").c_str()), 0); // names ignore case
    EXPECT_EQ(ReadWhole(to), "new");
    SetReadOnly(to, true);
    EXPECT_EQ(RemoveFile(to.c_str()), ERROR_ACCESS_DENIED);
#else
    ASSERT_EQ(chmod(to.c_str(), 0400 | 0020), 0); // one write bit is enough, even for root
    ASSERT_EQ(GetAttributes(to.c_str(), attributes), 0);
    EXPECT_FALSE(attributes.readOnly);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0); // a directory is never read-only
    ASSERT_EQ(GetAttributes(dir.Path().c_str(), attributes), 0);
    chmod(dir.Path().c_str(), 0755);
    EXPECT_FALSE(attributes.readOnly);
#endif
}

TEST(PlatformIdentity, LinksShareItDirectoriesHaveOneAndOpenFilesTheirs) {
    TempDir dir;
    const std::string a = dir.Write("a", "x"), c = dir.Write("c", "x");
    ASSERT_EQ(MakeHardLink(a.c_str(), (dir / "b").c_str()), 0);
    FileIdentity ia, ib, ic, id, open;
    int step = -1;
    ASSERT_EQ(GetIdentity(a.c_str(), ia, step), 0);
    ASSERT_EQ(GetIdentity((dir / "b").c_str(), ib, step), 0);
    ASSERT_EQ(GetIdentity(c.c_str(), ic, step), 0);
    ASSERT_EQ(GetIdentity(dir.Path().c_str(), id, step), 0);
    EXPECT_TRUE(ia.device == ib.device && ia.index == ib.index);
    EXPECT_FALSE(ia.device == ic.device && ia.index == ic.index);
    EXPECT_NE(id.index, ia.index);
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile(c.c_str(), OpenMode::Read, h), 0);
    ASSERT_EQ(GetHandleIdentity(h, open), 0);
    CloseFile(h);
    EXPECT_TRUE(open.device == ic.device && open.index == ic.index);
    {
        fault::Scoped f(fault::kQuery, fault::kIoError);
        EXPECT_EQ(GetIdentity(a.c_str(), ia, step), fault::kIoError);
        EXPECT_EQ(step, 1);
    }
    EXPECT_TRUE(IsNotFound(GetIdentity((dir / "none").c_str(), ia, step)));
    EXPECT_EQ(step, 0);
#if defined(_WIN32)
    ASSERT_EQ(GetIdentity((dir / "A").c_str(), ib, step), 0); // names ignore case
    EXPECT_TRUE(ia.device == ib.device && ia.index == ib.index);
    // An open without access rights passes another holder's exclusive open.
    const HANDLE exclusive = CreateFileW(utf16::Widen(c).c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetIdentity(c.c_str(), open, step), 0);
    ::CloseHandle(exclusive);
    EXPECT_TRUE(open.device == ic.device && open.index == ic.index);
#endif
}

#if !defined(_WIN32)
TEST(PlatformFile, CreateNewIsExclusiveAndDoesNotFollowSymlinks) {
    TempDir dir;
    const std::string target = dir / "target", link = dir / "link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Handle handle = kNoHandle;
    EXPECT_TRUE(IsAlreadyExists(OpenFile(link.c_str(), OpenMode::CreateNew, handle)));
    EXPECT_EQ(handle, kNoHandle);
    EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST(PlatformFile, InterruptedTransfersAreRetried) {
    TempDir dir;
    Handle handle = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, handle), 0);
    std::uint64_t done = 0;
    char back[5];
    {
        fault::Scoped f(fault::kWrite, EINTR, 0, 2);
        EXPECT_EQ(WriteAt(handle, "hello", 5, 0, done), 0);
        EXPECT_EQ(done, 5u);
        EXPECT_EQ(fault::g_failed, 2);
    }
    {
        fault::Scoped f(fault::kRead, EINTR, 0, 3);
        EXPECT_EQ(ReadAt(handle, back, 5, 0, done), 0);
        EXPECT_EQ(std::string(back, done), "hello");
    }
    fault::Scoped f(fault::kRead, EIO);
    EXPECT_EQ(ReadAt(handle, back, 5, 0, done), EIO);
    CloseFile(handle);
}
#endif
