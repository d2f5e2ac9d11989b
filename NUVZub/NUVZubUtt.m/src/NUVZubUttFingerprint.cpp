// FNV-1a (64 bits) over the report's kind and either its frames' function
// names or its message with numbers and quoted values masked.
#include <NUVZub/NUVZubUttFingerprint.h>

#include <cstring>

namespace {

constexpr std::uint64_t kOffsetBasis = 14695981039346656037ULL;
constexpr std::uint64_t kPrime = 1099511628211ULL;

std::uint64_t Hash(std::uint64_t h, unsigned char c) { return (h ^ c) * kPrime; }

std::uint64_t Hash(std::uint64_t h, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        h = Hash(h, static_cast<unsigned char>(text[i]));
    return h;
}

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

/// Letters, digits, '_' and every byte of a multi-byte character.
bool IsWord(unsigned char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}

} // namespace

NUVZubUttFingerprint::NUVZubUttFingerprint(const char* kind) {
    std::uint64_t h = Hash(kOffsetBasis, kind, std::strlen(kind));
    h = Hash(h, 0);
    m_frames = Hash(h, 'F');
    m_message = Hash(h, 'M');
}

void NUVZubUttFingerprint::AddFrame(const char* function, std::size_t length) {
    // A recursion counts once, however deep it went.
    const std::uint64_t name = Hash(kOffsetBasis, function, length);
    if (m_anyFrame && name == m_lastFrame) return;
    m_anyFrame = true;
    m_lastFrame = name;
    m_frames = Hash(Hash(m_frames, function, length), 0);
}

void NUVZubUttFingerprint::AddMessage(const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length && m_state != State::Done; ++i)
        Mask(static_cast<unsigned char>(text[i]));
}

void NUVZubUttFingerprint::Emit(unsigned char c) { m_message = Hash(m_message, c); }

void NUVZubUttFingerprint::Mask(unsigned char c) {
    if (c == '\r') return; // a line end as Windows writes it
    if (c == '\n') {
        if (m_pendingMinus) Emit('-');
        m_pendingMinus = false;
        m_state = State::Done;
        return;
    }
    if (m_state == State::Quoted) {
        if (c == m_quote) {
            Emit(c);
            m_state = State::Text;
            m_afterWord = false;
        }
        return;
    }
    if (m_state == State::Number) {
        if (IsWord(c) || c == '.') return;
        m_state = State::Text;
    }
    if (m_pendingMinus) {
        m_pendingMinus = false;
        if (IsDigit(c)) { // a signed number masks like any other
            Emit('#');
            m_state = State::Number;
            m_afterWord = true;
            return;
        }
        Emit('-');
        m_afterWord = false;
    }
    if (!m_afterWord && IsDigit(c)) {
        Emit('#');
        m_state = State::Number;
        m_afterWord = true;
        return;
    }
    if (c == '"' || (c == '\'' && !m_afterWord)) {
        // A quoted value; an apostrophe inside a word ("can't") quotes nothing.
        Emit(c);
        Emit('*');
        m_quote = c;
        m_state = State::Quoted;
        return;
    }
    if (c == '-' && !m_afterWord) {
        m_pendingMinus = true;
        return;
    }
    Emit(c);
    m_afterWord = IsWord(c);
}

void NUVZubUttFingerprint::Finish(char (&digits)[17]) const {
    std::uint64_t h = m_anyFrame ? m_frames : m_message;
    if (!m_anyFrame && m_pendingMinus) h = Hash(h, '-');
    static const char kHex[] = "0123456789abcdef";
    for (int i = 15; i >= 0; --i, h >>= 4)
        digits[i] = kHex[h & 15];
    digits[16] = '\0';
}
