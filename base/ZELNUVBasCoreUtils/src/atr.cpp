#include <NUVBas/atr.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

atr_String::atr_String(const char* text) : atr_String() { Append(text, std::strlen(text)); }

atr_String::atr_String(const atr_String& other) : atr_String() {
    Append(other.m_data, other.m_size);
}

atr_String::atr_String(atr_String&& other) noexcept : atr_String() { Swap(other); }

atr_String& atr_String::operator=(atr_String other) noexcept {
    Swap(other);
    return *this;
}

atr_String::~atr_String() {
    if (m_data != m_inline) std::free(m_data);
}

void atr_String::Swap(atr_String& other) noexcept {
    const bool mineInline = m_data == m_inline, theirsInline = other.m_data == other.m_inline;
    if (mineInline && theirsInline) {
        char temp[kInlineCapacity];
        std::memcpy(temp, m_inline, m_size + 1);
        std::memcpy(m_inline, other.m_inline, other.m_size + 1);
        std::memcpy(other.m_inline, temp, m_size + 1);
    } else if (mineInline) {
        std::memcpy(other.m_inline, m_inline, m_size + 1);
        m_data = other.m_data;
        other.m_data = other.m_inline;
    } else if (theirsInline) {
        std::memcpy(m_inline, other.m_inline, other.m_size + 1);
        other.m_data = m_data;
        m_data = m_inline;
    } else {
        std::swap(m_data, other.m_data);
    }
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
}

char* atr_String::Reserve(std::size_t extra) {
    if (m_size + extra > m_capacity) {
        std::size_t capacity = m_capacity * 2 > m_size + extra ? m_capacity * 2 : m_size + extra;
        char* grown = static_cast<char*>(std::malloc(capacity + 1));
        if (grown == nullptr) throw std::bad_alloc();
        std::memcpy(grown, m_data, m_size + 1);
        if (m_data != m_inline) std::free(m_data);
        m_data = grown;
        m_capacity = capacity;
    }
    return m_data + m_size;
}

void atr_String::Append(const char* text, std::size_t length) {
    std::memcpy(Reserve(length), text, length);
    Commit(length);
}

namespace {

constexpr int kMaxWidth = 4096; // width and precision beyond this are cut

struct Mark {
    char flags[8] = {};
    int flagCount = 0;
    int width = -1;
    int precision = -1;
    char letter = 0;
    const char* end = nullptr; // one past the mark
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

int ReadNumber(const char*& p) {
    int n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n <= kMaxWidth) n = n * 10 + (*p - '0');
        ++p;
    }
    return n > kMaxWidth ? kMaxWidth : n;
}

/// Parses the mark that starts at `p` (just after '%'); false if none starts there.
bool ParseMark(const char* p, Mark& mark) {
    while (std::strchr("-+ #0", *p) != nullptr && *p != '\0') {
        if (mark.flagCount < 7) mark.flags[mark.flagCount++] = *p;
        ++p;
    }
    if (*p >= '0' && *p <= '9') mark.width = ReadNumber(p);
    if (*p == '.') {
        ++p;
        mark.precision = ReadNumber(p);
    }
    while (*p == 'h' || *p == 'l' || *p == 'L' || *p == 'q' || *p == 'j' || *p == 'z' ||
           *p == 't' || (p[0] == 'I' && p[1] == '6' && p[2] == '4'))
        p += (*p == 'I') ? 3 : 1;
    if (!IsLetter(*p)) return false;
    mark.letter = *p;
    mark.end = p + 1;
    return true;
}

/// Flags that are defined for a conversion letter; the others are dropped, so
/// that no combination reaches snprintf that the C library leaves undefined.
const char* FlagsFor(char letter) {
    switch (letter) {
    case 's':
        return "-";
    case 'd':
    case 'u':
        return "-+ 0";
    default: // x, X, o and the floating-point letters
        return "-+ #0";
    }
}

/// Renders with snprintf through a format we build ourselves, never the caller's.
template <class T>
void RenderFormatted(atr_String& out, const Mark& mark, const char* length, char letter, T value) {
    char format[32];
    char* f = format;
    *f++ = '%';
    const char* allowed = FlagsFor(letter);
    for (int k = 0; k < mark.flagCount; ++k)
        if (std::strchr(allowed, mark.flags[k]) != nullptr) *f++ = mark.flags[k];
    *f++ = '*';
    *f++ = '.';
    *f++ = '*';
    for (; *length; ++length)
        *f++ = *length;
    *f++ = letter;
    *f = '\0';
    const int width = mark.width < 0 ? 0 : mark.width;
    const int precision = mark.precision;
    int needed = std::snprintf(nullptr, 0, format, width, precision, value);
    if (needed <= 0) return;
    char* at = out.Reserve(static_cast<std::size_t>(needed));
    std::snprintf(at, static_cast<std::size_t>(needed) + 1, format, width, precision, value);
    out.Commit(static_cast<std::size_t>(needed));
}

bool IsPlain(const Mark& mark) {
    return mark.flagCount == 0 && mark.width < 0 && mark.precision < 0;
}

template <class T> void RenderInteger(atr_String& out, const Mark& mark, T value, bool isSigned) {
    char letter = mark.letter;
    if (letter != 'x' && letter != 'X' && letter != 'o') letter = isSigned ? 'd' : 'u';
    if (IsPlain(mark) && (letter == 'd' || letter == 'u')) {
        char* at = out.Reserve(24);
        out.Commit(static_cast<std::size_t>(std::to_chars(at, at + 24, value).ptr - at));
        return;
    }
    RenderFormatted(out, mark, "ll", letter, value);
}

void RenderText(atr_String& out, const Mark& mark, const char* text) {
    if (IsPlain(mark)) {
        out.Append(text, std::strlen(text));
        return;
    }
    RenderFormatted(out, mark, "", 's', text);
}

void RenderFloating(atr_String& out, const Mark& mark, double value) {
    char letter = mark.letter;
    if (std::strchr("eEfFgGaA", letter) == nullptr) letter = 'f';
    RenderFormatted(out, mark, "", letter, value);
}

} // namespace

atr_String atr_translate::Result(NUVBasStringMode) const {
    atr_String out;
    const char* p = m_template;
    int next = 0;
    while (*p != '\0') {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out.Append(p, std::strlen(p));
            break;
        }
        out.Append(p, static_cast<std::size_t>(percent - p));
        if (percent[1] == '%') {
            out.Append('%');
            p = percent + 2;
            continue;
        }
        Mark mark;
        if (!ParseMark(percent + 1, mark)) {
            out.Append('%');
            p = percent + 1;
            continue;
        }
        const Kind kind = next < kMaxValues ? m_kinds[next] : Kind::None;
        const Value* value = &m_values[next < kMaxValues ? next : 0];
        ++next;
        switch (kind) {
        case Kind::None:
            out.Append(percent, static_cast<std::size_t>(mark.end - percent));
            break;
        case Kind::Signed:
            RenderInteger(out, mark, static_cast<long long>(value->i), true);
            break;
        case Kind::Unsigned:
            RenderInteger(out, mark, static_cast<unsigned long long>(value->u), false);
            break;
        case Kind::Floating:
            RenderFloating(out, mark, value->d);
            break;
        case Kind::Text:
            RenderText(out, mark, value->s);
            break;
        }
        p = mark.end;
    }
    return out;
}
