// Stack capture with the compiler runtime's unwinder, symbols and lines from
// elfutils' libdw over the modules of /proc/self/maps. Debug information comes
// from local files only, and every descriptor opened for it is close-on-exec.
#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/ProcessFaults.h>
#include <NUVZubPlatform/Thread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <unordered_map>
#include <unwind.h>

namespace NUVZubPlatform {

namespace {

Dwfl* g_dwfl = nullptr;
ProcessFaults g_faults;

// One lock for every report and for the symbol handler with its frame cache:
// constant-initialised and never destroyed, so usable during static
// initialisation and at exit; recursive, so a report raised inside a report
// proceeds. Fork handlers hand children a consistent handler and a free lock.
pthread_mutex_t g_reportLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
pthread_once_t g_forkHandlersOnce = PTHREAD_ONCE_INIT;

void LockReports() {
    pthread_once(&g_forkHandlersOnce, [] {
        pthread_atfork([] { pthread_mutex_lock(&g_reportLock); },
                       [] { pthread_mutex_unlock(&g_reportLock); },
                       [] {
                           // The child's one thread is not the owner the lock records.
                           const pthread_mutex_t unlocked = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
                           g_reportLock = unlocked;
                       });
    });
    pthread_mutex_lock(&g_reportLock);
}

struct ReportLock {
    ReportLock() { LockReports(); }
    ~ReportLock() { pthread_mutex_unlock(&g_reportLock); }
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;
};

/// Opens a file for libdw, close-on-exec. A descriptor 0-2 (free because the
/// program closed a standard stream) is moved above 2; the read-only original
/// stays in the low slot, where whatever is written to that stream is refused.
int OpenForReading(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fd > 2) return fd;
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

int OpenRegularFile(const char* path, char** openedName) {
    // Mappings of devices might block on open or read; deleted files are gone.
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
    const int fd = OpenForReading(path);
    if (fd < 0) return -1;
    *openedName = strdup(path);
    if (*openedName != nullptr) return fd;
    close(fd);
    return -1;
}

int FindModuleFile(Dwfl_Module*, void**, const char* moduleName, Dwarf_Addr, char** fileName,
                   Elf**) {
    return moduleName[0] == '/' ? OpenRegularFile(moduleName, fileName) : -1;
}

std::string DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? std::string(path, slash) : std::string(".");
}

/// Separate debug information, from local files only: libdw's standard search
/// ends by asking the debuginfod servers of DEBUGINFOD_URLS, which may block for
/// minutes and writes a cache. By build ID under /usr/lib/debug, else by the
/// debug link beside the module, in its .debug directory or under
/// /usr/lib/debug. A link that is a path names a dwz supplement instead, found
/// from the directory of the debug file that names it.
int SearchLocalDebugInfo(Dwfl_Module* module, const char* fileName, const char* link,
                         char** debugFileName) {
    static const char kDebugRoot[] = "/usr/lib/debug";
    const std::string directory = fileName ? DirectoryOf(fileName) : std::string(".");
    // The build-ID file first, then the debug link's usual places.
    std::string candidates[4];
    if (link != nullptr && std::strchr(link, '/') != nullptr) {
        candidates[0] = link[0] == '/' ? std::string(link) : directory + "/" + link;
    } else {
        const unsigned char* id = nullptr;
        GElf_Addr idAddress = 0;
        const int idLength = dwfl_module_build_id(module, &id, &idAddress);
        if (idLength > 1) {
            static const char kHex[] = "0123456789abcdef";
            std::string& byId = candidates[0];
            byId = std::string(kDebugRoot) + "/.build-id/";
            for (int i = 0; i < idLength; ++i) {
                if (i == 1) byId += '/';
                byId += kHex[id[i] >> 4];
                byId += kHex[id[i] & 15];
            }
            byId += ".debug";
        }
        if (link != nullptr && fileName != nullptr) {
            candidates[1] = directory + "/" + link;
            candidates[2] = directory + "/.debug/" + link;
            candidates[3] = kDebugRoot + directory + "/" + link;
        }
    }
    for (const std::string& candidate : candidates)
        if (!candidate.empty() && candidate != (fileName ? fileName : "")) {
            const int fd = OpenRegularFile(candidate.c_str(), debugFileName);
            if (fd >= 0) return fd;
        }
    return -1;
}

int FindLocalDebugInfo(Dwfl_Module* module, void**, const char*, Dwarf_Addr, const char* fileName,
                       const char* link, GElf_Word, char** debugFileName) noexcept {
    // No exception may cross libdw's C frames, a forced unwind included: the
    // opens below take no cancellation.
    const CancellationDeferred deferred;
    try {
        return SearchLocalDebugInfo(module, fileName, link, debugFileName);
    } catch (...) { // out of memory
        return -1;
    }
}

char* g_debuginfoPath = nullptr;
const Dwfl_Callbacks g_callbacks = {
    FindModuleFile,
    FindLocalDebugInfo,
    nullptr,
    &g_debuginfoPath,
};

// Reading a compilation unit's line table takes libdw about 180 KB of stack.
constexpr std::uintptr_t kStackForLookups = 512 * 1024;
constexpr std::size_t kHelperStackSize = 4 * 1024 * 1024;

/// Bounds of the calling thread's stack; both 0 if unknown.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};

const StackBounds& ThreadStack() {
    thread_local StackBounds t_bounds;
    thread_local bool t_known = false;
    if (!t_known) {
        t_known = true;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low = nullptr;
            std::size_t size = 0;
            if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
                t_bounds.low = reinterpret_cast<std::uintptr_t>(low);
                t_bounds.high = t_bounds.low + size;
            }
            pthread_attr_destroy(&attributes);
        }
    }
    return t_bounds;
}

