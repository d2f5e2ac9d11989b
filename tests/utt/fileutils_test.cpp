// The file utilities on every system; each system's failures are injected
// through its call table and reported with its own codes.
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcParser.h>

#include <FileUtilsChecks.h>
#include <NativePaths.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>

#if defined(_WIN32)
#include <SystemCallFaultsWin32.h>
#include <Utf16Win32.h>
#include <WindowsApi.h>
#else
#include <SystemCallFaults.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using FileUtils = QuietFileUtils;
using Glob = QuietFileUtils;

// A failure of one system call, as the call table injects it, and its code.
struct Fault {
    std::function<void(std::optional<fault::Scoped>&)> inject;
    int code;
};
template <class M, class F> Fault Inject(M member, F stub, int code, int skip = 0) {
    return {[=](std::optional<fault::Scoped>& f) { f.emplace(member, stub, code, skip); }, code};
}

#if defined(_WIN32)
constexpr int kNoSuchFile = ERROR_FILE_NOT_FOUND;
constexpr int kNoSuchDirectory = ERROR_PATH_NOT_FOUND;
constexpr int kExists = ERROR_ALREADY_EXISTS;
constexpr int kNotEmpty = ERROR_DIR_NOT_EMPTY;

using Calls = NUVZubPlatform::SystemCallsWin32;
const Fault kMove = Inject(&Calls::MoveFileExW, &fault::Move, ERROR_NOT_SAME_DEVICE);
const Fault kLink = Inject(&Calls::CreateHardLinkW, &fault::Link, ERROR_TOO_MANY_LINKS);
const Fault kRemove =
    Inject(&Calls::SetFileInformationByHandle, &fault::Delete, ERROR_ACCESS_DENIED);
const Fault kRemoveFound = kRemove;
const Fault kMakeDir = Inject(&Calls::CreateDirectoryW, &fault::MakeDir, ERROR_DISK_FULL);
const Fault kRemoveDir =
    Inject(&Calls::RemoveDirectoryW, &fault::RemoveDir, ERROR_SHARING_VIOLATION);
const Fault kOpen = Inject(&Calls::CreateFileW, &fault::Open, ERROR_ACCESS_DENIED);
const Fault kInformation =
    Inject(&Calls::GetFileInformationByHandle, &fault::Information, ERROR_IO_DEVICE);
const Fault kFindFirst =
    Inject(&Calls::FindFirstFileExW, &fault::FindFirst, ERROR_TOO_MANY_OPEN_FILES);
// After the first match: "." and ".." come before it.
const Fault kFindNext = Inject(&Calls::FindNextFileW, &fault::FindNext, ERROR_IO_DEVICE, 2);
const Fault kAttributes =
    Inject(&Calls::GetFileAttributesW, &fault::Attributes, ERROR_ACCESS_DENIED);

bool MakeReadOnly(const std::string& path) {
    const std::wstring wide = utf16::Widen(path);
    const DWORD bits = GetFileAttributesW(wide.c_str());
    return SetFileAttributesW(wide.c_str(), bits | FILE_ATTRIBUTE_READONLY) != 0;
}
#else
constexpr int kNoSuchFile = ENOENT;
constexpr int kNoSuchDirectory = ENOENT;
constexpr int kExists = EEXIST;
constexpr int kNotEmpty = ENOTEMPTY;

using Calls = NUVZubPlatform::SystemCalls;
const Fault kMove = Inject(&Calls::rename, &fault::Rename, EXDEV);
const Fault kLink = Inject(&Calls::link, &fault::Link, EMLINK);
const Fault kRemove = Inject(&Calls::unlink, &fault::Unlink, EPERM);
// A name found by a search, or checked in its open directory, is removed there.
const Fault kRemoveFound = Inject(&Calls::unlinkat, &fault::Unlinkat, EPERM);
const Fault kMakeDir = Inject(&Calls::mkdir, &fault::Mkdir, ENOSPC);
const Fault kRemoveDir = Inject(&Calls::rmdir, &fault::Rmdir, EBUSY);
const Fault kOpen = Inject(&Calls::open, &fault::Open, EACCES);
const Fault kInformation = Inject(&Calls::fstat, &fault::Fstat, EIO);
const Fault kFindFirst = Inject(&Calls::opendir, &fault::Opendir, EMFILE);
// After the first match.
const Fault kFindNext = Inject(&Calls::readdir, &fault::Readdir, EIO, 1);
const Fault kAttributes = Inject(&Calls::stat, &fault::Stat, EACCES);

