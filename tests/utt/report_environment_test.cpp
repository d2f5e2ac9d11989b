// Reports in the text and the JSON form as real programs raise them: from many
// threads and processes, at exit, around fork, under cancellation, into broken,
// closed, shared or non-blocking stderr, on small stacks; their texts whole, and
// on Windows the frames named from each module's own DWARF. The form and the
// switches are process-wide, so each case runs in a child process.
#include <ChildProcess.h>
#include <NUVZubBadNUVString.h>
#include <TempDir.h>

#include <NUVZub/NUVZubCommandLine.h>
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttFingerprint.h>
#include <NUVZub/NUVZubUttOSFile.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <NUVZubPlatform/SystemCallsWin32.h>
#include <WindowsApi.h>

#include <cwchar>
#include <io.h>
#include <malloc.h>

// Calls `function` from a frame of the module without DWARF that this test links.
extern "C" __declspec(dllimport) int ModuleCall(int (*function)());
#else
#include <NUVZubPlatform/SystemCalls.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#endif

namespace {

using nlohmann::json;
using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kTestFile = "report_environment_test.cpp";

using Form = NUVZubUttReportFormat;
constexpr auto SetForm = NUVZubUttAssertSetReportFormat;

NUVZUB_KEEP_FRAME int RaiseAt(const NUVBasException& e) {
    try {
        e.Propagate();
    } catch (const NUVBasException&) {
        return 0;
    }
    return 1;
}
#if defined(_WIN32)
constexpr int kRaiseLine = __LINE__ - 7; // the line of the Propagate call
#endif

NUVZUB_KEEP_FRAME int OtherSite(const NUVBasException& e) { return RaiseAt(e) + 0 * std::rand(); }

int RaiseNoSuchFile(const std::string& name) {
    return RaiseAt(NUVZubExcNoSuchFile(NUVString(name.c_str())));
}

/// 0 if `body` throws E, 1 if it returns.
template <typename E> int Throws(void (*body)()) {
    try {
        body();
    } catch (const E&) {
        return 0;
    }
    return 1;
}

/// Raises on `threads` threads, each message named and padded; returns the failures.
int RaiseOnThreads(int threads, int reports, int process) {
    std::atomic<int> failures{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([=, &failures] {
            for (int i = 0; i < reports; ++i)
                failures +=
                    RaiseNoSuchFile(std::to_string(process) + "-" + std::to_string(t) + "." +
                                    std::to_string(i) + std::string(100 * (i % 7), 'n'));
        });
    for (std::thread& thread : running)
        thread.join();
    return failures.load();
}

struct Report {
    std::string message;
    std::vector<std::string> frames; ///< text lines, or each frame's record
    json record;                     ///< the whole JSON record
};

/// Splits stderr into reports; any other line, or a report cut short, fails the test.
std::vector<Report> Parse(const std::string& err, Form form = Form::Text) {
    const std::vector<std::string> lines = TextLines(err);
    std::vector<Report> reports;
    for (std::size_t at = 0; at < lines.size();) {
        Report report;
        const std::string& line = lines[at++];
        if (form == Form::Json) {
            report.record = json::parse(line, nullptr, false);
            if (!report.record.is_object()) return ADD_FAILURE() << "not JSON: " << line, reports;
            report.message = report.record.value("message", std::string());
            for (const json& frame : report.record.value("frames", json::array()))
                report.frames.push_back(frame.dump());
            reports.push_back(report);
            continue;
        }
        const bool message =
            line == "!!! EXCEPTION:" && at < lines.size() && lines[at].compare(0, 6, "!!!   ") == 0;
        if (message) report.message = lines[at++].substr(6);
        if (!message || at == lines.size() || lines[at++] != "!!! TRACEBACK:")
            return ADD_FAILURE() << "no report at line " << at << "\n" << err, reports;
        for (; at < lines.size() && lines[at].compare(0, 6, "!!!   ") == 0; ++at)
            report.frames.push_back(lines[at]);
        if (report.frames.empty()) return ADD_FAILURE() << "no frames, line " << at, reports;
        reports.push_back(report);
    }
    return reports;
}

/// The stderr of a child that runs `body`, which must end in time with 0.
std::string ChildErr(const std::function<int()>& body) {
    const ChildResult r = RunInChild(body);
    if (IsChildProcess()) return {}; // replaying an earlier call: no output to check
    EXPECT_TRUE(r.finished) << "the child did not end in time";
    EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err.substr(0, 2000);
    return r.err;
}

std::vector<Report> ChildReports(const std::function<int()>& body, Form form = Form::Text) {
    return Parse(ChildErr(body), form);
}

/// Runs `body` in a child, which must end in time with 0 having written all that `err` matches.
void ExpectReport(const std::function<int()>& body, const std::string& err) {
    const std::string got = ChildErr(body);
    EXPECT_TRUE(IsChildProcess() || std::regex_match(got, std::regex(err)))
        << got << "does not match\n"
        << err;
}

using Faults = NUVZubPlatform::ProcessFaults;

/// Sets the one fault that `field` names.
void SetFault(bool Faults::*field) {
    Faults faults;
    faults.*field = true;
    NUVZubPlatform::SetProcessFaults(faults);
}

const std::string kFrames = "(!!!   [^\n]*\n)*";
const std::string kOwnFrame = "!!!   [^\n]*report_environment_test\\.cpp:[0-9]+\n";
#if defined(_WIN32)
// The debugging help library names a function with or without its scopes,
// depending on where its symbols come from.
const std::string kScope = "[^\n]*";
#else
const std::string kScope = "\\(anonymous namespace\\)::";
#endif

/// A text traceback's frames down to RaiseAt.
void ExpectRaisedByRaiseAt(const std::vector<std::string>& frames) {
#if defined(_WIN32)
    // The names come from the debugging help library, which reads GCC's debugging
    // information under Wine; Windows' own reads PDB files only.
    if (!UnderWine()) return;
#endif
    EXPECT_GE(frames.size(), 3u);
    if (frames.size() < 3) return;
    EXPECT_THAT(frames[0], AllOf(StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in "),
                                 HasSubstr("NUVZubExcFile.cpp:")));
    EXPECT_THAT(frames[1], AllOf(HasSubstr("RaiseAt in "), HasSubstr(kTestFile)));
}

#if defined(_WIN32)
// Windows raises no signal: a failed write only fails the call.
bool ReaderlessPipeAsStderr() {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return false;
    CloseHandle(readEnd);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), 0);
    return fd >= 0 && _dup2(fd, 2) == 0;
}
bool CloseStderr() { return _close(2) == 0; }
#else
bool ReaderlessPipeAsStderr() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    close(fds[0]);
    const bool moved = dup2(fds[1], 2) == 2;
    close(fds[1]);
    return moved;
}
bool CloseStderr() { return close(2) == 0; }

// Defined by the sanitizers' runtimes only.
extern "C" __attribute__((weak)) void __asan_init();
extern "C" __attribute__((weak)) void __tsan_init();

// The sanitizers' allocators are not fork-safe: a child forked while another
// thread allocates may wait forever in their lock, whatever the library does.
bool ForksBesideThreads() { return __asan_init == nullptr && __tsan_init == nullptr; }

