#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/SystemCalls.h>

#include <PlatformFind.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace NUVZubPlatform;

TEST(PlatformFind, WildcardsMatchTheLastComponentCaseSensitively) {
    TempDir dir;
    for (const char* name : {"a.txt", "b.TXT", "abc", "axc", "ac", ".hidden", "[ab]", "\xc3\xa9x"})
        dir.Write(name, "");
    EXPECT_EQ(Find(dir / "*.txt"), (std::set<std::string>{"a.txt"}));
    EXPECT_EQ(Find(dir / "a?c"), (std::set<std::string>{"abc", "axc"}));
    EXPECT_EQ(Find(dir / "[ab]"), (std::set<std::string>{"[ab]"})); // '[' is literal
    EXPECT_EQ(Find(dir / ".*"), (std::set<std::string>{".", "..", ".hidden"}));
    EXPECT_EQ(Find(dir / "?x"), (std::set<std::string>{"\xc3\xa9x"})); // '?' is one character
    EXPECT_EQ(Find(dir / "*c*"), (std::set<std::string>{"abc", "axc", "ac"}));
    EXPECT_EQ(Find(dir / "a*c").size(), 3u);
}

TEST(PlatformFind, NoMatchMissingDirectoryAndFailedStepDiffer) {
    TempDir dir;
    int result = 0;
    EXPECT_TRUE(Find(dir / "*.none", &result).empty());
    EXPECT_EQ(result, kNoMatch);
    Find(dir / "missing/*", &result);
    EXPECT_TRUE(IsNotFound(result));
    // A failed readdir is reported, not taken for the end.
    dir.Write("a", "");
    fault::Scoped f(&SystemCalls::readdir, &fault::Readdir, EIO);
    Find(dir / "*", &result);
    EXPECT_EQ(result, EIO);
}

TEST(PlatformFullPath, FoldsLexically) {
    std::string out;
    ASSERT_EQ(FullPath("/a/./b/../c//d/", out), 0);
    EXPECT_EQ(out, "/a/c/d");
    ASSERT_EQ(FullPath("/../..", out), 0);
    EXPECT_EQ(out, "/");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(FullPath("x/../y", out), 0);
    EXPECT_EQ(out, std::string(cwd) == "/" ? "/y" : std::string(cwd) + "/y");
    fault::Scoped f(&SystemCalls::getcwd, &fault::Getcwd, EACCES);
    EXPECT_EQ(FullPath("rel", out), EACCES);
    EXPECT_EQ(FullPath("/abs", out), 0); // an absolute path needs no working directory
}

TEST(PlatformFile, TemporaryIsExclusiveWithOwnerOnlyModeAndKeepsItsName) {
    TempDir dir;
    const std::string path = dir / "t.tmp";
    Handle handle = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Temporary, handle), 0);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    struct stat info;
    ASSERT_EQ(fstat(handle, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_GT(handle, 2);
    EXPECT_NE(fcntl(handle, F_GETFD) & FD_CLOEXEC, 0);
    Handle again = kNoHandle;
    EXPECT_TRUE(IsAlreadyExists(OpenFile(path.c_str(), OpenMode::Temporary, again)));
    EXPECT_EQ(CloseFile(handle), 0);
}

TEST(PlatformFile, StreamsMoveDataInOrderAndNeedNoSync) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_TRUE(IsStream(fds[0]));
    std::uint64_t done = 0;
    EXPECT_EQ(WriteNext(fds[1], "abc", 3, done), 0);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(SyncFile(fds[1]), 0);
    char back[3];
    EXPECT_EQ(ReadNext(fds[0], back, 3, done), 0);
    EXPECT_EQ(std::string(back, done), "abc");
    EXPECT_EQ(ReadAt(fds[0], back, 3, 0, done), ESPIPE); // why streams need their own calls
    close(fds[0]);
    close(fds[1]);
    TempDir dir;
    Handle file = kNoHandle;
    ASSERT_EQ(OpenFile((dir / "f").c_str(), OpenMode::Write, file), 0);
    EXPECT_FALSE(IsStream(file));
    CloseFile(file);
}

TEST(PlatformFile, CreateNewIsExclusiveAndDoesNotFollowSymlinks) {
    TempDir dir;
    const std::string target = dir / "target";
    const std::string link = dir / "link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    Handle handle = kNoHandle;
    EXPECT_TRUE(IsAlreadyExists(OpenFile(link.c_str(), OpenMode::CreateNew, handle)));
    EXPECT_EQ(handle, kNoHandle);
    EXPECT_NE(access(target.c_str(), F_OK), 0);
}