bool MakeReadOnly(const std::string& path) { return chmod(path.c_str(), 0555) == 0; }
#endif

// A match as the search yields it: the pattern's directory as named, a slash, the name.
std::string Match(const TempDir& dir, const std::string& name) { return dir.Path() + "/" + name; }

} // namespace

TEST_F(FileUtils, AbsolutePathIsLexical) {
    EXPECT_EQ(fu::AbsolutePath("/no/such/./dir/../x").Str(), Native("/no/such/x"));
    const std::string cwd = CurrentDir();
    ASSERT_FALSE(cwd.empty());
    EXPECT_EQ(fu::AbsolutePath("a\\b").Str(), Native(cwd + "/a/b"));
#if !defined(_WIN32)
    TempDir dir; // ".." after a symbolic link is its directory's parent, not the target's
    ASSERT_EQ(symlink("/usr", (dir / "l").c_str()), 0);
    EXPECT_EQ(fu::AbsolutePath(NUVString(dir / "l/..")).Str(), dir.Path());
#endif
}

TEST_F(FileUtils, SameFileAndIdentity) {
    TempDir dir;
    const std::string a = dir.Write("a", "1");
    dir.Write("b", "1");
    ASSERT_TRUE(fu::LinkIfUnique(NUVString(a), NUVString(dir / "hard")));
    EXPECT_TRUE(fu::SameFile(NUVString(a), NUVString(dir / "hard")));
    EXPECT_TRUE(fu::SameFile(NUVString(a), NUVString(dir / "./a")));
    EXPECT_FALSE(fu::SameFile(NUVString(a), NUVString(dir / "b")));
    EXPECT_FALSE(fu::SameFile(NUVString(a), NUVString(dir / "missing")));
    EXPECT_TRUE(fu::SameFile(NUVString(dir.Path()), NUVString(dir / ".")));
    EXPECT_TRUE(fu::GetFileID(NUVString(a)) == fu::GetFileID(NUVString(dir / "hard")));
    EXPECT_TRUE(fu::GetFileID(NUVString(a)) != fu::GetFileID(NUVString(dir / "b")));
    try {
        fu::GetFileID(NUVString(dir / "missing"));
        ADD_FAILURE();
    } catch (const NUVZubExcNoSuchFile& e) {
        EXPECT_EQ(std::string(e.GetFile_name().AsString()), dir / "missing");
        EXPECT_STREQ(e.GetSourceFile(), kFileUtilsSource);
    }
}

TEST_F(FileUtils, RerootBranchAndShortenFileName) {
    TempDir dir;
    const std::string file = dir.Write("f.txt", "");
    EXPECT_EQ(fu::RerootBranch(NUVString(dir.Path()), "x").Str(), dir / "x");
    EXPECT_EQ(fu::RerootBranch(NUVString(file), "x").Str(), dir / "x");
    EXPECT_EQ(fu::ShortenFileName("", "rel/../p").Str(), "rel/../p");
    // Neither checks its arguments itself: an empty directory gives the path back as it is.
    EXPECT_TRUE(fu::ShortenFileName("", NUVString("bad \xff")).IsBAD());
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/a/b/c.txt").Str(), Native("b/c.txt"));
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/ab/c.txt").Str(), Native("/d/ab/c.txt"));
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/a").Str(), Native("/d/a"));
    EXPECT_EQ(fu::ShortenFileName("/d/a/", "/d/a/x/../y").Str(), "y");
    EXPECT_EQ(fu::ShortenFileName("/", "/d/x").Str(), Native("d/x"));
}

TEST_F(FileUtils, ExistenceTypeAndWriteability) {
    TempDir dir;
    const std::string file = dir.Write("f", "x");
    const std::string ro = dir.Write("ro", "x");
    ASSERT_TRUE(MakeReadOnly(ro));
    fu::MakeDir(NUVString(dir / "rodir"));
    ASSERT_TRUE(MakeReadOnly(dir / "rodir"));
    const struct {
        std::string path;
        bool exists, isDir, writeable;
    } cases[] = {
        {file, true, false, true},           {ro, true, false, false}, // also as root
        {dir.Path(), true, true, true},      {dir / "rodir", true, true, true},
        {dir / "none", false, false, false},
    };
    for (const auto& c : cases) {
        const NUVString path(c.path);
        EXPECT_EQ(fu::FileExists(path), c.exists) << c.path;
        EXPECT_EQ(fu::IsDir(path), c.isDir) << c.path;
        EXPECT_EQ(fu::IsWriteable(path), c.writeable) << c.path;
    }
    EXPECT_THROW(fu::FileExists(NUVString("\xff\xfe")), NUVZubExcBadStringArgument);
}

