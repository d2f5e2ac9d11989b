// The system-call table in use, shared by the Windows platform files.
#pragma once

#include <NUVZubPlatform/SystemCallsWin32.h>

namespace NUVZubPlatform {

extern SystemCallsWin32 g_win32;

} // namespace NUVZubPlatform
