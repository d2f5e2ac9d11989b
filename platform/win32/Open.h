// Opening and deleting files, shared by the Windows platform files.
#pragma once

#include <windows.h>
// windows.h maps the name to RemoveDirectoryA; the interface's own is meant.
#undef RemoveDirectory

#include <NUVZubPlatform/File.h>

#include <string>

namespace NUVZubPlatform {

/// OpenFile of the single name `name` in the directory open as `directory`.
int OpenIn(HANDLE directory, const std::wstring& name, OpenMode mode, Handle& handle);

/// Deletes the file open as `file` (with DELETE access) so that its name is
/// free at once, though other handles may keep the file open for a while.
int DeleteOpened(HANDLE file);

} // namespace NUVZubPlatform