/// Forks `rounds` children that run `child`, stderr on /dev/null; returns the failures.
int ForkChildren(int rounds, int (*child)(int round)) {
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open("/dev/null", O_WRONLY), 2);
            _exit(child(i));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    return failures;
}

/// Closes stderr and opens an unlinked file in its slot, as a program opens its log;
/// returns a copy of the old stderr.
int LogInStderrSlot() {
    char log[] = "/tmp/report_environment_logXXXXXX";
    const int captured = dup(2);
    if (close(2) != 0 || mkstemp(log) != 2 || unlink(log) != 0) std::exit(90);
    return captured;
}

/// The log's text, empty if unreadable; stderr given back.
std::string TakeLog(int captured) {
    std::string text(static_cast<std::size_t>(lseek(2, 0, SEEK_END)), '\0');
    if (pread(2, &text[0], text.size(), 0) != static_cast<ssize_t>(text.size())) text.clear();
    dup2(captured, 2);
    return text;
}
#endif

TEST(ThrowReport, SwitchesAndFaultsGiveTheseTexts) {
    const struct {
        const char* name;
        int (*body)();
        std::string err;
    } cases[] = {
        {"a traceback from Propagate to main, and nothing beyond",
         [] {
             unsetenv("ZUB_DISABLE_EXCEPTION_REPORT");
             setenv("ZUB_EXCEPTION_REPORT_FORMAT", "xml", 1); // an unknown form stays text
             return RaiseNoSuchFile("/no/such/file");
         },
         "!!! EXCEPTION:\n!!!   No such file: /no/such/file\n!!! TRACEBACK:\n"
         "!!!   NUVZubExcNoSuchFile::Propagate in [^\n]*NUVZubExcFile\\.cpp:[0-9]+\n!!!   " +
             kScope + "RaiseAt in [^\n]*report_environment_test\\.cpp:[0-9]+\n" + kFrames +
             "!!!   main[^\n]*\n"},
        {"the environment switch drops only tracebacks and is read once; percent signs stay",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "", 1);
             RaiseNoSuchFile("100%s %d %n %%.zub");
             unsetenv("ZUB_DISABLE_EXCEPTION_REPORT"); // no effect: decided at the first report
             return RaiseNoSuchFile("second");
         },
         "!!! - ZUB Exception throw reports are disabled\\.\n"
         "!!! EXCEPTION:\n!!!   No such file: 100%s %d %n %%\\.zub\n"
         "!!! EXCEPTION:\n!!!   No such file: second\n"},
        {"no frame captured",
         [] {
             SetFault(&Faults::stackIsEmpty);
             return RaiseNoSuchFile("x");
         },
         "!!! EXCEPTION:\n!!!   No such file: x\n!!! TRACEBACK:\n!!! TRACEBACK NOT AVAILABLE\\.\n"},
        {"throw reports off both ways, an assertion and a validation failure still report once, "
         "from their callers, and throw with their source positions",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
             NUVZubUttAssertDisableExcReport();
             RaiseNoSuchFile("silent");
             try {
                 NUVZUB_ASSERT(1 + 1 == 3);
                 return 1;
             } catch (const NUVBasAssertException& e) {
                 if (std::string(e.GetMessage()) != "1 + 1 == 3" || e.GetSourceLine() != 213 ||
                     std::string(e.GetSourceFile()) != "NUVZub/NUVZubUtt.m/src/NUVZubUttAssert")
                     return 2;
             }
             try {
                 NUVZubUttAssert::ReportValidationFailure("glob handle is null");
             } catch (const NUVZubExcValidationFailure& e) {
                 return e.GetCode() == 1032 && e.GetSourceLine() == 220 ? 0 : 3;
             }
             return 4;
         },
         "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR\\.\n!!! 1 \\+ 1 == 3\n!!! TRACEBACK:\n" +
             kOwnFrame + kFrames +
             "!!! THE API HAS DETECTED AN ARGUMENT ERROR OR INCORRECT USE BY THE CLIENT\\.\n"
             "!!! glob handle is null\n!!! TRACEBACK:\n" +
             kOwnFrame + kFrames},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectReport(c.body, c.err);
    }
}

TEST(Traceback, AFailedSymbolHandlerThrowsOnceAndIsNotRetried) {
    ExpectReport(
        [] {
            SetFault(&Faults::symbolHandlerFails);
            try {
                RaiseNoSuchFile("first");
                return 1;
            } catch (const std::logic_error& e) {
                if (std::string(e.what()) != "Can't initialize symbol handler") return 2;
            }
            std::fputs("--\n", stderr);       // nothing more is printed for the failed report
            return RaiseNoSuchFile("second"); // no retry: every frame is unknown
        },
        "!!! EXCEPTION:\n!!!   No such file: first\n--\n!!! EXCEPTION:\n"
        "!!!   No such file: second\n!!! TRACEBACK:\n(!!!   <stack frame not available>\n)+");
}

TEST(BadStringCheck, RejectsInvalidUTF8AndAcceptsEmpty) {
    EXPECT_NO_THROW(NUVZubBadNUVString::Check(NUVString()));
    EXPECT_NO_THROW(NUVZubBadNUVString::Check(NUVString("d\xc3\xa9j\xc3\xa0")));
    try {
        NUVZubBadNUVString::Check(NUVString("bad \xc3"));
        FAIL() << "a BAD string passed";
    } catch (const NUVZubExcBadStringArgument& e) {
        EXPECT_STREQ(e.DeveloperReport(NUVBasStringMode(false)).CStr(),
                     "NUVZubExcBadStringArgument (code 1109) at "
                     "NUVZub/PrivateInterfaces/NUVZubBadNUVString:16: String passed into ZUB is "
                     "BAD. set/setenv _NUV_FAIL_ON_BAD and rerun.");
    }
}

// Without Valgrind the range is never read, so even an invalid one is safe.
TEST(MemoryCheck, ReadsNothingWithoutAMemoryChecker) {
    NUVZubUttPreconditionCheck::MemoryCheck(reinterpret_cast<const void*>(16), 1 << 20);
    NUVZubUttPreconditionCheck::MemoryCheck(nullptr, 0);
}

