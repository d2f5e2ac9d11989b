// Stack capture, the process's module list and the debugging help library's
// symbol handler for tracebacks; module look-up by name for the memory check.
#include "Wide.h"

#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/ProcessFaults.h>
#include <NUVZubPlatform/Utf8.h>

#include "../ReportText.h"

#include <windows.h>

#include <dbghelp.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <io.h>
#include <string>
#include <vector>

// The inline-frame services of the debugging help library (6.2 and later),
// which mingw-w64's headers do not declare.
extern "C" {
DWORD WINAPI SymAddrIncludeInlineTrace(HANDLE process, DWORD64 address);
BOOL WINAPI SymQueryInlineTrace(HANDLE process, DWORD64 startAddress, DWORD startContext,
                                DWORD64 startReturnAddress, DWORD64 currentAddress,
                                LPDWORD currentContext, LPDWORD currentFrameIndex);
BOOL WINAPI SymGetLineFromInlineContextW(HANDLE process, DWORD64 address, ULONG inlineContext,
                                         DWORD64 moduleBase, PDWORD displacement,
                                         PIMAGEHLP_LINEW64 line);
}

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

// Registers every module loaded now with the symbol handler.
void LoadModules(HANDLE process) {
    std::vector<HMODULE> modules;
    DWORD needed = 0;
    if (!K32EnumProcessModules(process, nullptr, 0, &needed)) return;
    modules.resize(needed / sizeof(HMODULE));
    if (!K32EnumProcessModules(process, modules.data(),
                               static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed))
        return;
    // A module loaded between the two calls is left out, never read past the list.
    if (needed / sizeof(HMODULE) < modules.size()) modules.resize(needed / sizeof(HMODULE));
    std::vector<wchar_t> image(4096), name(4096);
    for (HMODULE module : modules) {
        MODULEINFO info;
        if (!K32GetModuleInformation(process, module, &info, sizeof info)) continue;
        if (K32GetModuleFileNameExW(process, module, image.data(),
                                    static_cast<DWORD>(image.size())) == 0 ||
            K32GetModuleBaseNameW(process, module, name.data(), static_cast<DWORD>(name.size())) ==
                0)
            continue;
        SymLoadModuleExW(g_handler, nullptr, image.data(), name.data(),
                         reinterpret_cast<DWORD64>(info.lpBaseOfDll), info.SizeOfImage, nullptr, 0);
    }
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

bool StartSymbolHandler() {
    if (g_faults.symbolHandlerFails) return false;
    SymbolLock lock;
    if (g_handler != nullptr) return true;
    const HANDLE self = GetCurrentProcess();
    HANDLE handler = nullptr;
    if (!DuplicateHandle(self, self, self, &handler, 0, FALSE, DUPLICATE_SAME_ACCESS)) return false;
    // Modules are searched for their symbols along PATH.
    const std::wstring path = Environment(L"PATH");
    if (!SymInitializeW(handler, path.empty() ? nullptr : path.c_str(), FALSE)) {
        ::CloseHandle(handler);
        return false;
    }
    SymSetOptions(SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
    g_handler = handler;
    LoadModules(self);
    return true;
}

void StopSymbolHandler() {
    SymbolLock lock;
    if (g_handler == nullptr) return;
    SymCleanup(g_handler);
    ::CloseHandle(g_handler);
    g_handler = nullptr;
}

namespace {

struct Lookup {
    explicit Lookup(void* at) : address(at) {}
    void* address;
    bool found = false;
    std::string text; // the name, or the file
    int line = 0;
};

void FindSymbol(Lookup* lookup) {
    // More than callers show, so that they see a longer name is cut.
    constexpr ULONG kMaxName = 2048;
    // SYMBOL_INFOW ends in room for one character; the name continues past it.
    alignas(
        SYMBOL_INFOW) unsigned char record[sizeof(SYMBOL_INFOW) + kMaxName * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(record);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = kMaxName;
    DWORD64 displacement = 0;
    if (!SymFromAddrW(g_handler, CallSite(lookup->address), &displacement, symbol)) return;
    ToNarrow(symbol->Name, symbol->NameLen < kMaxName ? symbol->NameLen : kMaxName, lookup->text);
    lookup->found = true;
}

void FindLine(Lookup* lookup) {
    IMAGEHLP_LINEW64 record = {};
    record.SizeOfStruct = sizeof record;
    DWORD displacement = 0;
    const DWORD64 at = CallSite(lookup->address);
    // Code inlined at the address has its own line, which the plain look-up
    // may give as the line of the function it was inlined into.
    DWORD context = 0, frame = 0;
    const bool inlined =
        SymAddrIncludeInlineTrace(g_handler, at) > 0 &&
        SymQueryInlineTrace(g_handler, at, 0, at, at, &context, &frame) &&
        SymGetLineFromInlineContextW(g_handler, at, context, 0, &displacement, &record);
    if (!inlined && !SymGetLineFromAddrW64(g_handler, at, &displacement, &record)) return;
    if (record.FileName == nullptr) return;
    ToNarrow(record.FileName, std::wcslen(record.FileName), lookup->text);
    lookup->line = static_cast<int>(record.LineNumber);
    lookup->found = true;
}

} // namespace

bool SymbolForAddress(void* address, char* name, std::size_t capacity) {
    SymbolLock lock;
    if (g_handler == nullptr) return false;
    Lookup lookup(address);
    FindSymbol(&lookup);
    if (!lookup.found) return false;
    CopyBounded(name, capacity, lookup.text);
    return true;
}

bool LineForAddress(void* address, char* file, std::size_t capacity, int& line) {
    SymbolLock lock;
    if (g_handler == nullptr) return false;
    Lookup lookup(address);
    FindLine(&lookup);
    if (!lookup.found) return false;
    CopyBounded(file, capacity, lookup.text);
    line = lookup.line;
    return true;
}

// No fork: the report lock's holder never vanishes.
unsigned ReportStateLosses() { return 0; }

bool FrameIsResolved(void*) {
    // Every look-up runs here, on the caller's thread, and is final.
    SymbolLock lock;
    return g_handler != nullptr;
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

/// The file name of a module, without directories.
bool ModuleBaseName(HMODULE module, char* name, std::size_t capacity) {
    wchar_t path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return false;
    DWORD start = length;
    while (start > 0 && path[start - 1] != L'\\' && path[start - 1] != L'/')
        --start;
    CopyNarrow(path + start, static_cast<int>(length - start), name, capacity);
    return true;
}

} // namespace

bool ModuleForAddress(const void* address, char* name, std::size_t capacity,
                      std::uintptr_t& offset) {
    // A module's handle is its load address.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module) ||
        module == nullptr)
        return false;
    offset = reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module);
    if (!ModuleBaseName(module, name, capacity) && capacity > 0) name[0] = '\0';
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

bool ProgramName(char* name, std::size_t capacity) {
    return ModuleBaseName(nullptr, name, capacity);
}

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
