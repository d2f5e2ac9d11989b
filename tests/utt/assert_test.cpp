// Throw, assertion and validation reports. Their switches are process-wide and
// set once, so every case runs in a child process of its own.
#include <ChildProcess.h>
#include <NUVZubBadNUVString.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>

namespace {

int RaiseNoSuchFile(const char* name) {
    try {
        NUVZubExcNoSuchFile(NUVString(name)).Propagate();
    } catch (const NUVZubExcNoSuchFile&) {
        return 0;
    }
    return 1;
}

void SetFaults(bool stackIsEmpty, bool symbolHandlerFails) {
    NUVZubPlatform::ProcessFaults faults;
    faults.stackIsEmpty = stackIsEmpty;
    faults.symbolHandlerFails = symbolHandlerFails;
    NUVZubPlatform::SetProcessFaults(faults);
}

// Runs `body` in a child, which must return 0 having written all that `err` matches.
void ExpectReport(int (*body)(), const std::string& err) {
    const ChildResult r = RunInChild(body);
    if (IsChildProcess()) return; // replaying an earlier case: no output to check
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(err))) << r.err << "does not match\n" << err;
}

const std::string kFrames = "(!!!   [^\n]*\n)*";
const std::string kOwnFrame = "!!!   [^\n]*assert_test\\.cpp:[0-9]+\n";
#if defined(_WIN32)
// The debugging help library names a function with or without its scopes,
// depending on where its symbols come from.
const std::string kScope = "[^\n]*";
#else
const std::string kScope = "\\(anonymous namespace\\)::";
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
             return RaiseNoSuchFile("/no/such/file");
         },
         "!!! EXCEPTION:\n!!!   No such file: /no/such/file\n!!! TRACEBACK:\n"
         "!!!   NUVZubExcNoSuchFile::Propagate in [^\n]*NUVZubExcFile\\.cpp:[0-9]+\n!!!   " +
             kScope + "RaiseNoSuchFile in [^\n]*assert_test\\.cpp:[0-9]+\n" + kFrames +
             "!!!   main[^\n]*\n"},
        {"the environment switch drops only tracebacks and is read once",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "", 1);
             RaiseNoSuchFile("first");
             unsetenv("ZUB_DISABLE_EXCEPTION_REPORT"); // no effect: decided at the first report
             return RaiseNoSuchFile("second");
         },
         "!!! - ZUB Exception throw reports are disabled\\.\n"
         "!!! EXCEPTION:\n!!!   No such file: first\n"
         "!!! EXCEPTION:\n!!!   No such file: second\n"},
        {"percent signs printed unchanged",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
             return RaiseNoSuchFile("100%s %d %n %%.zub");
         },
         "!!! - ZUB Exception throw reports are disabled\\.\n"
         "!!! EXCEPTION:\n!!!   No such file: 100%s %d %n %%\\.zub\n"},
        {"no frame captured",
         [] {
             SetFaults(true, false);
             return RaiseNoSuchFile("x");
         },
         "!!! EXCEPTION:\n!!!   No such file: x\n!!! TRACEBACK:\n!!! TRACEBACK NOT AVAILABLE\\.\n"},
        {"the disable call silences throw reports, not assertions",
         [] {
             NUVZubUttAssertDisableExcReport();
             RaiseNoSuchFile("silent");
             try {
                 NUVZubUttAssert::ReportAssertionFailure("nullptr != glob");
             } catch (const NUVBasAssertException&) {
                 return 0;
             }
             return 1;
         },
         "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR\\.\n!!! nullptr != glob\n"
         "!!! TRACEBACK:\n" +
             kFrames},
        {"an assertion reports once, from its caller, and throws with its source position",
         [] {
             try {
                 NUVZUB_ASSERT(1 + 1 == 3);
             } catch (const NUVBasAssertException& e) {
                 if (std::string(e.GetMessage()) != "1 + 1 == 3") return 2;
                 if (std::string(e.GetSourceFile()) != "NUVZub/NUVZubUtt.m/src/NUVZubUttAssert")
                     return 3;
                 return e.GetSourceLine() == 213 ? 0 : 4;
             }
             return 1;
         },
         "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR\\.\n!!! 1 \\+ 1 == 3\n"
         "!!! TRACEBACK:\n" +
             kOwnFrame + kFrames},
        {"a validation failure reports even with throw reports off",
         [] {
             setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
             NUVZubUttAssertDisableExcReport();
             try {
                 NUVZubUttAssert::ReportValidationFailure("glob handle is null");
             } catch (const NUVZubExcValidationFailure& e) {
                 if (e.GetCode() != 1032) return 2;
                 return e.GetSourceLine() == 220 ? 0 : 3;
             }
             return 1;
         },
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
            SetFaults(false, true);
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

} // namespace
