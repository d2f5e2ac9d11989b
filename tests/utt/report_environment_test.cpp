// Reports as real programs raise them: from many threads at once, from static
// destructors at exit, and on POSIX around fork, into a pipe whose reader has
// gone or a closed stderr, with a debug-information server configured, on a
// small thread stack (the Windows counterparts of the last three are in
// traceback_win32_test). Each case runs in a child process of its own, killed
// if it outlives a generous deadline.
#include <TempDir.h>

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <ChildProcess.h>
#include <WindowsApi.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#endif

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    bool finished = false; ///< false if the deadline killed it
    int exitCode = -1;     ///< -1 if a signal ended it
    int signal = 0;
    std::string err;
};

/// Runs `body` in a child with its stderr captured; the child and its own
/// children are killed if it is still running after `seconds`. On Windows the
/// child runs the test again up to this call: one call per test.
#if defined(_WIN32)
Outcome RunChild(const std::function<int()>& body, int seconds = 20) {
    BackgroundChild child(body);
    Outcome outcome;
    // Read while waiting: a child that fills the pipe would never end.
    std::thread reader([&] { outcome.err = child.ReadAll(); });
    outcome.finished = child.Ended(static_cast<DWORD>(seconds) * 1000);
    child.Terminate();
    reader.join();
    outcome.exitCode = child.ExitCode();
    return outcome;
}

// The names come from the debugging help library, which reads GCC's debugging
// information under Wine; Windows' own reads PDB files only.
bool FramesHaveNames() { return UnderWine(); }
#else
Outcome RunChild(const std::function<int()>& body, int seconds = 20) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // the deadline ends its own children too
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        int code = 98;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        std::fflush(stderr);
        _exit(code);
    }
    close(fds[1]);
    Outcome outcome;
    const time_t deadline = time(nullptr) + seconds;
    outcome.finished = true;
    for (;;) {
        pollfd readable{fds[0], POLLIN, 0};
        if (time(nullptr) >= deadline) {
            outcome.finished = false;
            kill(-pid, SIGKILL);
            break;
        }
        if (poll(&readable, 1, 200) == 0) continue;
        char buffer[8192];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        if (outcome.err.size() < (std::size_t(64) << 20)) // a runaway child stays bounded
            outcome.err.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
    return outcome;
}

bool FramesHaveNames() { return true; }
#endif

[[gnu::noinline]] int RaiseNoSuchFile(const std::string& name) {
    try {
        NUVZubExcNoSuchFile(NUVString(name.c_str())).Propagate();
    } catch (const NUVZubExcNoSuchFile&) {
        return 0;
    }
    return 1;
}

struct Report {
    std::string message;
    std::vector<std::string> frames;
};

/// Splits stderr into throw reports: banner, message, TRACEBACK, frames. Any
/// other line, or a report cut short, is a failure.
::testing::AssertionResult ParseReports(const std::string& err, std::vector<Report>& reports) {
    std::istringstream in(err);
    std::string line;
    int lineNumber = 0;
    auto next = [&] { return ++lineNumber, static_cast<bool>(std::getline(in, line)); };
    bool pending = next();
    while (pending) {
        if (line != "!!! EXCEPTION:")
            return ::testing::AssertionFailure() << "line " << lineNumber << ": " << line;
        Report report;
        if (!next() || line.compare(0, 6, "!!!   ") != 0)
            return ::testing::AssertionFailure() << "no message at line " << lineNumber;
        report.message = line.substr(6);
        if (!next() || line != "!!! TRACEBACK:")
            return ::testing::AssertionFailure() << "no traceback at line " << lineNumber;
        while ((pending = next()) && line.compare(0, 6, "!!!   ") == 0)
            report.frames.push_back(line);
        if (report.frames.empty())
            return ::testing::AssertionFailure() << "no frames before line " << lineNumber;
        reports.push_back(report);
    }
    return ::testing::AssertionSuccess();
}

constexpr const char* kTestFile = "report_environment_test.cpp:";

