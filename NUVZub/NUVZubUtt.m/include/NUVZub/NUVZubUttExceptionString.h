// Fixed-capacity text of an exception: N bytes, at most N - 1 of text and a zero.
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <cstddef>

template <std::size_t N> class NUVZubUttExceptionString {
    static_assert(N >= 1, "room for the terminating zero");

public:
    /// Copies at most N - 1 bytes, never half of a valid UTF-8 character (the
    /// way NUVZubUttUtils::Copy does); a null text reads as empty.
    NUVZubUttExceptionString(const char* text) {
        NUVZubUttUtils::Copy(m_text, text ? text : "", static_cast<int>(N));
    }
    NUVZubUttExceptionString(const NUVString& text)
        : NUVZubUttExceptionString(text.CastToCharPtr()) {}

    const char* AsString() const { return m_text; }

private:
    char m_text[N];
};
