// File-header comparison: unit-test assertions counted and reported through the
// monitor, and the listing of the actual bytes on stderr when a check fails.
#include <NUVZub/NUVZubFileHeaderDiff.h>

#include <TempDir.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const char kSource[] = "NUVZub/NUVZubUtt.m/src/NUVZubFileHeaderDiff";
const char kOpen[] = "fp != 0";
const char kRead[] = "size_read == file_length && \"Header read failed.\"";
const char kLength[] = "passedLength && \"Header validation failed length.\"";
const char kMatch[] = "passed && \"Header validation failed match.\"";

// Keeps the reports instead of printing them.
class RecordingMonitor : public uts_UnitTestMonitor {
public:
    void reportFailure(const char* file, int line, const char* expression) override {
        failures.push_back(expression);
        EXPECT_STREQ(file, kSource);
        EXPECT_GT(line, 0);
    }
    void reportTrace(const char* file, int line, const char* expression) override {
        traces.push_back(expression);
        EXPECT_STREQ(file, kSource);
        EXPECT_GT(line, 0);
    }
    std::vector<std::string> failures;
    std::vector<std::string> traces;
};

class HeaderTest : public NUVZubFileHeaderDiff {
public:
    using NUVZubFileHeaderDiff::NUVZubFileHeaderDiff;
    using NUVZubFileHeaderDiff::ValidateHeader;
};

class HeaderDiff : public ::testing::Test {
protected:
    std::string Write(const Bytes& bytes) {
        return dir.Write("header.bin", std::string(bytes.begin(), bytes.end()));
    }

    // Runs the check and returns what it wrote to stderr.
    std::string Validate(const std::string& path, const Bytes& expected, int verbose = 0,
                         RecordingMonitor* monitor = nullptr) {
        HeaderTest test(monitor ? *monitor : m_monitor, verbose);
        ::testing::internal::CaptureStderr();
        test.ValidateHeader(path.c_str(), "my header", expected.data(),
                            static_cast<int>(expected.size()));
        return ::testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    RecordingMonitor m_monitor;
};

const Bytes kEdgeBytes = {0x00, 0x7F, 0x80, 0xFF};

// Each row: the file's bytes (none: no file), the header's, the listing on stderr,
// the assertions counted and the failures recorded. A failed length skips the content.
TEST_F(HeaderDiff, LengthThenContentListingTheActualBytesOnFailure) {
    Bytes large(300), largeExpected;
    std::string listing = "0";
    for (std::size_t i = 1; i < large.size(); ++i) {
        large[i] = static_cast<unsigned char>(i);
        listing += "," + std::to_string(large[i]);
    }
    largeExpected = large;
    largeExpected.back() = 0;
    const Bytes longer = {0x00, 0x7F, 0x80, 0xFF, 1};
    const struct {
        std::optional<Bytes> actual;
        Bytes expected;
        std::string err;
        int asserts;
        std::vector<std::string> failures;
    } cases[] = {
        {kEdgeBytes, kEdgeBytes, "", 4, {}},
        {longer, kEdgeBytes, "my header\nActual length: 5\n0,127,128,255,1\n", 3, {kLength}},
        {Bytes{0xFF, 0x80}, kEdgeBytes, "my header\nActual length: 2\n255,128\n", 3, {kLength}},
        {Bytes{0x00, 0x7F, 0x81, 0xFF},
         kEdgeBytes,
         "my header\nActual length: 4\n0,127,129,255\n",
         4,
         {kMatch}},
        {Bytes{}, {}, "", 4, {}},
        {Bytes{}, {1, 2, 3}, "my header\nActual length: 0\n", 3, {kLength}},
        {large, largeExpected, "my header\nActual length: 300\n" + listing + "\n", 4, {kMatch}},
        {std::nullopt, kEdgeBytes, "", 1, {kOpen}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        RecordingMonitor monitor;
        const std::string path = c.actual ? Write(*c.actual) : dir / "absent.bin";
        EXPECT_EQ(Validate(path, c.expected, 0, &monitor), c.err);
        EXPECT_EQ(monitor.getUnitAssertCount(), c.asserts);
        EXPECT_EQ(monitor.getUnitAssertFailureCount(), static_cast<int>(c.failures.size()));
        EXPECT_EQ(monitor.failures, c.failures);
        EXPECT_TRUE(monitor.traces.empty());
    }
}

TEST_F(HeaderDiff, UnreadableFileFailsTheReadWithoutCrashing) {
    const std::string err = Validate(dir.Path(), kEdgeBytes);
#if defined(_WIN32)
    // Windows opens no directory as a file: only the failed open is recorded.
    EXPECT_EQ(err, "");
    EXPECT_EQ(m_monitor.failures, std::vector<std::string>{kOpen});
#else
    // A directory opens for reading on POSIX but yields no bytes.
    EXPECT_EQ(err, "my header\nActual length: 0\n");
    ASSERT_GE(m_monitor.failures.size(), 1u);
    EXPECT_EQ(m_monitor.failures.front(), kRead);
#endif
}

TEST_F(HeaderDiff, VerbosityAboveOneTracesEveryAssertion) {
    const std::string path = Write(kEdgeBytes);
    Validate(path, kEdgeBytes, 1);
    EXPECT_TRUE(m_monitor.traces.empty());
    Validate(path, kEdgeBytes, 2);
    EXPECT_EQ(m_monitor.traces, (std::vector<std::string>{kOpen, kRead, kLength, kMatch}));
    m_monitor.traces.clear();
    Validate(path, {0x00}, 2);
    EXPECT_EQ(m_monitor.traces, (std::vector<std::string>{kOpen, kRead, kLength}));
}

} // namespace