void ExpectWholeReportsFromThreads(bool warm) {
    constexpr int kThreads = 8;
    constexpr int kReportsPerThread = 200;
    Outcome r = RunChild([warm] {
        if (warm && RaiseNoSuchFile("warm-up") != 0) return 1;
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([t, &failures] {
                for (int i = 0; i < kReportsPerThread; ++i)
                    failures += RaiseNoSuchFile(std::to_string(t) + "." + std::to_string(i));
            });
        for (std::thread& thread : threads)
            thread.join();
        return failures.load();
    });
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err.substr(0, 2000);
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports));
    if (warm) reports.erase(reports.begin());
    ASSERT_EQ(reports.size(), std::size_t(kThreads * kReportsPerThread));
    // Every thread raises from the same call sites, so every traceback is the same.
    const std::vector<std::string>& first = reports.front().frames;
    if (FramesHaveNames()) {
        ASSERT_GE(first.size(), 3u);
        EXPECT_THAT(first[0], StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in "));
        EXPECT_THAT(first[1], HasSubstr("RaiseNoSuchFile in "));
        EXPECT_THAT(first[1], HasSubstr(kTestFile));
    }
    std::set<std::string> messages;
    for (const Report& report : reports) {
        messages.insert(report.message);
        EXPECT_EQ(report.frames, first) << report.message;
    }
    EXPECT_EQ(messages.size(), reports.size()) << "each report appears once";
}

TEST(ReportsFromThreads, ComeWholeOneAfterAnotherFromAColdStart) {
    ExpectWholeReportsFromThreads(false);
}

TEST(ReportsFromThreads, ComeWholeOneAfterAnotherWithTheSymbolHandlerStartedFirst) {
    ExpectWholeReportsFromThreads(true);
}

#if defined(__SANITIZE_ADDRESS__)
#define NUVZUB_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVZUB_TEST_ASAN 1
#endif
#endif
#ifndef NUVZUB_TEST_ASAN
#define NUVZUB_TEST_ASAN 0
#endif

struct RaisesAtExit {
    ~RaisesAtExit() { RaiseNoSuchFile("at exit"); }
};

TEST(ReportsFromThreads, ChildProcessesAndStaticDestructorsStillReport) {
    Outcome r = RunChild([]() -> int {
        static RaisesAtExit atExit;
        std::atomic<bool> stop{false};
        std::thread reporter([&stop] {
            while (!stop)
                RaiseNoSuchFile("parent");
        });
        int failures = 0;
#if defined(_WIN32) || NUVZUB_TEST_ASAN
        // A Windows child process is a new program: it inherits no lock.
        // AddressSanitizer's allocator (clang 14's runtime) takes no lock
        // around fork, so a child forked while another thread allocates may
        // wait forever in malloc: only the exit report is checked there.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
#else
        for (int i = 0; i < 20; ++i) { // most forks come while the reporter reports
            const pid_t pid = fork();
            if (pid == 0) { // its report must not interleave with the parent's
                dup2(open("/dev/null", O_WRONLY), 2);
                _exit(RaiseNoSuchFile("child"));
            }
            int status = 0;
            waitpid(pid, &status, 0);
            failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
#endif
        stop = true;
        reporter.join();
        std::exit(failures);
    });
    ASSERT_TRUE(r.finished) << "a child waited for a lock it could never get";
    EXPECT_EQ(r.exitCode, 0);
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back().message, "No such file: at exit");
}

// ---- POSIX only: signals, descriptors, the debug-information server ----
#if !defined(_WIN32)

void ReaderlessPipeAsStderr() {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    close(fds[0]);
    dup2(fds[1], 2);
    close(fds[1]);
}

