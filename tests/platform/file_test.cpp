// The file services on both systems that OSFile and FileUtils do not reach
// (their tests check the rest); the Windows-only ones are in file_win32_test.
#include <NUVZubPlatform/File.h>

#include <PlatformFind.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#if defined(_WIN32)
#include <Utf16Win32.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace NUVZubPlatform;

namespace {

#if defined(_WIN32)
constexpr char kSeparator = '\\';
constexpr int kTooLarge = fault::kBadOffset; // writing or cutting at 2^63
constexpr int kInterrupts = 0;               // no call is interrupted there
#else
constexpr char kSeparator = '/';
constexpr int kTooLarge = EFBIG;
constexpr int kInterrupts = 3; // EINTRs, each retried
#endif

using Matches = std::pair<std::string, std::set<std::string>>;

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

// Relative paths, and the rest at every length: FileUtils' tests of AbsolutePath.
TEST(PlatformFullPath, FoldsLexically) {
#if defined(_WIN32) // the long-path form given back without its prefix
    const std::string d = "C:\\" + std::string(200, 'd'), deep = d + "\\" + std::string(200, 'e');
    const std::pair<std::string, std::string> cases[] = {{"\\\\?\\" + deep + "\\..\\f", d + "\\f"}};
#else
    const std::pair<std::string, std::string> cases[] = {{"/a/./b/../c//d/", "/a/c/d"},
                                                         {"/../..", "/"}};
#endif
    for (const auto& [given, folded] : cases) {
        std::string out;
        EXPECT_EQ(FullPath(given.c_str(), out), 0) << given; // needs no working directory
        EXPECT_EQ(out, folded);
    }
}

// Interrupted transfers are made again; offsets from 2^63 on are refused
// before any call (OSFile refuses them earlier still).
TEST(PlatformFile, InterruptedTransfersResumeAndOffsetsStopBelowTwoToThe63) {
    TempDir dir;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, h), 0);
    std::uint64_t done = 0;
    char buffer[4] = {};
    {
        fault::Scoped f(fault::kWrite, EINTR, 0, kInterrupts);
        EXPECT_EQ(WriteAt(h, "xy", 2, 1, done), 0);
        EXPECT_EQ(fault::g_failed, kInterrupts);
    }
    EXPECT_EQ(done, 2u);
    {
        fault::Scoped f(fault::kRead, EINTR, 0, kInterrupts);
        EXPECT_EQ(ReadAt(h, buffer, sizeof buffer, 0, done), 0);
        EXPECT_EQ(fault::g_failed, kInterrupts);
    }
    EXPECT_EQ(std::string(buffer, done), std::string("\0xy", 3));
    const std::uint64_t beyond = std::uint64_t(1) << 63;
    EXPECT_EQ(CheckOffset(beyond), fault::kBadOffset);
    EXPECT_EQ(ReadAt(h, buffer, 1, beyond, done), fault::kBadOffset);
    EXPECT_EQ(WriteAt(h, "z", 1, beyond, done), kTooLarge);
    EXPECT_EQ(SetFileLength(h, beyond), kTooLarge);
    EXPECT_EQ(CloseFile(h), 0);
}

// OSFile's failed opens show the rest: a missing file, a directory.
TEST(PlatformErrors, OpenFailuresAndTheirClasses) {
    TempDir dir;
    const std::string absent = dir / "absent", present = dir.Write("present", "");
    Handle h = kNoHandle;
    for (OpenMode mode : {OpenMode::CreateNew, OpenMode::Temporary}) // both exclusive
        EXPECT_TRUE(IsAlreadyExists(OpenFile(present.c_str(), mode, h)));
    EXPECT_EQ(h, kNoHandle);
    for (const std::string& path : {absent + kSeparator + "x", present + kSeparator + "x"})
        EXPECT_TRUE(IsPathNotFound(OpenFile(path.c_str(), OpenMode::Write, h), path.c_str()))
            << path;
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

// FileUtils' tests check existence, type, writeability, links, identities and
// each call's failure through the library; here what they cannot see.
TEST(PlatformFileSystem, AttributesAndIdentities) {
    TempDir dir;
    const std::string a = dir.Write("a", "x");
    int step = -1;
    const auto same = [&](const std::string& path, const FileIdentity& other) {
        FileIdentity identity;
        EXPECT_EQ(GetIdentity(path.c_str(), identity, step), 0) << path;
        return identity.device == other.device && identity.index == other.index;
    };
    FileIdentity open;
    Handle h = kNoHandle;
    ASSERT_EQ(OpenFile(a.c_str(), OpenMode::Read, h), 0);
    EXPECT_EQ(GetHandleIdentity(h, open), 0);
    CloseFile(h);
    EXPECT_TRUE(same(a, open));
    EXPECT_FALSE(same(dir.Path(), open));
#if defined(_WIN32)
    EXPECT_TRUE(same(dir / "A", open)); // names ignore case
    ASSERT_EQ(RenameFile(a.c_str(), (dir / "A").c_str()), 0);
    EXPECT_EQ(ReadWhole(a), "x");
    // An open without access rights passes another holder's exclusive open.
    const HANDLE exclusive = CreateFileW(utf16::Widen(a).c_str(), GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(same(a, open));
    ::CloseHandle(exclusive);
#else
    FileAttributes attributes;
    ASSERT_EQ(chmod(a.c_str(), 0400 | 0020), 0); // one write bit is enough, even for root
    EXPECT_EQ(GetAttributes(a.c_str(), attributes), 0);
    EXPECT_FALSE(attributes.readOnly);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0); // a directory is never read-only
    EXPECT_EQ(GetAttributes(dir.Path().c_str(), attributes), 0);
    chmod(dir.Path().c_str(), 0755);
    EXPECT_TRUE(attributes.isDirectory);
    EXPECT_FALSE(attributes.readOnly);
#endif
}
