// The file utilities over POSIX services: the system-call table's faults,
// symbolic links, names that are not UTF-8 and removal at the root of the
// file system (inside a chroot). The Windows faults are in fileutils_win32_test.
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZubPlatform/SystemCalls.h>

#include <ChildProcess.h>
#include <FileUtilsChecks.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using NUVZubPlatform::SystemCalls;

namespace {

using FileUtils = QuietFileUtils;
using Glob = QuietFileUtils;
using FileUtilsFaults = QuietFileUtils;

} // namespace

TEST_F(FileUtils, AbsolutePathFoldsDotDotWithoutFollowingASymbolicLink) {
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
        EXPECT_STREQ(e.GetSourceFile(), kFileUtilsSource);
    }
}

TEST_F(FileUtilsFaults, IdentityFailures) {
    TempDir dir;
    const std::string a = dir.Write("a", "1");
    {
        fault::Scoped f(&SystemCalls::open, &fault::Open, EACCES);
        ExpectSystemError([&] { fu::GetFileID(NUVString(a)); }, "CreateFile", EACCES);
    }
    fault::Scoped f(&SystemCalls::fstat, &fault::Fstat, EIO);
    ExpectSystemError([&] { fu::GetFileID(NUVString(a)); }, "GetFileInformationByHandle", EIO);
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
    const NUVString link(dir / "hard");
    ASSERT_TRUE(fu::LinkIfUnique(a, link));
    {
        fault::Scoped f(&SystemCalls::unlink, &fault::Unlink, EPERM);
        ExpectSystemError([&] { fu::Remove(a); }, "DeleteFile", EPERM);
        EXPECT_FALSE(fu::RemoveNoThrow(a));
    }
    {
        // A name found by a search, or checked in its open directory, is removed there.
        fault::Scoped f(&SystemCalls::unlinkat, &fault::Unlinkat, EPERM);
        // A move between two links of one file ends in removing the source.
        ExpectSystemError([&] { fu::Move(a, link); }, "MoveFileEx", EPERM);
        ExpectSystemError([&] { fu::RemoveAll(NUVString(dir / "*")); }, "DeleteFile", EPERM);
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

// RemoveAll at the root, inside a chroot so that the real root is never touched.
TEST_F(Glob, RemoveAllAtTheRoot) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    dir.Write("sub/a.x", "");
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
