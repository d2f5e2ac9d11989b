#include "Calls.h"

#include <NUVZubPlatform/Handle.h>

namespace NUVZubPlatform {

bool CloseHandle(Handle handle) {
    if (handle == kNoHandle) return true;
    return g_win32.CloseHandle(handle) != 0;
}

} // namespace NUVZubPlatform
