// One operating-system file: opened in one of four modes or created under a
// generated name, read and written unbuffered at a remembered position.
// Every failure is thrown as a catalogue exception.
//
// Process-wide, fixed by the first constructor: ZUB_STORAGE_LIMIT (a byte
// budget for writes; 0 or unset means none) and the locking switch (off only
// when BAS_, ZEL_ and RUD_DISABLE_FILE_LOCKING are all set). The bytes charged
// against the budget saturate at 2^64 - 1, which exceeds every budget for good.
#pragma once

#include <NUVBas/NUVBasShared.h>
#include <NUVBas/NUVString.h>
#include <NUVZub/NUVZubUttMutex.h>
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/Handle.h>

#include <cstdint>

namespace NUVZubPlatform {
struct PinnedName;
}

class NUVZUB_API NUVZubUttOSFile {
public:
    NUVZubUttOSFile();
    /// Closes an open file, ignoring any close error.
    ~NUVZubUttOSFile();
    NUVZubUttOSFile(const NUVZubUttOSFile&) = delete;
    NUVZubUttOSFile& operator=(const NUVZubUttOSFile&) = delete;

    /// An existing file, read only.
    void OpenRead(const NUVString& path);
    /// An existing file, read and write.
    void OpenUpdate(const NUVString& path);
    /// Created, or emptied when it exists; read and write.
    void OpenWrite(const NUVString& path);
    /// Opened or created; every write lands at the end.
    void OpenAppend(const NUVString& path);
    /// A new file named base + "." + number + extension (extension with its
    /// dot), numbered after the highest present. Never overwrites: the create
    /// is exclusive. A temporary file (owner-only access) keeps its name, which
    /// others may open, until Close or the destructor deletes it.
    void CreateGenerated(const NUVString& base, const NUVString& extension, bool temporary);
    /// A temporary file "ZubTemp.N.tmp" in `directory`, or when that is empty in
    /// the first usable of $TMPDIR, $TEMP, $TMP, \temp and ".".
    void CreateTemporary(const NUVString& directory);
    void Close();

    bool IsOpen() const { return m_handle != NUVZubPlatform::kNoHandle; }
    /// Only remembers the offset (transfers are positioned); offsets from 2^63
    /// on are refused at once.
    void Seek(const std::uint64_t& offset);
    void Flush();
    /// Sets the length; the position becomes `length`.
    void Truncate(const std::uint64_t& length);
    /// Up to `size` bytes at the position; fewer only at end of file.
    std::uint64_t Read(void* buffer, std::uint64_t size);
    void WriteAll(const void* data, std::uint64_t size);
    /// Seek and transfer under the object's mutex.
    std::uint64_t ReadAtomic(std::uint64_t offset, void* buffer, std::uint64_t size);
    void WriteAtomic(std::uint64_t offset, const void* data, std::uint64_t size);
    std::uint64_t FileSize() const;
    /// Exclusive advisory lock between processes; waits until granted (the
    /// wait is a cancellation point), and returns at once when this object
    /// holds it already (one Unlock releases it). False, without locking, when
    /// locking is switched off: then do not Unlock.
    bool Lock();
    /// Releases the lock that Lock took; fails when none is held.
    void Unlock();
    NUVZubUttMutex& Mutex() { return m_mutex; }

    /// The path of the last open, as handed to the operating system.
    const NUVString& Name() const { return m_name; }
    std::uint64_t Position() const { return m_position; }

private:
    void Open(const NUVString& path, int mode);
    void ReleaseHandle();
    int CloseHandle();
    inline void SeekTo(std::uint64_t offset);
    inline std::uint64_t ReadHere(void* buffer, std::uint64_t size);
    inline void WriteHere(const void* data, std::uint64_t size);

    NUVString m_name;
    NUVZubPlatform::Handle m_handle = NUVZubPlatform::kNoHandle;
    char m_readOnly = 1;
    bool m_append = false; ///< opened by OpenAppend: every write goes to the end
    bool m_stream = false; ///< a pipe, socket or device: transfers are sequential
    /// A temporary's name, deleted when the file is closed; null otherwise.
    NUVZubPlatform::PinnedName* m_temporary = nullptr;
    bool m_locked = false; ///< Lock succeeded and Unlock has not yet run
    std::uint64_t m_position = 0;
    NUVZubUttMutex m_mutex;
    NUVBasSharedPtr<NUVBasUtlIOFileStats> m_stats;
};

/// Test support: the bytes charged against the storage limit so far.
NUVZUB_API std::uint64_t NUVZubUttOSFile_StorageCounter();
