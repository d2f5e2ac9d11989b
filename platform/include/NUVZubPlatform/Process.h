// Process services of the platform layer: stack capture, symbols, modules and
// the environment. One implementation per platform.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <cstddef>

namespace NUVZubPlatform {

/// Return addresses of the calling thread's stack, innermost first. Frame 0 is
/// the caller of CaptureStack; the first `skip` frames are left out.
/// Returns how many were stored (at most `capacity`).
NUVZUB_KEEP_FRAME int CaptureStack(int skip, void** frames, int capacity);

/// Held while a report is written. Reports and symbol look-ups of the whole
/// process take turns (one thread may nest them); writes to a pipe whose reader
/// has gone raise no signal on the holding thread. Usable at any time: during
/// static initialisation and destruction, and in forked children.
class ReportScope {
public:
    ReportScope();
    ~ReportScope();
    ReportScope(const ReportScope&) = delete;
    ReportScope& operator=(const ReportScope&) = delete;

private:
    alignas(8) unsigned char m_savedSignals[128]; ///< the thread's signal mask before
    bool m_pipeSignalWasPending = false;
};

/// Reads the list of loaded modules once; modules loaded later stay unknown.
/// False if the symbol handler could not be started.
bool StartSymbolHandler();

/// Demangled name, without its parameter list, of the function holding the
/// return address `address`; false if there is none. Works on any thread's
/// stack, however small: the heavy look-ups move to a helper thread there.
bool SymbolForAddress(void* address, char* name, std::size_t capacity);

/// Source file and line of the call that `address` returns from; false if unknown.
bool LineForAddress(void* address, char* file, std::size_t capacity, int& line);

/// Releases the symbol session and the frame cache (at unload); a later look-up
/// starts them again. Safe when they were never started.
void StopSymbolHandler();

/// True if a memory-checking tool (Valgrind) runs this process.
bool IsMemoryCheckerPresent();

/// True if the environment variable is set, to any value.
bool IsEnvSet(const char* name);

} // namespace NUVZubPlatform
