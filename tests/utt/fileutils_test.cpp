#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZubPlatform/SystemCalls.h>

#include <ChildProcess.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fu = NUVZubUttFileUtils;
using NUVZubPlatform::SystemCalls;

namespace {

constexpr const char* kSource = "NUVZub/NUVZubUtt.m/src/NUVZubUttFileUtils";

struct Quiet : ::testing::Test {
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
};
using FileUtils = Quiet;
using Glob = Quiet;
using FileUtilsFaults = Quiet;

// Runs `body`, expects NUVZubExcSystemError for `service` raised from this layer.
template <class F> void ExpectSystemError(F body, const char* service, int code = 0) {
    try {
        body();
        ADD_FAILURE() << "no exception for " << service;
    } catch (const NUVZubExcSystemError& e) {
        EXPECT_STREQ(e.GetServiceName().AsString(), service);
        EXPECT_STREQ(e.GetSourceFile(), kSource);
        EXPECT_GT(e.GetSourceLine(), 0);
        if (code != 0) {
            EXPECT_EQ(e.GetSystemErrorCode().GetCode(), code);
        }
    }
}

std::set<std::string> Collect(const std::string& pattern) {
    std::set<std::string> names;
    for (fu::GlobRange range{NUVString(pattern)}; !range.Empty(); range.Next())
        names.insert(range.Front().Str());
    return names;
}

NUVString Bad() { return NUVString("\xff\xfe"); }

} // namespace

TEST_F(FileUtils, AbsolutePathIsLexical) {
    EXPECT_EQ(fu::AbsolutePath("/no/such/./dir/../x").Str(), "/no/such/x");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(fu::AbsolutePath("a\\b").Str(), std::string(cwd) + "/a/b");
    TempDir dir;
    ASSERT_EQ(symlink("/usr", (dir / "l").c_str()), 0);
    EXPECT_EQ(fu::AbsolutePath(NUVString(dir / "l/..")).Str(), dir.Path()); // not /
}

char* NotUtf8Cwd(char* buffer, size_t size) {
    std::strncpy(buffer, "/bad\xff", size);
    return buffer;
}

TEST_F(FileUtilsFaults, AbsolutePathWithoutOrWithAnUnconvertibleWorkingDirectory) {
    {
        fault::Scoped f(&SystemCalls::getcwd, &fault::Getcwd, EACCES);
        testing::internal::CaptureStderr();
        EXPECT_THROW(fu::AbsolutePath("rel"), NUVBasAssertException);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("absolutePath.s != 0"),
                  std::string::npos);
    }
    fault::Scoped f(&SystemCalls::getcwd, &NotUtf8Cwd, 0);
    try {
        fu::AbsolutePath("rel");
        ADD_FAILURE();
    } catch (const NUVBasToUTF8Exception& e) {
        EXPECT_STREQ(e.GetMessage(), "_wfullpath");
        EXPECT_STREQ(e.GetSourceFile(), kSource);
    }
}

TEST_F(FileUtils, SameFileAndIdentityAndTheirFailures) {
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
        EXPECT_STREQ(e.GetSourceFile(), kSource);
    }
    {
        fault::Scoped f(&SystemCalls::open, &fault::Open, EACCES);
        ExpectSystemError([&] { fu::GetFileID(NUVString(a)); }, "CreateFile", EACCES);
    }
    fault::Scoped f(&SystemCalls::fstat, &fault::Fstat, EIO);
    ExpectSystemError([&] { fu::GetFileID(NUVString(a)); }, "GetFileInformationByHandle", EIO);
}

TEST_F(FileUtils, RerootBranchAndShortenFileName) {
    TempDir dir;
    const std::string file = dir.Write("f.txt", "");
    EXPECT_EQ(fu::RerootBranch(NUVString(dir.Path()), "x").Str(), dir / "x");
    EXPECT_EQ(fu::RerootBranch(NUVString(file), "x").Str(), dir / "x");
    EXPECT_EQ(fu::ShortenFileName("", "rel/../p").Str(), "rel/../p");
    // Neither checks its arguments itself: an empty directory gives the path back as it is.
    EXPECT_TRUE(fu::ShortenFileName("", NUVString("bad \xff")).IsBAD());
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/a/b/c.txt").Str(), "b/c.txt");
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/ab/c.txt").Str(), "/d/ab/c.txt");
    EXPECT_EQ(fu::ShortenFileName("/d/a", "/d/a").Str(), "/d/a");
    EXPECT_EQ(fu::ShortenFileName("/d/a/", "/d/a/x/../y").Str(), "y");
}

