#include <NUVZub/NUVZubUttGuards.h>

#include <NUVBas/mem_Alloc.h>

#include <cstdint>
#include <cstdlib>
#include <new>

CleanUpHandle::~CleanUpHandle() {
    // Nothing to report to from a destructor; a failed close leaves errno set.
    NUVZubPlatform::CloseHandle(m_handle);
}

WCleanUp::~WCleanUp() { std::free(const_cast<void*>(m_text)); }

namespace {
char* AllocateBuffer(int size) {
    // A negative size widened to 64 bits asks for an impossible amount; refuse
    // it as operator new[] would rather than handing it to the allocator.
    if (size < 0) throw std::bad_array_new_length();
    return mem_newBuiltIn<char>(static_cast<std::size_t>(static_cast<std::int64_t>(size)));
}
} // namespace

BufferHolder::BufferHolder(int size) : m_buffer(AllocateBuffer(size)) {}

BufferHolder::~BufferHolder() { mem_deleteBuiltIn(m_buffer); }
