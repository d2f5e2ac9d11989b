#include <NUVZub/NUVZubUttAssert.h>

#include "NUVZubUttFrameCache.h"
#include "NUVZubUttJsonRecord.h"

#include <NUVBas/NUVBasException.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttFingerprint.h>
#include <NUVZub/NUVZubUttUtils.h>
#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/Utf8.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

// Process-wide, set on first use and never reset. The traceback mode and the
// symbol handler change only inside a report scope; the switches read on
// every raise are atomic, so threads may raise while another flips them.
std::atomic<bool> g_reportsDisabled{false};
enum TracebackMode { kUndecided = 0, kNoTracebacks = 1, kTracebacks = 2 };
int g_tracebackMode = kUndecided;
const void* g_symbolHandler = nullptr;
enum MemoryCheckMode { kCheckUndecided = 0, kCheckOff = 1, kCheckOn = 2 };
std::atomic<int> g_memoryCheckMode{kCheckUndecided};
enum ReportFormat { kFormatUndecided = 0, kFormatText = 1, kFormatJson = 2 };
std::atomic<int> g_format{kFormatUndecided};

constexpr int kMaxFrames = 1024;
// The text traceback's buffer for a function's name.
constexpr std::size_t kTracebackName = 1024;
constexpr const char* kSourceFile = "NUVZub/NUVZubUtt.m/src/NUVZubUttAssert";
// Where assertion and validation failures are raised from, as their exceptions tell.
constexpr int kAssertionLine = 213;
constexpr int kValidationLine = 220;

// What one field of a JSON record may take, escaped. A frame at its largest
// must fit in what is left for it.
constexpr std::size_t kClassCap = 256;
constexpr std::size_t kMessageCap = 16 * 1024;
constexpr std::size_t kParameterCap = 2 * 1024;
constexpr std::size_t kFunctionCap = 1024;
constexpr std::size_t kFileCap = 1024;
constexpr std::size_t kModuleCap = 256;
constexpr std::size_t kFrameMost = kFunctionCap + kFileCap + kModuleCap + 160;
static_assert(kFrameMost <= NUVZubUttJsonRecord::kCaptureMost, "a frame is kept whole");
// Parameters leave this much for the source and the first frames.
constexpr std::size_t kAfterParameters = 8 * 1024;

bool IsJson() {
    int format = g_format.load(std::memory_order_relaxed);
    if (format == kFormatUndecided) {
        char value[8];
        const bool json =
            NUVZubPlatform::EnvValue("ZUB_EXCEPTION_REPORT_FORMAT", value, sizeof value) &&
            (value[0] | 0x20) == 'j' && (value[1] | 0x20) == 's' && (value[2] | 0x20) == 'o' &&
            (value[3] | 0x20) == 'n' && value[4] == '\0';
        // A call of NUVZubUttAssertSetReportFormat meanwhile wins.
        g_format.compare_exchange_strong(format, json ? kFormatJson : kFormatText);
        format = g_format.load(std::memory_order_relaxed);
    }
    return format == kFormatJson;
}

/// Starts the symbol handler at the first traceback, once: a failure is not retried.
bool SymbolsStartedNow() {
    if (g_symbolHandler != nullptr) return true;
    g_symbolHandler = &g_symbolHandler;
    return NUVZubPlatform::StartSymbolHandler();
}

