// Loads and unloads the DLL the way a plug-in host does, twice, and checks
// through the base libraries' start-up trace that each LoadLibraryW ran the
// whole initialisation chain once through DllMain, and each FreeLibrary every
// finaliser once, in the reverse order; a second load of a loaded DLL only
// counts. Does not link the library itself, only the allocator that keeps the
// trace. With --traceback: a load, a traceback (which starts the symbol
// handler) and an unload leave the process the handles it had before. Exit
// code 0 on success; the reasons for a failure on stderr.
#include "LifecycleProbe.h"

#include <NUVBas/mem_Alloc.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using probe::Expect;
using probe::kLoadOrder;
using probe::Reverse;

void Cycle(int round) {
    NUVBasLifecycle_Clear();
    HMODULE library = LoadLibraryW(NUVZUB_LIBRARY_NAME);
    if (library == nullptr) {
        Expect(false, "LoadLibraryW", "error " + std::to_string(GetLastError()));
        return;
    }
    std::string log = NUVBasLifecycle_Log();
    Expect(log == kLoadOrder, "load runs the chain once, in order", log);

    // A second load and the client entries only count while the DLL is loaded.
    HMODULE again = LoadLibraryW(NUVZUB_LIBRARY_NAME);
    Expect(again == library, "a second load gives the same module", "");
    auto initializeC = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "NUVZubContainers_initializeC")));
    auto finalizeC = reinterpret_cast<void (*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, "NUVZubContainers_finalizeC")));
    Expect(initializeC != nullptr && finalizeC != nullptr, "plain-name entries exported", "");
    if (initializeC != nullptr && finalizeC != nullptr) {
        initializeC();
        finalizeC();
    }
    Expect(FreeLibrary(again) != 0, "FreeLibrary of the second load", "");
    Expect(std::string(NUVBasLifecycle_Log()) == log, "nested loads and calls only count",
           NUVBasLifecycle_Log());

    NUVBasLifecycle_Clear();
    Expect(FreeLibrary(library) != 0, "FreeLibrary", "");
    Expect(GetModuleHandleW(NUVZUB_LIBRARY_NAME) == nullptr, "FreeLibrary unloads the DLL",
           "still loaded");
    log = NUVBasLifecycle_Log();
    Expect(log == Reverse(kLoadOrder), "unload runs every finaliser once, in reverse order", log);
    std::fprintf(stderr, "round %d unload: %s\n", round, log.c_str());
}

// This process's handles, from the system's list of every process's handles
// (GetProcessHandleCount counts none under Wine); -1 if unknown.
long HandleCount() {
    struct Entry {
        void* object;
        ULONG_PTR process;
        ULONG_PTR value;
        ULONG access;
        USHORT backTrace;
        USHORT type;
        ULONG attributes;
        ULONG reserved;
    };
    struct List {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr int kExtendedHandleInformation = 64;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    for (int attempt = 0; query != nullptr && attempt < 8; ++attempt) {
        ULONG needed = 0;
        const LONG status = query(kExtendedHandleInformation, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
        if (status == kLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 65536));
            continue;
        }
        if (status != 0) break;
        const auto* list = reinterpret_cast<const List*>(buffer.data());
        long count = 0;
        for (ULONG_PTR i = 0; i < list->count; ++i)
            if (list->entries[i].process == GetCurrentProcessId()) ++count;
        return count;
    }
    return -1;
}

/// Handles a load, a failed call and an unload leave behind; -1 if unknown.
/// `traceback`: a failed assertion, whose report has a traceback and so starts
/// the symbol handler; otherwise an exception raised and caught without one.
long HandlesLeftByACall(bool traceback) {
    const long before = HandleCount();
    HMODULE library = LoadLibraryW(NUVZUB_LIBRARY_NAME);
    if (library == nullptr || before < 0) {
        Expect(false, "LoadLibraryW", "error " + std::to_string(GetLastError()));
        return -1;
    }
    char message[256] = "";
    bool failed = false;
    if (traceback) {
        auto globInit = reinterpret_cast<bool (*)(const char*, void**, int, char*)>(
            reinterpret_cast<void*>(GetProcAddress(library, "NUVZubUttFileUtils_GlobInit")));
        void* glob = nullptr;
        failed = globInit != nullptr && !globInit(nullptr, &glob, sizeof message, message);
    } else {
        auto checkString =
            reinterpret_cast<bool (*)(const char*, char**, char*, int)>(reinterpret_cast<void*>(
                GetProcAddress(library, "NUVZubUttPythonGlueTest_CheckString")));
        char* result = nullptr;
        failed =
            checkString != nullptr && !checkString("Bad string.", &result, message, sizeof message);
    }
    Expect(failed, traceback ? "an assertion inside the library" : "a raise inside the library",
           message);
    Expect(FreeLibrary(library) != 0, "FreeLibrary", "");
    const long after = HandleCount();
    return after < 0 ? -1 : after - before;
}

/// The symbol handler holds a handle to the process, and the debugging help
/// library's session more: the unload releases them. The library's runtime
/// keeps some handles of each load's first exception (for good), counted apart.
void TracebackThenUnload() {
    FreeLibrary(LoadLibraryW(NUVZUB_LIBRARY_NAME)); // what the first load alone keeps
    const long byException = HandlesLeftByACall(false);
    const long byTraceback = HandlesLeftByACall(true);
    Expect(byException >= 0 && byTraceback == byException,
           "the unload closes the symbol handler's handles",
           std::to_string(byException) + " handles left by an exception, " +
               std::to_string(byTraceback) + " by one with a traceback");
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--traceback") {
        TracebackThenUnload();
        return probe::g_failures == 0 ? 0 : 1;
    }
    Cycle(1);
    Cycle(2); // a reload starts from uninitialised counters again
    return probe::g_failures == 0 ? 0 : 1;
}