TEST(ReportsFromThreads, ComeWholeOneAfterAnother) {
    const struct {
        const char* name;
        Form form;
        bool warm;
        int processes; ///< appending to one log, as services do; 0: one into a pipe
    } cases[] = {
        {"text, from a cold start", Form::Text, false, 0},
        {"text, the symbol handler started first", Form::Text, true, 0},
        {"JSON", Form::Json, false, 0},
#if !defined(_WIN32)
        {"text, processes sharing a log", Form::Text, false, 3},
        {"JSON, processes sharing a log", Form::Json, false, 3},
#endif
    };
    constexpr int kThreads = 8, kReports = 200;
    TempDir dir;
    const std::string log = dir / "log";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Report> reports = ChildReports(
            [&c, &log] {
                SetForm(c.form);
                if (c.warm && RaiseNoSuchFile("warm-up") != 0) return 1;
#if !defined(_WIN32)
                if (c.processes > 0) {
                    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0600);
                    if (fd < 0 || dup2(fd, 2) < 0) return 2;
                    for (int p = 0; p < c.processes; ++p)
                        if (fork() == 0) _exit(RaiseOnThreads(kThreads, kReports, p));
                    int failures = 0;
                    for (int status = 0; wait(&status) > 0;)
                        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
                    return failures;
                }
#endif
                return RaiseOnThreads(kThreads, kReports, 0);
            },
            c.form);
        if (IsChildProcess()) continue;
        if (c.processes > 0) reports = Parse(ReadWhole(log), c.form);
        if (c.warm && !reports.empty()) reports.erase(reports.begin());
        const int threads = kThreads * std::max(c.processes, 1);
        EXPECT_EQ(reports.size(), std::size_t(threads * kReports));
        if (reports.empty()) continue; // one row's failure leaves the others to run
        // Every thread raises from the same call sites, so every traceback is the same.
        const std::vector<std::string>& first = reports.front().frames;
        if (c.form == Form::Text) ExpectRaisedByRaiseAt(first);
        std::set<std::string> messages;
        std::set<std::pair<std::string, long long>> threadIds; // JSON: raising thread and id
        std::set<long long> ids;
        for (const Report& report : reports) {
            messages.insert(report.message);
            EXPECT_EQ(report.frames, first) << report.message;
            if (c.form == Form::Text) continue;
            EXPECT_EQ(report.record["fingerprint"], reports[0].record["fingerprint"]);
            const long long id = report.record["tid"];
            threadIds.emplace(report.message.substr(0, report.message.find('.')), id);
            ids.insert(id);
        }
        EXPECT_EQ(messages.size(), reports.size()) << "each report appears once";
        if (c.form == Form::Text) continue;
        // Each thread has its own id, the same in all of its records.
        EXPECT_EQ(threadIds.size(), std::size_t(threads));
        EXPECT_EQ(ids.size(), std::size_t(threads));
    }
}

/// 0 if reports of each kind into a broken stderr leave the program's SIGPIPE as it was.
template <bool (*breakStderr)(), bool blockPipeSignal = false, bool leaveOnePending = false>
int ReportIntoBrokenStderr() {
#if !defined(_WIN32)
    sigset_t pipeSignal, blocked, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    if (blockPipeSignal) pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    if (leaveOnePending) raise(SIGPIPE);
#endif
    std::fflush(stderr);
    if (!breakStderr()) return 9;
    const int failures =
        RaiseNoSuchFile("first") + RaiseNoSuchFile("second") +
        Throws<NUVZubExcValidationFailure>([] { NUVZubUttAssert::ReportValidationFailure("x"); }) +
        Throws<NUVZubExcNoSuchFile>([] { // the file layer's notice goes the same way
            NUVZubUttOSFile().OpenRead(NUVString("no such file of the report test"));
        });
#if !defined(_WIN32)
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    sigpending(&pending);
    if (action.sa_handler != SIG_DFL || sigismember(&blocked, SIGPIPE) != blockPipeSignal ||
        sigismember(&pending, SIGPIPE) != leaveOnePending)
        return 10;
#endif
    return failures;
}

struct RaisesAtExit {
    ~RaisesAtExit() { RaiseNoSuchFile("at exit"); }
};

std::mutex g_programMutex;

/// Forks children beside a thread that reports under the program's lock, the
/// program's fork handlers registered first, and reports at exit.
int ReportBesideForksAndAtExit([[maybe_unused]] void (*prepare)(),
                               [[maybe_unused]] void (*parent)(),
                               [[maybe_unused]] void (*child)()) {
    static RaisesAtExit atExit;
#if !defined(_WIN32)
    pthread_atfork(prepare, parent, child);
#endif
    int failures = RaiseNoSuchFile("first");
#if !defined(_WIN32)
    // The reports beside the forks come by megabytes: into a file, not the test's pipe.
    const int captured = LogInStderrSlot();
#endif
    std::atomic<bool> stop{false};
    std::thread reporter([&stop] {
        while (!stop) {
            const std::lock_guard<std::mutex> lock(g_programMutex);
            RaiseNoSuchFile("parent");
        }
    });
#if !defined(_WIN32)
    // Most forks come mid-report: the child's must not wait for the parent's.
    if (ForksBesideThreads())
        failures += ForkChildren(20, [](int) { return RaiseNoSuchFile("child"); });
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    reporter.join();
#if !defined(_WIN32)
    const std::string text = TakeLog(captured);
    std::size_t banners = 0; // each one a whole report
    for (std::size_t at = 0; (at = text.find("!!! EXCEPTION:\n", at)) != std::string::npos; ++at)
        ++banners;
    failures += banners == 0 || Parse(text).size() != banners;
#endif
    std::exit(failures);
}

#if !defined(_WIN32)
/// Runs `body` on a 64 KiB stack, too small for look-ups in place; cancels it
/// after `cancelAfter` µs if given, then unmaps the stack the helper thread of
/// its look-ups must be done with. Returns `body`'s result, -1 if cancelled.
int OnSmallStack(int (*body)(), int cancelAfter = -1) {
    // ThreadSanitizer keeps its state on a stack given: only cancellation is checked.
    const std::size_t size = __tsan_init != nullptr ? 2 << 20 : 64 << 10;
    void* stack = nullptr;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (cancelAfter < 0) {
        pthread_attr_setstacksize(&attributes, 64 << 10);
    } else {
        stack = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (stack == MAP_FAILED || pthread_attr_setstack(&attributes, stack, size) != 0) return 2;
    }
    const auto run = [](void* call) -> void* {
        return reinterpret_cast<void*>(std::intptr_t((*static_cast<int (**)()>(call))()));
    };
    pthread_t thread;
    if (pthread_create(&thread, &attributes, run, &body) != 0) return 2;
    pthread_attr_destroy(&attributes);
    if (cancelAfter >= 0) usleep(static_cast<useconds_t>(cancelAfter));
    if (cancelAfter >= 0) pthread_cancel(thread);
    void* result = nullptr;
    pthread_join(thread, &result);
    if (stack != nullptr) munmap(stack, size);
    return result == PTHREAD_CANCELED ? -1 : static_cast<int>(std::intptr_t(result));
}

/// Cancels a small-stack reporter after `delay` µs; then the lock is free again.
template <int delay> int CancelReporterOnSmallStack() {
    const auto report = []() -> int {
        for (;;) {
            RaiseNoSuchFile("cancelled");
            pthread_testcancel();
        }
    };
    if (OnSmallStack(report, delay) != -1) return 5;
    return RaiseNoSuchFile("after the cancellation");
}

/// Reports on a thread (frames of system libraries) beside a debug-information
/// server that never answers: 0 if it was never asked and no file cached or inherited.
int ReportBesideADebugInformationServer() {
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    sockaddr* name = reinterpret_cast<sockaddr*>(&address);
    if (bind(server, name, length) != 0 || listen(server, 16) != 0 ||
        getsockname(server, name, &length) != 0)
        return 2;
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    char cache[] = "/tmp/report_environment_cacheXXXXXX";
    setenv("DEBUGINFOD_URLS", url.c_str(), 1);
    if (mkdtemp(cache) == nullptr) return 3;
    setenv("DEBUGINFOD_CACHE_PATH", cache, 1);
    const auto inheritable = [] { // open without close-on-exec
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd)
            n += fcntl(fd, F_GETFD) == 0;
        return n;
    };
    const int before = inheritable();
    int failures = 0;
    std::thread([&failures] { failures = RaiseNoSuchFile("beside a server"); }).join();
    fcntl(server, F_SETFL, O_NONBLOCK);
    return failures + (inheritable() != before) + (accept(server, nullptr, nullptr) >= 0) +
           (rmdir(cache) != 0); // else a file was cached
}

