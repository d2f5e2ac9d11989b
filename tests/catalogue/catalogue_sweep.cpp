// The catalogue's data read through the library's table, its lookups, and every class built
// from the generated sample cases (NUVZubExcCases.cpp) against them; then the exact messages
// of the classes whose formatting is not a plain walk over text and int fields.
#include "CatalogueCases.h"

#include <NUVZub/NUVZubExcCatalogue.h>
#include <NUVZub/NUVZubExcTable.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>

namespace {

using Owned = std::unique_ptr<NUVBasException>;
using Table = NUVZubExcTable;

std::string Text(const NUVBasException& e) { return e.AsString(NUVBasStringMode(false)).CStr(); }

// Marks of a template: every '%' that is not part of "%%".
int MarkCount(const char* message) {
    int marks = 0;
    for (const char* p = message; *p; ++p) {
        if (*p == '%' && p[1] == '%')
            ++p;
        else
            marks += *p == '%';
    }
    return marks;
}

// Every text value shows in the message, in substitution order.
void ExpectTextValuesInOrder(const NUVZubExcClassInfo& info, const std::string& message,
                             const Getters& getters) {
    std::size_t from = 0;
    for (int k = 0; k < std::min(info.paramCount, MarkCount(info.message)); ++k) {
        const NUVZubExcParamInfo* p = Table::Substituted(info, k);
        if (std::strncmp(p->type, "NUVZubUttExceptionString<", 25) != 0) continue;
        const std::string& value = getters[p - info.params].second;
        const std::size_t at = message.find(value, from);
        ASSERT_NE(at, std::string::npos) << p->getter << " '" << value << "' in " << message;
        from = at + value.size();
    }
}

// A derived class's getters answer the base's getters as it does itself.
void ExpectBaseGettersAsOwn(const CatalogueCase& c, const NUVBasException& e) {
    const Getters own = c.getters(e);
    const Getters base = c.baseGetters(e);
    ASSERT_FALSE(base.empty() && std::strcmp(c.base, "NUVZubExcTransferBadRequest") != 0);
    for (const auto& [getter, value] : base) {
        int found = 0;
        for (const auto& mine : own)
            if (mine.first == getter) {
                ++found;
                EXPECT_EQ(mine.second, value) << getter;
            }
        EXPECT_EQ(found, 1) << getter;
    }
}

// A case: its table entry, code, getters and message; a copy, a clone and the copy that
// Propagate throws, caught as the class's base and family base too.
void ExpectLikeItsTableEntry(const CatalogueCase& c) {
    const NUVZubExcClassInfo* found = Table::FindByName(c.name);
    ASSERT_NE(found, nullptr);
    const NUVZubExcClassInfo& info = *found;
    EXPECT_EQ(info.code, c.code);
    EXPECT_STREQ(info.base, c.base);
    EXPECT_EQ(c.baseGetters == nullptr, std::strcmp(c.base, "NUVBasException") == 0);
    Owned original(c.make());
    EXPECT_EQ(original->GetCode(), c.code);
    EXPECT_EQ(original->AsString(NUVBasStringMode(true)).CStr(), Text(*original));
    const Getters getters = c.getters(*original);
    ASSERT_EQ(getters.size(), static_cast<std::size_t>(info.paramCount));
    for (int k = 0; k < info.paramCount; ++k)
        EXPECT_EQ(getters[k].first, info.params[k].getter);
    if (info.paramCount == 0) {
        EXPECT_EQ(Text(*original), info.message);
    }
    ExpectTextValuesInOrder(info, Text(*original), getters);
    if (c.baseGetters) ExpectBaseGettersAsOwn(c, *original);
    const auto likeTheOriginal = [&](const NUVBasException& other) {
        EXPECT_NE(&other, original.get());
        EXPECT_EQ(typeid(other), typeid(*original));
        EXPECT_EQ(other.GetCode(), c.code);
        EXPECT_EQ(Text(other), Text(*original));
        EXPECT_EQ(c.getters(other), getters);
    };
    likeTheOriginal(*Owned(c.copy(*original)));
    Owned clone(original->Clone());
    ASSERT_NE(clone, nullptr);
    likeTheOriginal(*clone);
    bool caught = false;
    try {
        original->Propagate();
    } catch (const NUVBasException& thrown) {
        caught = true;
        likeTheOriginal(thrown);
        EXPECT_EQ(thrown.GetSourceFile(), nullptr) << "Propagate records no position";
    }
    EXPECT_TRUE(caught);
    if (c.caughtAsBase) {
        EXPECT_EQ(c.caughtAsBase(*original), c.code) << "as " << c.base;
    }
}

TEST(CatalogueSweep, EachClassAndItsCopiesAnswerLikeItsTableEntry) {
    NUVZubUttAssertDisableExcReport(); // for the whole process
    ASSERT_EQ(kCatalogueCaseCount, Table::ClassCount());
    std::set<std::string> names;
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        SCOPED_TRACE(kCatalogueCases[i].name);
        EXPECT_TRUE(names.insert(kCatalogueCases[i].name).second);
        ExpectLikeItsTableEntry(kCatalogueCases[i]);
    }
}

