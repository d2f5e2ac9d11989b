// Cutting text to a bounded buffer without leaving half a character. It lives
// in the lowest layer so that every layer cuts text the same way.
#pragma once

#include <cstddef>

namespace NUVZubPlatform {

/// The length of the valid UTF-8 character at `s`, of at most `available`
/// bytes; 0 when the bytes there are not one (overlong forms, surrogates and
/// code points above U+10FFFF are not).
inline std::size_t Utf8CharacterLength(const unsigned char* s, std::size_t available) {
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (s[0] >= 0xC2 && s[0] <= 0xDF) {
        length = 2;
    } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
        length = 3;
        if (s[0] == 0xE0) low = 0xA0;
        if (s[0] == 0xED) high = 0x9F;
    } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
        length = 4;
        if (s[0] == 0xF0) low = 0x90;
        if (s[0] == 0xF4) high = 0x8F;
    }
    if (length == 0 || length > available || s[1] < low || s[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 0;
    return length;
}

/// How many of the `length` bytes of `text` to keep in `limit` bytes: all when
/// they fit, else `limit` less the first bytes of a valid UTF-8 character that
/// the limit would cut in two. Bytes that are not valid UTF-8 there are cut at
/// the limit, byte-wise: names need not be UTF-8.
inline std::size_t Utf8FittingLength(const char* text, std::size_t length, std::size_t limit) {
    if (length <= limit) return length;
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const auto continues = [s](std::size_t i) { return (s[i] & 0xC0) == 0x80; };
    if (limit == 0 || !continues(limit)) return limit;
    std::size_t lead = limit - 1;
    while (lead > 0 && limit - lead < 3 && continues(lead))
        --lead;
    return lead + Utf8CharacterLength(s + lead, length - lead) > limit ? lead : limit;
}

} // namespace NUVZubPlatform
