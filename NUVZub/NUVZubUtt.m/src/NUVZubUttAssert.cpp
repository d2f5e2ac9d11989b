#include <NUVZub/NUVZubUttAssert.h>

#include <NUVBas/NUVBasException.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttUtils.h>
#include <NUVZubPlatform/Process.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace {

// Process-wide, set on first use and never reset. The traceback mode and the
// symbol handler change only inside a report scope; the two switches read on
// every raise are atomic, so threads may raise while another flips them.
std::atomic<bool> g_reportsDisabled{false};
enum TracebackMode { kUndecided = 0, kNoTracebacks = 1, kTracebacks = 2 };
int g_tracebackMode = kUndecided;
const void* g_symbolHandler = nullptr;
enum MemoryCheckMode { kCheckUndecided = 0, kCheckOff = 1, kCheckOn = 2 };
std::atomic<int> g_memoryCheckMode{kCheckUndecided};

constexpr int kMaxFrames = 1024;
constexpr const char* kSourceFile = "NUVZub/NUVZubUtt.m/src/NUVZubUttAssert";

NUVZUB_KEEP_FRAME void PrintTraceback(NUVZubPlatform::ReportScope& report, int framesToSkip) {
    if (g_symbolHandler == nullptr) {
        g_symbolHandler = &g_symbolHandler; // first, so that a failure is not retried
        if (!NUVZubPlatform::StartSymbolHandler())
            throw std::logic_error("Can't initialize symbol handler");
    }
    void* frames[kMaxFrames];
    const int count = NUVZubPlatform::CaptureStack(framesToSkip, frames, kMaxFrames);
    report.Write("!!! TRACEBACK:\n");
    if (count == 0) report.Write("!!! TRACEBACK NOT AVAILABLE.\n");
    for (int i = 0; i < count; ++i) {
        char name[1024];
        char file[4096];
        int line = 0;
        const bool named = NUVZubPlatform::SymbolForAddress(frames[i], name, sizeof name);
        report.Write(named ? "!!!   " : "!!!   <stack frame not available>");
        if (named) report.Write(name);
        if (NUVZubPlatform::LineForAddress(frames[i], file, sizeof file, line)) {
            report.Write(" in ");
            report.Write(file);
            report.Write(":");
            report.WriteDecimal(line);
        }
        report.Write("\n");
        if (named && std::strcmp(name, "main") == 0) break;
    }
}

/// The throw report; its traceback starts two frames above it, at the caller of
/// ReportException or at the Propagate that called ReportPropagation.
NUVZUB_KEEP_FRAME void ReportThrow(const char* message) {
    if (g_reportsDisabled.load(std::memory_order_relaxed)) return;
    NUVZubPlatform::ReportScope report;
    if (g_tracebackMode == kUndecided) {
        if (NUVZubPlatform::IsEnvSet("ZUB_DISABLE_EXCEPTION_REPORT")) {
            report.Write("!!! - ZUB Exception throw reports are disabled.\n");
            g_tracebackMode = kNoTracebacks;
        } else {
            g_tracebackMode = kTracebacks;
        }
    }
    report.Write("!!! EXCEPTION:\n!!!   ");
    report.Write(message);
    report.Write("\n");
    if (g_tracebackMode == kTracebacks) PrintTraceback(report, 3);
}

} // namespace

bool NUVZubUttAssert::IsReporting() {
    return !g_reportsDisabled.load(std::memory_order_relaxed) &&
           !NUVBasException::IsRaisingThroughThrow();
}

void NUVZubUttAssert::ReportException(const char* message) { ReportThrow(message); }

void NUVZubUttAssert::ReportPropagation(const NUVBasException& exception) {
    if (g_reportsDisabled.load(std::memory_order_relaxed)) return;
    atr_String message = exception.AsString(NUVBasStringMode(false));
    ReportThrow(message.CStr());
}

void NUVZubUttAssert::ReportAssertionFailure(const char* condition) {
    {
        NUVZubPlatform::ReportScope report;
        report.Write("!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR.\n!!! ");
        report.Write(condition);
        report.Write("\n");
        PrintTraceback(report, 2);
    }
    NUVBasAssertException(condition).Throw(kSourceFile, 213);
}

void NUVZubUttAssert::ReportValidationFailure(const char* message) {
    {
        NUVZubPlatform::ReportScope report;
        report.Write("!!! THE API HAS DETECTED AN ARGUMENT ERROR OR INCORRECT USE BY THE CLIENT.\n"
                     "!!! ");
        report.Write(message);
        report.Write("\n");
        PrintTraceback(report, 2);
    }
    NUVZubExcValidationFailure().Throw(kSourceFile, 220);
}

void NUVZubUttAssertDisableExcReport() { g_reportsDisabled.store(true, std::memory_order_relaxed); }

void NUVZubUttPreconditionCheck::MemoryCheck(const void* data, unsigned long long size) {
    int mode = g_memoryCheckMode.load(std::memory_order_relaxed);
    if (mode == kCheckUndecided) {
        mode = NUVZubPlatform::IsMemoryCheckerPresent() ? kCheckOn : kCheckOff;
        g_memoryCheckMode.store(mode, std::memory_order_relaxed);
    }
    if (mode != kCheckOn) return;
    const volatile char* bytes = static_cast<const volatile char*>(data);
    char folded = 0;
    for (unsigned long long i = 0; i < size; ++i)
        folded ^= bytes[i];
    NUVZubUttUtils::Sink(folded);
}
