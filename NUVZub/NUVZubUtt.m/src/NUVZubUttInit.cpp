#include <NUVZub/NUVZubUttInit.h>

#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubContainersC.h>

namespace {
// Plain counters: initialisation runs on one thread at a time (the loader's, or
// a client's that serialises its calls).
int g_uttDepth = 0;
} // namespace

void NUVZubUtt_initialize(int& count) {
    if (g_uttDepth++ != 0) return;
    ++count;
    NUVBasLifecycle_Record("ZubUtt+");
    // Only reads ZUB_RESOURCE_MONITOR; the monitor itself is left to the program.
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
}

void NUVZubUtt_finalize(int& count) {
    if (--g_uttDepth != 0) return;
    --count;
    NUVBasLifecycle_Record("ZubUtt-");
}
