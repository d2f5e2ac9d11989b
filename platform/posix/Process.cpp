// Stack capture with the compiler runtime's unwinder, symbols and lines from
// elfutils' libdw over the modules of /proc/self/maps.
#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/ProcessFaults.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <unwind.h>

namespace NUVZubPlatform {

namespace {

Dwfl* g_dwfl = nullptr;
ProcessFaults g_faults;

char* g_debuginfoPath = nullptr;
const Dwfl_Callbacks g_callbacks = {
    dwfl_linux_proc_find_elf,
    dwfl_standard_find_debuginfo,
    nullptr,
    &g_debuginfoPath,
};

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

bool StartSymbolHandler() {
    if (g_faults.symbolHandlerFails) return false;
    g_dwfl = dwfl_begin(&g_callbacks);
    if (g_dwfl == nullptr) return false;
    dwfl_report_begin(g_dwfl);
    if (dwfl_linux_proc_report(g_dwfl, getpid()) != 0 ||
        dwfl_report_end(g_dwfl, nullptr, nullptr) != 0) {
        dwfl_end(g_dwfl);
        g_dwfl = nullptr;
        return false;
    }
    return true;
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

ResolvedFrame Resolve(void* address) {
    ResolvedFrame frame;
    const Dwarf_Addr at = CallSite(address);
    Dwfl_Module* module = dwfl_addrmodule(g_dwfl, at);
    if (module == nullptr) return frame;
    if (const char* mangled = dwfl_module_addrname(module, at)) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
        const char* shown = (status == 0 && demangled) ? demangled : mangled;
        frame.named = true;
        frame.name.assign(shown, WithoutParameters(shown));
        std::free(demangled);
    }
    int lineNumber = 0;
    Dwfl_Line* record = dwfl_module_getsrc(module, at);
    if (const char* source =
            record ? dwfl_lineinfo(record, nullptr, &lineNumber, nullptr, nullptr, nullptr)
                   : nullptr) {
        frame.located = true;
        frame.file = source;
        frame.line = lineNumber;
    }
    return frame;
}

const ResolvedFrame* Lookup(void* address) {
    if (g_dwfl == nullptr) return nullptr;
    if (g_resolved == nullptr) g_resolved = new std::unordered_map<void*, ResolvedFrame>;
    auto found = g_resolved->find(address);
    if (found != g_resolved->end()) return &found->second;
    if (g_resolved->size() >= kMaxCachedFrames) g_resolved->clear();
    return &g_resolved->emplace(address, Resolve(address)).first->second;
}

} // namespace

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->named) return false;
    CopyBounded(name, capacity, frame->name.data(), frame->name.size());
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
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
