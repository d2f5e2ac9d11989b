#include <NUVZubPlatform/Handle.h>

#include <cerrno>
#include <unistd.h>

namespace NUVZubPlatform {

bool CloseHandle(Handle handle) {
    if (handle == kNoHandle) return true;
    // Linux releases the descriptor even when close is interrupted, so a retry
    // could close a descriptor another thread has just been given.
    return ::close(handle) == 0 || errno == EINTR;
}

} // namespace NUVZubPlatform
