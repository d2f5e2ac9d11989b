// zubexc triage [--json] [FILE...]: finds the library's reports in logs that mix
// text reports, JSON records and unrelated lines, groups them by fingerprint and
// prints the groups, most frequent first. Streams: what it keeps grows with the
// number of groups, never with the log.
#include "triage.h"

#include <NUVBas/NUVBasException.h>
#include <NUVZub/NUVZubExcTable.h>
#include <NUVZub/NUVZubUttFingerprint.h>
#include <NUVZubPlatform/File.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using nlohmann::json;

const char kUsage[] = "usage: zubexc triage [--json] [FILE...]\n"
                      "\n"
                      "Finds the library's reports in logs (text reports and JSON records, among\n"
                      "any other lines), groups them by fingerprint and prints the groups, most\n"
                      "frequent first: count, fingerprint, class or kind and code, first message,\n"
                      "where the group was first and last seen, and its first traceback. Reads\n"
                      "standard input when no FILE is given, or for '-'.\n"
                      "\n"
                      "  --json   one JSON object per group and line\n"
                      "\n"
                      "Exit status: 0, 1 when a file could not be read (the others still are),\n"
                      "2 on misuse, 3 when the output could not be written.\n";

// What one group or report keeps at most, so that memory follows the number of
// groups only.
constexpr std::size_t kMessageMost = 4096;
constexpr std::size_t kFramesKept = 128;
constexpr std::size_t kFrameTextMost = 2048;
// A report's line is at most one write of the library (64 KiB); longer lines
// are someone else's.
constexpr std::size_t kLineMost = 256 * 1024;
// Lines after a text report's message wait this long for its traceback, as the
// message's further lines; beyond, they were unrelated.
constexpr std::size_t kContinuationLines = 64;
constexpr std::size_t kContinuationBytes = 64 * 1024;

struct Place {
    std::size_t file = 0;
    unsigned long long line = 0;
    std::string time;
};

struct Frame {
    std::string function; // empty when unnamed
    std::string file;
    long long line = -1; // -1 when unknown
};

struct Group {
    unsigned long long count = 0;
    unsigned long long cutOff = 0;
    std::size_t order = 0;
    std::string fingerprint;
    std::string kind;
    std::string className;
    bool hasCode = false;
    long long code = 0;
    std::string message;
    Place first, last;
    std::vector<Frame> frames;
};

/// One report as read, text or JSON.
struct Report {
    std::string kind;
    std::string className;
    bool hasCode = false;
    long long code = 0;
    std::string message;
    std::string fingerprint;
    std::vector<Frame> frames;
    Place place;
    bool cutOff = false;
};

