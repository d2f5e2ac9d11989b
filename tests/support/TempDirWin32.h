// TempDir for Windows: a fresh directory in the system's temporary directory,
// named in UTF-8 with backslashes, removed with its contents (read-only files
// included) after the test.
#pragma once

#include <Utf16Win32.h>

#include <WindowsApi.h>

#include <fstream>
#include <string>

namespace tempdir_detail {

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace tempdir_detail

class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        const DWORD n = GetTempPathW(MAX_PATH + 1, base);
        std::wstring root(base, n);
        if (!root.empty() && root.back() == L'\\') root.pop_back();
        static unsigned counter = 0;
        for (;;) {
            const std::wstring candidate = root + L"\\nuvzub_files_" +
                                           std::to_wstring(GetCurrentProcessId()) + L"_" +
                                           std::to_wstring(++counter);
            if (CreateDirectoryW(candidate.c_str(), nullptr)) {
                m_path = utf16::Narrow(candidate);
                return;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS) return; // m_path stays empty
        }
    }
    ~TempDir() {
        if (!m_path.empty()) tempdir_detail::RemoveTree(utf16::Widen(m_path));
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }
    /// Writes `content` to the file `name` inside the directory.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = *this / name;
        const HANDLE file = CreateFileW(utf16::Widen(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
            CloseHandle(file);
        }
        return path;
    }

private:
    std::string m_path;
};

inline std::string ReadWhole(const std::string& path) {
    std::string content;
    const HANDLE file = CreateFileW(utf16::Widen(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return content;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
        content.append(buffer, n);
    CloseHandle(file);
    return content;
}
