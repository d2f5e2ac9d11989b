#include "Wide.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <utility>

namespace NUVZubPlatform {

bool ToWide(const char* text, std::wstring& wide) {
    wide.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        std::uint32_t c = *p;
        int more = 0;
        std::uint32_t least = 0;
        if (c < 0x80) {
        } else if (c >= 0xC2 && c <= 0xDF) {
            c &= 0x1F, more = 1, least = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            c &= 0x0F, more = 2, least = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            c &= 0x07, more = 3, least = 0x10000;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < more; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false; // also stops at the terminator
            c = (c << 6) | (*p & 0x3F);
        }
        if (c < least || c > 0x10FFFF) return false; // overlong or beyond Unicode
        if (c >= 0x10000) {
            c -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (c >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(c);
        }
    }
    return true;
}

void ToNarrow(const wchar_t* text, std::size_t length, std::string& narrow) {
    narrow.clear();
    narrow.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            const std::uint32_t low = static_cast<std::uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            narrow += static_cast<char>(c);
        } else if (c < 0x800) {
            narrow += static_cast<char>(0xC0 | (c >> 6));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            narrow += static_cast<char>(0xE0 | (c >> 12));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            narrow += static_cast<char>(0xF0 | (c >> 18));
            narrow += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            narrow += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

namespace {

bool IsDriveRooted(const wchar_t* p) {
    return ((p[0] >= L'a' && p[0] <= L'z') || (p[0] >= L'A' && p[0] <= L'Z')) && p[1] == L':' &&
           p[2] == L'\\';
}

bool StartsWith(const std::wstring& text, const wchar_t* head) {
    return text.compare(0, std::wcslen(head), head) == 0;
}

} // namespace

int FoldPath(const std::wstring& path, std::wstring& full) {
    std::wstring plain;
    const std::wstring* source = &path;
    if (StartsWith(path, L"\\\\?\\")) {
        // The system takes a "\\?\" path literally; the library's own long
        // form of a drive or server path is folded like its short form.
        if (IsDriveRooted(path.c_str() + 4)) {
            plain = path.substr(4);
        } else if (path.compare(4, 4, L"UNC\\") == 0) {
            plain = L"\\" + path.substr(7);
        } else {
            full = path;
            return 0;
        }
        source = &plain;
    }
    // Sized by a first call; the working directory may change in between.
    DWORD size = MAX_PATH;
    for (;;) {
        full.resize(size);
        const DWORD length = GetFullPathNameW(source->c_str(), size, &full[0], nullptr);
        if (length == 0) return static_cast<int>(GetLastError());
        if (length < size) {
            full.resize(length);
            return 0;
        }
        size = length;
    }
}

int ToWidePath(const char* path, std::wstring& wide) {
    std::wstring given;
    if (!ToWide(path, given)) return ERROR_NO_UNICODE_TRANSLATION;
    std::wstring full;
    if (FoldPath(given, full) != 0) {
        wide = std::move(given);
        return 0;
    }
    if (IsDriveRooted(full.c_str()))
        wide = L"\\\\?\\" + full;
    else if (StartsWith(full, L"\\\\") && full[2] != L'?' && full[2] != L'.')
        wide = L"\\\\?\\UNC\\" + full.substr(2);
    else
        wide = std::move(full); // a device ("\\.\NUL", "\\.\pipe\x") or a literal "\\?\" path
    return 0;
}

} // namespace NUVZubPlatform
