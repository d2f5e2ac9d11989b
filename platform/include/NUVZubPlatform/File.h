// File and directory services of the platform layer. Every function returns 0
// on success or the operating system's error code (errno on POSIX); the
// classifiers below tell the codes that callers react to apart.
//
// Paths on Windows: here, and only here, a path becomes what the system
// opens. It is folded by the system's own rules (GetFullPathNameW: made
// absolute, "." and ".." folded, trailing dots and spaces cut, device names
// such as NUL mapped), then given the long-path prefix, so that one name
// means one file at every length and no MAX_PATH limit applies. The prefixed
// form that FixPathForOS gives long paths is folded the same way, so a name
// that only a literal "\\?\" path could reach (one ending in a dot or a
// space, a device name as a file's name) is out of the library's reach.
#pragma once

#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/Handle.h>

#include <cstdint>
#include <string>

namespace NUVZubPlatform {

enum class OpenMode {
    Read,      ///< existing file, read only
    Update,    ///< existing file, read and write
    Write,     ///< created or emptied, read and write
    Append,    ///< opened or created, for writing at kAtEnd
    CreateNew, ///< exclusive create, read and write
    Temporary  ///< exclusive create with owner-only access; the name stays while the file is
               ///< open: the caller removes it before closing (where the system deletes
               ///< such files at close itself, that removal finds nothing)
};

NUVZUB_API int OpenFile(const char* path, OpenMode mode, Handle& handle);
/// The process's standard input, read as bytes (never closed by the caller);
/// kNoHandle when it has none.
NUVZUB_API Handle StandardInput();
NUVZUB_API int CloseFile(Handle handle);

/// Reads up to `size` bytes at `offset` in one call; `done` is 0 at end of file.
NUVZUB_API int ReadAt(Handle handle, void* buffer, std::uint64_t size, std::uint64_t offset,
                      std::uint64_t& done);
/// WriteAt's offset for the end of the file as it stands at the write, found
/// and extended in one step, whatever other writers do meanwhile. An Append
/// file is written there (on POSIX it is written at its end whatever the
/// offset; on Windows only there).
constexpr std::uint64_t kAtEnd = ~std::uint64_t{0};
/// Writes up to `size` bytes at `offset` in one call.
NUVZUB_API int WriteAt(Handle handle, const void* data, std::uint64_t size, std::uint64_t offset,
                       std::uint64_t& done);
/// True when the open file is a stream (pipe, FIFO, socket, terminal or other
/// character device): it has no positions, so transfers go through ReadNext and
/// WriteNext. Asked once, when the file is opened.
NUVZUB_API bool IsStream(Handle handle);
/// Reads up to `size` bytes where the stream stands, in one call; `done` is 0 at
/// its end.
NUVZUB_API int ReadNext(Handle handle, void* buffer, std::uint64_t size, std::uint64_t& done);
/// Writes up to `size` bytes where the stream stands, in one call.
NUVZUB_API int WriteNext(Handle handle, const void* data, std::uint64_t size, std::uint64_t& done);
/// 0 when `offset` can be a file position, else the code a positioning call
/// fails with there (offsets at or above 2^63).
NUVZUB_API int CheckOffset(std::uint64_t offset);
/// Forces written data to the device; a file that has no such thing (a pipe, a
/// socket, a character device) succeeds.
NUVZUB_API int SyncFile(Handle handle);
NUVZUB_API int SetFileLength(Handle handle, std::uint64_t length);
NUVZUB_API int GetFileLength(Handle handle, std::uint64_t& length);
/// Exclusive advisory lock of the open file description; waits until granted.
NUVZUB_API int LockFile(Handle handle);
NUVZUB_API int UnlockFile(Handle handle);
/// The code an unlock fails with when no lock is held. Not every system tells
/// (flock does not), so callers track the lock they hold and report this.
NUVZUB_API int NotLockedError();

struct FileAttributes {
    bool isDirectory = false;
    bool readOnly = false; ///< a regular file with no write permission bit at all
};
/// One attribute query, following symbolic links.
NUVZUB_API int GetAttributes(const char* path, FileAttributes& attributes);

/// Device and file number of an existing file or directory.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
};
/// Opens the path without access rights, then queries the open file;
/// `failedStep` tells which of the two failed (0 open, 1 query).
NUVZUB_API int GetIdentity(const char* path, FileIdentity& identity, int& failedStep);

/// Identity of an open file.
NUVZUB_API int GetHandleIdentity(Handle handle, FileIdentity& identity);

/// Renames, replacing an existing target. When both names are links to one
/// file, the source name is removed (the file stays under the target name),
/// on POSIX checked and removed in the source's directory held open.
NUVZUB_API int RenameFile(const char* from, const char* to);
NUVZUB_API int MakeHardLink(const char* existing, const char* link);
/// Removes a file, or a link itself; a directory fails. The name is free at
/// once (see the removal section below).
NUVZUB_API int RemoveFile(const char* path);
NUVZUB_API int MakeDirectory(const char* path);
NUVZUB_API int RemoveDirectory(const char* path);

