// The system-call table in use, shared by the POSIX platform files.
#pragma once

#include <NUVZubPlatform/SystemCalls.h>

namespace NUVZubPlatform {

extern SystemCalls g_calls;

} // namespace NUVZubPlatform
