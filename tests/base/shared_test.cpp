#include <NUVBas/NUVBasShared.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVBas/xmp_XML.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <EnvironmentWin32.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct Tracked {
    explicit Tracked(int* deaths) : deaths(deaths) {}
    ~Tracked() { ++*deaths; }
    int* deaths;
};

// Runs body(t) on n threads that start together.
template <class Body> void OnThreads(int n, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            for (++ready; ready < n;) {
            }
            body(t);
        });
    for (auto& thread : threads)
        thread.join();
}

TEST(SharedPtr, DeletesTheObjectWithItsLastOwnerOnlyOnAnyThread) {
    int deaths = 0;
    {
        NUVBasSharedPtr<Tracked> a(new Tracked(&deaths));
        {
            NUVBasSharedPtr<Tracked> b = a;
            NUVBasSharedPtr<Tracked> c;
            c = b;
            EXPECT_EQ(a.UseCount(), 3);
        }
        EXPECT_EQ(a.UseCount(), 1);
        OnThreads(4, [&](int) {
            for (int i = 0; i < 500; ++i) // held together: no copy is optimised away
                std::vector<NUVBasSharedPtr<Tracked>> copies(1000, a);
        });
        EXPECT_EQ(a.UseCount(), 1);
        EXPECT_EQ(deaths, 0);
        a = NUVBasSharedPtr<Tracked>(new Tracked(&deaths)); // assignment releases the first
        EXPECT_EQ(deaths, 1);
    }
    EXPECT_EQ(deaths, 2);
}

NUVString ThreadFile(int t) { return NUVString(("/iostats/thread" + std::to_string(t)).c_str()); }

// Each thread opens, uses and closes records of its own: another file's open or close must
// not touch them, and each file is their only owner.
TEST(IOStats, FilesOfDifferentThreadsAreIndependent) {
    auto& stats = omi_Singleton<NUVBasUtlIOStats>::Instance();
    stats.Reset(); // totals are per process: a repeated run starts from none
    constexpr int kThreads = 8, kOpens = 200;
    std::atomic<int> badCounts{0};
    OnThreads(kThreads, [&](int t) {
        for (int i = 0; i < kOpens; ++i) {
            auto record = stats.usefile_Open(ThreadFile(t));
            for (int k = 0; k < 5; ++k) {
                stats.StartTimer(NUVBasUtlIOStats::Read);
                stats.StopTimer(10, NUVBasUtlIOStats::Read, record);
                badCounts += record.UseCount() != 1;
            }
            badCounts += stats.Totals(ThreadFile(t)).bytesRead != 50u * i + 50u;
            stats.usefile_Close(record);
            badCounts += record.UseCount() != 1;
        }
    });
    EXPECT_EQ(badCounts.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        const auto total = stats.Totals(ThreadFile(t));
        EXPECT_EQ(total.opens, static_cast<std::uint64_t>(kOpens));
        EXPECT_EQ(total.closes, static_cast<std::uint64_t>(kOpens));
        EXPECT_EQ(total.bytesRead, 50u * kOpens);
    }
}

TEST(IOStats, TotalsMayBeAskedWhileTheOwnerBooksTransfers) {
    auto& stats = omi_Singleton<NUVBasUtlIOStats>::Instance();
    stats.Reset();
    const NUVString path("/iostats/watched");
    auto record = stats.usefile_Open(path);
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        for (std::uint64_t last = 0; !done;) {
            const std::uint64_t seen = stats.Totals(path).reads;
            EXPECT_GE(seen, last); // a watcher never sees the count go back
            last = seen;
        }
    });
    for (int i = 0; i < 20000; ++i) {
        stats.StartTimer(NUVBasUtlIOStats::Read);
        stats.StopTimer(1, NUVBasUtlIOStats::Read, record);
    }
    done = true;
    monitor.join();
    EXPECT_EQ(stats.Totals(path).bytesRead, 20000u);
    stats.usefile_Close(record);
}

TEST(IOStats, BooksTransfersToTheFileUntilAndAfterClose) {
    auto& stats = omi_Singleton<NUVBasUtlIOStats>::Instance();
    stats.Reset();
    const NUVString path("/tmp/iostats-test-file");
    auto record = stats.usefile_Open(path);
    stats.StartTimer(NUVBasUtlIOStats::Read);
    stats.StopTimer(100, NUVBasUtlIOStats::Read, record);
    stats.StartTimer(NUVBasUtlIOStats::Write);
    stats.StopTimer(40, NUVBasUtlIOStats::Write, record);
    stats.StopTimer(2, NUVBasUtlIOStats::Write, record);
    NUVBasUtlIOFileStats open = stats.Totals(path);
    EXPECT_EQ(open.opens, 1u);
    EXPECT_EQ(open.reads, 1u);
    EXPECT_EQ(open.bytesRead, 100u);
    EXPECT_EQ(open.writes, 2u);
    EXPECT_EQ(open.bytesWritten, 42u);
#if !defined(_WIN32)
    // A forked child keeps the records, their lock being free.
    const pid_t child = fork();
    if (child == 0) _exit(stats.Totals(path).bytesRead == 100u ? 0 : 1);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
#endif
    stats.usefile_Close(record);
    NUVBasUtlIOFileStats closed = stats.Totals(path);
    EXPECT_EQ(closed.closes, 1u);
    EXPECT_EQ(closed.bytesWritten, 42u) << "closing keeps what was booked";
    EXPECT_EQ(&omi_Singleton<NUVBasUtlIOStats>::Instance(), &stats);
}

