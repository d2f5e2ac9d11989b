// Stack capture with the compiler runtime's unwinder, symbols and lines from
// elfutils' libdw over the modules of /proc/self/maps. Debug information comes
// from local files only, and every descriptor opened for it is close-on-exec.
#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/ProcessFaults.h>
#include <NUVZubPlatform/Thread.h>
#include <NUVZubPlatform/Utf8.h>

#include "../ReportText.h"
#include "../SymbolNames.h"
#include "Calls.h"

#include <atomic>
#include <cerrno>
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
#include <sched.h>
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

unsigned g_stateLosses = 0; // see ReportStateLosses

// The symbol handler's frame cache; lives as long as the handler.
struct ResolvedFrame;
std::unordered_map<void*, ResolvedFrame>* g_resolved = nullptr;

/// One lock for every report and for the symbol handler with its frame cache,
/// taken again freely by the thread that holds it. Usable at any time: during
/// static initialisation and at exit, and in a forked child from its first
/// instruction on, whatever the program's own fork handlers do. No fork handler
/// takes it: a child finds out by its process id that it was forked, and starts
/// afresh. While held, the thread is not cancelled (a report finishes what it
/// starts) and a write to a pipe without a reader raises no SIGPIPE.
class ReportLock {
public:
    static void Lock();
    static void Unlock();
    /// This process's id when the calling thread holds the lock (it was
    /// checked against the system's as the lock was taken), else 0.
    static pid_t ProcessOfHolder();

private:
    static void StartAfterFork();

    static pthread_mutex_t s_mutex;
    static std::atomic<pthread_t> s_owner; // 0 when free
    static int s_depth;                    // changed by the owner only
    static std::atomic<pid_t> s_pid;       // the process the lock belongs to
    // What the outermost scope saved of the owning thread, restored at its end.
    static sigset_t s_savedSignals;
    static bool s_pipeSignalWasPending;
    static int s_savedCancelState;
};

pthread_mutex_t ReportLock::s_mutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<pthread_t> ReportLock::s_owner{0};
int ReportLock::s_depth = 0;
std::atomic<pid_t> ReportLock::s_pid{0};
sigset_t ReportLock::s_savedSignals;
bool ReportLock::s_pipeSignalWasPending = false;
int ReportLock::s_savedCancelState = PTHREAD_CANCEL_ENABLE;

sigset_t PipeSignal() {
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    return pipeSignal;
}

void ReportLock::StartAfterFork() {
    // The parent's threads are gone; one of them may have held the lock, in the
    // middle of changing what it guards. The forking thread itself keeps its
    // hold (it forked from inside a report).
    const pthread_t owner = s_owner.load();
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    s_mutex = fresh;
    if (owner != 0 && pthread_equal(owner, pthread_self())) {
        pthread_mutex_lock(&s_mutex);
    } else {
        if (owner != 0) {
            // Half-changed state is left behind, never used again.
            g_dwfl = nullptr;
            g_resolved = nullptr;
            DiscardReportText();
            ++g_stateLosses;
        }
        s_owner.store(0);
        s_depth = 0;
    }
}

void ReportLock::Lock() {
    constexpr pid_t kStarting = -1;
    const pid_t self = getpid();
    pid_t known = s_pid.load();
    if (known != self) {
        // The first use in this process, or the first in a forked child: one
        // thread starts the lock afresh, any other waits for it.
        if (known == 0) {
            s_pid.compare_exchange_strong(known, self);
        } else if (known != kStarting && s_pid.compare_exchange_strong(known, kStarting)) {
            StartAfterFork();
            s_pid.store(self);
        }
        while (s_pid.load() != self)
            sched_yield();
    }
    const pthread_t thread = pthread_self();
    if (s_owner.load() != 0 && pthread_equal(s_owner.load(), thread)) {
        ++s_depth;
        return;
    }
    int cancelState = PTHREAD_CANCEL_ENABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
    pthread_mutex_lock(&s_mutex);
    s_owner.store(thread);
    s_depth = 1;
    s_savedCancelState = cancelState;
    const sigset_t pipeSignal = PipeSignal();
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &s_savedSignals);
    // Only a thread that blocked SIGPIPE itself can have one pending already;
    // that one is the program's, and stays.
    sigset_t pending;
    s_pipeSignalWasPending = sigismember(&s_savedSignals, SIGPIPE) == 1 &&
                             sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
}

pid_t ReportLock::ProcessOfHolder() {
    const pthread_t owner = s_owner.load();
    return owner != 0 && pthread_equal(owner, pthread_self()) ? s_pid.load() : 0;
}

void ReportLock::Unlock() {
    if (--s_depth != 0) return;
    // A write to a pipe without a reader left SIGPIPE pending on this thread:
    // take it before the mask is restored, or it would end the process.
    if (!s_pipeSignalWasPending) {
        const sigset_t pipeSignal = PipeSignal();
        const timespec noWait = {0, 0};
        sigtimedwait(&pipeSignal, nullptr, &noWait); // EAGAIN when none is pending
    }
    const sigset_t savedSignals = s_savedSignals;
    const int cancelState = s_savedCancelState;
    s_owner.store(0);
    pthread_mutex_unlock(&s_mutex);
    pthread_sigmask(SIG_SETMASK, &savedSignals, nullptr);
    pthread_setcancelstate(cancelState, nullptr);
}

struct HeldReportLock {
    HeldReportLock() { ReportLock::Lock(); }
    ~HeldReportLock() { ReportLock::Unlock(); }
    HeldReportLock(const HeldReportLock&) = delete;
    HeldReportLock& operator=(const HeldReportLock&) = delete;
};

