// The text of the report being written, shared by both platforms' report
// scopes. Every function is called with the report lock held.
#pragma once

#include <cstddef>

namespace NUVZubPlatform {

/// A scope starts (nested or outermost).
void OpenReportText();
/// A scope ends; the outermost one emits what is left.
void CloseReportText();
/// Drops unwritten text of a report that will never end (its thread is gone).
void DiscardReportText();

/// Writes to the process's standard error, all of it or until it fails. One
/// write for any size the system takes at once. Per platform.
void WriteStandardError(const char* data, std::size_t size);

} // namespace NUVZubPlatform
