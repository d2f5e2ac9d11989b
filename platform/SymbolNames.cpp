#include "SymbolNames.h"

#include <cstring>

namespace NUVZubPlatform {

std::size_t WithoutParameters(const char* name) {
    std::size_t length = std::strlen(name);
    std::size_t end = length;
    while (end > 0 && name[end - 1] != ')')
        --end; // skip " const", "&&" and the like
    if (end == 0) return length;
    int depth = 0;
    for (std::size_t i = end; i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        else if (name[i] == '(' && --depth == 0) {
            if (i >= 8 && std::strncmp(name + i - 8, "operator", 8) == 0) return length;
            return i;
        }
    }
    return length;
}

} // namespace NUVZubPlatform
