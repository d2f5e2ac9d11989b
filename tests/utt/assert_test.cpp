// Throw, assertion and validation reports. Their switches are process-wide and
// set once, so every case runs in a child process of its own.
#include <ChildProcess.h>
#include <NUVZubBadNUVString.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

int RaiseNoSuchFile(const char* name) {
    try {
        NUVZubExcNoSuchFile(NUVString(name)).Propagate();
    } catch (const NUVZubExcNoSuchFile&) {
        return 0;
    }
    return 1;
}

TEST(ThrowReport, BannerThenTracebackStartingAtPropagateAndEndingAtMain) {
    ChildResult r = RunInChild([] {
        unsetenv("ZUB_DISABLE_EXCEPTION_REPORT");
        return RaiseNoSuchFile("/no/such/file");
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 5u) << r.err;
    EXPECT_EQ(lines[0], "!!! EXCEPTION:");
    EXPECT_EQ(lines[1], "!!!   No such file: /no/such/file");
    EXPECT_EQ(lines[2], "!!! TRACEBACK:");
    EXPECT_THAT(lines[3], StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in "));
    EXPECT_THAT(lines[3], HasSubstr("NUVZubExcFile.cpp:"));
#if defined(_WIN32)
    // The debugging help library names a function with or without its scopes,
    // depending on where its symbols come from.
    EXPECT_THAT(lines[4], HasSubstr("RaiseNoSuchFile in "));
#else
    EXPECT_THAT(lines[4], StartsWith("!!!   (anonymous namespace)::RaiseNoSuchFile in "));
#endif
    EXPECT_THAT(lines[4], HasSubstr("assert_test.cpp:"));
    EXPECT_THAT(lines.back(), StartsWith("!!!   main")) << "nothing is listed beyond main";
    for (const std::string& line : lines)
        EXPECT_THAT(line, StartsWith("!!! "));
}

TEST(ThrowReport, SwitchesAndFaultsGiveTheseWholeTexts) {
    const struct {
        const char* name;
        int (*body)();
        const char* err;
    } cases[] = {
        {"the environment switch drops only tracebacks and is read once",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "", 1);
             RaiseNoSuchFile("first");
             unsetenv("ZUB_DISABLE_EXCEPTION_REPORT"); // no effect: decided at the first report
             return RaiseNoSuchFile("second");
         },
         "!!! - ZUB Exception throw reports are disabled.\n"
         "!!! EXCEPTION:\n!!!   No such file: first\n"
         "!!! EXCEPTION:\n!!!   No such file: second\n"},
        {"percent signs printed unchanged",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
             return RaiseNoSuchFile("100%s %d %n %%.zub");
         },
         "!!! - ZUB Exception throw reports are disabled.\n"
         "!!! EXCEPTION:\n!!!   No such file: 100%s %d %n %%.zub\n"},
        {"no frame captured",
         [] {
             NUVZubPlatform::ProcessFaults faults;
             faults.stackIsEmpty = true;
             NUVZubPlatform::SetProcessFaults(faults);
             return RaiseNoSuchFile("x");
         },
         "!!! EXCEPTION:\n!!!   No such file: x\n!!! TRACEBACK:\n!!! TRACEBACK NOT AVAILABLE.\n"},
    };
    for (const auto& c : cases) {
        const ChildResult r = RunInChild(c.body);
        if (IsChildProcess()) continue; // replaying an earlier case: no output to check
        EXPECT_EQ(r.exitCode, 0) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(ThrowReport, DisableCallSilencesThrowReportsButNotAssertions) {
    ChildResult r = RunInChild([] {
        NUVZubUttAssertDisableExcReport();
        RaiseNoSuchFile("silent");
        try {
            NUVZubUttAssert::ReportAssertionFailure("nullptr != glob");
        } catch (const NUVBasAssertException&) {
            return 0;
        }
        return 1;
    });
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.err, StartsWith("!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR.\n"
                                  "!!! nullptr != glob\n!!! TRACEBACK:\n"));
    EXPECT_THAT(r.err, Not(HasSubstr("silent")));
}

