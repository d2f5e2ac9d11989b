// UTF-8 <-> UTF-16 at the platform boundary, and the one place where a path
// becomes what the system opens. Windows names are UTF-16 that may hold
// unpaired surrogates; they travel through the library as WTF-8 (the
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

/// `path` folded by the system's own rules (GetFullPathNameW): made absolute
/// against the working directory, "." and ".." folded, trailing dots and
/// spaces cut, device names mapped. The long-path form that FixPathForOS
/// gives ("\\?\C:\..." or "\\?\UNC\...") is folded like the plain path; any
/// other "\\?\" path (a volume name, say) stays as it is. Returns 0 or the
/// system error code.
int FoldPath(const std::wstring& path, std::wstring& full);

/// The path for the wide file calls: ToWide, FoldPath, then the long-path
/// prefix on every drive or server path, so that one name means one file at
/// every length and no limit of MAX_PATH applies. A path the system cannot
/// fold goes as given, for the call to report what is wrong with it.
int ToWidePath(const char* path, std::wstring& wide);

} // namespace NUVZubPlatform
