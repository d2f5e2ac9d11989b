// Exact messages of the classes whose formatting is not a plain walk over text and int
// fields. A program of their own: the sweep turns the report off for its whole process.
#include "CatalogueCases.h"
#include "ChildProcess.h"

#include <NUVZub/NUVZubExcCatalogue.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Text(const NUVBasException& e) { return e.AsString(NUVBasStringMode(false)).CStr(); }

TEST(CatalogueMessages, ReorderedSubstitutionsLineFeedsAndQuotes) {
    EXPECT_EQ(Text(NUVZubExcDataRecordInvalidCategory(2, 5, "Form", "Record")),
              "Thrown when data of wrong type used when reading or writing data record member. "
              "Type name of data record: Record. Form name of data record: Form. Category enum "
              "pertaining to passed data type. (See NUVZubCategory): 5. Category enum pertaining "
              "to defined data type. (See NUVZubCategory): 2.");
    EXPECT_EQ(Text(NUVZubExcSymbolNotAssigned(7, "IdForm", "IdType")),
              "Thrown if a symbol was requested for a value that did not have any symbol "
              "assigned. Form name of the type of the value ID: IdForm. Category of the value "
              "ID: 7. Name of the type of the value ID: IdType.");
    EXPECT_EQ(Text(NUVZubExcTypeDependencyException("Source", 3, "Target")),
              "A generic exception thrown for dependency specification errors. Source level: 3. "
              "Source form name: Source. Target form name: Target.");
    EXPECT_EQ(Text(NUVZubExcTypeGridException("GridForm", "GridType")),
              "Base for exceptions thrown for Grid schema. Type name of grid: GridType. Form "
              "name of grid: GridForm.");
    EXPECT_EQ(Text(NUVZubExcTypeCollectionTargetInvalidType("CForm", "CType", "why", 4, "TForm",
                                                            "TType")),
              "Thrown when the target type of a collection cannot be accepted. Type name of "
              "collection: CType. Form name of collection: CForm. Reason why the exception was "
              "thrown.: why. Category of the invalid target: 4. Type name of the invalid target: "
              "TType. Form name of the invalid target: TForm.");
    // Line feeds and quotes are written as such.
    EXPECT_EQ(Text(NUVZubExcNeedUpgrade(4000000000u, 12, "/data/model.zub")),
              "Binary format incompatible. Upgrade or downgrade required.\n applicationVersion: "
              "4000000000\n databaseVersion: 12\n file: /data/model.zub\n");
    EXPECT_EQ(Text(NUVZubExcXMLBadContentEncoding("rot13")),
              "Unrecognized content encoding (\"base\"): rot13\n");
}

// The base is built from parameters that do not lead, by name; the bulk ID is left out.
TEST(CatalogueMessages, BaseBuiltFromNonLeadingParametersByName) {
    NUVZubExcInconsistentGUID guid(7, "{guid-1}", "{guid-2}");
    EXPECT_EQ(Text(guid), "ZUB Document is inconsistent. Bulk GUID mismatch: {guid-1} != {guid-2}");
    EXPECT_EQ(guid.GetBulkID(), 7);
    NUVZubExcTypeAssociationMemberTargetInvalidType e("Role", "AType", "AForm", "why", 4, "TForm",
                                                      11, "TType");
    EXPECT_EQ(Text(e),
              "Thrown when the target type of an association member cannot be accepted. Type "
              "name of association: AType. Form name of association: AForm. Name of association "
              "member: Role. Reason why the exception was thrown: why. Category of the invalid "
              "target: 4. Form name of the invalid target: TForm. Position of the invalid target: "
              "11. Type name of the invalid target: TType.");
    const NUVZubExcTypeAssociationMemberException& base = e;
    EXPECT_STREQ(base.GetAssociationFormName().AsString(), "AForm");
    EXPECT_STREQ(base.GetAssociationRoleName().AsString(), "Role");
    EXPECT_STREQ(base.GetAssociationTypeName().AsString(), "AType");
    EXPECT_EQ(base.GetCode(), 1635);
}

TEST(CatalogueMessages, ConstCharFieldsBorrowTheRaisersText) {
    char report[] = "before";
    NUVZubExcUpgradePreconditionError e(report);
    std::strcpy(report, "after!");
    EXPECT_EQ(e.GetErrorReport(), report);
    EXPECT_EQ(Text(e), "Upgrade/Downgrade error: after!");
    std::unique_ptr<NUVBasException> clone(e.Clone());
    EXPECT_EQ(static_cast<NUVZubExcUpgradePreconditionError&>(*clone).GetErrorReport(), report);

    const char* expected = "b";
    NUVZubExcXMLWrongEndTag tag("a", expected, SampleParserPlace());
    EXPECT_EQ(tag.GetExpectedName(), expected);
    EXPECT_EQ(Text(tag), "XML parser encountered the wrong end tag: \"a\", when expecting \"b\"\n "
                         "At line 2, column: 7 in the XML stream.\n");
}

