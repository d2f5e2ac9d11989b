// The catalogue's data read through the library's table, its lookups, and every
// class built from the generated sample cases (NUVZubExcCases.cpp) against them.
#include "CatalogueCases.h"

#include <NUVZub/NUVZubExcTable.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <typeinfo>

namespace {

using Owned = std::unique_ptr<NUVBasException>;

std::string Text(const NUVBasException& e) { return e.AsString(NUVBasStringMode(false)).CStr(); }

bool IsText(const NUVZubExcParamInfo& p) {
    return std::strncmp(p.type, "NUVZubUttExceptionString<", 25) == 0;
}

// Marks of a template: every '%' that is not part of "%%".
int MarkCount(const char* message) {
    int marks = 0;
    for (const char* p = message; *p; ++p) {
        if (*p != '%') continue;
        if (p[1] == '%')
            ++p;
        else
            ++marks;
    }
    return marks;
}

class CatalogueSweep : public ::testing::Test {
protected:
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
};

TEST_F(CatalogueSweep, CasesCoverTheTableOnceEach) {
    ASSERT_EQ(kCatalogueCaseCount, NUVZubExcTable::ClassCount());
    std::set<std::string> names;
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        const NUVZubExcClassInfo* info = NUVZubExcTable::FindByName(c.name);
        ASSERT_NE(info, nullptr) << c.name;
        EXPECT_EQ(info->code, c.code) << c.name;
        EXPECT_STREQ(info->base, c.base) << c.name;
        EXPECT_EQ(c.baseGetters == nullptr, std::strcmp(c.base, "NUVBasException") == 0) << c.name;
    }
}

// Its code and its table's getters; a copy, a clone and the copy that Propagate
// throws, caught as the class's base and family base too.
TEST_F(CatalogueSweep, EachClassAndItsCopiesAnswerLikeItsTableEntry) {
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        SCOPED_TRACE(c.name);
        Owned original(c.make());
        EXPECT_EQ(original->GetCode(), c.code);
        EXPECT_EQ(original->AsString(NUVBasStringMode(true)).CStr(), Text(*original));
        const NUVZubExcClassInfo& info = *NUVZubExcTable::FindByName(c.name);
        const Getters getters = c.getters(*original);
        ASSERT_EQ(getters.size(), static_cast<std::size_t>(info.paramCount));
        for (int k = 0; k < info.paramCount; ++k)
            EXPECT_EQ(getters[k].first, info.params[k].getter);
        const auto likeTheOriginal = [&](const NUVBasException& other) {
            EXPECT_NE(&other, original.get());
            EXPECT_EQ(typeid(other), typeid(*original));
            EXPECT_EQ(other.GetCode(), c.code);
            EXPECT_EQ(Text(other), Text(*original));
            EXPECT_EQ(c.getters(other), getters);
        };
        Owned copy(c.copy(*original));
        Owned clone(original->Clone());
        ASSERT_NE(clone, nullptr);
        likeTheOriginal(*copy);
        likeTheOriginal(*clone);
        bool caught = false;
        try {
            original->Propagate();
        } catch (const NUVBasException& thrown) {
            caught = true;
            likeTheOriginal(thrown);
        }
        EXPECT_TRUE(caught);
        if (c.caughtAsBase) {
            EXPECT_EQ(c.caughtAsBase(*original), c.code) << "as " << c.base;
        }
    }
}

TEST_F(CatalogueSweep, MessageShowsTextValuesInSubstitutionOrder) {
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        SCOPED_TRACE(c.name);
        const NUVZubExcClassInfo& info = *NUVZubExcTable::FindByName(c.name);
        Owned e(c.make());
        const std::string message = Text(*e);
        if (info.paramCount == 0) {
            EXPECT_EQ(message, info.message);
            continue;
        }
        const Getters getters = c.getters(*e);
        const int shown = std::min(info.paramCount, MarkCount(info.message));
        std::size_t from = 0;
        for (int k = 0; k < shown; ++k) {
            const NUVZubExcParamInfo* p = NUVZubExcTable::Substituted(info, k);
            if (!IsText(*p)) continue;
            const std::string& value = getters[p - info.params].second;
            const std::size_t at = message.find(value, from);
            ASSERT_NE(at, std::string::npos) << p->getter << " '" << value << "' in " << message;
            from = at + value.size();
        }
    }
}

