// setenv and unsetenv over both copies of the environment: the runtime's (getenv)
// and the process's (GetEnvironmentVariableW), which alone holds an empty value.
#pragma once

#include <Utf16Win32.h>

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
    if (_wputenv((wideName + L"=" + wideValue).c_str()) != 0 && !wideValue.empty()) return -1;
    return SetEnvironmentVariableW(wideName.c_str(), wideValue.c_str()) ? 0 : -1;
}
