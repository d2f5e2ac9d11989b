// The operating system's handle to an open file, and its release.
#pragma once

#include <NUVZubPlatform/Export.h>

namespace NUVZubPlatform {

#if defined(_WIN32)
using Handle = void*; ///< a kernel HANDLE
#else
using Handle = int; ///< a file descriptor
#endif

/// The value that holds no handle; closing it does nothing.
#if defined(_WIN32)
inline constexpr Handle kNoHandle = nullptr;
#else
inline constexpr Handle kNoHandle = -1;
#endif

/// Closes `handle`; true on success. Closing kNoHandle does nothing and
/// returns true. On failure errno (POSIX) or the last error (Windows) says why.
NUVZUB_API bool CloseHandle(Handle handle);

} // namespace NUVZubPlatform
