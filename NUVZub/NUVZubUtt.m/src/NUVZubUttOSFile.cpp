#include <NUVZub/NUVZubUttOSFile.h>

#include <NUVBas/NUVBasException.h>
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFilePathParser.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZubBadNUVString.h>
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/Process.h>
#include <NUVZubPlatform/Thread.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

constexpr const char* kSourceFile = "NUVZub/NUVZubUtt.m/src/NUVZubUttOSFile";

#define NUVZUB_THROW(exception) (exception).Throw(kSourceFile, __LINE__)
#define NUVZUB_THROW_SYSTEM(service, error)                                                        \
    NUVZubExcSystemError(service, NUVBasSystemError(error)).Throw(kSourceFile, __LINE__)

// Process-wide policies, fixed by the first constructor.
std::once_flag g_settingsOnce;
std::uint64_t g_storageLimit = 0;
bool g_lockingDisabled = false;
std::atomic<std::uint64_t> g_storageCounter{0};

void ReadSettings() {
    // From the process's environment, like the other switches: on Windows the
    // C runtime's copy misses what a host built with another runtime set.
    NUVString text;
    if (NUVBasGetEnv("ZUB_STORAGE_LIMIT", text)) {
        unsigned long long limit = 0;
        if (std::sscanf(text.Str().c_str(), "%llu", &limit) == 1) {
            g_storageLimit = limit;
            char digits[24];
            std::snprintf(digits, sizeof digits, "%llu", limit);
            NUVZubUttAssert::ReportNotice({"=== ZUB Storage limit: ", digits, "\n"});
        }
    }
    g_lockingDisabled = NUVZubPlatform::IsEnvSet("BAS_DISABLE_FILE_LOCKING") &&
                        NUVZubPlatform::IsEnvSet("ZEL_DISABLE_FILE_LOCKING") &&
                        NUVZubPlatform::IsEnvSet("RUD_DISABLE_FILE_LOCKING");
}

// The counter's ceiling: more was charged than it can count, which exceeds
// every limit.
constexpr std::uint64_t kSaturated = UINT64_MAX;

// Adds `bytes` and tells whether the budget still holds. The addition stays
// even when it does not, and saturates rather than wrapping to a small count.
bool Charge(std::uint64_t bytes) {
    std::uint64_t counter = g_storageCounter.load();
    std::uint64_t raised;
    do {
        raised = bytes > kSaturated - counter ? kSaturated : counter + bytes;
    } while (!g_storageCounter.compare_exchange_weak(counter, raised));
    return raised != kSaturated && raised <= g_storageLimit;
}

// A change of length from `from` to `to`: growth is charged, a cut lowers the
// counter but never below 0. Bytes that were never charged (appended to an
// unmetered file, or written by another process) would otherwise wrap the
// counter and refuse every later write. A saturated counter no longer knows
// how much was charged, so no cut lowers it.
bool ChargeResize(std::uint64_t from, std::uint64_t to) {
    if (to >= from) return Charge(to - from);
    const std::uint64_t cut = from - to;
    std::uint64_t counter = g_storageCounter.load();
    std::uint64_t lowered;
    do {
        if (counter == kSaturated) return false;
        lowered = counter > cut ? counter - cut : 0;
    } while (!g_storageCounter.compare_exchange_weak(counter, lowered));
    return lowered <= g_storageLimit;
}

// Creates the generated file `name`. A temporary's directory stays open, so
// that its name is removed from there at close, wherever the path leads by then.
int CreateNamed(const char* name, bool temporary, NUVZubPlatform::PinnedName*& pinned,
                NUVZubPlatform::Handle& handle) {
    if (!temporary)
        return NUVZubPlatform::OpenFile(name, NUVZubPlatform::OpenMode::CreateNew, handle);
    if (const int error = NUVZubPlatform::PinName(name, pinned)) return error;
    const int error =
        NUVZubPlatform::OpenPinned(pinned, NUVZubPlatform::OpenMode::Temporary, handle);
    if (error != 0) {
        NUVZubPlatform::UnpinName(pinned);
        pinned = nullptr;
    }
    return error;
}

