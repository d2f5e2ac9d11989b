// Tracebacks on Windows name the functions of this very file, with its source
// file and lines, from the DWARF in the modules' own files: Windows' debugging
// help library reads PDB files only. It still answers for modules without
// DWARF. Stand-ins for it, through the call table, show which answered.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <ChildProcess.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <malloc.h>
#include <regex>
#include <string>
#include <vector>

// Calls `function` from a frame of the module without DWARF that this test links.
extern "C" __declspec(dllimport) int ModuleCall(int (*function)());

namespace {

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

// Runs `body` in a child with throw reports on and `dbgHelp` standing in for the
// library; the child must return 0 having written all that `err` matches.
void ExpectTraceback(DbgHelp dbgHelp, const std::function<int()>& body, const std::string& err) {
    const ChildResult r = RunInChild([&] {
        SetEnvironmentVariableW(L"ZUB_DISABLE_EXCEPTION_REPORT", nullptr);
        NUVZubPlatform::SystemCallsWin32 calls = NUVZubPlatform::GetWin32Calls();
        calls.SymFromAddrW = NameEverything;
        if (dbgHelp == DbgHelp::findsNothing) calls.SymFromAddrW = FindNothing;
        calls.SymGetLineFromAddrW64 = FindNothing;
        calls.SymGetLineFromInlineContextW = FindNothing;
        NUVZubPlatform::SetWin32Calls(calls);
        return body();
    });
    if (IsChildProcess()) return; // replaying an earlier call: no output to check
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_match(r.err, std::regex(err))) << r.err << "does not match\n" << err;
}

// The report down to CallerOfRaiseHere, each frame named from this file's DWARF.
const std::string kTop =
    "!!! EXCEPTION:\n!!!   No such file: C:\\\\no\\\\such\n!!! TRACEBACK:\n"
    "!!!   NUVZubExcNoSuchFile::Propagate in [^\n]*NUVZubExcFile\\.cpp:[0-9]+\n"
    "!!!   \\(anonymous namespace\\)::RaiseHere in [^\n]*traceback_win32_test\\.cpp:" +
    std::to_string(kRaiseLine) +
    "\n!!!   \\(anonymous namespace\\)::CallerOfRaiseHere in [^\n]*traceback_win32_test\\.cpp:"
    "[0-9]+\n";
const std::string kFrames = "(!!!   [^\n]*\n)*";
// The frames up to main, none the debugging help library's.
const std::string kOwnFramesToMain =
    "(!!!   (?![^\n]*(NamedByDbgHelp|<stack frame not available>))[^\n]*\n)*!!!   main in [^\n]*\n";

} // namespace

// Whatever the debugging help library finds, and whether it can read DWARF (as
// Wine's can) or not (as Windows' cannot), the frames of this program and of
// the library are named from their DWARF, never by that library: on Windows it
// would name the nearest exported function.
TEST(TracebackWin32, NamesThisFilesFunctionsWithFileAndLineFromTheirDwarf) {
    for (const DbgHelp dbgHelp : {DbgHelp::findsNothing, DbgHelp::namesEverything})
        ExpectTraceback(dbgHelp, CallerOfRaiseHere, kTop + kOwnFramesToMain);
}

// The frame of a module without DWARF, and only that one, is the debugging help
// library's to name.
TEST(TracebackWin32, LeavesFramesOfModulesWithoutDwarfToTheDebuggingHelpLibrary) {
    ExpectTraceback(
        DbgHelp::namesEverything, [] { return ModuleCall(CallerOfRaiseHere); },
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
        [] {
            return OnThread(64 * 1024, [] { return WithStackLeft(48 * 1024, CallerOfRaiseHere); });
        },
        kTop + "!!!   WithStackLeft in [^\n]*\n" + kFrames);
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
            return call != nullptr ? call(CallerOfRaiseHere) : 3;
        },
        kTop + "!!!   ModuleCall in [^\n]*traceback_module_win32\\.cpp:[0-9]+\n" + kFrames);
}

// Windows' own modules carry no DWARF: a thread's first frames, in kernel32
// and ntdll, are the debugging help library's.
TEST(TracebackWin32, LeavesTheSystemsFramesToTheDebuggingHelpLibrary) {
    if (UnderWine()) GTEST_SKIP() << "Wine's system DLLs carry DWARF, which the library reads";
    ExpectTraceback(
        DbgHelp::namesEverything, [] { return OnThread(0, CallerOfRaiseHere); },
        kTop + kFrames + "!!!   NamedByDbgHelp\n");
}
