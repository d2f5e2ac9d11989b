// The fingerprint of a report: 16 lowercase hex digits that are the same for
// the same failure raised from the same code path, in every run, address-space
// layout and build that keeps the function names, and differ otherwise. The
// library computes it for its JSON reports and zubexc triage for reports read
// from logs, with this one class. docs/reports.md gives the rule.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <cstddef>
#include <cstdint>

class NUVZUB_API NUVZubUttFingerprint {
public:
    /// `kind`: "exception", "assertion", "validation" or "notice".
    explicit NUVZubUttFingerprint(const char* kind);

    /// The traceback's next frame, innermost first: its function's name. Frames
    /// without a name are not given.
    void AddFrame(const char* function, std::size_t length);
    /// The next piece of the message (it may arrive in pieces); only its first
    /// line counts.
    void AddMessage(const char* text, std::size_t length);

    /// From the frames when any was given, else from the message.
    void Finish(char (&digits)[17]) const;

    static constexpr std::size_t kDigits = 16;

private:
    void Mask(unsigned char c);
    void Emit(unsigned char c);

    std::uint64_t m_frames;
    std::uint64_t m_message;
    std::uint64_t m_lastFrame = 0;
    bool m_anyFrame = false;
    // The message's masking: where it stands between pieces.
    enum class State : unsigned char { Text, Number, Quoted, Done };
    State m_state = State::Text;
    unsigned char m_quote = 0;
    bool m_afterWord = false;    // the previous byte belongs to a word
    bool m_pendingMinus = false; // a '-' that may sign a number
};
