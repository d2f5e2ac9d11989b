// A report as one line of JSON (RFC 8259), written into the report's text
// within a fixed budget, so that the whole record always leaves in one write.
// Strings are UTF-8: well-formed sequences pass unchanged, a byte that belongs
// to none becomes U+FFFD (written "\ufffd"), and control characters, '"' and
// '\' are escaped ("\n", "\t", "\u0001"...). A string longer than its field's
// cap is cut at a whole character and the record says "truncated": true.
#pragma once

#include <NUVZubPlatform/Process.h>

#include <cstddef>

class NUVZubUttJsonRecord {
public:
    /// Starts the record: {"report":kind,"time":...,"pid":...,"tid":...,"program":...
    NUVZubUttJsonRecord(NUVZubPlatform::ReportScope& out, const char* kind);
    ~NUVZubUttJsonRecord() { Flush(); }
    NUVZubUttJsonRecord(const NUVZubUttJsonRecord&) = delete;
    NUVZubUttJsonRecord& operator=(const NUVZubUttJsonRecord&) = delete;

    /// ,"key": after a member, "key": first in an object.
    void Key(const char* key);
    /// Structure: "{", "}", "[", "]", ",".
    void Raw(const char* text);
    void Null();
    void Integer(long long value);
    void Unsigned(unsigned long long value);
    /// Non-finite values, which JSON has no number for, are the strings "NaN",
    /// "Infinity" and "-Infinity".
    void Real(double value);
    void Boolean(bool value);
    /// null for a null text.
    void String(const char* text, std::size_t cap);
    void String(const char* text, std::size_t length, std::size_t cap);

    /// A string written in pieces; a character may be split between pieces.
    void BeginString(std::size_t cap);
    void StringPart(const char* text, std::size_t length);
    void EndString();

    /// Bytes left for members before the reserve the record's end needs.
    std::size_t Room() const;
    void MarkTruncated() { m_truncated = true; }
    /// ,"fingerprint":"...", and "truncated":true when something was cut, then
    /// the closing brace and the line feed.
    void Finish(const char (&fingerprint)[17]);

    /// What one record may take: a little less than one write of a report.
    static constexpr std::size_t kCapacity = NUVZubPlatform::kReportTextCapacity - 256;

private:
    void Put(const char* text, std::size_t length);
    void Flush();
    void PutUnit(const char* text, std::size_t length);
    void FlushPending();

    NUVZubPlatform::ReportScope& m_out;
    // Small pieces gather here before they join the report's text.
    char m_chunk[2048];
    std::size_t m_chunkUsed = 0;
    std::size_t m_used = 0;
    bool m_truncated = false;
    bool m_first = true; // no member yet in the innermost open object
    // The open string.
    std::size_t m_cap = 0;
    std::size_t m_stringUsed = 0;
    bool m_full = false;
    unsigned char m_pending[4] = {};
    int m_pendingCount = 0;
    int m_pendingNeed = 0;
};