std::set<std::string> Names(const Table::Matches& found) {
    std::set<std::string> names;
    for (const NUVZubExcClassInfo* c : found)
        names.insert(c->name);
    return names;
}

// Sorted by code, each name once, codes in range, shared by two classes at most; derived
// classes repeat their bases' parameters once each, with their types; the substitution order
// a permutation.
TEST(CatalogueData, EveryClassOnceSortedWithItsBasesParameters) {
    ASSERT_EQ(Table::ClassCount(), 409u);
    std::set<std::string> names;
    std::map<int, int> perCode;
    std::map<std::string, int> derived;
    int reordered = 0;
    for (std::size_t i = 0; i < Table::ClassCount(); ++i) {
        const NUVZubExcClassInfo& c = Table::Class(i);
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(names.insert(c.name).second);
        EXPECT_EQ(std::string(c.name).rfind("NUVZubExc", 0), 0u);
        EXPECT_GE(c.code, 1001);
        EXPECT_LE(c.code, 1840);
        ++perCode[c.code];
        EXPECT_LE(Table::Class(i ? i - 1 : 0).code, c.code) << "sorted by code";
        ++derived[c.base];
        std::set<const NUVZubExcParamInfo*> used;
        for (int k = 0; k < c.paramCount; ++k)
            used.insert(Table::Substituted(c, k));
        EXPECT_EQ(used.size(), static_cast<std::size_t>(c.paramCount));
        EXPECT_EQ(Table::Substituted(c, c.paramCount), nullptr);
        EXPECT_EQ(Table::Substituted(c, -1), nullptr);
        reordered += c.order != nullptr;
        const NUVZubExcClassInfo* base = Table::FindByName(c.base);
        for (int b = 0; base && b < base->paramCount; ++b) {
            int found = 0;
            for (int k = 0; k < c.paramCount; ++k)
                if (std::string(c.params[k].getter) == base->params[b].getter) {
                    ++found;
                    EXPECT_STREQ(c.params[k].type, base->params[b].type);
                }
            EXPECT_EQ(found, 1) << base->params[b].getter;
        }
    }
    std::set<int> shared;
    for (const auto& [code, count] : perCode)
        if (count > 1) {
            shared.insert(code);
            EXPECT_EQ(count, 2) << code;
        }
    EXPECT_EQ(shared, (std::set<int>{1013, 1836}));
    EXPECT_EQ(reordered, 9);
    const std::map<std::string, int> expected = {
        {"NUVBasException", 289},
        {"NUVZubExcTypeFormException", 16},
        {"NUVZubExcTypeDependencyException", 4},
        {"NUVZubExcTypeSnapshotException", 2},
        {"NUVZubExcTypeDataRecordException", 13},
        {"NUVZubExcTypeDataRecordMemberException", 9},
        {"NUVZubExcTypeAssociationException", 3},
        {"NUVZubExcTypeAssociationMemberException", 3},
        {"NUVZubExcTypeCollectionException", 1},
        {"NUVZubExcTypeGridException", 4},
        {"NUVZubExcTypeGridDimensionException", 2},
        {"NUVZubExcSSDLException", 1},
        {"NUVZubExcTransferBadRequest", 62},
    };
    EXPECT_EQ(derived, expected);
    // Each family base is itself a class of the catalogue.
    for (const auto& [base, count] : expected)
        EXPECT_TRUE(base == "NUVBasException" || Table::FindByName(base.c_str())) << base;
    EXPECT_STREQ(Table::FindByName("NUVZubExcTypeGridDimensionException")->base,
                 "NUVZubExcTypeGridException");
}

