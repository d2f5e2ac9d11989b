// The system-call table in use, shared by the Windows platform files.
#pragma once

#include <NUVZubPlatform/SystemCallsWin32.h>

namespace NUVZubPlatform {

extern SystemCallsWin32 g_win32;

/// A function of the debugging help library in use, looked up at run time;
/// nullptr if that library lacks it. For the services newer than the oldest
/// dbghelp.dll an application may ship beside itself, which would keep this
/// library from loading at all if imported.
FARPROC DbgHelpProcedure(const char* name);

} // namespace NUVZubPlatform