/// Reports into a full non-blocking stderr; copies the report out if it is whole.
int ReportIntoFullNonBlockingStderr() {
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
    if (start == std::string::npos || text.find("main", text.rfind("\n!!!   ")) == text.npos)
        return 3;
    return write(2, text.data() + start, text.size() - start) < 0 ? 4 : failures;
}

NUVZubPlatform::SystemCalls g_realCalls;

/// Lets `change` replace some of the library's system calls; g_realCalls keeps them.
void Intercept(void (*change)(NUVZubPlatform::SystemCalls& calls)) {
    NUVZubPlatform::SystemCalls calls = g_realCalls = NUVZubPlatform::GetSystemCalls();
    change(calls);
    NUVZubPlatform::SetSystemCalls(calls);
}

/// A thread reports while stderr closes before each open of a file, which takes
/// slot 2 (and is slow to move above it); 0 if the file is unchanged.
int ReportWhileFilesTakeSlotTwo() {
    dup2(open("/dev/null", O_WRONLY), 2); // a report cut by a close goes nowhere
    TempDir dir;
    const std::string contents(4096, 'd'), path = dir.Write("data", contents);
    RaiseNoSuchFile("warm-up");
    Intercept([](NUVZubPlatform::SystemCalls& calls) {
        calls.open = [](const char* name, int flags, mode_t mode) {
            if (std::strstr(name, "/data") != nullptr) close(2);
            return g_realCalls.open(name, flags, mode);
        };
        calls.fcntl = [](int fd, int command, int argument) {
            if (fd == 2 && command == F_DUPFD_CLOEXEC) usleep(2000);
            return g_realCalls.fcntl(fd, command, argument);
        };
    });
    std::atomic<bool> stop{false};
    std::thread reporter([&stop] {
        while (!stop)
            RaiseNoSuchFile("reporter");
    });
    for (int i = 0; i < 50; ++i) // opened for update and never written
        NUVZubUttOSFile().OpenUpdate(NUVString(path.c_str()));
    stop = true;
    reporter.join();
    return ReadWhole(path) == contents ? 0 : 3;
}

/// /dev/null, the stand-in for a free standard slot, cannot be opened once.
void RefuseTheFirstDevNull(NUVZubPlatform::SystemCalls& calls) {
    calls.open = [](const char* name, int flags, mode_t mode) {
        static bool refused = false;
        if (refused || std::strcmp(name, "/dev/null") != 0)
            return g_realCalls.open(name, flags, mode);
        refused = true;
        errno = ENFILE;
        return -1;
    };
}

/// Forks while threads make their first opens: the locks of the I/O statistics
/// and the resource monitor, and whatever their first use sets up, may be held.
int OpenFilesBesideForks(int round) {
    const auto openAndClose = [](int) {
        NUVZubUttResourceMonitor::StartTimer(1);
        NUVZubUttOSFile().OpenRead(NUVString("/proc/self/exe"));
        NUVZubUttResourceMonitor::StopTimer(1);
        return 0;
    };
    std::atomic<bool> go{false}, stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            while (!go) {
            }
            while (!stop)
                openAndClose(0);
        });
    go = true;
    const auto forkAt = std::chrono::steady_clock::now() + std::chrono::microseconds(round % 40);
    while (std::chrono::steady_clock::now() < forkAt) {
    }
    const int failures = ForkChildren(2, openAndClose);
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    return failures;
}
#endif

TEST(ReportsInRealPrograms, NeitherStopNorHurtTheProgramAndArriveWhole) {
    const struct {
        const char* name;
        int (*body)();
        int reports;                ///< how many reach stderr; -1 for any number
        const char* last = nullptr; ///< the last one's file name, raised by RaiseAt here
    } cases[] = {
        {"stderr a pipe without a reader", ReportIntoBrokenStderr<ReaderlessPipeAsStderr>, 0},
        {"stderr closed", ReportIntoBrokenStderr<CloseStderr>, 0},
        {"at exit, beside a reporter and its forked children",
         [] { return ReportBesideForksAndAtExit(nullptr, nullptr, nullptr); }, -1, "at exit"},
#if !defined(_WIN32)
        // The common idiom: the program's lock, held while reporting, taken across fork.
        {"fork handlers that take the program's lock",
         [] {
             const auto lock = [] { g_programMutex.lock(); };
             const auto unlock = [] { g_programMutex.unlock(); };
             return ReportBesideForksAndAtExit(lock, unlock, unlock);
         },
         -1, "at exit"},
        {"a child fork handler that reports",
         [] {
             return ReportBesideForksAndAtExit(nullptr, nullptr, [] {
                 if (RaiseNoSuchFile("child handler") != 0) _exit(7);
             });
         },
         -1, "at exit"},
        {"pipe without a reader, SIGPIPE blocked",
         ReportIntoBrokenStderr<ReaderlessPipeAsStderr, true>, 0},
        {"pipe without a reader, SIGPIPE blocked and pending",
         ReportIntoBrokenStderr<ReaderlessPipeAsStderr, true, true>, 0},
        {"a full non-blocking stderr", ReportIntoFullNonBlockingStderr, 1, "non-blocking"},
        {"writes interrupted, then one byte at a time",
         [] {
             Intercept([](NUVZubPlatform::SystemCalls& calls) {
                 calls.write = [](int fd, const void* data, size_t) -> ssize_t {
                     static bool interrupt = false;
                     if ((interrupt = !interrupt)) return errno = EINTR, -1;
                     return g_realCalls.write(fd, data, 1);
                 };
             });
             return RaiseNoSuchFile("byte by byte");
         },
         1, "byte by byte"},
        {"the first report of the process, on a 64 KiB stack",
         [] { return OnSmallStack([] { return RaiseNoSuchFile("small"); }); }, 1, "small"},
        {"stderr closed, the program's log opened in its place",
         [] {
             const int captured = LogInStderrSlot();
             const int failures = RaiseNoSuchFile("into the program's log");
             const std::string text = TakeLog(captured);
             return text.empty() || write(2, text.data(), text.size()) < 0 ? 3 : failures;
         },
         1, "into the program's log"},
        {"beside a debug-information server that never answers",
         ReportBesideADebugInformationServer, 1, "beside a server"},
        {"stderr closed by another thread as a file opens", ReportWhileFilesTakeSlotTwo, 0},
        // The look-up's first file lands in slot 0: its copy must not take slot 2.
        {"stdin and stderr closed, the first stand-in refused",
         [] {
             Intercept(RefuseTheFirstDevNull);
             close(0);
             close(2);
             const int failures = RaiseNoSuchFile("unseen");
             struct stat slot;
             return fstat(2, &slot) == 0 && S_ISREG(slot.st_mode) ? 2 : failures;
         },
         0},
        {"stdin closed, the first stand-in refused, a file opened",
         [] {
             Intercept(RefuseTheFirstDevNull);
             close(0);
             TempDir dir;
             NUVZubUttOSFile file;
             file.OpenRead(NUVString(dir.Write("file", "x").c_str()));
             char c = 0;
             return file.ReadAtomic(0, &c, 1) == 1 && c == 'x' ? 0 : 2;
         },
         0},
        {"cancelled after 1 ms", CancelReporterOnSmallStack<1000>, -1, "after the cancellation"},
        {"cancelled after 5 ms", CancelReporterOnSmallStack<5000>, -1, "after the cancellation"},
        {"cancelled after 20 ms", CancelReporterOnSmallStack<20000>, -1, "after the cancellation"},
        {"cancelled after 60 ms", CancelReporterOnSmallStack<60000>, -1, "after the cancellation"},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<Report> reports = ChildReports(c.body);
        if (IsChildProcess()) continue;
        EXPECT_TRUE(c.reports < 0 || reports.size() == std::size_t(c.reports)) << reports.size();
        if (c.last == nullptr) continue;
        EXPECT_FALSE(reports.empty());
        if (reports.empty()) continue; // one row's failure leaves the others to run
        EXPECT_EQ(reports.back().message, std::string("No such file: ") + c.last);
        ExpectRaisedByRaiseAt(reports.back().frames);
    }
#if !defined(_WIN32)
    if (!ForksBesideThreads()) // the rest has been checked: a skip shows what was not
        GTEST_SKIP() << "the rows with forks ran without them: the sanitizer's allocator is not "
                        "fork-safe";
#endif
}

