// Stack capture with the compiler runtime's unwinder, symbols and lines from
// elfutils' libdw over the modules of /proc/self/maps.
#include <NUVZubPlatform/Process.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <unistd.h>
#include <unwind.h>

namespace NUVZubPlatform {

namespace {

Dwfl* g_dwfl = nullptr;

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
    _Unwind_Backtrace(CollectFrame, &capture);
    return capture.stored;
}

bool StartSymbolHandler() {
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

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    if (g_dwfl == nullptr) return false;
    Dwarf_Addr at = CallSite(address);
    Dwfl_Module* module = dwfl_addrmodule(g_dwfl, at);
    const char* mangled = module ? dwfl_module_addrname(module, at) : nullptr;
    if (mangled == nullptr) return false;
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    const char* shown = (status == 0 && demangled) ? demangled : mangled;
    CopyBounded(name, capacity, shown, WithoutParameters(shown));
    std::free(demangled);
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
    if (g_dwfl == nullptr) return false;
    Dwarf_Addr at = CallSite(address);
    Dwfl_Module* module = dwfl_addrmodule(g_dwfl, at);
    Dwfl_Line* record = module ? dwfl_module_getsrc(module, at) : nullptr;
    int lineNumber = 0;
    const char* source =
        record ? dwfl_lineinfo(record, nullptr, &lineNumber, nullptr, nullptr, nullptr) : nullptr;
    if (source == nullptr) return false;
    CopyBounded(file, capacity, source, std::strlen(source));
    line = lineNumber;
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