TEST_F(CatalogueSweep, DerivedBaseGettersEqualItsOwn) {
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        if (!c.baseGetters) continue;
        SCOPED_TRACE(c.name);
        Owned e(c.make());
        const Getters own = c.getters(*e);
        const Getters base = c.baseGetters(*e);
        ASSERT_FALSE(base.empty() && std::strcmp(c.base, "NUVZubExcTransferBadRequest") != 0);
        for (const auto& [getter, value] : base) {
            bool found = false;
            for (const auto& mine : own)
                if (mine.first == getter) {
                    found = true;
                    EXPECT_EQ(mine.second, value) << getter;
                }
            EXPECT_TRUE(found) << getter;
        }
    }
}

std::set<std::string> Names(const NUVZubExcTable::Matches& found) {
    std::set<std::string> names;
    for (const NUVZubExcClassInfo* c : found)
        names.insert(c->name);
    return names;
}

TEST(CatalogueData, HasEveryClassOnceWithinTheCodeRange) {
    ASSERT_EQ(NUVZubExcTable::ClassCount(), 409u);
    std::set<std::string> names;
    std::map<int, int> perCode;
    for (std::size_t i = 0; i < NUVZubExcTable::ClassCount(); ++i) {
        const NUVZubExcClassInfo& c = NUVZubExcTable::Class(i);
        EXPECT_TRUE(names.insert(c.name).second) << c.name;
        EXPECT_EQ(std::string(c.name).rfind("NUVZubExc", 0), 0u) << c.name;
        EXPECT_GE(c.code, 1001) << c.name;
        EXPECT_LE(c.code, 1840) << c.name;
        ++perCode[c.code];
        if (i) {
            EXPECT_LE(NUVZubExcTable::Class(i - 1).code, c.code) << "sorted by code";
        }
    }
    std::set<int> shared;
    for (const auto& [code, count] : perCode)
        if (count > 1) {
            shared.insert(code);
            EXPECT_EQ(count, 2) << code;
        }
    EXPECT_EQ(shared, (std::set<int>{1013, 1836}));
}

