// The names the platform's wildcard search finds, "." and ".." included. A
// search that fails finds none (FileUtils' tests tell its failures apart).
#pragma once

#include <NUVZubPlatform/File.h>

#include <set>
#include <string>

inline std::set<std::string> Find(const std::string& pattern) {
    std::set<std::string> names;
    NUVZubPlatform::DirectorySearch* search = nullptr;
    const char* name = nullptr;
    for (int error = NUVZubPlatform::FindFirst(pattern.c_str(), search, name); error == 0;
         error = NUVZubPlatform::FindNext(search, name))
        names.insert(name);
    NUVZubPlatform::EndFind(search);
    return names;
}