#if !defined(_WIN32)
TEST(FilesAroundFork, AChildOpensFilesWhileTheParentsThreadsDid) {
    if (!ForksBesideThreads()) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe";
    for (int round = 0; round < 200; ++round) { // each a fresh process: its forks meet first uses
        const ChildResult r = RunInChild([round] { return OpenFilesBesideForks(round); }, 10);
        ASSERT_TRUE(r.finished) << "a child waited for a lock it could never get, round " << round;
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
}
#endif

/// Seconds since 1970 of a record's time, read apart from the library; -1 if malformed
/// (a field out of range too: the conversion below would carry month 13 into a year).
long long EpochSeconds(const std::string& time) {
    std::tm t{};
    if (time.size() != 27 || time[19] != '.' || time.back() != 'Z' ||
        std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                    &t.tm_hour, &t.tm_min, &t.tm_sec) != 6 ||
        t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 59)
        return -1;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
#if defined(_WIN32)
    return _mkgmtime(&t);
#else
    return timegm(&t);
#endif
}

TEST(ReportJson, EachKindIsOneRecordWithAllItsFields) {
    const long long started = std::time(nullptr);
    const std::vector<Report> reports = ChildReports(
        [] {
            setenv("ZUB_EXCEPTION_REPORT_FORMAT", "json", 1);
            setenv("ZUB_STORAGE_LIMIT", "12345", 1);
            NUVZubUttAssert::ReportException("plain message");
            NUVZubUttAssert::ReportNotice({"=== first line\n", "second ", "line\n"});
            NUVZubUttAssert::ReportNotice(
                [](NUVZubUttNoticeText& text, const void*) {
                    text.Write("bytes: ");
                    for (int i = -1; i < 3; ++i)
                        text.WriteDecimal(i);
                    text.Write("\n");
                },
                nullptr);
            int failures = RaiseAt(NUVZubExcIOBounds(5, 18446744073709551615ULL, 7)) +
                           RaiseAt(NUVZubExcNoSuchFile("x")) +
                           OtherSite(NUVZubExcIOBounds(1, 2, 3)) +
                           Throws<NUVBasAssertException>([] { NUVZUB_ASSERT(2 + 2 == 5); }) +
                           Throws<NUVZubExcValidationFailure>(
                               [] { NUVZubUttAssert::ReportValidationFailure("handle is null"); });
            // The library's notices: an argument file with a line too long and more
            // arguments than are kept, one missing, a pattern and a file not found.
            std::string arguments(1500, 'a');
            for (int i = 0; i < 1100; ++i)
                arguments += "\nx";
            TempDir dir;
            for (const std::string& name : {dir.Write("args", arguments), std::string("/no/a")}) {
                std::string texts[] = {"prog", "-clargsfile", name};
                char* argv[] = {&texts[0][0], &texts[1][0], &texts[2][0], nullptr};
                NUVZubCommandLine commandLine(3, argv);
            }
            try {
                NUVZubUttFileUtils::GlobRange matches(NUVString("no_such_directory_x/*"));
            } catch (const NUVBasException&) {
            }
            try { // the first file object reads the storage limit
                NUVZubUttOSFile().OpenRead(NUVString((dir / "none").c_str()));
            } catch (const NUVZubExcNoSuchFile&) {
                return failures;
            }
            return 1;
        },
        Form::Json);
    // std::time reads a clock that moves a tick at a time, behind the precise one the
    // records are stamped from: a record may be up to a tick later than it.
    const long long ended = std::time(nullptr) + 1;
    const struct {
        const char* kind;
        const char* className; ///< null but for a class of the catalogue
        const char* message;
        const char* end = nullptr; ///< if set, `message` is the start only
    } expected[] = {
        {"exception", nullptr, "plain message"},
        {"notice", nullptr, "=== first line\nsecond line"},
        {"notice", nullptr, "bytes: -1012"},
        {"exception", "NUVZubExcIOBounds",
         "I/O out of bounds - start: 5, end: 18446744073709551615, limit: 7"},
        {"exception", "NUVZubExcNoSuchFile", "No such file: x"},
        {"exception", "NUVZubExcIOBounds", "I/O out of bounds - start: 1, end: 2, limit: 3"},
        {"assertion", nullptr, "2 + 2 == 5"},
        {"validation", nullptr, "handle is null"},
        {"notice", nullptr,
         "ERROR: Command line argument in command line file is too long - maximum = 1023"},
        {"notice", nullptr,
         "ERROR: There are more than 1024 command line arguments. All arguments beyond\n"
         "argument 1024 will be ignored."},
        {"notice", nullptr, "ERROR: Unable to open command line arguments file /no/a"},
        {"notice", nullptr, "!!! Error in FindFirstFile.  Pattern: \"no_such_directory_x", "*\""},
        {"notice", nullptr, "=== ZUB Storage limit: 12345"},
        {"notice", nullptr, "!!! Throwing NUVZubExcNoSuchFile:\n!!!  ", "none"},
    };
    ASSERT_EQ(reports.size(), std::size(expected));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const json& r = reports[i].record;
        const auto& e = expected[i];
        SCOPED_TRACE(r.dump());
        EXPECT_EQ(r.at("report"), e.kind);
        EXPECT_EQ(r.at("class"), e.className ? json(e.className) : json());
        if (e.end != nullptr) {
            EXPECT_THAT(reports[i].message, AllOf(StartsWith(e.message), EndsWith(e.end)));
        } else {
            EXPECT_EQ(reports[i].message, e.message);
        }
        const std::string time = r.at("time"), fingerprint = r.at("fingerprint");
        EXPECT_TRUE(EpochSeconds(time) >= started && EpochSeconds(time) <= ended)
            << time << " is not between " << started << " and " << ended;
        EXPECT_TRUE(r.at("pid").get<long long>() > 0 && r.at("tid").get<long long>() > 0);
        EXPECT_THAT(r.at("program").get<std::string>(), HasSubstr("utt_report_environment_test"));
        EXPECT_TRUE(fingerprint.size() == 16 &&
                    fingerprint.find_first_not_of("0123456789abcdef") == fingerprint.npos);
        EXPECT_TRUE(r.contains("code") && r.contains("parameters") && r.contains("source"));
        EXPECT_EQ(r.at("frames").empty(), std::string(e.kind) == "notice");
        for (const json& frame : r.at("frames"))
            for (const char* field : {"function", "file", "line", "module", "offset"})
                EXPECT_TRUE(frame.contains(field)) << frame;
        if (e.className == nullptr && !r["frames"].empty()) { // made by a call, not raised
            EXPECT_THAT(r["frames"][0].value("file", ""), HasSubstr(kTestFile));
        }
    }
    const json& e = reports[3].record; // a class of the catalogue, raised here
    EXPECT_EQ(e["code"], 1010);
    EXPECT_TRUE(e["source"].is_null()) << "Propagate knows no source position";
    EXPECT_EQ(e["parameters"],
              json({{"start", 5}, {"end", 18446744073709551615ULL}, {"limit", 7}}));
    const json& frames = e["frames"];
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0]["function"], "NUVZubExcIOBounds::Propagate");
    EXPECT_THAT(frames[1]["function"].get<std::string>(), HasSubstr("RaiseAt"));
    EXPECT_THAT(frames[1]["file"].get<std::string>(), HasSubstr(kTestFile));
    EXPECT_GT(frames[1]["line"].get<int>(), 0);
    EXPECT_THAT(frames[1]["module"].get<std::string>(), HasSubstr("utt_report_environment_test"));
    EXPECT_THAT(frames[1]["offset"].get<std::string>(), StartsWith("0x"));
    // The fingerprint follows the code path: another class, another call site.
    EXPECT_NE(reports[4].record["fingerprint"], e["fingerprint"]);
    EXPECT_NE(reports[5].record["fingerprint"], e["fingerprint"]);
}

