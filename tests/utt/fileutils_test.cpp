// The file utilities on every system; each system's failures are injected
// through its call table and reported with its own codes.
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcParser.h>

#include <FileUtilsChecks.h>
#include <NativePaths.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

using FileUtils = QuietFileUtils;
using Glob = QuietFileUtils;
using fault::Calls;

// A failure of one system call, its code, and the calls that pass before it.
struct Fault {
    fault::Call call;
    int code, skip = 0;
};

#if defined(_WIN32)
constexpr int kExists = ERROR_ALREADY_EXISTS;
const Fault kMove{{&Calls::MoveFileExW, &fault::Move}, ERROR_NOT_SAME_DEVICE};
const Fault kLink{{&Calls::CreateHardLinkW, &fault::Link}, ERROR_TOO_MANY_LINKS};
const Fault kRemove{{&Calls::SetFileInformationByHandle, &fault::Delete}, ERROR_ACCESS_DENIED};
const Fault kRemoveFound = kRemove;
const Fault kMakeDir{{&Calls::CreateDirectoryW, &fault::MakeDir}, ERROR_DISK_FULL};
const Fault kRemoveDir{{&Calls::RemoveDirectoryW, &fault::RemoveDir}, ERROR_SHARING_VIOLATION};
const Fault kFindFirst{{&Calls::FindFirstFileExW, &fault::FindFirst}, ERROR_TOO_MANY_OPEN_FILES};
// After the first match: "." and ".." come before it.
const Fault kFindNext{fault::kFindNext, ERROR_IO_DEVICE, 2};
const Fault kAttributes{{&Calls::GetFileAttributesW, &fault::Attributes}, ERROR_ACCESS_DENIED};

bool MakeReadOnly(const std::string& path) {
    const std::wstring wide = utf16::Widen(path);
    return SetFileAttributesW(wide.c_str(),
                              GetFileAttributesW(wide.c_str()) | FILE_ATTRIBUTE_READONLY) != 0;
}
#else
constexpr int kExists = EEXIST;
const Fault kMove{{&Calls::rename, &fault::Rename}, EXDEV};
const Fault kLink{{&Calls::link, &fault::Link}, EMLINK};
const Fault kRemove{{&Calls::unlink, &fault::Unlink}, EPERM};
// A name found by a search, or checked in its open directory, is removed there.
const Fault kRemoveFound{{&Calls::unlinkat, &fault::Unlinkat}, EPERM};
const Fault kMakeDir{{&Calls::mkdir, &fault::Mkdir}, ENOSPC};
const Fault kRemoveDir{{&Calls::rmdir, &fault::Rmdir}, EBUSY};
const Fault kFindFirst{{&Calls::opendir, &fault::Opendir}, EMFILE};
const Fault kFindNext{fault::kFindNext, EIO, 1}; // after the first match
const Fault kAttributes{{&Calls::stat, &fault::Stat}, EACCES};

bool MakeReadOnly(const std::string& path) { return chmod(path.c_str(), 0555) == 0; }
#endif
const Fault kOpen{fault::kOpen, fault::kDenied}, kInformation{fault::kQuery, fault::kIoError};

// A match as the search yields it: the pattern's directory as named, a slash, the name.
std::string Match(const TempDir& dir, const std::string& name) { return dir.Path() + "/" + name; }

} // namespace

