#include <NUVZub/NUVZubCommandLine.h>

#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVBasShared.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZubBadNUVString.h>
#include <NUVZubPlatform/Thread.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace {

const char kClArgsFileFlag[] = "-clargsfile";

bool IsClArgsFileFlag(int argc, char** argv) {
    return argc >= 2 && argv[1] != nullptr && std::strcmp(argv[1], kClArgsFileFlag) == 0;
}

// Both string arrays come from the allocator's small-object heap.
NUVString* NewStrings(int count) {
    if (count <= 0) return nullptr;
    auto* strings = static_cast<NUVString*>(mem_OperatorNewTinyThrow(sizeof(NUVString) * count));
    for (int i = 0; i < count; ++i)
        new (strings + i) NUVString();
    return strings;
}

void DeleteStrings(NUVString* strings, int count) {
    if (strings == nullptr) return;
    for (int i = 0; i < count; ++i)
        strings[i].~NUVString();
    mem_Free(strings);
}

// Releases the texts of an expanded argument file, also when Init throws.
class ClArgsTable {
public:
    ClArgsTable() = default;
    ClArgsTable(const ClArgsTable&) = delete;
    ClArgsTable& operator=(const ClArgsTable&) = delete;
    ~ClArgsTable() {
        for (int i = 0; i < count; ++i) {
            mem_deleteBuiltIn(texts[i]);
            texts[i] = nullptr;
        }
    }
    char* texts[NUVZubClArgsMaxArgs] = {};
    int count = 0;
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

char LowerASCII(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Equal once ASCII letters are lowered, as lowered copies would compare, without
// the copies: the bytes of other UTF-8 characters are never letters.
bool EqualIgnoringASCIICase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerASCII(a[i]) != LowerASCII(b[i])) return false;
    return true;
}

char* CopyText(const char* text, std::size_t length) {
    char* copy = mem_newBuiltIn<char>(length + 1);
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

// One fgets read into `buffer` (NUVZubClArgsLineBuffer bytes); false at end of
// file or on an error. fgets reports no length and the text may hold NUL
// bytes: in a buffer first filled with non-zero bytes, the last zero ends it.
bool ReadPiece(std::FILE* file, char* buffer, std::size_t& length) {
    std::memset(buffer, 1, NUVZubClArgsLineBuffer);
    if (std::fgets(buffer, NUVZubClArgsLineBuffer, file) == nullptr) return false;
    length = NUVZubClArgsLineBuffer - 1;
    while (buffer[length] != '\0')
        --length;
    return true;
}

// The "C" and "POSIX" locales of a program that never chose one convert no
// byte above 127; arguments are then taken as UTF-8, as Windows takes them
// whatever the locale.
bool LocaleTakesASCIIOnly() {
    if (MB_CUR_MAX != 1) return false;
    std::mbstate_t state{};
    wchar_t wide;
    const char high = '\x80';
    return std::mbrtowc(&wide, &high, 1, &state) == static_cast<std::size_t>(-1);
}

bool AtEnd(std::FILE* file) {
    const int next = std::fgetc(file);
    if (next == EOF) return true;
    std::ungetc(next, file);
    return false;
}

// What the lines of one file may skip after their NULs, in all: as much as its
// arguments hold together. A file that goes on past that (an endless stream of
// NULs) is not an argument file.
constexpr long kMaxSkipped = long{NUVZubClArgsMaxArgs} * NUVZubClArgsLineBuffer;

// Skips to the end of the line, drawing on `budget`; false when it runs out.
bool SkipRestOfLine(std::FILE* file, long& budget) {
    for (; budget > 0; --budget) {
        const int c = std::fgetc(file);
        if (c == EOF || c == '\n') return true;
    }
    return false;
}

void ReportUnusable(const char* name) {
    NUVZubUttAssert::ReportNotice(
        {"ERROR: Unable to open command line arguments file ", name, "\n"});
}

} // namespace

