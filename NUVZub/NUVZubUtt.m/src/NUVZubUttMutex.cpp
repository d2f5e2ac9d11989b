#include <NUVZub/NUVZubUttMutex.h>

NUVZubUttMutex::NUVZubUttMutex() : m_mutex(NUVBasAtiThreadingModel::newMutex()) {}

NUVZubUttMutex::NUVZubUttMutex(NUVBasAtiMutex* adopted) : m_mutex(adopted) {}

NUVZubUttMutex::~NUVZubUttMutex() {
    delete m_mutex;
    m_mutex = nullptr;
}

void NUVZubUttMutex::Lock() { m_mutex->Lock(); }

void NUVZubUttMutex::Unlock() { m_mutex->Unlock(); }

NUVZubDod_TidyLock::NUVZubDod_TidyLock(NUVZubUttMutex& mutex) : m_mutex(&mutex) { mutex.Lock(); }

NUVZubDod_TidyLock::~NUVZubDod_TidyLock() { Unlock(); }

void NUVZubDod_TidyLock::Unlock() {
    if (m_mutex == nullptr) return;
    m_mutex->Unlock();
    m_mutex = nullptr;
}
