// Path strings: taking paths apart, joining, comparing and rewriting them for
// the operating system. Text only: nothing here touches the file system.
//
// Both separator styles are accepted and decided per path: a path containing a
// backslash anywhere, or starting with a drive prefix ("C:"), is in backslash
// style and both separators separate; any other path is in slash style and
// only '/' separates. Positions and lengths count characters, not bytes.
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVZubPlatform/Export.h>

namespace NUVZubUttFilePathParser {

/// The directory part, without its last separator ("C:\dir\f.txt" -> "C:\dir",
/// "/usr" -> "").
NUVZUB_API NUVString DirPath(const NUVString& path);
/// The last component; a path without separators after its drive or server
/// prefix is its own tail ("C:f.txt", "\\server\share").
NUVZUB_API NUVString Tail(const NUVString& path);
/// The tail without its extension (".hidden" -> "").
NUVZUB_API NUVString BaseName(const NUVString& path);
/// The whole path without the extension of its last component;
/// BasePath(p) + Extension(p) == p for every p.
NUVZUB_API NUVString BasePath(const NUVString& path);
/// True when the tail contains a dot.
NUVZUB_API bool HasExtension(const NUVString& path);
/// From the tail's last dot (included) to the end, or "" ("x.tar.gz" -> ".gz").
NUVZUB_API NUVString Extension(const NUVString& path);
/// Rooted: "\\...", "/...", or a drive prefix ("C:f" too); "\dir" is not.
NUVZUB_API bool IsAbsolute(const NUVString& path);
/// `name` appended to `directory` with one forward slash. The name alone when
/// the directory is empty or the name starts with a separator or a drive prefix.
NUVZUB_API NUVString Join(const NUVString& directory, const NUVString& name);
/// The path in the form the operating system takes. Checks the string first
/// (throws NUVZubExcBadStringArgument for a BAD string). On POSIX every
/// backslash becomes '/'; on Windows every '/' becomes '\' and full paths of
/// 260 characters or more get the "\\?\" long-path prefix (the platform layer
/// folds and prefixes every path it hands the system, relative ones too).
NUVZUB_API NUVString FixPathForOS(const NUVString& path);
/// -1, 0 or 1: character-wise, case-sensitive, with '/' and '\' equal; a
/// proper prefix orders first; the empty path orders before any other.
NUVZUB_API int CompareFilePaths(const NUVString& a, const NUVString& b);

} // namespace NUVZubUttFilePathParser
