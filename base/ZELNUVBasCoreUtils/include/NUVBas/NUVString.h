// Core-utilities string: UTF-8 inside, positions and lengths in characters.
#pragma once

#include <NUVBas/NUVBasExport.h>

#include <cstddef>
#include <string>

/// One Unicode character (a code point). A position past the end of a string
/// yields NUVChar(), which equals no separator, colon or letter.
class NUVChar {
public:
    constexpr NUVChar() = default;
    constexpr NUVChar(char32_t codePoint) : m_code(codePoint) {}
    constexpr char32_t Code() const { return m_code; }
    constexpr NUVChar ASCIIToLower() const {
        return (m_code >= 'A' && m_code <= 'Z') ? NUVChar(m_code + ('a' - 'A')) : *this;
    }
    constexpr bool IsASCIILetter() const {
        return (m_code >= 'A' && m_code <= 'Z') || (m_code >= 'a' && m_code <= 'z');
    }
    friend constexpr bool operator==(NUVChar a, NUVChar b) { return a.m_code == b.m_code; }
    friend constexpr bool operator!=(NUVChar a, NUVChar b) { return a.m_code != b.m_code; }

private:
    char32_t m_code = 0;
};

class NUVBAS_CORE_API NUVString {
public:
    using Result = int; ///< 0 on success

    NUVString() = default;
    NUVString(const char* utf8);
    NUVString(const char* utf8, std::size_t byteCount);
    NUVString(const std::string& utf8) : NUVString(utf8.data(), utf8.size()) {}

    /// Text in the process's locale encoding (multibyte; on Windows UTF-8, the
    /// form of its wide text) to UTF-8. 1 on failure, which leaves the string BAD.
    Result BuildFromLocale(const char* text);
    /// UTF-16 text of `length` units; 1 on failure (unpaired surrogate).
    Result BuildFromUTF16(const char16_t* text, std::size_t length);
    /// Zero-terminated wide text (UTF-32 on Linux, UTF-16 on Windows); 1 on failure.
    Result BuildFromWChar(const wchar_t* text);

    /// The UTF-8 text; "" for an empty string, never null.
    const char* CastToCharPtr() const { return m_text.c_str(); }
    const std::string& Str() const { return m_text; }

    /// True for a string built from invalid input (malformed UTF-8, failed conversion).
    bool IsBAD() const { return m_bad; }
    bool IsNull() const { return m_text.empty(); }

    std::size_t Length() const { return m_length; } ///< characters
    std::size_t ByteLength() const { return m_text.size(); }
    bool IsASCII() const { return m_length == m_text.size(); }

    /// Character at `position`; NUVChar() past the end.
    NUVChar operator[](std::size_t position) const;
    /// Byte offset of character `position` (ByteLength() past the end).
    std::size_t ByteOffset(std::size_t position) const;

    /// Up to `count` characters from `position`; npos takes the rest.
    NUVString SubString(std::size_t position, std::size_t count = npos) const;
    /// Position of the first character of `what` at or after `from`, or npos.
    std::size_t Find(const NUVString& what, std::size_t from = 0) const;
    /// Position of the last `c`, or npos.
    std::size_t FindLast(NUVChar c) const;

    NUVString Strip() const; ///< without leading and trailing white space
    NUVString Replace(const NUVString& from, const NUVString& to) const; ///< every occurrence
    NUVString ToLower() const; ///< ASCII letters lowered; other characters kept
    NUVString& Append(const NUVString& other);
    NUVString& Append(const char* utf8);
    NUVString& Append(NUVChar c);

    /// Byte-wise comparison of the two texts: <0, 0, >0 as strcmp.
    int Compare(const NUVString& other) const;

    friend bool operator==(const NUVString& a, const NUVString& b) { return a.m_text == b.m_text; }
    friend bool operator!=(const NUVString& a, const NUVString& b) { return a.m_text != b.m_text; }
    friend bool operator<(const NUVString& a, const NUVString& b) { return a.Compare(b) < 0; }
    friend NUVString operator+(NUVString a, const NUVString& b) { return a.Append(b); }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    void Adopt(std::string utf8, bool bad);

    std::string m_text;
    std::size_t m_length = 0;
    bool m_bad = false;
};

/// Platform form of a string: the text handed to the operating system.
class NUVBAS_CORE_API NUVOsString {
public:
    enum OsType { Native, Windows, Posix };
    NUVOsString(const NUVString& text, OsType type = Native);
    /// UTF-16 form (Windows' wide text). Throws NUVBasOsStringConversion for a BAD string.
    std::u16string ToUTF16() const;
    /// Zero-terminated text for the POSIX system calls (UTF-8).
    const char* ToNative() const { return m_text.CastToCharPtr(); }

private:
    NUVString m_text;
    OsType m_type;
};
