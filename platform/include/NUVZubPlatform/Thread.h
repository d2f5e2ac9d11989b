// Thread cancellation as the library meets it. A POSIX thread that is cancelled
// or calls pthread_exit unwinds by a forced unwind: an exception that every
// frame must let through (swallowing it aborts the process) and that may start
// at any cancellation point (read, write, open, close, waits). Windows has no
// such unwind: there both are no-ops.
#pragma once

namespace NUVZubPlatform {

/// Called first in a catch (...) that does not rethrow: lets a forced unwind
/// go on and returns for any other exception. Only inside a handler.
void RethrowIfForcedUnwind();

/// Holds off cancellation of the calling thread for its lifetime, for a scope
/// that must finish what it starts (a close, a report, a library's internal
/// state) or that may not throw (a destructor, a callback from C). A
/// cancellation requested meanwhile is acted on at the next cancellation
/// point after the scope. Nests. Assumes deferred cancellation, the default:
/// asynchronous cancellation suits no C++ code.
class CancellationDeferred {
public:
    CancellationDeferred();
    ~CancellationDeferred();
    CancellationDeferred(const CancellationDeferred&) = delete;
    CancellationDeferred& operator=(const CancellationDeferred&) = delete;

private:
    int m_previous = 0; ///< the state the scope restores
};

} // namespace NUVZubPlatform
