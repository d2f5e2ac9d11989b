// The scope guards over memory and locks; the handle guards are tested over
// each system's own handles (guards_posix_test, guards_win32_test).
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZub/NUVZubUttMutex.h>

#include <NUVBas/mem_Alloc.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#if defined(_WIN32)
#include <WindowsApi.h>
#else
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

struct Counts {
    int locks = 0;
    int unlocks = 0;
    bool destroyed = false;
};

/// Records every call so a test can see how often the lock was taken and released.
class CountingMutex final : public NUVBasAtiMutex {
public:
    explicit CountingMutex(Counts& counts) : m_counts(counts) {}
    ~CountingMutex() override { m_counts.destroyed = true; }
    void Lock() override { ++m_counts.locks; }
    void Unlock() override { ++m_counts.unlocks; }

private:
    Counts& m_counts;
};

TEST(TidyLock, EarlyUnlockReleasesExactlyOnce) {
    Counts counts;
    NUVZubUttMutex mutex(new CountingMutex(counts));
    {
        NUVZubDod_TidyLock lock(mutex);
        EXPECT_EQ(counts.locks, 1);
        EXPECT_EQ(counts.unlocks, 0);
        lock.Unlock();
        EXPECT_EQ(counts.unlocks, 1);
        lock.Unlock();
    }
    EXPECT_EQ(counts.locks, 1);
    EXPECT_EQ(counts.unlocks, 1);
}

TEST(TidyLock, ReleasesAtScopeEndAndWhenAnExceptionPasses) {
    Counts counts;
    NUVZubUttMutex mutex(new CountingMutex(counts));
    { NUVZubDod_TidyLock lock(mutex); }
    EXPECT_EQ(counts.unlocks, 1);
    try {
        NUVZubDod_TidyLock lock(mutex);
        throw std::runtime_error("transfer failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(counts.locks, 2);
    EXPECT_EQ(counts.unlocks, 2);
}

TEST(Mutex, DeletesTheMutexItOwns) {
    Counts counts;
    { NUVZubUttMutex mutex(new CountingMutex(counts)); }
    EXPECT_TRUE(counts.destroyed);
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
            if (i % 1000 == 0) std::this_thread::yield();
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

// A block this large is mapped on its own: freeing it gives its pages back to
// the system (glibc unmaps it, the Windows heap releases its region).
constexpr std::size_t kOwnMappingSize = 8 << 20;

bool IsMapped(const void* block) {
#if defined(_WIN32)
    MEMORY_BASIC_INFORMATION info;
    return VirtualQuery(block, &info, sizeof info) == sizeof info && info.State == MEM_COMMIT;
#else
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(block) & ~(page - 1));
    return msync(start, page, MS_ASYNC) == 0; // ENOMEM once unmapped
#endif
}

TEST(WCleanUp, FreesTheRuntimeText) {
    WCleanUp none(nullptr); // frees nothing, must not crash
#if defined(NUVZUB_TEST_SANITIZER_HEAP)
    // The leak checker sees a missing free.
    { WCleanUp text(static_cast<char16_t*>(std::malloc(64 * sizeof(char16_t)))); }
#else
    auto* text = static_cast<wchar_t*>(std::malloc(kOwnMappingSize));
    ASSERT_NE(text, nullptr);
    std::memset(text, 0, kOwnMappingSize);
    {
        WCleanUp guard(text);
        ASSERT_TRUE(IsMapped(text));
    }
    EXPECT_FALSE(IsMapped(text));
#endif
}

TEST(BufferHolder, AllocatesFromTheAllocatorLibrary) {
    const auto before = mem_AllocationCount();
    {
        BufferHolder buffer(4096);
        ASSERT_NE(buffer.Get(), nullptr);
        std::memset(buffer.Get(), 0x5a, 4096);
        EXPECT_EQ(mem_AllocationCount(), before + 1);
    }
    BufferHolder empty(0);
    EXPECT_NE(empty.Get(), nullptr);
}

TEST(BufferHolder, RefusesANegativeSize) { EXPECT_THROW(BufferHolder(-1), std::bad_alloc); }

} // namespace