NUVZUB_KEEP_FRAME void PrintTraceback(NUVZubPlatform::ReportScope& report, int framesToSkip) {
    if (!SymbolsStartedNow()) throw std::logic_error("Can't initialize symbol handler");
    void* frames[kMaxFrames];
    const int count = NUVZubPlatform::CaptureStack(framesToSkip, frames, kMaxFrames);
    report.Write("!!! TRACEBACK:\n");
    if (count == 0) report.Write("!!! TRACEBACK NOT AVAILABLE.\n");
    for (int i = 0; i < count; ++i) {
        char name[kTracebackName];
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

/// What a report says, for its JSON form.
struct Report {
    const char* kind;
    const char* message;
    const NUVBasException* exception = nullptr; // the one raised, if any
    const char* className = nullptr;
    NUVZubUttParameterWriter parameters = nullptr;
    bool hasCode = false;
    int code = 0;
    const char* sourceFile = nullptr;
    int sourceLine = 0;
};

/// Formats a frame met for the first time: written to the record when there is
/// room, and kept for later reports. Out of line, so that the buffers of its
/// look-ups take stack only here. True for the program's main; `named` tells
/// whether the frame has a function name.
[[gnu::noinline]] bool FormatFrame(NUVZubUttJsonRecord& record, NUVZubUttFingerprint& fingerprint,
                                   void* address, bool room, bool& named) {
    // Room for more than a record shows, so that what is longer is seen, and
    // cut and marked there.
    char name[2 * kFunctionCap];
    named = NUVZubPlatform::SymbolForAddress(address, name, sizeof name);
    const std::size_t nameLength = named ? std::strlen(name) : 0;
    // The fingerprint takes the name as the text traceback shows it, so that
    // both forms of a report have the same.
    const std::size_t shownLength =
        NUVZubPlatform::Utf8FittingLength(name, nameLength, kTracebackName - 1);
    if (named) fingerprint.AddFrame(name, shownLength);
    const bool isMain = named && std::strcmp(name, "main") == 0;
    if (!room) return isMain;
    char file[2 * kFileCap];
    int line = 0;
    const bool located = NUVZubPlatform::LineForAddress(address, file, sizeof file, line);
    // The call itself, one byte before the return address: its offset
    // symbolises to the line shown.
    char module[kModuleCap];
    std::uintptr_t offset = 0;
    const bool inModule = NUVZubPlatform::ModuleForAddress(static_cast<const char*>(address) - 1,
                                                           module, sizeof module, offset);
    record.BeginCapture(kFrameMost);
    record.Raw("{\"function\":");
    named ? record.String(name, nameLength, kFunctionCap) : record.Null();
    record.Member("file");
    located ? record.String(file, kFileCap) : record.Null();
    record.Member("line");
    located ? record.Integer(line) : record.Null();
    record.Member("module");
    inModule ? record.String(module, kModuleCap) : record.Null();
    record.Member("offset");
    inModule ? record.HexString(offset) : record.Null();
    record.Raw("}");
    // A frame left unknown because its look-up could not run is not kept.
    NUVZubUttCachedFrame frame{nullptr, 0, named ? name : nullptr, shownLength, false};
    if (record.Captured(frame.json, frame.jsonLength, frame.cut) &&
        NUVZubPlatform::FrameIsResolved(address))
        NUVZubUttKeepCachedFrame(address, frame);
    return isMain;
}

/// The traceback's frames as JSON; all of them count for the fingerprint, as
/// many as the record has room for are written. True if any has a name.
NUVZUB_KEEP_FRAME bool WriteFrames(NUVZubUttJsonRecord& record, NUVZubUttFingerprint& fingerprint,
                                   int framesToSkip) {
    void* frames[kMaxFrames];
    const int count = NUVZubPlatform::CaptureStack(framesToSkip, frames, kMaxFrames);
    bool room = true;
    bool anyNamed = false;
    for (int i = 0; i < count; ++i) {
        if (room && record.Room() < kFrameMost) {
            room = false;
            record.MarkTruncated();
        }
        if (room && i > 0) record.Raw(",");
        const NUVZubUttCachedFrame* frame = NUVZubUttFindCachedFrame(frames[i]);
        if (frame == nullptr) {
            bool named = false;
            const bool isMain = FormatFrame(record, fingerprint, frames[i], room, named);
            anyNamed |= named;
            if (isMain) break;
            continue;
        }
        if (room) {
            record.Raw(frame->json, frame->jsonLength);
            if (frame->cut) record.MarkTruncated();
        }
        if (frame->name == nullptr) continue;
        anyNamed = true;
        fingerprint.AddFrame(frame->name, frame->nameLength);
        if (frame->nameLength == 4 && std::memcmp(frame->name, "main", 4) == 0) break;
    }
    return anyNamed;
}

/// The JSON form of a report: one record, with its traceback unless switched off.
NUVZUB_KEEP_FRAME void WriteRecord(NUVZubPlatform::ReportScope& out, const Report& report,
                                   bool traceback, int framesToSkip) {
    const bool symbols = !traceback || SymbolsStartedNow();
    NUVZubUttJsonRecord record(out, report.kind);
    NUVZubUttFingerprint fingerprint(report.kind);
    record.Member("class");
    record.String(report.className, kClassCap);
    record.Member("code");
    report.hasCode ? record.Integer(report.code) : record.Null();
    record.Member("message");
    const char* message = report.message != nullptr ? report.message : "(null)";
    const std::size_t messageLength = std::strlen(message);
    record.String(message, messageLength, kMessageCap);
    record.Member("parameters");
    record.Open();
    if (report.parameters != nullptr && report.exception != nullptr) {
        NUVZubUttReportParameters parameters(&record);
        report.parameters(*report.exception, parameters);
    }
    record.Raw("}");
    record.Member("source");
    if (report.sourceFile != nullptr) {
        record.Raw("{\"file\":");
        record.String(report.sourceFile, kFileCap);
        record.Member("line");
        record.Integer(report.sourceLine);
        record.Raw("}");
    } else {
        record.Null();
    }
    record.Member("frames");
    record.Raw("[");
    const bool named = traceback && symbols && WriteFrames(record, fingerprint, framesToSkip + 1);
    record.Raw("]");
    // The message decides only where no frame has a name.
    if (!named) fingerprint.AddMessage(message, messageLength);
    char digits[17];
    fingerprint.Finish(digits);
    record.Finish(digits);
    // As in the text form: the report is written, then the failure is raised.
    if (!symbols) throw std::logic_error("Can't initialize symbol handler");
}

/// The throw report; its traceback starts two frames above it, at the caller of
/// ReportException or at the Propagate that called ReportPropagation.
NUVZUB_KEEP_FRAME void ReportThrow(const Report& content) {
    if (g_reportsDisabled.load(std::memory_order_relaxed)) return;
    NUVZubPlatform::ReportScope report;
    if (g_tracebackMode == kUndecided) {
        if (NUVZubPlatform::IsEnvSet("ZUB_DISABLE_EXCEPTION_REPORT")) {
            NUVZubUttAssert::ReportNotice({"!!! - ZUB Exception throw reports are disabled.\n"});
            g_tracebackMode = kNoTracebacks;
        } else {
            g_tracebackMode = kTracebacks;
        }
    }
    if (IsJson()) return WriteRecord(report, content, g_tracebackMode == kTracebacks, 3);
    report.Write("!!! EXCEPTION:\n!!!   ");
    report.Write(content.message);
    report.Write("\n");
    if (g_tracebackMode == kTracebacks) PrintTraceback(report, 3);
}

Report Thrown(const NUVBasException& exception, const char* message) {
    Report content{"exception", message};
    content.exception = &exception;
    content.hasCode = true;
    content.code = exception.GetCode();
    content.sourceFile = exception.GetSourceFile();
    content.sourceLine = exception.GetSourceLine();
    return content;
}

/// The state of a notice being written.
struct Notice {
    NUVZubPlatform::ReportScope* scope;
    NUVZubUttJsonRecord* record;       // null in the text form
    NUVZubUttFingerprint* fingerprint; // JSON only
    bool pendingLineFeed;              // held back: the text's last line feed is not in the message
};

void WriteNotice(Notice& notice, const char* text, std::size_t length) {
    if (notice.record == nullptr) return notice.scope->Write(text, length);
    if (length == 0) return;
    if (notice.pendingLineFeed) notice.record->StringPart("\n", 1);
    notice.fingerprint->AddMessage(text, length);
    notice.pendingLineFeed = text[length - 1] == '\n';
    notice.record->StringPart(text, length - (notice.pendingLineFeed ? 1 : 0));
}

} // namespace

void NUVZubUttReportParameters::Integer(const char* name, long long value) {
    auto* record = static_cast<NUVZubUttJsonRecord*>(m_record);
    if (record->Room() < kAfterParameters + 128) return record->MarkTruncated();
    record->Key(name);
    record->Integer(value);
}

void NUVZubUttReportParameters::Unsigned(const char* name, unsigned long long value) {
    auto* record = static_cast<NUVZubUttJsonRecord*>(m_record);
    if (record->Room() < kAfterParameters + 128) return record->MarkTruncated();
    record->Key(name);
    record->Unsigned(value);
}

void NUVZubUttReportParameters::Real(const char* name, double value) {
    auto* record = static_cast<NUVZubUttJsonRecord*>(m_record);
    if (record->Room() < kAfterParameters + 128) return record->MarkTruncated();
    record->Key(name);
    record->Real(value);
}

void NUVZubUttReportParameters::Boolean(const char* name, bool value) {
    auto* record = static_cast<NUVZubUttJsonRecord*>(m_record);
    if (record->Room() < kAfterParameters + 128) return record->MarkTruncated();
    record->Key(name);
    record->Boolean(value);
}

void NUVZubUttReportParameters::Text(const char* name, const char* value) {
    auto* record = static_cast<NUVZubUttJsonRecord*>(m_record);
    if (record->Room() < kAfterParameters + kParameterCap + 128) return record->MarkTruncated();
    record->Key(name);
    record->String(value, kParameterCap);
}

void NUVZubUttNoticeText::Write(const char* text) {
    if (text == nullptr) text = "(null)";
    Write(text, std::strlen(text));
}

void NUVZubUttNoticeText::Write(const char* text, std::size_t length) {
    WriteNotice(*static_cast<Notice*>(m_state), text, length);
}

void NUVZubUttNoticeText::WriteDecimal(long long value) {
    char digits[24];
    const int length = std::snprintf(digits, sizeof digits, "%lld", value);
    Write(digits, static_cast<std::size_t>(length));
}

bool NUVZubUttAssert::IsReporting() {
    return !g_reportsDisabled.load(std::memory_order_relaxed) &&
           !NUVBasException::IsRaisingThroughThrow();
}

void NUVZubUttAssert::ReportException(const char* message) { ReportThrow({"exception", message}); }

void NUVZubUttAssert::ReportPropagation(const NUVBasException& exception) {
    if (g_reportsDisabled.load(std::memory_order_relaxed)) return;
    atr_String message = exception.AsString(NUVBasStringMode(false));
    ReportThrow(Thrown(exception, message.CStr()));
}

void NUVZubUttAssert::ReportPropagation(const NUVBasException& exception, const char* className,
                                        NUVZubUttParameterWriter parameters) {
    if (g_reportsDisabled.load(std::memory_order_relaxed)) return;
    atr_String message = exception.AsString(NUVBasStringMode(false));
    Report content = Thrown(exception, message.CStr());
    content.className = className;
    content.parameters = parameters;
    ReportThrow(content);
}

namespace {
// An assertion or validation failure: its record, or its banner, text and
// traceback, written as one report before the caller throws.
NUVZUB_KEEP_FRAME void ReportFailure(const char* kind, const char* banner, const char* text,
                                     int line) {
    NUVZubPlatform::ReportScope report;
    if (IsJson()) {
        Report content{kind, text};
        content.sourceFile = kSourceFile;
        content.sourceLine = line;
        WriteRecord(report, content, true, 3);
        return;
    }
    report.Write(banner);
    report.Write(text);
    report.Write("\n");
    PrintTraceback(report, 3);
}
} // namespace

void NUVZubUttAssert::ReportAssertionFailure(const char* condition) {
    ReportFailure("assertion", "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR.\n!!! ", condition,
                  kAssertionLine);
    NUVBasAssertException(condition).Throw(kSourceFile, kAssertionLine);
}

void NUVZubUttAssert::ReportValidationFailure(const char* message) {
    ReportFailure(
        "validation",
        "!!! THE API HAS DETECTED AN ARGUMENT ERROR OR INCORRECT USE BY THE CLIENT.\n!!! ", message,
        kValidationLine);
    NUVZubExcValidationFailure().Throw(kSourceFile, kValidationLine);
}

void NUVZubUttAssert::ReportNotice(std::initializer_list<const char*> pieces) {
    ReportNotice(
        [](NUVZubUttNoticeText& text, const void* context) {
            for (const char* piece :
                 *static_cast<const std::initializer_list<const char*>*>(context))
                text.Write(piece);
        },
        &pieces);
}

void NUVZubUttAssert::ReportNotice(void (*write)(NUVZubUttNoticeText& text, const void* context),
                                   const void* context) {
    NUVZubPlatform::ReportScope scope;
    if (!IsJson()) {
        Notice notice{&scope, nullptr, nullptr, false};
        NUVZubUttNoticeText text(&notice);
        write(text, context);
        return;
    }
    NUVZubUttJsonRecord record(scope, "notice");
    NUVZubUttFingerprint fingerprint("notice");
    record.Raw(",\"class\":null,\"code\":null,\"message\":");
    record.BeginString(kMessageCap);
    Notice notice{&scope, &record, &fingerprint, false};
    NUVZubUttNoticeText text(&notice);
    write(text, context);
    record.EndString();
    record.Raw(",\"parameters\":{},\"source\":null,\"frames\":[]");
    char digits[17];
    fingerprint.Finish(digits);
    record.Finish(digits);
}

void NUVZubUttAssertDisableExcReport() { g_reportsDisabled.store(true, std::memory_order_relaxed); }

void NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat format) {
    g_format.store(format == NUVZubUttReportFormat::Json ? kFormatJson : kFormatText,
                   std::memory_order_relaxed);
}

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
