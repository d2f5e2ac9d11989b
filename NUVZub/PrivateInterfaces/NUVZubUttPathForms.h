// The two operating-system forms that FixPathForOS chooses between, each
// reachable on every platform so that both can be tested anywhere.
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVZubPlatform/Export.h>

namespace NUVZubUttPathForms {

/// Every backslash becomes a forward slash.
NUVZUB_API NUVString Posix(const NUVString& path);

/// Every forward slash becomes a backslash; a full path of 260 characters or
/// more gets the long-path prefix ("\\?\C:\..." or "\\?\UNC\server\..."),
/// unless it already starts with "\\?". What the system opens is decided at
/// the platform boundary, which folds this form like the plain one.
NUVZUB_API NUVString Windows(const NUVString& path);

/// The form of the platform built for: FixPathForOS without the bad-string
/// check, for names that the operating system itself produced.
NUVZUB_API NUVString Native(const NUVString& path);

} // namespace NUVZubUttPathForms
