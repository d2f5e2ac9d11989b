#include <NUVBas/NUVBasGenericsLib.h>
#include <NUVBas/mem_Alloc.h>

namespace {
NUVBasInitCounter g_init;
}
void NUVBasGenericsLib_initialize(int& count) {
    if (g_init.Enter(count)) NUVBasLifecycle_Record("GenericsLib+");
}
void NUVBasGenericsLib_finalize(int& count) {
    if (g_init.Leave(count)) NUVBasLifecycle_Record("GenericsLib-");
}
