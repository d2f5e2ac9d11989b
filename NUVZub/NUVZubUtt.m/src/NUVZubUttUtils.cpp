#include <NUVZub/NUVZubUttUtils.h>

#include <NUVZubPlatform/Utf8.h>

#include <cstring>

namespace {
unsigned char LowerASCII(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 'A' && u <= 'Z') ? static_cast<unsigned char>(u + ('a' - 'A')) : u;
}

/// Case-insensitive comparison of at most `limit` characters, as the C runtime's
/// stricmp family does in the "C" locale.
bool EqualIgnoringCase(const char* a, const char* b, std::size_t limit) {
    for (std::size_t i = 0; i < limit; ++i) {
        if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}
} // namespace

bool NUVZubUttUtils::SameStr(const char* a, const char* b, int n) {
    if (n == 0) return EqualIgnoringCase(a, b, static_cast<std::size_t>(-1));
    return EqualIgnoringCase(a, b, static_cast<std::size_t>(static_cast<long long>(n)));
}

void NUVZubUttUtils::Copy(char* dst, const char* src, int n) {
    if (n == 0) {
        std::strcpy(dst, src);
        return;
    }
    // Enough of the source to see whether the last character fits whole.
    const auto limit = static_cast<std::size_t>(n - 1);
    std::size_t length = 0;
    while (length < limit + 3 && src[length] != '\0')
        ++length;
    const std::size_t kept = NUVZubPlatform::Utf8FittingLength(src, length, limit);
    std::memcpy(dst, src, kept);
    std::memset(dst + kept, 0, limit - kept + 1);
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