TEST_F(FileUtils, ExistenceTypeAndWriteability) {
    TempDir dir;
    const std::string file = dir.Write("f", "x");
    const std::string ro = dir.Write("ro", "x");
    ASSERT_EQ(chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(mkdir((dir / "rodir").c_str(), 0555), 0);
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
    EXPECT_THROW(fu::FileExists(Bad()), NUVZubExcBadStringArgument);
}

TEST_F(FileUtils, MoveLinkRemoveAndMovesBetweenLinksOfOneFile) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A"));
    const NUVString b(dir.Write("b", "B"));
    fu::Move(a, b); // replaces b
    EXPECT_EQ(ReadWhole(dir / "b"), "A");
    EXPECT_FALSE(fu::FileExists(a));
    ExpectSystemError([&] { fu::Move(a, b); }, "MoveFileEx", ENOENT);

    EXPECT_TRUE(fu::LinkIfUnique(b, NUVString(dir / "l")));
    dir.Write("other", "O");
    EXPECT_FALSE(fu::LinkIfUnique(NUVString(dir / "other"), NUVString(dir / "l")));
    EXPECT_EQ(ReadWhole(dir / "l"), "A"); // the first link is untouched
    ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "l2")); }, "CreateHardLink");

    fu::Remove(NUVString(dir / "l"));
    EXPECT_FALSE(fu::FileExists(NUVString(dir / "l")));
    ExpectSystemError([&] { fu::Remove(NUVString(dir / "l")); }, "DeleteFile", ENOENT);
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

TEST_F(FileUtils, Directories) {
    TempDir dir;
    const NUVString sub(dir / "sub");
    fu::MakeDir(sub);
    EXPECT_TRUE(fu::IsDir(sub));
    ExpectSystemError([&] { fu::MakeDir(sub); }, "CreateDirectory", EEXIST);
    ExpectSystemError([&] { fu::MakeDir(NUVString(dir / "x/y")); }, "CreateDirectory", ENOENT);
    dir.Write("sub/f", "");
    ExpectSystemError([&] { fu::RemoveDir(sub); }, "RemoveDirectory", ENOTEMPTY);
    fu::Remove(NUVString(dir / "sub/f"));
    fu::RemoveDir(sub);
    EXPECT_FALSE(fu::FileExists(sub));
}

TEST_F(FileUtils, RemoveAll) {
    TempDir dir;
    dir.Write("a.x", "");
    dir.Write("b.x", "");
    dir.Write("c.y", "");
    fu::RemoveAll(NUVString(dir / "*.none")); // nothing matches: nothing happens
    fu::RemoveAll(NUVString(dir / "*.x"));
    EXPECT_EQ(Collect(dir / "*"), (std::set<std::string>{dir / "c.y"}));
    ASSERT_EQ(mkdir((dir / "d.y").c_str(), 0755), 0);
    ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "d.*")); }, "DeleteFile");
    EXPECT_TRUE(fu::IsDir(NUVString(dir / "d.y")));
}

TEST_F(FileUtils, RemoveAllMatchesNamesThatAreNotUtf8) {
    TempDir dir;
    const std::string latin1 = dir.Write("lat\xE9.x", "");
    dir.Write("lat\xC3\xA9.x", ""); // the same name in UTF-8: one character
    dir.Write("keep.y", "");
    EXPECT_EQ(Collect(dir / "*.x"), (std::set<std::string>{latin1, dir / "lat\xC3\xA9.x"}));
    EXPECT_TRUE(Collect(dir / "lat??.x").empty());
    fu::RemoveAll(NUVString(dir / "lat?.x"));
    EXPECT_EQ(Collect(dir / "*"), (std::set<std::string>{dir / "keep.y"}));
}

