// UTF-8 <-> UTF-16 at the platform boundary. Windows names are UTF-16 that may
// hold unpaired surrogates; they travel through the library as WTF-8 (the
// surrogate encoded like any other code point), so every name a search
// returns can be handed back to the system unchanged.
#pragma once

#include <string>

namespace NUVZubPlatform {

/// UTF-8 (surrogates accepted) to UTF-16; false for bytes that are not UTF-8.
bool ToWide(const char* text, std::wstring& wide);
/// UTF-16 (unpaired surrogates included) to UTF-8; never fails.
void ToNarrow(const wchar_t* text, std::size_t length, std::string& narrow);
inline void ToNarrow(const std::wstring& text, std::string& narrow) {
    ToNarrow(text.data(), text.size(), narrow);
}

/// A path for the wide file calls: ToWide, and a relative path behind the
/// long-path prefix made absolute, since the system takes "\\?\" paths
/// literally and never resolves them against the working directory. Returns 0
/// or the system error code.
int ToWidePath(const char* path, std::wstring& wide);

} // namespace NUVZubPlatform