// A plain function-local static would put a C++ initialisation guard on every
// open: a child forked during another thread's first open would wait on it.
NUVBasUtlIOStats& Stats() { return omi_Singleton<NUVBasUtlIOStats>::Instance(); }

// The file itself is missing; a missing directory on the way is a failure of
// the open call instead, as where the system reports "path not found".
bool IsMissingFile(int error, const NUVString& name) {
    return NUVZubPlatform::IsNotFound(error) &&
           !NUVZubPlatform::IsPathNotFound(error, name.CastToCharPtr());
}

enum OpenKind { kRead, kUpdate, kWrite, kAppend };

} // namespace

std::uint64_t NUVZubUttOSFile_StorageCounter() { return g_storageCounter.load(); }

NUVZubUttOSFile::NUVZubUttOSFile() { std::call_once(g_settingsOnce, ReadSettings); }

NUVZubUttOSFile::~NUVZubUttOSFile() { ReleaseHandle(); }

// Closes an open file and returns the close's error. POSIX releases the
// descriptor even when close fails: keeping it would close a reused one later.
int NUVZubUttOSFile::CloseHandle() {
    // Runs in the destructor, and must end with the handle released either way.
    const NUVZubPlatform::CancellationDeferred deferred;
    // A temporary's name goes first, while the file still holds its data, from
    // the directory it was created in (its path, relative or through links,
    // may lead elsewhere by now) and only while it still names this file.
    // Where the system deletes such files at close, nothing is left to remove.
    if (m_temporary != nullptr) {
        NUVZubPlatform::RemovePinned(m_temporary, m_handle);
        NUVZubPlatform::UnpinName(m_temporary);
        m_temporary = nullptr;
    }
    Stats().usefile_Close(m_stats);
    const int error = NUVZubPlatform::CloseFile(m_handle);
    m_handle = NUVZubPlatform::kNoHandle;
    m_locked = false;
    return error;
}

// An object opened again without Close would leak its descriptor.
void NUVZubUttOSFile::ReleaseHandle() {
    if (IsOpen()) CloseHandle();
}

void NUVZubUttOSFile::Open(const NUVString& path, int kind) {
    NUVZubBadNUVString::Check(path);
    ReleaseHandle();
    m_name = NUVZubUttFilePathParser::FixPathForOS(path);
    m_readOnly = kind == kRead;
    m_append = kind == kAppend;
    m_position = 0;
    static const NUVZubPlatform::OpenMode modes[] = {
        NUVZubPlatform::OpenMode::Read, NUVZubPlatform::OpenMode::Update,
        NUVZubPlatform::OpenMode::Write, NUVZubPlatform::OpenMode::Append};
    const int error = NUVZubPlatform::OpenFile(m_name.CastToCharPtr(), modes[kind], m_handle);
    if (error != 0) {
        m_handle = NUVZubPlatform::kNoHandle;
        if (kind != kAppend && IsMissingFile(error, m_name)) {
            if (kind == kRead) {
                NUVZubUttAssert::ReportNotice(
                    {"!!! Throwing NUVZubExcNoSuchFile:\n!!!  ", m_name.CastToCharPtr(), "\n"});
            }
            NUVZUB_THROW(NUVZubExcNoSuchFile(m_name));
        }
        NUVZUB_THROW_SYSTEM("CreateFile", error);
    }
    m_stream = NUVZubPlatform::IsStream(m_handle);
    m_stats = Stats().usefile_Open(m_name);
    if ((kind == kRead || kind == kUpdate) && g_storageLimit != 0) Charge(FileSize());
}

void NUVZubUttOSFile::OpenRead(const NUVString& path) { Open(path, kRead); }
void NUVZubUttOSFile::OpenUpdate(const NUVString& path) { Open(path, kUpdate); }
void NUVZubUttOSFile::OpenWrite(const NUVString& path) { Open(path, kWrite); }
void NUVZubUttOSFile::OpenAppend(const NUVString& path) { Open(path, kAppend); }

