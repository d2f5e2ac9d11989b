// Bounded and case-insensitive operations on zero-terminated texts.
#pragma once

#include <NUVZubPlatform/Export.h>

class NUVZUB_API NUVZubUttUtils {
public:
    /// Case-insensitive equality of the first n characters, or of the whole texts for n == 0.
    static bool SameStr(const char* a, const char* b, int n);
    /// For n != 0: strncpy of n - 1 bytes, then dst[n - 1] = 0 (always terminated within n
    /// bytes, the rest of the first n - 1 bytes zeroed). For n == 0: an unbounded copy.
    static void Copy(char* dst, const char* src, int n);
    /// Exactly n bytes, no terminating zero.
    static void CopyNoZB(char* dst, const char* src, int n);
    /// Consumes a computed byte so that the computation is kept.
    static void Sink(char c);
};

class NUVZUB_API NUVZubUttXMLUtils {
public:
    /// The value of the first attribute named `name` (ignoring case) in the
    /// (name, value, ..., null) list, or null.
    static const char* GetAttr(const char** attrs, const char* name);
};
