#include "NUVZubUttJsonRecord.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

// Kept for ,"fingerprint":"0123456789abcdef","truncated":true}\n and a margin.
constexpr std::size_t kEndReserve = 128;
constexpr std::size_t kProgramCap = 256;

/// The UTC time as 2026-01-02T03:04:05.123456Z.
void FormatTime(long long microseconds, char (&out)[28]) {
    long long seconds = microseconds / 1000000;
    long long fraction = microseconds % 1000000;
    if (fraction < 0) fraction += 1000000, --seconds;
    long long days = seconds / 86400;
    long long daySeconds = seconds % 86400;
    if (daySeconds < 0) daySeconds += 86400, --days;
    // Civil date from days since 1970-01-01 (the proleptic Gregorian calendar).
    const long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long dayOfEra = z - era * 146097;
    const long long yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * shifted + 2) / 5 + 1;
    const long long month = shifted < 10 ? shifted + 3 : shifted - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    const long long fields[] = {
        year, month, day, daySeconds / 3600, daySeconds / 60 % 60, daySeconds % 60, fraction};
    const int widths[] = {4, 2, 2, 2, 2, 2, 6};
    const char separators[] = "--T::.Z";
    std::size_t at = 0;
    for (int f = 0; f < 7; ++f) {
        long long value = fields[f] < 0 ? 0 : fields[f];
        for (int d = widths[f] - 1; d >= 0; --d, value /= 10)
            out[at + static_cast<std::size_t>(d)] = static_cast<char>('0' + value % 10);
        at += static_cast<std::size_t>(widths[f]);
        out[at++] = separators[f];
    }
    out[at] = '\0';
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

/// Bytes still needed after a lead byte, or -1 for a byte that starts no character.
int Needed(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 1;
    if (lead >= 0xE0 && lead <= 0xEF) return 2;
    if (lead >= 0xF0 && lead <= 0xF4) return 3;
    return -1;
}

/// The second byte's narrower range after some lead bytes: no overlong form,
/// no surrogate, nothing above U+10FFFF.
bool SecondFits(unsigned char lead, unsigned char second) {
    switch (lead) {
    case 0xE0:
        return second >= 0xA0;
    case 0xED:
        return second <= 0x9F;
    case 0xF0:
        return second >= 0x90;
    case 0xF4:
        return second <= 0x8F;
    default:
        return true;
    }
}

bool IsPlain(unsigned char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; }

/// How many bytes from `s` on are plain, eight at a time while a word holds
/// none that needs more than a copy.
std::size_t PlainRun(const unsigned char* s, std::size_t length) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    // A high bit where a byte of x is zero (exact as a whole: some bit is set
    // exactly when some byte is zero).
    const auto zeroByte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        // Bytes of 0x80 and above first, so the tests below see 7-bit bytes.
        const std::uint64_t special = (w & kHigh) | ((w - 0x20 * kOnes) & ~w & kHigh) |
                                      zeroByte(w ^ ('"' * kOnes)) | zeroByte(w ^ ('\\' * kOnes)) |
                                      zeroByte(w ^ (0x7F * kOnes));
        if (special != 0) break;
    }
    while (i < length && IsPlain(s[i]))
        ++i;
    return i;
}

/// The decimal digits of `value`, ending at `end`; returns where they start.
char* Decimal(unsigned long long value, char* end) {
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

} // namespace

NUVZubUttJsonRecord::NUVZubUttJsonRecord(NUVZubPlatform::ReportScope& out, const char* kind)
    : m_out(out) {
    Raw("{\"report\":");
    String(kind, 32);
    char time[28];
    FormatTime(NUVZubPlatform::WallClockMicroseconds(), time);
    Raw(",\"time\":\"");
    Raw(time, sizeof time - 1);
    Raw("\"");
    Member("pid");
    Unsigned(NUVZubPlatform::CurrentProcessId());
    Member("tid");
    Unsigned(NUVZubPlatform::CurrentThreadId());
    Member("program");
    char program[kProgramCap];
    if (NUVZubPlatform::ProgramName(program, sizeof program))
        String(program, kProgramCap);
    else
        Null();
}

std::size_t NUVZubUttJsonRecord::Room() const {
    return m_used + kEndReserve < kCapacity ? kCapacity - kEndReserve - m_used : 0;
}

void NUVZubUttJsonRecord::PutLong(const char* text, std::size_t length) {
    // Callers keep within Room(); this only guards the single write.
    if (m_used + length > kCapacity) {
        ++m_cuts;
        return;
    }
    Flush();
    m_used += length;
    if (length > sizeof m_chunk) return m_out.Write(text, length);
    std::memcpy(m_chunk, text, length);
    m_chunkUsed = length;
}

void NUVZubUttJsonRecord::Flush() {
    if (m_chunkUsed > 0) m_out.Write(m_chunk, m_chunkUsed);
    m_chunkUsed = 0;
    ++m_flushes;
}

void NUVZubUttJsonRecord::BeginCapture(std::size_t most) {
    if (m_chunkUsed + most > sizeof m_chunk) Flush();
    m_captureStart = m_chunkUsed;
    m_captureFlushes = m_flushes;
    m_captureCuts = m_cuts;
}

bool NUVZubUttJsonRecord::Captured(const char*& text, std::size_t& length, bool& cut) const {
    if (m_flushes != m_captureFlushes) return false;
    text = m_chunk + m_captureStart;
    length = m_chunkUsed - m_captureStart;
    cut = m_cuts != m_captureCuts;
    return true;
}