TEST_F(FileUtils, MoveLinkRemoveAndMovesBetweenLinksOfOneFile) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A"));
    const NUVString b(dir.Write("b", "B"));
    fu::Move(a, b); // replaces b
    EXPECT_EQ(ReadWhole(dir / "b"), "A");
    EXPECT_FALSE(fu::FileExists(a));
    ExpectSystemError([&] { fu::Move(a, b); }, "MoveFileEx", kNoSuchFile);

    EXPECT_TRUE(fu::LinkIfUnique(b, NUVString(dir / "l")));
    dir.Write("other", "O");
    EXPECT_FALSE(fu::LinkIfUnique(NUVString(dir / "other"), NUVString(dir / "l")));
    EXPECT_EQ(ReadWhole(dir / "l"), "A"); // the first link is untouched
    ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "l2")); }, "CreateHardLink");

    fu::Remove(NUVString(dir / "l"));
    EXPECT_FALSE(fu::FileExists(NUVString(dir / "l")));
    ExpectSystemError([&] { fu::Remove(NUVString(dir / "l")); }, "DeleteFile", kNoSuchFile);
    EXPECT_FALSE(fu::RemoveNoThrow(NUVString(dir / "l")));
    // A move between two links of one file leaves only the target.
    ASSERT_TRUE(fu::LinkIfUnique(b, a));
    fu::Move(a, b);
    EXPECT_FALSE(fu::FileExists(a));
    EXPECT_EQ(ReadWhole(dir / "b"), "A");
    fu::Move(b, NUVString(dir / "./b")); // one name, spelled twice: the file stays
    EXPECT_EQ(ReadWhole(dir / "b"), "A");
    EXPECT_TRUE(fu::RemoveNoThrow(b));
}

TEST_F(FileUtils, DirectoriesAndRemoveAll) {
    TempDir dir;
    const NUVString sub(dir / "sub");
    errno = EEXIST; // stale: only the call's own result counts
    fu::MakeDir(sub);
    EXPECT_TRUE(fu::IsDir(sub));
    ExpectSystemError([&] { fu::MakeDir(sub); }, "CreateDirectory", kExists);
    ExpectSystemError([&] { fu::MakeDir(NUVString(dir / "x/y")); }, "CreateDirectory",
                      kNoSuchDirectory);
    dir.Write("sub/f", "");
    ExpectSystemError([&] { fu::RemoveDir(sub); }, "RemoveDirectory", kNotEmpty);
    fu::Remove(NUVString(dir / "sub/f"));
    fu::RemoveDir(sub);
    EXPECT_FALSE(fu::FileExists(sub));

    for (const char* name : {"a.x", "b.x", "c.y"})
        dir.Write(name, "");
    fu::RemoveAll(NUVString(dir / "*.none")); // nothing matches: nothing happens
    fu::RemoveAll(NUVString(dir / "*.x"));
    EXPECT_EQ(Collect(dir / "*"), (std::set<std::string>{Match(dir, "c.y")}));
    fu::MakeDir(NUVString(dir / "d.y"));
    ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "d.*")); }, "DeleteFile");
    EXPECT_TRUE(fu::IsDir(NUVString(dir / "d.y")));
}

