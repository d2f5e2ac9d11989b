// Reports in the text and the JSON form as real programs raise them: from many
// threads and processes at once, at exit, around fork with the program's own
// handlers, under cancellation, into broken, closed, shared or non-blocking
// stderr, on small stacks; JSON records with all their fields whatever the
// bytes, and fingerprints that follow the code path. The form and the switches
// are process-wide, so each case runs in a child process.
#include <ChildProcess.h>
#include <TempDir.h>
#if !defined(_WIN32)
#include <SmallStack.h>
#endif

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
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

#if defined(_WIN32)
#include <cstdint>
#include <io.h>
#else
#include <NUVZubPlatform/SystemCalls.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#endif

namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kTestFile = "report_environment_test.cpp";

enum class Form { Text, Json };

void SetForm(Form form) {
    NUVZubUttAssertSetReportFormat(form == Form::Json ? NUVZubUttReportFormat::Json
                                                      : NUVZubUttReportFormat::Text);
}

NUVZUB_KEEP_FRAME int RaiseAt(const NUVBasException& e) {
    try {
        e.Propagate();
    } catch (const NUVBasException&) {
        return 0;
    }
    return 1;
}

NUVZUB_KEEP_FRAME int OtherSite(const NUVBasException& e) { return RaiseAt(e) + 0 * std::rand(); }

int RaiseNoSuchFile(const std::string& name) {
    return RaiseAt(NUVZubExcNoSuchFile(NUVString(name.c_str())));
}

