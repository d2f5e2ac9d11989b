// Allocator library: the heap behind every class-specific operator new of the
// family, with a live-allocation counter that tests and benchmarks read.
#pragma once

#include <NUVBas/NUVBasExport.h>

#include <cstddef>
#include <cstdint>

NUVBAS_ALLOC_API void* mem_OperatorNewThrow(std::size_t size);
NUVBAS_ALLOC_API void* mem_OperatorNewTinyThrow(std::size_t size);
NUVBAS_ALLOC_API void* mem_OperatorNewThrowBuiltin(std::size_t size);
NUVBAS_ALLOC_API void mem_Free(void* pointer);

/// Number of allocations made through this library since the process started.
NUVBAS_ALLOC_API std::uint64_t mem_AllocationCount();

/// Base for classes whose heap objects come from the allocator library.
class NUVBAS_ALLOC_API mem_AllocationOperators {
public:
    static void* operator new(std::size_t size) { return mem_OperatorNewThrow(size); }
    static void* operator new[](std::size_t size) { return mem_OperatorNewThrow(size); }
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void* pointer) { mem_Free(pointer); }
    static void operator delete[](void* pointer) { mem_Free(pointer); }
    static void operator delete(void*, void*) noexcept {}
};

/// The same for many small, short-lived objects.
class NUVBAS_ALLOC_API mem_AllocationOperatorsTiny {
public:
    static void* operator new(std::size_t size) { return mem_OperatorNewTinyThrow(size); }
    static void* operator new(std::size_t, void* place) noexcept { return place; }
    static void operator delete(void* pointer) { mem_Free(pointer); }
    static void operator delete(void*, void*) noexcept {}
};

/// Arrays of built-in types from the allocator library; release with mem_deleteBuiltIn.
template <class T> T* mem_newBuiltIn(std::size_t count) {
    return static_cast<T*>(mem_OperatorNewThrowBuiltin(count * sizeof(T)));
}
template <class T> void mem_deleteBuiltIn(T* pointer) { mem_Free(pointer); }

/// Release of what a global delete expression destroys (sized forms).
NUVBAS_ALLOC_API void __global_delete(void* pointer, std::size_t size);
NUVBAS_ALLOC_API void __global_array_delete(void* pointer, std::size_t size);

extern "C" {
/// Releases a text that the family's libraries handed to a foreign (C, ctypes) caller.
NUVBAS_ALLOC_API void mem_FreeText(char* text);
}

NUVBAS_ALLOC_API void NUVBasAlloc_initialize(int& count);
NUVBAS_ALLOC_API void NUVBasAlloc_finalize(int& count);

/// Start-up trace shared by the base libraries: each first initialisation and
/// last finalisation appends "<Library>+" or "<Library>-", so a test can see the
/// order in which a client ran the chain.
NUVBAS_ALLOC_API void NUVBasLifecycle_Record(const char* event);
/// The events so far, separated by blanks; bounded, oldest kept.
NUVBAS_ALLOC_API const char* NUVBasLifecycle_Log();
NUVBAS_ALLOC_API void NUVBasLifecycle_Clear();

/// The shared protocol of every `…_initialize` / `…_finalize` pair: nested calls
/// only count; `count` grows by one on a first initialisation and shrinks by one
/// on the last finalisation.
struct NUVBasInitCounter {
    int depth = 0;
    bool Enter(int& count) {
        if (depth++ != 0) return false;
        ++count;
        return true;
    }
    bool Leave(int& count) {
        if (--depth != 0) return false;
        --count;
        return true;
    }
};
