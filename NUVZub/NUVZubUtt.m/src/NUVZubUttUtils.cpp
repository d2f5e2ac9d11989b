#include <NUVZub/NUVZubUttUtils.h>

#include <cstring>
#include <strings.h>

bool NUVZubUttUtils::SameStr(const char* a, const char* b, int n) {
    if (n == 0) return strcasecmp(a, b) == 0;
    return strncasecmp(a, b, static_cast<std::size_t>(static_cast<long long>(n))) == 0;
}

void NUVZubUttUtils::Copy(char* dst, const char* src, int n) {
    if (n == 0) {
        std::strcpy(dst, src);
        return;
    }
    std::strncpy(dst, src, static_cast<std::size_t>(n - 1));
    dst[n - 1] = '\0';
}

void NUVZubUttUtils::CopyNoZB(char* dst, const char* src, int n) {
    std::memcpy(dst, src, static_cast<std::size_t>(static_cast<long long>(n)));
}

void NUVZubUttUtils::Sink(char c) {
    volatile char sink = c;
    (void)sink;
}

const char* NUVZubUttXMLUtils::GetAttr(const char** attrs, const char* name) {
    for (; attrs[0] != nullptr; attrs += 2)
        if (NUVZubUttUtils::SameStr(attrs[0], name, 0)) return attrs[1];
    return nullptr;
}