TEST_F(FileUtilsFaults, FailureRowsThroughTheCallTable) {
    TempDir dir;
    const NUVString a(dir.Write("a", "A"));
    {
        fault::Scoped f(&SystemCalls::rename, &fault::Rename, EXDEV);
        ExpectSystemError([&] { fu::Move(a, NUVString(dir / "b")); }, "MoveFileEx", EXDEV);
    }
    {
        fault::Scoped f(&SystemCalls::link, &fault::Link, EMLINK);
        ExpectSystemError([&] { fu::LinkIfUnique(a, NUVString(dir / "b")); }, "CreateHardLink",
                          EMLINK);
    }
    {
        const NUVString link(dir / "hard");
        ASSERT_TRUE(fu::LinkIfUnique(a, link));
        fault::Scoped f(&SystemCalls::unlink, &fault::Unlink, EPERM);
        // A move between two links of one file ends in removing the source.
        ExpectSystemError([&] { fu::Move(a, link); }, "MoveFileEx", EPERM);
        ExpectSystemError([&] { fu::Remove(a); }, "DeleteFile", EPERM);
        ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "*")); }, "DeleteFile", EPERM);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
    }
    {
        fault::Scoped f(&SystemCalls::mkdir, &fault::Mkdir, ENOSPC);
        ExpectSystemError([&] { fu::MakeDir(NUVString(dir / "d")); }, "CreateDirectory", ENOSPC);
    }
    {
        fault::Scoped f(&SystemCalls::rmdir, &fault::Rmdir, EBUSY);
        ExpectSystemError([&] { fu::RemoveDir(NUVString(dir.Path())); }, "RemoveDirectory", EBUSY);
    }
    {
        fault::Scoped f(&SystemCalls::stat, &fault::Stat, EACCES);
        EXPECT_FALSE(fu::FileExists(a)); // never throws
        EXPECT_FALSE(fu::IsWriteable(a));
    }
    EXPECT_TRUE(fu::FileExists(a));
}

TEST_F(Glob, YieldsMatchesWithTheDirectoryJoined) {
    TempDir dir;
    dir.Write("a.x", "");
    dir.Write(".h.x", "");
    dir.Write("A.X", "");
    ASSERT_EQ(mkdir((dir / "d.x").c_str(), 0755), 0);
    EXPECT_EQ(Collect(dir / "*.x"),
              (std::set<std::string>{dir / "a.x", dir / ".h.x", dir / "d.x"}));
    EXPECT_EQ(Collect(dir / "*").count(dir / "."), 0u);
    EXPECT_EQ(Collect(dir / ".*"), (std::set<std::string>{dir / ".h.x"})); // no . or ..
    EXPECT_TRUE(Collect(dir / "*.none").empty());
}

TEST_F(Glob, PatternWithoutDirectoryAndAtTheRoot) {
    TempDir dir;
    dir.Write("only.q", "");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    const auto relative = Collect("*.q");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(relative, (std::set<std::string>{"only.q"}));
    EXPECT_EQ(Collect("/tm?"), (std::set<std::string>{"/tmp"}));
}

// Every match carries the directory that the pattern named, in either separator.
TEST_F(Glob, BackslashPatternsKeepTheirDirectory) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    dir.Write("sub/a.x", "");
    std::string backslashed = dir / "sub\\*.x";
    for (char& c : backslashed)
        if (c == '/') c = '\\';
    const auto names = Collect(backslashed);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(fu::AbsolutePath(NUVString(*names.begin())).Str(), dir / "sub/a.x");
    EXPECT_EQ(Collect("\\tm?"), (std::set<std::string>{"/tmp"}));
    // RemoveAll at the root, inside a chroot so that the real root is never touched.
    const ChildResult child = RunInChild([&] {
        if (chroot(dir.Path().c_str()) != 0) return 77;
        if (chdir("/sub") != 0) return 2;
        std::fclose(std::fopen("/a.x", "w"));
        fu::RemoveAll("\\a.*");
        return (access("/a.x", F_OK) != 0 && access("/sub/a.x", F_OK) == 0) ? 0 : 3;
    });
    if (child.exitCode == 77) GTEST_SKIP() << "chroot not permitted";
    EXPECT_EQ(child.exitCode, 0) << child.err;
}

