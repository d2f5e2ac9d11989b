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

/// Reads the list of loaded modules once; modules loaded later stay unknown.
/// False if the symbol handler could not be started.
bool StartSymbolHandler();

/// Demangled name, without its parameter list, of the function holding the
/// return address `address`; false if there is none.
bool SymbolForAddress(void* address, char* name, std::size_t capacity);

/// Source file and line of the call that `address` returns from; false if unknown.
bool LineForAddress(void* address, char* file, std::size_t capacity, int& line);

/// True if a memory-checking tool (Valgrind) runs this process.
bool IsMemoryCheckerPresent();

/// True if the environment variable is set, to any value.
bool IsEnvSet(const char* name);

} // namespace NUVZubPlatform
