// Process services of the platform layer: stack capture, symbols, modules and
// the environment. One implementation per platform.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <cstddef>
#include <cstdint>

namespace NUVZubPlatform {

/// Return addresses of the calling thread's stack, innermost first. Frame 0 is
/// the caller of CaptureStack; the first `skip` frames are left out.
/// Returns how many were stored (at most `capacity`).
NUVZUB_KEEP_FRAME int CaptureStack(int skip, void** frames, int capacity);

/// Held while a report is written; its text reaches stderr when the outermost
/// scope ends. Reports and symbol look-ups of the whole process take turns (one
/// thread may nest them). Usable at any time: during static initialisation and
/// destruction, and in a forked child from its first instruction, whatever
/// the program's fork handlers do. While held, the thread is not cancelled (a
/// cancellation waits until the report is written) and a write to a pipe whose
/// reader has gone raises no signal.
///
/// A report is emitted whole: with one write when it fits kReportTextCapacity
/// bytes, in whole lines otherwise, so that processes sharing one log never
/// interleave mid-line. No heap memory is used on the way (a report may be
/// about memory exhaustion). No write to stderr ever lands in a file the
/// library opened, whatever the state of descriptors 0 to 2.
///
/// Not async-signal-safe: a report must not be raised from a signal handler.
class ReportScope {
public:
    ReportScope();
    ~ReportScope();
    ReportScope(const ReportScope&) = delete;
    ReportScope& operator=(const ReportScope&) = delete;

    /// Appends to the report's text.
    void Write(const char* text, std::size_t length);
    void Write(const char* text);
    void WriteDecimal(long long value);
};

/// How many times a forked child found the report lock held by a thread that
/// the fork left behind: what the lock guards may be half-changed then, so a
/// layer that keeps state under the lock starts afresh when this moves. Read
/// with the lock held (inside a ReportScope).
unsigned ReportStateLosses();

/// Runs `release`, which frees state an upper layer keeps under the report
/// lock, with the lock held; at unload. Where StopSymbolHandler does not wait
/// for the lock, neither does this: `release` is then skipped.
void ReleaseReportState(void (*release)());

/// What one write of a report may hold.
constexpr std::size_t kReportTextCapacity = 64 * 1024;

/// Reads the list of loaded modules once; modules loaded later stay unknown.
/// False if the symbol handler could not be started.
bool StartSymbolHandler();

/// Demangled name, without its parameter list, of the function holding the
/// return address `address`; false if there is none. Works on any thread's
/// stack, however small: the heavy look-ups move to a larger stack there.
bool SymbolForAddress(void* address, char* name, std::size_t capacity);

/// Source file and line of the call that `address` returns from; false if unknown.
bool LineForAddress(void* address, char* file, std::size_t capacity, int& line);

/// True when the look-ups of `address` ran and their answers, a name or none,
/// hold for good; false when they could not run (no larger stack to move to, no
/// memory) and will be tried again, so that a caller keeping them does not either.
bool FrameIsResolved(void* address);

/// Releases the symbol session and the frame cache (at unload); a later look-up
/// starts them again. Safe when they were never started.
void StopSymbolHandler();

/// The module (the program or a shared library) holding `address`: its file's
/// name without directories, and the address's offset from the module's load
/// address, which offline symbolisers take (an ELF virtual address; on Windows
/// the relative virtual address). False if no module holds it (on Windows, if
/// none that was loaded when the symbol handler started does).
bool ModuleForAddress(const void* address, char* name, std::size_t capacity,
                      std::uintptr_t& offset);

/// Microseconds since 1970-01-01 00:00 UTC.
long long WallClockMicroseconds();
/// This process's id, and the calling thread's id as the system numbers threads.
/// Without a system call inside a ReportScope, and after the thread's first.
unsigned long long CurrentProcessId();
unsigned long long CurrentThreadId();
/// The running program's file name without directories; false if unknown.
bool ProgramName(char* name, std::size_t capacity);

/// The value of an environment variable as UTF-8, cut to fit `capacity`; false
/// if it is not set.
bool EnvValue(const char* name, char* value, std::size_t capacity);

/// True if a memory-checking tool runs this process (Valgrind on Linux, Dr.
/// Memory on Windows).
bool IsMemoryCheckerPresent();

/// True if the environment variable is set, to any value.
bool IsEnvSet(const char* name);

} // namespace NUVZubPlatform