void NUVZubUttOSFile::CreateGenerated(const NUVString& base, const NUVString& extension,
                                      bool temporary) {
    NUVZubBadNUVString::Check(base);
    NUVZubBadNUVString::Check(extension);
    ReleaseHandle();
    const NUVString fixedBase = NUVZubUttFilePathParser::FixPathForOS(base);
    m_readOnly = 0;
    m_append = false;
    m_position = 0;
    unsigned int highest = 0;
    NUVString pattern = fixedBase;
    pattern.Append(".*").Append(extension);
    const bool oneDot =
        extension.ByteLength() > 0 && NUVZubUttFilePathParser::Extension(extension) == extension;
    for (NUVZubUttFileUtils::GlobRange range(pattern); !range.Empty(); range.Next()) {
        const NUVString fileName = range.Front();
        // Windows matches ignoring case: "data.3.DAT" is not one of ours. Any
        // other difference means a second dot in `extension`, the caller's error.
        if (oneDot && NUVZubUttFilePathParser::Extension(fileName) != extension) continue;
        NUVZUB_ASSERT(NUVZubUttFilePathParser::Extension(fileName) == extension);
        const NUVString rest = NUVZubUttFilePathParser::BasePath(fileName);
        if (!NUVZubUttFilePathParser::HasExtension(rest)) continue;
        const NUVString digits = NUVZubUttFilePathParser::Extension(rest).SubString(1, 0x100000);
        // Leading decimal digits; a name whose number the counter cannot go past
        // (or that has no number) is not one of ours.
        const char* text = digits.CastToCharPtr();
        const unsigned long long parsed =
            (*text >= '0' && *text <= '9') ? std::strtoull(text, nullptr, 10) : 0;
        const unsigned int number = parsed >= UINT_MAX ? 0 : static_cast<unsigned int>(parsed);
        if (number > highest) highest = number;
    }
    for (;;) {
        ++highest;
        m_name = fixedBase;
        m_name.Append(".").Append(std::to_string(highest).c_str()).Append(extension);
        const int error = CreateNamed(m_name.CastToCharPtr(), temporary, m_temporary, m_handle);
        if (error == 0) break;
        m_handle = NUVZubPlatform::kNoHandle;
        // Taken since the glob, by us or by somebody else: never overwrite it.
        if (NUVZubPlatform::IsAlreadyExists(error)) continue;
        if (IsMissingFile(error, m_name)) NUVZUB_THROW(NUVZubExcNoSuchFile(m_name));
        NUVZUB_THROW_SYSTEM("CreateFile", error);
    }
    m_stream = false; // created here: a regular file
    m_stats = Stats().usefile_Open(m_name);
}

void NUVZubUttOSFile::CreateTemporary(const NUVString& directory) {
    NUVZubBadNUVString::Check(directory);
    NUVString chosen;
    if (directory.Length() > 0) {
        chosen = directory;
    } else {
        NUVString candidates[5];
        NUVBasGetEnv("TMPDIR", candidates[0]);
        NUVBasGetEnv("TEMP", candidates[1]);
        NUVBasGetEnv("TMP", candidates[2]);
        candidates[3] = "\\temp";
        candidates[4] = ".";
        for (const NUVString& candidate : candidates) {
            if (candidate.IsNull() || candidate.IsBAD()) continue;
            if (NUVZubUttFileUtils::FileExists(candidate) && NUVZubUttFileUtils::IsDir(candidate) &&
                NUVZubUttFileUtils::IsWriteable(candidate)) {
                chosen = candidate;
                break;
            }
        }
    }
    chosen.Append("/ZubTemp");
    CreateGenerated(chosen, ".tmp", true);
}

void NUVZubUttOSFile::Close() {
    if (!IsOpen()) return;
    const int error = CloseHandle();
    if (error != 0) {
        if (NUVZubPlatform::IsDiskFull(error)) NUVZUB_THROW(NUVZubExcDiskFull());
        NUVZUB_THROW(NUVZubExcFileCloseFailed(NUVBasSystemError(error)));
    }
}

// The transfers' bodies are inline members (hidden, unlike the exported ones)
// so that ReadAtomic and WriteAtomic run them without further calls: after a
// system call every return is costly on CPUs whose return predictions the
// kernel clears.
#if defined(__GNUC__)
#define NUVZUB_FLAT __attribute__((always_inline))
#else
#define NUVZUB_FLAT
#endif

