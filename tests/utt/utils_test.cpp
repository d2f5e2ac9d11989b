#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttSerErrors.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <NUVBas/xmp_XML.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
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

struct ParserDeleter {
    void operator()(XML_ParserStruct* p) const { xmp_XML_ParserFree(p); }
};
using Parser = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

/// A parser that has failed on a mismatched end tag at line 12, column 5.
Parser FailedParser() {
    Parser parser(xmp_XML_ParserCreate(nullptr));
    const std::string doc = "<r>" + std::string(11, '\n') + "   </x>";
    EXPECT_EQ(xmp_XML_Parse(parser.get(), doc.data(), static_cast<int>(doc.size()), 1), 0);
    return parser;
}

// The values are captured: freeing the parser leaves them, and the exception built
// from them, intact (its exact text is a catalogue message test's).
TEST(SerErrors, CaptureARealParseFailureForTheExpatException) {
    Parser parser = FailedParser();
    const NUVZubUttSerParserError error(parser.get());
    const NUVZubUttSerParserPlace place(parser.get());
    const NUVZubExcXMLExpatParseError e{error, place};
    parser.reset();
    EXPECT_EQ(error.GetCode(), XML_ERROR_TAG_MISMATCH);
    EXPECT_STREQ(error.AsString(), "mismatched tag");
    EXPECT_STREQ(place.AsString(), "line 12, column: 5");
    EXPECT_EQ(e.GetErrorString().GetCode(), XML_ERROR_TAG_MISMATCH);
    EXPECT_STREQ(e.GetPlace().AsString(), "line 12, column: 5");
}

TEST(SerErrors, SystemErrorKeepsErrnoAtConstruction) {
    errno = ENOENT;
    const NUVZubUttSerSystemError error;
    errno = EACCES;
    EXPECT_EQ(error.GetCode(), ENOENT);
    EXPECT_STREQ(error.AsString(), std::strerror(ENOENT));
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