TEST(CatalogueLookup, ByCodeFindsEveryClassSharingIt) {
    EXPECT_EQ(Names(Table::FindByCode(1013)),
              (std::set<std::string>{"NUVZubExcNoSuchFile", "NUVZubExcNoSuchForm"}));
    EXPECT_EQ(Names(Table::FindByCode(1836)),
              (std::set<std::string>{"NUVZubExcExtCSetNonEmpty", "NUVZubExcNeedManualFunctions"}));
    const auto systemError = Table::FindByCode(1023);
    ASSERT_EQ(systemError.size(), 1u);
    EXPECT_STREQ(systemError[0]->family, "File");
    EXPECT_TRUE(Table::FindByCode(1000).empty());
    EXPECT_TRUE(Table::FindByCode(-1013).empty());
}

TEST(CatalogueLookup, ByNameIsExactAndByPartIgnoresCase) {
    const NUVZubExcClassInfo* file = Table::FindByName("NUVZubExcNoSuchFile");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->code, 1013);
    EXPECT_STREQ(file->message, "No such file: %s");
    ASSERT_EQ(file->paramCount, 1);
    EXPECT_STREQ(file->params[0].getter, "GetFile_name");
    EXPECT_STREQ(file->params[0].type, "NUVZubUttExceptionString<1024>");
    for (const char* notAName : {"nuvzubexcnosuchfile", "NoSuchFile", (const char*)nullptr})
        EXPECT_EQ(Table::FindByName(notAName), nullptr);
    EXPECT_EQ(Names(Table::FindByNamePart("NOSUCHF")),
              (std::set<std::string>{"NUVZubExcNoSuchFile", "NUVZubExcNoSuchForm",
                                     "NUVZubExcViewNoSuchFTable"}));
    const auto grids = Names(Table::FindByNamePart("griddimension"));
    EXPECT_EQ(grids.size(), 3u);
    EXPECT_TRUE(grids.count("NUVZubExcTypeGridDimensionException"));
    EXPECT_EQ(Table::FindByNamePart("NUVZubExc").size(), 409u);
    for (const char* nothing : {"", "NoSuchThing", (const char*)nullptr})
        EXPECT_TRUE(Table::FindByNamePart(nothing).empty());
}

TEST(CatalogueLookup, ByFamilyIgnoresCaseAndCoversEveryClass) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < Table::FamilyCount(); ++i) {
        const auto members = Table::FindByFamily(Table::Family(i).name);
        EXPECT_FALSE(members.empty()) << Table::Family(i).name;
        total += members.size();
    }
    EXPECT_EQ(Table::FamilyCount(), 15u);
    EXPECT_EQ(total, 409u);
    EXPECT_EQ(Table::FindByFamily("file").size(), 18u);
    EXPECT_TRUE(Table::FindByFamily("Fil").empty());
    EXPECT_TRUE(Table::FindByFamily(nullptr).empty());
    // An index out of range is a validation failure.
    EXPECT_THROW(Table::Class(409), NUVBasException);
    EXPECT_THROW(Table::Family(15), NUVBasException);
}

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
    // A character that does not fit is left out whole: the message stays UTF-8.
    EXPECT_EQ(Text(NUVZubExcNoSuchForm(NUVString("ABCDEFGH\xe2\x82\xac"))),
              "No such form: ABCDEFGH");

    const std::string pattern = "/very/long/directory/name/*.zub.backup";
    NUVZubExcGlobError glob(NUVString(pattern.c_str()));
    EXPECT_EQ(std::string(glob.GetFile_name().AsString()), pattern.substr(0, 31));
    EXPECT_EQ(Text(glob), "Glob Error: " + pattern.substr(0, 31));
}

} // namespace
