// Stack capture and the symbols of tracebacks: the functions, files and lines
// of modules built with DWARF are read in process from their files, as
// Windows' debugging help library reads PDB files only; that library's symbol
// handler answers for every other module (the system's, PDB-built ones).
// Module look-up by name for the memory check.
#include "Calls.h"
#include "DwarfModule.h"
#include "Wide.h"

#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/ProcessFaults.h>
#include <NUVZubPlatform/Utf8.h>

#include "../ReportText.h"

#include <windows.h>

#include <dbghelp.h>
#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace NUVZubPlatform {

namespace {

ProcessFaults g_faults;

// One process-wide lock, taken again freely by the thread that holds it: held
// by every report and by every call into the debugging help library, which is
// single-threaded. An SRW lock needs no set-up, so it serves during static
// initialisation and destruction too.
SRWLOCK g_reportLock = SRWLOCK_INIT;
volatile LONG g_reportOwner = 0; // thread id of the holder, 0 when free
int g_reportDepth = 0;           // changed by the holder only

void LockReports() {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    if (InterlockedCompareExchange(&g_reportOwner, 0, 0) != self) {
        AcquireSRWLockExclusive(&g_reportLock);
        InterlockedExchange(&g_reportOwner, self);
    }
    ++g_reportDepth;
}

/// LockReports, unless another thread holds the lock.
bool TryLockReports() {
    const LONG self = static_cast<LONG>(GetCurrentThreadId());
    if (InterlockedCompareExchange(&g_reportOwner, 0, 0) != self) {
        if (!TryAcquireSRWLockExclusive(&g_reportLock)) return false;
        InterlockedExchange(&g_reportOwner, self);
    }
    ++g_reportDepth;
    return true;
}

void UnlockReports() {
    if (--g_reportDepth != 0) return;
    InterlockedExchange(&g_reportOwner, 0);
    ReleaseSRWLockExclusive(&g_reportLock);
}

class SymbolLock {
public:
    SymbolLock() { LockReports(); }
    ~SymbolLock() { UnlockReports(); }
    SymbolLock(const SymbolLock&) = delete;
    SymbolLock& operator=(const SymbolLock&) = delete;
};

// A real handle to this process, of its own: the symbol handler's key, so that
// no other user of the library in the process (which would key on
// GetCurrentProcess()) shares its state.
HANDLE g_handler = nullptr;
bool g_handlerWanted = false; // started once; restarted by a look-up after a stop

// The inline-frame services of the debugging help library 6.2 and later, found
// at run time: an older dbghelp.dll beside a program must not keep this
// library from loading.
using IncludeInlineTrace = DWORD(WINAPI*)(HANDLE process, DWORD64 address);
using QueryInlineTrace = BOOL(WINAPI*)(HANDLE process, DWORD64 startAddress, DWORD startContext,
                                       DWORD64 startReturnAddress, DWORD64 currentAddress,
                                       LPDWORD currentContext, LPDWORD currentFrameIndex);
IncludeInlineTrace g_includeInlineTrace = nullptr;
QueryInlineTrace g_queryInlineTrace = nullptr;

/// A module loaded when the handler started; its DWARF is read at its first look-up.
struct Module {
    std::uintptr_t base = 0;
    std::size_t size = 0;
    std::wstring path;
    ImageStamp stamp;
    bool dwarfRead = false;
    std::unique_ptr<DwarfModule> dwarf; ///< nullptr: the debugging help library answers
};

std::vector<Module>* g_modules = nullptr; // by base address; lives as long as the handler

void CopyBounded(char* out, std::size_t capacity, const std::string& text) {
    if (capacity == 0) return;
    const std::size_t length = Utf8FittingLength(text.data(), text.size(), capacity - 1);
    std::memcpy(out, text.data(), length);
    out[length] = '\0';
}

std::wstring Environment(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        const DWORD length =
            GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (length == 0) return std::wstring();
        if (length < value.size()) {
            value.resize(length);
            return value;
        }
        value.resize(length); // the size needed, terminator included
    }
}

DWORD64 CallSite(void* address) {
    // A return address points after the call; the call itself is one byte back.
    return reinterpret_cast<DWORD64>(address) - 1;
}