void ReadClArgsFile(int argc, char** argv, int& count, char** out) {
    if (!IsClArgsFileFlag(argc, argv)) return;

    count = 0;
    const char* program = argv[0] != nullptr ? argv[0] : "";
    out[0] = CopyText(program, std::strlen(program));
    count = 1;

    // The stdio calls below may be cancellation points, yet clang takes them
    // for calls that never throw: a forced unwind from one would end in
    // std::terminate. A cancellation requested meanwhile acts after the parse.
    const NUVZubPlatform::CancellationDeferred deferred;

    // "-clargsfile" as the last argument names no file; report it as one that cannot be opened.
    const char* name = (argc >= 3 && argv[2] != nullptr) ? argv[2] : "";
    std::unique_ptr<std::FILE, FileCloser> file(NUVBasFileOps::Fopen(name, "r"));
    if (!file) {
        ReportUnusable(name);
        return;
    }

    // One byte more than a read fills, for the line feed of a CR LF that the
    // read cut off after its CR.
    char buffer[NUVZubClArgsLineBuffer + 1];
    const int firstFromFile = count;
    constexpr std::size_t maxChars = NUVZubClArgsLineBuffer - 1;
    bool usable = true;
    long skipBudget = kMaxSkipped;
    for (std::size_t length; ReadPiece(file.get(), buffer, length);) {
        if (length == maxChars && buffer[length - 1] == '\r') {
            // A line of 1022 characters and its CR LF: the line ends here.
            const int next = std::fgetc(file.get());
            if (next == '\n') {
                buffer[length++] = '\n';
            } else if (next != EOF) {
                std::ungetc(next, file.get());
            }
        }
        if (count >= NUVZubClArgsMaxArgs) {
            char most[24];
            std::snprintf(most, sizeof most, "%d", NUVZubClArgsMaxArgs);
            NUVZubUttAssert::ReportNotice({"ERROR: There are more than ", most,
                                           " command line arguments. All arguments beyond\n"
                                           "argument ",
                                           most, " will be ignored.\n"});
            break; // the rest is never read: it need not end
        }
        const bool lineEnded = length > 0 && buffer[length - 1] == '\n';
        if (const void* nul = std::memchr(buffer, '\0', length)) {
            // A NUL ends the line: the rest is dropped.
            length = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer);
            if (!lineEnded && !SkipRestOfLine(file.get(), skipBudget)) {
                usable = false;
                break;
            }
        } else if (lineEnded) {
            --length;
            // Files written on Windows end their lines in CR LF; the CR is no part of the argument.
            if (length > 0 && buffer[length - 1] == '\r') --length;
        } else if (length == maxChars && !AtEnd(file.get())) {
            NUVZubUttAssert::ReportNotice({"ERROR: Command line argument in command line file is "
                                           "too long - maximum = 1023\n"});
        }
        out[count] = CopyText(buffer, length);
        ++count;
    }
    if (!usable || std::ferror(file.get())) {
        // A directory, a read error part way or a line without end: no
        // half-read command line.
        for (; count > firstFromFile; --count)
            mem_deleteBuiltIn(out[count - 1]);
        ReportUnusable(name);
    }
}

NUVZubCommandLine::NUVZubCommandLine() {
    NUVBasGetCommandArgs args;
    try {
        Init(args.Argc(), args.Argv());
    } catch (...) {
        Release();
        throw;
    }
}

NUVZubCommandLine::NUVZubCommandLine(int argc, char** argv) {
    try {
        Init(argc, argv);
    } catch (...) {
        Release();
        throw;
    }
}

NUVZubCommandLine::~NUVZubCommandLine() { Release(); }

void NUVZubCommandLine::Release() {
    DeleteStrings(m_keyValues, 2 * m_numKeys);
    m_keyValues = nullptr;
    DeleteStrings(m_args, m_numArgs);
    m_args = nullptr;
    m_numKeys = 0;
    m_numArgs = 0;
}

