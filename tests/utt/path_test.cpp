#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttFilePathParser.h>
#include <NUVZubUttPathForms.h>

#include <gtest/gtest.h>

#include <string>

namespace P = NUVZubUttFilePathParser;
namespace F = NUVZubUttPathForms;

namespace {

std::string S(const NUVString& s) { return s.Str(); }

struct Parts {
    std::string path, dir, tail, base, ext, basePath;
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
    // A server prefix needs a separator after the server; "\\\" has an empty server.
    {"\\\\server", "\\", "server", "server", "", "\\\\server", true},
    {"\\\\\\", "\\\\", "\\\\\\", "\\\\\\", "", "\\\\\\", true},
    {"\\\\server/share/x", "\\\\server/share", "x", "x", "", "\\\\server/share/x", true},
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
        EXPECT_EQ(P::HasExtension(path), !p.ext.empty());
        EXPECT_EQ(S(P::BasePath(path)), p.basePath);
        EXPECT_EQ(P::IsAbsolute(path), p.absolute);
        // The parts count characters, not bytes.
        EXPECT_EQ(P::Tail(path).Length(), NUVString(p.tail).Length());
        EXPECT_EQ(P::Extension(path).Length(), NUVString(p.ext).Length());
    }
}

// One kind of trailing separator is removed at a time: backslashes, then slashes.
TEST(PathParser, JoinSeparatorRules) {
    const struct {
        std::string dir, name, joined;
    } cases[] = {{"", "f", "f"},
                 {"d", "/f", "/f"},
                 {"d", "\\f", "\\f"},
                 {"d", "C:f", "C:f"},
                 {"/tmp//", "x", "/tmp/x"},
                 {"/tmp", "x", "/tmp/x"},
                 {"C:\\dir\\", "f", "C:\\dir/f"},
                 {"d\\/", "x", "d\\/x"},
                 {"d/\\\\", "x", "d/x"},
                 {"\\\\server", "x", "\\\\server/x"},
                 {"/", "x", "/x"},
                 {"d", "", "d/"},
                 {"réper", "fïle", "réper/fïle"}};
    for (const auto& c : cases) {
        const NUVString joined = P::Join(NUVString(c.dir), NUVString(c.name));
        EXPECT_EQ(S(joined), c.joined) << c.dir << " + " << c.name;
        EXPECT_EQ(joined.Length(), NUVString(c.joined).Length()) << c.joined;
    }
}

// Code-point order: é (U+E9) after z, € (U+20AC) after é. Long paths: equal
// runs and folded separators past the first eight bytes. A backslash against
// another character is no fold, whatever its byte value.
TEST(PathParser, CompareFoldsSeparatorsButNotCase) {
    const std::string lib = "/usr/lib/x86_64-linux", libFoo = lib + "/libfoo.so.1";
    const std::string winFoo = "\\usr\\lib\\x86_64-linux\\libfoo.so.1";
    const struct {
        std::string a, b;
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
        {"é", "z", 1},
        {"/é", "\\€", -1},
        {"abcdefgh\\z", "abcdefgh]z", -1},
        {"abcdefgh/z", "abcdefgh.z", 1},
        {libFoo, winFoo, 0},
        {libFoo, lib + "/libfoo.so.2", -1},
        {"/usr/lib/x86_64-linuy/a", winFoo, 1},
        {lib, "/var/lib/x86_64-linux", -1},
        {winFoo, "\\usr/lib/x86_64-linux/libfoo.so.1/x", -1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(P::CompareFilePaths(NUVString(c.a), NUVString(c.b)), c.order)
            << c.a << " " << c.b;
}

// The forms handed to the system. Windows' MAX_PATH counts the terminator, in
// characters: 259 fit, 260 take the long-path prefix. Names the system
// produced go back to it unchecked, separators fixed.
TEST(PathParser, FormsForTheSystem) {
    const std::string full259 = "C:\\" + std::string(256, 'x'), x260(260, 'x');
    const std::string wide259 = "C:\\" + std::string(255, 'x') + "é";
    const std::string prefixed = "\\\\?\\C:\\" + std::string(293, 'x');
    const std::string device = "\\\\.\\pipe\\" + x260, a300(300, 'a');
    const struct {
        NUVString got;
        std::string expected;
    } cases[] = {
        {F::Windows("a/b"), "a\\b"},
        {F::Windows(NUVString(full259)), full259},
        {F::Windows(NUVString(full259 + "y")), "\\\\?\\" + full259 + "y"},
        {F::Windows(NUVString(wide259)), wide259},
        {F::Windows(NUVString(prefixed)), prefixed},
        {F::Windows(NUVString("//server/share/" + x260)), "\\\\?\\UNC\\server\\share\\" + x260},
        {F::Windows(NUVString(device)), device},
        {F::Posix("a\\b/c"), "a/b/c"},
        {P::FixPathForOS(NUVString(a300)), a300},
#if defined(_WIN32)
        {P::FixPathForOS("C:/dir/f"), "C:\\dir\\f"},
        {P::FixPathForOS("/usr/lib"), "\\usr\\lib"},
        {F::Native(NUVString("d/\xff")), "d\\\xff"},
#else
        {P::FixPathForOS("C:\\dir\\f"), "C:/dir/f"},
        {P::FixPathForOS("/usr/lib"), "/usr/lib"},
        {F::Native(NUVString("d\\\xff")), "d/\xff"},
#endif
    };
    for (const auto& c : cases)
        EXPECT_EQ(S(c.got), c.expected);
}

TEST(PathParser, BadStringsKeepTheirMarkThroughTheParts) {
    const NUVString bad("dir/\xff.x");
    ASSERT_TRUE(bad.IsBAD());
    EXPECT_TRUE(P::Tail(bad).IsBAD());
    EXPECT_TRUE(P::BasePath(bad).IsBAD());
    EXPECT_EQ(S(P::Extension(bad)), ".x");
    EXPECT_THROW(P::FixPathForOS(bad), NUVZubExcBadStringArgument);
}

TEST(PathParser, AlgebraHoldsOnEveryKindOfPath) {
    const char* pieces[] = {
        "", "a", ".", "..", "\\", "/", "C:", "C", ":", "x.y", "é", "ß.€", "\\\\"};
    for (const char* a : pieces)
        for (const char* b : pieces)
            for (const char* c : pieces) {
                const std::string text = std::string(a) + b + c;
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
