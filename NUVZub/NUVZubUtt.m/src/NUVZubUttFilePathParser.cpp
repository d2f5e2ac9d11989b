// Every character the path grammar looks at (separators, colon, dot, ASCII
// letters) is one byte in UTF-8 and no byte of a multi-byte character equals
// one of them, so the functions scan bytes; results are cut at those bytes and
// therefore at character boundaries. A malformed (BAD) string is indexed by its
// bytes anyway, and its parts stay BAD.
#include <NUVZub/NUVZubUttFilePathParser.h>

#include <NUVZubBadNUVString.h>
#include <NUVZubUttPathForms.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using Size = std::size_t;
constexpr Size npos = std::string::npos;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasDrivePrefix(const std::string& s) {
    if (s.size() < 2 || s[1] != ':') return false;
    const char lower = (s[0] >= 'A' && s[0] <= 'Z') ? static_cast<char>(s[0] + ('a' - 'A')) : s[0];
    return lower >= 'a' && lower <= 'z';
}

// The style decides whether a backslash separates. A slash-style path has no
// backslash at all, and no drive or server prefix, so the last separator of
// either kind and the backslash-style rules give the same answers in both
// styles: no function needs to find out the style first.

/// Byte position of the last separator of either kind, or npos.
Size LastSeparator(const std::string& s) {
    const char* d = s.data();
    for (Size i = s.size(); i > 0; --i)
        if (IsSeparator(d[i - 1])) return i - 1;
    return npos;
}

/// Byte position where the part after a drive or server prefix starts.
Size RemainderStart(const std::string& s) {
    if (HasDrivePrefix(s)) return 2;
    if (s.size() > 2 && s[0] == '\\' && s[1] == '\\') {
        const Size serverEnd = s.find_first_of("\\/", 2);
        if (serverEnd != npos) return serverEnd + 1;
    }
    return 0;
}

struct TailLayout {
    Size start; ///< where the tail starts
    Size dot;   ///< the tail's last dot, or npos
};

TailLayout ScanTail(const std::string& s) {
    const char* d = s.data();
    Size i = s.size();
    // Ordinary characters take one well-predicted test each.
    while (i > 0 && d[i - 1] != '/' && d[i - 1] != '\\' && d[i - 1] != '.')
        --i;
    Size dot = npos;
    if (i > 0 && d[i - 1] == '.') {
        dot = --i;
        while (i > 0 && !IsSeparator(d[i - 1]))
            --i;
    }
    if (i == 0) return {0, dot != npos ? dot : s.rfind('.')};
    // A remainder without separators leaves the prefix in the tail.
    if (i - 1 < RemainderStart(s)) return {0, s.rfind('.')};
    return {i, dot};
}

/// The eight bytes of `w` with every backslash turned into a forward slash.
std::uint64_t FoldBackslashes(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    const std::uint64_t t = w ^ (kOnes * '\\');
    // High bit set exactly in the bytes of t that are zero (no carries across bytes).
    const std::uint64_t zero = ~(((t & kLow7) + kLow7) | t | kLow7);
    return w ^ ((zero >> 7) * ('\\' ^ '/'));
}

NUVString Slice(const NUVString& path, Size begin, Size count = npos) {
    if (path.IsBAD()) return path.SubString(begin, count);
    const std::string& s = path.Str();
    if (begin >= s.size()) return NUVString();
    if (count > s.size() - begin) count = s.size() - begin;
    return NUVString(s.data() + begin, count);
}

} // namespace

