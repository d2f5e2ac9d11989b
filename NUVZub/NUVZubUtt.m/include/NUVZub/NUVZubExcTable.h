// The exception catalogue described as data: every class with its family, base,
// code, parameters and message template, for tools that explain a code or a
// class name seen in a log. Generated from the same data as the classes.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <cstddef>
#include <vector>

struct NUVZubExcParamInfo {
    const char* getter; ///< "GetFile_name"
    const char* type;   ///< the getter's C++ type, "NUVZubUttExceptionString<1024>"
};

struct NUVZubExcClassInfo {
    const char* name;   ///< "NUVZubExcNoSuchFile"
    const char* family; ///< "File"
    const char* base;   ///< "NUVBasException" or the family base it derives from
    int code;
    int paramCount;
    const NUVZubExcParamInfo* params; ///< constructor order; null when there are none
    /// For message position k (from 0), the index of the parameter substituted
    /// there; null when the parameters go in constructor order.
    const unsigned char* order;
    const char* message; ///< the template, with printf-style marks
};

struct NUVZubExcFamilyInfo {
    const char* name;  ///< "File"
    const char* title; ///< "File and I/O exceptions"
};

class NUVZUB_API NUVZubExcTable {
public:
    using Matches = std::vector<const NUVZubExcClassInfo*>;

    /// Every class, sorted by code, then by name.
    static std::size_t ClassCount();
    static const NUVZubExcClassInfo& Class(std::size_t index);
    static std::size_t FamilyCount();
    static const NUVZubExcFamilyInfo& Family(std::size_t index);

    /// Every class with this code: none, one, or two for a shared code.
    static Matches FindByCode(int code);
    /// The class of exactly this name, or null.
    static const NUVZubExcClassInfo* FindByName(const char* name);
    /// Every class whose name contains `part`, ignoring ASCII case; none for an empty part.
    static Matches FindByNamePart(const char* part);
    /// Every class of the family of this name (ignoring ASCII case).
    static Matches FindByFamily(const char* family);
    /// The parameter substituted at message position `position` (from 0), or null
    /// when the class has no parameter for it.
    static const NUVZubExcParamInfo* Substituted(const NUVZubExcClassInfo& info, int position);
};