void NUVZubCommandLine::Init(int argc, char** argv) {
    ClArgsTable table;
    if (IsClArgsFileFlag(argc, argv)) {
        ReadClArgsFile(argc, argv, table.count, table.texts);
        argc = table.count;
        argv = table.texts;
    }
    if (argc < 0) argc = 0;

    m_args = NewStrings(argc);
    m_numArgs = argc;
    for (int i = 0; i < argc; ++i) {
        const char* text = argv[i] != nullptr ? argv[i] : "";
        if (m_args[i].BuildFromLocale(text) == 1) {
            if (LocaleTakesASCIIOnly()) m_args[i] = NUVString(text);
            if (m_args[i].IsBAD())
                NUVBasToUTF8Exception(text).Throw("NUVZub/NUVZubUtt.m/src/NUVZubCommandLine", 85);
        }
    }

    int keys = 0;
    for (int i = 1; i < argc; ++i)
        if (argv[i] != nullptr && argv[i][0] == '-') ++keys;
    m_keyValues = NewStrings(2 * keys);
    m_numKeys = keys;

    bool valueMayFollow = false;
    int k = 0;
    for (int i = 1; i < argc; ++i) {
        const char* text = argv[i] != nullptr ? argv[i] : "";
        if (text[0] == '-') {
            m_keyValues[2 * k] = NUVString(text + 1);
            ++k;
            valueMayFollow = true;
        } else if (valueMayFollow) {
            m_keyValues[2 * k - 1] = m_args[i];
            valueMayFollow = false;
        }
    }
}

const NUVString& NUVZubCommandLine::GetPosition(int i) const {
    if (i < 0 || i >= m_numArgs)
        NUVZubUttAssert::ReportValidationFailure(
            "NUVZubCommandLine::GetPosition: position out of range");
    return m_args[i];
}

int NUVZubCommandLine::GetKey(const NUVString& key) const {
    for (int k = 0; k < m_numKeys; ++k)
        if (m_keyValues[2 * k] == key) return 2 * k;
    return -1;
}

int NUVZubCommandLine::GetKey_CaseInsensitivity(const NUVString& key) const {
    for (int k = 0; k < m_numKeys; ++k)
        if (EqualIgnoringASCIICase(m_keyValues[2 * k].Str(), key.Str())) return 2 * k;
    return -1;
}

bool NUVZubCommandLine::IsMember(const NUVString& key) const {
    NUVZubBadNUVString::Check(key);
    return GetKey(key) >= 0;
}

bool NUVZubCommandLine::IsMember(const NUVString& key, bool caseInsensitive) const {
    NUVZubBadNUVString::Check(key);
    return (caseInsensitive ? GetKey_CaseInsensitivity(key) : GetKey(key)) >= 0;
}

const NUVString* NUVZubCommandLine::FindValue(const NUVString& key) const {
    const int slot = GetKey(key);
    if (slot < 0 || m_keyValues[slot + 1].IsNull()) return nullptr;
    return &m_keyValues[slot + 1];
}

const NUVString& NUVZubCommandLine::GetString(const NUVString& key,
                                              const NUVString& defaultValue) const {
    NUVZubBadNUVString::Check(key);
    NUVZubBadNUVString::Check(defaultValue);
    const NUVString* value = FindValue(key);
    return value != nullptr ? *value : defaultValue;
}

int NUVZubCommandLine::GetInt(const NUVString& key, int defaultValue) const {
    NUVZubBadNUVString::Check(key);
    const NUVString* value = FindValue(key);
    if (value == nullptr) return defaultValue;
    // atoi's result, but defined for numbers beyond int: those are clamped.
    const long long number = std::strtoll(value->CastToCharPtr(), nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

float NUVZubCommandLine::GetFloat(const NUVString& key, float defaultValue) const {
    NUVZubBadNUVString::Check(key);
    const NUVString* value = FindValue(key);
    if (value == nullptr) return defaultValue;
    const double number = std::strtod(value->CastToCharPtr(), nullptr);
    // Narrowing a double beyond float's range is undefined, so the rounding at
    // the top is done here: up to halfway to the next power of two a value
    // rounds to the largest float (FLT_MAX printed as 3.4028235e38 is such a
    // value); from there on it is infinite.
    constexpr double kHalfwayToInfinity = static_cast<double>(FLT_MAX) + 0x1p103;
    if (std::fabs(number) > FLT_MAX) {
        const float largest = std::fabs(number) < kHalfwayToInfinity ? FLT_MAX : HUGE_VALF;
        return number < 0 ? -largest : largest;
    }
    return static_cast<float>(number);
}