/// Raises "thread.report" on each of `threads` threads, each message padded by
/// up to 600 bytes if `padded`; returns how many went wrong.
int RaiseOnThreads(int threads, int reports, bool padded = false) {
    std::atomic<int> failures{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([=, &failures] {
            for (int i = 0; i < reports; ++i)
                failures += RaiseNoSuchFile(std::to_string(t) + "." + std::to_string(i) +
                                            std::string(padded ? 100 * (i % 7) : 0, 'n'));
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

/// Splits stderr into reports: text ones are banner, message, TRACEBACK and
/// frames; JSON ones a record a line. Any other line, or a report cut short,
/// is a failure.
::testing::AssertionResult Parse(const std::string& err, Form form, std::vector<Report>& reports) {
    const std::vector<std::string> lines = TextLines(err);
    for (std::size_t at = 0; at < lines.size();) {
        Report report;
        const std::string& line = lines[at++];
        if (form == Form::Json) {
            report.record = json::parse(line, nullptr, false);
            if (!report.record.is_object())
                return ::testing::AssertionFailure() << "not a JSON record: " << line;
            report.message = report.record.value("message", std::string());
            for (const json& frame : report.record.value("frames", json::array()))
                report.frames.push_back(frame.dump());
            reports.push_back(report);
            continue;
        }
        if (line != "!!! EXCEPTION:")
            return ::testing::AssertionFailure() << "line " << at << ": " << line;
        if (at == lines.size() || lines[at].compare(0, 6, "!!!   ") != 0)
            return ::testing::AssertionFailure() << "no message at line " << at + 1;
        report.message = lines[at++].substr(6);
        if (at == lines.size() || lines[at++] != "!!! TRACEBACK:")
            return ::testing::AssertionFailure() << "no traceback at line " << at;
        for (; at < lines.size() && lines[at].compare(0, 6, "!!!   ") == 0; ++at)
            report.frames.push_back(lines[at]);
        if (report.frames.empty())
            return ::testing::AssertionFailure() << "no frames before line " << at + 1;
        reports.push_back(report);
    }
    return ::testing::AssertionSuccess();
}

#if defined(_WIN32)
// The names come from the debugging help library, which reads GCC's debugging
// information under Wine; Windows' own reads PDB files only.
bool FramesHaveNames() { return UnderWine(); }
#else
bool FramesHaveNames() { return true; }
#endif

TEST(ReportsFromThreads, ComeWholeOneAfterAnother) {
    const struct {
        const char* name;
        Form form;
        bool warm;
    } cases[] = {
        {"text, from a cold start", Form::Text, false},
        {"text, the symbol handler started first", Form::Text, true},
        {"JSON", Form::Json, false},
    };
    constexpr int kThreads = 8, kReports = 200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildResult r = RunInChild([&c] {
            SetForm(c.form);
            if (c.warm && RaiseNoSuchFile("warm-up") != 0) return 1;
            return RaiseOnThreads(kThreads, kReports);
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err.substr(0, 2000);
        std::vector<Report> reports;
        ASSERT_TRUE(Parse(r.err, c.form, reports));
        if (c.warm) reports.erase(reports.begin());
        ASSERT_EQ(reports.size(), std::size_t(kThreads * kReports));
        // Every thread raises from the same call sites, so every traceback is the same.
        const std::vector<std::string>& first = reports.front().frames;
        if (FramesHaveNames() && c.form == Form::Text) {
            ASSERT_GE(first.size(), 3u);
            EXPECT_THAT(first[0], StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in "));
            EXPECT_THAT(first[1], HasSubstr("RaiseAt in "));
            EXPECT_THAT(first[1], HasSubstr(kTestFile));
        }
        std::set<std::string> messages;
        std::map<std::string, std::set<long long>> threadIds; // JSON: by the raising thread
        std::set<long long> allIds;
        for (const Report& report : reports) {
            messages.insert(report.message);
            EXPECT_EQ(report.frames, first) << report.message;
            if (c.form == Form::Text) continue;
            EXPECT_EQ(report.record["fingerprint"], reports[0].record["fingerprint"]);
            const std::string thread = report.message.substr(0, report.message.find('.'));
            threadIds[thread].insert(report.record["tid"].get<long long>());
            allIds.insert(report.record["tid"].get<long long>());
        }
        EXPECT_EQ(messages.size(), reports.size()) << "each report appears once";
        if (c.form == Form::Text) continue;
        // Each thread has its own id, the same in all of its records.
        EXPECT_EQ(threadIds.size(), std::size_t(kThreads));
        for (const auto& ids : threadIds)
            EXPECT_EQ(ids.second.size(), 1u) << ids.first;
        EXPECT_EQ(allIds.size(), std::size_t(kThreads));
    }
}

#ifdef __has_feature
#define NUVZUB_HAS_FEATURE(x) __has_feature(x)
#else
#define NUVZUB_HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_THREAD__) || NUVZUB_HAS_FEATURE(thread_sanitizer)
#define NUVZUB_TEST_TSAN 1
#else
#define NUVZUB_TEST_TSAN 0
#endif
#if NUVZUB_TEST_TSAN || defined(__SANITIZE_ADDRESS__) || NUVZUB_HAS_FEATURE(address_sanitizer)
#define NUVZUB_TEST_SANITIZER 1
#else
#define NUVZUB_TEST_SANITIZER 0
#endif

// The sanitizers' own allocators (clang 14's AddressSanitizer, GCC 12's
// ThreadSanitizer) are not fork-safe: a child forked while another thread
// allocates may wait forever inside the sanitizer's allocator lock, whatever
// the library does. Tests that fork beside busy threads run in the plain build.
#define NUVZUB_SKIP_FORK_BESIDE_THREADS_UNDER_SANITIZERS()                                         \
    if (NUVZUB_TEST_SANITIZER) GTEST_SKIP() << "the sanitizer's allocator is not fork-safe"

#if !defined(_WIN32)
/// Forks `rounds` times; each child runs `child` with stderr on /dev/null.
/// Returns how many children failed.
int ForkChildren(int rounds, int (*child)()) {
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open("/dev/null", O_WRONLY), 2);
            _exit(child());
        }
        int status = 0;
        waitpid(pid, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    return failures;
}
#endif

struct RaisesAtExit {
    ~RaisesAtExit() { RaiseNoSuchFile("at exit"); }
};

TEST(ReportsFromThreads, ChildProcessesAndStaticDestructorsStillReport) {
    const ChildResult r = RunInChild([]() -> int {
        static RaisesAtExit atExit;
        std::atomic<bool> stop{false};
        std::thread reporter([&stop] {
            while (!stop)
                RaiseNoSuchFile("parent");
        });
        int failures = 0;
#if defined(_WIN32) || NUVZUB_TEST_SANITIZER
        // A Windows child process is a new program: it inherits no lock. Under
        // the sanitizers (see above) only the exit report is checked.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
#else
        // Most forks come while the reporter reports: the child's report must
        // not wait for the parent's.
        failures = ForkChildren(20, [] { return RaiseNoSuchFile("child"); });
#endif
        stop = true;
        reporter.join();
        std::exit(failures);
    });
    ASSERT_TRUE(r.finished) << "a child waited for a lock it could never get";
    EXPECT_EQ(r.exitCode, 0);
    std::vector<Report> reports;
    ASSERT_TRUE(Parse(r.err, Form::Text, reports));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports.back().message, "No such file: at exit");
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
#endif

TEST(ReportsToBrokenStreams, NeitherStopTheProcessNorChangeItsSignals) {
    const struct {
        const char* name;
        bool (*breakStderr)();
        bool programBlocksPipeSignal, programLeavesOnePending;
    } cases[] = {
        {"pipe without a reader", ReaderlessPipeAsStderr, false, false},
#if !defined(_WIN32)
        {"pipe without a reader, SIGPIPE blocked", ReaderlessPipeAsStderr, true, false},
        {"pipe without a reader, SIGPIPE blocked and pending", ReaderlessPipeAsStderr, true, true},
#endif
        {"closed stderr", CloseStderr, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildResult r = RunInChild([&c] {
#if !defined(_WIN32)
            sigset_t pipeSignal, blocked, pending;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            if (c.programBlocksPipeSignal) pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            if (c.programLeavesOnePending) raise(SIGPIPE);
#endif
            std::fflush(stderr);
            if (!c.breakStderr()) return 9;
            int failures = RaiseNoSuchFile("first") + RaiseNoSuchFile("second");
            try {
                NUVZubUttAssert::ReportValidationFailure("misuse");
            } catch (const NUVZubExcValidationFailure&) {
                --failures;
            }
            try { // the file layer's notice goes the same way
                NUVZubUttOSFile file;
                file.OpenRead(NUVString("no such file of the report test"));
                ++failures;
            } catch (const NUVZubExcNoSuchFile&) {
            }
#if !defined(_WIN32)
            // The program's own handling of SIGPIPE is left as it was, its own
            // pending one stays, and none of the reports is left waiting for it.
            struct sigaction action {};
            sigaction(SIGPIPE, nullptr, &action);
            pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
            sigpending(&pending);
            if (action.sa_handler != SIG_DFL ||
                sigismember(&blocked, SIGPIPE) != c.programBlocksPipeSignal ||
                sigismember(&pending, SIGPIPE) != c.programLeavesOnePending)
                return 10;
#endif
            return failures + 1;
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "") << "written to the stderr it had before";
    }
}

// ---- JSON records ----

void ExpectCommonFields(const json& r, const char* kind) {
    EXPECT_EQ(r.at("report"), kind);
    EXPECT_TRUE(r.at("time").get<std::string>().size() == 27 &&
                r.at("time").get<std::string>().back() == 'Z')
        << r.at("time");
    EXPECT_GT(r.at("pid").get<long long>(), 0);
    EXPECT_GT(r.at("tid").get<long long>(), 0);
    EXPECT_THAT(r.at("program").get<std::string>(), HasSubstr("utt_report_environment_test"));
    const std::string fingerprint = r.at("fingerprint");
    EXPECT_EQ(fingerprint.size(), 16u);
    EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
    for (const char* field : {"class", "code", "message", "parameters", "source", "frames"})
        EXPECT_TRUE(r.contains(field)) << field;
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

/// The child's JSON records; a line that is not one fails the test.
std::vector<json> Records(const std::string& err) {
    std::vector<Report> reports;
    EXPECT_TRUE(Parse(err, Form::Json, reports));
    std::vector<json> records;
    for (const Report& report : reports)
        records.push_back(report.record);
    return records;
}

TEST(ReportJson, ThrowReportCarriesClassCodeParametersAndFramesOfTheRaise) {
    const ChildResult r = RunInChild([] {
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "json", 1);
        return RaiseAt(NUVZubExcIOBounds(5, 18446744073709551615ULL, 7));
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<json> records = Records(r.err);
    ASSERT_EQ(records.size(), 1u) << r.err;
    const json& e = records[0];
    ExpectCommonFields(e, "exception");
    EXPECT_EQ(e["class"], "NUVZubExcIOBounds");
    EXPECT_EQ(e["code"], 1010);
    EXPECT_EQ(e["message"], "I/O out of bounds - start: 5, end: 18446744073709551615, limit: 7");
    EXPECT_EQ(e["parameters"],
              json({{"start", 5}, {"end", 18446744073709551615ULL}, {"limit", 7}}));
    EXPECT_TRUE(e["source"].is_null()) << "Propagate knows no source position";
    const json& frames = e["frames"];
    ASSERT_GE(frames.size(), 3u);
    EXPECT_EQ(frames[0]["function"], "NUVZubExcIOBounds::Propagate");
    EXPECT_THAT(frames[1]["function"].get<std::string>(), HasSubstr("RaiseAt"));
    EXPECT_THAT(frames[1]["file"].get<std::string>(), HasSubstr(kTestFile));
    EXPECT_GT(frames[1]["line"].get<int>(), 0);
    EXPECT_THAT(frames[1]["module"].get<std::string>(), HasSubstr("utt_report_environment_test"));
    EXPECT_THAT(frames[1]["offset"].get<std::string>(), StartsWith("0x"));
    for (const json& frame : frames)
        for (const char* field : {"function", "file", "line", "module", "offset"})
            EXPECT_TRUE(frame.contains(field)) << frame;
}

TEST(ReportJson, EveryOtherKindIsOneRecordWithItsFields) {
    const struct {
        const char* name;
        int (*raise)();
        const char* kind;
        const char* message;
        bool hasFrames;
    } cases[] = {
        {"exception without a class",
         [] { return NUVZubUttAssert::ReportException("plain message"), 0; }, "exception",
         "plain message", true},
        {"assertion",
         [] { return Throws<NUVBasAssertException>([] { NUVZUB_ASSERT(2 + 2 == 5); }); },
         "assertion", "2 + 2 == 5", true},
        {"validation",
         [] {
             return Throws<NUVZubExcValidationFailure>(
                 [] { NUVZubUttAssert::ReportValidationFailure("handle is null"); });
         },
         "validation", "handle is null", true},
        {"notice from pieces",
         [] {
             return NUVZubUttAssert::ReportNotice({"=== first line\n", "second ", "line\n"}), 0;
         },
         "notice", "=== first line\nsecond line", false},
        {"notice written piece by piece",
         [] {
             NUVZubUttAssert::ReportNotice(
                 [](NUVZubUttNoticeText& text, const void*) {
                     text.Write("bytes: ");
                     for (int i = -1; i < 3; ++i)
                         text.WriteDecimal(i);
                     text.Write("\n");
                 },
                 nullptr);
             return 0;
         },
         "notice", "bytes: -1012", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildResult r = RunInChild([&c] {
            SetForm(Form::Json);
            return c.raise();
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<json> records = Records(r.err);
        ASSERT_EQ(records.size(), 1u) << r.err;
        ExpectCommonFields(records[0], c.kind);
        EXPECT_EQ(records[0]["message"], c.message);
        EXPECT_TRUE(records[0]["class"].is_null());
        EXPECT_EQ(records[0]["frames"].empty(), !c.hasFrames) << records[0];
        if (c.hasFrames) {
            EXPECT_THAT(records[0]["frames"][0]["file"].get<std::string>(), HasSubstr(kTestFile))
                << "starts at the caller";
        }
    }
}

TEST(ReportJson, DisabledTracebacksGiveANoticeAndRecordsWithoutFrames) {
    const ChildResult r = RunInChild([] {
        setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "JSON", 1);
        RaiseAt(NUVZubExcNoSuchFile("a"));
        return RaiseAt(NUVZubExcNoSuchFile("b"));
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<json> records = Records(r.err);
    ASSERT_EQ(records.size(), 3u) << r.err;
    EXPECT_EQ(records[0]["report"], "notice");
    EXPECT_EQ(records[0]["message"], "!!! - ZUB Exception throw reports are disabled.");
    EXPECT_TRUE(records[1]["frames"].empty());
    // Without frames the message decides, its quoted values and numbers masked.
    EXPECT_NE(records[1]["fingerprint"], records[2]["fingerprint"]) << "unquoted values differ";
}

TEST(ReportJson, WithoutTheSwitchReportsStayText) {
    const ChildResult r = RunInChild([] {
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "xml", 1);
        return RaiseAt(NUVZubExcNoSuchFile("f"));
    });
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.err, StartsWith("!!! EXCEPTION:"));
}

TEST(ReportJson, TheLibrarysNoticesAreRecordsOfTheirTextWithoutTheLastLineFeed) {
    const ChildResult r = RunInChild([] {
        setenv("ZUB_STORAGE_LIMIT", "12345", 1);
        SetForm(Form::Json);
        TempDir dir;
        // An argument file with a line too long, then more arguments than are kept.
        std::string arguments(1500, 'a');
        for (int i = 0; i < 1100; ++i)
            arguments += "\nx";
        const std::string argumentFile = dir.Write("args.txt", arguments);
        for (const std::string& name : {argumentFile, std::string("/no/such/args.txt")}) {
            std::string texts[] = {"prog", "-clargsfile", name};
            char* argv[] = {&texts[0][0], &texts[1][0], &texts[2][0], nullptr};
            NUVZubCommandLine commandLine(3, argv);
        }
        try {
            NUVZubUttFileUtils::GlobRange matches(NUVString("no_such_directory_for_notices/*"));
        } catch (const NUVBasException&) {
        }
        NUVZubUttOSFile file; // reads the storage limit
        try {
            file.OpenRead(NUVString((dir / "none").c_str()));
        } catch (const NUVBasException&) {
        }
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<json> notices;
    for (const json& record : Records(r.err))
        if (record["report"] == "notice") notices.push_back(record);
    const struct {
        std::string start, end; ///< the whole message if end is empty
    } expected[] = {
        {"ERROR: Command line argument in command line file is too long - maximum = 1023", ""},
        {"ERROR: There are more than 1024 command line arguments. All arguments beyond\n"
         "argument 1024 will be ignored.",
         ""},
        {"ERROR: Unable to open command line arguments file /no/such/args.txt", ""},
        {"!!! Error in FindFirstFile.  Pattern: \"no_such_directory_for_notices", "*\""},
        {"=== ZUB Storage limit: 12345", ""},
        {"!!! Throwing NUVZubExcNoSuchFile:\n!!!  ", "none"},
    };
    ASSERT_EQ(notices.size(), std::size(expected)) << r.err;
    for (std::size_t i = 0; i < notices.size(); ++i) {
        const std::string message = notices[i]["message"];
        if (expected[i].end.empty()) {
            EXPECT_EQ(message, expected[i].start);
        } else {
            EXPECT_THAT(message, StartsWith(expected[i].start));
            EXPECT_GE(message.size(), expected[i].start.size() + expected[i].end.size());
            EXPECT_THAT(message, ::testing::EndsWith(expected[i].end));
        }
        EXPECT_TRUE(notices[i]["frames"].empty());
        EXPECT_TRUE(notices[i]["class"].is_null());
    }
}

/// The documented rule, written independently of the library: well-formed
/// UTF-8 passes, every other byte is U+FFFD.
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
    const std::string cases[] = {
        "plain",
        "quote \" backslash \\ slash /",
        "controls \x01\x02\x1f\x7f tab\tline\nfeed\r\x0b\x0c\x08",
        "latin-1 caf\xe9 and lone \x80\xbf continuation",
        "cut \xe2\x82 and \xf0\x9f\x98",
        "overlong \xc0\xaf \xe0\x80\xaf surrogate \xed\xa0\x80 beyond \xf4\x90\x80\x80 \xf5",
        "valid \xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf \xef\xbb\xbf",
        "json-like {\"report\":\"x\"} \\u0041 %s %d %n",
        std::string(40000, 'x') + "\xff", // longer than the message's cap
    };
    for (const std::string& message : cases) {
        SCOPED_TRACE(message.substr(0, 60));
        const ChildResult r = RunInChild([&message] {
            SetForm(Form::Json);
            NUVZubUttAssert::ReportException(message.c_str());
            return RaiseAt(NUVZubExcNoSuchFile(message.c_str()));
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0);
        const std::vector<json> records = Records(r.err);
        ASSERT_EQ(records.size(), 2u) << r.err.substr(0, 2000);
        const std::string expected = Decoded(message);
        const std::string got = records[0]["message"];
        if (message.size() < 16384) {
            EXPECT_EQ(got, expected);
            EXPECT_FALSE(records[0].contains("truncated"));
        } else {
            EXPECT_EQ(got, expected.substr(0, got.size())) << "cut, never changed";
            EXPECT_GT(got.size(), 10000u);
            EXPECT_EQ(records[0]["truncated"], true);
        }
        const std::string parameter = records[1]["parameters"]["file_name"];
        EXPECT_EQ(parameter, Decoded(message.substr(0, 1023)).substr(0, parameter.size()));
    }
}

TEST(ReportJson, EverySpecialByteIsEscapedWhereverItFallsInAWord) {
    // The plain runs between escapes are found eight bytes at a time: a byte
    // that needs more than a copy, at every place in a word.
    const char* const specials[] = {"\x01", "\x1f", "\"",       "\\",           "\x7f",
                                    "\x80", "\xff", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                    " ",    "~",    "\xc3"};
    std::vector<std::string> messages;
    for (const char* special : specials)
        for (std::size_t at = 0; at <= 17; ++at)
            messages.push_back(std::string("abcdefghijklmnopq").insert(at, special));
    const ChildResult r = RunInChild([&messages] {
        SetForm(Form::Json);
        for (const std::string& message : messages)
            NUVZubUttAssert::ReportException(message.c_str());
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<json> records = Records(r.err);
    ASSERT_EQ(records.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(records[i]["message"], Decoded(messages[i])) << i;
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
    std::string forms[2];
    for (const Form form : {Form::Json, Form::Text}) {
        // One lambda for both forms, so that the frames are the same.
        const ChildResult r = RunInChild([form] {
            SetForm(form);
            int failed = 0;
            for (int i = 0; i < 2; ++i)
                failed += RaiseInALongName<Nested<60>::Type>(NUVZubExcNoSuchFile("long"));
            return failed;
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0) << r.err;
        forms[form == Form::Json ? 0 : 1] = r.err;
    }
    const std::vector<json> records = Records(forms[0]);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["frames"], records[0]["frames"]);
    EXPECT_EQ(records[1]["fingerprint"], records[0]["fingerprint"]);
    const std::string name = records[0]["frames"][2]["function"];
    EXPECT_THAT(name, HasSubstr("RaiseInALongName"));
    EXPECT_EQ(name.size(), 1024u) << "cut to the field's cap";
    for (const json& record : records)
        EXPECT_EQ(record.value("truncated", false), true) << "the cut name, cached or not";
    // The text form cuts the names shorter still; the fingerprint is computed from those.
    std::vector<Report> text;
    ASSERT_TRUE(Parse(forms[1], Form::Text, text)) << forms[1];
    std::vector<std::string> names;
    for (const std::string& frame : text[0].frames)
        names.push_back(frame.substr(6, frame.find(" in ") - 6));
    ASSERT_GE(names.size(), 3u) << forms[1];
    EXPECT_EQ(names[2].size(), 1023u);
    EXPECT_EQ(Print("exception", names, ""), records[0]["fingerprint"]);
}

TEST(Fingerprint, FollowsTheCodePathNotTheValues) {
    const ChildResult r = RunInChild([] {
        SetForm(Form::Json);
        RaiseAt(NUVZubExcNoSuchFile("one"));   // 0
        RaiseAt(NUVZubExcNoSuchFile("two"));   // 1: other values, same site
        OtherSite(NUVZubExcNoSuchFile("one")); // 2: another call site
        RaiseAt(NUVZubExcIOBounds(1, 2, 3));   // 3: another class, same site
        RaiseAt(NUVZubExcIOBounds(4, 5, 6));   // 4
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<json> e = Records(r.err);
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0]["fingerprint"], e[1]["fingerprint"]);
    EXPECT_NE(e[0]["fingerprint"], e[2]["fingerprint"]);
    EXPECT_NE(e[0]["fingerprint"], e[3]["fingerprint"]);
    EXPECT_EQ(e[3]["fingerprint"], e[4]["fingerprint"]);
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

// ---- POSIX only: signals, descriptors, fork, cancellation, the debug-information server ----
#if !defined(_WIN32)

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ReportsToBrokenStreams, ANonBlockingStderrStillGetsTheWholeReport) {
    // A stderr shared in non-blocking mode, full when the report comes.
    const ChildResult r = RunInChild([] {
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
    ASSERT_TRUE(Parse(r.err, Form::Text, reports)) << r.err;
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
    const ChildResult r = RunInChild(
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
    ASSERT_TRUE(Parse(r.err, Form::Text, reports)) << r.err;
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
    const ChildResult r =
        RunInChild([] { return RunOnSmallStack([] { return RaiseNoSuchFile("small"); }); });
    ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err;
    std::vector<Report> reports;
    ASSERT_TRUE(Parse(r.err, Form::Text, reports)) << r.err;
    ASSERT_EQ(reports.size(), 1u);
    ASSERT_GE(reports[0].frames.size(), 2u);
    EXPECT_THAT(reports[0].frames[0], HasSubstr("NUVZubExcFile.cpp:"));
    EXPECT_THAT(reports[0].frames[1], HasSubstr(kTestFile));
}

TEST(TracebackOnSmallStack, AFrameLeftUnknownForWantOfAHelperThreadIsResolvedLater) {
    for (const Form form : {Form::Text, Form::Json}) {
        const ChildResult r = RunInChild([form] {
            SetForm(form);
            // A small stack sends the symbol look-ups to a helper thread.
            const auto raise = [] { return RaiseNoSuchFile("small"); };
            NUVZubPlatform::ProcessFaults faults;
            faults.helperThreadFails = true;
            NUVZubPlatform::SetProcessFaults(faults);
            const int failures = RunOnSmallStack(raise);
            NUVZubPlatform::SetProcessFaults(NUVZubPlatform::ProcessFaults());
            return failures + RunOnSmallStack(raise);
        });
        ASSERT_EQ(r.exitCode, 0) << r.err;
        std::vector<Report> reports;
        ASSERT_TRUE(Parse(r.err, form, reports)) << r.err;
        ASSERT_EQ(reports.size(), 2u);
        ASSERT_GE(reports[1].frames.size(), 2u);
        EXPECT_THAT(reports[1].frames[1], HasSubstr(kTestFile));
        if (form == Form::Text) {
            EXPECT_EQ(reports[0].frames[0], "!!!   <stack frame not available>");
            EXPECT_THAT(reports[1].frames[0], HasSubstr("NUVZubExcFile.cpp:"));
            continue;
        }
        const json& unknown = reports[0].record["frames"][0];
        EXPECT_TRUE(unknown["function"].is_null()) << unknown;
        EXPECT_EQ(reports[1].record["frames"][0]["function"], "NUVZubExcNoSuchFile::Propagate");
        EXPECT_NE(reports[1].record["fingerprint"], reports[0].record["fingerprint"])
            << "from the names now";
    }
}

pthread_mutex_t g_programMutex = PTHREAD_MUTEX_INITIALIZER;

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
        const ChildResult r = RunInChild(
            [&c] {
                // Registered before the library's first report in this process.
                pthread_atfork(c.prepare, c.parent, c.child);
                if (RaiseNoSuchFile("parent") != 0) return 1;
                std::atomic<bool> stop{false};
                std::thread thread([&] { c.reporter(stop); });
                const int failures = ForkChildren(20, [] { return RaiseNoSuchFile("child"); });
                stop = true;
                thread.join();
                return failures;
            },
            30);
        ASSERT_TRUE(r.finished) << "fork deadlocked";
        EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal;
    }
}

TEST(FilesAroundFork, AChildOpensFilesWhileTheParentsThreadsDid) {
    NUVZUB_SKIP_FORK_BESIDE_THREADS_UNDER_SANITIZERS();
    // Locks of the I/O statistics and the resource monitor, and whatever their
    // first use sets up, may be held by another thread at the fork. Each round
    // is a fresh process, so that its forks meet the first uses too.
    TempDir dir;
    static std::string path;
    path = dir.Write("file", "");
    for (int round = 0; round < 200; ++round) {
        const ChildResult r = RunInChild(
            [round] {
                const auto openAndClose = [] {
                    NUVZubUttResourceMonitor::StartTimer(1);
                    NUVZubUttOSFile file;
                    file.OpenRead(NUVString(path.c_str()));
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
                            openAndClose();
                    });
                // Forks at a different moment of the threads' first opens each round.
                go = true;
                const auto forkAt =
                    std::chrono::steady_clock::now() + std::chrono::microseconds(round % 40);
                while (std::chrono::steady_clock::now() < forkAt) {
                }
                const int failures = ForkChildren(2, openAndClose);
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
        const ChildResult r = RunInChild([delay] { return CancelSmallStackReporter(delay); });
        ASSERT_TRUE(r.finished);
        ASSERT_EQ(r.exitCode, 0) << "signal " << r.signal << "\n" << r.err.substr(0, 2000);
        std::vector<Report> reports;
        ASSERT_TRUE(Parse(r.err, Form::Text, reports)) << "a report was cut off";
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().message, "No such file: after the cancellation");
    }
}

NUVZubPlatform::SystemCalls g_realCalls;

TEST(ReportsWithStderrClosed, NeverLandInAFileTheLibraryOpened) {
    // Another thread closes stderr just before each open of the data file, so
    // that the open takes descriptor 2, and the move above 2 is slow.
    TempDir dir;
    const std::string contents(4096, 'd');
    const std::string path = dir.Write("data", contents);
    const ChildResult r = RunInChild([&path] {
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
    EXPECT_EQ(Contents(path), contents) << "a report was written into the file";
}

TEST(ReportsWithStderrClosed, ReachTheLogAProgramOpensInItsPlace) {
    TempDir dir;
    const std::string log = dir / "log";
    const ChildResult r = RunInChild([&log] {
        close(2);
        if (open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600) != 2) return 2;
        return RaiseNoSuchFile("into the program's log");
    });
    ASSERT_EQ(r.exitCode, 0);
    std::vector<Report> reports;
    ASSERT_TRUE(Parse(Contents(log), Form::Text, reports)) << Contents(log);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].message, "No such file: into the program's log");
}

// The first fill of the free standard slots fails, so the first file the
// symbol look-up opens lands in slot 0: its copy must go above 2, not into
// slot 2, which holds no file of the look-up.
// The stand-in for a free standard slot cannot be opened, once.
void RefuseTheFirstDevNull() {
    g_realCalls = NUVZubPlatform::GetSystemCalls();
    NUVZubPlatform::SystemCalls calls = g_realCalls;
    calls.open = [](const char* name, int flags, mode_t mode) {
        static bool refused = false;
        if (refused || std::strcmp(name, "/dev/null") != 0)
            return g_realCalls.open(name, flags, mode);
        refused = true;
        errno = ENFILE;
        return -1;
    };
    NUVZubPlatform::SetSystemCalls(calls);
}

TEST(ReportsWithStderrClosed, TheLookUpsFilesStayOutOfSlotTwo) {
    const ChildResult r = RunInChild([] {
        RefuseTheFirstDevNull();
        close(0);
        close(2);
        const int failures = RaiseNoSuchFile("unseen");
        struct stat slot;
        return fstat(2, &slot) == 0 && S_ISREG(slot.st_mode) ? 2 : failures;
    });
    EXPECT_EQ(r.exitCode, 0);
}

TEST(FilesWithStdinClosed, AnOpenLandingOnSlotZeroStillSucceeds) {
    TempDir dir;
    static std::string path;
    path = dir.Write("file", "x");
    const ChildResult r = RunInChild([] {
        RefuseTheFirstDevNull();
        close(0);
        NUVZubUttOSFile file;
        file.OpenRead(NUVString(path.c_str()));
        char c = 0;
        return file.ReadAtomic(0, &c, 1) == 1 && c == 'x' ? 0 : 2;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(ReportsToBrokenStreams, GoOnAfterInterruptedAndOneByteWrites) {
    const ChildResult r = RunInChild([] {
        g_realCalls = NUVZubPlatform::GetSystemCalls();
        NUVZubPlatform::SystemCalls calls = g_realCalls;
        calls.write = [](int fd, const void* data, size_t) -> ssize_t {
            static bool interrupt = false;
            if ((interrupt = !interrupt)) {
                errno = EINTR;
                return -1;
            }
            return g_realCalls.write(fd, data, 1);
        };
        NUVZubPlatform::SetSystemCalls(calls);
        return RaiseNoSuchFile("byte by byte");
    });
    ASSERT_EQ(r.exitCode, 0);
    std::vector<Report> reports;
    ASSERT_TRUE(Parse(r.err, Form::Text, reports)) << r.err;
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].message, "No such file: byte by byte");
}

TEST(ReportsToASharedLog, ArriveWholeFromSeveralProcessesAndThreads) {
    // Services append several processes' stderr to one log.
    constexpr int kProcesses = 3, kThreads = 3, kReports = 100;
    for (const Form form : {Form::Text, Form::Json}) {
        TempDir dir;
        const std::string log = dir / "server.log";
        const ChildResult r = RunInChild([&log, form] {
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd < 0 || dup2(fd, 2) < 0) return 2;
            close(fd);
            SetForm(form);
            std::vector<pid_t> children;
            for (int p = 0; p < kProcesses; ++p) {
                const pid_t pid = fork();
                if (pid == 0) _exit(RaiseOnThreads(kThreads, kReports, true));
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
        std::vector<Report> reports;
        ASSERT_TRUE(Parse(Contents(log), form, reports)) << "reports interleaved";
        ASSERT_EQ(reports.size(), std::size_t(kProcesses * kThreads * kReports));
        for (const Report& report : reports)
            EXPECT_EQ(report.frames, reports.front().frames) << report.message;
    }
}

/// A line that says which process and thread write the record after it.
void SayWhoWrites() {
    std::fprintf(stderr, "{\"pid\":%d,\"tid\":%d}\n", static_cast<int>(getpid()),
                 static_cast<int>(gettid()));
    std::fflush(stderr);
}

TEST(ReportJson, ProcessAndThreadIdsFollowAForkFromAThreadThatReportedBefore) {
    const ChildResult r = RunInChild([] {
        SetForm(Form::Json);
        int status = 1;
        std::thread thread([&status] {
            SayWhoWrites();
            RaiseAt(NUVZubExcNoSuchFile("before"));
            const pid_t child = fork(); // this thread is the child's only one
            if (child == 0) {
                SayWhoWrites();
                RaiseAt(NUVZubExcNoSuchFile("in the child"));
                std::fflush(stderr);
                _exit(0);
            }
            int childStatus = 1;
            if (child < 0 || waitpid(child, &childStatus, 0) != child) return;
            SayWhoWrites();
            RaiseAt(NUVZubExcNoSuchFile("after"));
            status = childStatus;
        });
        thread.join();
        return status;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<json> lines = Records(r.err);
    ASSERT_EQ(lines.size(), 6u) << r.err;
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        SCOPED_TRACE(lines[i + 1]["message"].dump());
        EXPECT_EQ(lines[i + 1]["pid"], lines[i]["pid"]);
        EXPECT_EQ(lines[i + 1]["tid"], lines[i]["tid"]);
    }
    EXPECT_NE(lines[3]["pid"], lines[1]["pid"]) << "the child is another process";
}

#endif // !_WIN32

} // namespace