/// Runs `work` here if the stack has room for libdw, else on a helper thread
/// with an ample stack while the caller waits. False if neither could run it.
/// A frame outside the thread's own stack (a signal stack, a coroutine's) is
/// taken as small.
bool RunWithAmpleStack(void (*work)(void*), void* context) {
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const StackBounds& stack = ThreadStack();
    if (here > stack.low && here <= stack.high && here - stack.low >= kStackForLookups) {
        work(context);
        return true;
    }
    struct Call {
        void (*work)(void*);
        void* context;
    } call{work, context};
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return false;
    pthread_t helper;
    const bool started = pthread_attr_setstacksize(&attributes, kHelperStackSize) == 0 &&
                         pthread_create(
                             &helper, &attributes,
                             [](void* data) -> void* {
                                 auto* c = static_cast<Call*>(data);
                                 c->work(c->context);
                                 return nullptr;
                             },
                             &call) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(helper, nullptr);
    return started;
}

void CopyBounded(char* out, std::size_t capacity, const char* text, std::size_t length) {
    if (capacity == 0) return;
    if (length >= capacity) length = capacity - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

/// Length of `name` without a trailing parameter list and qualifiers, so that
/// "ns::f(int) const" reads "ns::f". Operators such as "operator()" are kept.
std::size_t WithoutParameters(const char* name) {
    std::size_t length = std::strlen(name);
    std::size_t end = length;
    while (end > 0 && name[end - 1] != ')')
        --end; // skip " const", "&&" and the like
    if (end == 0) return length;
    int depth = 0;
    for (std::size_t i = end; i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        else if (name[i] == '(' && --depth == 0) {
            if (i >= 8 && std::strncmp(name + i - 8, "operator", 8) == 0) return length;
            return i;
        }
    }
    return length;
}

Dwarf_Addr CallSite(void* address) {
    // A return address points after the call; the call itself is one byte back.
    return reinterpret_cast<Dwarf_Addr>(address) - 1;
}

} // namespace

namespace {
struct Capture {
    int toSkip;
    void** frames;
    int capacity;
    int stored;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* data) {
    auto* capture = static_cast<Capture*>(data);
    if (capture->toSkip > 0) {
        --capture->toSkip;
        return _URC_NO_REASON;
    }
    if (capture->stored == capture->capacity) return _URC_END_OF_STACK;
    const _Unwind_Ptr ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    capture->frames[capture->stored++] = reinterpret_cast<void*>(ip);
    return _URC_NO_REASON;
}
} // namespace

int CaptureStack(int skip, void** frames, int capacity) {
    // The unwinder is called directly, not through the C library's backtrace,
    // which sanitizers intercept with frames of their own. Its first frame is
    // this function.
    Capture capture{skip + 1, frames, capacity, 0};
    if (g_faults.stackIsEmpty) return 0;
    _Unwind_Backtrace(CollectFrame, &capture);
    return capture.stored;
}

void SetProcessFaults(const ProcessFaults& faults) { g_faults = faults; }

namespace {
sigset_t PipeSignal() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    return pipeSignal;
}
} // namespace

ReportScope::ReportScope() {
    static_assert(sizeof(sigset_t) <= sizeof m_savedSignals, "room for a signal mask");
    LockReports();
    const sigset_t pipeSignal = PipeSignal();
    auto* saved = reinterpret_cast<sigset_t*>(m_savedSignals);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, saved);
    // Only a thread that blocked SIGPIPE itself can have one pending already;
    // that one is the program's, and stays.
    sigset_t pending;
    m_pipeSignalWasPending = sigismember(saved, SIGPIPE) == 1 && sigpending(&pending) == 0 &&
                             sigismember(&pending, SIGPIPE) == 1;
}

ReportScope::~ReportScope() {
    // A write to a pipe without a reader left SIGPIPE pending on this thread:
    // take it before the mask is restored, or it would end the process.
    const sigset_t pipeSignal = PipeSignal();
    if (!m_pipeSignalWasPending) {
        const timespec noWait = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &noWait); // EAGAIN when none is pending
    }
    pthread_sigmask(SIG_SETMASK, reinterpret_cast<const sigset_t*>(m_savedSignals), nullptr);
    pthread_mutex_unlock(&g_reportLock);
}