// Lexical: ".." after a symbolic link is its directory's parent, not the
// target's. Neither checks its arguments itself: an empty directory gives the
// path back as it is.
TEST_F(FileUtils, LexicalPaths) {
    TempDir dir;
    const std::string file = dir.Write("f.txt", ""), cwd = CurrentDir();
    ASSERT_FALSE(cwd.empty());
#if !defined(_WIN32)
    ASSERT_EQ(symlink("/usr", (dir / "l").c_str()), 0);
#endif
    const struct {
        NUVString got;
        std::string expected;
    } cases[] = {
        {fu::AbsolutePath("/no/such/./dir/../x"), Native("/no/such/x")},
        {fu::AbsolutePath("a\\b"), Native(cwd + "/a/b")},
        {fu::RerootBranch(NUVString(dir.Path()), "x"), dir / "x"},
        {fu::RerootBranch(NUVString(file), "x"), dir / "x"},
        {fu::ShortenFileName("", "rel/../p"), "rel/../p"},
        {fu::ShortenFileName("/d/a", "/d/a/b/c.txt"), Native("b/c.txt")},
        {fu::ShortenFileName("/d/a", "/d/ab/c.txt"), Native("/d/ab/c.txt")},
        {fu::ShortenFileName("/d/a", "/d/a"), Native("/d/a")},
        {fu::ShortenFileName("/d/a/", "/d/a/x/../y"), "y"},
        {fu::ShortenFileName("/", "/d/x"), Native("d/x")},
#if !defined(_WIN32)
        {fu::AbsolutePath(NUVString(dir / "l/..")), dir.Path()},
#endif
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got.Str(), c.expected);
    EXPECT_TRUE(fu::ShortenFileName("", NUVString("bad \xff")).IsBAD());
#if defined(_WIN32)
    const std::string root = "C:\\" + std::string(200, 'r'); // and past MAX_PATH
    for (std::size_t extra : {10u, 100u, 300u}) {
        const std::string inside(extra, 'i'), path = root + "\\x\\..\\" + inside;
        EXPECT_EQ(fu::AbsolutePath(NUVString(path)).Str(), root + "\\" + inside) << extra;
        EXPECT_EQ(fu::ShortenFileName(NUVString(root), NUVString(path)).Str(), inside) << extra;
        EXPECT_EQ(fu::ShortenFileName(NUVString(root + "\\" + inside), NUVString(root)).Str(), root)
            << extra;
    }
#endif
}

