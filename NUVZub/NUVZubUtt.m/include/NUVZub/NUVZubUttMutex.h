// The library's one lock type and its scoped holder.
#pragma once

#include <NUVBas/NUVBasAtiThreadingModel.h>
#include <NUVZubPlatform/Export.h>

/// Owns a mutex of the core library's threading model (not recursive: a thread
/// must not lock it twice).
class NUVZUB_API NUVZubUttMutex {
public:
    NUVZubUttMutex();
    /// Takes ownership of a mutex made elsewhere (another kind, or a test's).
    explicit NUVZubUttMutex(NUVBasAtiMutex* adopted);
    ~NUVZubUttMutex();
    NUVZubUttMutex(const NUVZubUttMutex&) = delete;
    NUVZubUttMutex& operator=(const NUVZubUttMutex&) = delete;

    /// Blocks until acquired.
    void Lock();
    void Unlock();

private:
    NUVBasAtiMutex* m_mutex;
};

/// Holds a mutex from construction until Unlock() or the end of its scope,
/// whichever comes first; the mutex is released exactly once.
class NUVZUB_API NUVZubDod_TidyLock {
public:
    explicit NUVZubDod_TidyLock(NUVZubUttMutex& mutex);
    ~NUVZubDod_TidyLock();
    NUVZubDod_TidyLock(const NUVZubDod_TidyLock&) = delete;
    NUVZubDod_TidyLock& operator=(const NUVZubDod_TidyLock&) = delete;

    /// Releases early; later calls do nothing.
    void Unlock();

private:
    NUVZubUttMutex* m_mutex;
};