TEST_F(Glob, MissingDirectoryThrowsWithItsLine) {
    TempDir dir;
    testing::internal::CaptureStderr();
    ExpectSystemError([&] { Collect(dir / "missing/*"); }, "FindFirstFile", ENOENT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "!!! Error in FindFirstFile.  Pattern: \"" + dir / "missing/*" + "\"\n");
}

TEST_F(FileUtilsFaults, GlobSearchFailures) {
    TempDir dir;
    dir.Write("a", "");
    dir.Write("b", "");
    {
        fault::Scoped f(&SystemCalls::opendir, &fault::Opendir, EMFILE);
        testing::internal::CaptureStderr();
        ExpectSystemError([&] { Collect(dir / "*"); }, "FindFirstFile", EMFILE);
        testing::internal::GetCapturedStderr();
    }
    // The first readdir finds a match; a later one fails.
    fault::Scoped f(&SystemCalls::readdir, &fault::Readdir, EIO, 1);
    fu::GlobRange range{NUVString(dir / "*")};
    ExpectSystemError(
        [&] {
            while (!range.Empty())
                range.Next();
        },
        "FindNextFile", EIO);
}

// ---- plain-name functions ----

TEST_F(Glob, PlainFunctionsWalkAndFree) {
    TempDir dir;
    dir.Write("one.p", "");
    dir.Write("two.p", "");
    char buffer[256] = {};
    void* glob = nullptr;
    ASSERT_TRUE(NUVZubUttFileUtils_GlobInit((dir / "*.p").c_str(), &glob, sizeof buffer, buffer));
    std::set<std::string> names;
    bool empty = true;
    while (NUVZubUttFileUtils_GlobEmpty(glob, &empty, sizeof buffer, buffer) && !empty) {
        const char* front = nullptr;
        ASSERT_TRUE(NUVZubUttFileUtils_GlobFront(glob, &front, sizeof buffer, buffer));
        names.insert(front);
        ASSERT_TRUE(NUVZubUttFileUtils_GlobNext(glob, sizeof buffer, buffer));
    }
    EXPECT_EQ(names, (std::set<std::string>{dir / "one.p", dir / "two.p"}));
    EXPECT_TRUE(NUVZubUttFileUtils_GlobFree(glob, sizeof buffer, buffer));
}

TEST_F(Glob, PlainFunctionsReportFailuresInTheBuffer) {
    char buffer[512];
    void* glob = reinterpret_cast<void*>(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobInit("/no/such/dir/*", &glob, sizeof buffer, buffer));
    testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string(buffer).find("FindFirstFile"), std::string::npos) << buffer;
    EXPECT_NE(std::string(buffer).find("1023"), std::string::npos) << buffer;

    bool empty = false;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(NUVZubUttFileUtils_GlobEmpty(nullptr, &empty, sizeof buffer, buffer));
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("nullptr != glob"), std::string::npos);
    EXPECT_NE(std::string(buffer).find("nullptr != glob"), std::string::npos) << buffer;
    const std::function<bool()> calls[] = {
        [&] { return NUVZubUttFileUtils_GlobNext(nullptr, sizeof buffer, buffer); },
        [&] { return NUVZubUttFileUtils_GlobFree(nullptr, sizeof buffer, buffer); },
        [&] { return NUVZubUttFileUtils_GlobFront(nullptr, nullptr, sizeof buffer, buffer); },
        [&] { return NUVZubUttFileUtils_GlobNext(nullptr, 20, buffer); }, // the text cut
    };
    for (const auto& call : calls) {
        std::memset(buffer, 'z', sizeof buffer);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(call());
        testing::internal::GetCapturedStderr();
        if (&call != &calls[3]) {
            EXPECT_NE(std::string(buffer).find("nullptr != glob"), std::string::npos);
        }
    }
    EXPECT_EQ(std::strlen(buffer), 19u);
    EXPECT_EQ(buffer[20], 'z'); // nothing written past the given size
}
