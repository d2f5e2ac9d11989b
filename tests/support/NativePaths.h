// The working directory, and paths in the form the library gives them back:
// Windows' separators there, and a rooted path on the working directory's drive.
#pragma once

#include <string>

#if defined(_WIN32)
#include <Utf16Win32.h>

inline std::string CurrentDir() {
    std::wstring path(32768, L'\0');
    path.resize(GetCurrentDirectoryW(static_cast<DWORD>(path.size()), &path[0]));
    return utf16::Narrow(path);
}
inline bool ChangeDir(const std::string& path) {
    return SetCurrentDirectoryW(utf16::Widen(path).c_str()) != 0;
}
inline std::string Native(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return !path.empty() && path[0] == '\\' ? CurrentDir().substr(0, 2) + path : path;
}
#else
#include <unistd.h>

inline std::string CurrentDir() {
    char path[4096];
    return getcwd(path, sizeof path) ? path : "";
}
inline bool ChangeDir(const std::string& path) { return chdir(path.c_str()) == 0; }
inline std::string Native(const std::string& path) { return path; }
#endif