// Registers every module loaded now with the symbol handler, and keeps the
// list for the DWARF look-ups. Out of memory, the rest are left out.
void ListModules(HANDLE process) {
    std::vector<HMODULE> modules;
    DWORD needed = 0;
    if (!K32EnumProcessModules(process, nullptr, 0, &needed)) return;
    modules.resize(needed / sizeof(HMODULE));
    if (!K32EnumProcessModules(process, modules.data(),
                               static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return;
    // A module loaded between the two calls is left out, never read past the list.
    if (needed / sizeof(HMODULE) < modules.size()) modules.resize(needed / sizeof(HMODULE));
    std::vector<wchar_t> image(32768), name(4096);
    for (HMODULE module : modules) {
        MODULEINFO info;
        if (!K32GetModuleInformation(process, module, &info, sizeof info)) continue;
        const DWORD length = K32GetModuleFileNameExW(process, module, image.data(),
                                                     static_cast<DWORD>(image.size()));
        if (length == 0 || length >= image.size() ||
            K32GetModuleBaseNameW(process, module, name.data(), static_cast<DWORD>(name.size())) ==
                0)
            continue;
        const auto base = reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll);
        SymLoadModuleExW(g_handler, nullptr, image.data(), name.data(), base, info.SizeOfImage,
                         nullptr, 0);
        Module known;
        known.base = base;
        known.size = info.SizeOfImage;
        known.path.assign(image.data(), length);
        if (LoadedImageStamp(info.lpBaseOfDll, known.size, known.stamp))
            g_modules->push_back(std::move(known));
    }
}

void LoadModules(HANDLE process) {
    try {
        ListModules(process);
    } catch (const std::bad_alloc&) {
    }
    std::sort(g_modules->begin(), g_modules->end(),
              [](const Module& a, const Module& b) { return a.base < b.base; });
}

/// The known module whose image holds `at`, if it is still the image that was
/// loaded when the handler started. Asks the memory manager, not the loader,
/// whose lock a thread holding the report lock must never wait for.
Module* ModuleOf(DWORD64 at) {
    MEMORY_BASIC_INFORMATION region;
    if (g_modules == nullptr ||
        VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == 0 ||
        region.Type != MEM_IMAGE)
        return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(region.AllocationBase);
    const auto found = std::lower_bound(
        g_modules->begin(), g_modules->end(), base,
        [](const Module& module, std::uintptr_t value) { return module.base < value; });
    ImageStamp now;
    if (found == g_modules->end() || found->base != base ||
        !LoadedImageStamp(region.AllocationBase, found->size, now) || !(now == found->stamp))
        return nullptr;
    return &*found;
}

} // namespace

int CaptureStack(int skip, void** frames, int capacity) {
    if (g_faults.stackIsEmpty || capacity <= 0 || skip < 0) return 0;
    // Frame 0 of the system's capture is this function itself.
    return RtlCaptureStackBackTrace(static_cast<DWORD>(skip) + 1, static_cast<DWORD>(capacity),
                                    frames, nullptr);
}

// Windows raises no signal for a write to a pipe without a reader, and has no
// cancellation that unwinds: the lock and the text are all.
ReportScope::ReportScope() {
    LockReports();
    OpenReportText();
}

ReportScope::~ReportScope() {
    CloseReportText();
    UnlockReports();
}