namespace NUVZubUttFilePathParser {

NUVString DirPath(const NUVString& path) {
    const Size last = LastSeparator(path.Str());
    return last == npos ? NUVString() : Slice(path, 0, last);
}

NUVString Tail(const NUVString& path) {
    const Size start = ScanTail(path.Str()).start;
    return start == 0 ? path : Slice(path, start);
}

NUVString BaseName(const NUVString& path) {
    const TailLayout t = ScanTail(path.Str());
    if (t.dot == npos) return t.start == 0 ? path : Slice(path, t.start);
    return Slice(path, t.start, t.dot - t.start);
}

NUVString BasePath(const NUVString& path) {
    const Size dot = ScanTail(path.Str()).dot;
    return dot == npos ? path : Slice(path, 0, dot);
}

bool HasExtension(const NUVString& path) { return ScanTail(path.Str()).dot != npos; }

NUVString Extension(const NUVString& path) {
    const Size dot = ScanTail(path.Str()).dot;
    return dot == npos ? NUVString() : Slice(path, dot);
}

bool IsAbsolute(const NUVString& path) {
    const std::string& s = path.Str();
    if (s.empty()) return false;
    return s[0] == '/' || (s.size() >= 2 && s[0] == '\\' && s[1] == '\\') || HasDrivePrefix(s);
}

NUVString Join(const NUVString& directory, const NUVString& name) {
    const std::string& d = directory.Str();
    const std::string& n = name.Str();
    if (d.empty() || (!n.empty() && IsSeparator(n[0])) || HasDrivePrefix(n)) return name;
    // One kind at a time: backslashes first, then forward slashes.
    Size end = d.size();
    while (end > 0 && d[end - 1] == '\\')
        --end;
    while (end > 0 && d[end - 1] == '/')
        --end;
    const Size total = end + 1 + n.size();
    char buffer[256];
    if (total <= sizeof buffer && !directory.IsBAD() && !name.IsBAD()) {
        // One allocation for the common case.
        std::memcpy(buffer, d.data(), end);
        buffer[end] = '/';
        std::memcpy(buffer + end + 1, n.data(), n.size());
        return NUVString(buffer, total);
    }
    NUVString joined = Slice(directory, 0, end);
    joined.Append(NUVChar(U'/'));
    joined.Append(name);
    return joined;
}

NUVString FixPathForOS(const NUVString& path) {
    NUVZubBadNUVString::Check(path);
    return NUVZubUttPathForms::Native(path);
}

int CompareFilePaths(const NUVString& a, const NUVString& b) {
    // UTF-8 orders by code point byte by byte, and a folded separator is a
    // whole character in both texts, so the byte walk gives the character order.
    const std::string& x = a.Str();
    const std::string& y = b.Str();
    const Size common = x.size() < y.size() ? x.size() : y.size();
    const char* p = x.data();
    const char* q = y.data();
    Size i = 0;
    // Eight bytes at a time while they agree once backslashes read as slashes.
    for (; i + 8 <= common; i += 8) {
        std::uint64_t u, v;
        std::memcpy(&u, p + i, 8);
        std::memcpy(&v, q + i, 8);
        if (u != v && FoldBackslashes(u) != FoldBackslashes(v)) break;
    }
    for (; i < common; ++i) {
        if (p[i] == q[i] || (IsSeparator(p[i]) && IsSeparator(q[i]))) continue;
        return static_cast<unsigned char>(p[i]) < static_cast<unsigned char>(q[i]) ? -1 : 1;
    }
    if (x.size() == y.size()) return 0;
    return x.size() < y.size() ? -1 : 1;
}

} // namespace NUVZubUttFilePathParser

namespace NUVZubUttPathForms {

NUVString Posix(const NUVString& path) {
    if (path.Str().find('\\') == npos) return path;
    return path.Replace(NUVString("\\"), NUVString("/"));
}

NUVString Windows(const NUVString& path) {
    NUVString fixed = path.Str().find('/') == npos ? path : path.Replace("/", "\\");
    const std::string& s = fixed.Str();
    // MAX_PATH (260) counts the terminating zero.
    if (fixed.Length() < 260 || s.compare(0, 3, "\\\\?") == 0) return fixed;
    // Only full paths can take the prefix: with it the system no longer
    // resolves relative parts, and a server path needs the UNC form.
    if (HasDrivePrefix(s) && s.size() > 2 && s[2] == '\\') return NUVString("\\\\?\\") + fixed;
    if (s.size() > 2 && s[0] == '\\' && s[1] == '\\' && s[2] != '.')
        return NUVString("\\\\?\\UNC\\") + Slice(fixed, 2);
    return fixed;
}

NUVString Native(const NUVString& path) {
#if defined(_WIN32)
    return Windows(path);
#else
    return Posix(path);
#endif
}

} // namespace NUVZubUttPathForms
