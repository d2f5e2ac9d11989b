// The core-utilities library's Windows services, kept apart so that only one
// source sees the system headers.
#pragma once

#include <cstddef>

namespace NUVBasWin32 {

/// The system's message for a GetLastError code, as UTF-8 without the line end,
/// or "Unknown error N" when the message table has none; always terminated.
void SystemMessage(unsigned long code, char* text, std::size_t capacity);

} // namespace NUVBasWin32
