#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Utils, SameStrIgnoresCaseOverTheGivenLength) {
    EXPECT_TRUE(NUVZubUttUtils::SameStr("Abc", "aBC", 0));
    EXPECT_FALSE(NUVZubUttUtils::SameStr("Abc", "aBCd", 0));
    EXPECT_TRUE(NUVZubUttUtils::SameStr("abcdef", "ABCxyz", 3));
    EXPECT_FALSE(NUVZubUttUtils::SameStr("abcdef", "ABCxyz", 4));
    // A bound past the end of both texts compares the whole texts.
    EXPECT_TRUE(NUVZubUttUtils::SameStr("ab", "AB", 100));
    EXPECT_FALSE(NUVZubUttUtils::SameStr("ab", "ABC", 100));
}

TEST(Utils, CopyIsBoundedAndAlwaysTerminated) {
    // Nothing written past n bytes; a short source fills the rest of n - 1 bytes with zeros.
    const struct {
        const char* source;
        std::size_t n;
        std::string bytes;
    } cases[] = {
        {"hello", 3, std::string("he\0ZZZZZ", 8)},
        {"hello", 1, std::string("\0ZZZZZZZ", 8)},
        {"hi", 6, std::string("hi\0\0\0\0ZZ", 8)},
    };
    for (const auto& c : cases) {
        char dst[8];
        std::memset(dst, 'Z', sizeof dst);
        NUVZubUttUtils::Copy(dst, c.source, c.n);
        EXPECT_EQ(std::string(dst, sizeof dst), c.bytes) << c.source << " " << c.n;
    }
    char whole[16];
    NUVZubUttUtils::Copy(whole, "unbounded", 0);
    EXPECT_STREQ(whole, "unbounded");
    char noZero[6] = {'a', 'b', 'c', 'd', 'e', '\0'};
    NUVZubUttUtils::CopyNoZB(noZero, "hello", 3);
    EXPECT_EQ(std::string(noZero, 5), "helde"); // no terminator: the fourth byte stays
}

TEST(XMLUtils, GetAttrFindsTheFirstNameIgnoringCase) {
    const char* attrs[] = {"Name", "x", "id", "7", "ID", "8", nullptr};
    EXPECT_STREQ(NUVZubUttXMLUtils::GetAttr(attrs, "ID"), "7");
    EXPECT_STREQ(NUVZubUttXMLUtils::GetAttr(attrs, "name"), "x");
    EXPECT_EQ(NUVZubUttXMLUtils::GetAttr(attrs, "Type"), nullptr);
    // A prefix of a name is not the name.
    EXPECT_EQ(NUVZubUttXMLUtils::GetAttr(attrs, "Nam"), nullptr);
    const char* empty[] = {nullptr};
    EXPECT_EQ(NUVZubUttXMLUtils::GetAttr(empty, "id"), nullptr);
}

// The foreign caller's side is tested from Python; these are the buffer limits.
TEST(PythonGlue, MessageIsCutToTheCallersBuffer) {
    const std::string full =
        NUVZubExcBadStringArgument().UserReport(NUVBasStringMode(false)).CStr();
    ASSERT_GT(full.size(), 5u);
    char* result = reinterpret_cast<char*>(0x1);
    char message[8];
    std::memset(message, 'Z', sizeof message);
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("Bad string.", &result, message, 6));
    EXPECT_EQ(result, reinterpret_cast<char*>(0x1));
    EXPECT_EQ(std::string(message), full.substr(0, 5));
    EXPECT_EQ(message[6], 'Z');

    // No room at all: nothing is written, and the call still fails cleanly.
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("Bad string.", &result, message, 0));
    EXPECT_EQ(message[6], 'Z');
    EXPECT_FALSE(NUVZubUttPythonGlueTest_CheckString("fine", nullptr, message, 8));
}

} // namespace
