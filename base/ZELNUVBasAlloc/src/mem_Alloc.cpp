#include <NUVBas/mem_Alloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
std::atomic<std::uint64_t> g_allocations{0};

void* AllocateOrThrow(std::size_t size) {
    void* pointer = std::malloc(size == 0 ? 1 : size);
    if (pointer == nullptr) throw std::bad_alloc();
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return pointer;
}

NUVBasInitCounter g_init;

constexpr std::size_t kLogCapacity = 512;
char g_log[kLogCapacity];
std::size_t g_logLength = 0;
} // namespace

void* mem_OperatorNewThrow(std::size_t size) { return AllocateOrThrow(size); }
void* mem_OperatorNewTinyThrow(std::size_t size) { return AllocateOrThrow(size); }
void* mem_OperatorNewThrowBuiltin(std::size_t size) { return AllocateOrThrow(size); }
void mem_Free(void* pointer) { std::free(pointer); }
std::uint64_t mem_AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }

void __global_delete(void* pointer, std::size_t) { ::operator delete(pointer); }
void __global_array_delete(void* pointer, std::size_t) { ::operator delete[](pointer); }

extern "C" void mem_FreeText(char* text) { mem_Free(text); }

void NUVBasLifecycle_Record(const char* event) {
    std::size_t length = std::strlen(event);
    if (g_logLength + length + 2 > kLogCapacity) return;
    if (g_logLength != 0) g_log[g_logLength++] = ' ';
    std::memcpy(g_log + g_logLength, event, length);
    g_logLength += length;
    g_log[g_logLength] = '\0';
}
const char* NUVBasLifecycle_Log() { return g_log; }
void NUVBasLifecycle_Clear() {
    g_logLength = 0;
    g_log[0] = '\0';
}

void NUVBasAlloc_initialize(int& count) {
    if (g_init.Enter(count)) NUVBasLifecycle_Record("Alloc+");
}
void NUVBasAlloc_finalize(int& count) {
    if (g_init.Leave(count)) NUVBasLifecycle_Record("Alloc-");
}
