// The system-call table in use and the open built on it, shared by the POSIX
// platform files.
#pragma once

#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/SystemCalls.h>

namespace NUVZubPlatform {

extern SystemCalls g_calls;

/// OpenFile of `path` resolved in the open directory `directory`, or in the
/// working directory for AT_FDCWD.
int OpenAt(int directory, const char* path, OpenMode mode, Handle& handle);

/// Fills standard slots 0-2 the process left free with /dev/null, so that a
/// descriptor we open next cannot take one (see File.cpp). Called before every
/// open whose descriptor outlives the call.
void FillFreeStandardSlots();

} // namespace NUVZubPlatform
