// Loads and unloads the library the way a plug-in host does, twice, and checks
// through the base libraries' start-up trace that each load ran the whole
// initialisation chain once and each unload ran every finaliser once, in the
// reverse order. Does not link the library itself, only the allocator that
// keeps the trace. Exit code 0 on success; the reasons for a failure on stderr.
#include <NUVBas/mem_Alloc.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kLoadOrder[] =
    "ZubContainers+ XmlParser+ Shared+ CoreUtils+ GenericsLib+ Alloc+ ZubUtt+ ZubSpecific+";

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// The finalisers expected after `initialisers`: the same units, last first.
std::string Reverse(const std::string& initialisers) {
    std::vector<std::string> words = Words(initialisers);
    std::string out;
    for (auto it = words.rbegin(); it != words.rend(); ++it) {
        std::string w = *it;
        w.back() = '-';
        out += (out.empty() ? "" : " ") + w;
    }
    return out;
}

int g_failures = 0;

void Expect(bool ok, const char* what, const std::string& detail) {
    if (ok) return;
    ++g_failures;
    std::fprintf(stderr, "FAILED: %s: %s\n", what, detail.c_str());
}

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

} // namespace

int main() {
    Cycle(1);
    Cycle(2); // a reload starts from uninitialised counters again
    return g_failures == 0 ? 0 : 1;
}