NUVZUB_FLAT inline void NUVZubUttOSFile::SeekTo(std::uint64_t offset) {
    if (offset == m_position) return;
    // Refused here rather than as a transfer error later. Positions stop below
    // 2^63 everywhere, so only such offsets need the platform's verdict.
    if (offset >> 63 != 0) {
        const int error = NUVZubPlatform::CheckOffset(offset);
        if (error != 0) NUVZUB_THROW_SYSTEM("SetFilePointer", error);
    }
    m_position = offset;
}

void NUVZubUttOSFile::Seek(const std::uint64_t& offset) { SeekTo(offset); }

void NUVZubUttOSFile::Flush() {
    if (m_readOnly) return;
    const int error = NUVZubPlatform::SyncFile(m_handle);
    if (error == 0) return;
    if (NUVZubPlatform::IsDiskFull(error)) NUVZUB_THROW(NUVZubExcDiskFull());
    NUVZUB_THROW_SYSTEM("FlushFileBuffers", error);
}

void NUVZubUttOSFile::Truncate(const std::uint64_t& length) {
    const std::uint64_t target = length; // length may alias the position
    // The position is checked before the budget is charged for it.
    const int offsetError = NUVZubPlatform::CheckOffset(target);
    if (offsetError != 0) NUVZUB_THROW_SYSTEM("SetFilePointer", offsetError);
    if (g_storageLimit != 0 && !ChargeResize(FileSize(), target)) NUVZUB_THROW(NUVZubExcDiskFull());
    const int error = NUVZubPlatform::SetFileLength(m_handle, target);
    if (error != 0) {
        if (NUVZubPlatform::IsDiskFull(error)) NUVZUB_THROW(NUVZubExcDiskFull());
        NUVZUB_THROW_SYSTEM("SetEndOfFile", error);
    }
    m_position = target;
}

NUVZUB_FLAT inline std::uint64_t NUVZubUttOSFile::ReadHere(void* buffer, std::uint64_t size) {
    NUVBasUtlIOStats& stats = Stats();
    char* out = static_cast<char*>(buffer);
    std::uint64_t total = 0;
    while (size > 0) {
        stats.StartTimer(NUVBasUtlIOStats::Read);
        std::uint64_t done = 0;
        const int error = m_stream ? NUVZubPlatform::ReadNext(m_handle, out, size, done)
                                   : NUVZubPlatform::ReadAt(m_handle, out, size, m_position, done);
        if (error != 0) NUVZUB_THROW(NUVZubExcReadError(NUVBasSystemError(error)));
        stats.StopTimer(done, NUVBasUtlIOStats::Read, m_stats);
        if (done == 0) break;
        size -= done;
        total += done;
        out += done;
        m_position += done;
    }
    return total;
}

NUVZUB_FLAT inline void NUVZubUttOSFile::WriteHere(const void* data, std::uint64_t size) {
    if (m_readOnly) NUVZUB_THROW(NUVZubExcReadOnly());
    if (g_storageLimit != 0 && !Charge(size)) NUVZUB_THROW(NUVZubExcDiskFull());
    NUVBasUtlIOStats& stats = Stats();
    const char* in = static_cast<const char*>(data);
    while (size > 0) {
        stats.StartTimer(NUVBasUtlIOStats::Write);
        std::uint64_t done = 0;
        const int error =
            m_stream
                ? NUVZubPlatform::WriteNext(m_handle, in, size, done)
                : NUVZubPlatform::WriteAt(m_handle, in, size,
                                          m_append ? NUVZubPlatform::kAtEnd : m_position, done);
        if (error != 0) {
            if (NUVZubPlatform::IsDiskFull(error)) NUVZUB_THROW(NUVZubExcDiskFull());
            NUVZUB_THROW(NUVZubExcWriteError(NUVBasSystemError(error)));
        }
        stats.StopTimer(done, NUVBasUtlIOStats::Write, m_stats);
        if (done == 0) NUVZUB_THROW(NUVZubExcShortWrite());
        in += done;
        size -= done;
        m_position += done;
    }
}

