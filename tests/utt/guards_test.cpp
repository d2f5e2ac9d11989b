#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZub/NUVZubUttMutex.h>

#include <NUVBas/mem_Alloc.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <stdexcept>
#include <thread>
#include <unistd.h>

// Sanitizer runtimes replace malloc and keep no heap statistics.
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

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(CleanUpHandle, ClosesItsHandle) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        CleanUpHandle guard(fd);
        EXPECT_EQ(guard.Get(), fd);
        EXPECT_TRUE(IsOpen(fd));
    }
    EXPECT_FALSE(IsOpen(fd));
}

TEST(CleanUpHandle, NoHandleClosesNothing) {
    errno = 0;
    { CleanUpHandle guard(NUVZubPlatform::kNoHandle); }
    // A close(-1) would have set EBADF.
    EXPECT_EQ(errno, 0);
    // Descriptor 0 is a real handle, not "none": it must not be confused with null.
    EXPECT_NE(NUVZubPlatform::kNoHandle, 0);
}

TEST(PlatformHandle, ReportsAFailedClose) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(NUVZubPlatform::CloseHandle(fd));
    EXPECT_FALSE(NUVZubPlatform::CloseHandle(fd));
    EXPECT_EQ(errno, EBADF);
}

TEST(WCleanUp, FreesTheRuntimeText) {
    WCleanUp none(nullptr); // frees nothing, must not crash
#if defined(NUVZUB_TEST_SANITIZER_HEAP)
    // The leak checker sees a missing free.
    { WCleanUp text(static_cast<char16_t*>(std::malloc(64 * sizeof(char16_t)))); }
#else
    // A block this large is mapped on its own, so the statistics show its release.
    const std::size_t size = 8 << 20;
    const std::size_t before = mallinfo2().hblkhd;
    {
        auto* text = static_cast<wchar_t*>(std::malloc(size));
        ASSERT_NE(text, nullptr);
        std::memset(text, 0, size);
        WCleanUp guard(text);
        ASSERT_GE(mallinfo2().hblkhd, before + size);
    }
    EXPECT_LT(mallinfo2().hblkhd, before + size);
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