void WriteStandardError(const char* data, std::size_t size) {
    // Through the C runtime's descriptor 2, as the program's own stderr output
    // goes (text mode turns line feeds into CR LF), after what the program
    // wrote through stdio.
    std::fflush(stderr);
    while (size > 0) {
        const unsigned part = size < 0x40000000u ? static_cast<unsigned>(size) : 0x40000000u;
        const int n = _write(2, data, part);
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void SetProcessFaults(const ProcessFaults& faults) { g_faults = faults; }

namespace {

/// The caller holds the report lock.
bool StartHandler() {
    if (g_faults.symbolHandlerFails) return false;
    // Modules are searched for their symbols along PATH.
    const std::wstring path = Environment(L"PATH");
    const HANDLE self = GetCurrentProcess();
    HANDLE handler = nullptr;
    if (!DuplicateHandle(self, self, self, &handler, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
    auto* modules = new (std::nothrow) std::vector<Module>;
    if (modules == nullptr ||
        !SymInitializeW(handler, path.empty() ? nullptr : path.c_str(), FALSE)) {
        delete modules;
        ::CloseHandle(handler);
        return false;
    }
    SymSetOptions(SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    g_includeInlineTrace = reinterpret_cast<IncludeInlineTrace>(
        reinterpret_cast<void*>(DbgHelpProcedure("SymAddrIncludeInlineTrace")));
    g_queryInlineTrace = reinterpret_cast<QueryInlineTrace>(
        reinterpret_cast<void*>(DbgHelpProcedure("SymQueryInlineTrace")));
    g_handler = handler;
    g_modules = modules;
    LoadModules(self);
    return true;
}

} // namespace

bool StartSymbolHandler() {
    SymbolLock lock;
    if (g_handler != nullptr) return true;
    g_handlerWanted = StartHandler();
    return g_handlerWanted;
}

namespace {

/// What a return address resolves to. Resolving reads debugging information,
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
ResolvedFrame g_uncached; // a look-up that could not run, handed out but not kept

void FindSymbol(DWORD64 at, ResolvedFrame& frame) {
    // More than callers show, so that they see a longer name is cut.
    constexpr ULONG kMaxName = 2048;
    // SYMBOL_INFOW ends in room for one character; the name continues past it.
    alignas(
        SYMBOL_INFOW) unsigned char record[sizeof(SYMBOL_INFOW) + kMaxName * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(record);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = kMaxName;
    DWORD64 displacement = 0;
    if (!g_win32.SymFromAddrW(g_handler, at, &displacement, symbol)) return;
    ToNarrow(symbol->Name, symbol->NameLen < kMaxName ? symbol->NameLen : kMaxName, frame.name);
    frame.named = true;
}

void FindLine(DWORD64 at, ResolvedFrame& frame) {
    IMAGEHLP_LINEW64 record = {};
    record.SizeOfStruct = sizeof record;
    DWORD displacement = 0;
    // Code inlined at the address has its own line, which the plain look-up
    // may give as the line of the function it was inlined into.
    DWORD context = 0, index = 0;
    const bool inlined =
        g_includeInlineTrace != nullptr && g_queryInlineTrace != nullptr &&
        g_includeInlineTrace(g_handler, at) > 0 &&
        g_queryInlineTrace(g_handler, at, 0, at, at, &context, &index) &&
        g_win32.SymGetLineFromInlineContextW(g_handler, at, context, 0, &displacement, &record);
    if (!inlined && !g_win32.SymGetLineFromAddrW64(g_handler, at, &displacement, &record)) return;
    if (record.FileName == nullptr) return;
    ToNarrow(record.FileName, std::wcslen(record.FileName), frame.file);
    frame.line = static_cast<int>(record.LineNumber);
    frame.located = true;
}

void Resolve(void* address, ResolvedFrame& frame) {
    const DWORD64 at = CallSite(address);
    Module* module = ModuleOf(at);
    if (module != nullptr && !module->dwarfRead) {
        module->dwarf = DwarfModule::Open(module->path, module->base, module->stamp);
        module->dwarfRead = true;
    }
    if (module == nullptr || module->dwarf == nullptr) {
        FindSymbol(at, frame);
        FindLine(at, frame);
        return;
    }
    // A module with DWARF is never asked of the debugging help library, which on
    // Windows would name the nearest exported function instead.
    SourcePlace place = module->dwarf->Describe(static_cast<std::uintptr_t>(at));
    frame.named = !place.name.empty();
    frame.name = std::move(place.name);
    frame.located = !place.file.empty();
    frame.file = std::move(place.file);
    frame.line = place.line;
}

// Reading a compilation unit's debugging information and demangling take more
// stack than a thread may have left (Windows gives a thread as little as
// 64 KiB): there the look-up runs on a fiber of its own, on the same thread,
// so that even a thread holding the loader's lock can do it.
constexpr std::uintptr_t kStackForLookups = 256 * 1024;
constexpr SIZE_T kFiberStackSize = 1024 * 1024;

// GCC 12 takes mingw-w64's read of the thread block for an access out of bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
void* CurrentFiber() { return GetCurrentFiber(); }
#pragma GCC diagnostic pop

bool RunWithAmpleStack(void (*work)(void*), void* context) {
    // The stack's whole reservation is one allocation: its base is the stack's end.
    MEMORY_BASIC_INFORMATION stack;
    const auto here = reinterpret_cast<std::uintptr_t>(&stack);
    const auto end = VirtualQuery(&stack, &stack, sizeof stack) != 0
                         ? reinterpret_cast<std::uintptr_t>(stack.AllocationBase)
                         : here;
    if (here - end >= kStackForLookups) {
        work(context);
        return true;
    }
    struct Call {
        void (*work)(void*);
        void* context;
        void* caller;
    } call{work, context, nullptr};
    const bool wasFiber = IsThreadAFiber() != FALSE;
    call.caller =
        wasFiber ? CurrentFiber() : ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
    if (call.caller == nullptr) return false;
    void* const fiber = CreateFiberEx(
        0, kFiberStackSize, FIBER_FLAG_FLOAT_SWITCH,
        [](void* data) {
            auto* c = static_cast<Call*>(data);
            c->work(c->context);
            SwitchToFiber(c->caller); // a fiber's routine must never return
        },
        &call);
    if (fiber != nullptr) {
        SwitchToFiber(fiber);
        DeleteFiber(fiber);
    }
    if (!wasFiber) ConvertFiberToThread();
    return fiber != nullptr;
}

/// The caller holds the report lock while it reads the result. Only what a
/// look-up resolved is kept: a frame left unknown because the look-up could
/// not run (no fiber, no memory) is tried again next time.
const ResolvedFrame* Lookup(void* address) {
    if (g_handler == nullptr && !(g_handlerWanted && StartHandler())) return nullptr;
    if (g_resolved == nullptr)
        g_resolved = new (std::nothrow) std::unordered_map<void*, ResolvedFrame>;
    if (g_resolved == nullptr) return nullptr;
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
            try {
                Resolve(r->address, r->frame);
                r->resolved = true;
            } catch (...) { // out of memory: the frame stays unknown
                r->frame = ResolvedFrame();
            }
        },
        &request);
    try {
        if (ran && request.resolved)
            return &g_resolved->emplace(address, std::move(request.frame)).first->second;
    } catch (const std::bad_alloc&) {
    }
    g_uncached = std::move(request.frame);
    return &g_uncached;
}

} // namespace

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    SymbolLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->named) return false;
    CopyBounded(name, capacity, frame->name);
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
    SymbolLock lock;
    const ResolvedFrame* frame = Lookup(address);
    if (frame == nullptr || !frame->located) return false;
    CopyBounded(file, capacity, frame->file);
    line = frame->line;
    return true;
}

// Never waits for the lock: at unload it runs under the loader's lock, and at
// process exit a thread ended in the middle of a report may hold the report
// lock for ever. The session then stays, for the system to reclaim.
void StopSymbolHandler() {
    if (!TryLockReports()) return;
    delete g_resolved;
    g_resolved = nullptr;
    delete g_modules;
    g_modules = nullptr;
    if (g_handler != nullptr) {
        SymCleanup(g_handler);
        ::CloseHandle(g_handler);
        g_handler = nullptr;
    }
    UnlockReports();
}

bool FrameIsResolved(void* address) {
    SymbolLock lock;
    return g_resolved != nullptr && g_resolved->count(address) != 0;
}

// No fork: the report lock's holder never vanishes.
unsigned ReportStateLosses() { return 0; }

// As StopSymbolHandler, never waits for the lock.
void ReleaseReportState(void (*release)()) {
    if (!TryLockReports()) return;
    release();
    UnlockReports();
}

bool IsMemoryCheckerPresent() {
    // Dr. Memory: its client library inside the checked process, then its
    // front end and the DynamoRIO launcher, in case they share the process.
    for (const char* module : {"drmemorylib.dll", "drmemory.exe", "drrun.exe"})
        if (GetModuleHandleA(module) != nullptr) return true;
    return false;
}

bool IsEnvSet(const char* name) {
    // The process's environment block, where a variable may also be set empty.
    std::wstring wide;
    if (!ToWide(name, wide)) return false;
    wchar_t probe[1];
    SetLastError(ERROR_SUCCESS); // an empty value returns 0 and leaves the error alone
    if (GetEnvironmentVariableW(wide.c_str(), probe, 1) != 0) return true;
    return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

} // namespace NUVZubPlatform

// Module, clock, identities, environment and standard input for reports and
// the tools.
#include <NUVZubPlatform/File.h>

namespace NUVZubPlatform {

namespace {

/// UTF-16 to UTF-8 into a bounded buffer, cut at a whole character, without
/// the heap.
void CopyNarrow(const wchar_t* text, int length, char* out, std::size_t capacity) {
    if (capacity == 0) return;
    int written = 0;
    for (int i = 0; i < length; ++i) {
        // One character (a surrogate pair is one) at a time, so a cut never
        // splits it.
        const int units = (IS_HIGH_SURROGATE(text[i]) && i + 1 < length) ? 2 : 1;
        char bytes[8];
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, text + i, units, bytes, sizeof bytes, nullptr, nullptr);
        if (n <= 0 || static_cast<std::size_t>(written + n) >= capacity) break;
        std::memcpy(out + written, bytes, static_cast<std::size_t>(n));
        written += n;
        i += units - 1;
    }
    out[written] = '\0';
}

/// The last component of a path.
void CopyBaseName(const wchar_t* path, std::size_t length, char* name, std::size_t capacity) {
    std::size_t start = length;
    while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/')
        --start;
    CopyNarrow(path + start, static_cast<int>(length - start), name, capacity);
}

// GCC 12 takes mingw-w64's read of the thread block for an access out of bounds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
const RTL_USER_PROCESS_PARAMETERS* ProcessParameters() {
    return NtCurrentTeb()->ProcessEnvironmentBlock->ProcessParameters;
}
#pragma GCC diagnostic pop

} // namespace

// Neither asks the loader, whose lock a thread holding the report lock must
// never wait for (another thread may hold the loader's lock and wait for a
// report): the module comes from the list the symbol handler took, found
// through the memory manager, and the program from the process's parameters.
bool ModuleForAddress(const void* address, char* name, std::size_t capacity,
                      std::uintptr_t& offset) {
    SymbolLock lock;
    const Module* module = ModuleOf(reinterpret_cast<DWORD64>(address));
    if (module == nullptr) return false;
    offset = reinterpret_cast<std::uintptr_t>(address) - module->base;
    CopyBaseName(module->path.data(), module->path.size(), name, capacity);
    return true;
}

bool ProgramName(char* name, std::size_t capacity) {
    const RTL_USER_PROCESS_PARAMETERS* parameters = ProcessParameters();
    if (parameters == nullptr || parameters->ImagePathName.Buffer == nullptr ||
        parameters->ImagePathName.Length == 0)
        return false;
    CopyBaseName(parameters->ImagePathName.Buffer,
                 parameters->ImagePathName.Length / sizeof(wchar_t), name, capacity);
    return true;
}

long long WallClockMicroseconds() {
    // 100 ns units since 1601-01-01 UTC.
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr unsigned long long kTicksTo1970 = 116444736000000000ULL;
    return static_cast<long long>((ticks - kTicksTo1970) / 10);
}

unsigned long long CurrentProcessId() { return GetCurrentProcessId(); }
unsigned long long CurrentThreadId() { return GetCurrentThreadId(); }

bool EnvValue(const char* name, char* value, std::size_t capacity) {
    wchar_t wideName[256];
    const int nameLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wideName,
                                               sizeof wideName / sizeof wideName[0]);
    if (nameLength == 0) return false;
    wchar_t text[1024];
    SetLastError(ERROR_SUCCESS); // an empty value returns 0 and leaves the error alone
    DWORD length = GetEnvironmentVariableW(wideName, text, sizeof text / sizeof text[0]);
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (length >= sizeof text / sizeof text[0]) length = 0; // too long for any value we read
    CopyNarrow(text, static_cast<int>(length), value, capacity);
    return true;
}

Handle StandardInput() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    return input == INVALID_HANDLE_VALUE ? kNoHandle : input;
}

} // namespace NUVZubPlatform
