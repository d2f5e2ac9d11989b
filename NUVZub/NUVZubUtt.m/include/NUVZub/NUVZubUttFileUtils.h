// File-system functions: absolute paths, file identity, existence and type
// tests, copy, move, hard links, removal, directories and wildcard globbing.
// Every path passes the bad-string check and FixPathForOS before it reaches
// the operating system; failures are thrown as catalogue exceptions.
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZubPlatform/Export.h>

#include <cstdint>

class NUVZubUttOSFile;

namespace NUVZubUttFileUtils {

/// Identity of a file independent of its name: volume, then the file index
/// in two halves. On POSIX the device and inode numbers; directories have one too.
struct FileId {
    std::uint32_t volumeSerialNumber = 0;
    std::uint32_t fileIndexHigh = 0;
    std::uint32_t fileIndexLow = 0;
    friend bool operator==(const FileId& a, const FileId& b) {
        return a.volumeSerialNumber == b.volumeSerialNumber && a.fileIndexHigh == b.fileIndexHigh &&
               a.fileIndexLow == b.fileIndexLow;
    }
    friend bool operator!=(const FileId& a, const FileId& b) { return !(a == b); }
};

/// Full absolute form of the path, folded lexically: no symbolic link is
/// resolved and the path need not exist.
NUVZUB_API NUVString AbsolutePath(const NUVString& path);
/// Both exist and name the same file (hard links and different spellings included).
NUVZUB_API bool SameFile(const NUVString& a, const NUVString& b);
/// b placed in the directory a, or beside a when a is not a directory.
NUVZUB_API NUVString RerootBranch(const NUVString& a, const NUVString& b);
/// path relative to directory when it lies inside it, else path made absolute;
/// path unchanged when directory is empty.
NUVZUB_API NUVString ShortenFileName(const NUVString& directory, const NUVString& path);
/// Never throw for a missing path.
NUVZUB_API bool FileExists(const NUVString& path);
NUVZUB_API bool IsDir(const NUVString& path);
/// False for a missing path and for a file without any write permission bit;
/// true for every directory.
NUVZUB_API bool IsWriteable(const NUVString& path);
/// Renames, replacing an existing `to`; no copying across file systems.
NUVZUB_API void Move(const NUVString& from, const NUVString& to);
/// Creates the hard link; false, leaving it alone, when `link` already exists.
NUVZUB_API bool LinkIfUnique(const NUVString& existing, const NUVString& link);
NUVZUB_API void Remove(const NUVString& path);
/// Removes every match of the wildcard pattern; the first failure ends the walk.
NUVZUB_API void RemoveAll(const NUVString& pattern);
NUVZUB_API bool RemoveNoThrow(const NUVString& path);
/// Creates exactly one level; an existing directory is an error.
NUVZUB_API void MakeDir(const NUVString& path);
NUVZUB_API void RemoveDir(const NUVString& path);
NUVZUB_API FileId GetFileID(const NUVString& path);

/// Copies the file `from` into the file `to` (created or emptied) in 256 KiB blocks.
NUVZUB_API void Copy(const NUVString& from, const NUVString& to);
/// Copies the file `from` into the caller's open file at its position; it stays open.
NUVZUB_API void Copy(const NUVString& from, NUVZubUttOSFile& to);

/// Forward range over the names matching a wildcard pattern: '*' and '?' in
/// the last component, matched by the library itself (NUVZubPlatform/File.h):
/// case-sensitive on POSIX; on Windows ignoring case, on the long names only
/// (never the system's 8.3 short names), "*.*" matching every name and a
/// final '.' the names without an extension. "." and ".." are never yielded.
/// A missing directory throws; no match in an existing one is an empty range.
/// Use: while (!range.Empty()) { use range.Front(); range.Next(); }
class NUVZUB_API GlobRange : public mem_AllocationOperators {
public:
    explicit GlobRange(const NUVString& pattern);
    ~GlobRange();
    GlobRange(const GlobRange&) = delete;
    GlobRange& operator=(const GlobRange&) = delete;

    /// The current match with the pattern's directory joined in front.
    /// Not to be called on an empty range.
    NUVString Front();
    void Next();
    bool Empty() const;

    struct GlobRangeImpl;

private:
    friend NUVZUB_API void
    RemoveAll(const NUVString& pattern); // removes the names where it found them
    void Advance();
    void SkipDots();

    GlobRangeImpl* m_impl;
};

} // namespace NUVZubUttFileUtils
