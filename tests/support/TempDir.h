// A fresh directory under /tmp (Windows: the temporary directory) for one
// test, removed with its contents after.
#pragma once

#if !defined(_WIN32)

#include <cstdlib>
#include <fstream>
#include <string>

class TempDir {
public:
    TempDir() {
        char templ[] = "/tmp/nuvzub_files_XXXXXX";
        m_path = mkdtemp(templ);
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    /// Writes `content` to the file `name` inside the directory.
    std::string Write(const std::string& name, const std::string& content) const {
        const std::string path = *this / name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

private:
    std::string m_path;
};

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
#else
#include <TempDirWin32.h>
#endif
