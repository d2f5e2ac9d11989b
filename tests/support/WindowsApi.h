// windows.h without the macros that would rename the tests' own calls.
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

/// True under Wine, which differs from Windows in a few documented places.
inline bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