TEST(CatalogueData, FamilyBasesHaveTheirDerivedClasses) {
    const std::map<std::string, int> expected = {
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
    std::map<std::string, int> derived;
    int direct = 0;
    for (std::size_t i = 0; i < NUVZubExcTable::ClassCount(); ++i) {
        const NUVZubExcClassInfo& c = NUVZubExcTable::Class(i);
        if (std::string(c.base) == "NUVBasException")
            ++direct;
        else
            ++derived[c.base];
    }
    EXPECT_EQ(derived, expected);
    EXPECT_EQ(direct, 289);
    // Each family base is itself a class of the catalogue, and the grid-dimension
    // base derives from the grid base.
    for (const auto& [base, count] : expected)
        EXPECT_NE(NUVZubExcTable::FindByName(base.c_str()), nullptr) << base;
    EXPECT_STREQ(NUVZubExcTable::FindByName("NUVZubExcTypeGridDimensionException")->base,
                 "NUVZubExcTypeGridException");
}

TEST(CatalogueData, DerivedClassesRepeatTheirBasesParameters) {
    for (std::size_t i = 0; i < NUVZubExcTable::ClassCount(); ++i) {
        const NUVZubExcClassInfo& c = NUVZubExcTable::Class(i);
        const NUVZubExcClassInfo* base = NUVZubExcTable::FindByName(c.base);
        if (!base) continue;
        for (int b = 0; b < base->paramCount; ++b) {
            int found = 0;
            for (int k = 0; k < c.paramCount; ++k)
                if (std::string(c.params[k].getter) == base->params[b].getter) {
                    ++found;
                    EXPECT_STREQ(c.params[k].type, base->params[b].type) << c.name;
                }
            EXPECT_EQ(found, 1) << c.name << " " << base->params[b].getter;
        }
    }
}

TEST(CatalogueData, SubstitutionOrderIsAPermutation) {
    int reordered = 0;
    for (std::size_t i = 0; i < NUVZubExcTable::ClassCount(); ++i) {
        const NUVZubExcClassInfo& c = NUVZubExcTable::Class(i);
        std::set<const NUVZubExcParamInfo*> used;
        for (int k = 0; k < c.paramCount; ++k)
            used.insert(NUVZubExcTable::Substituted(c, k));
        EXPECT_EQ(used.size(), static_cast<std::size_t>(c.paramCount)) << c.name;
        EXPECT_EQ(NUVZubExcTable::Substituted(c, c.paramCount), nullptr);
        EXPECT_EQ(NUVZubExcTable::Substituted(c, -1), nullptr);
        if (c.order) ++reordered;
    }
    EXPECT_EQ(reordered, 9);
    const NUVZubExcClassInfo& guid = *NUVZubExcTable::FindByName("NUVZubExcInconsistentGUID");
    EXPECT_STREQ(NUVZubExcTable::Substituted(guid, 0)->getter, "GetGuid1");
    EXPECT_STREQ(NUVZubExcTable::Substituted(guid, 2)->getter, "GetBulkID");
}

TEST(CatalogueLookup, ByCodeFindsEveryClassSharingIt) {
    EXPECT_EQ(Names(NUVZubExcTable::FindByCode(1013)),
              (std::set<std::string>{"NUVZubExcNoSuchFile", "NUVZubExcNoSuchForm"}));
    EXPECT_EQ(Names(NUVZubExcTable::FindByCode(1836)),
              (std::set<std::string>{"NUVZubExcExtCSetNonEmpty", "NUVZubExcNeedManualFunctions"}));
    const auto systemError = NUVZubExcTable::FindByCode(1023);
    ASSERT_EQ(systemError.size(), 1u);
    EXPECT_STREQ(systemError[0]->family, "File");
    EXPECT_TRUE(NUVZubExcTable::FindByCode(1000).empty());
    EXPECT_TRUE(NUVZubExcTable::FindByCode(-1013).empty());
}

TEST(CatalogueLookup, ByNameIsExactAndByPartIgnoresCase) {
    const NUVZubExcClassInfo* file = NUVZubExcTable::FindByName("NUVZubExcNoSuchFile");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->code, 1013);
    EXPECT_STREQ(file->message, "No such file: %s");
    ASSERT_EQ(file->paramCount, 1);
    EXPECT_STREQ(file->params[0].getter, "GetFile_name");
    EXPECT_STREQ(file->params[0].type, "NUVZubUttExceptionString<1024>");
    EXPECT_EQ(NUVZubExcTable::FindByName("nuvzubexcnosuchfile"), nullptr);
    EXPECT_EQ(NUVZubExcTable::FindByName("NoSuchFile"), nullptr);
    EXPECT_EQ(NUVZubExcTable::FindByName(nullptr), nullptr);

    EXPECT_EQ(Names(NUVZubExcTable::FindByNamePart("NOSUCHF")),
              (std::set<std::string>{"NUVZubExcNoSuchFile", "NUVZubExcNoSuchForm",
                                     "NUVZubExcViewNoSuchFTable"}));
    const auto grids = Names(NUVZubExcTable::FindByNamePart("griddimension"));
    EXPECT_EQ(grids.size(), 3u);
    EXPECT_TRUE(grids.count("NUVZubExcTypeGridDimensionException"));
    EXPECT_EQ(NUVZubExcTable::FindByNamePart("NUVZubExc").size(), 409u);
    EXPECT_TRUE(NUVZubExcTable::FindByNamePart("").empty());
    EXPECT_TRUE(NUVZubExcTable::FindByNamePart(nullptr).empty());
    EXPECT_TRUE(NUVZubExcTable::FindByNamePart("NoSuchThing").empty());
}

TEST(CatalogueLookup, ByFamilyIgnoresCaseAndCoversEveryClass) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < NUVZubExcTable::FamilyCount(); ++i) {
        const auto members = NUVZubExcTable::FindByFamily(NUVZubExcTable::Family(i).name);
        EXPECT_FALSE(members.empty()) << NUVZubExcTable::Family(i).name;
        total += members.size();
    }
    EXPECT_EQ(NUVZubExcTable::FamilyCount(), 15u);
    EXPECT_EQ(total, 409u);
    EXPECT_EQ(NUVZubExcTable::FindByFamily("file").size(), 18u);
    EXPECT_TRUE(NUVZubExcTable::FindByFamily("Fil").empty());
    EXPECT_TRUE(NUVZubExcTable::FindByFamily(nullptr).empty());
}

TEST(CatalogueLookup, IndexOutOfRangeIsAValidationFailure) {
    EXPECT_THROW(NUVZubExcTable::Class(409), NUVBasException);
    EXPECT_THROW(NUVZubExcTable::Family(15), NUVBasException);
}

} // namespace
