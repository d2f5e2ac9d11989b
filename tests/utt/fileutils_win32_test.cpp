// The file utilities against what only Windows has: the system's short names,
// and paths of every length as callers give them.
#include <FileUtilsChecks.h>
#include <NativePaths.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <NUVZub/NUVZubUttOSFile.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using FileUtilsWin32 = QuietFileUtils;

// Every path the system receives, to check it against Windows' limits, which Wine lacks.
std::vector<std::wstring> g_paths;
BOOL WINAPI RecordMakeDir(LPCWSTR p, LPSECURITY_ATTRIBUTES sa) {
    g_paths.push_back(p);
    return fault::g_real.CreateDirectoryW(p, sa);
}
HANDLE WINAPI RecordOpen(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                         HANDLE t) {
    g_paths.push_back(p);
    return fault::g_real.CreateFileW(p, a, s, sa, d, f, t);
}
// Both calls that could pass a path on: a step must make exactly the one expected.
struct Recording {
    Recording() {
        g_paths.clear();
        fault::Calls calls = fault::g_real = fault::RealCalls();
        calls.CreateDirectoryW = RecordMakeDir;
        calls.CreateFileW = RecordOpen;
        fault::SetCalls(calls);
    }
    ~Recording() { fault::ResetCalls(); }
};

// Empty when Windows takes `path` as it stands: shorter than `limit` with its terminator, or
// behind the long-path prefix with no "." or ".." component (taken literally there).
std::string Refusal(const std::wstring& path, std::size_t limit) {
    if (path.compare(0, 4, L"\\\\?\\") != 0)
        return path.size() < limit ? "" : "too long without the prefix";
    for (const wchar_t* part : {L"\\.\\", L"\\..\\"})
        if (path.find(part) != std::wstring::npos) return "a dot component behind the prefix";
    return "";
}

// A path of `length` characters in `dir`, its directories made but itself not.
std::string PathOfLength(const TempDir& dir, std::size_t length) {
    std::string path = dir.Path() + "\\";
    while (path.size() + 101 < length) {
        path += std::string(100, 'p');
        if (!fu::IsDir(NUVString(path))) fu::MakeDir(NUVString(path));
        path += "\\";
    }
    return path + std::string(length - path.size(), 'q');
}

// Through the library: the test helpers' own calls stop at MAX_PATH.
void WriteByLibrary(const std::string& path, const std::string& content) {
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(path));
    file.WriteAll(content.data(), content.size());
    file.Close();
}
std::string ReadByLibrary(const std::string& path) {
    NUVZubUttOSFile file;
    file.OpenRead(NUVString(path));
    std::string content(file.FileSize(), '\0');
    content.resize(file.Read(&content[0], content.size()));
    return content;
}

} // namespace

// The system also matches the 8.3 short names: "*.htm" finds page.html as PAGE~1.HTM, "*.txt"
// finds notes.txt~. A removal by pattern takes exactly the long names the pattern matches,
// ignoring case, and keeps the conventions of "*." and "*.*".
TEST_F(FileUtilsWin32, RemoveAllTakesOnlyTheLongNamesThePatternMatches) {
    const std::set<std::string> names = {"page.html", "x.htm", "notes.txt~",   "keep.txt1",
                                         "a.TXT",     "b.txt", "data.TXT.bak", "noext"};
    const struct {
        const char* pattern;
        std::set<std::string> removed;
    } cases[] = {
        {"*.htm", {"x.htm"}}, {"*.txt", {"a.TXT", "b.txt"}}, {"*.", {"noext"}}, {"*.*", names}};
    for (const auto& c : cases) {
        TempDir fresh;
        std::set<std::string> left;
        for (const std::string& name : names) {
            fresh.Write(name, "");
            if (c.removed.count(name) == 0) left.insert(fresh.Path() + "/" + name);
        }
        fu::RemoveAll(NUVString(fresh / c.pattern));
        EXPECT_EQ(Collect(fresh / "*"), left) << c.pattern;
    }
}

// Windows creates a directory only up to MAX_PATH - 12 characters without the
// prefix (room for an 8.3 name inside); MakeDir works at every length, and the
// parts of a path are found there again.
TEST_F(FileUtilsWin32, DirectoriesAtEveryLength) {
    TempDir dir;
    for (std::size_t length : {240u, 247u, 248u, 255u, 259u, 260u, 400u}) {
        const std::string path = PathOfLength(dir, length);
        {
            Recording recording;
            fu::MakeDir(NUVString(path));
        }
        ASSERT_EQ(g_paths.size(), 1u);
        EXPECT_EQ(Refusal(g_paths[0], MAX_PATH - 12), "") << length;
        EXPECT_TRUE(fu::IsDir(NUVString(path))) << length;
        WriteByLibrary(path + "\\f.x", "");
        EXPECT_EQ(Collect(path + "\\*.x"), (std::set<std::string>{path + "/f.x"})) << length;
        fu::RemoveAll(NUVString(path + "\\*.x"));
        fu::RemoveDir(NUVString(path));
        EXPECT_FALSE(fu::FileExists(NUVString(path))) << length;
    }
}

// "." and ".." in a long path: folded before the prefix, which would make the
// system take them literally (error 123).
TEST_F(FileUtilsWin32, LongPathsWithDotComponents) {
    TempDir dir;
    const std::string deep = PathOfLength(dir, 300);
    const std::string parent = deep.substr(0, deep.find_last_of('\\'));
    fu::MakeDir(NUVString(deep));
    const std::string dotted = deep + "\\..\\.\\" + deep.substr(deep.find_last_of('\\') + 1);
    WriteByLibrary(dotted + "\\f", "through dots");
    EXPECT_EQ(ReadByLibrary(deep + "\\f"), "through dots");
    EXPECT_TRUE(fu::SameFile(NUVString(dotted + "\\f"), NUVString(deep + "\\f")));
    fu::Move(NUVString(dotted + "\\f"), NUVString(dotted + "\\..\\g"));
    EXPECT_TRUE(fu::FileExists(NUVString(parent + "\\g")));
    fu::Remove(NUVString(deep + "\\..\\g"));
    EXPECT_FALSE(fu::FileExists(NUVString(parent + "\\g")));
}

// A relative path of MAX_PATH or more names the file under the working
// directory, and reaches the system in the long form Windows requires for it.
TEST_F(FileUtilsWin32, LongRelativePathsNameFilesUnderTheWorkingDirectory) {
    TempDir dir;
    const std::string sub(200, 's');
    fu::MakeDir(NUVString(dir / sub));
    const std::string relative = sub + "\\" + std::string(100, 'f');
    const std::string cwd = CurrentDir();
    ASSERT_TRUE(ChangeDir(dir.Path()));
    {
        Recording recording;
        WriteByLibrary(relative, "relative");
    }
    const bool exists = fu::FileExists(NUVString(relative));
    ASSERT_TRUE(ChangeDir(cwd));
    EXPECT_TRUE(exists);
    EXPECT_EQ(ReadByLibrary(dir / relative), "relative");
    ASSERT_FALSE(g_paths.empty());
    EXPECT_EQ(Refusal(g_paths[0], MAX_PATH), "");
}
