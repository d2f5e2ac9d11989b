#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVString.h>

#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

/// Counts the characters of well-formed UTF-8; returns false on any malformed
/// sequence (overlong forms, surrogates and code points above U+10FFFF included).
bool CountUTF8(const char* text, std::size_t size, std::size_t& length) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    length = 0;
    std::size_t i = 0;
    // Runs of ASCII, eight bytes at a time: most names are plain ASCII.
    for (std::uint64_t word; i + 8 <= size; i += 8, length += 8) {
        std::memcpy(&word, s + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < size) {
        unsigned char c = s[i];
        ++length;
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra;
        char32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, code = c & 0x07;
        } else {
            return false;
        }
        if (size - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if (!IsContinuation(s[i + k])) return false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

void AppendUTF8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool IsValidCodePoint(char32_t code) {
    return code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
}

std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

/// The code point of the well-formed sequence at `s`.
char32_t Decode(const unsigned char* s) {
    std::size_t n = SequenceLength(s[0]);
    char32_t code = n == 1 ? s[0] : (s[0] & (0x7F >> n));
    for (std::size_t k = 1; k < n; ++k)
        code = (code << 6) | (s[k] & 0x3F);
    return code;
}

} // namespace

#if defined(_WIN32)
// Importers reach the inline constant through the DLL's export table; mingw
// exports it only where the DLL emits it, which an address taken here forces.
extern const std::size_t* const g_nuvStringNposExported = &NUVString::npos;
#endif

NUVString::NUVString(const char* utf8) : NUVString(utf8, utf8 ? std::strlen(utf8) : 0) {}

NUVString::NUVString(const char* utf8, std::size_t byteCount)
    : m_text(utf8 ? utf8 : "", utf8 ? byteCount : 0) {
    std::size_t length = 0;
    m_bad = !CountUTF8(m_text.data(), m_text.size(), length);
    m_length = m_bad ? m_text.size() : length; // a malformed text is indexed by its bytes
}

void NUVString::Adopt(std::string utf8, bool bad) {
    m_text = std::move(utf8);
    std::size_t length = 0;
    m_bad = bad || !CountUTF8(m_text.data(), m_text.size(), length);
    // A malformed text is indexed by its bytes.
    m_length = m_bad ? m_text.size() : length;
}

#if defined(_WIN32)
NUVString::Result NUVString::BuildFromLocale(const char* text) {
    // Windows' own text is UTF-16, which reaches the library as UTF-8 (the
    // process's arguments included) whatever the ANSI code page: narrow text is
    // UTF-8 there, and malformed UTF-8 fails.
    Adopt(std::string(text != nullptr ? text : ""), false);
    return m_bad ? 1 : 0;
}
#else
NUVString::Result NUVString::BuildFromLocale(const char* text) {
    if (text == nullptr) {
        Adopt(std::string(), false);
        return 0;
    }
    std::mbstate_t state{};
    std::string out;
    const char* p = text;
    std::size_t remaining = std::strlen(text);
    while (remaining > 0) {
        wchar_t wc;
        std::size_t used = std::mbrtowc(&wc, p, remaining, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) ||
            !IsValidCodePoint(static_cast<char32_t>(wc))) {
            Adopt(std::string(text), true);
            return 1;
        }
        if (used == 0) break;
        AppendUTF8(out, static_cast<char32_t>(wc));
        p += used;
        remaining -= used;
    }
    Adopt(std::move(out), false);
    return 0;
}
#endif

NUVString::Result NUVString::BuildFromUTF16(const char16_t* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length; ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            Adopt(std::string(), true);
            return 1;
        }
        AppendUTF8(out, unit);
    }
    Adopt(std::move(out), false);
    return 0;
}

NUVString::Result NUVString::BuildFromWChar(const wchar_t* text) {
#if WCHAR_MAX <= 0xFFFF
    // Windows: wide text is UTF-16, whose surrogate pairs make one character.
    return BuildFromUTF16(reinterpret_cast<const char16_t*>(text), text ? std::wcslen(text) : 0);
#else
    std::string out;
    for (const wchar_t* p = text; p && *p; ++p) {
        if (!IsValidCodePoint(static_cast<char32_t>(*p))) {
            Adopt(std::string(), true);
            return 1;
        }
        AppendUTF8(out, static_cast<char32_t>(*p));
    }
    Adopt(std::move(out), false);
    return 0;
#endif
}