TEST(ReportJson, TheSwitchesAreReadFromTheEnvironment) {
    const std::vector<Report> disabled = ChildReports(
        [] {
            setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
            setenv("ZUB_EXCEPTION_REPORT_FORMAT", "JSON", 1);
            return RaiseAt(NUVZubExcNoSuchFile("a")) + RaiseAt(NUVZubExcNoSuchFile("b"));
        },
        Form::Json);
    if (IsChildProcess()) return;
    ASSERT_EQ(disabled.size(), 3u);
    EXPECT_EQ(disabled[0].record["report"], "notice");
    EXPECT_EQ(disabled[0].message, "!!! - ZUB Exception throw reports are disabled.");
    EXPECT_TRUE(disabled[1].frames.empty());
    // Without frames the message decides, its quoted values and numbers masked.
    EXPECT_NE(disabled[1].record["fingerprint"], disabled[2].record["fingerprint"]);
}

/// The documented rule, written apart from the library: bytes not UTF-8 are U+FFFD.
std::string Decoded(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        std::size_t n = c < 0x80                 ? 1
                        : c >= 0xC2 && c <= 0xDF ? 2
                        : c >= 0xE0 && c <= 0xEF ? 3
                        : c >= 0xF0 && c <= 0xF4 ? 4
                                                 : 0;
        bool ok = n > 0 && i + n <= bytes.size();
        for (std::size_t k = 1; ok && k < n; ++k)
            ok = (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80;
        if (ok && n >= 3) {
            const unsigned char d = static_cast<unsigned char>(bytes[i + 1]);
            ok = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d > 0x9F) && !(c == 0xF0 && d < 0x90) &&
                 !(c == 0xF4 && d > 0x8F);
        }
        if (!ok) n = 1; // the longest valid prefix is still one byte at a time
        out.append(ok ? bytes.substr(i, n) : "\xef\xbf\xbd");
        i += n;
    }
    return out;
}

TEST(ReportJson, HostileMessagesParseBackAsDocumented) {
    std::vector<std::string> messages = {
        "plain",
        "quote \" backslash \\ slash /",
        "controls \x01\x02\x1f\x7f tab\tline\nfeed\r\x0b\x0c\x08",
        "latin-1 caf\xe9 and lone \x80\xbf continuation",
        "cut \xe2\x82 and \xf0\x9f\x98",
        "overlong \xc0\xaf \xe0\x80\xaf surrogate \xed\xa0\x80 beyond \xf4\x90\x80\x80 \xf5",
        "valid \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf \xef\xbb\xbf",
        "json-like {\"report\":\"x\"} \\u0041 %s %d %n",
    };
    // Near the message's 16 KiB cap, which counts the text as written: cut or not.
    const std::pair<std::string, bool> nearTheCap[] = {
        {std::string(40000, 'x') + "\xff", true},
        {std::string(16384, 'x'), false},              // the cap exactly, by a plain run
        {std::string(16382, 'x') + "\xc3\xa9", false}, // and by a character
        {std::string(16383, 'x') + "\"", true},        // its escape takes two bytes
    };
    const std::size_t firstNearTheCap = messages.size();
    for (const auto& message : nearTheCap)
        messages.push_back(message.first);
    // Plain runs are found eight bytes at a time: a special byte at every place.
    for (const char* special : {"\x01", "\x1f", "\"", "\\", "\x7f", "\x80", "\xff", "\xc3\xa9",
                                "\xe2\x82\xac", "\xf0\x9f\x98\x80", " ", "~", "\xc3"})
        for (std::size_t at = 0; at <= 17; ++at)
            messages.push_back(std::string("abcdefghijklmnopq").insert(at, special));
    const std::vector<Report> reports = ChildReports(
        [&messages] {
            SetForm(Form::Json);
            int failures = 0;
            for (const std::string& message : messages) {
                NUVZubUttAssert::ReportException(message.c_str());
                failures += RaiseAt(NUVZubExcNoSuchFile(message.c_str()));
            }
            // JSON has no number for these: each is written as a string.
            const double inf = std::numeric_limits<double>::infinity();
            for (const double value : {std::nan(""), inf, -inf})
                failures += RaiseAt(NUVZubExcPrivateForCorrectnessTesting(
                    false, 0, 0, static_cast<float>(value), value, ""));
            return failures;
        },
        Form::Json);
    ASSERT_EQ(reports.size(), 2 * messages.size() + 3);
    const char* const unrepresentable[] = {"NaN", "Infinity", "-Infinity"};
    for (std::size_t i = 0; i < 3; ++i) {
        const json& parameters = reports[2 * messages.size() + i].record.at("parameters");
        EXPECT_EQ(parameters.value("floatArg", json()), unrepresentable[i]);
        EXPECT_EQ(parameters.value("doubleArg", json()), unrepresentable[i]);
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(messages[i].substr(0, 60));
        const std::string& got = reports[2 * i].message;
        const std::size_t nearAt = i - firstNearTheCap; // wraps below the first
        const bool cut = nearAt < std::size(nearTheCap) && nearTheCap[nearAt].second;
        const std::string expected = Decoded(messages[i]);
        EXPECT_EQ(got, cut ? expected.substr(0, got.size()) : expected) << "cut, never changed";
        EXPECT_TRUE(!cut || got.size() > 10000u) << got.size();
        EXPECT_EQ(reports[2 * i].record.value("truncated", json()), cut ? json(true) : json());
        const std::string parameter = reports[2 * i + 1].record["parameters"]["file_name"];
        EXPECT_EQ(parameter, Decoded(messages[i].substr(0, 1023)).substr(0, parameter.size()));
    }
}