TEST(PlatformFile, InterruptedTransfersAreRetried) {
    TempDir dir;
    const std::string path = dir / "f";
    Handle handle = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Write, handle), 0);
    std::uint64_t done = 0;
    {
        fault::Scoped f(&SystemCalls::pwrite, &fault::Pwrite, EINTR, 0, 2);
        EXPECT_EQ(WriteAt(handle, "hello", 5, 0, done), 0);
        EXPECT_EQ(done, 5u);
        EXPECT_EQ(fault::g_failed, 2);
    }
    {
        fault::Scoped f(&SystemCalls::pread, &fault::Pread, EINTR, 0, 3);
        char back[5];
        EXPECT_EQ(ReadAt(handle, back, 5, 0, done), 0);
        EXPECT_EQ(std::string(back, done), "hello");
    }
    {
        fault::Scoped f(&SystemCalls::pread, &fault::Pread, EIO);
        char back[5];
        EXPECT_EQ(ReadAt(handle, back, 5, 0, done), EIO);
    }
    CloseFile(handle);
}

TEST(PlatformFile, ADirectoryIsNotOpenedAsAFile) {
    TempDir dir;
    Handle handle = kNoHandle;
    EXPECT_EQ(OpenFile(dir.Path().c_str(), OpenMode::Read, handle), EISDIR);
    EXPECT_EQ(OpenFile(dir.Path().c_str(), OpenMode::Update, handle), EISDIR);
    EXPECT_EQ(handle, kNoHandle);
}

TEST(PlatformAttributes, ReadOnlyByModeBitsEvenForRoot) {
    TempDir dir;
    const std::string file = dir.Write("ro", "x");
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    FileAttributes attributes;
    ASSERT_EQ(GetAttributes(file.c_str(), attributes), 0);
    EXPECT_TRUE(attributes.readOnly);
    EXPECT_FALSE(attributes.isDirectory);
    ASSERT_EQ(chmod(file.c_str(), 0400 | 0020), 0); // one write bit is enough
    ASSERT_EQ(GetAttributes(file.c_str(), attributes), 0);
    EXPECT_FALSE(attributes.readOnly);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    ASSERT_EQ(GetAttributes(dir.Path().c_str(), attributes), 0);
    EXPECT_TRUE(attributes.isDirectory);
    EXPECT_FALSE(attributes.readOnly);
    chmod(dir.Path().c_str(), 0755);
    EXPECT_TRUE(IsNotFound(GetAttributes((dir / "none").c_str(), attributes)));
}

TEST(PlatformIdentity, HardLinksShareItAndDirectoriesHaveOne) {
    TempDir dir;
    const std::string a = dir.Write("a", "x");
    ASSERT_EQ(MakeHardLink(a.c_str(), (dir / "b").c_str()), 0);
    FileIdentity ia, ib, id;
    int step = -1;
    ASSERT_EQ(GetIdentity(a.c_str(), ia, step), 0);
    ASSERT_EQ(GetIdentity((dir / "b").c_str(), ib, step), 0);
    EXPECT_EQ(ia.device, ib.device);
    EXPECT_EQ(ia.index, ib.index);
    ASSERT_EQ(GetIdentity(dir.Path().c_str(), id, step), 0);
    EXPECT_NE(id.index, ia.index);
    {
        fault::Scoped f(&SystemCalls::fstat, &fault::Fstat, EOVERFLOW);
        EXPECT_EQ(GetIdentity(a.c_str(), ia, step), EOVERFLOW);
        EXPECT_EQ(step, 1);
    }
    EXPECT_TRUE(IsNotFound(GetIdentity((dir / "none").c_str(), ia, step)));
    EXPECT_EQ(step, 0);
}

TEST(PlatformErrors, Classifiers) {
    EXPECT_TRUE(IsDiskFull(ENOSPC));
    EXPECT_TRUE(IsDiskFull(EDQUOT));
    EXPECT_FALSE(IsDiskFull(EIO));
    EXPECT_TRUE(IsNotFound(ENOENT));
    EXPECT_TRUE(IsAlreadyExists(EEXIST));
    EXPECT_EQ(CheckOffset(~0ull >> 1), 0);
    EXPECT_EQ(CheckOffset(1ull << 63), EINVAL);
    TempDir dir;
    dir.Write("file", "");
    const struct {
        const char* path;
        int error;
        bool pathNotFound;
    } cases[] = {{"none", ENOENT, false},
                 {"no/none", ENOENT, true},
                 {"file/x", ENOTDIR, true},
                 {"file/x", ENOENT, true},
                 {"none", EACCES, false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsPathNotFound(c.error, (dir / c.path).c_str()), c.pathNotFound) << c.path;
    EXPECT_FALSE(IsPathNotFound(ENOENT, "relative-none"));
}
