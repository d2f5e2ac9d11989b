// Threading model of the core-utilities library: the mutex the family uses.
#pragma once

#include <NUVBas/NUVBasExport.h>

class NUVBAS_CORE_API NUVBasAtiMutex {
public:
    virtual ~NUVBasAtiMutex();
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

class NUVBAS_CORE_API NUVBasAtiThreadingModel {
public:
    /// A new, unlocked, non-recursive mutex; the caller deletes it.
    static NUVBasAtiMutex* newMutex();
};
