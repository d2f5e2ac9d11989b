// The platform's wildcard search run to its end: the names found, and in
// `result` the first failure (kNoMatch when nothing matched), the end excluded.
#pragma once

#include <NUVZubPlatform/File.h>

#include <set>
#include <string>

inline std::set<std::string> Find(const std::string& pattern, int* result = nullptr) {
    using namespace NUVZubPlatform;
    std::set<std::string> names;
    DirectorySearch* search = nullptr;
    const char* name = nullptr;
    int error = FindFirst(pattern.c_str(), search, name);
    if (result) *result = error;
    while (error == 0) {
        names.insert(name);
        error = FindNext(search, name);
    }
    if (result && error != kNoMoreMatches && *result == 0) *result = error;
    EndFind(search);
    return names;
}