/// The fingerprint rule itself, through the class the library and the tool share.
std::string Print(const char* kind, std::vector<std::string> frames, const std::string& message) {
    NUVZubUttFingerprint f(kind);
    for (const std::string& frame : frames)
        f.AddFrame(frame.data(), frame.size());
    f.AddMessage(message.data(), message.size());
    char digits[17];
    f.Finish(digits);
    return digits;
}

// A function whose name is longer than a record's function field.
template <typename T> struct Wrap {};
template <int N> struct Nested { using Type = Wrap<typename Nested<N - 1>::Type>; };
template <> struct Nested<0> { using Type = int; };
template <typename T> NUVZUB_KEEP_FRAME int RaiseInALongName(const NUVBasException& e) {
    static volatile int calls = 0; // code of its own, never folded into another function's
    calls = calls + 1;
    return RaiseAt(e);
}

TEST(ReportJson, AFrameKeptFromAnEarlierReportIsWrittenAgainAsItWas) {
    std::vector<Report> forms[2];
    for (const Form form : {Form::Json, Form::Text}) {
        // One lambda for both forms, so that the frames are the same.
        forms[form == Form::Json ? 0 : 1] = ChildReports(
            [form] {
                SetForm(form);
                int failed = 0;
                for (int i = 0; i < 2; ++i)
                    failed += RaiseInALongName<Nested<60>::Type>(NUVZubExcNoSuchFile("long"));
                return failed;
            },
            form);
    }
    if (IsChildProcess()) return;
    const std::vector<Report>& records = forms[0];
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].record["frames"], records[0].record["frames"]);
    EXPECT_EQ(records[1].record["fingerprint"], records[0].record["fingerprint"]);
    const std::string name = records[0].record["frames"][2]["function"];
    EXPECT_THAT(name, HasSubstr("RaiseInALongName"));
    EXPECT_EQ(name.size(), 1024u) << "cut to the field's cap";
    for (const Report& report : records)
        EXPECT_EQ(report.record.value("truncated", false), true) << "the cut name, cached or not";
    // The text form cuts the names shorter still; the fingerprint is computed from those.
    ASSERT_FALSE(forms[1].empty());
    std::vector<std::string> names;
    for (const std::string& frame : forms[1][0].frames)
        names.push_back(frame.substr(6, frame.find(" in ") - 6));
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names[2].size(), 1023u);
    EXPECT_EQ(Print("exception", names, ""), records[0].record["fingerprint"]);
}

TEST(Fingerprint, MasksNumbersAndQuotedValuesOfAMessageWithoutFrames) {
    const struct {
        const char* a;
        const char* b;
        bool same;
    } pairs[] = {
        {"size 12 of 4096", "size 7 of 0", true},
        {"offset -5", "offset 17", true},
        {"at 0x7ffd1234 now", "at 0x1 now", true},
        {"version 1.2.3", "version 10.0", true},
        {"element \"a\" missing", "element \"bcd\" missing", true},
        {"name 'x y' bad", "name '' bad", true},
        {"can't open 3", "can't open 4", true},
        {"first line 1\nsecond 2", "first line 9\nother", true},
        {"line\r\nrest", "line\nrest", true},
        {"utf8 x86_64", "utf9 x86_64", false}, // digits inside words stay
        {"No such file: a", "No such file: b", false},
        {"size 12", "count 12", false},
    };
    for (const auto& p : pairs)
        EXPECT_EQ(Print("exception", {}, p.a) == Print("exception", {}, p.b), p.same)
            << p.a << " | " << p.b;
    EXPECT_NE(Print("exception", {}, "m"), Print("notice", {}, "m"));
    // With frames the message does not count; a recursion's depth does not either.
    EXPECT_EQ(Print("exception", {"f", "g", "main"}, "a 1"),
              Print("exception", {"f", "g", "g", "g", "main"}, "b 2"));
    EXPECT_NE(Print("exception", {"f", "g"}, "m"), Print("exception", {"g", "f"}, "m"));
    EXPECT_NE(Print("exception", {"fg"}, "m"), Print("exception", {"f", "g"}, "m"));
    // Pieces join: a number split between two pieces is one number.
    NUVZubUttFingerprint split("exception");
    split.AddMessage("size 1", 6);
    split.AddMessage("23 x", 4);
    char digits[17];
    split.Finish(digits);
    EXPECT_EQ(std::string(digits), Print("exception", {}, "size 9 x"));
}

#if !defined(_WIN32)
TEST(TracebackOnSmallStack, AFrameLeftUnknownForWantOfAHelperThreadIsResolvedLater) {
    const std::vector<Report> reports = ChildReports(
        [] {
            SetForm(Form::Json);
            // A small stack sends the symbol look-ups to a helper thread.
            const auto raise = [] { return RaiseNoSuchFile("small"); };
            SetFault(&Faults::helperThreadFails);
            const int failures = OnSmallStack(raise);
            NUVZubPlatform::SetProcessFaults(Faults());
            return failures + OnSmallStack(raise);
        },
        Form::Json);
    ASSERT_EQ(reports.size(), 2u);
    const json &unknown = reports[0].record, &resolved = reports[1].record;
    EXPECT_TRUE(unknown.at("frames").at(0).at("function").is_null()) << unknown;
    EXPECT_EQ(resolved.at("frames").at(0).at("function"), "NUVZubExcNoSuchFile::Propagate");
    EXPECT_THAT(resolved.at("frames").at(1).at("file").get<std::string>(), HasSubstr(kTestFile));
    EXPECT_NE(resolved["fingerprint"], unknown["fingerprint"]) << "from the names now";
}

/// Raises after a line that says which process and thread raise.
void RaiseSayingWho(const char* message) {
    std::fprintf(stderr, "{\"pid\":%d,\"tid\":%d}\n", int(getpid()), int(gettid()));
    std::fflush(stderr);
    RaiseAt(NUVZubExcNoSuchFile(message));
}

TEST(ReportJson, ProcessAndThreadIdsFollowAForkFromAThreadThatReportedBefore) {
    const std::vector<Report> lines = ChildReports(
        [] {
            SetForm(Form::Json);
            int status = 1;
            std::thread thread([&status] {
                RaiseSayingWho("before");
                const pid_t child = fork(); // this thread is the child's only one
                if (child == 0) {
                    RaiseSayingWho("in the child");
                    _exit(0);
                }
                if (child < 0 || waitpid(child, &status, 0) != child) return;
                RaiseSayingWho("after");
            });
            thread.join();
            return status;
        },
        Form::Json);
    ASSERT_EQ(lines.size(), 6u);
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        SCOPED_TRACE(lines[i + 1].message);
        EXPECT_EQ(lines[i + 1].record["pid"], lines[i].record["pid"]);
        EXPECT_EQ(lines[i + 1].record["tid"], lines[i].record["tid"]);
    }
    EXPECT_NE(lines[3].record["pid"], lines[1].record["pid"]) << "the child is another process";
}
#endif