TEST_F(FileUtils, EachSystemCallFailureIsReportedWithItsServiceAndCode) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A")), b(dir / "b"), hard(dir / "hard");
    ASSERT_TRUE(fu::LinkIfUnique(a, hard));
    const struct {
        const char* service;
        const Fault& fault;
        std::function<void()> call;
    } rows[] = {
        {"MoveFileEx", kMove, [&] { fu::Move(a, b); }},
        {"CreateHardLink", kLink, [&] { fu::LinkIfUnique(a, b); }},
        {"DeleteFile", kRemove, [&] { fu::Remove(a); }},
        {"DeleteFile", kRemoveFound, [&] { fu::RemoveAll(NUVString(dir / "*")); }},
#if !defined(_WIN32)
        // A move between two links of one file ends in removing the source.
        {"MoveFileEx", kRemoveFound, [&] { fu::Move(a, hard); }},
#endif
        {"CreateDirectory", kMakeDir, [&] { fu::MakeDir(NUVString(dir / "d")); }},
        {"RemoveDirectory", kRemoveDir, [&] { fu::RemoveDir(NUVString(dir.Path())); }},
        {"CreateFile", kOpen, [&] { fu::GetFileID(a); }},
        {"GetFileInformationByHandle", kInformation, [&] { fu::GetFileID(a); }},
        {"FindFirstFile", kFindFirst, [&] { Collect(dir / "*"); }},
        {"FindNextFile", kFindNext, [&] { Collect(dir / "*"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.service);
        std::optional<fault::Scoped> f;
        row.fault.inject(f);
        testing::internal::CaptureStderr(); // the search's own notice
        ExpectSystemError(row.call, row.service, row.fault.code);
        testing::internal::GetCapturedStderr();
    }
    {
        std::optional<fault::Scoped> f;
        kRemove.inject(f);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
        f.reset();
        kAttributes.inject(f);
        EXPECT_FALSE(fu::FileExists(a)); // never throws
        EXPECT_FALSE(fu::IsWriteable(a));
    }
    EXPECT_TRUE(fu::FileExists(a));
}

TEST_F(Glob, YieldsMatchesWithTheDirectoryJoined) {
    TempDir dir;
    dir.Write("a.x", "");
    dir.Write(".h.x", "");
    dir.Write("A.X", ""); // on Windows, a.x again
    fu::MakeDir(NUVString(dir / "d.x"));
    EXPECT_EQ(Collect(dir / "*.x"),
              (std::set<std::string>{Match(dir, "a.x"), Match(dir, ".h.x"), Match(dir, "d.x")}));
    EXPECT_EQ(Collect(dir / "*").count(Match(dir, ".")), 0u);
    EXPECT_EQ(Collect(dir / ".*"), (std::set<std::string>{Match(dir, ".h.x")})); // no . or ..
    EXPECT_TRUE(Collect(dir / "*.none").empty());
}

// Each wildcard stands for one character, however many bytes its UTF-8 takes;
// a POSIX name that is not UTF-8 takes one per byte.
TEST_F(Glob, NamesOutsideAsciiMatchOneCharacterPerWildcard) {
    TempDir dir;
    // One character of each 3-byte lead range and of the lowest second bytes.
    const std::set<std::string> single = {
        Match(dir, "\xE6\x97\xA5.x"), Match(dir, "\xE0\xA0\x80.x"), Match(dir, "\xED\x9F\xBF.x"),
        Match(dir, "\xEF\xBF\xBD.x"), Match(dir, "\xC4\x80.x")};
    std::set<std::string> matches = single;
    matches.insert(Match(dir, "lat\xC3\xA9.x"));
#if !defined(_WIN32)
    matches.insert(dir.Write("lat\xE9.x", ""));
#endif
    for (const std::string& name : matches)
        dir.Write(name.substr(dir.Path().size() + 1), "");
    dir.Write("keep.y", "");
    EXPECT_EQ(Collect(dir / "*.x"), matches);
    EXPECT_EQ(Collect(dir / "?.x"), single);
    EXPECT_TRUE(Collect(dir / "lat??.x").empty());
    fu::RemoveAll(NUVString(dir / "lat?.x"));
    std::set<std::string> left = single;
    left.insert(Match(dir, "keep.y"));
    EXPECT_EQ(Collect(dir / "*"), left);
}

// A pattern without a directory yields bare names; every other match carries
// the directory the pattern named, root included, in either separator
// (Windows: the root of the working directory's drive).
TEST_F(Glob, PatternsInEitherSeparatorWithoutDirectoryOrAtTheRoot) {
    TempDir dir;
    dir.Write("only.q", "");
    fu::MakeDir(NUVString(dir / "sub"));
    dir.Write("sub/a.x", "");
    std::string inSub = dir / "sub\\*.x";
    for (char& c : inSub)
        if (c == '/') c = '\\';
    const auto names = Collect(inSub);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(fu::AbsolutePath(NUVString(*names.begin())).Str(), Native(dir / "sub/a.x"));
    // The temporary directory's first component, its last letter a wildcard: /tmp as /tm?.
    const std::string& path = dir.Path();
    const std::size_t start = path.find_first_of("/\\");
    const std::size_t end = path.find_first_of("/\\", start + 1);
    ASSERT_NE(end, std::string::npos) << path;
    const std::string first = path.substr(start + 1, end - start - 1);
    const std::string pattern = first.substr(0, first.size() - 1) + "?";
    const std::string cwd = CurrentDir();
    ASSERT_TRUE(ChangeDir(path));
    const auto relative = Collect("*.q");
    const auto slashed = Collect("/" + pattern), backslashed = Collect("\\" + pattern);
    ASSERT_TRUE(ChangeDir(cwd));
    EXPECT_EQ(relative, (std::set<std::string>{"only.q"}));
    EXPECT_EQ(slashed.count("/" + first), 1u) << pattern;
    EXPECT_EQ(backslashed.count("/" + first), 1u) << pattern;
}

TEST_F(Glob, MissingDirectoryThrowsWithItsLineOrFailsInTheBuffer) {
    TempDir dir;
    const std::string pattern = dir / "missing/*";
    testing::internal::CaptureStderr();
    ExpectSystemError([&] { Collect(pattern); }, "FindFirstFile", kNoSuchDirectory);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "!!! Error in FindFirstFile.  Pattern: \"" + Native(pattern) + "\"\n");
    char buffer[512];
    void* glob = reinterpret_cast<void*>(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobInit(pattern.c_str(), &glob, sizeof buffer, buffer));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(buffer).find("FindFirstFile"), std::string::npos) << buffer;
    EXPECT_NE(std::string(buffer).find("1023"), std::string::npos) << buffer;
}