void NUVZubUttJsonRecord::Key(const char* key) {
    if (!m_first) Put(",", 1);
    m_first = false;
    // Names of parameters come from the catalogue's data: escaped if they need it.
    const std::size_t length = std::strlen(key);
    if (length <= 256 && PlainRun(reinterpret_cast<const unsigned char*>(key), length) == length) {
        Put("\"", 1);
        Put(key, length);
        Put("\"", 1);
    } else {
        String(key, length, 256);
    }
    Put(":", 1);
}

void NUVZubUttJsonRecord::Integer(long long value) {
    char digits[24];
    const bool negative = value < 0;
    // The magnitude in unsigned arithmetic, so the most negative value needs no special case.
    char* start = Decimal(negative ? 0ULL - static_cast<unsigned long long>(value)
                                   : static_cast<unsigned long long>(value),
                          digits + sizeof digits);
    if (negative) *--start = '-';
    Put(start, static_cast<std::size_t>(digits + sizeof digits - start));
}

void NUVZubUttJsonRecord::Unsigned(unsigned long long value) {
    char digits[24];
    const char* start = Decimal(value, digits + sizeof digits);
    Put(start, static_cast<std::size_t>(digits + sizeof digits - start));
}

void NUVZubUttJsonRecord::HexString(unsigned long long value) {
    static const char kHex[] = "0123456789abcdef";
    char text[2 + 2 * sizeof value + 2];
    char* end = text + sizeof text;
    char* at = end;
    *--at = '"';
    do {
        *--at = kHex[value & 15];
        value >>= 4;
    } while (value != 0);
    *--at = 'x';
    *--at = '0';
    *--at = '"';
    Put(at, static_cast<std::size_t>(end - at));
}

void NUVZubUttJsonRecord::Real(double value) {
    if (std::isnan(value)) return String("NaN", 8);
    if (std::isinf(value)) return String(value > 0 ? "Infinity" : "-Infinity", 16);
    // The shortest text that reads back as the same value, whatever the locale.
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Put(digits, static_cast<std::size_t>(end - digits));
}

void NUVZubUttJsonRecord::Boolean(bool value) { value ? Put("true", 4) : Put("false", 5); }

void NUVZubUttJsonRecord::String(const char* text, std::size_t cap) {
    if (text == nullptr) return Null();
    String(text, std::strlen(text), cap);
}

void NUVZubUttJsonRecord::String(const char* text, std::size_t length, std::size_t cap) {
    if (text == nullptr) return Null();
    BeginString(cap);
    StringPart(text, length);
    EndString();
}

void NUVZubUttJsonRecord::BeginString(std::size_t cap) {
    Put("\"", 1);
    m_cap = cap;
    m_stringUsed = 0;
    m_full = false;
    m_pendingCount = 0;
    m_pendingNeed = 0;
}

void NUVZubUttJsonRecord::PutUnit(const char* text, std::size_t length) {
    if (m_full) return;
    if (m_stringUsed + length > m_cap) {
        // Cut before the whole character or escape that does not fit.
        m_full = true;
        ++m_cuts;
        return;
    }
    Put(text, length);
    m_stringUsed += length;
}

void NUVZubUttJsonRecord::PutPlain(const char* text, std::size_t length) {
    // Plain bytes are whole characters each: cut anywhere.
    if (m_stringUsed + length > m_cap) {
        length = m_cap - m_stringUsed;
        m_full = true;
        ++m_cuts;
    }
    Put(text, length);
    m_stringUsed += length;
}

void NUVZubUttJsonRecord::FlushPending() {
    // The bytes of a character that never completed: each stands for itself.
    for (int i = 0; i < m_pendingCount; ++i)
        PutUnit("\\ufffd", 6);
    m_pendingCount = 0;
    m_pendingNeed = 0;
}

void NUVZubUttJsonRecord::StringPart(const char* text, std::size_t length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::size_t i = 0;
    while (i < length && !m_full) {
        const unsigned char c = bytes[i];
        if (m_pendingNeed > 0) {
            const bool fits =
                IsContinuation(c) && (m_pendingCount > 1 || SecondFits(m_pending[0], c));
            if (!fits) {
                FlushPending(); // and read this byte afresh
                continue;
            }
            m_pending[m_pendingCount++] = c;
            ++i;
            if (--m_pendingNeed == 0) {
                PutUnit(reinterpret_cast<const char*>(m_pending),
                        static_cast<std::size_t>(m_pendingCount));
                m_pendingCount = 0;
            }
            continue;
        }
        if (IsPlain(c)) {
            const std::size_t run = PlainRun(bytes + i, length - i);
            PutPlain(text + i, run);
            i += run;
            continue;
        }
        ++i;
        if (c < 0x80) {
            static const char kShort[] = "btn\0fr"; // 8 to 13, except 11
            if (c == '"' || c == '\\') {
                const char escape[2] = {'\\', static_cast<char>(c)};
                PutUnit(escape, 2);
            } else if (c >= 8 && c <= 13 && kShort[c - 8] != '\0') {
                const char escape[2] = {'\\', kShort[c - 8]};
                PutUnit(escape, 2);
            } else {
                static const char kHex[] = "0123456789abcdef";
                const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                PutUnit(escape, 6);
            }
            continue;
        }
        const int need = Needed(c);
        if (need < 0) {
            PutUnit("\\ufffd", 6);
            continue;
        }
        m_pending[0] = c;
        m_pendingCount = 1;
        m_pendingNeed = need;
    }
}

void NUVZubUttJsonRecord::EndString() {
    FlushPending();
    Put("\"", 1);
}

void NUVZubUttJsonRecord::Finish(const char (&fingerprint)[17]) {
    Raw(",\"fingerprint\":\"");
    Put(fingerprint, 16);
    Raw("\"");
    if (m_cuts != 0) Raw(",\"truncated\":true");
    Raw("}\n");
    Flush();
}
