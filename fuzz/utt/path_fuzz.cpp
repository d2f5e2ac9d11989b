// Checks the algebra of the path-string functions on arbitrary input: the
// parts give the path back, and the comparison is an ordering that folds
// only the separators. Input: two paths separated by the first zero byte.
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttFilePathParser.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace P = NUVZubUttFilePathParser;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool EqualUpToSeparators(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && !(IsSeparator(a[i]) && IsSeparator(b[i]))) return false;
    return true;
}

void CheckParts(const NUVString& path) {
    const std::string& text = path.Str();
    const std::string tail = P::Tail(path).Str();
    const std::string dir = P::DirPath(path).Str();
    const std::string ext = P::Extension(path).Str();
    Require(P::BasePath(path).Str() + ext == text);
    Require(P::BaseName(path).Str() + ext == tail);
    Require(P::HasExtension(path) == !ext.empty());
    Require(ext.empty() || ext[0] == '.');
    Require(tail.size() <= text.size() &&
            text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
    Require(dir.size() <= text.size() && text.compare(0, dir.size(), dir) == 0);
    // Cuts fall between characters: a valid path gives valid parts.
    if (!path.IsBAD())
        Require(!P::Tail(path).IsBAD() && !P::DirPath(path).IsBAD() && !P::BasePath(path).IsBAD());
    try {
        const NUVString fixed = P::FixPathForOS(path);
        Require(!path.IsBAD());
        Require(fixed.Length() == path.Length());
        Require(P::CompareFilePaths(fixed, path) == 0);
    } catch (const NUVZubExcBadStringArgument&) {
        Require(path.IsBAD());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(data, 0, size);
    const std::size_t split = zero ? static_cast<const std::uint8_t*>(zero) - data : size;
    const NUVString a(text, split);
    const NUVString b(split < size ? text + split + 1 : "", split < size ? size - split - 1 : 0);

    CheckParts(a);
    CheckParts(b);

    const int ab = P::CompareFilePaths(a, b);
    const int ba = P::CompareFilePaths(b, a);
    Require(ab >= -1 && ab <= 1);
    Require(ab == -ba);
    Require((ab == 0) == EqualUpToSeparators(a.Str(), b.Str()));
    Require(P::CompareFilePaths(a, a) == 0);

    const NUVString joined = P::Join(a, b);
    const std::string& name = b.Str();
    Require(joined.Str().size() >= name.size() &&
            joined.Str().compare(joined.Str().size() - name.size(), name.size(), name) == 0);
    return 0;
}
