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
#pragma once

#include <NUVZubPlatform/Export.h>

class NUVBasException;

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
    /// An internal assertion failed: report, then raise NUVBasAssertException.
    [[noreturn]] NUVZUB_KEEP_FRAME static void ReportAssertionFailure(const char* condition);
    /// The client misused the API: report, then raise NUVZubExcValidationFailure.
    [[noreturn]] NUVZUB_KEEP_FRAME static void ReportValidationFailure(const char* message);
};

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
