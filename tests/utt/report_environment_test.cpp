// Reports as real programs raise them: from many threads at once, from static
// destructors at exit, and on POSIX around fork, into a pipe whose reader has
// gone or a closed stderr, with a debug-information server configured, on a
// small thread stack (the Windows counterparts of the last three are in
// traceback_win32_test). Each case runs in a child process of its own, killed
// if it outlives a generous deadline.
#include <TempDir.h>
#if !defined(_WIN32)
#include <SmallStack.h>
#endif

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttOSFile.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include <NUVZubPlatform/SystemCalls.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
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
#if defined(__SANITIZE_THREAD__)
#define NUVZUB_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NUVZUB_TEST_TSAN 1
#endif
#endif
#ifndef NUVZUB_TEST_TSAN
#define NUVZUB_TEST_TSAN 0
#endif

// The sanitizers' own allocators (clang 14's AddressSanitizer, GCC 12's
// ThreadSanitizer) are not fork-safe: a child forked while another thread
// allocates may wait forever inside the sanitizer's allocator lock, whatever
// the library does. Tests that fork beside busy threads run in the plain build.
#define NUVZUB_SKIP_FORK_BESIDE_THREADS_UNDER_SANITIZERS()                                         \
    if (NUVZUB_TEST_ASAN || NUVZUB_TEST_TSAN)                                                      \
    GTEST_SKIP() << "the sanitizer's allocator is not fork-safe"

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
#if defined(_WIN32) || NUVZUB_TEST_ASAN || NUVZUB_TEST_TSAN
        // A Windows child process is a new program: it inherits no lock.
        // The sanitizers' allocators are not fork-safe (see above): a child
        // forked while another thread allocates may wait forever inside them,
        // so only the exit report is checked there.
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

TEST(ReportsToBrokenStreams, ANonBlockingStderrStillGetsTheWholeReport) {
    // A stderr shared in non-blocking mode, full when the report comes.
    Outcome r = RunChild([] {
        int fds[2];
        if (pipe(fds) != 0) return 2;
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const std::string filler(4096, 'f');
        while (write(fds[1], filler.data(), filler.size()) > 0) {
        }
        const int captured = dup(2);
        dup2(fds[1], 2);
        std::string text;
        std::thread drain([&] {
            usleep(20000); // the report meets a full pipe first
            char buffer[65536];
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
                text.append(buffer, static_cast<std::size_t>(n));
        });
        const int failures = RaiseNoSuchFile("non-blocking");
        dup2(captured, 2);
        close(fds[1]);
        drain.join();
        const std::size_t start = text.find("!!! EXCEPTION:");
        if (start == std::string::npos) return 3;
        const std::string report = text.substr(start);
        if (write(2, report.data(), report.size()) < 0) return 4;
        return failures;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports)) << r.err;
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].message, "No such file: non-blocking");
    EXPECT_THAT(reports[0].frames.back(), HasSubstr("main"));
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

// ---- fork with the program's own handlers, cancellation, a closed stderr ----

pthread_mutex_t g_programMutex = PTHREAD_MUTEX_INITIALIZER;

/// Forks `rounds` times while `reporter` runs on another thread; each child
/// reports at once and exits. Returns the number of children that failed.
int ForkWhileReporting(void (*reporter)(std::atomic<bool>& stop), int rounds) {
    std::atomic<bool> stop{false};
    std::thread thread([&stop, reporter] { reporter(stop); });
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open("/dev/null", O_WRONLY), 2);
            _exit(RaiseNoSuchFile("child"));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    stop = true;
    thread.join();
    return failures;
}

