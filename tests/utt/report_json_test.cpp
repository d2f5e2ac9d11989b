// JSON reports: every kind is one parsable record with its fields, any bytes
// come out as valid JSON, records arrive whole from threads and processes, and
// fingerprints follow the code path. The form is process-wide, so each case
// runs in a child process.
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
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using nlohmann::json;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back(); // Windows' text mode
        lines.push_back(line);
    }
    return lines;
}

/// Each line of a child's stderr as a record; a line that is not one fails.
std::vector<json> Records(const ChildResult& r) {
    std::vector<json> records;
    for (const std::string& line : Lines(r.err)) {
        json record = json::parse(line, nullptr, false);
        EXPECT_TRUE(record.is_object()) << "not a JSON record: " << line;
        if (record.is_object()) records.push_back(record);
    }
    return records;
}

std::string Print(const char* kind, std::vector<std::string> frames, const std::string& message);

NUVZUB_KEEP_FRAME int RaiseAt(const NUVBasException& e) {
    try {
        e.Propagate();
    } catch (const NUVBasException&) {
        return 0;
    }
    return 1;
}

NUVZUB_KEEP_FRAME int OtherSite(const NUVBasException& e) { return RaiseAt(e) + 0 * std::rand(); }

void ExpectCommonFields(const json& r, const char* kind) {
    EXPECT_EQ(r.at("report"), kind);
    EXPECT_TRUE(r.at("time").get<std::string>().size() == 27 &&
                r.at("time").get<std::string>().back() == 'Z')
        << r.at("time");
    EXPECT_GT(r.at("pid").get<long long>(), 0);
    EXPECT_GT(r.at("tid").get<long long>(), 0);
    EXPECT_NE(r.at("program").get<std::string>().find("utt_report_json_test"), std::string::npos);
    const std::string fingerprint = r.at("fingerprint");
    EXPECT_EQ(fingerprint.size(), 16u);
    EXPECT_EQ(fingerprint.find_first_not_of("0123456789abcdef"), std::string::npos);
    for (const char* field : {"class", "code", "message", "parameters", "source", "frames"})
        EXPECT_TRUE(r.contains(field)) << field;
}