TEST(Traceback, AFailedSymbolHandlerThrowsOnceAndIsNotRetried) {
    ChildResult r = RunInChild([] {
        NUVZubPlatform::ProcessFaults faults;
        faults.symbolHandlerFails = true;
        NUVZubPlatform::SetProcessFaults(faults);
        try {
            RaiseNoSuchFile("first");
            return 1;
        } catch (const std::logic_error& e) {
            if (std::string(e.what()) != "Can't initialize symbol handler") return 2;
        }
        std::fputs("--\n", stderr);
        return RaiseNoSuchFile("second"); // no retry: every frame is unknown
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 7u) << r.err;
    EXPECT_EQ(lines[0], "!!! EXCEPTION:");
    EXPECT_EQ(lines[1], "!!!   No such file: first");
    EXPECT_EQ(lines[2], "--") << "nothing more is printed for the failed report";
    EXPECT_EQ(lines[4], "!!!   No such file: second");
    EXPECT_EQ(lines[5], "!!! TRACEBACK:");
    for (std::size_t i = 6; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], "!!!   <stack frame not available>");
}

TEST(AssertionFailure, ReportsTracebackAndThrowsWithItsSourcePosition) {
    ChildResult r = RunInChild([] {
        try {
            NUVZUB_ASSERT(1 + 1 == 3);
        } catch (const NUVBasAssertException& e) {
            if (std::string(e.GetMessage()) != "1 + 1 == 3") return 2;
            if (std::string(e.GetSourceFile()) != "NUVZub/NUVZubUtt.m/src/NUVZubUttAssert")
                return 3;
            return e.GetSourceLine() == 213 ? 0 : 4;
        }
        return 1;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR.");
    EXPECT_EQ(lines[1], "!!! 1 + 1 == 3");
    EXPECT_EQ(lines[2], "!!! TRACEBACK:");
    EXPECT_THAT(lines[3], HasSubstr("assert_test.cpp:")) << "starts at the caller of the report";
    EXPECT_THAT(r.err, Not(HasSubstr("!!! EXCEPTION:"))) << "reported once";
}

TEST(ValidationFailure, ReportsEvenWhenThrowReportsAreOffAndRaisesValidationFailure) {
    ChildResult r = RunInChild([] {
        setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
        NUVZubUttAssertDisableExcReport();
        try {
            NUVZubUttAssert::ReportValidationFailure("glob handle is null");
        } catch (const NUVZubExcValidationFailure& e) {
            if (e.GetCode() != 1032) return 2;
            return e.GetSourceLine() == 220 ? 0 : 3;
        }
        return 1;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, StartsWith("!!! THE API HAS DETECTED AN ARGUMENT ERROR OR INCORRECT USE BY "
                                  "THE CLIENT.\n!!! glob handle is null\n!!! TRACEBACK:\n"));
    EXPECT_THAT(r.err, HasSubstr("assert_test.cpp:"));
    EXPECT_THAT(r.err, Not(HasSubstr("!!! EXCEPTION:")));
}

TEST(BadStringCheck, RejectsInvalidUTF8AndAcceptsEmpty) {
    EXPECT_NO_THROW(NUVZubBadNUVString::Check(NUVString()));
    EXPECT_NO_THROW(NUVZubBadNUVString::Check(NUVString("d\xc3\xa9j\xc3\xa0")));
    try {
        NUVZubBadNUVString::Check(NUVString("bad \xc3"));
        FAIL() << "a BAD string passed";
    } catch (const NUVZubExcBadStringArgument& e) {
        EXPECT_EQ(e.GetCode(), 1109);
        EXPECT_STREQ(e.GetSourceFile(), "NUVZub/PrivateInterfaces/NUVZubBadNUVString");
        EXPECT_EQ(e.GetSourceLine(), 16);
        EXPECT_STREQ(e.AsString(NUVBasStringMode(false)).CStr(),
                     "String passed into ZUB is BAD. set/setenv _NUV_FAIL_ON_BAD and rerun.");
    }
}

TEST(MemoryCheck, ReadsNothingWithoutAMemoryChecker) {
    // Without Valgrind the range is never read, so even an invalid one is safe.
    NUVZubUttPreconditionCheck::MemoryCheck(reinterpret_cast<const void*>(16), 1 << 20);
    char bytes[4] = {1, 2, 3, 4};
    NUVZubUttPreconditionCheck::MemoryCheck(bytes, sizeof bytes);
    NUVZubUttPreconditionCheck::MemoryCheck(nullptr, 0);
}

} // namespace
