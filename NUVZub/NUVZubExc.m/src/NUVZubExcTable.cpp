// Lookups over the generated description of the catalogue.
#include "NUVZubExcTableData.h"

#include <NUVZub/NUVZubUttAssert.h>

#include <cstring>

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ContainsIgnoringCase(const char* text, const char* part, std::size_t partLength) {
    for (; *text; ++text) {
        std::size_t i = 0;
        while (i < partLength && text[i] && Lower(text[i]) == Lower(part[i]))
            ++i;
        if (i == partLength) return true;
    }
    return false;
}

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a && Lower(*a) == Lower(*b); ++a, ++b) {
    }
    return *a == *b;
}

template <class Keep> NUVZubExcTable::Matches Select(Keep keep) {
    NUVZubExcTable::Matches found;
    for (int i = 0; i < g_NUVZubExcClassCount; ++i)
        if (keep(g_NUVZubExcClasses[i])) found.push_back(&g_NUVZubExcClasses[i]);
    return found;
}

} // namespace

std::size_t NUVZubExcTable::ClassCount() { return static_cast<std::size_t>(g_NUVZubExcClassCount); }

const NUVZubExcClassInfo& NUVZubExcTable::Class(std::size_t index) {
    if (index >= ClassCount())
        NUVZubUttAssert::ReportValidationFailure("NUVZubExcTable::Class: index out of range");
    return g_NUVZubExcClasses[index];
}

std::size_t NUVZubExcTable::FamilyCount() {
    return static_cast<std::size_t>(g_NUVZubExcFamilyCount);
}

const NUVZubExcFamilyInfo& NUVZubExcTable::Family(std::size_t index) {
    if (index >= FamilyCount())
        NUVZubUttAssert::ReportValidationFailure("NUVZubExcTable::Family: index out of range");
    return g_NUVZubExcFamilies[index];
}

NUVZubExcTable::Matches NUVZubExcTable::FindByCode(int code) {
    return Select([code](const NUVZubExcClassInfo& c) { return c.code == code; });
}

const NUVZubExcClassInfo* NUVZubExcTable::FindByName(const char* name) {
    if (!name) return nullptr;
    for (int i = 0; i < g_NUVZubExcClassCount; ++i)
        if (std::strcmp(g_NUVZubExcClasses[i].name, name) == 0) return &g_NUVZubExcClasses[i];
    return nullptr;
}

NUVZubExcTable::Matches NUVZubExcTable::FindByNamePart(const char* part) {
    // An empty part would match everything: a lookup, not a listing.
    if (!part || !*part) return {};
    const std::size_t length = std::strlen(part);
    return Select(
        [&](const NUVZubExcClassInfo& c) { return ContainsIgnoringCase(c.name, part, length); });
}

NUVZubExcTable::Matches NUVZubExcTable::FindByFamily(const char* family) {
    if (!family) return {};
    return Select(
        [family](const NUVZubExcClassInfo& c) { return SameIgnoringCase(c.family, family); });
}

const NUVZubExcParamInfo* NUVZubExcTable::Substituted(const NUVZubExcClassInfo& info,
                                                      int position) {
    if (position < 0 || position >= info.paramCount) return nullptr;
    return &info.params[info.order ? info.order[position] : position];
}
