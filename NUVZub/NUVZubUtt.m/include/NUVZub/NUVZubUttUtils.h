// Bounded and case-insensitive operations on zero-terminated texts.
#pragma once

#include <NUVZubPlatform/Export.h>

class NUVZUB_API NUVZubUttUtils {
public:
    /// Case-insensitive equality of the first n characters, or of the whole texts for n == 0.
    static bool SameStr(const char* a, const char* b, int n);
    /// For n != 0: at most n - 1 bytes, then zeros up to dst[n - 1] (always terminated
    /// within n bytes, as strncpy and a zero would leave it). A valid UTF-8 character
    /// that does not fit whole is left out whole; other bytes are cut where the bound
    /// falls. For n == 0: an unbounded copy.
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
