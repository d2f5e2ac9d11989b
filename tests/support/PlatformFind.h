// The platform's wildcard search run to its end: the names found, and in
// `result` the first failure (kNoMatch when nothing matched), the end excluded.
#pragma once

#include <NUVZubPlatform/File.h>

#include <set>
#include <string>

inline std::set<std::string> Find(const std::string& pattern, int* result = nullptr) {
    std::set<std::string> names;
    NUVZubPlatform::DirectorySearch* search = nullptr;
    const char* name = nullptr;
    const int first = NUVZubPlatform::FindFirst(pattern.c_str(), search, name);
    int error = first;
    for (; error == 0; error = NUVZubPlatform::FindNext(search, name))
        names.insert(name);
    if (result) *result = first != 0 || error == NUVZubPlatform::kNoMoreMatches ? first : error;
    NUVZubPlatform::EndFind(search);
    return names;
}
