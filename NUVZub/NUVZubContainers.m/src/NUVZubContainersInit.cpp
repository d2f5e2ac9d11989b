// The initialisation chain and the library's load and unload entry.
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubContainersInit.h>
#include <NUVZub/NUVZubUttInit.h>
#include <NUVZubContainersEntry.h>
#include <NUVZubPlatform/Process.h>
#include <NUVZubUttFrameCache.h>

#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVBasGenericsLib.h>
#include <NUVBas/NUVBasShared.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVBas/xmp_XML.h>

namespace {
// Plain integers: the chain runs on one thread at a time, the load entry under
// the loader's lock.
int g_containersDepth = 0;
int g_specificDepth = 0;
int g_countC = 0;     // count of the argument-less entries
int g_countEntry = 0; // count of the load and unload entry
} // namespace

void NUVZubContainers_initialize(int& count) {
    if (g_containersDepth++ != 0) return;
    ++count;
    NUVBasLifecycle_Record("ZubContainers+");
    NUVBasXmlParser_initialize(count);
    NUVBasShared_initialize(count);
    NUVBasCoreUtils_initialize(count);
    NUVBasGenericsLib_initialize(count);
    NUVBasAlloc_initialize(count);
    NUVZubUtt_initialize(count);
    NUVZubContainers_specific_initialize(count);
}

void NUVZubContainers_finalize(int& count) {
    if (--g_containersDepth != 0) return;
    --count;
    NUVZubContainers_specific_finalize(count);
    NUVZubUtt_finalize(count);
    NUVBasAlloc_finalize(count);
    NUVBasGenericsLib_finalize(count);
    NUVBasCoreUtils_finalize(count);
    NUVBasShared_finalize(count);
    NUVBasXmlParser_finalize(count);
    NUVBasLifecycle_Record("ZubContainers-");
}

void NUVZubContainers_specific_initialize(int& count) {
    if (g_specificDepth++ != 0) return;
    ++count;
    NUVBasLifecycle_Record("ZubSpecific+");
}

void NUVZubContainers_specific_finalize(int& count) {
    if (--g_specificDepth != 0) return;
    --count;
    NUVBasLifecycle_Record("ZubSpecific-");
}

extern "C" NUVZUB_API void NUVZubContainers_initializeC(void) {
    NUVZubContainers_initialize(g_countC);
}
extern "C" NUVZUB_API void NUVZubContainers_finalizeC(void) { NUVZubContainers_finalize(g_countC); }

int NUVZubContainers_EntryDispatch(unsigned long reason) {
    switch (reason) {
    case NUVZubEntryProcessAttach:
        NUVZubContainers_initialize(g_countEntry);
        break;
    case NUVZubEntryProcessDetach:
        NUVZubContainers_finalize(g_countEntry);
        // The symbol session lives as long as the library, not longer: an
        // unloaded library leaves no descriptor or cache behind.
        NUVZubPlatform::StopSymbolHandler();
        NUVZubPlatform::ReleaseReportState(NUVZubUttReleaseCachedFrames);
        break;
    default: // thread attach and detach
        break;
    }
    return 1;
}

#if defined(_WIN32)
extern "C" int __stdcall DllMain(void* instance, unsigned long reason, void* reserved) {
    (void)instance;
    (void)reserved;
    return NUVZubContainers_EntryDispatch(reason);
}
#else
// The ELF counterpart of DllMain's process attach and detach: run at program
// start and exit, or at dlopen and dlclose.
__attribute__((constructor)) static void NUVZubContainersOnLoad() {
    NUVZubContainers_EntryDispatch(NUVZubEntryProcessAttach);
}
__attribute__((destructor)) static void NUVZubContainersOnUnload() {
    NUVZubContainers_EntryDispatch(NUVZubEntryProcessDetach);
}
#endif
