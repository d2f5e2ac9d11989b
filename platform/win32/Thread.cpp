// Windows ends threads without unwinding them (TerminateThread, ExitThread), so
// there is no forced unwind to let through and no cancellation to hold off.
#include <NUVZubPlatform/Thread.h>

namespace NUVZubPlatform {

void RethrowIfForcedUnwind() {}

CancellationDeferred::CancellationDeferred() {}

CancellationDeferred::~CancellationDeferred() {}

} // namespace NUVZubPlatform
