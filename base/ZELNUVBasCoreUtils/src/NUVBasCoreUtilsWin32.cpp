#include "NUVBasCoreUtilsWin32.h"

#include <NUVBas/NUVString.h>

#include <windows.h>

#include <cstdio>
#include <cstring>

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
