// A fresh directory for one test, removed with its contents after, read-only files included:
// under /tmp, or in Windows' temporary directory named in UTF-8 with backslashes.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#if defined(_WIN32)
#include <Utf16Win32.h>

#include <WindowsApi.h>

namespace tempdir_detail {

inline void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        const std::wstring name = found.cFileName, child = path + L"\\" + name;
        if (name == L"." || name == L"..") continue;
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(child);
        else
            DeleteFileW(child.c_str());
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    RemoveDirectoryW(path.c_str());
}

// Shares everything: the library may hold the file open meanwhile.
inline HANDLE OpenUtf8(const std::string& path, DWORD access, DWORD disposition) {
    return CreateFileW(utf16::Widen(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace tempdir_detail

class TempDir {
public:
    TempDir() {
        wchar_t base[MAX_PATH + 1];
        std::wstring root(base, GetTempPathW(MAX_PATH + 1, base));
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
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }
    /// Writes `content` to the file `name` inside the directory.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = *this / name;
        const HANDLE file = tempdir_detail::OpenUtf8(path, GENERIC_WRITE, CREATE_ALWAYS);
        if (file == INVALID_HANDLE_VALUE) return path;
        DWORD written = 0;
        WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        CloseHandle(file);
        return path;
    }
#else
class TempDir {
public:
    TempDir() {
        char templ[] = "/tmp/nuvzub_files_XXXXXX";
        m_path = mkdtemp(templ);
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    /// Writes `content` to the file `name` inside the directory.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = *this / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
#endif
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline std::string ReadWhole(const std::string& path) {
#if defined(_WIN32)
    std::string content;
    const HANDLE file = tempdir_detail::OpenUtf8(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE) return content;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
        content.append(buffer, n);
    CloseHandle(file);
    return content;
#else
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
#endif
}