#if defined(_WIN32)
// System errors are GetLastError codes there, with the system's message text.
constexpr int kAccessDenied = 5, kDiskFull = 112;
std::string PlatformText(int code) { return NUVBasSystemError(code).AsString(); }
#else
constexpr int kAccessDenied = EACCES, kDiskFull = ENOSPC;
std::string PlatformText(int code) { return std::strerror(code); }
#endif

TEST(CatalogueMessages, ValueTypesShowTheirOwnTextAndAreCopied) {
    const NUVZubExcSystemError system("DeleteFile", NUVBasSystemError(kAccessDenied));
    EXPECT_EQ(Text(system), "System Error DeleteFile: " + PlatformText(kAccessDenied));
    EXPECT_EQ(NUVZubExcSystemError(system).GetSystemErrorCode().GetCode(), kAccessDenied);
    EXPECT_EQ(Text(NUVZubExcWriteError(NUVBasSystemError(kDiskFull))),
              "Write Error: " + PlatformText(kDiskFull));

    // Both values were captured from a parser freed since.
    NUVZubExcXMLExpatParseError parse(SampleParserError(), SampleParserPlace());
    EXPECT_EQ(parse.GetErrorString().GetCode(), XML_ERROR_TAG_MISMATCH);
    EXPECT_EQ(Text(parse), std::string("Expat parser encountered an error: ") +
                               xmp_XML_ErrorString(XML_ERROR_TAG_MISMATCH) +
                               "\n At line 2, column: 7 in the XML stream.\n");

    errno = ENOENT;
    NUVZubUttSerSystemError saved;
    errno = 0;
    NUVZubExcXMLReadError read(saved);
    EXPECT_EQ(read.GetError().GetCode(), ENOENT);
    EXPECT_EQ(Text(read), std::string("An error occurred while reading XML stream: ") +
                              std::strerror(ENOENT) + "\n");
}

TEST(CatalogueMessages, UnusualMarksRenderEachValueByItsType) {
    EXPECT_EQ(
        Text(NUVZubExcPrivateForCorrectnessTesting(true, -3, -5000000000LL, 1.5f, 0.25, "s")),
        "To be used only for exception correctness testing. Boolean Member: 1. Integer "
        "Membe: -3. Integer 64-bit Member: -5000000000. Single Precision Floating Point "
        "Member: 1.500000. Double Precision Floating Point Member:0.250000. String Membe: s.");
    // Unsigned 64-bit values above 2^63 stay unsigned under "%lld".
    NUVZubExcIOBounds bounds(1, 18446744073709551615ULL, 9223372036854775808ULL);
    EXPECT_EQ(bounds.GetEnd(), 18446744073709551615ULL);
    EXPECT_EQ(Text(bounds), "I/O out of bounds - start: 1, end: 18446744073709551615, limit: "
                            "9223372036854775808");
}

TEST(CatalogueMessages, ShortFieldsCutTheirText) {
    NUVZubExcNoSuchForm form("ABCDEFGHIJKL");
    EXPECT_STREQ(form.GetForm_name().AsString(), "ABCDEFGHI");
    EXPECT_EQ(Text(form), "No such form: ABCDEFGHI");
    EXPECT_EQ(Text(NUVZubExcNoSuchForm("ABCDEFGHI")), "No such form: ABCDEFGHI");
    // A character that does not fit is left out whole: the message stays UTF-8.
    EXPECT_EQ(Text(NUVZubExcNoSuchForm(NUVString("ABCDEFGH\xe2\x82\xac"))),
              "No such form: ABCDEFGH");

    const std::string pattern = "/very/long/directory/name/*.zub.backup";
    NUVZubExcGlobError glob(NUVString(pattern.c_str()));
    EXPECT_EQ(std::string(glob.GetFile_name().AsString()), pattern.substr(0, 31));
    EXPECT_EQ(Text(glob), "Glob Error: " + pattern.substr(0, 31));
}

TEST(CatalogueMessages, PropagateReportsTheMessageBeforeThrowing) {
    const ChildResult child = RunInChild([] {
        setenv("ZUB_DISABLE_EXCEPTION_REPORT", "1", 1);
        try {
            NUVZubExcNoSuchForm("ABCDEFGHIJKL").Propagate();
        } catch (const NUVZubExcNoSuchForm& e) {
            return e.GetCode() == 1013 ? 0 : 2;
        }
        return 3;
    });
    EXPECT_EQ(child.exitCode, 0);
    EXPECT_NE(child.err.find("!!! EXCEPTION:\n!!!   No such form: ABCDEFGHI\n"), std::string::npos)
        << child.err;
}

} // namespace
