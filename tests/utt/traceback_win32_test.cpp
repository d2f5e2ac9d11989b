// Tracebacks on Windows name the functions of this very file, with its source
// file and lines, through the debugging help library's symbol handler.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZubPlatform/Export.h>

#include <ChildProcess.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <cstdio>
#include <io.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Raises on the line that kRaiseLine names.
NUVZUB_KEEP_FRAME int RaiseHere() {
    try {
        NUVZubExcNoSuchFile(NUVString("C:\\no\\such")).Propagate();
    } catch (const NUVZubExcNoSuchFile&) {
        return 0;
    }
    return 1;
}
constexpr int kRaiseLine = __LINE__ - 6;

NUVZUB_KEEP_FRAME int CallerOfRaiseHere() { return RaiseHere(); }

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

// Wine's debugging help library reads the DWARF that GCC writes; Windows' own
// reads PDB files only, so a GCC build shows no names there.
TEST(TracebackWin32, NamesThisFilesFunctionsWithFileAndLine) {
    if (!UnderWine()) GTEST_SKIP() << "Windows' DbgHelp reads no DWARF: a GCC build has no names";
    const ChildResult r = RunInChild([] {
        SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
        return CallerOfRaiseHere();
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_GE(lines.size(), 6u) << r.err;
    EXPECT_EQ(lines[0], "!!! EXCEPTION:");
    EXPECT_EQ(lines[2], "!!! TRACEBACK:");
    EXPECT_THAT(lines[3], StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in ")) << r.err;
    EXPECT_THAT(lines[3], HasSubstr("NUVZubExcFile.cpp:"));
    EXPECT_THAT(lines[4], HasSubstr("RaiseHere in ")) << r.err;
    EXPECT_THAT(lines[4], HasSubstr("traceback_win32_test.cpp:" + std::to_string(kRaiseLine)));
    EXPECT_THAT(lines[5], HasSubstr("CallerOfRaiseHere in ")) << r.err;
    EXPECT_THAT(lines[5], HasSubstr("traceback_win32_test.cpp:"));
    EXPECT_THAT(lines.back(), StartsWith("!!!   main")) << "nothing is listed beyond main";
}

// 64 KiB: the least stack a Windows thread gets.
TEST(TracebackWin32, NamesFramesOnASmallThreadStackToo) {
    if (!UnderWine()) GTEST_SKIP() << "Windows' DbgHelp reads no DWARF: a GCC build has no names";
    const ChildResult r = RunInChild([] {
        SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
        int result = 2;
        const HANDLE thread = CreateThread(
            nullptr, 64 * 1024,
            [](void* out) -> DWORD {
                *static_cast<int*>(out) = CallerOfRaiseHere();
                return 0;
            },
            &result, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
        if (thread == nullptr) return 3;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        return result;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("!!!   RaiseHere in ")) << r.err;
}

// A report writes to whatever stderr has become; a write that fails must not
// end the process (Windows raises no signal, the runtime only fails the call).
TEST(TracebackWin32, ReportsToAClosedOrBrokenStderrLeaveTheProcessRunning) {
    for (const bool broken : {false, true}) {
        const ChildResult r = RunInChild([broken] {
            SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
            std::fflush(stderr);
            if (broken) {
                HANDLE readEnd = nullptr, writeEnd = nullptr;
                if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0)) return 3;
                CloseHandle(readEnd); // nobody will ever read
                const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(writeEnd), 0);
                if (fd < 0 || _dup2(fd, 2) != 0) return 4;
            } else {
                _close(2);
            }
            return CallerOfRaiseHere() == 0 && CallerOfRaiseHere() == 0 ? 0 : 5;
        });
        EXPECT_EQ(r.exitCode, 0) << (broken ? "broken pipe" : "closed") << ": " << r.err;
        EXPECT_EQ(r.err, "");
    }
}
