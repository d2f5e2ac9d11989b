// UTF-8 <-> UTF-16 for the Windows test helpers.
#pragma once

#include <WindowsApi.h>

#include <string>

namespace utf16 {

inline std::wstring Widen(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return wide;
}

inline std::string Narrow(const std::wstring& wide) {
    std::string text(wide.size() * 3 + 1, '\0');
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0],
                                      static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
    return text;
}

} // namespace utf16