void Append(std::string& to, std::string_view text, std::size_t most) {
    if (to.size() < most) to.append(text.substr(0, most - to.size()));
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool IsFingerprint(const std::string& text) {
    return text.size() == NUVZubUttFingerprint::kDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

/// The fingerprint a report without one of its own has: the library's rule.
std::string ComputeFingerprint(const Report& report) {
    NUVZubUttFingerprint fingerprint(report.kind.c_str());
    for (const Frame& frame : report.frames)
        if (!frame.function.empty())
            fingerprint.AddFrame(frame.function.data(), frame.function.size());
    fingerprint.AddMessage(report.message.data(), report.message.size());
    char digits[17];
    fingerprint.Finish(digits);
    return digits;
}

/// Reads what a JSON report holds; a record cut short keeps what came before the cut.
class RecordReader : public nlohmann::json_sax<json> {
public:
    Report report;
    bool isReport = false;

    bool null() override { return Value(nullptr); }
    bool boolean(bool) override { return Value(nullptr); }
    bool number_integer(number_integer_t value) override { return Number(value); }
    bool number_unsigned(number_unsigned_t value) override {
        return Number(static_cast<long long>(value));
    }
    bool number_float(number_float_t, const string_t&) override { return Value(nullptr); }
    bool string(string_t& value) override { return Value(&value); }
    bool binary(binary_t&) override { return Value(nullptr); }
    bool start_object(std::size_t) override {
        ++m_depth;
        if (m_depth == 3 && m_inFrames) m_frame = Frame();
        return true;
    }
    bool key(string_t& key) override {
        if (m_depth == 1) m_top = key;
        if (m_depth == 3 && m_inFrames) m_frameKey = key;
        // The first member names a report of this library, or the line is not one.
        if (m_depth == 1 && !m_sawKey) {
            m_sawKey = true;
            return key == "report";
        }
        return true;
    }
    bool end_object() override {
        if (m_depth == 3 && m_inFrames && report.frames.size() < kFramesKept)
            report.frames.push_back(m_frame);
        --m_depth;
        return true;
    }
    bool start_array(std::size_t) override {
        ++m_depth;
        if (m_depth == 2 && m_top == "frames") m_inFrames = true;
        return true;
    }
    bool end_array() override {
        if (m_depth == 2) m_inFrames = false;
        --m_depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool Number(long long value) {
        if (m_depth == 1 && m_top == "code") {
            report.hasCode = true;
            report.code = value;
        }
        if (m_depth == 3 && m_inFrames && m_frameKey == "line") m_frame.line = value;
        return true;
    }

    bool Value(const string_t* text) {
        if (m_depth == 1 && text != nullptr) {
            if (m_top == "report") {
                isReport = *text == "exception" || *text == "assertion" || *text == "validation" ||
                           *text == "notice";
                report.kind = *text;
                return isReport;
            }
            if (m_top == "class") report.className = *text;
            if (m_top == "message") Append(report.message, *text, kMessageMost);
            if (m_top == "time") report.place.time = text->substr(0, 64);
            if (m_top == "fingerprint") report.fingerprint = *text;
        }
        if (m_depth == 3 && m_inFrames && text != nullptr) {
            if (m_frameKey == "function") m_frame.function = text->substr(0, kFrameTextMost);
            if (m_frameKey == "file") m_frame.file = text->substr(0, kFrameTextMost);
        }
        return true;
    }

    int m_depth = 0;
    bool m_sawKey = false;
    bool m_inFrames = false;
    std::string m_top;
    std::string m_frameKey;
    Frame m_frame;
};

/// Reads "function in file:line" from a text traceback's line (after "!!!   ").
Frame TextFrame(std::string_view text) {
    Frame frame;
    std::string_view name = text;
    const std::size_t in = text.find(" in ");
    if (in != std::string_view::npos) {
        name = text.substr(0, in);
        std::string_view where = text.substr(in + 4);
        const std::size_t colon = where.rfind(':');
        if (colon != std::string_view::npos && colon + 1 < where.size() &&
            where.find_first_not_of("0123456789", colon + 1) == std::string_view::npos &&
            where.size() - colon <= 10) {
            frame.file = std::string(where.substr(0, std::min(colon, kFrameTextMost)));
            frame.line = std::stoll(std::string(where.substr(colon + 1)));
        } else {
            frame.file = std::string(where.substr(0, kFrameTextMost));
        }
    }
    if (name != "<stack frame not available>")
        frame.function = std::string(name.substr(0, kFrameTextMost));
    return frame;
}

class LogTriage {
public:
    explicit LogTriage(std::vector<std::string> files) : m_files(std::move(files)) {}

    /// Reads one file (or standard input); false if it could not be read.
    bool Read(std::size_t file);
    void PrintText(std::FILE* out) const;
    void PrintJson(std::FILE* out) const;

private:
    enum class State { Idle, Message, AfterMessage, Traceback, NoticeName, ArgumentsNotice };

    void Line(std::string_view line);
    void Handle(std::string_view line);
    void Idle(std::string_view line);
    void Start(const char* kind, State state);
    void Finish();
    void FlushContinuation();
    void Json(std::string_view line);
    void Count(Report& report);
    std::vector<const Group*> Sorted() const;
    std::string Where(const Place& place) const;

    std::vector<std::string> m_files;
    std::unordered_map<std::string, Group> m_groups;
    unsigned long long m_reports = 0;
    unsigned long long m_cutOff = 0;
    // Where reading stands.
    std::size_t m_file = 0;
    unsigned long long m_line = 0;
    bool m_lineCut = false; // the current line ends the input without a line feed
    // The text report being read.
    State m_state = State::Idle;
    Report m_report;
    std::vector<std::string> m_continuation;
    std::size_t m_continuationBytes = 0;
    unsigned long long m_continuationFrom = 0; // the line number of the first
    std::string m_key;                         // reused for look-ups
};

bool LogTriage::Read(std::size_t file) {
    m_file = file;
    m_line = 0;
    const std::string& name = m_files[file];
    NUVZubPlatform::Handle handle = NUVZubPlatform::kNoHandle;
    int error = 0;
    const bool input = name == "-";
    if (input) {
        handle = NUVZubPlatform::StandardInput();
        if (handle == NUVZubPlatform::kNoHandle) error = -1;
    } else {
        error = NUVZubPlatform::OpenFile(name.c_str(), NUVZubPlatform::OpenMode::Read, handle);
    }
    const bool stream = error == 0 && NUVZubPlatform::IsStream(handle);
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    std::string carry; // a line that began in an earlier read
    bool overlong = false;
    std::uint64_t offset = 0;
    while (error == 0) {
        std::uint64_t done = 0;
        error = stream ? NUVZubPlatform::ReadNext(handle, buffer.get(), 1 << 20, done)
                       : NUVZubPlatform::ReadAt(handle, buffer.get(), 1 << 20, offset, done);
        if (error != 0 || done == 0) break;
        offset += done;
        const char* at = buffer.get();
        const char* end = at + done;
        while (at < end) {
            const char* feed = static_cast<const char*>(std::memchr(at, '\n', end - at));
            const char* stop = feed != nullptr ? feed : end;
            if (carry.empty() && !overlong && feed != nullptr) {
                Line(std::string_view(at, static_cast<std::size_t>(stop - at)));
            } else {
                if (!overlong && carry.size() + (stop - at) <= kLineMost)
                    carry.append(at, stop);
                else
                    overlong = true, carry.clear();
                if (feed != nullptr) {
                    // A line too long for any report is noise, only counted.
                    overlong ? Line(std::string_view()) : Line(carry);
                    carry.clear();
                    overlong = false;
                }
            }
            at = feed != nullptr ? feed + 1 : end;
        }
    }
    if (!carry.empty() || overlong) {
        m_lineCut = true;
        overlong ? Line(std::string_view()) : Line(carry);
        m_lineCut = false;
    }
    Finish();
    if (!input) NUVZubPlatform::CloseFile(handle);
    if (error == 0) return true;
    if (error == -1)
        std::fprintf(stderr, "zubexc triage: no standard input to read\n");
    else
        std::fprintf(stderr, "zubexc triage: cannot read %s: %s\n", name.c_str(),
                     NUVBasSystemError(error).AsString());
    return false;
}

void LogTriage::Line(std::string_view line) {
    ++m_line;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1); // written on Windows
    Handle(line);
}

void LogTriage::Handle(std::string_view line) {
    switch (m_state) {
    case State::Idle:
        return Idle(line);
    case State::Message: {
        const std::string_view prefix = m_report.kind == "exception" ? "!!!   " : "!!! ";
        if (!StartsWith(line, prefix)) {
            m_report.cutOff = true; // a banner without its message
            Finish();
            return Handle(line);
        }
        Append(m_report.message, line.substr(prefix.size()), kMessageMost);
        m_state = State::AfterMessage;
        if (m_lineCut) m_report.cutOff = true;
        return;
    }
    case State::AfterMessage:
        if (line == "!!! TRACEBACK:") {
            // The lines held back were the message's own.
            for (const std::string& more : m_continuation)
                Append(m_report.message.append(m_report.message.size() < kMessageMost ? "\n" : ""),
                       more, kMessageMost);
            m_continuation.clear();
            m_continuationBytes = 0;
            m_state = State::Traceback;
            if (m_lineCut) m_report.cutOff = true;
            return;
        }
        if (StartsWith(line, "!!! ") || StartsWith(line, "{") ||
            m_continuation.size() == kContinuationLines ||
            m_continuationBytes + line.size() > kContinuationBytes) {
            Finish();
            return Handle(line);
        }
        if (m_continuation.empty()) m_continuationFrom = m_line;
        m_continuation.emplace_back(line);
        m_continuationBytes += line.size();
        return;
    case State::Traceback:
        if (StartsWith(line, "!!!   ")) {
            Frame frame = TextFrame(line.substr(6));
            const bool atMain = frame.function == "main";
            if (m_report.frames.size() < kFramesKept) m_report.frames.push_back(std::move(frame));
            if (m_lineCut) m_report.cutOff = true;
            if (atMain) Finish(); // the traceback ends at main
            return;
        }
        if (line == "!!! TRACEBACK NOT AVAILABLE.") return Finish();
        if (m_report.frames.empty()) m_report.cutOff = true;
        Finish();
        return Handle(line);
    case State::NoticeName:
        // "!!! Throwing Class:" and the name on the line after it.
        if (StartsWith(line, "!!!  ") && !StartsWith(line, "!!!   ")) {
            Append(m_report.message.append("\n"), line, kMessageMost);
            return Finish();
        }
        Finish();
        return Handle(line);
    case State::ArgumentsNotice:
        if (StartsWith(line, "argument ")) {
            Append(m_report.message.append("\n"), line, kMessageMost);
            return Finish();
        }
        Finish();
        return Handle(line);
    }
}

void LogTriage::Start(const char* kind, State state) {
    m_report = Report();
    m_report.kind = kind;
    m_report.place.file = m_file;
    m_report.place.line = m_line;
    m_state = state;
}

void LogTriage::Idle(std::string_view line) {
    if (StartsWith(line, "!!! ")) {
        if (line == "!!! EXCEPTION:") return Start("exception", State::Message);
        if (line == "!!! THE API HAS DETECTED AN INTERNAL LOGIC ERROR.")
            return Start("assertion", State::Message);
        if (line == "!!! THE API HAS DETECTED AN ARGUMENT ERROR OR INCORRECT USE BY THE CLIENT.")
            return Start("validation", State::Message);
        if (StartsWith(line, "!!!   ")) return; // a piece of a report whose start is not here
        // Any other line of the library's marker is a notice, "!!! Throwing" with
        // the name on its next line.
        Start("notice", StartsWith(line, "!!! Throwing ") ? State::NoticeName : State::Idle);
        Append(m_report.message, line, kMessageMost);
        if (m_state == State::Idle) Finish();
        return;
    }
    if (StartsWith(line, "=== ZUB ") ||
        StartsWith(line, "ERROR: Unable to open command line arguments file ") ||
        StartsWith(line, "ERROR: Command line argument in command line file is too long")) {
        Start("notice", State::Idle);
        Append(m_report.message, line, kMessageMost);
        return Finish();
    }
    if (StartsWith(line, "ERROR: There are more than ")) {
        Start("notice", State::ArgumentsNotice);
        Append(m_report.message, line, kMessageMost);
        return;
    }
    const std::size_t brace = line.find_first_not_of(" \t");
    if (brace != std::string_view::npos && line[brace] == '{' &&
        line.find("\"report\"") != std::string_view::npos)
        Json(line.substr(brace));
}

void LogTriage::FlushContinuation() {
    std::vector<std::string> lines;
    lines.swap(m_continuation);
    m_continuationBytes = 0;
    // Held back as a possible part of a message, they were lines of their own.
    const unsigned long long current = m_line;
    m_line = m_continuationFrom - 1;
    for (const std::string& line : lines)
        Line(line);
    m_line = current;
}

void LogTriage::Finish() {
    if (m_state == State::Idle && m_report.kind.empty()) return;
    const bool heldBack = !m_continuation.empty();
    if (m_state == State::Message) m_report.cutOff = true;
    if (m_state == State::Traceback && m_report.frames.empty()) m_report.cutOff = true;
    m_state = State::Idle;
    Report report = std::move(m_report);
    m_report = Report();
    report.fingerprint = ComputeFingerprint(report);
    Count(report);
    if (heldBack) FlushContinuation();
}

/// The fingerprint and time of a whole record, found without a parser: in a
/// record's text a key's quotes are never escaped, and every quote inside a
/// string is. Only records of groups already known go this way.
bool QuickRecord(std::string_view line, std::string_view& fingerprint, std::string_view& time) {
    constexpr std::string_view kKey = "\"fingerprint\":\"";
    if (line.empty() || line.back() != '}' || !StartsWith(line, "{\"report\":\"")) return false;
    const std::size_t at = line.rfind(kKey);
    if (at == std::string_view::npos) return false;
    const std::size_t digits = at + kKey.size();
    const std::string_view rest = line.substr(digits);
    if (rest.size() < NUVZubUttFingerprint::kDigits + 2 ||
        rest[NUVZubUttFingerprint::kDigits] != '"')
        return false;
    const std::string_view after = rest.substr(NUVZubUttFingerprint::kDigits + 1);
    if (after != "}" && after != ",\"truncated\":true}") return false;
    fingerprint = rest.substr(0, NUVZubUttFingerprint::kDigits);
    if (fingerprint.find_first_not_of("0123456789abcdef") != std::string_view::npos) return false;
    constexpr std::string_view kTime = ",\"time\":\"";
    const std::size_t timeAt = line.find(kTime);
    time = std::string_view();
    if (timeAt != std::string_view::npos && timeAt < 64) {
        const std::size_t start = timeAt + kTime.size();
        const std::size_t end = line.find('"', start);
        if (end != std::string_view::npos && end - start <= 64)
            time = line.substr(start, end - start);
    }
    return true;
}

void LogTriage::Json(std::string_view line) {
    std::string_view quickFingerprint, quickTime;
    if (QuickRecord(line, quickFingerprint, quickTime)) {
        m_key.assign(quickFingerprint.data(), quickFingerprint.size());
        const auto found = m_groups.find(m_key);
        if (found != m_groups.end()) {
            ++m_reports;
            Group& group = found->second;
            ++group.count;
            group.last.file = m_file;
            group.last.line = m_line;
            group.last.time.assign(quickTime.data(), quickTime.size());
            return;
        }
    }
    RecordReader reader;
    const bool whole =
        json::sax_parse(line.begin(), line.end(), &reader, json::input_format_t::json, false);
    if (!reader.isReport) return;
    Report& report = reader.report;
    report.place.file = m_file;
    report.place.line = m_line;
    report.cutOff = !whole;
    if (!IsFingerprint(report.fingerprint)) report.fingerprint = ComputeFingerprint(report);
    Count(report);
}

void LogTriage::Count(Report& report) {
    ++m_reports;
    if (report.cutOff) ++m_cutOff;
    auto found = m_groups.find(report.fingerprint);
    if (found == m_groups.end()) {
        Group group;
        group.order = m_groups.size();
        group.fingerprint = report.fingerprint;
        group.kind = report.kind;
        group.className = report.className;
        group.hasCode = report.hasCode;
        group.code = report.code;
        group.message = report.message;
        group.first = report.place;
        group.frames = std::move(report.frames);
        // A text report names its class only through its Propagate frame.
        if (group.className.empty() && !group.frames.empty()) {
            const std::string& top = group.frames.front().function;
            const std::size_t scope = top.rfind("::Propagate");
            if (scope != std::string::npos && scope + 11 == top.size()) {
                const std::string name = top.substr(0, scope);
                if (const NUVZubExcClassInfo* info = NUVZubExcTable::FindByName(name.c_str())) {
                    group.className = info->name;
                    group.hasCode = true;
                    group.code = info->code;
                }
            }
        }
        found = m_groups.emplace(report.fingerprint, std::move(group)).first;
    }
    Group& group = found->second;
    ++group.count;
    if (report.cutOff) ++group.cutOff;
    group.last = std::move(report.place);
}

std::vector<const Group*> LogTriage::Sorted() const {
    std::vector<const Group*> sorted;
    for (const auto& entry : m_groups)
        sorted.push_back(&entry.second);
    std::sort(sorted.begin(), sorted.end(), [](const Group* a, const Group* b) {
        return a->count != b->count ? a->count > b->count : a->order < b->order;
    });
    return sorted;
}

std::string LogTriage::Where(const Place& place) const {
    std::string where = m_files.size() > 1 ? m_files[place.file] + ":" : "line ";
    where += std::to_string(place.line);
    if (!place.time.empty()) where += ", " + place.time;
    return where;
}

/// Text from a log for a terminal: control characters shown as \xNN, so that
/// no log can move the cursor or change colours.
std::string Shown(const std::string& text, const char* indent) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += '\n';
            out += indent;
        } else if (u < 0x20 || u == 0x7F) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

void LogTriage::PrintText(std::FILE* out) const {
    std::fprintf(out, "%zu group%s, %llu report%s", m_groups.size(),
                 m_groups.size() == 1 ? "" : "s", m_reports, m_reports == 1 ? "" : "s");
    if (m_cutOff) std::fprintf(out, " (%llu cut off)", m_cutOff);
    std::fprintf(out, "\n");
    for (const Group* g : Sorted()) {
        std::string what = g->className.empty() ? g->kind : g->className;
        if (g->hasCode) what += " (code " + std::to_string(g->code) + ")";
        std::fprintf(out, "\n%7llu  %s  %s\n", g->count, g->fingerprint.c_str(),
                     Shown(what, "").c_str());
        std::fprintf(out, "         message:    %s\n",
                     Shown(g->message, "                     ").c_str());
        std::fprintf(out, "         first seen: %s\n", Shown(Where(g->first), "").c_str());
        std::fprintf(out, "         last seen:  %s\n", Shown(Where(g->last), "").c_str());
        if (g->cutOff) std::fprintf(out, "         cut off:    %llu\n", g->cutOff);
        if (g->frames.empty()) continue;
        std::fprintf(out, "         traceback:\n");
        for (const Frame& f : g->frames) {
            std::string line = f.function.empty() ? "<stack frame not available>" : f.function;
            if (!f.file.empty())
                line += " in " + f.file + (f.line >= 0 ? ":" + std::to_string(f.line) : "");
            std::fprintf(out, "           %s\n", Shown(line, "").c_str());
        }
    }
}

json PlaceJson(const Place& place, const std::vector<std::string>& files) {
    json where = {{"file", files[place.file]}, {"line", place.line}};
    where["time"] = place.time.empty() ? json(nullptr) : json(place.time);
    return where;
}

void LogTriage::PrintJson(std::FILE* out) const {
    for (const Group* g : Sorted()) {
        json frames = json::array();
        for (const Frame& f : g->frames)
            frames.push_back({{"function", f.function.empty() ? json(nullptr) : json(f.function)},
                              {"file", f.file.empty() ? json(nullptr) : json(f.file)},
                              {"line", f.line >= 0 ? json(f.line) : json(nullptr)}});
        json group = {{"count", g->count},
                      {"fingerprint", g->fingerprint},
                      {"report", g->kind},
                      {"class", g->className.empty() ? json(nullptr) : json(g->className)},
                      {"code", g->hasCode ? json(g->code) : json(nullptr)},
                      {"message", g->message},
                      {"first_seen", PlaceJson(g->first, m_files)},
                      {"last_seen", PlaceJson(g->last, m_files)},
                      {"cut_off", g->cutOff},
                      {"frames", frames}};
        // Bytes of a text log that are not UTF-8 become U+FFFD.
        const std::string text = group.dump(-1, ' ', false, json::error_handler_t::replace);
        std::fprintf(out, "%s\n", text.c_str());
    }
}

} // namespace

int Triage(int argc, char** argv) {
    bool asJson = false;
    std::vector<std::string> files;
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(arg, "--json")) {
            asJson = true;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "zubexc triage: unknown option '%s'\n", arg);
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            files.emplace_back(arg);
        }
    }
    if (files.empty()) files.emplace_back("-");
    LogTriage triage(files);
    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (!triage.Read(i)) status = 1;
    // Output that could not be written is found by the caller, at the close.
    asJson ? triage.PrintJson(stdout) : triage.PrintText(stdout);
    return status;
}
