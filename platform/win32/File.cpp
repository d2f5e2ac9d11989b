// Open-file services over the Windows kernel. Every system call goes through
// the table of SystemCallsWin32.h so that tests can make any of them fail.
#include "Calls.h"
#include "Wide.h"

#include <NUVZubPlatform/File.h>

#include <cstdint>

namespace NUVZubPlatform {

namespace {

// Largest count of one ReadFile or WriteFile call.
constexpr std::uint64_t kMaxTransfer = 0xFFFFFFFF;
// Offsets are signed 64-bit numbers for the kernel.
constexpr std::uint64_t kMaxOffset = 0x7FFFFFFFFFFFFFFF;

// The lock's byte: one byte just below the largest offset, where no data ever
// lies. A zero-length range would lock nothing on Windows; a byte of real data
// would make every other handle's reads and writes of it fail, since Windows'
// byte-range locks are mandatory.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFE;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// ERROR_DISK_QUOTA_EXCEEDED, which mingw-w64's headers lack.
constexpr int kDiskQuotaExceeded = 1295;

int LastError() { return static_cast<int>(GetLastError()); }

DWORD Count(std::uint64_t size) {
    return static_cast<DWORD>(size < kMaxTransfer ? size : kMaxTransfer);
}

bool IsDisk(Handle handle) { return g_win32.GetFileType(handle) == FILE_TYPE_DISK; }

OVERLAPPED At(std::uint64_t offset) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

} // namespace

int OpenFile(const char* path, OpenMode mode, Handle& handle) {
    handle = kNoHandle;
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS;
    switch (mode) {
    case OpenMode::Read:
        access = GENERIC_READ;
        share |= FILE_SHARE_WRITE; // others may still write a file read here
        break;
    case OpenMode::Update:
        break;
    case OpenMode::Write:
        disposition = CREATE_ALWAYS;
        break;
    case OpenMode::Append:
        // Append access alone: the system puts every write at the end.
        access = FILE_APPEND_DATA;
        disposition = OPEN_ALWAYS;
        flags = FILE_ATTRIBUTE_NORMAL;
        break;
    case OpenMode::CreateNew:
        disposition = CREATE_NEW;
        break;
    case OpenMode::Temporary:
        // The name stays until the last handle closes; the system removes the
        // file then, also when the process is ended by force.
        disposition = CREATE_NEW;
        flags |= FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY;
        break;
    }
    const HANDLE opened =
        g_win32.CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return LastError();
    handle = opened;
    return 0;
}

int CloseFile(Handle handle) {
    if (handle == kNoHandle) return 0;
    return g_win32.CloseHandle(handle) ? 0 : LastError();
}

int ReadAt(Handle handle, void* buffer, std::uint64_t size, std::uint64_t offset,
           std::uint64_t& done) {
    done = 0;
    if (const int error = CheckOffset(offset)) return error;
    // A synchronous handle reads at the offset of the overlapped record.
    OVERLAPPED at = At(offset);
    DWORD got = 0;
    if (!g_win32.ReadFile(handle, buffer, Count(size), &got, &at)) {
        const int error = LastError();
        return error == ERROR_HANDLE_EOF ? 0 : error; // at or past the end
    }
    done = got;
    return 0;
}

int WriteAt(Handle handle, const void* data, std::uint64_t size, std::uint64_t offset,
            std::uint64_t& done) {
    done = 0;
    if (const int error = CheckOffset(offset)) return error;
    OVERLAPPED at = At(offset);
    DWORD put = 0;
    if (!g_win32.WriteFile(handle, data, Count(size), &put, &at)) return LastError();
    done = put;
    return 0;
}

bool IsStream(Handle handle) {
    const DWORD type = g_win32.GetFileType(handle);
    return type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR;
}

int ReadNext(Handle handle, void* buffer, std::uint64_t size, std::uint64_t& done) {
    done = 0;
    DWORD got = 0;
    if (!g_win32.ReadFile(handle, buffer, Count(size), &got, nullptr)) {
        const int error = LastError();
        return error == ERROR_BROKEN_PIPE ? 0 : error; // the writer has gone: the end
    }
    done = got;
    return 0;
}

int WriteNext(Handle handle, const void* data, std::uint64_t size, std::uint64_t& done) {
    done = 0;
    DWORD put = 0;
    if (!g_win32.WriteFile(handle, data, Count(size), &put, nullptr)) return LastError();
    done = put;
    return 0;
}

int CheckOffset(std::uint64_t offset) { return offset > kMaxOffset ? ERROR_NEGATIVE_SEEK : 0; }

int SyncFile(Handle handle) {
    // Flushing a pipe would wait for its reader; consoles and other devices
    // keep nothing to flush.
    if (!IsDisk(handle)) return 0;
    return g_win32.FlushFileBuffers(handle) ? 0 : LastError();
}

int SetFileLength(Handle handle, std::uint64_t length) {
    if (const int error = CheckOffset(length)) return error;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(length);
    if (!g_win32.SetFilePointerEx(handle, at, nullptr, FILE_BEGIN)) return LastError();
    return g_win32.SetEndOfFile(handle) ? 0 : LastError();
}

int GetFileLength(Handle handle, std::uint64_t& length) {
    LARGE_INTEGER size;
    if (!g_win32.GetFileSizeEx(handle, &size)) {
        const int error = LastError();
        if (IsDisk(handle)) return error;
        length = 0; // a pipe or device holds no stored bytes
        return 0;
    }
    length = static_cast<std::uint64_t>(size.QuadPart);
    return 0;
}

int LockFile(Handle handle) {
    OVERLAPPED at = {};
    at.Offset = kLockOffsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    // Without LOCKFILE_FAIL_IMMEDIATELY the call waits until the lock is granted.
    return g_win32.LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) ? 0 : LastError();
}

int UnlockFile(Handle handle) {
    return g_win32.UnlockFile(handle, kLockOffsetLow, kLockOffsetHigh, 1, 0) ? 0 : LastError();
}

int NotLockedError() { return ERROR_NOT_LOCKED; }

bool IsNotFound(int error) { return error == ERROR_FILE_NOT_FOUND; }
// The system names the culprit itself: a missing directory on the way, or a
// file where a directory should be, is "path not found".
bool IsPathNotFound(int error, const char*) { return error == ERROR_PATH_NOT_FOUND; }
bool IsAlreadyExists(int error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}
bool IsDiskFull(int error) {
    return error == ERROR_HANDLE_DISK_FULL || error == ERROR_DISK_FULL ||
           error == kDiskQuotaExceeded;
}

} // namespace NUVZubPlatform