std::uint64_t NUVZubUttOSFile::Read(void* buffer, std::uint64_t size) {
    return ReadHere(buffer, size);
}

void NUVZubUttOSFile::WriteAll(const void* data, std::uint64_t size) { WriteHere(data, size); }

namespace {

// The object's mutex held for one transfer: NUVZubDod_TidyLock's work without
// its two extra calls on the way in and three on the way out.
class TransferLock {
public:
    explicit TransferLock(NUVZubUttMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~TransferLock() { m_mutex.Unlock(); }
    TransferLock(const TransferLock&) = delete;
    TransferLock& operator=(const TransferLock&) = delete;

private:
    NUVZubUttMutex& m_mutex;
};

} // namespace

std::uint64_t NUVZubUttOSFile::ReadAtomic(std::uint64_t offset, void* buffer, std::uint64_t size) {
    TransferLock lock(m_mutex);
    SeekTo(offset);
    return ReadHere(buffer, size);
}

void NUVZubUttOSFile::WriteAtomic(std::uint64_t offset, const void* data, std::uint64_t size) {
    TransferLock lock(m_mutex);
    SeekTo(offset);
    WriteHere(data, size);
}

std::uint64_t NUVZubUttOSFile::FileSize() const {
    std::uint64_t length = 0;
    const int error = NUVZubPlatform::GetFileLength(m_handle, length);
    if (error != 0) NUVZUB_THROW_SYSTEM("GetFileSize", error);
    return length;
}

bool NUVZubUttOSFile::Lock() {
    if (g_lockingDisabled) return false;
    if (!IsOpen()) NUVZUB_THROW(NUVZubExcFileNotOpen());
    // Held already: Windows would wait for the lock this object itself holds.
    if (m_locked) return true;
    const int error = NUVZubPlatform::LockFile(m_handle);
    if (error != 0) NUVZUB_THROW_SYSTEM("LockFileEx", error);
    m_locked = true;
    return true;
}

void NUVZubUttOSFile::Unlock() {
    if (!IsOpen()) NUVZUB_THROW(NUVZubExcFileNotOpen());
    // flock releases a lock that is not held without complaint.
    if (!m_locked) NUVZUB_THROW_SYSTEM("UnlockFile", NUVZubPlatform::NotLockedError());
    const int error = NUVZubPlatform::UnlockFile(m_handle);
    if (error != 0) NUVZUB_THROW_SYSTEM("UnlockFile", error);
    m_locked = false;
}

// ---- copies ----

namespace {

constexpr int kCopyBlock = 0x40000;

void CopyInto(NUVZubUttOSFile& from, NUVZubUttOSFile& to) {
    BufferHolder buffer(kCopyBlock);
    for (;;) {
        const std::uint64_t got = from.Read(buffer.Get(), kCopyBlock);
        if (got == 0) break;
        to.WriteAll(buffer.Get(), got);
    }
}

// Copying a file onto itself would empty it before reading, or never end.
void RefuseSameFile(const NUVString& from, const NUVString& to) {
    if (NUVZubUttFileUtils::FileExists(to) && NUVZubUttFileUtils::SameFile(from, to))
        NUVZUB_THROW(NUVZubExcSameSourceDestFiles());
}

} // namespace

void NUVZubUttFileUtils::Copy(const NUVString& from, const NUVString& to) {
    NUVZubBadNUVString::Check(from);
    NUVZubBadNUVString::Check(to);
    NUVZubUttOSFile source;
    source.OpenRead(from);
    RefuseSameFile(from, to);
    NUVZubUttOSFile destination;
    destination.OpenWrite(to);
    CopyInto(source, destination);
    // Write-back errors (NFS, quotas) may surface only here; a copy that lost
    // them must not look complete. The source's close error is harmless.
    destination.Close();
}

void NUVZubUttFileUtils::Copy(const NUVString& from, NUVZubUttOSFile& to) {
    NUVZubBadNUVString::Check(from);
    NUVZubUttOSFile source;
    source.OpenRead(from);
    if (to.IsOpen()) RefuseSameFile(from, to.Name());
    CopyInto(source, to);
}
