#include <NUVZubPlatform/Handle.h>
#include <NUVZubPlatform/Thread.h>

#include <cerrno>
#include <unistd.h>

namespace NUVZubPlatform {

bool CloseHandle(Handle handle) {
    if (handle == kNoHandle) return true;
    const CancellationDeferred deferred; // as every close of the layer
    // Linux releases the descriptor even when close is interrupted, so a retry
    // could close a descriptor another thread has just been given.
    return ::close(handle) == 0 || errno == EINTR;
}

} // namespace NUVZubPlatform