/// Opens a file for libdw, close-on-exec, never in a standard slot that the
/// program left free. Should one be taken all the same (freed meanwhile by
/// another thread), the file is moved above 2 and the read-only original
/// stays there, where whatever is written to that stream is refused.
int OpenForReading(const char* path) {
    FillFreeStandardSlots();
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
/// taken as small. The caller holds the report lock, which defers its
/// cancellation: it never leaves while the helper works on its data.
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
    if (g_faults.helperThreadFails || pthread_attr_init(&attributes) != 0) return false;
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
    length = Utf8FittingLength(text, length, capacity - 1);
    std::memcpy(out, text, length);
    out[length] = '\0';
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

ReportScope::ReportScope() {
    ReportLock::Lock();
    OpenReportText();
}

ReportScope::~ReportScope() {
    CloseReportText();
    ReportLock::Unlock();
}

namespace {

bool g_handlerWanted = false; // started once; restarted after a stop or in a child

/// The caller holds the report lock.
bool StartHandler() {
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

} // namespace

bool StartSymbolHandler() {
    HeldReportLock lock;
    if (g_dwfl != nullptr) return true;
    g_handlerWanted = StartHandler();
    return g_handlerWanted;
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
ResolvedFrame g_uncached; // a look-up that could not run, handed out but not kept

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

/// The caller holds the report lock while it reads the result. Only what a
/// look-up resolved is kept: a frame left unknown because the look-up could
/// not run (no helper thread, no memory) is tried again next time.
const ResolvedFrame* Lookup(void* address) {
    if (g_dwfl == nullptr && !(g_handlerWanted && StartHandler())) return nullptr;
    if (g_resolved == nullptr) g_resolved = new std::unordered_map<void*, ResolvedFrame>;
    auto found = g_resolved->find(address);
    if (found != g_resolved->end()) return &found->second;
    if (g_resolved->size() >= kMaxCachedFrames) g_resolved->clear();
    struct Request {
        void* address;
        ResolvedFrame frame;
        bool resolved;
    } request{address, {}, false};
    const bool ran = RunWithAmpleStack(
        [](void* data) {
            auto* r = static_cast<Request*>(data);
            // libdw's state may not be left half-built: the look-up runs to its end.
            const CancellationDeferred deferred;
            try {
                Resolve(r->address, r->frame);
                r->resolved = true;
            } catch (...) { // out of memory: the frame stays unknown
                RethrowIfForcedUnwind();
                r->frame = ResolvedFrame();
            }
        },
        &request);
    if (!ran || !request.resolved) {
        g_uncached = ResolvedFrame();
        return &g_uncached;
    }
    return &g_resolved->emplace(address, std::move(request.frame)).first->second;
}

} // namespace

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    HeldReportLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->named) return false;
    CopyBounded(name, capacity, frame->name.data(), frame->name.size());
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
    HeldReportLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->located) return false;
    CopyBounded(file, capacity, frame->file.data(), frame->file.size());
    line = frame->line;
    return true;
}

unsigned ReportStateLosses() { return g_stateLosses; }

void ReleaseReportState(void (*release)()) {
    HeldReportLock lock;
    release();
}

bool FrameIsResolved(void* address) {
    HeldReportLock lock;
    return g_resolved != nullptr && g_resolved->count(address) != 0;
}

void StopSymbolHandler() {
    HeldReportLock lock;
    delete g_resolved;
    g_resolved = nullptr;
    if (g_dwfl != nullptr) dwfl_end(g_dwfl);
    g_dwfl = nullptr;
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

bool EnvValue(const char* name, char* value, std::size_t capacity) {
    const char* text = std::getenv(name);
    if (text == nullptr) return false;
    CopyBounded(value, capacity, text, std::strlen(text));
    return true;
}

namespace {
const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}
} // namespace

bool ModuleForAddress(const void* address, char* name, std::size_t capacity,
                      std::uintptr_t& offset) {
    // The link map's load bias turns the address back into the module's own
    // virtual address, for position-independent programs too. The C library's
    // object look-up finds it without dladdr's search of the symbol table.
    const link_map* map = nullptr;
#if defined(DLFO_STRUCT_HAS_EH_DBASE)
    dl_find_object found;
    if (_dl_find_object(const_cast<void*>(address), &found) == 0) map = found.dlfo_link_map;
#else
    Dl_info info;
    if (dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0)
        map = nullptr;
#endif
    if (map == nullptr) return false;
    offset = reinterpret_cast<std::uintptr_t>(address) - map->l_addr;
    // The program's own map has no name.
    const char* file = map->l_name != nullptr && map->l_name[0] != '\0'
                           ? BaseName(map->l_name)
                           : program_invocation_short_name;
    CopyBounded(name, capacity, file, std::strlen(file));
    return true;
}

long long WallClockMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

unsigned long long CurrentProcessId() {
    const pid_t known = ReportLock::ProcessOfHolder();
    return static_cast<unsigned long long>(known != 0 ? known : getpid());
}

unsigned long long CurrentThreadId() {
    // Asked once per thread and process: a forked child's thread has the
    // parent's copy, which its process id tells apart.
    struct Known {
        pid_t process;
        pid_t thread;
    };
    thread_local Known t_known{0, 0};
    const auto process = static_cast<pid_t>(CurrentProcessId());
    if (t_known.process != process) t_known = {process, gettid()};
    return static_cast<unsigned long long>(t_known.thread);
}

bool ProgramName(char* name, std::size_t capacity) {
    // The C library's copy of the program's name as it was started.
    const char* program = program_invocation_short_name;
    if (program == nullptr || program[0] == '\0') return false;
    CopyBounded(name, capacity, program, std::strlen(program));
    return true;
}

} // namespace NUVZubPlatform
