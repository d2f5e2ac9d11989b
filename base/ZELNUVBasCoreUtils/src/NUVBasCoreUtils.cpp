#include <NUVBas/NUVBasAtiThreadingModel.h>
#include <NUVBas/NUVBasException.h>

#include <mutex>

namespace {
class StdMutex final : public NUVBasAtiMutex {
public:
    void Lock() override { m_mutex.lock(); }
    void Unlock() override { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

NUVBasInitCounter g_init;
} // namespace

NUVBasAtiMutex::~NUVBasAtiMutex() = default;

NUVBasAtiMutex* NUVBasAtiThreadingModel::newMutex() { return new StdMutex; }

void NUVBasCoreUtils_initialize(int& count) {
    if (g_init.Enter(count)) NUVBasLifecycle_Record("CoreUtils+");
}
void NUVBasCoreUtils_finalize(int& count) {
    if (g_init.Leave(count)) NUVBasLifecycle_Record("CoreUtils-");
}
