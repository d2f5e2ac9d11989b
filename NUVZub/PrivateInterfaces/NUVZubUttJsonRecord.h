// A report as one line of JSON (RFC 8259), written into the report's text
// within a fixed budget, so that the whole record always leaves in one write.
// Strings are UTF-8: well-formed sequences pass unchanged, a byte that belongs
// to none becomes U+FFFD (written "\ufffd"), and control characters, DEL, '"'
// and '\' are escaped ("\n", "\t", "\u0001"...). A string longer than its
// field's cap is cut at a whole character and the record says "truncated": true.
#pragma once

#include <NUVZubPlatform/Process.h>

#include <cstddef>
#include <cstring>

class NUVZubUttJsonRecord {
public:
    /// Starts the record: {"report":kind,"time":...,"pid":...,"tid":...,"program":...
    /// The caller holds `out` open, and with it the report lock.
    NUVZubUttJsonRecord(NUVZubPlatform::ReportScope& out, const char* kind);
    ~NUVZubUttJsonRecord() { Flush(); }
    NUVZubUttJsonRecord(const NUVZubUttJsonRecord&) = delete;
    NUVZubUttJsonRecord& operator=(const NUVZubUttJsonRecord&) = delete;

    /// ,"name": for the library's own names, which need no escape.
    template <std::size_t N> void Member(const char (&name)[N]) {
        Put(",\"", 2);
        Put(name, N - 1);
        Put("\":", 2);
    }
    /// ,"key": after a member, "key": first in an object opened by Open().
    void Key(const char* key);
    /// Structure and other text that needs no escape: "{", "}", "[]", ",".
    template <std::size_t N> void Raw(const char (&text)[N]) { Put(text, N - 1); }
    void Raw(const char* text, std::size_t length) { Put(text, length); }
    /// "{", with no member yet for Key().
    void Open() {
        Put("{", 1);
        m_first = true;
    }
    void Null() { Put("null", 4); }
    void Integer(long long value);
    void Unsigned(unsigned long long value);
    /// Non-finite values, which JSON has no number for, are the strings "NaN",
    /// "Infinity" and "-Infinity".
    void Real(double value);
    void Boolean(bool value);
    /// "0x" and the value's lowercase hex digits, as a string.
    void HexString(unsigned long long value);
    /// null for a null text.
    void String(const char* text, std::size_t cap);
    void String(const char* text, std::size_t length, std::size_t cap);

    /// A string written in pieces; a character may be split between pieces.
    void BeginString(std::size_t cap);
    void StringPart(const char* text, std::size_t length);
    void EndString();

    /// Bytes left for members before the reserve the record's end needs.
    std::size_t Room() const;
    void MarkTruncated() { ++m_cuts; }
    /// Starts a piece of at most `most` bytes whose text Captured() gives back
    /// afterwards, to be kept and written again with Raw().
    void BeginCapture(std::size_t most);
    /// The piece written since BeginCapture, and whether something in it was
    /// cut; false if it could not be kept whole.
    bool Captured(const char*& text, std::size_t& length, bool& cut) const;
    /// ,"fingerprint":"...", and "truncated":true when something was cut, then
    /// the closing brace and the line feed.
    void Finish(const char (&fingerprint)[17]);

    /// What one record may take: a little less than one write of a report.
    static constexpr std::size_t kCapacity = NUVZubPlatform::kReportTextCapacity - 256;
    /// The most one captured piece may take.
    static constexpr std::size_t kCaptureMost = 3072;

private:
    // Most pieces fit the chunk as they come; the rest goes the slow way.
    void Put(const char* text, std::size_t length) {
        if (m_chunkUsed + length <= sizeof m_chunk && m_used + length <= kCapacity) {
            std::memcpy(m_chunk + m_chunkUsed, text, length);
            m_chunkUsed += length;
            m_used += length;
            return;
        }
        PutLong(text, length);
    }
    void PutLong(const char* text, std::size_t length);
    void Flush();
    void PutUnit(const char* text, std::size_t length);
    void PutPlain(const char* text, std::size_t length);
    void FlushPending();

    NUVZubPlatform::ReportScope& m_out;
    // Small pieces gather here before they join the report's text.
    char m_chunk[4096];
    std::size_t m_chunkUsed = 0;
    std::size_t m_used = 0;
    unsigned m_cuts = 0;  // fields cut or left out so far
    bool m_first = false; // no member yet in the object Open() started
    // The piece being captured: where it starts in the chunk, and the flushes
    // and cuts before it.
    std::size_t m_captureStart = 0;
    unsigned m_flushes = 0;
    unsigned m_captureFlushes = 0;
    unsigned m_captureCuts = 0;
    // The open string.
    std::size_t m_cap = 0;
    std::size_t m_stringUsed = 0;
    bool m_full = false;
    unsigned char m_pending[4] = {};
    int m_pendingCount = 0;
    int m_pendingNeed = 0;
};
