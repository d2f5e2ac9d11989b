// The shared-services library's environment, file opening and process
// arguments over the Windows services: names and values cross in UTF-16.
#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVBasShared.h>

#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <string>

bool NUVBasGetEnv(const char* name, NUVString& value) {
    value = NUVString();
    std::u16string wideName;
    try {
        wideName = NUVOsString(NUVString(name)).ToUTF16();
    } catch (const NUVBasOsStringConversion&) {
        return false; // no variable has a name that is not text
    }
    const auto* key = reinterpret_cast<const wchar_t*>(wideName.c_str());
    std::wstring text(64, L'\0');
    for (;;) {
        // Zero with ERROR_ENVVAR_NOT_FOUND is unset; zero otherwise is set and empty.
        SetLastError(ERROR_SUCCESS);
        DWORD units = GetEnvironmentVariableW(key, &text[0], static_cast<DWORD>(text.size()));
        if (units == 0) return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        if (units < text.size()) {
            value.BuildFromUTF16(reinterpret_cast<const char16_t*>(text.data()), units);
            return true;
        }
        text.resize(units); // the size needed, terminator included
    }
}

std::FILE* NUVBasFileOps::Fopen(const char* name, const char* mode) {
    try {
        std::u16string wideName = NUVOsString(NUVString(name)).ToUTF16();
        std::u16string wideMode = NUVOsString(NUVString(mode)).ToUTF16();
        return _wfopen(reinterpret_cast<const wchar_t*>(wideName.c_str()),
                       reinterpret_cast<const wchar_t*>(wideMode.c_str()));
    } catch (const NUVBasOsStringConversion&) {
        errno = EINVAL; // a name that is not UTF-8 names no file
        return nullptr;
    }
}

NUVBasGetCommandArgs::NUVBasGetCommandArgs() {
    // Split by the system's rules, as the C runtime splits them for main, and
    // kept whole: UTF-8 (the library's narrow text on Windows) from the wide
    // command line, not the ANSI code page's lossy form.
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::size_t> starts;
    for (int i = 0; wide != nullptr && i < count; ++i) {
        starts.push_back(m_text.size());
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        if (bytes <= 0) {
            m_text.push_back('\0');
            continue;
        }
        m_text.resize(m_text.size() + static_cast<std::size_t>(bytes));
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &m_text[starts.back()], bytes, nullptr,
                            nullptr);
    }
    if (wide != nullptr) LocalFree(wide);
    if (starts.empty()) {
        starts.push_back(0);
        m_text.push_back('\0');
    }
    for (std::size_t start : starts)
        m_pointers.push_back(&m_text[start]);
    m_pointers.push_back(nullptr);
}