#if defined(_WIN32)
// Tracebacks on Windows name the functions of this very file, with its source
// file and lines, from the DWARF in the modules' own files: Windows' debugging
// help library reads PDB files only. It still answers for modules without
// DWARF. Stand-ins for it, through the call table, show which answered.
NUVZUB_KEEP_FRAME int RaiseFromHere() { return RaiseAt(NUVZubExcNoSuchFile("C:\\no\\such")); }

template <typename... Arguments> BOOL WINAPI FindNothing(Arguments...) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}
constexpr wchar_t kDbgHelpsName[] = L"NamedByDbgHelp";
BOOL WINAPI NameEverything(HANDLE, DWORD64, PDWORD64 displacement, PSYMBOL_INFOW symbol) {
    const ULONG length = sizeof kDbgHelpsName / sizeof(wchar_t) - 1;
    if (symbol->MaxNameLen <= length) return FALSE;
    std::wmemcpy(symbol->Name, kDbgHelpsName, length + 1);
    symbol->NameLen = length;
    *displacement = 0;
    return TRUE;
}

enum class DbgHelp { findsNothing, namesEverything };

/// ExpectReport with throw reports on and `dbgHelp` standing in for the library.
void ExpectTraceback(DbgHelp dbgHelp, const std::function<int()>& body, const std::string& err) {
    ExpectReport(
        [&] {
            SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
            NUVZubPlatform::SystemCallsWin32 calls = NUVZubPlatform::GetWin32Calls();
            calls.SymFromAddrW = NameEverything;
            if (dbgHelp == DbgHelp::findsNothing) calls.SymFromAddrW = FindNothing;
            calls.SymGetLineFromAddrW64 = FindNothing;
            calls.SymGetLineFromInlineContextW = FindNothing;
            NUVZubPlatform::SetWin32Calls(calls);
            return body();
        },
        err);
}

// The report down to RaiseFromHere, each frame named from this file's DWARF.
const std::string kTop =
    "!!! EXCEPTION:\n!!!   No such file: C:\\\\no\\\\such\n!!! TRACEBACK:\n"
    "!!!   NUVZubExcNoSuchFile::Propagate in [^\n]*NUVZubExcFile\\.cpp:[0-9]+\n"
    "!!!   \\(anonymous namespace\\)::RaiseAt in [^\n]*report_environment_test\\.cpp:" +
    std::to_string(kRaiseLine) +
    "\n!!!   \\(anonymous namespace\\)::RaiseFromHere in [^\n]*report_environment_test\\.cpp:"
    "[0-9]+\n";
// The frames up to main, none the debugging help library's.
const std::string kOwnFramesToMain =
    "(!!!   (?![^\n]*(NamedByDbgHelp|<stack frame not available>))[^\n]*\n)*!!!   main in [^\n]*\n";

// Whether the debugging help library can read DWARF (as Wine's can) or not (as
// Windows' cannot), the frames of this program and of the library are named from
// their DWARF, never by that library: on Windows it would name the nearest
// exported function. Only the frame of a module without DWARF is its to name.
TEST(TracebackWin32, FramesWithDwarfNamedFromItOthersByTheDebuggingHelpLibrary) {
    ExpectTraceback(DbgHelp::findsNothing, RaiseFromHere, kTop + kOwnFramesToMain);
    ExpectTraceback(
        DbgHelp::namesEverything, [] { return ModuleCall(RaiseFromHere); },
        kTop + "!!!   NamedByDbgHelp\n" + kOwnFramesToMain);
}

// Leaves about `left` bytes of the thread's stack to what `function` calls.
NUVZUB_KEEP_FRAME int WithStackLeft(std::size_t left, int (*function)()) {
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    const std::size_t free = reinterpret_cast<std::uintptr_t>(&low) - low;
    volatile char* taken = static_cast<char*>(alloca(free > left ? free - left : 1));
    taken[0] = 1;
    return function() + taken[0] - 1;
}

/// Runs `body` on a new thread with `stack` bytes reserved (0: the default).
int OnThread(SIZE_T stack, int (*body)()) {
    struct Call {
        int (*body)();
        int result;
    } call{body, 3};
    const auto run = [](void* c) -> DWORD {
        static_cast<Call*>(c)->result = static_cast<Call*>(c)->body();
        return 0;
    };
    const HANDLE thread =
        CreateThread(nullptr, stack, run, &call, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) return 3;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return call.result;
}

// 64 KiB is the least stack a Windows thread gets (Wine gives at least 1 MiB,
// so the stack is used up to 48 KiB first): too little to read debugging
// information on, so the look-ups move to a stack of their own.
TEST(TracebackWin32, NamesFramesWithLittleStackLeft) {
    ExpectTraceback(
        DbgHelp::findsNothing,
        [] { return OnThread(64 * 1024, [] { return WithStackLeft(48 * 1024, RaiseFromHere); }); },
        kTop + "!!!   \\(anonymous namespace\\)::WithStackLeft in [^\n]*\n" + kFrames);
}

// The name a reader would open by narrow characters lies outside the ANSI code
// page here: the module's DWARF is read all the same.
TEST(TracebackWin32, NamesFramesOfAModuleWhoseNameIsOutsideTheCodePage) {
    const SharedTempDir dir;
    const std::wstring copy =
        utf16::Widen(dir / "\xD0\xBC\xD0\xBE\xD0\xB4\xD1\x83\xD0\xBB\xD1\x8C_\xF0\x9F\x99\x82.dll");
    if (!IsChildProcess()) {
        std::vector<wchar_t> exe(32768);
        std::wstring built(exe.data(), GetModuleFileNameW(nullptr, exe.data(), 32768));
        built = built.substr(0, built.find_last_of(L'\\') + 1) + L"utt_traceback_dwarf_module.dll";
        ASSERT_TRUE(CopyFileW(built.c_str(), copy.c_str(), TRUE)) << GetLastError();
    }
    ExpectTraceback(
        DbgHelp::findsNothing,
        [&copy] {
            const auto call = reinterpret_cast<int (*)(int (*)())>(
                reinterpret_cast<void*>(GetProcAddress(LoadLibraryW(copy.c_str()), "ModuleCall")));
            return call != nullptr ? call(RaiseFromHere) : 3;
        },
        kTop + "!!!   ModuleCall in [^\n]*traceback_module_win32\\.cpp:[0-9]+\n" + kFrames);
}

// Windows' own modules carry no DWARF: a thread's first frames, in kernel32
// and ntdll, are the debugging help library's.
TEST(TracebackWin32, LeavesTheSystemsFramesToTheDebuggingHelpLibrary) {
    if (UnderWine()) GTEST_SKIP() << "Wine's system DLLs carry DWARF, which the library reads";
    ExpectTraceback(
        DbgHelp::namesEverything, [] { return OnThread(0, RaiseFromHere); },
        kTop + kFrames + "!!!   NamedByDbgHelp\n");
}
#endif

} // namespace
