// The file utilities over POSIX services: the working directory's faults, removal at the root,
// and removals that land where the names were found while that directory becomes a link.
#include <NUVZub/NUVZubUttOSFile.h>
#include <NUVZubPlatform/SystemCalls.h>

#include <ChildProcess.h>
#include <FileUtilsChecks.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using NUVZubPlatform::SystemCalls;

namespace {

using FileUtils = QuietFileUtils;
using Removal = QuietFileUtils;

char* NotUtf8Cwd(char* buffer, size_t size) {
    std::strncpy(buffer, "/bad\xff", size);
    return buffer;
}

// The names in `directory`, read without the library; none if it is missing.
std::set<std::string> Names(const std::string& directory) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error))
        names.insert(entry.path().filename().string());
    return names;
}

// The directory `path` and the symbolic link `path`.link trade places in one step.
bool Exchange(const char* path, const char* link) {
    return renameat2(AT_FDCWD, path, AT_FDCWD, link, RENAME_EXCHANGE) == 0;
}
bool Exchange(const std::string& path) { return Exchange(path.c_str(), (path + ".link").c_str()); }

// The directory `path` beside `path`.link, a symbolic link to `target`.
void MakeSwappable(const std::string& path, const std::string& target) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(symlink(target.c_str(), (path + ".link").c_str()), 0);
}

// Another process that exchanges `path` and `path`.link a few times whenever nudged, alongside
// the nudging process; the real directory is back at `path` once it has stopped.
class Swapper {
public:
    explicit Swapper(const std::string& path) : m_path(path), m_link(path + ".link") {
        if (pipe(m_go) != 0 || pipe(m_started) != 0) std::abort();
        m_pid = fork();
        if (m_pid != 0) return;
        // Allocates nothing, and never outlives the test.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(m_go[1]);
        close(m_started[0]);
        int swaps = 0;
        for (char go; read(m_go[0], &go, 1) == 1;) {
            if (write(m_started[1], &go, 1) != 1) break;
            for (int i = 0; i < 15; ++i) // odd: the link and the directory trade places
                swaps += Exchange(m_path.c_str(), m_link.c_str());
        }
        _exit(swaps < 255 ? swaps : 255);
    }
    ~Swapper() { Stop(); }

    /// Returns once the other process has begun a round of swaps; false if it is gone.
    bool Nudge() {
        char started;
        return write(m_go[1], "g", 1) == 1 && read(m_started[0], &started, 1) == 1;
    }
    /// Ends the other process: the count of its swaps, at most 255.
    int Stop() {
        if (m_pid <= 0) return 0;
        close(m_go[1]); // the other process ends at its next read
        close(m_started[0]);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        struct stat info;
        if (lstat(m_path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) Exchange(m_path);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    }

private:
    std::string m_path, m_link;
    int m_go[2], m_started[2];
    pid_t m_pid;
};

Swapper* g_swapper = nullptr;
unsigned g_entries = 0;

// Before every 16th entry read (the search holds its directory by now) the other process starts
// another round of swaps: the walk and the swaps race all along.
struct dirent* ReaddirWhileSwapping(DIR* directory) {
    if (g_entries++ % 16 == 0) g_swapper->Nudge();
    return fault::g_real.readdir(directory);
}

// The first call of the hooked service exchanges g_swapPath with its link, as
// another process might between any two calls.
std::string g_swapPath;
bool g_swapped = false;
template <auto Member, class... A> auto SwapOnceThen(A... args) {
    if (!g_swapped) g_swapped = Exchange(g_swapPath);
    return (fault::g_real.*Member)(args...);
}

} // namespace

