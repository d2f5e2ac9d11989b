// Loads and unloads the DLL the way a plug-in host does, twice, and checks
// through the base libraries' start-up trace that each LoadLibraryW ran the
// whole initialisation chain once through DllMain, and each FreeLibrary every
// finaliser once, in the reverse order; a second load of a loaded DLL only
// counts. Does not link the library itself, only the allocator that keeps the
// trace. Exit code 0 on success; the reasons for a failure on stderr.
#include "LifecycleProbe.h"

#include <NUVBas/mem_Alloc.h>

#include <windows.h>

#include <cstdio>
#include <string>

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

} // namespace

int main() {
    Cycle(1);
    Cycle(2); // a reload starts from uninitialised counters again
    return probe::g_failures == 0 ? 0 : 1;
}