TEST(ReportJson, ThrowReportCarriesClassCodeParametersAndFramesOfTheRaise) {
    ChildResult r = RunInChild([] {
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "json", 1);
        return RaiseAt(NUVZubExcIOBounds(5, 18446744073709551615ULL, 7));
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<json> records = Records(r);
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
    EXPECT_NE(frames[1]["function"].get<std::string>().find("RaiseAt"), std::string::npos);
    EXPECT_NE(frames[1]["file"].get<std::string>().find("report_json_test.cpp"), std::string::npos);
    EXPECT_GT(frames[1]["line"].get<int>(), 0);
    EXPECT_NE(frames[1]["module"].get<std::string>().find("utt_report_json_test"),
              std::string::npos);
    EXPECT_EQ(frames[1]["offset"].get<std::string>().rfind("0x", 0), 0u);
    for (const json& frame : frames)
        for (const char* field : {"function", "file", "line", "module", "offset"})
            EXPECT_TRUE(frame.contains(field)) << frame;
}

// Every other kind of report, each through the interface call.
struct KindCase {
    const char* name;
    int (*raise)();
    const char* kind;
    const char* message;
    bool hasFrames;
};

const KindCase kKinds[] = {
    {"exception without a class",
     [] {
         NUVZubUttAssert::ReportException("plain message");
         return 0;
     },
     "exception", "plain message", true},
    {"assertion",
     [] {
         try {
             NUVZUB_ASSERT(2 + 2 == 5);
         } catch (const NUVBasAssertException&) {
             return 0;
         }
         return 1;
     },
     "assertion", "2 + 2 == 5", true},
    {"validation",
     [] {
         try {
             NUVZubUttAssert::ReportValidationFailure("handle is null");
         } catch (const NUVZubExcValidationFailure&) {
             return 0;
         }
         return 1;
     },
     "validation", "handle is null", true},
    {"notice from pieces",
     [] {
         NUVZubUttAssert::ReportNotice({"=== first line\n", "second ", "line\n"});
         return 0;
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

TEST(ReportJson, EveryKindIsOneRecordWithItsFields) {
    for (const KindCase& c : kKinds) {
        SCOPED_TRACE(c.name);
        ChildResult r = RunInChild([&c] {
            NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
            return c.raise();
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<json> records = Records(r);
        ASSERT_EQ(records.size(), 1u) << r.err;
        ExpectCommonFields(records[0], c.kind);
        EXPECT_EQ(records[0]["message"], c.message);
        EXPECT_TRUE(records[0]["class"].is_null());
        EXPECT_EQ(records[0]["frames"].empty(), !c.hasFrames) << records[0];
        if (c.hasFrames) {
            EXPECT_NE(records[0]["frames"][0]["file"].get<std::string>().find("report_json_test"),
                      std::string::npos)
                << "starts at the caller";
        }
    }
}

TEST(ReportJson, DisabledTracebacksGiveANoticeAndRecordsWithoutFrames) {
    ChildResult r = RunInChild([] {
        setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "JSON", 1);
        RaiseAt(NUVZubExcNoSuchFile("a"));
        return RaiseAt(NUVZubExcNoSuchFile("b"));
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<json> records = Records(r);
    ASSERT_EQ(records.size(), 3u) << r.err;
    EXPECT_EQ(records[0]["report"], "notice");
    EXPECT_EQ(records[0]["message"], "!!! - ZUB Exception throw reports are disabled.");
    EXPECT_TRUE(records[1]["frames"].empty());
    // Without frames the message decides, its quoted values and numbers masked.
    EXPECT_NE(records[1]["fingerprint"], records[2]["fingerprint"]) << "unquoted values differ";
}

TEST(ReportJson, WithoutTheSwitchReportsStayText) {
    ChildResult r = RunInChild([] {
        setenv("ZUB_EXCEPTION_REPORT_FORMAT", "xml", 1);
        return RaiseAt(NUVZubExcNoSuchFile("f"));
    });
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err.rfind("!!! EXCEPTION:", 0), 0u) << r.err;
}

TEST(ReportJson, TheLibrarysNoticesAreRecordsOfTheirTextWithoutTheLastLineFeed) {
    ChildResult r = RunInChild([] {
        setenv("ZUB_STORAGE_LIMIT", "12345", 1);
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
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
    for (const json& record : Records(r))
        if (record["report"] == "notice") notices.push_back(record);
    const struct {
        std::string start, end;
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
        EXPECT_EQ(message.rfind(expected[i].start, 0), 0u) << message;
        EXPECT_GE(message.size(), expected[i].start.size() + expected[i].end.size()) << message;
        EXPECT_EQ(message.substr(message.size() - std::min(message.size(), expected[i].end.size())),
                  expected[i].end)
            << message;
        if (expected[i].end.empty()) {
            EXPECT_EQ(message, expected[i].start);
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
        if (!ok) {
            // The longest valid prefix is still one byte at a time.
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        out.append(bytes, i, n);
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
        ChildResult r = RunInChild([&message] {
            NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
            NUVZubUttAssert::ReportException(message.c_str());
            return RaiseAt(NUVZubExcNoSuchFile(message.c_str()));
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0);
        const std::vector<json> records = Records(r);
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
    ChildResult r = RunInChild([&messages] {
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
        for (const std::string& message : messages)
            NUVZubUttAssert::ReportException(message.c_str());
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<json> records = Records(r);
    ASSERT_EQ(records.size(), messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(records[i]["message"], Decoded(messages[i])) << i;
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
    for (const bool json : {true, false}) {
        // One lambda for both forms, so that the frames are the same.
        ChildResult r = RunInChild([json] {
            NUVZubUttAssertSetReportFormat(json ? NUVZubUttReportFormat::Json
                                                : NUVZubUttReportFormat::Text);
            int failed = 0;
            for (int i = 0; i < 2; ++i)
                failed += RaiseInALongName<Nested<60>::Type>(NUVZubExcNoSuchFile("long"));
            return failed;
        });
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        ASSERT_EQ(r.exitCode, 0) << r.err;
        forms[json ? 0 : 1] = r.err;
    }
    const std::vector<json> records = Records(ChildResult{0, forms[0]});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]["frames"], records[0]["frames"]);
    EXPECT_EQ(records[1]["fingerprint"], records[0]["fingerprint"]);
    const std::string name = records[0]["frames"][2]["function"];
    EXPECT_NE(name.find("RaiseInALongName"), std::string::npos) << name;
    EXPECT_EQ(name.size(), 1024u) << "cut to the field's cap";
    for (const json& record : records)
        EXPECT_EQ(record.value("truncated", false), true) << "the cut name, cached or not";
    // The text form shows the names cut shorter still; the fingerprint is the one
    // computed from those.
    std::vector<std::string> names;
    const std::vector<std::string> lines = Lines(forms[1]);
    for (std::size_t i = 3; i < lines.size() && lines[i] != "!!! EXCEPTION:"; ++i) {
        ASSERT_EQ(lines[i].rfind("!!!   ", 0), 0u) << lines[i];
        const std::size_t in = lines[i].find(" in ");
        names.push_back(lines[i].substr(6, in == std::string::npos ? std::string::npos : in - 6));
    }
    ASSERT_GE(names.size(), 3u) << forms[1];
    EXPECT_EQ(names[2].size(), 1023u);
    EXPECT_EQ(Print("exception", names, ""), records[0]["fingerprint"]);
}

TEST(ReportJson, RecordsArriveWholeFromSeveralThreads) {
    ChildResult r = RunInChild([] {
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 25; ++i)
                    RaiseAt(NUVZubExcIOBounds(t, i, 0));
            });
        for (std::thread& thread : threads)
            thread.join();
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<json> records = Records(r);
    EXPECT_EQ(records.size(), 100u);
    // Each thread has its own id, the same in all of its records.
    std::map<long long, std::set<long long>> threadIds; // by the raising thread's number
    std::set<long long> allIds;
    for (const json& record : records) {
        EXPECT_EQ(record["fingerprint"], records[0]["fingerprint"]) << "one code path";
        threadIds[record["parameters"]["start"]].insert(record["tid"].get<long long>());
        allIds.insert(record["tid"].get<long long>());
    }
    EXPECT_EQ(threadIds.size(), 4u);
    for (const auto& ids : threadIds)
        EXPECT_EQ(ids.second.size(), 1u) << "thread " << ids.first;
    EXPECT_EQ(allIds.size(), 4u);
}

#if !defined(_WIN32)
/// A line that says which process and thread write the record after it.
void SayWhoWrites() {
    std::fprintf(stderr, "{\"pid\":%d,\"tid\":%d}\n", static_cast<int>(getpid()),
                 static_cast<int>(gettid()));
    std::fflush(stderr);
}

TEST(ReportJson, ProcessAndThreadIdsFollowAForkFromAThreadThatReportedBefore) {
    ChildResult r = RunInChild([] {
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
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
    const std::vector<json> lines = Records(r);
    ASSERT_EQ(lines.size(), 6u) << r.err;
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        SCOPED_TRACE(lines[i + 1]["message"].dump());
        EXPECT_EQ(lines[i + 1]["pid"], lines[i]["pid"]);
        EXPECT_EQ(lines[i + 1]["tid"], lines[i]["tid"]);
    }
    EXPECT_NE(lines[3]["pid"], lines[1]["pid"]) << "the child is another process";
}
#endif

#if !defined(_WIN32)
TEST(ReportJson, AFrameLeftUnknownForWantOfAHelperThreadIsResolvedLater) {
    ChildResult r = RunInChild([] {
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
        // A small stack sends the symbol look-ups to a helper thread.
        const auto reportOnSmallStack = [] {
            RunOnSmallStack([](void*) -> void* {
                return reinterpret_cast<void*>(RaiseAt(NUVZubExcNoSuchFile("small")));
            });
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
    const std::vector<json> records = Records(r);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0]["frames"][0]["function"].is_null()) << records[0]["frames"][0];
    EXPECT_EQ(records[1]["frames"][0]["function"], "NUVZubExcNoSuchFile::Propagate");
    EXPECT_NE(records[1]["frames"][1]["file"].dump().find("report_json_test.cpp"),
              std::string::npos)
        << records[1]["frames"][1];
    EXPECT_NE(records[1]["fingerprint"], records[0]["fingerprint"]) << "from the names now";
}

TEST(ReportJson, TwoProcessesAppendingToOneLogLeaveWholeRecords) {
    const std::string log = testing::TempDir() + "report_json_shared.log";
    std::remove(log.c_str());
    const auto writer = [&log] {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0 || dup2(fd, 2) < 0) return 2;
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < 100; ++i)
                    RaiseAt(NUVZubExcNoSuchFile(std::string(100 * (i % 7), 'n').c_str()));
            });
        for (std::thread& thread : threads)
            thread.join();
        return 0;
    };
    // Two processes at once: each child forks a sibling before writing.
    ChildResult r = RunInChild([&writer] {
        const pid_t sibling = fork();
        const int status = writer();
        if (sibling == 0) _exit(status);
        return status;
    });
    ASSERT_EQ(r.exitCode, 0);
    sleep(1); // the sibling may still be writing
    std::FILE* in = std::fopen(log.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    std::string text;
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        text.append(buffer, n);
    std::fclose(in);
    int records = 0;
    for (const std::string& line : Lines(text)) {
        EXPECT_TRUE(json::accept(line)) << line.substr(0, 200);
        ++records;
    }
    EXPECT_EQ(records, 600);
}
#endif

TEST(Fingerprint, FollowsTheCodePathNotTheValues) {
    ChildResult r = RunInChild([] {
        NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat::Json);
        RaiseAt(NUVZubExcNoSuchFile("one"));   // 0
        RaiseAt(NUVZubExcNoSuchFile("two"));   // 1: other values, same site
        OtherSite(NUVZubExcNoSuchFile("one")); // 2: another call site
        RaiseAt(NUVZubExcIOBounds(1, 2, 3));   // 3: another class, same site
        RaiseAt(NUVZubExcIOBounds(4, 5, 6));   // 4
        return 0;
    });
    ASSERT_EQ(r.exitCode, 0);
    const std::vector<json> e = Records(r);
    ASSERT_EQ(e.size(), 5u);
    EXPECT_EQ(e[0]["fingerprint"], e[1]["fingerprint"]);
    EXPECT_NE(e[0]["fingerprint"], e[2]["fingerprint"]);
    EXPECT_NE(e[0]["fingerprint"], e[3]["fingerprint"]);
    EXPECT_EQ(e[3]["fingerprint"], e[4]["fingerprint"]);
}

// The rule itself, through the class the library and the tool share.
std::string Print(const char* kind, std::vector<std::string> frames, const std::string& message) {
    NUVZubUttFingerprint f(kind);
    for (const std::string& frame : frames)
        f.AddFrame(frame.data(), frame.size());
    f.AddMessage(message.data(), message.size());
    char digits[17];
    f.Finish(digits);
    return digits;
}

TEST(Fingerprint, MasksNumbersAndQuotedValuesOfAMessageWithoutFrames) {
    struct Pair {
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
    for (const Pair& p : pairs)
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

} // namespace