TEST_F(FileUtils, AbsolutePathWithoutOrWithAnUnconvertibleWorkingDirectory) {
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

// Inside a chroot, so that the real root is never touched.
TEST_F(FileUtils, RemoveAllAtTheRoot) {
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

TEST_F(Removal, RemoveAllStaysInTheSearchedDirectoryWhileAnotherProcessSwapsItForALink) {
    constexpr int kFiles = 2000;
    // The pattern's directory is `swapped` + `below`; the link leads to V,
    // which holds the same names under `below`.
    const struct {
        const char* swapped;
        const char* below;
    } cases[] = {{"A", ""}, {"P", "/A"}}; // the searched directory, one on its way
    for (const auto& c : cases) {
        SCOPED_TRACE(c.swapped);
        TempDir dir;
        const std::string swapped = dir / c.swapped;
        const std::string searched = swapped + c.below;
        const std::string decoy = dir / "V" + c.below;
        ASSERT_EQ(mkdir((dir / "V").c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(MakeSwappable(swapped, dir / "V"));
        if (*c.below != '\0') {
            ASSERT_EQ(mkdir(searched.c_str(), 0755), 0);
            ASSERT_EQ(mkdir(decoy.c_str(), 0755), 0);
        }
        // Removals take names: links to one file are far cheaper than files.
        const std::string file = dir.Write("file", "");
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "/f" + std::to_string(i);
            ASSERT_EQ(link(file.c_str(), (searched + name).c_str()), 0);
            ASSERT_EQ(link(file.c_str(), (decoy + name).c_str()), 0);
        }
        if (!Exchange(swapped) || !Exchange(swapped))
            GTEST_SKIP() << "this file system cannot exchange two names: " << std::strerror(errno);
        Swapper swapper(swapped);
        g_swapper = &swapper;
        g_entries = 0;
        {
            fault::Scoped hook(&SystemCalls::readdir, &ReaddirWhileSwapping, 0);
            EXPECT_NO_THROW(fu::RemoveAll(NUVString(searched + "/*")));
        }
        const int swaps = swapper.Stop();
        ASSERT_GT(swaps, 0) << "the other process never swapped: nothing was shown";
        const std::size_t kept = Names(decoy).size();
        EXPECT_EQ(kept, static_cast<std::size_t>(kFiles))
            << kFiles - kept << " names removed through the link, " << swaps << " swaps";
        EXPECT_EQ(Names(searched).size(), 0u);
    }
}

TEST_F(Removal, RemoveAllRemovesTheEntryFoundNeverWhatItLeadsTo) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "A").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "A/x").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
    dir.Write("outside/kept", "kept");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "A/toDirectory").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside/kept").c_str(), (dir / "A/toFile").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "A/dangling").c_str()), 0);
    // A backslash is an ordinary character of a POSIX name, no separator.
    dir.Write("A/x\\y", "");
    dir.Write("A/x/y", "kept");
    for (const char* pattern : {"A/toDirectory", "A/toFile", "A/dangling", "A/x?y"})
        fu::RemoveAll(NUVString(dir / pattern)); // a link to a directory is no directory
    EXPECT_EQ(Names(dir / "A"), std::set<std::string>{"x"});
    EXPECT_EQ(ReadWhole(dir / "A/x/y"), "kept");
    EXPECT_EQ(ReadWhole(dir / "outside/kept"), "kept");
}

TEST_F(Removal, ATemporaryIsRemovedFromTheDirectoryItWasCreatedInOnly) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "V").c_str(), 0755), 0);
    ASSERT_NO_FATAL_FAILURE(MakeSwappable(dir / "T", dir / "V"));
    {
        NUVZubUttOSFile file;
        file.CreateTemporary(NUVString(dir / "T"));
        ASSERT_EQ(file.Name().Str(), dir / "T/ZubTemp.1.tmp");
        dir.Write("V/ZubTemp.1.tmp", "kept");
        g_swapPath = dir / "T";
        g_swapped = false;
        fault::Scoped hook(&SystemCalls::fstat,
                           &SwapOnceThen<&SystemCalls::fstat, int, struct stat*>, 0);
        file.Close();
        ASSERT_TRUE(g_swapped);
    }
    EXPECT_EQ(ReadWhole(dir / "V/ZubTemp.1.tmp"), "kept");
    EXPECT_TRUE(Names(dir / "T.link").empty()); // where the real directory went
    ASSERT_TRUE(Exchange(dir / "T"));

    // A name that leads to another file by the time of the close stays.
    NUVZubUttOSFile file;
    file.CreateTemporary(NUVString(dir / "T"));
    ASSERT_EQ(rename(dir.Write("T/other", "kept").c_str(), file.Name().CastToCharPtr()), 0);
    file.Close();
    EXPECT_EQ(ReadWhole(file.Name().Str()), "kept");
}

TEST_F(Removal, AMoveBetweenTwoLinksOfOneFileRemovesTheSourceInItsOwnDirectory) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "V").c_str(), 0755), 0);
    dir.Write("V/a", "kept");
    dir.Write("V/b", "kept");
    ASSERT_NO_FATAL_FAILURE(MakeSwappable(dir / "D", dir / "V"));
    ASSERT_EQ(link(dir.Write("D/b", "moved").c_str(), (dir / "D/a").c_str()), 0);
    g_swapPath = dir / "D";
    g_swapped = false;
    {
        // Once it has checked both names, the move lists their directory.
        fault::Scoped hook(&SystemCalls::opendir, &SwapOnceThen<&SystemCalls::opendir, const char*>,
                           0);
        fu::Move(NUVString(dir / "D/a"), NUVString(dir / "D/b"));
    }
    ASSERT_TRUE(g_swapped);
    EXPECT_EQ(Names(dir / "V"), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(Names(dir / "D.link"), std::set<std::string>{"b"}); // where the real directory went
    EXPECT_EQ(ReadWhole(dir / "D.link/b"), "moved");
}
