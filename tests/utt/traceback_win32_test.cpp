// Tracebacks on Windows name the functions of this very file, with its source
// file and lines, from the DWARF in the modules' own files: Windows' debugging
// help library reads PDB files only. It still answers for modules without
// DWARF. Stand-ins for it, through the call table, show which answered.
#include "traceback_module_win32.h"

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <ChildProcess.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <cstdint>
#include <cwchar>
#include <malloc.h>
#include <string>
#include <vector>

namespace {

using ::testing::ContainsRegex;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
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

// The debugging help library, as the tests stand it in.
BOOL WINAPI FindNoSymbol(HANDLE, DWORD64, PDWORD64, PSYMBOL_INFOW) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}
BOOL WINAPI FindNoLine(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINEW64) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
}
BOOL WINAPI FindNoInlineLine(HANDLE, DWORD64, ULONG, DWORD64, PDWORD, PIMAGEHLP_LINEW64) {
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

// Stands in for the library, with throw reports on.
void StandIn(DbgHelp dbgHelp) {
    SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
    NUVZubPlatform::SystemCallsWin32 calls = NUVZubPlatform::GetWin32Calls();
    calls.SymFromAddrW = dbgHelp == DbgHelp::findsNothing ? FindNoSymbol : NameEverything;
    calls.SymGetLineFromAddrW64 = FindNoLine;
    calls.SymGetLineFromInlineContextW = FindNoInlineLine;
    NUVZubPlatform::SetWin32Calls(calls);
}

} // namespace

// Whatever the debugging help library finds, and whether it can read DWARF (as
// Wine's can) or not (as Windows' cannot), the frames of this program and of
// the library are named from their DWARF, never by that library: on Windows it
// would name the nearest exported function.
TEST(TracebackWin32, NamesThisFilesFunctionsWithFileAndLineFromTheirDwarf) {
    // Every child first: a child runs the test again up to its own call.
    std::vector<ChildResult> results;
    for (const DbgHelp dbgHelp : {DbgHelp::findsNothing, DbgHelp::namesEverything})
        results.push_back(RunInChild([dbgHelp] {
            StandIn(dbgHelp);
            return CallerOfRaiseHere();
        }));
    for (const ChildResult& r : results) {
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::vector<std::string> lines = TextLines(r.err);
        ASSERT_GE(lines.size(), 6u) << r.err;
        EXPECT_EQ(lines[0], "!!! EXCEPTION:");
        EXPECT_EQ(lines[2], "!!! TRACEBACK:");
        EXPECT_THAT(lines[3], StartsWith("!!!   NUVZubExcNoSuchFile::Propagate in ")) << r.err;
        EXPECT_THAT(lines[3], HasSubstr("NUVZubExcFile.cpp:"));
        EXPECT_THAT(lines[4], StartsWith("!!!   (anonymous namespace)::RaiseHere in ")) << r.err;
        EXPECT_THAT(lines[4], EndsWith("traceback_win32_test.cpp:" + std::to_string(kRaiseLine)));
        EXPECT_THAT(lines[5], StartsWith("!!!   (anonymous namespace)::CallerOfRaiseHere in "))
            << r.err;
        EXPECT_THAT(lines[5], HasSubstr("traceback_win32_test.cpp:"));
        EXPECT_EQ(lines.back().rfind("!!!   main in ", 0), 0u) << "nothing beyond main: " << r.err;
        EXPECT_THAT(r.err, Not(HasSubstr("NamedByDbgHelp"))) << r.err;
        EXPECT_THAT(r.err, Not(HasSubstr("<stack frame not available>"))) << r.err;
    }
}

// The frame of a module without DWARF, and only that one, is the debugging help
// library's to name.
TEST(TracebackWin32, LeavesFramesOfModulesWithoutDwarfToTheDebuggingHelpLibrary) {
    const ChildResult r = RunInChild([] {
        StandIn(DbgHelp::namesEverything);
        return ModuleCall(CallerOfRaiseHere);
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 8u) << r.err;
    EXPECT_THAT(lines[4], StartsWith("!!!   (anonymous namespace)::RaiseHere in ")) << r.err;
    EXPECT_THAT(lines[5], StartsWith("!!!   (anonymous namespace)::CallerOfRaiseHere in "))
        << r.err;
    EXPECT_EQ(lines[6], "!!!   NamedByDbgHelp") << r.err;
    EXPECT_EQ(r.err.find("NamedByDbgHelp"), r.err.rfind("NamedByDbgHelp")) << r.err;
    EXPECT_EQ(lines.back().rfind("!!!   main in ", 0), 0u) << r.err;
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
    const ChildResult r = RunInChild([] {
        StandIn(DbgHelp::findsNothing);
        return OnThread(64 * 1024, [] { return WithStackLeft(48 * 1024, CallerOfRaiseHere); });
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("!!!   (anonymous namespace)::RaiseHere in ")) << r.err;
    EXPECT_THAT(r.err, HasSubstr("traceback_win32_test.cpp:" + std::to_string(kRaiseLine) + "\n"))
        << r.err;
    EXPECT_THAT(r.err, HasSubstr("!!!   WithStackLeft in ")) << r.err;
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
    const ChildResult r = RunInChild([&copy] {
        StandIn(DbgHelp::findsNothing);
        const HMODULE module = LoadLibraryW(copy.c_str());
        const auto call = reinterpret_cast<int (*)(int (*)())>(
            reinterpret_cast<void*>(GetProcAddress(module, "ModuleCall")));
        return call != nullptr ? call(CallerOfRaiseHere) : 3;
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 7u) << r.err;
    EXPECT_THAT(lines[5], StartsWith("!!!   (anonymous namespace)::CallerOfRaiseHere in "))
        << r.err;
    EXPECT_THAT(lines[6], StartsWith("!!!   ModuleCall in ")) << r.err;
    EXPECT_THAT(lines[6], ContainsRegex("traceback_module_win32\\.cpp:\\d+$"));
}

// Windows' own modules carry no DWARF: a thread's first frames, in kernel32
// and ntdll, are the debugging help library's.
TEST(TracebackWin32, LeavesTheSystemsFramesToTheDebuggingHelpLibrary) {
    if (UnderWine()) GTEST_SKIP() << "Wine's system DLLs carry DWARF, which the library reads";
    const ChildResult r = RunInChild([] {
        StandIn(DbgHelp::namesEverything);
        return OnThread(0, CallerOfRaiseHere);
    });
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> lines = TextLines(r.err);
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines.back(), "!!!   NamedByDbgHelp") << r.err;
    EXPECT_THAT(r.err, HasSubstr("!!!   (anonymous namespace)::RaiseHere in ")) << r.err;
}
