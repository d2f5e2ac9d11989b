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
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    NUVZubUttUtils::Copy(dst, "hello", 3);
    EXPECT_EQ(dst[0], 'h');
    EXPECT_EQ(dst[1], 'e');
    EXPECT_EQ(dst[2], '\0');
    EXPECT_EQ(dst[3], 'Z'); // nothing written past n bytes

    std::memset(dst, 'Z', sizeof dst);
    NUVZubUttUtils::Copy(dst, "hello", 1);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], 'Z');

    // A short source fills the rest of the first n - 1 bytes with zeros.
    std::memset(dst, 'Z', sizeof dst);
    NUVZubUttUtils::Copy(dst, "hi", 6);
    EXPECT_STREQ(dst, "hi");
    for (int i = 2; i < 6; ++i)
        EXPECT_EQ(dst[i], '\0') << i;
    EXPECT_EQ(dst[6], 'Z');

    char whole[16];
    NUVZubUttUtils::Copy(whole, "unbounded", 0);
    EXPECT_STREQ(whole, "unbounded");
}

TEST(Utils, CopyNoZBAddsNoTerminator) {
    char dst[6] = {'a', 'b', 'c', 'd', 'e', '\0'};
    NUVZubUttUtils::CopyNoZB(dst, "hello", 3);
    EXPECT_EQ(std::string(dst, 5), "helde"); // the fourth byte is left as it was
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

TEST(SerErrors, CaptureARealParseFailure) {
    Parser parser = FailedParser();
    const NUVZubUttSerParserError error(parser.get());
    const NUVZubUttSerParserPlace place(parser.get());
    EXPECT_EQ(error.GetCode(), XML_ERROR_TAG_MISMATCH);
    EXPECT_STREQ(error.AsString(), "mismatched tag");
    EXPECT_STREQ(place.AsString(), "line 12, column: 5");

    // The values are captured: freeing the parser leaves them intact.
    parser.reset();
    EXPECT_EQ(error.GetCode(), XML_ERROR_TAG_MISMATCH);
    EXPECT_STREQ(place.AsString(), "line 12, column: 5");
}

TEST(SerErrors, TheExpatExceptionShowsCodeTextAndPlace) {
    Parser parser = FailedParser();
    const NUVZubExcXMLExpatParseError e{NUVZubUttSerParserError(parser.get()),
                                        NUVZubUttSerParserPlace(parser.get())};
    parser.reset();
    const std::string text = e.UserReport(NUVBasStringMode(false)).CStr();
    EXPECT_NE(text.find("mismatched tag"), std::string::npos) << text;
    EXPECT_NE(text.find("line 12, column: 5"), std::string::npos) << text;
    // Copied bytewise: the copy needs nothing of the original.
    const NUVZubExcXMLExpatParseError copy = e;
    EXPECT_STREQ(copy.GetPlace().AsString(), "line 12, column: 5");
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
