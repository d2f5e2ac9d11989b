// The plain C functions as foreign callers meet them: nothing thrown when memory
// runs out, and a thread cancelled inside one leaves the library usable. The
// global operator new replaced here serves the library too (on POSIX only).
#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <CancelledThread.h>
#include <ChildProcess.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Requests of this many bytes or more fail, as on an exhausted heap.
std::atomic<std::size_t> g_failFrom{SIZE_MAX};
} // namespace

void* operator new(std::size_t size) {
    if (size >= g_failFrom.load(std::memory_order_relaxed)) throw std::bad_alloc();
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}
// The blocks come from malloc above, which GCC cannot see here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

struct FailingAllocations {
    explicit FailingAllocations(std::size_t from = 0) { g_failFrom = from; }
    ~FailingAllocations() { g_failFrom = SIZE_MAX; }
};

bcu_ResourceMonitor& Monitor() { return omi_Singleton<bcu_ResourceMonitor>::Instance(); }

// None of the six returns a result, so a call that cannot allocate is dropped:
// the caller goes on, and the mark or start is not counted.
TEST(PlainFunctionsOutOfMemory, ResourceMonitorCallsAreDropped) {
    Monitor().Reset();
    const bool savedSwitch = NUVZubUttResourceMonitor::m_logzub;
    NUVZubUttResourceMonitor::m_logzub = true;
    const std::string label(1 << 20, 'L');                // a copy of it is what fails
    constexpr std::size_t kLabelCopy = 1 << 19, kAny = 0; // which allocations fail
    const struct {
        const char* name;
        std::size_t failFrom;
        void (*call)(const char*);
    } calls[] = {
        {"Initialize", kLabelCopy, [](const char* l) { NUVZubUttResourceMonitorInitialize(l, 1); }},
        {"Mark", kLabelCopy, [](const char* l) { NUVZubUttResourceMonitorMark(l); }},
        {"ZubMark", kLabelCopy, [](const char* l) { NUVZubUttResourceMonitorZubMark(l); }},
        {"IniTimer", kLabelCopy, [](const char* l) { NUVZubUttResourceMonitorIniTimer(7, l); }},
        // Timers are made on first use: the new entry is what fails.
        {"StartTimer", kAny, [](const char*) { NUVZubUttResourceMonitorStartTimer(8, nullptr); }},
        {"StopTimer", kAny, [](const char*) { NUVZubUttResourceMonitorStopTimer(9); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        {
            FailingAllocations fail(c.failFrom);
            c.call(label.c_str()); // reaching the next line is the test
        }
        EXPECT_EQ(Monitor().MarkCount(), 0u);
        EXPECT_EQ(Monitor().TimerStarts(8), 0u);
    }
    // The monitor takes the same calls afterwards.
    NUVZubUttResourceMonitorInitialize("run", 1);
    NUVZubUttResourceMonitorMark(label.c_str());
    NUVZubUttResourceMonitorStartTimer(8, nullptr);
    EXPECT_TRUE(Monitor().IsInitialized());
    EXPECT_EQ(Monitor().MarkCount(), 1u);
    EXPECT_EQ(Monitor().TimerStarts(8), 1u);
    NUVZubUttResourceMonitor::m_logzub = savedSwitch;
    Monitor().Reset();
}

// The functions with a result say false, with a text even when the text
// itself cannot be built.
TEST(PlainFunctionsOutOfMemory, OthersReturnFalseWithAText) {
    const std::string text(1 << 20, 't');
    char message[64] = {}, buffer[64] = {};
    char* result = nullptr;
    void* glob = nullptr;
    bool checked, initialised;
    {
        FailingAllocations fail(1 << 19);
        checked = NUVZubUttPythonGlueTest_CheckString(text.c_str(), &result, message, 64);
    }
    {
        FailingAllocations fail; // the text of the failure as well
        initialised = NUVZubUttFileUtils_GlobInit("*", &glob, sizeof buffer, buffer);
    }
    EXPECT_FALSE(checked);
    EXPECT_EQ(result, nullptr);
    EXPECT_STREQ(message, "Memory allocation failed.");
    EXPECT_FALSE(initialised);
    EXPECT_STREQ(buffer, "Memory allocation failed.");
}

// A thread cancelled while GlobInit's notice waits for a reader of the full
// stderr pipe ends cancelled, and frees the report and stream locks it held:
// the same call fails properly afterwards.
TEST(PlainFunctionsCancelled, GlobInitWaitingToWriteItsNotice) {
    TempDir dir;
    const std::string pattern = dir / "missing/*";
    const ChildResult r = RunInChild([&]() -> int {
        alarm(60);
        int fds[2];
        if (pipe(fds) != 0) return 2;
        const int savedStderr = dup(2);
        dup2(fds[1], 2);
        // Full: the next write to it waits for a reader.
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        while (write(fds[1], pattern.data(), pattern.size()) > 0 || errno == EINTR) {
        }
        fcntl(fds[1], F_SETFL, 0);
        CancelledThread server([&] {
            char buffer[256];
            void* glob = nullptr;
            NUVZubUttFileUtils_GlobInit(pattern.c_str(), &glob, sizeof buffer, buffer);
        });
        if (!server.Started()) return 3;
        server.AwaitSystemCall(SYS_write, -1); // notices write through a copy of descriptor 2
        server.Cancel();
        std::thread reader([&] {
            char block[4096];
            while (read(fds[0], block, sizeof block) > 0) {
            }
        });
        const bool cancelled = server.JoinCancelled();
        char buffer[256] = {};
        void* glob = nullptr;
        const bool refused = !NUVZubUttFileUtils_GlobInit(pattern.c_str(), &glob, 256, buffer);
        dup2(savedStderr, 2);
        close(fds[1]);
        reader.join();
        if (!cancelled) return 4;
        return refused && std::strstr(buffer, "FindFirstFile") != nullptr ? 0 : 5;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

} // namespace