std::size_t NUVString::ByteOffset(std::size_t position) const {
    if (position >= m_length) return m_text.size();
    if (IsASCII() || m_bad) return position;
    std::size_t offset = 0;
    for (std::size_t k = 0; k < position; ++k)
        offset += SequenceLength(static_cast<unsigned char>(m_text[offset]));
    return offset;
}

NUVChar NUVString::operator[](std::size_t position) const {
    if (position >= m_length) return NUVChar();
    if (IsASCII() || m_bad) return NUVChar(static_cast<unsigned char>(m_text[position]));
    std::size_t offset = ByteOffset(position);
    return NUVChar(Decode(reinterpret_cast<const unsigned char*>(m_text.data()) + offset));
}

NUVString NUVString::SubString(std::size_t position, std::size_t count) const {
    if (position >= m_length) return NUVString();
    std::size_t begin = ByteOffset(position);
    std::size_t end = (count == npos || count >= m_length - position)
                          ? m_text.size()
                          : ByteOffset(position + count);
    NUVString result;
    result.Adopt(m_text.substr(begin, end - begin), m_bad);
    return result;
}

std::size_t NUVString::Find(const NUVString& what, std::size_t from) const {
    std::size_t byte = m_text.find(what.m_text, ByteOffset(from));
    if (byte == std::string::npos) return npos;
    if (IsASCII() || m_bad) return byte;
    std::size_t length = 0;
    CountUTF8(m_text.data(), byte, length);
    return length;
}

std::size_t NUVString::FindLast(NUVChar c) const {
    for (std::size_t k = m_length; k-- > 0;)
        if ((*this)[k] == c) return k;
    return npos;
}

NUVString NUVString::Strip() const {
    const char* ws = " \t\r\n\f\v";
    std::size_t begin = m_text.find_first_not_of(ws);
    if (begin == std::string::npos) return NUVString();
    std::size_t end = m_text.find_last_not_of(ws);
    NUVString result;
    result.Adopt(m_text.substr(begin, end - begin + 1), m_bad);
    return result;
}

NUVString NUVString::Replace(const NUVString& from, const NUVString& to) const {
    if (from.m_text.empty()) return *this;
    std::string out;
    std::size_t at = 0;
    for (std::size_t hit; (hit = m_text.find(from.m_text, at)) != std::string::npos;
         at = hit + from.m_text.size())
        out.append(m_text, at, hit - at).append(to.m_text);
    out.append(m_text, at, std::string::npos);
    NUVString result;
    result.Adopt(std::move(out), m_bad || to.m_bad);
    return result;
}

NUVString NUVString::ToLower() const {
    std::string out = m_text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    NUVString result;
    result.Adopt(std::move(out), m_bad);
    return result;
}

NUVString& NUVString::Append(const NUVString& other) {
    m_text += other.m_text;
    m_bad = m_bad || other.m_bad;
    // A malformed text is indexed by its bytes, also where a well-formed part joins it.
    m_length = m_bad ? m_text.size() : m_length + other.m_length;
    return *this;
}

NUVString& NUVString::Append(const char* utf8) { return Append(NUVString(utf8)); }

NUVString& NUVString::Append(NUVChar c) {
    if (c == NUVChar()) return *this; // the past-the-end character is no character
    std::string bytes;
    AppendUTF8(bytes, c.Code());
    m_text += bytes;
    m_length = m_bad ? m_text.size() : m_length + 1;
    return *this;
}

int NUVString::Compare(const NUVString& other) const {
    int r = std::strcmp(m_text.c_str(), other.m_text.c_str());
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

NUVOsString::NUVOsString(const NUVString& text, OsType type) : m_text(text), m_type(type) {}

std::u16string NUVOsString::ToUTF16() const {
    if (m_text.IsBAD()) throw NUVBasOsStringConversion("string is not valid UTF-8");
    std::u16string out;
    const auto* s = reinterpret_cast<const unsigned char*>(m_text.CastToCharPtr());
    for (std::size_t i = 0; s[i] != 0; i += SequenceLength(s[i])) {
        char32_t code = Decode(s + i);
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}
