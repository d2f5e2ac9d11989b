// The scope guards over memory, locks and each system's own handles.
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZub/NUVZubUttMutex.h>

#include <NUVBas/mem_Alloc.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <SystemCallFaults.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

// Sanitizer runtimes replace malloc and may keep freed blocks mapped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NUVZUB_TEST_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NUVZUB_TEST_SANITIZER_HEAP 1
#endif
#endif

namespace {

using NUVZubPlatform::Handle;

#if defined(_WIN32)
bool IsMapped(const void* block) {
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(block, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
}
Handle NewHandle() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }
bool IsOpen(Handle handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

// Through the call table: a real close of a stale handle could close another thread's new one.
int FailedClose(Handle handle) {
    fault::Scoped f(fault::kClose, ERROR_INVALID_HANDLE);
    return NUVZubPlatform::CloseHandle(handle) ? -1 : static_cast<int>(GetLastError());
}
constexpr int kInvalidHandle = ERROR_INVALID_HANDLE;
#else
bool IsMapped(const void* block) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(block) & ~(page - 1));
    return msync(start, page, MS_ASYNC) == 0; // ENOMEM once unmapped
}
Handle NewHandle() { return open("/dev/null", O_RDONLY); }
bool IsOpen(Handle fd) { return fcntl(fd, F_GETFD) != -1; }

int FailedClose(Handle fd) { // a second close
    return NUVZubPlatform::CloseHandle(fd) && !NUVZubPlatform::CloseHandle(fd) ? errno : -1;
}
constexpr int kInvalidHandle = EBADF;
#endif

struct Counts {
    int locks = 0, unlocks = 0;
    bool destroyed = false;
};

class CountingMutex final : public NUVBasAtiMutex {
public:
    explicit CountingMutex(Counts& counts) : m_counts(counts) {}
    ~CountingMutex() override { m_counts.destroyed = true; }
    void Lock() override { ++m_counts.locks; }
    void Unlock() override { ++m_counts.unlocks; }

private:
    Counts& m_counts;
};

TEST(TidyLock, ReleasesOnceEarlyAtScopeEndOrWhenAnExceptionPasses) {
    Counts counts;
    {
        NUVZubUttMutex mutex(new CountingMutex(counts));
        {
            NUVZubDod_TidyLock lock(mutex);
            EXPECT_EQ(counts.locks, 1);
            EXPECT_EQ(counts.unlocks, 0);
            lock.Unlock();
            lock.Unlock();
            EXPECT_EQ(counts.unlocks, 1);
        }
        EXPECT_EQ(counts.unlocks, 1);
        try {
            NUVZubDod_TidyLock lock(mutex);
            throw std::runtime_error("transfer failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(counts.locks, 2);
        EXPECT_EQ(counts.unlocks, 2);
        EXPECT_FALSE(counts.destroyed);
    }
    EXPECT_TRUE(counts.destroyed); // the mutex deletes the one it owns
}

TEST(Mutex, ExcludesOtherThreads) {
    NUVZubUttMutex mutex;
    long counter = 0; // unprotected but for the mutex
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            NUVZubDod_TidyLock lock(mutex);
            long seen = counter;
            std::this_thread::yield();
            counter = seen + 1;
        }
    };
    std::thread other(work);
    work();
    other.join();
    EXPECT_EQ(counter, 40000);
}

TEST(MemoryGuards, WCleanUpFreesTheRuntimeTextBufferHolderUsesTheAllocatorLibrary) {
    WCleanUp none(nullptr); // frees nothing, must not crash
#if defined(NUVZUB_TEST_SANITIZER_HEAP)
    // The leak checker sees a missing free.
    { WCleanUp text(static_cast<char16_t*>(std::malloc(64 * sizeof(char16_t)))); }
#else
    // A block this large is mapped on its own: freeing it gives its pages back to
    // the system (glibc unmaps it, the Windows heap releases its region). Above
    // 32 MiB: glibc raises its threshold for that to the size of a block freed.
    constexpr std::size_t size = 40 << 20;
    auto* text = static_cast<wchar_t*>(std::malloc(size));
    ASSERT_NE(text, nullptr);
    std::memset(text, 0, size);
    {
        WCleanUp guard(text);
        ASSERT_TRUE(IsMapped(text));
    }
    EXPECT_FALSE(IsMapped(text));
#endif
    const auto before = mem_AllocationCount();
    {
        BufferHolder buffer(4096);
        ASSERT_NE(buffer.Get(), nullptr);
        std::memset(buffer.Get(), 0x5a, 4096);
        EXPECT_EQ(mem_AllocationCount(), before + 1);
    }
    EXPECT_NE(BufferHolder(0).Get(), nullptr);
    EXPECT_THROW(BufferHolder(-1), std::bad_alloc);
}

TEST(CleanUpHandle, ClosesItsHandleOnceAndNoHandleNever) {
    Handle handle = NewHandle();
    {
        CleanUpHandle guard(handle);
        EXPECT_EQ(guard.Get(), handle);
        EXPECT_TRUE(IsOpen(handle));
    }
    EXPECT_FALSE(IsOpen(handle));
    { CleanUpHandle guard(NUVZubPlatform::kNoHandle); }
    EXPECT_TRUE(NUVZubPlatform::CloseHandle(NUVZubPlatform::kNoHandle));
#if !defined(_WIN32)
    EXPECT_NE(NUVZubPlatform::kNoHandle, 0); // descriptor 0 is a real handle
#endif
    handle = NewHandle();
    EXPECT_EQ(FailedClose(handle), kInvalidHandle) << "the system's error";
    EXPECT_FALSE(IsOpen(handle));
}

} // namespace
