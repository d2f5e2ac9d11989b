// setenv and unsetenv for the tests on Windows, over both copies of the
// environment: the runtime's (getenv) and the process's own
// (GetEnvironmentVariableW), which alone can hold an empty value. Names and
// values are UTF-8.
#pragma once

#include <Utf16Win32.h>

#include <WindowsApi.h>

#include <cstdlib>
#include <string>

inline int unsetenv(const char* name) {
    _wputenv((utf16::Widen(name) + L"=").c_str()); // "NAME=" removes the runtime's copy
    return SetEnvironmentVariableW(utf16::Widen(name).c_str(), nullptr) ||
                   GetLastError() == ERROR_ENVVAR_NOT_FOUND
               ? 0
               : -1;
}

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr) return 0;
    const std::wstring wideName = utf16::Widen(name), wideValue = utf16::Widen(value);
    // "NAME=" removes the runtime's copy: only the process's holds an empty value.
    if (_wputenv((wideName + L"=" + wideValue).c_str()) != 0 && !wideValue.empty()) return -1;
    return SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str()) ? 0 : -1;
}
