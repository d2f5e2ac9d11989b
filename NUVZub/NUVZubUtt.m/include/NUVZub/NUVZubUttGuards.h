// Scope guards: each releases what it holds on every way out of its scope,
// exceptions included. None can be copied or give up what it holds.
#pragma once

#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/Handle.h>

#include <cstddef>

/// Closes an operating-system file handle; NUVZubPlatform::kNoHandle closes nothing.
class NUVZUB_API CleanUpHandle {
public:
    explicit CleanUpHandle(NUVZubPlatform::Handle handle) : m_handle(handle) {}
    ~CleanUpHandle();
    CleanUpHandle(const CleanUpHandle&) = delete;
    CleanUpHandle& operator=(const CleanUpHandle&) = delete;

    NUVZubPlatform::Handle Get() const { return m_handle; }

private:
    NUVZubPlatform::Handle m_handle;
};

/// Frees a wide text that the runtime library allocated (malloc family); null frees nothing.
class NUVZUB_API WCleanUp {
public:
    explicit WCleanUp(std::nullptr_t) : m_text(nullptr) {}
    explicit WCleanUp(const unsigned short* text) : m_text(text) {}
    explicit WCleanUp(const char16_t* text) : m_text(text) {}
    explicit WCleanUp(const wchar_t* text) : m_text(text) {}
    ~WCleanUp();
    WCleanUp(const WCleanUp&) = delete;
    WCleanUp& operator=(const WCleanUp&) = delete;

private:
    const void* m_text;
};

/// A byte buffer from the allocator library's built-in array allocation.
class NUVZUB_API BufferHolder {
public:
    /// Throws std::bad_alloc when the buffer cannot be had (a negative size included).
    explicit BufferHolder(int size);
    ~BufferHolder();
    BufferHolder(const BufferHolder&) = delete;
    BufferHolder& operator=(const BufferHolder&) = delete;

    char* Get() const { return m_buffer; }

private:
    char* m_buffer;
};
