#include <NUVBas/NUVBasShared.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVBas/xmp_XML.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Tracked {
    explicit Tracked(int* deaths) : deaths(deaths) {}
    ~Tracked() { ++*deaths; }
    int* deaths;
};

TEST(SharedPtr, DeletesTheObjectWithItsLastOwnerOnly) {
    int deaths = 0;
    {
        NUVBasSharedPtr<Tracked> a(new Tracked(&deaths));
        {
            NUVBasSharedPtr<Tracked> b = a;
            EXPECT_EQ(a.UseCount(), 2);
            NUVBasSharedPtr<Tracked> c;
            c = b;
            EXPECT_EQ(a.UseCount(), 3);
        }
        EXPECT_EQ(deaths, 0);
        EXPECT_EQ(a.UseCount(), 1);
        a = NUVBasSharedPtr<Tracked>(new Tracked(&deaths)); // assignment releases the first
        EXPECT_EQ(deaths, 1);
    }
    EXPECT_EQ(deaths, 2);
}

TEST(IOStats, BooksTransfersToTheFileUntilAndAfterClose) {
    auto& stats = omi_Singleton<NUVBasUtlIOStats>::Instance();
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

TEST(Environment, TellsSetEmptyAndUnsetApart) {
    NUVString value("stale");
    unsetenv("NUVBAS_TEST_VARIABLE");
    EXPECT_FALSE(NUVBasGetEnv("NUVBAS_TEST_VARIABLE", value));
    EXPECT_TRUE(value.IsNull());
    setenv("NUVBAS_TEST_VARIABLE", "", 1);
    EXPECT_TRUE(NUVBasGetEnv("NUVBAS_TEST_VARIABLE", value));
    setenv("NUVBAS_TEST_VARIABLE", "x y", 1);
    EXPECT_TRUE(NUVBasGetEnv("NUVBAS_TEST_VARIABLE", value));
    EXPECT_EQ(value, NUVString("x y"));
}

TEST(CommandArgs, AreTheProcesssRealArguments) {
    NUVBasGetCommandArgs args;
    ASSERT_GE(args.Argc(), 1);
    EXPECT_NE(std::strstr(args.Argv()[0], "base_shared_test"), nullptr);
    EXPECT_EQ(args.Argv()[args.Argc()], nullptr);
}

TEST(XmlParser, ReportsExpatsErrorPosition) {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    const char text[] = "<a>\n  <b></c>\n</a>";
    EXPECT_EQ(xmp_XML_Parse(parser, text, static_cast<int>(std::strlen(text)), 1), 0);
    EXPECT_EQ(xmp_XML_GetErrorCode(parser), XML_ERROR_TAG_MISMATCH);
    EXPECT_STREQ(xmp_XML_ErrorString(xmp_XML_GetErrorCode(parser)), "mismatched tag");
    EXPECT_EQ(xmp_XML_GetCurrentLineNumber(parser), 2);
    EXPECT_EQ(xmp_XML_GetCurrentColumnNumber(parser), 7);
    xmp_XML_ParserFree(parser);
}

TEST(Allocator, CountsAndReleasesThroughOneHeap) {
    const auto before = mem_AllocationCount();
    int* numbers = mem_newBuiltIn<int>(8);
    numbers[7] = 7;
    mem_deleteBuiltIn(numbers);
    char* text = static_cast<char*>(mem_OperatorNewThrowBuiltin(4));
    std::memcpy(text, "abc", 4);
    mem_FreeText(text);
    EXPECT_EQ(mem_AllocationCount() - before, 2u);
}

TEST(InitCounter, CountsFirstAndLastOnly) {
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
