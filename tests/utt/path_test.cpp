#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttFilePathParser.h>
#include <NUVZubUttPathForms.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace P = NUVZubUttFilePathParser;

namespace {

std::string S(const NUVString& s) { return s.Str(); }

struct Parts {
    const char* path;
    const char* dir;
    const char* tail;
    const char* base;
    const char* ext;
    const char* basePath;
    bool absolute;
};

// Each row: DirPath, Tail, BaseName, Extension, BasePath, IsAbsolute.
const Parts kParts[] = {
    {"C:\\dir\\file.txt", "C:\\dir", "file.txt", "file", ".txt", "C:\\dir\\file", true},
    {"\\\\server\\share\\a.b\\c.txt", "\\\\server\\share\\a.b", "c.txt", "c", ".txt",
     "\\\\server\\share\\a.b\\c", true},
    {"\\\\server\\share", "\\\\server", "\\\\server\\share", "\\\\server\\share", "",
     "\\\\server\\share", true},
    {"dir\\file.txt", "dir", "file.txt", "file", ".txt", "dir\\file", false},
    {"\\dir\\file", "\\dir", "file", "file", "", "\\dir\\file", false},
    {"/usr/lib/x.so", "/usr/lib", "x.so", "x", ".so", "/usr/lib/x", true},
    {"a.b\\c", "a.b", "c", "c", "", "a.b\\c", false},
    {"dir.d/file", "dir.d", "file", "file", "", "dir.d/file", false},
    {"", "", "", "", "", "", false},
    {"C:\\", "C:", "", "", "", "C:\\", true},
    {"C:file.txt", "", "C:file.txt", "C:file", ".txt", "C:file", true},
    {"c:/mixed\\seps/f.x", "c:/mixed\\seps", "f.x", "f", ".x", "c:/mixed\\seps/f", true},
    {"/usr", "", "usr", "usr", "", "/usr", true},
    {"x.tar.gz", "", "x.tar.gz", "x.tar", ".gz", "x.tar", false},
    {"d/.hidden", "d", ".hidden", "", ".hidden", "d/", false},
    // Slash style (no drive letter, no backslash): only the forward slash separates.
    {"a/b:c", "a", "b:c", "b:c", "", "a/b:c", false},
    {"1:/x", "1:", "x", "x", "", "1:/x", false},
    // Multi-byte names: positions are characters, cuts fall between them.
    {"/tmp/réseau.d/fïchier.ünï", "/tmp/réseau.d", "fïchier.ünï", "fïchier", ".ünï",
     "/tmp/réseau.d/fïchier", true},
    {"Ω:\\x", "Ω:", "x", "x", "", "Ω:\\x", false},
    {"/données/€uro.€", "/données", "€uro.€", "€uro", ".€", "/données/€uro", true},
};

TEST(PathParser, TakesPathsApartInBothStyles) {
    for (const Parts& p : kParts) {
        SCOPED_TRACE(p.path);
        const NUVString path(p.path);
        EXPECT_EQ(S(P::DirPath(path)), p.dir);
        EXPECT_EQ(S(P::Tail(path)), p.tail);
        EXPECT_EQ(S(P::BaseName(path)), p.base);
        EXPECT_EQ(S(P::Extension(path)), p.ext);
        EXPECT_EQ(P::HasExtension(path), *p.ext != '\0');
        EXPECT_EQ(S(P::BasePath(path)), p.basePath);
        EXPECT_EQ(P::IsAbsolute(path), p.absolute);
        // The parts count characters, not bytes.
        EXPECT_EQ(P::Tail(path).Length(), NUVString(p.tail).Length());
        EXPECT_EQ(P::Extension(path).Length(), NUVString(p.ext).Length());
    }
}

TEST(PathParser, ServerPrefixNeedsASeparatorAfterTheServer) {
    // Without a separator after the server name there is no server prefix.
    EXPECT_EQ(S(P::Tail(NUVString("\\\\server"))), "server");
    EXPECT_EQ(S(P::DirPath(NUVString("\\\\server"))), "\\");
    // "\\\" has an empty server part; the remainder is empty, so the tail is the whole path.
    EXPECT_EQ(S(P::Tail(NUVString("\\\\\\"))), "\\\\\\");
    EXPECT_EQ(S(P::Tail(NUVString("\\\\server/share/x"))), "x");
}

TEST(PathParser, JoinSeparatorRules) {
    const struct {
        const char* dir;
        const char* name;
        const char* joined;
    } cases[] = {
        {"", "f", "f"},
        {"d", "/f", "/f"},
        {"d", "\\f", "\\f"},
        {"d", "C:f", "C:f"},
        {"/tmp//", "x", "/tmp/x"},
        {"/tmp", "x", "/tmp/x"},
        {"C:\\dir\\", "f", "C:\\dir/f"},
        {"d\\/", "x", "d\\/x"}, // one kind removed at a time
        {"d/\\\\", "x", "d/x"}, // backslashes, then slashes
        {"\\\\server", "x", "\\\\server/x"},
        {"/", "x", "/x"},
        {"d", "", "d/"},
        {"réper", "fïle", "réper/fïle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " + " + c.name);
        const NUVString joined = P::Join(NUVString(c.dir), NUVString(c.name));
        EXPECT_EQ(S(joined), c.joined);
        EXPECT_EQ(joined.Length(), NUVString(c.joined).Length());
    }
}

TEST(PathParser, CompareFoldsSeparatorsButNotCase) {
    const struct {
        const char* a;
        const char* b;
        int order;
    } cases[] = {
        {"a/b", "a\\b", 0},
        {"a", "ab", -1},
        {"ab", "a", 1},
        {"a/c", "a\\b", 1},
        {"a\\b", "a/c", -1},
        {"", "", 0},
        {"", "a", -1},
        {"a", "", 1},
        {"C:\\X", "c:/x", -1},
        {"X", "x", -1},
        // Code-point order: é (U+E9) after z, € (U+20AC) after é.
        {"é", "z", 1},
        {"/é", "\\€", -1},
        // Long paths: equal runs and folded separators past the first eight bytes.
        {"/usr/lib/x86_64-linux/libfoo.so.1", "\\usr\\lib\\x86_64-linux\\libfoo.so.1", 0},
        {"/usr/lib/x86_64-linux/libfoo.so.1", "/usr/lib/x86_64-linux/libfoo.so.2", -1},
        {"/usr/lib/x86_64-linuy/a", "\\usr\\lib\\x86_64-linux\\libfoo.so.1", 1},
        {"/usr/lib/x86_64-linux", "/var/lib/x86_64-linux", -1},
        {"\\usr\\lib\\x86_64-linux\\libfoo.so.1", "\\usr/lib/x86_64-linux/libfoo.so.1/x", -1},
        // A backslash against another character is no fold, whatever its byte value.
        {"abcdefgh\\z", "abcdefgh]z", -1},
        {"abcdefgh/z", "abcdefgh.z", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(P::CompareFilePaths(NUVString(c.a), NUVString(c.b)), c.order)
            << c.a << " " << c.b;
}

TEST(PathParser, FixPathForOSChecksTheStringFirst) {
    const NUVString bad("dir/\xff\xfe");
    ASSERT_TRUE(bad.IsBAD());
    EXPECT_THROW(P::FixPathForOS(bad), NUVZubExcBadStringArgument);
#if defined(_WIN32)
    EXPECT_EQ(S(P::FixPathForOS(NUVString("C:/dir/f"))), "C:\\dir\\f");
    EXPECT_EQ(S(P::FixPathForOS(NUVString("/usr/lib"))), "\\usr\\lib");
#else
    EXPECT_EQ(S(P::FixPathForOS(NUVString("C:\\dir\\f"))), "C:/dir/f");
    EXPECT_EQ(S(P::FixPathForOS(NUVString("/usr/lib"))), "/usr/lib");
#endif
    const NUVString longPath(std::string(300, 'a'));
    EXPECT_EQ(S(P::FixPathForOS(longPath)), std::string(300, 'a'));
}

TEST(PathParser, WindowsFormUsesBackslashesAndTheLongPathPrefix) {
    namespace F = NUVZubUttPathForms;
    EXPECT_EQ(S(F::Windows(NUVString("a/b"))), "a\\b");
    // MAX_PATH counts the terminating zero: 259 characters fit, 260 do not.
    const std::string full259 = "C:\\" + std::string(256, 'x');
    const std::string full260 = full259 + "y";
    EXPECT_EQ(S(F::Windows(NUVString(full259))), full259);
    EXPECT_EQ(S(F::Windows(NUVString(full260))), "\\\\?\\" + full260);
    // Counted in characters: 259 characters in more than 260 bytes stay unprefixed.
    const std::string wide259 = "C:\\" + std::string(255, 'x') + "é";
    EXPECT_EQ(S(F::Windows(NUVString(wide259))), wide259);
    const std::string prefixed = "\\\\?\\C:\\" + std::string(293, 'x');
    EXPECT_EQ(S(F::Windows(NUVString(prefixed))), prefixed);
    const std::string unc = "//server/share/" + std::string(260, 'x');
    EXPECT_EQ(S(F::Windows(NUVString(unc))), "\\\\?\\UNC\\server\\share\\" + std::string(260, 'x'));
    const std::string device = "\\\\.\\pipe\\" + std::string(260, 'x');
    EXPECT_EQ(S(F::Windows(NUVString(device))), device);
    EXPECT_EQ(S(F::Posix(NUVString("a\\b/c"))), "a/b/c");
}

TEST(PathParser, BadStringsKeepTheirMarkThroughTheParts) {
    const NUVString bad("dir/\xff.x");
    ASSERT_TRUE(bad.IsBAD());
    EXPECT_TRUE(P::Tail(bad).IsBAD());
    EXPECT_TRUE(P::BasePath(bad).IsBAD());
    EXPECT_EQ(S(P::Extension(bad)), ".x");
    // Names the system produced go back to it unchecked, separators fixed.
#if defined(_WIN32)
    EXPECT_EQ(S(NUVZubUttPathForms::Native(NUVString("d/\xff"))), "d\\\xff");
#else
    EXPECT_EQ(S(NUVZubUttPathForms::Native(NUVString("d\\\xff"))), "d/\xff");
#endif
}

TEST(PathParser, AlgebraHoldsOnEveryKindOfPath) {
    std::vector<std::string> paths;
    const char* pieces[] = {
        "", "a", ".", "..", "\\", "/", "C:", "C", ":", "x.y", "é", "ß.€", "\\\\"};
    for (const char* a : pieces)
        for (const char* b : pieces)
            for (const char* c : pieces)
                paths.push_back(std::string(a) + b + c);
    for (const std::string& text : paths) {
        SCOPED_TRACE(text);
        const NUVString path(text);
        const std::string tail = S(P::Tail(path));
        EXPECT_EQ(S(P::BasePath(path)) + S(P::Extension(path)), text);
        EXPECT_EQ(S(P::BaseName(path)) + S(P::Extension(path)), tail);
        ASSERT_LE(tail.size(), text.size());
        EXPECT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0);
        EXPECT_EQ(text.rfind(S(P::DirPath(path)), 0), 0u);
        EXPECT_EQ(P::HasExtension(path), !P::Extension(path).IsNull());
        EXPECT_EQ(P::CompareFilePaths(path, path), 0);
        if (text.size() < 2) {
            EXPECT_EQ(P::IsAbsolute(path), text == "/");
        }
    }
}

} // namespace
