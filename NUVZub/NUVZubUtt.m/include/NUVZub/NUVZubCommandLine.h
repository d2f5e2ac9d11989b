// A program's arguments as a positional list and as a table of "-key value"
// options, optionally read from an argument file ("-clargsfile NAME").
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVZubPlatform/Export.h>

/// Most argument texts an argument file expands to, the program name included.
constexpr int NUVZubClArgsMaxArgs = 1024;
/// Size of the line buffer: one read yields at most 1023 characters.
constexpr int NUVZubClArgsLineBuffer = 1024;

class NUVZUB_API NUVZubCommandLine {
public:
    /// The process's own arguments.
    NUVZubCommandLine();
    NUVZubCommandLine(int argc, char** argv);
    ~NUVZubCommandLine();

    NUVZubCommandLine(const NUVZubCommandLine&) = delete;
    NUVZubCommandLine& operator=(const NUVZubCommandLine&) = delete;

    /// Number of arguments, the program name included.
    int GetNumArgs() const { return m_numArgs; }
    /// The argument at position i (0 is the program name). An index out of
    /// range is reported as a validation failure.
    const NUVString& GetPosition(int i) const;

    bool IsMember(const NUVString& key) const;
    bool IsMember(const NUVString& key, bool caseInsensitive) const;

    /// The key's value, or `defaultValue` when the key is missing or has no value.
    const NUVString& GetString(const NUVString& key, const NUVString& defaultValue) const;
    /// The value as a leading decimal integer (0 when no digits lead; clamped to int).
    int GetInt(const NUVString& key, int defaultValue) const;
    /// The value as a leading floating-point number (0 when none leads).
    float GetFloat(const NUVString& key, float defaultValue) const;

private:
    void Init(int argc, char** argv);
    int GetKey(const NUVString& key) const;
    int GetKey_CaseInsensitivity(const NUVString& key) const;
    /// The value slot of a present key with a non-empty value, else null.
    const NUVString* FindValue(const NUVString& key) const;
    void Release();

    int m_numArgs = 0;
    NUVString* m_args = nullptr;
    int m_numKeys = 0;
    NUVString* m_keyValues = nullptr; // key 2k, its value 2k+1
};

/// When argv[1] is exactly "-clargsfile", replaces the arguments by the program
/// name followed by the lines of the file argv[2]: `out` (room for
/// NUVZubClArgsMaxArgs pointers) receives texts from mem_newBuiltIn<char>, to be
/// released with mem_deleteBuiltIn, and `count` their number. Otherwise leaves
/// both untouched. Problems with the file are reported on stderr, never thrown.
/// Reading stops at the limit, so an endless file ends too; one whose lines
/// skip more after their NULs than the arguments could hold (/dev/zero) is
/// refused as a file that cannot be opened, leaving the program name alone.
/// The file is read with thread cancellation deferred.
NUVZUB_API void ReadClArgsFile(int argc, char** argv, int& count, char** out);
