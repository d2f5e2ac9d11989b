// Table-driven checks of every catalogue class, built from the generated sample
// cases (NUVZubExcCases.cpp), against the classes themselves and the library's table.
#include "CatalogueCases.h"

#include <NUVZub/NUVZubExcTable.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gtest/gtest.h>

#include <cstring>
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

TEST_F(CatalogueSweep, EachClassHasItsCodeAndItsTableGetters) {
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        SCOPED_TRACE(c.name);
        Owned e(c.make());
        EXPECT_EQ(e->GetCode(), c.code);
        EXPECT_EQ(e->AsString(NUVBasStringMode(true)).CStr(), Text(*e));
        const NUVZubExcClassInfo& info = *NUVZubExcTable::FindByName(c.name);
        const Getters getters = c.getters(*e);
        ASSERT_EQ(getters.size(), static_cast<std::size_t>(info.paramCount));
        for (int k = 0; k < info.paramCount; ++k)
            EXPECT_EQ(getters[k].first, info.params[k].getter);
    }
}

// A copy, a clone and the copy that Propagate throws, caught as the class's
// base and family base too.
TEST_F(CatalogueSweep, CopiesClonesAndPropagatedCopiesAnswerLikeTheOriginal) {
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        SCOPED_TRACE(c.name);
        Owned original(c.make());
        const auto likeTheOriginal = [&](const NUVBasException& other) {
            EXPECT_NE(&other, original.get());
            EXPECT_EQ(typeid(other), typeid(*original));
            EXPECT_EQ(other.GetCode(), c.code);
            EXPECT_EQ(Text(other), Text(*original));
            EXPECT_EQ(c.getters(other), c.getters(*original));
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
    int derived = 0;
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i) {
        const CatalogueCase& c = kCatalogueCases[i];
        if (!c.baseGetters) continue;
        SCOPED_TRACE(c.name);
        ++derived;
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
    EXPECT_EQ(derived, 120);
}

} // namespace