bool StartSymbolHandler() {
    ReportLock lock;
    if (g_faults.symbolHandlerFails) return false;
    g_dwfl = dwfl_begin(&g_callbacks);
    if (g_dwfl == nullptr) return false;
    // The maps are read here rather than by libdw, so that even this
    // descriptor is close-on-exec.
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    dwfl_report_begin(g_dwfl);
    const bool reported = maps != nullptr && dwfl_linux_proc_maps_report(g_dwfl, maps) == 0 &&
                          dwfl_report_end(g_dwfl, nullptr, nullptr) == 0;
    if (maps != nullptr) std::fclose(maps);
    if (!reported) {
        dwfl_end(g_dwfl);
        g_dwfl = nullptr;
    }
    return reported;
}

namespace {

/// What a return address resolves to. Resolving scans a module's symbol table,
/// so repeated reports from the same call sites look each address up once.
struct ResolvedFrame {
    bool named = false;
    std::string name;
    bool located = false;
    std::string file;
    int line = 0;
};

constexpr std::size_t kMaxCachedFrames = 4096;
std::unordered_map<void*, ResolvedFrame>* g_resolved = nullptr; // lives as long as the handler

/// The line of `at` found by walking the compilation units' address ranges:
/// the fast look-up needs .debug_aranges, which clang does not emit by default.
Dwarf_Line* LineFromUnits(Dwfl_Module* module, Dwarf_Addr at) {
    Dwarf_Addr bias = 0;
    Dwarf* dwarf = dwfl_module_getdwarf(module, &bias);
    if (dwarf == nullptr) return nullptr;
    Dwarf_CU* unit = nullptr;
    Dwarf_Die unitDie;
    while (dwarf_get_units(dwarf, unit, &unit, nullptr, nullptr, &unitDie, nullptr) == 0)
        if (dwarf_tag(&unitDie) == DW_TAG_compile_unit && dwarf_haspc(&unitDie, at - bias) == 1)
            return dwarf_getsrc_die(&unitDie, at - bias);
    return nullptr;
}

void Resolve(void* address, ResolvedFrame& frame) {
    const Dwarf_Addr at = CallSite(address);
    Dwfl_Module* module = dwfl_addrmodule(g_dwfl, at);
    if (module == nullptr) return;
    if (const char* mangled = dwfl_module_addrname(module, at)) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        const char* shown = (status == 0 && demangled) ? demangled : mangled;
        frame.named = true;
        frame.name.assign(shown, WithoutParameters(shown));
        std::free(demangled);
    }
    int lineNumber = 0;
    const char* source = nullptr;
    if (Dwfl_Line* record = dwfl_module_getsrc(module, at))
        source = dwfl_lineinfo(record, nullptr, &lineNumber, nullptr, nullptr, nullptr);
    else if (Dwarf_Line* line = LineFromUnits(module, at))
        if ((source = dwarf_linesrc(line, nullptr, nullptr)) != nullptr)
            dwarf_lineno(line, &lineNumber);
    if (source != nullptr) {
        frame.located = true;
        frame.file = source;
        frame.line = lineNumber;
    }
}

/// The caller holds the report lock while it reads the result.
const ResolvedFrame* Lookup(void* address) {
    if (g_dwfl == nullptr) return nullptr;
    if (g_resolved == nullptr) g_resolved = new std::unordered_map<void*, ResolvedFrame>;
    auto found = g_resolved->find(address);
    if (found != g_resolved->end()) return &found->second;
    if (g_resolved->size() >= kMaxCachedFrames) g_resolved->clear();
    struct Request {
        void* address;
        ResolvedFrame frame;
    } request{address, {}};
    RunWithAmpleStack(
        [](void* data) {
            auto* r = static_cast<Request*>(data);
            // libdw's state may not be left half-built: the look-up runs to its end.
            const CancellationDeferred deferred;
            try {
                Resolve(r->address, r->frame);
            } catch (...) { // out of memory: the frame stays unknown
                RethrowIfForcedUnwind();
                r->frame = ResolvedFrame();
            }
        },
        &request);
    return &g_resolved->emplace(address, std::move(request.frame)).first->second;
}

} // namespace

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    ReportLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->named) return false;
    CopyBounded(name, capacity, frame->name.data(), frame->name.size());
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
    ReportLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->located) return false;
    CopyBounded(file, capacity, frame->file.data(), frame->file.size());
    line = frame->line;
    return true;
}

bool IsMemoryCheckerPresent() {
    // Valgrind preloads its core and tool modules into the process it runs.
    static const char* const kModules[] = {"vgpreload_memcheck", "vgpreload_core", "memcheck-"};
    struct Search {
        bool found = false;
    } search;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            for (const char* module : kModules)
                if (info->dlpi_name && std::strstr(info->dlpi_name, module)) s->found = true;
            return s->found ? 1 : 0;
        },
        &search);
    return search.found;
}

bool IsEnvSet(const char* name) { return std::getenv(name) != nullptr; }

} // namespace NUVZubPlatform
