// Loads and unloads the library the way a plug-in host does, twice, and checks
// through the base libraries' start-up trace that each load ran the whole
// initialisation chain once and each unload ran every finaliser once, in the
// reverse order. Does not link the library itself, only the allocator that
// keeps the trace. Exit code 0 on success; the reasons for a failure on stderr.
#include "LifecycleProbe.h"

#include <NUVBas/mem_Alloc.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using probe::Expect;
using probe::kLoadOrder;
using probe::Reverse;

void Cycle(int round) {
    NUVBasLifecycle_Clear();
    void* library = dlopen(NUVZUB_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        Expect(false, "dlopen", dlerror());
        return;
    }
    std::string log = NUVBasLifecycle_Log();
    Expect(log == kLoadOrder, "load runs the chain once, in order", log);

    // A balanced pair of the client entries only counts while the library is loaded.
    auto initializeC = reinterpret_cast<void (*)()>(dlsym(library, "NUVZubContainers_initializeC"));
    auto finalizeC = reinterpret_cast<void (*)()>(dlsym(library, "NUVZubContainers_finalizeC"));
    Expect(initializeC != nullptr && finalizeC != nullptr, "plain-name entries exported", "");
    if (initializeC != nullptr && finalizeC != nullptr) {
        initializeC();
        finalizeC();
        Expect(std::string(NUVBasLifecycle_Log()) == log, "nested calls only count",
               NUVBasLifecycle_Log());
    }

    NUVBasLifecycle_Clear();
    Expect(dlclose(library) == 0, "dlclose", "");
    Expect(dlopen(NUVZUB_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD) == nullptr,
           "dlclose unloads the library", "still loaded");
    log = NUVBasLifecycle_Log();
    Expect(log == Reverse(kLoadOrder), "unload runs every finaliser once, in reverse order", log);
    std::fprintf(stderr, "round %d unload: %s\n", round, log.c_str());
}

int OpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += fcntl(fd, F_GETFD) != -1;
    return count;
}

/// A plug-in host that loads the library, has it write a report with a
/// traceback, and unloads it, again and again: the symbol session opened for
/// the traceback must go with the library.
void ReportCycles(int cycles) {
    const int savedStderr = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
    int before = -1;
    for (int i = 0; i < cycles; ++i) {
        void* library = dlopen(NUVZUB_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) break;
        using GlobInit = bool (*)(const char*, void**, int, char*);
        auto globInit = reinterpret_cast<GlobInit>(dlsym(library, "NUVZubUttFileUtils_GlobInit"));
        void* glob = nullptr;
        char text[256];
        // A null pattern is misuse: an assertion report, traceback and all.
        const bool failed = globInit != nullptr && !globInit(nullptr, &glob, sizeof text, text);
        dlclose(library);
        if (!failed) {
            Expect(false, "a null pattern is refused", "");
            break;
        }
        if (i == 0) before = OpenDescriptors(); // the first load's own needs settle
    }
    const int after = OpenDescriptors();
    dup2(savedStderr, 2);
    close(savedStderr);
    Expect(before == after, "report cycles leave no descriptor open",
           std::to_string(before) + " before, " + std::to_string(after) + " after");
}

} // namespace

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NUVZUB_PROBE_ASAN 1
#endif
#endif

int main() {
    Cycle(1);
    Cycle(2); // a reload starts from uninitialised counters again
#if !defined(NUVZUB_PROBE_ASAN)
    // LeakSanitizer's exit scan (clang 14) crashes in its own tracer once
    // instrumented libraries were unloaded after a traceback; the other
    // stages run the cycles.
    ReportCycles(20);
#endif
    return probe::g_failures == 0 ? 0 : 1;
}
