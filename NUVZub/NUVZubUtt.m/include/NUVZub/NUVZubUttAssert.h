// Reports on stderr before anything is thrown: throw reports, internal
// assertion failures and client misuse, each with a traceback.
//
// Each report reaches stderr whole, in one write up to 64 KiB (whole lines
// beyond), so that processes appending to one log never interleave inside a
// report. Reports are safe from any thread, during static initialisation and
// at exit, in a forked child (from its fork handlers on), and on small thread
// stacks; a thread cancelled meanwhile is cancelled once its report is written.
// They are not async-signal-safe: never raise one from a signal handler (the
// report lock is taken again by the interrupted thread, and the debug
// information reader is not reentrant).
//
// Reports and notices (texts the library writes to stderr outside reports)
// come in one of two forms for the whole process: text, as always, or JSON,
// one record per line (docs/reports.md), chosen by
// ZUB_EXCEPTION_REPORT_FORMAT=json (read once, at the first report or notice)
// or by NUVZubUttAssertSetReportFormat.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <cstddef>
#include <initializer_list>

class NUVBasException;

/// Takes an exception's parameters by name for its JSON report. The catalogue's
/// classes describe theirs through a generated function.
class NUVZUB_API NUVZubUttReportParameters {
public:
    void Integer(const char* name, long long value);
    void Unsigned(const char* name, unsigned long long value);
    void Real(const char* name, double value);
    void Boolean(const char* name, bool value);
    /// null for a null text.
    void Text(const char* name, const char* value);

    /// Made by the library around the record being written.
    explicit NUVZubUttReportParameters(void* record) : m_record(record) {}

private:
    void* m_record;
};

/// Writes the parameters of `exception`, which is of the class that passed it.
using NUVZubUttParameterWriter = void (*)(const NUVBasException& exception,
                                          NUVZubUttReportParameters& parameters);

/// Takes the text of a notice written piece by piece.
class NUVZUB_API NUVZubUttNoticeText {
public:
    void Write(const char* text);
    void Write(const char* text, std::size_t length);
    void WriteDecimal(long long value);

    /// Made by the library around the notice being written.
    explicit NUVZubUttNoticeText(void* state) : m_state(state) {}

private:
    void* m_state;
};

class NUVZUB_API NUVZubUttAssert {
public:
    /// The throw report of every Propagate: banner, then (unless switched off) a traceback.
    NUVZUB_KEEP_FRAME static void ReportException(const char* message);
    /// False when throw reports are switched off or the exception is being raised
    /// through Throw: Propagate then skips formatting its message at all.
    static bool IsReporting();
    /// ReportException with the exception's message, formatted here so that
    /// Propagate itself holds no temporaries (and stays cheap to unwind).
    NUVZUB_KEEP_FRAME static void ReportPropagation(const NUVBasException& exception);
    /// The same, naming the exception's class and how to write its parameters
    /// (null when it has none) for the JSON form.
    NUVZUB_KEEP_FRAME static void ReportPropagation(const NUVBasException& exception,
                                                    const char* className,
                                                    NUVZubUttParameterWriter parameters);
    /// An internal assertion failed: report, then raise NUVBasAssertException.
    [[noreturn]] NUVZUB_KEEP_FRAME static void ReportAssertionFailure(const char* condition);
    /// The client misused the API: report, then raise NUVZubExcValidationFailure.
    [[noreturn]] NUVZUB_KEEP_FRAME static void ReportValidationFailure(const char* message);

    /// A notice: its text is the pieces in order. The text form writes it as
    /// given; the JSON form writes one record whose message is the text without
    /// its final line feed. Either arrives whole, in one write when it fits.
    static void ReportNotice(std::initializer_list<const char*> pieces);
    /// The same for a text written piece by piece: `write` is called once, with
    /// the report lock held, and must not raise.
    static void ReportNotice(void (*write)(NUVZubUttNoticeText& text, const void* context),
                             const void* context);
};

enum class NUVZubUttReportFormat { Text, Json };

/// Sets the form of every later report and notice of the process, whatever
/// ZUB_EXCEPTION_REPORT_FORMAT says.
NUVZUB_API void NUVZubUttAssertSetReportFormat(NUVZubUttReportFormat format);

/// Silences every later throw report of the process (assertion and validation reports stay).
NUVZUB_API void NUVZubUttAssertDisableExcReport();

class NUVZUB_API NUVZubUttPreconditionCheck {
public:
    /// Reads `size` bytes at `data` when a memory checker watches the process, so
    /// that an invalid range is reported at the caller's precondition.
    static void MemoryCheck(const void* data, unsigned long long size);
};

/// Internal assertion of the library: reports the condition's text when it fails.
#define NUVZUB_ASSERT(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) NUVZubUttAssert::ReportAssertionFailure(#condition);                     \
    } while (false)