// A null handle, one freed already or freed twice, or one never handed out:
// false and the text from every function, never a use of the freed search.
TEST_F(Glob, PlainFunctionsWalkAndRefuseHandlesThatAreNotLive) {
    TempDir dir;
    dir.Write("one.p", "");
    dir.Write("two.p", "");
    const std::string pattern = dir / "*.p";
    char buffer[512];
    void* freed = nullptr;
    ASSERT_TRUE(NUVZubUttFileUtils_GlobInit(pattern.c_str(), &freed, sizeof buffer, buffer));
    ASSERT_TRUE(NUVZubUttFileUtils_GlobFree(freed, sizeof buffer, buffer));
    int notAHandle = 0;
    const struct {
        void* glob;
        const char* text;
    } handles[] = {
        {nullptr, "nullptr != glob"}, {freed, "live handle"}, {&notAHandle, "live handle"}};
    for (const auto& h : handles) {
        void* glob = h.glob;
        const char* front = nullptr;
        bool empty = false;
        const struct {
            const char* name;
            std::function<bool()> call;
        } calls[] = {
            {"Front", [&] { return NUVZubUttFileUtils_GlobFront(glob, &front, 512, buffer); }},
            {"Next", [&] { return NUVZubUttFileUtils_GlobNext(glob, 512, buffer); }},
            {"Empty", [&] { return NUVZubUttFileUtils_GlobEmpty(glob, &empty, 512, buffer); }},
            {"Free", [&] { return NUVZubUttFileUtils_GlobFree(glob, 512, buffer); }},
            {"Free again", [&] { return NUVZubUttFileUtils_GlobFree(glob, 512, buffer); }},
        };
        for (const auto& c : calls) {
            SCOPED_TRACE(std::string(c.name) + " " + h.text);
            std::memset(buffer, 'z', sizeof buffer);
            testing::internal::CaptureStderr();
            EXPECT_FALSE(c.call());
            const std::string report = testing::internal::GetCapturedStderr();
            EXPECT_NE(std::string(buffer).find(h.text), std::string::npos) << buffer;
            EXPECT_NE(report.find(h.text), std::string::npos);
        }
        EXPECT_EQ(front, nullptr);
    }
    std::memset(buffer, 'z', sizeof buffer);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobNext(nullptr, 20, buffer)); // the text cut
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::strlen(buffer), 19u);
    EXPECT_EQ(buffer[20], 'z'); // nothing written past the given size

    void* glob = nullptr;
    ASSERT_TRUE(NUVZubUttFileUtils_GlobInit(pattern.c_str(), &glob, sizeof buffer, buffer));
    std::set<std::string> names;
    bool empty = true;
    while (NUVZubUttFileUtils_GlobEmpty(glob, &empty, sizeof buffer, buffer) && !empty) {
        const char* front = nullptr;
        ASSERT_TRUE(NUVZubUttFileUtils_GlobFront(glob, &front, sizeof buffer, buffer));
        names.insert(front);
        ASSERT_TRUE(NUVZubUttFileUtils_GlobNext(glob, sizeof buffer, buffer));
    }
    EXPECT_EQ(names, (std::set<std::string>{Match(dir, "one.p"), Match(dir, "two.p")}));
    EXPECT_TRUE(NUVZubUttFileUtils_GlobFree(glob, sizeof buffer, buffer));
}