/// `path` made absolute against the working directory, lexically: "." and ".."
/// folded, repeated separators merged, no symbolic link resolved, nothing
/// required to exist.
NUVZUB_API int FullPath(const char* path, std::string& result);

/// A search of one directory for the names matching the last component of a
/// pattern: '*' any run, '?' one character, everything else literal; "." and
/// ".." are returned like other names. The matching is the library's own on
/// every system, never the system's: each name the system lists passes it.
///
/// POSIX: case-sensitive; a character is a well-formed UTF-8 sequence, or any
/// single byte outside one (names need not be UTF-8).
///
/// Windows: on the long names only (never the 8.3 short names the system
/// also matches: "*.htm" does not find page.html), ignoring case as the file
/// system does (the system's upper-case table, through CompareStringOrdinal);
/// a character is a UTF-16 code point (an unpaired surrogate counts as one).
/// Two conventions hold: "*.*" matches every name, and a pattern ending in
/// '.' matches the names without an extension (no dot at all) that the rest
/// of it matches: "*." all of them, "a*." those starting with "a".
struct DirectorySearch;
/// FindFirst's result when the directory exists and nothing matches.
constexpr int kNoMatch = -1;
/// FindNext's result when the matches are exhausted.
constexpr int kNoMoreMatches = -2;
/// On success `search` is open and `name` is the first match (valid until the
/// next call on the search).
NUVZUB_API int FindFirst(const char* pattern, DirectorySearch*& search, const char*& name);
NUVZUB_API int FindNext(DirectorySearch* search, const char*& name);
/// Ends the search; null is accepted.
NUVZUB_API void EndFind(DirectorySearch* search);

// ---- removal where a name was found or created ----
//
// A name read from a directory, or given to a file created there, is removed
// from that directory and never looked up by its path again: another process
// may have replaced the directory, or one on its way, with a symbolic link
// meanwhile. The caller's path is resolved once, symbolic links on it
// followed, when the search starts or the name is pinned.
//
// POSIX keeps this promise: the removal goes through a descriptor of that
// directory, wherever its path leads by then. A symbolic link found is
// removed itself, never followed; a directory found is refused, never
// entered. What remains is what any writer of that directory can do: put
// another entry under the name between the look-up and the removal.
// Windows keeps it the same way: a handle of the directory is opened when
// the search starts or the name is pinned (links on the way followed once),
// and names are opened relative to it (NtCreateFile's root directory), a
// reparse point found (junction, symbolic link) as itself, then deleted
// through their own handle. A link to a file is removed itself; a directory,
// or a link to one, is refused. A pinned name is checked against the open
// file and deleted through one handle, so not even the writer's race above
// remains there. What Windows does not let the library promise: a search
// lists the directory through its path (FindFirstFileExW has no handle form),
// so should that path lead elsewhere between the start of the listing and the
// opening of the handle, the names listed there are removed, if present and
// matching, from the directory held, and names of the directory held may go
// unseen. Nothing outside the directory held is removed either way.
//
// A removed name is free at once on both systems, even while another process
// keeps the file open (Windows would otherwise keep it taken, "delete
// pending", until the last handle closes): Windows deletes with POSIX
// semantics where the file system offers them, and elsewhere first renames
// the file to a name of its own (".nuvzub-removed-...") in the same
// directory, which is listed there until the last handle closes.

/// Removes the file `name`, a match that `search` returned, from the directory
/// searched. A directory is not removed: that fails.
NUVZUB_API int RemoveFound(DirectorySearch* search, const char* name);

/// The last component of a path, with the directory that holds it kept open
/// (symbolic links on the way to it followed once, as an open of the path would).
struct PinnedName;
NUVZUB_API int PinName(const char* path, PinnedName*& pinned);
/// OpenFile of the pinned name in its directory.
NUVZUB_API int OpenPinned(PinnedName* pinned, OpenMode mode, Handle& handle);
/// Removes the pinned name while it still names the open file `handle`; a name
/// that leads to another file, or to none, is left alone, and that is no failure.
NUVZUB_API int RemovePinned(PinnedName* pinned, Handle handle);
/// Releases the directory; null is accepted.
NUVZUB_API void UnpinName(PinnedName* pinned);

NUVZUB_API bool IsNotFound(int error);
/// True when `error`, from opening or creating `path`, means a directory on the
/// way is missing or is no directory (path not found), rather than the file
/// itself missing.
NUVZUB_API bool IsPathNotFound(int error, const char* path);
NUVZUB_API bool IsAlreadyExists(int error);
/// The device-full and quota-exceeded codes.
NUVZUB_API bool IsDiskFull(int error);

} // namespace NUVZubPlatform
