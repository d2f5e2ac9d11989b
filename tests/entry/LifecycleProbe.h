// What the load-and-unload probes expect of the base libraries' start-up
// trace, and how they report a failed expectation.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace probe {

inline const char kLoadOrder[] =
    "ZubContainers+ XmlParser+ Shared+ CoreUtils+ GenericsLib+ Alloc+ ZubUtt+ ZubSpecific+";

// The finalisers expected after `initialisers`: the same units, last first.
inline std::string Reverse(const std::string& initialisers) {
    std::vector<std::string> words;
    std::istringstream in(initialisers);
    for (std::string w; in >> w;)
        words.push_back(w);
    std::string out;
    for (auto it = words.rbegin(); it != words.rend(); ++it) {
        std::string w = *it;
        w.back() = '-';
        out += (out.empty() ? "" : " ") + w;
    }
    return out;
}

inline int g_failures = 0;

inline void Expect(bool ok, const char* what, const std::string& detail) {
    if (ok) return;
    ++g_failures;
    std::fprintf(stderr, "FAILED: %s: %s\n", what, detail.c_str());
}

} // namespace probe
