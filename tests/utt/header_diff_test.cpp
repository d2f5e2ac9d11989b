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
using Texts = std::vector<std::string>;

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
    Texts failures, traces;
};

class HeaderTest : public NUVZubFileHeaderDiff {
public:
    using NUVZubFileHeaderDiff::NUVZubFileHeaderDiff;
    using NUVZubFileHeaderDiff::ValidateHeader;
};

// The file's bytes (none: no file), the header's and the verbosity; then the
// actual length and bytes listed on stderr after "Actual length: " (nothing when
// the check passed), the assertions counted, the failures and traces recorded.
struct Case {
    std::optional<Bytes> actual;
    Bytes expected;
    int verbose;
    std::string listing;
    int asserts;
    Texts failures, traces;
};

void Check(const std::string& path, const Case& c) {
    RecordingMonitor monitor;
    HeaderTest test(monitor, c.verbose);
    ::testing::internal::CaptureStderr();
    test.ValidateHeader(path.c_str(), "my header", c.expected.data(),
                        static_cast<int>(c.expected.size()));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              c.listing.empty() ? "" : "my header\nActual length: " + c.listing);
    EXPECT_EQ(monitor.getUnitAssertCount(), c.asserts);
    EXPECT_EQ(monitor.getUnitAssertFailureCount(), static_cast<int>(c.failures.size()));
    EXPECT_EQ(monitor.failures, c.failures);
    EXPECT_EQ(monitor.traces, c.traces);
}

const Bytes kEdge = {0x00, 0x7F, 0x80, 0xFF};

// A failed length skips the content; a verbosity above one traces every
// assertion; an unreadable file fails without a crash.
TEST(HeaderDiff, LengthThenContentListingTheActualBytesOnFailure) {
    Bytes large(300);
    std::string listing = "300\n0";
    for (std::size_t i = 1; i < large.size(); ++i) {
        large[i] = static_cast<unsigned char>(i);
        listing += "," + std::to_string(large[i]);
    }
    Bytes largeExpected = large;
    largeExpected.back() = 0;
    const Case cases[] = {
        {kEdge, kEdge, 0, "", 4, {}, {}},
        {Bytes{0x00, 0x7F, 0x80, 0xFF, 1}, kEdge, 0, "5\n0,127,128,255,1\n", 3, {kLength}, {}},
        {Bytes{0xFF, 0x80}, kEdge, 0, "2\n255,128\n", 3, {kLength}, {}},
        {Bytes{0x00, 0x7F, 0x81, 0xFF}, kEdge, 0, "4\n0,127,129,255\n", 4, {kMatch}, {}},
        {Bytes{}, {}, 0, "", 4, {}, {}},
        {Bytes{}, {1, 2, 3}, 0, "0\n", 3, {kLength}, {}},
        {large, largeExpected, 0, listing + "\n", 4, {kMatch}, {}},
        {std::nullopt, kEdge, 0, "", 1, {kOpen}, {}},
        {kEdge, kEdge, 1, "", 4, {}, {}},
        {kEdge, kEdge, 2, "", 4, {}, {kOpen, kRead, kLength, kMatch}},
        {kEdge, {0x00}, 2, "4\n0,127,128,255\n", 3, {kLength}, {kOpen, kRead, kLength}},
    };
    const TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const std::string bytes = c.actual ? std::string(c.actual->begin(), c.actual->end()) : "";
        Check(c.actual ? dir.Write("header.bin", bytes) : dir / "absent.bin", c);
    }
#if defined(_WIN32)
    // Windows opens no directory as a file: only the failed open is recorded.
    Check(dir.Path(), {{}, kEdge, 0, "", 1, {kOpen}, {}});
#else
    // A directory opens for reading on POSIX but yields no bytes.
    Check(dir.Path(), {{}, kEdge, 0, "0\n", 3, {kRead, kLength}, {}});
#endif
}

} // namespace