TEST(ReportsAroundFork, NeverDeadlockWhateverTheProgramsForkHandlersDo) {
    NUVZUB_SKIP_FORK_BESIDE_THREADS_UNDER_SANITIZERS();
    const struct {
        const char* name;
        void (*prepare)();
        void (*parent)();
        void (*child)();
        void (*reporter)(std::atomic<bool>& stop);
    } cases[] = {
        // The common idiom: the program's own lock held across fork, and a
        // worker that reports while holding it.
        {"program lock held across fork, worker reports under it",
         [] { pthread_mutex_lock(&g_programMutex); }, [] { pthread_mutex_unlock(&g_programMutex); },
         [] { pthread_mutex_unlock(&g_programMutex); },
         [](std::atomic<bool>& stop) {
             while (!stop) {
                 pthread_mutex_lock(&g_programMutex);
                 RaiseNoSuchFile("worker");
                 pthread_mutex_unlock(&g_programMutex);
             }
         }},
        // A child handler that reports, while another thread of the parent
        // may hold the report lock.
        {"child handler reports", nullptr, nullptr,
         [] {
             if (RaiseNoSuchFile("child handler") != 0) _exit(7);
         },
         [](std::atomic<bool>& stop) {
             while (!stop)
                 RaiseNoSuchFile("worker");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = RunChild(
            [&c] {
                // Registered before the library's first report in this process.
                pthread_atfork(c.prepare, c.parent, c.child);
                if (RaiseNoSuchFile("parent") != 0) return 1;
                return ForkWhileReporting(c.reporter, 20);
            },
            30);
        ASSERT_TRUE(r.finished) << "fork deadlocked";
        EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal;
    }
}

TEST(FilesAroundFork, AChildOpensFilesWhileTheParentsThreadsDid) {
    NUVZUB_SKIP_FORK_BESIDE_THREADS_UNDER_SANITIZERS();
    // Locks of the I/O statistics, and the guards of what the first opens
    // set up, may be held by another thread at the fork. Each round is a
    // fresh process, so that its forks meet the first opens too.
    TempDir dir;
    const std::string path = dir.Path() + "/file";
    std::fclose(std::fopen(path.c_str(), "wb"));
    for (int round = 0; round < 200; ++round) {
        Outcome r = RunChild(
            [&path, round] {
                const auto openAndClose = [&path] {
                    NUVZubUttOSFile file;
                    file.OpenRead(NUVString(path.c_str()));
                };
                std::atomic<bool> go{false}, stop{false};
                std::vector<std::thread> threads;
                for (int t = 0; t < 4; ++t)
                    threads.emplace_back([&] {
                        while (!go) {
                        }
                        while (!stop)
                            openAndClose();
                    });
                // Forks at a different moment of the threads' first opens
                // each round.
                go = true;
                const auto forkAt =
                    std::chrono::steady_clock::now() + std::chrono::microseconds(round % 40);
                while (std::chrono::steady_clock::now() < forkAt) {
                }
                int failures = 0;
                for (int i = 0; i < 2; ++i) {
                    const pid_t pid = fork();
                    if (pid == 0) {
                        openAndClose();
                        _exit(0);
                    }
                    int status = 0;
                    waitpid(pid, &status, 0);
                    failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
                }
                stop = true;
                for (std::thread& thread : threads)
                    thread.join();
                return failures;
            },
            10);
        ASSERT_TRUE(r.finished) << "a child waited for a lock it could never get, round " << round;
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
}

/// Starts a thread on a 64 KiB stack of its own that reports, cancels it after
/// `delayMicroseconds`, and unmaps its stack once joined: its look-ups run on a
/// helper thread, which must be done with that stack by then.
int CancelSmallStackReporter(int delayMicroseconds) {
#if NUVZUB_TEST_TSAN
    // ThreadSanitizer keeps its thread state on the stack given: the look-ups
    // then run in place, and only the cancellation is checked.
    constexpr std::size_t kStack = 2 * 1024 * 1024;
#else
    constexpr std::size_t kStack = 64 * 1024;
#endif
    void* stack = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED) return 2;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (pthread_attr_setstack(&attributes, stack, kStack) != 0) return 3;
    pthread_t thread;
    const auto body = [](void*) -> void* {
        for (;;) {
            RaiseNoSuchFile("cancelled");
            pthread_testcancel();
        }
    };
    if (pthread_create(&thread, &attributes, body, nullptr) != 0) return 4;
    pthread_attr_destroy(&attributes);
    usleep(static_cast<useconds_t>(delayMicroseconds));
    pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    munmap(stack, kStack);
    if (result != PTHREAD_CANCELED) return 5;
    // The lock and the symbol handler are free again.
    return RaiseNoSuchFile("after the cancellation");
}

TEST(ReportsAndCancellation, ACancelledReporterFinishesItsReportAndFreesTheLock) {
    for (int delay : {1000, 5000, 20000, 60000}) {
        SCOPED_TRACE(delay);
        Outcome r = RunChild([delay] { return CancelSmallStackReporter(delay); });
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err.substr(0, 2000);
        std::vector<Report> reports;
        ASSERT_TRUE(ParseReports(r.err, reports)) << "a report was cut off";
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().message, "No such file: after the cancellation");
    }
}

TEST(TracebackOnSmallStack, AFrameLeftUnknownForWantOfAHelperThreadIsResolvedLater) {
    Outcome r = RunChild([] {
        const auto reportOnSmallStack = [] {
            RunOnSmallStack(
                [](void*) -> void* { return reinterpret_cast<void*>(RaiseNoSuchFile("small")); });
        };
        NUVZubPlatform::ProcessFaults faults;
        faults.helperThreadFails = true;
        NUVZubPlatform::SetProcessFaults(faults);
        reportOnSmallStack();
        NUVZubPlatform::SetProcessFaults(NUVZubPlatform::ProcessFaults());
        reportOnSmallStack();
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(r.err, reports)) << r.err;
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].frames[0], "!!!   <stack frame not available>");
    EXPECT_THAT(reports[1].frames[0], HasSubstr("NUVZubExcFile.cpp:"));
    EXPECT_THAT(reports[1].frames[1], HasSubstr(kTestFile));
}