TEST(ResourceMonitor, RecordsMarksAndTimers) {
    auto& monitor = omi_Singleton<bcu_ResourceMonitor>::Instance();
    monitor.Reset();
    monitor.Initialize("test", 0);
    monitor.Mark("start");
    monitor.IniTimer(3, "load");
    monitor.StartTimer(3);
    monitor.StopTimer(3);
    monitor.StopTimer(3); // a stop without a start changes nothing
    monitor.StartTimer(3);
    monitor.StopTimer(3);
    EXPECT_TRUE(monitor.IsInitialized());
    EXPECT_EQ(monitor.MarkCount(), 1u);
    EXPECT_EQ(monitor.TimerStarts(3), 2u);
    EXPECT_GE(monitor.TimerSeconds(3), 0.0);
    EXPECT_EQ(monitor.TimerStarts(4), 0u);
}

TEST(Environment, TellsSetEmptyAndUnsetApartAndReadsUTF8) {
    NUVString value("stale");
    unsetenv("NUVBAS_TEST_VARIABLE");
    EXPECT_FALSE(NUVBasGetEnv("NUVBAS_TEST_VARIABLE", value));
    EXPECT_TRUE(value.IsNull());
    for (const char* text : {"", "x y", "gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80"}) {
        setenv("NUVBAS_TEST_VARIABLE", text, 1);
        EXPECT_TRUE(NUVBasGetEnv("NUVBAS_TEST_VARIABLE", value));
        EXPECT_EQ(value, NUVString(text));
    }
}

TEST(FileOps, OpensFilesByTheirUTF8Names) {
    const std::string name = "fileops-gr\xc3\xbc\xc3\x9f-\xe2\x82\xac.txt";
    std::FILE* out = NUVBasFileOps::Fopen(name.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::fputs("data", out);
    std::fclose(out);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(name))) << "its own characters";
    std::FILE* in = NUVBasFileOps::Fopen(name.c_str(), "rb");
    ASSERT_NE(in, nullptr);
    char buffer[8] = {};
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, in), 4u);
    std::fclose(in);
    EXPECT_STREQ(buffer, "data");
    std::filesystem::remove(std::filesystem::u8path(name));
    EXPECT_EQ(NUVBasFileOps::Fopen("fileops-\xff.txt", "rb"), nullptr);
}

TEST(CommandArgs, AreTheProcesssRealArguments) {
    NUVBasGetCommandArgs args;
    ASSERT_GE(args.Argc(), 1);
    EXPECT_NE(std::strstr(args.Argv()[0], "base_shared_test"), nullptr);
    EXPECT_EQ(args.Argv()[args.Argc()], nullptr);
    EXPECT_EQ(args.Argc(), static_cast<int>(testing::internal::GetArgvs().size()));
}

// Its error's place is checked through the serialisation values of the catalogue's messages.
TEST(XmlParser, FailsOnAMismatchedTag) {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    const char text[] = "<a>\n  <b></c>\n</a>";
    EXPECT_EQ(xmp_XML_Parse(parser, text, static_cast<int>(std::strlen(text)), 1), 0);
    EXPECT_STREQ(xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser)), "mismatched tag");
    xmp_XML_ParserFree(parser);
}

TEST(Allocator, CountsAndReleasesThroughOneHeapAndCountsFirstAndLastInit) {
    const auto before = mem_AllocationCount();
    int* numbers = mem_newBuiltIn<int>(8);
    numbers[7] = 7;
    mem_deleteBuiltIn(numbers);
    char* text = static_cast<char*>(mem_OperatorNewThrowBuiltin(4));
    std::memcpy(text, "abc", 4);
    mem_FreeText(text);
    EXPECT_EQ(mem_AllocationCount() - before, 2u);
    NUVBasInitCounter counter;
    int count = 10;
    EXPECT_TRUE(counter.Enter(count));
    EXPECT_FALSE(counter.Enter(count));
    EXPECT_EQ(count, 11);
    EXPECT_FALSE(counter.Leave(count));
    EXPECT_TRUE(counter.Leave(count));
    EXPECT_EQ(count, 10);
}

} // namespace