TEST_F(FileUtils, SameFileIdentityExistenceTypeAndWriteability) {
    TempDir dir;
    const NUVString a(dir.Write("a", "1")), b(dir.Write("b", "1")), hard(dir / "hard");
    const NUVString missing(dir / "missing"), ro(dir.Write("ro", "x")), roDir(dir / "rodir");
    ASSERT_TRUE(fu::LinkIfUnique(a, hard));
    ASSERT_TRUE(MakeReadOnly(ro.Str()));
    fu::MakeDir(roDir);
    ASSERT_TRUE(MakeReadOnly(roDir.Str()));
    EXPECT_TRUE(fu::SameFile(a, hard));
    EXPECT_TRUE(fu::SameFile(a, NUVString(dir / "./a")));
    EXPECT_FALSE(fu::SameFile(a, b));
    EXPECT_FALSE(fu::SameFile(a, missing));
    EXPECT_TRUE(fu::SameFile(NUVString(dir.Path()), NUVString(dir / ".")));
    EXPECT_TRUE(fu::GetFileID(a) == fu::GetFileID(hard));
    EXPECT_TRUE(fu::GetFileID(a) != fu::GetFileID(b));
    try {
        fu::GetFileID(missing);
        ADD_FAILURE();
    } catch (const NUVZubExcNoSuchFile& e) {
        EXPECT_EQ(std::string(e.GetFile_name().AsString()), missing.Str());
        EXPECT_STREQ(e.GetSourceFile(), kFileUtilsSource);
    }
    // A read-only file is not writeable, even to root; a read-only directory is.
    const struct {
        NUVString path;
        bool exists, isDir, writeable;
    } cases[] = {{a, true, false, true},
                 {ro, true, false, false},
                 {NUVString(dir.Path()), true, true, true},
                 {roDir, true, true, true},
                 {missing, false, false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(fu::FileExists(c.path), c.exists) << c.path.Str();
        EXPECT_EQ(fu::IsDir(c.path), c.isDir) << c.path.Str();
        EXPECT_EQ(fu::IsWriteable(c.path), c.writeable) << c.path.Str();
    }
    EXPECT_THROW(fu::FileExists(NUVString("\xff\xfe")), NUVZubExcBadStringArgument);
}

TEST_F(FileUtils, MoveLinkRemoveAndMovesBetweenLinksOfOneFile) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A")), b(dir.Write("b", "B")), l(dir / "l");
    fu::Move(a, b); // replaces b
    EXPECT_EQ(ReadWhole(dir / "b"), "A");
    EXPECT_FALSE(fu::FileExists(a));
    ExpectSystemError([&] { fu::Move(a, b); }, "MoveFileEx", fault::kMissing);
    EXPECT_TRUE(fu::LinkIfUnique(b, l));
    EXPECT_FALSE(fu::LinkIfUnique(NUVString(dir.Write("other", "O")), l));
    EXPECT_EQ(ReadWhole(dir / "l"), "A"); // the first link is untouched
    ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "l2")); }, "CreateHardLink");
    fu::Remove(l);
    EXPECT_FALSE(fu::FileExists(l));
    ExpectSystemError([&] { fu::Remove(l); }, "DeleteFile", fault::kMissing);
    EXPECT_FALSE(fu::RemoveNoThrow(l));
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
                      fault::kMissingDirectory);
    dir.Write("sub/f", "");
    ExpectSystemError([&] { fu::RemoveDir(sub); }, "RemoveDirectory", fault::kNotEmpty);
    fu::Remove(NUVString(dir / "sub/f"));
    fu::RemoveDir(sub);
    EXPECT_FALSE(fu::FileExists(sub));
    dir.Write("c.y", "");
    fu::RemoveAll(NUVString(dir / "*.none")); // nothing matches: nothing happens
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
        fault::Scoped f(row.fault.call, row.fault.code, row.fault.skip);
        testing::internal::CaptureStderr(); // the search's own notice
        ExpectSystemError(row.call, row.service, row.fault.code);
        testing::internal::GetCapturedStderr();
    }
    {
        fault::Scoped f(kRemove.call, kRemove.code);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
    }
    {
        fault::Scoped f(kAttributes.call, kAttributes.code);
        EXPECT_FALSE(fu::FileExists(a)); // never throws
        EXPECT_FALSE(fu::IsWriteable(a));
    }
    EXPECT_TRUE(fu::FileExists(a));
}

