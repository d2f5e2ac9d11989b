// windows.h for the test helpers, without the macros that would rename the
// tests' own calls (min and max, GetMessage, RemoveDirectory, ...).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetMessage
#undef RemoveDirectory
#undef CreateFile
#undef DeleteFile
#undef CopyFile
#undef MoveFile

/// True under Wine, whose behaviour differs from Windows' in a few documented
/// places (advisory locks, some error codes); tests skip those there.
inline bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
