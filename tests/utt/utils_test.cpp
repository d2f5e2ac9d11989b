#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A length of 0, or one past the end of both texts, compares the whole texts.
TEST(Utils, SameStrIgnoresCaseOverTheGivenLength) {
    const struct {
        const char *a, *b;
        int n;
        bool same;
    } cases[] = {{"Abc", "aBC", 0, true},       {"Abc", "aBCd", 0, false},
                 {"abcdef", "ABCxyz", 3, true}, {"abcdef", "ABCxyz", 4, false},
                 {"ab", "AB", 100, true},       {"ab", "ABC", 100, false}};
    for (const auto& c : cases)
        EXPECT_EQ(NUVZubUttUtils::SameStr(c.a, c.b, c.n), c.same) << c.a << " " << c.b << c.n;
    const char* attrs[] = {"Name", "x", "id", "7", "ID", "8", nullptr};
    EXPECT_STREQ(NUVZubUttXMLUtils::GetAttr(attrs, "ID"), "7") << "the first, ignoring case";
    EXPECT_STREQ(NUVZubUttXMLUtils::GetAttr(attrs, "name"), "x");
    EXPECT_EQ(NUVZubUttXMLUtils::GetAttr(attrs, "Nam"), nullptr) << "a prefix is not the name";
    EXPECT_EQ(NUVZubUttXMLUtils::GetAttr(attrs + 6, "id"), nullptr);
}

// Nothing written past n bytes; a short source fills the rest of n - 1 bytes
// with zeros; CopyNoZB writes no terminator.
TEST(Utils, CopyIsBoundedAndAlwaysTerminated) {
    const struct {
        void (*copy)(char*, const char*, int);
        const char* source;
        int n;
        std::string bytes;
    } cases[] = {{NUVZubUttUtils::Copy, "hello", 3, std::string("he\0ZZZZZ", 8)},
                 {NUVZubUttUtils::Copy, "hello", 1, std::string("\0ZZZZZZZ", 8)},
                 {NUVZubUttUtils::Copy, "hi", 6, std::string("hi\0\0\0\0ZZ", 8)},
                 {NUVZubUttUtils::Copy, "unbound", 0, std::string("unbound\0", 8)},
                 {NUVZubUttUtils::CopyNoZB, "hello", 3, "helZZZZZ"}};
    for (const auto& c : cases) {
        char dst[8];
        std::memset(dst, 'Z', sizeof dst);
        c.copy(dst, c.source, c.n);
        EXPECT_EQ(std::string(dst, sizeof dst), c.bytes) << c.source << " " << c.n;
    }
}

// The foreign caller's side is tested from Python; these are the buffer limits.
TEST(PythonGlue, MessageIsCutToTheCallersBuffer) {
    const std::string full =
        NUVZubExcBadStringArgument().UserReport(NUVBasStringMode(false)).CStr();
    char* result = reinterpret_cast<char*>(0x1);
    char message[8];
    std::memset(message, 'Z', sizeof message);
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("Bad string.", &result, message, 6));
    EXPECT_EQ(result, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(std::string(message, 8), full.substr(0, 5) + std::string("\0ZZ", 3));
    // No room at all: nothing is written, and the call still fails cleanly.
    std::memset(message, 'Z', sizeof message);
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("Bad string.", &result, message, 0));
    EXPECT_EQ(std::string(message, 8), "ZZZZZZZZ");
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("fine", nullptr, message, 8));
}

} // namespace