TEST(ReportsToBrokenStreams, NeitherStopTheProcessNorChangeItsSignals) {
    const struct {
        const char* name;
        void (*breakStderr)();
        bool programBlocksPipeSignal;
    } cases[] = {
        {"pipe without a reader", ReaderlessPipeAsStderr, false},
        {"pipe without a reader, SIGPIPE blocked", ReaderlessPipeAsStderr, true},
        {"closed stderr", [] { close(2); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = RunChild([&c] {
            sigset_t pipeSignal, blocked, pending;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            if (c.programBlocksPipeSignal) pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            c.breakStderr();
            int failures = RaiseNoSuchFile("first") + RaiseNoSuchFile("second");
            try {
                NUVZubUttAssert::ReportValidationFailure("misuse");
            } catch (const NUVZubExcValidationFailure&) {
                --failures;
            }
            try { // the file layer's notice goes the same way
                NUVZubUttOSFile file;
                file.OpenRead(NUVString("/proc/self/no such file"));
                ++failures;
            } catch (const NUVZubExcNoSuchFile&) {
            }
            // The program's own handling of SIGPIPE is left as it was, and no
            // signal of the reports is left waiting for it.
            struct sigaction action {};
            sigaction(SIGPIPE, nullptr, &action);
            pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
            sigpending(&pending);
            if (action.sa_handler != SIG_DFL ||
                sigismember(&blocked, SIGPIPE) != c.programBlocksPipeSignal ||
                sigismember(&pending, SIGPIPE))
                return 10;
            return failures + 1;
        });
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 0);
    }
}

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) std::abort();
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    fds.erase(dirfd(dir));
    closedir(dir);
    return fds;
}

TEST(TracebackResources, LocalFilesOnlyAndNothingInheritedByChildren) {
    // A debug-information server that takes connections and never answers.
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 16), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    TempDir cache;

    Outcome r = RunChild(
        [&] {
            setenv("DEBUGINFOD_URLS", url.c_str(), 1);
            setenv("DEBUGINFOD_CACHE_PATH", cache.Path().c_str(), 1);
            const std::set<int> before = OpenDescriptors();
            // On a thread the traceback reaches frames of the system libraries too.
            int failures = 0;
            std::thread([&failures] { failures = RaiseNoSuchFile("fd"); }).join();
            for (int fd : OpenDescriptors())
                if (!before.count(fd) && !(fcntl(fd, F_GETFD) & FD_CLOEXEC)) {
                    char target[256] = {};
                    const std::string link = "/proc/self/fd/" + std::to_string(fd);
                    if (readlink(link.c_str(), target, sizeof target - 1) < 0) target[0] = '?';
                    std::fprintf(stderr, "inherited by children: %d %s\n", fd, target);
                    ++failures;
                }
            return failures;
        },
        15);
    ASSERT_TRUE(r.finished) << "the traceback waited for the server";
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports)) << r.err;
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_GE(reports[0].frames.size(), 2u);
    EXPECT_THAT(reports[0].frames[1], HasSubstr(kTestFile));
    fcntl(server, F_SETFL, O_NONBLOCK);
    EXPECT_LT(accept(server, nullptr, nullptr), 0) << "the server was asked";
    close(server);
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + cache.Path() + "')\"").c_str()), 0)
        << "cache files were written";
}

TEST(TracebackOnSmallStack, FirstReportOfTheProcessOnA64KiBThreadIsComplete) {
    Outcome r = RunChild([] {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        if (pthread_attr_setstacksize(&attributes, 64 * 1024) != 0) return 2;
        int result = 1;
        pthread_t thread;
        const auto body = [](void* out) -> void* {
            *static_cast<int*>(out) = RaiseNoSuchFile("small stack");
            return nullptr;
        };
        if (pthread_create(&thread, &attributes, body, &result) != 0) return 3;
        pthread_join(thread, nullptr);
        pthread_attr_destroy(&attributes);
        return result;
    });
    ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err;
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports)) << r.err;
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_GE(reports[0].frames.size(), 2u);
    EXPECT_THAT(reports[0].frames[0], HasSubstr("NUVZubExcFile.cpp:"));
    EXPECT_THAT(reports[0].frames[1], HasSubstr(kTestFile));
}

#endif // !_WIN32

} // namespace
