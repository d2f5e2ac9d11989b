// Message formatting: a template with printf-style marks, filled by position.
//
// Marks are %[flags][width][.precision][length]letter; "%%" is a percent sign.
// Value k fills the k-th mark and is rendered by its own type: the mark's letter
// is honoured only where it suits the value (x, X, o for integers; e, f, g, a
// for floating point), so a template that disagrees with its values can never
// read garbage. A mark without a value stays as written; values without a mark
// are ignored; a '%' that starts no mark (a lone or trailing one) is kept.
#pragma once

#include <NUVBas/NUVBasExport.h>

#include <cstddef>
#include <cstdint>

/// One-byte formatting mode passed through every formatting call.
class NUVBasStringMode {
public:
    explicit constexpr NUVBasStringMode(bool value) : m_value(value) {}
    constexpr bool Value() const { return m_value; }

private:
    bool m_value;
};

/// A formatted text. Short texts live inside the object, without a heap allocation.
class NUVBAS_CORE_API atr_String {
public:
    atr_String() { m_inline[0] = '\0'; }
    explicit atr_String(const char* text);
    atr_String(const atr_String& other);
    atr_String(atr_String&& other) noexcept;
    atr_String& operator=(atr_String other) noexcept;
    ~atr_String();

    const char* CStr() const { return m_data; }
    std::size_t Length() const { return m_size; }

    void Append(const char* text, std::size_t length);
    void Append(char c) { Append(&c, 1); }
    /// Makes room for `extra` more bytes and returns where they go; Commit them after.
    char* Reserve(std::size_t extra);
    void Commit(std::size_t written) {
        m_size += written;
        m_data[m_size] = '\0';
    }

    static constexpr std::size_t kInlineCapacity = 512;

private:
    void Swap(atr_String& other) noexcept;

    char* m_data = m_inline;
    std::size_t m_size = 0;
    std::size_t m_capacity = kInlineCapacity - 1;
    char m_inline[kInlineCapacity];
};

/// A template being filled: values are recorded by position, then Result renders.
class NUVBAS_CORE_API atr_translate {
public:
    atr_translate(const char* templateText, NUVBasStringMode)
        : m_template(templateText ? templateText : "") {}

    enum class Kind : std::uint8_t { None, Signed, Unsigned, Floating, Text };

    void SetSigned(int position, std::int64_t value) {
        if (Valid(position)) m_values[position - 1].i = value, m_kinds[position - 1] = Kind::Signed;
    }
    void SetUnsigned(int position, std::uint64_t value) {
        if (Valid(position))
            m_values[position - 1].u = value, m_kinds[position - 1] = Kind::Unsigned;
    }
    void SetFloating(int position, double value) {
        if (Valid(position))
            m_values[position - 1].d = value, m_kinds[position - 1] = Kind::Floating;
    }
    void SetText(int position, const char* value) {
        if (Valid(position))
            m_values[position - 1].s = value ? value : "", m_kinds[position - 1] = Kind::Text;
    }

    atr_String Result(NUVBasStringMode mode) const;

    /// Positions beyond this are ignored.
    static constexpr int kMaxValues = 16;

private:
    static bool Valid(int position) { return position >= 1 && position <= kMaxValues; }

    union Value {
        std::int64_t i;
        std::uint64_t u;
        double d;
        const char* s;
    };
    const char* m_template;
    Kind m_kinds[kMaxValues] = {}; // only positions with a kind have a value
    Value m_values[kMaxValues];
};

inline void atr_SubstituteFormat(atr_translate& t, int position, int value, NUVBasStringMode) {
    t.SetSigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, long value, NUVBasStringMode) {
    t.SetSigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, long long value,
                                 NUVBasStringMode) {
    t.SetSigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, bool value, NUVBasStringMode) {
    t.SetSigned(position, value ? 1 : 0);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, unsigned int value,
                                 NUVBasStringMode) {
    t.SetUnsigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, unsigned long value,
                                 NUVBasStringMode) {
    t.SetUnsigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, unsigned long long value,
                                 NUVBasStringMode) {
    t.SetUnsigned(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, float value, NUVBasStringMode) {
    t.SetFloating(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, double value, NUVBasStringMode) {
    t.SetFloating(position, value);
}
inline void atr_SubstituteFormat(atr_translate& t, int position, const char* value,
                                 NUVBasStringMode) {
    t.SetText(position, value);
}

namespace atr_detail {
template <class T> void Put(atr_translate& t, int& position, const T& value, NUVBasStringMode m) {
    atr_SubstituteFormat(t, position++, value, m);
}
inline void Put(atr_translate&, int&, NUVBasStringMode, NUVBasStringMode) {}

template <class T> constexpr NUVBasStringMode Last(const T&) { return NUVBasStringMode(false); }
constexpr NUVBasStringMode Last(NUVBasStringMode mode) { return mode; }
template <class T, class... Rest> constexpr NUVBasStringMode Last(const T&, const Rest&... rest) {
    return Last(rest...);
}
} // namespace atr_detail

/// atr(template, values..., mode): fills the template's marks with the values
/// in order and returns the text.
template <class... Args> atr_String atr(const char* templateText, const Args&... args) {
    const NUVBasStringMode mode = atr_detail::Last(args...);
    atr_translate translate(templateText, mode);
    int position = 1;
    (atr_detail::Put(translate, position, args, mode), ...);
    return translate.Result(mode);
}