NUVZubPlatform::SystemCalls g_realCalls;

TEST(ReportsWithStderrClosed, NeverLandInAFileTheLibraryOpened) {
    // Another thread closes stderr just before each open of the data file, so
    // that the open takes descriptor 2, and the move above 2 is slow.
    TempDir dir;
    const std::string path = dir.Path() + "/data";
    const std::string contents(4096, 'd');
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(contents.data(), 1, contents.size(), file);
        std::fclose(file);
    }
    Outcome r = RunChild([&path] {
        g_realCalls = NUVZubPlatform::GetSystemCalls();
        NUVZubPlatform::SystemCalls calls = g_realCalls;
        calls.open = [](const char* name, int flags, mode_t mode) {
            if (std::strstr(name, "/data") != nullptr) close(2);
            return g_realCalls.open(name, flags, mode);
        };
        calls.fcntl = [](int fd, int command, int argument) {
            if (fd == 2 && command == F_DUPFD_CLOEXEC) usleep(2000);
            return g_realCalls.fcntl(fd, command, argument);
        };
        RaiseNoSuchFile("warm-up");
        NUVZubPlatform::SetSystemCalls(calls);
        std::atomic<bool> stop{false};
        std::thread reporter([&stop] {
            while (!stop)
                RaiseNoSuchFile("reporter");
        });
        for (int i = 0; i < 50; ++i) {
            NUVZubUttOSFile file; // opened for update and never written
            file.OpenUpdate(NUVString(path.c_str()));
        }
        stop = true;
        reporter.join();
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string now(8192, '\0');
    now.resize(std::fread(&now[0], 1, now.size(), file));
    std::fclose(file);
    EXPECT_EQ(now, contents) << "a report was written into the file";
}

TEST(ReportsWithStderrClosed, ReachTheLogAProgramOpensInItsPlace) {
    TempDir dir;
    const std::string log = dir.Path() + "/log";
    Outcome r = RunChild([&log] {
        close(2);
        if (open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600) != 2) return 2;
        return RaiseNoSuchFile("into the program's log");
    });
    ASSERT_EQ(r.exitCode, 0);
    std::FILE* file = std::fopen(log.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string text(65536, '\0');
    text.resize(std::fread(&text[0], 1, text.size(), file));
    std::fclose(file);
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(text, reports)) << text;
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].message, "No such file: into the program's log");
}

TEST(ReportsToASharedLog, ArriveWholeFromSeveralProcesses) {
    // Services append several processes' stderr to one log.
    TempDir dir;
    const std::string log = dir.Path() + "/server.log";
    constexpr int kProcesses = 3, kReports = 300;
    Outcome r = RunChild([&log] {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        dup2(fd, 2);
        close(fd);
        std::vector<pid_t> children;
        for (int p = 0; p < kProcesses; ++p) {
            const pid_t pid = fork();
            if (pid == 0) {
                int failures = 0;
                for (int i = 0; i < kReports; ++i)
                    failures += RaiseNoSuchFile(std::to_string(p) + "." + std::to_string(i));
                _exit(failures);
            }
            children.push_back(pid);
        }
        int failures = 0;
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        return failures;
    });
    ASSERT_EQ(r.exitCode, 0);
    std::FILE* file = std::fopen(log.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::string text;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    std::fclose(file);
    std::vector<Report> reports;
    ASSERT_TRUE(ParseReports(text, reports)) << "reports interleaved";
    ASSERT_EQ(reports.size(), std::size_t(kProcesses * kReports));
    for (const Report& report : reports)
        EXPECT_EQ(report.frames, reports.front().frames) << report.message;
}

#endif // !_WIN32

} // namespace
