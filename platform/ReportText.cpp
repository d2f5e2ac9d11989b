// Reports are gathered and emitted whole, so that writers sharing one log
// (threads of this process under the report lock, or other processes
// appending to the same file) never interleave inside a line.
#include "ReportText.h"

#include <NUVZubPlatform/Process.h>

#include <cstring>

namespace NUVZubPlatform {

namespace {

// Static, not on the stack: reports run on threads with small stacks too.
char g_text[kReportTextCapacity];
std::size_t g_length = 0;
int g_depth = 0;

/// Emits the complete lines gathered so far and keeps the unfinished one; when
/// there is none, or it fills the buffer, everything goes.
void EmitLines() {
    std::size_t end = g_length;
    while (end > 0 && g_text[end - 1] != '\n')
        --end;
    if (end == 0) end = g_length;
    WriteStandardError(g_text, end);
    std::memmove(g_text, g_text + end, g_length - end);
    g_length -= end;
}

} // namespace

void OpenReportText() { ++g_depth; }

void CloseReportText() {
    if (--g_depth != 0 || g_length == 0) return;
    WriteStandardError(g_text, g_length);
    g_length = 0;
}

void DiscardReportText() {
    g_length = 0;
    g_depth = 0;
}

void ReportScope::Write(const char* text, std::size_t length) {
    while (length > 0) {
        if (g_length == sizeof g_text) EmitLines();
        std::size_t part = sizeof g_text - g_length;
        if (part > length) part = length;
        std::memcpy(g_text + g_length, text, part);
        g_length += part;
        text += part;
        length -= part;
    }
}

void ReportScope::Write(const char* text) {
    if (text == nullptr) text = "(null)";
    Write(text, std::strlen(text));
}

void ReportScope::WriteDecimal(long long value) {
    char digits[24];
    std::size_t at = sizeof digits;
    // Negated digit by digit, so the most negative value needs no special case.
    const bool negative = value < 0;
    do {
        const int digit = static_cast<int>(value % 10);
        digits[--at] = static_cast<char>('0' + (negative ? -digit : digit));
        value /= 10;
    } while (value != 0);
    if (negative) digits[--at] = '-';
    Write(digits + at, sizeof digits - at);
}

} // namespace NUVZubPlatform
