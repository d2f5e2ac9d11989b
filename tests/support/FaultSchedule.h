// When an injected system-call fault strikes: after a number of calls that
// pass, a number of times. SystemCallFaults.h and SystemCallFaultsWin32.h set
// each system's error on top.
#pragma once

namespace fault {

inline int g_skip = 0;      ///< calls that pass before the first failure
inline int g_failures = -1; ///< failures before calls pass again; -1 for ever
inline int g_failed = 0;    ///< failures injected so far

/// True if this call is to fail.
inline bool Due() {
    if (g_skip > 0) {
        --g_skip;
        return false;
    }
    if (g_failures == 0) return false;
    if (g_failures > 0) --g_failures;
    ++g_failed;
    return true;
}

/// Starts a schedule: `skip` passing calls, then `failures` failures.
inline void Schedule(int skip, int failures) {
    g_skip = skip;
    g_failures = failures;
    g_failed = 0;
}

} // namespace fault
