#include "NUVBasCoreUtilsWin32.h"

#include <NUVBas/NUVString.h>

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

bool NUVBasWin32::AnsiToUTF16(const char* text, std::u16string& wide) {
    wide.clear();
    const std::size_t length = std::strlen(text);
    if (length == 0) return true;
    if (length > INT_MAX) return false;
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text,
                                          static_cast<int>(length), nullptr, 0);
    if (units <= 0) return false;
    wide.resize(static_cast<std::size_t>(units));
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, static_cast<int>(length),
                               reinterpret_cast<wchar_t*>(&wide[0]), units) == units;
}

void NUVBasWin32::SystemMessage(unsigned long code, char* text, std::size_t capacity) {
    wchar_t wide[512];
    DWORD units = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, wide, sizeof wide / sizeof wide[0], nullptr);
    while (units > 0 &&
           (wide[units - 1] == L'\r' || wide[units - 1] == L'\n' || wide[units - 1] == L' '))
        --units;
    NUVString message;
    if (units == 0 || message.BuildFromUTF16(reinterpret_cast<const char16_t*>(wide), units) != 0) {
        std::snprintf(text, capacity, "Unknown error %lu", code);
        return;
    }
    // Bounded, and never cut inside a UTF-8 sequence.
    std::size_t bytes = message.ByteLength();
    if (bytes >= capacity) {
        bytes = capacity - 1;
        while (bytes > 0 &&
               (static_cast<unsigned char>(message.CastToCharPtr()[bytes]) & 0xC0) == 0x80)
            --bytes;
    }
    std::memcpy(text, message.CastToCharPtr(), bytes);
    text[bytes] = '\0';
}
