// Cancellation over POSIX threads: the C library cancels and exits threads by
// a forced unwind, which the C++ runtime names abi::__forced_unwind.
#include <NUVZubPlatform/Thread.h>

#include <cxxabi.h>
#include <pthread.h>

namespace NUVZubPlatform {

void RethrowIfForcedUnwind() {
    try {
        throw;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

CancellationDeferred::CancellationDeferred() {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &m_previous);
}

CancellationDeferred::~CancellationDeferred() {
    int ignored;
    pthread_setcancelstate(m_previous, &ignored);
}

} // namespace NUVZubPlatform