// Each wildcard stands for one character, however many bytes its UTF-8 takes
// (one of each 3-byte lead range and of the lowest second bytes); a POSIX name
// that is not UTF-8 takes one per byte. No "." or "..", and on Windows AB.X is
// ab.x again. DEL and U+07FF end the 1- and 2-byte forms, U+10000 and U+1F400
// take a surrogate pair (the low half DC00): Windows gets each name as UTF-16
// encodes it, and a search gives it back as UTF-8.
TEST_F(Glob, YieldsMatchesWithTheDirectoryJoined) {
    TempDir dir;
    const std::set<std::string> single = {
        Match(dir, "\xE6\x97\xA5.x"), Match(dir, "\xE0\xA0\x80.x"), Match(dir, "\xED\x9F\xBF.x"),
        Match(dir, "\xEF\xBF\xBD.x"), Match(dir, "\xC4\x80.x")};
    const char* const boundaries[] = {"n\x7F.x", "n\xDF\xBF.x", "n\xE2\x82\xAC.x",
                                      "n\xF0\x90\x80\x80.x", "n\xF0\x9F\x90\x80.x"};
    std::set<std::string> matches = single;
    for (const char* name : {"lat\xC3\xA9.x", "ab.x", ".h.x"})
        matches.insert(Match(dir, name));
    for (const char* name : boundaries)
        matches.insert(Match(dir, name));
#if !defined(_WIN32)
    matches.insert(Match(dir, "lat\xE9.x"));
#endif
    for (const std::string& name : matches)
        dir.Write(name.substr(dir.Path().size() + 1), "");
    for (const char* name : boundaries)
        EXPECT_TRUE(fu::FileExists(NUVString(dir / name))) << name;
    dir.Write("AB.X", "");
    fu::MakeDir(NUVString(dir / "dir.x"));
    matches.insert(Match(dir, "dir.x"));
    EXPECT_EQ(Collect(dir / "*.x"), matches);
    EXPECT_EQ(Collect(dir / "?.x"), single);
    EXPECT_EQ(Collect(dir / ".*"), (std::set<std::string>{Match(dir, ".h.x")}));
    EXPECT_TRUE(Collect(dir / "lat??.x").empty());
    EXPECT_TRUE(Collect(dir / "*.none").empty());
    fu::RemoveAll(NUVString(dir / "lat?.x"));
    matches.erase(Match(dir, "lat\xC3\xA9.x"));
    matches.erase(Match(dir, "lat\xE9.x"));
    EXPECT_EQ(Collect(dir / "*.x"), matches);
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
    std::replace(inSub.begin(), inSub.end(), '/', '\\');
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

// A missing directory: its line on stderr and the exception, or false and the
// text in the buffer. A null handle, one freed already or freed twice, or one
// never handed out: false and the text from every function, never a use of
// the freed search; the text cut to the buffer, nothing written past it.
TEST_F(Glob, PlainFunctionsWalkAndRefuseMissingDirectoriesAndHandlesThatAreNotLive) {
    TempDir dir;
    const std::string missing = dir / "missing/*", pattern = dir / "*.p";
    testing::internal::CaptureStderr();
    ExpectSystemError([&] { Collect(missing); }, "FindFirstFile", fault::kMissingDirectory);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "!!! Error in FindFirstFile.  Pattern: \"" + Native(missing) + "\"\n");
    char buffer[512];
    void* glob = reinterpret_cast<void*>(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobInit(missing.c_str(), &glob, sizeof buffer, buffer));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(buffer).find("FindFirstFile"), std::string::npos) << buffer;
    EXPECT_NE(std::string(buffer).find("1023"), std::string::npos) << buffer;

    dir.Write("one.p", "");
    dir.Write("two.p", "");
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
    ASSERT_TRUE(NUVZubUttFileUtils_GlobFree(glob, sizeof buffer, buffer));
    int notAHandle = 0;
    const std::pair<void*, const char*> handles[] = {
        {nullptr, "nullptr != glob"}, {glob, "live handle"}, {&notAHandle, "live handle"}};
    for (const auto& h : handles) {
        const char* front = nullptr;
        const std::function<bool()> calls[] = {
            [&] { return NUVZubUttFileUtils_GlobFront(h.first, &front, 512, buffer); },
            [&] { return NUVZubUttFileUtils_GlobNext(h.first, 512, buffer); },
            [&] { return NUVZubUttFileUtils_GlobEmpty(h.first, &empty, 512, buffer); },
            [&] { return NUVZubUttFileUtils_GlobFree(h.first, 512, buffer); },
            [&] { return NUVZubUttFileUtils_GlobFree(h.first, 512, buffer); },
        };
        for (const auto& call : calls) {
            SCOPED_TRACE(std::string(h.second) + " call " + std::to_string(&call - calls));
            std::memset(buffer, 'z', sizeof buffer);
            testing::internal::CaptureStderr();
            EXPECT_FALSE(call());
            const std::string report = testing::internal::GetCapturedStderr();
            EXPECT_NE(std::string(buffer).find(h.second), std::string::npos) << buffer;
            EXPECT_NE(report.find(h.second), std::string::npos);
        }
        EXPECT_EQ(front, nullptr);
    }
    std::memset(buffer, 'z', sizeof buffer);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobNext(nullptr, 20, buffer));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::strlen(buffer), 19u);
    EXPECT_EQ(buffer[20], 'z');
}
