// Open-file services over the Windows kernel. Every system call goes through
// the table of SystemCallsWin32.h so that tests can make any of them fail.
#include "Calls.h"
#include "Open.h"
#include "Wide.h"

#include <NUVZubPlatform/File.h>

#include <cstdint>
#include <vector>

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
    // kAtEnd makes both halves all ones: the end of the file as it stands then.
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

// What a mode asks of CreateFileW.
struct Request {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS;
    bool emptied = false;   ///< opened or created, then cut to length 0
    bool ownerOnly = false; ///< created with access for its owner alone
};

Request RequestFor(OpenMode mode) {
    Request r;
    switch (mode) {
    case OpenMode::Read:
        r.access = GENERIC_READ;
        r.share |= FILE_SHARE_WRITE; // others may still write a file read here
        break;
    case OpenMode::Update:
        break;
    case OpenMode::Write:
        // Not CREATE_ALWAYS: that fails with "access denied" on a hidden or
        // system file unless the same attributes are asked for again.
        r.disposition = OPEN_ALWAYS;
        r.emptied = true;
        break;
    case OpenMode::Append:
        // Write access, which Lock and SetFileLength need (append access alone
        // gives neither); the writes go to kAtEnd, which the system puts at the end.
        r.access = GENERIC_WRITE;
        r.disposition = OPEN_ALWAYS;
        r.flags = FILE_ATTRIBUTE_NORMAL;
        break;
    case OpenMode::CreateNew:
        r.disposition = CREATE_NEW;
        break;
    case OpenMode::Temporary:
        // The name stays until the last handle closes; the system removes the
        // file then, also when the process is ended by force.
        r.disposition = CREATE_NEW;
        r.flags |= FILE_FLAG_DELETE_ON_CLOSE | FILE_ATTRIBUTE_TEMPORARY;
        r.ownerOnly = true;
        break;
    }
    return r;
}

// A security descriptor granting every right to the calling user alone, with
// nothing inherited from the folder: POSIX's mode 0600.
class OwnerOnly {
public:
    int Build() {
        HANDLE token = nullptr;
        // The thread's identity when it impersonates: files are created as that.
        if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
            if (GetLastError() != ERROR_NO_TOKEN) return LastError();
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return LastError();
        }
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        m_user.resize(size);
        const bool known =
            size != 0 && GetTokenInformation(token, TokenUser, m_user.data(), size, &size);
        const int error = known ? 0 : LastError();
        ::CloseHandle(token);
        if (!known) return error;
        const PSID user = reinterpret_cast<TOKEN_USER*>(m_user.data())->User.Sid;
        const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
        m_acl.resize((aclSize + sizeof(DWORD) - 1) / sizeof(DWORD));
        ACL* acl = reinterpret_cast<ACL*>(m_acl.data());
        if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
            !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
            !InitializeSecurityDescriptor(&m_descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !SetSecurityDescriptorDacl(&m_descriptor, TRUE, acl, FALSE) ||
            !SetSecurityDescriptorControl(&m_descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
            return LastError();
        return 0;
    }
    SECURITY_DESCRIPTOR* Get() { return &m_descriptor; }

private:
    std::vector<unsigned char> m_user; // TOKEN_USER and its SID
    std::vector<DWORD> m_acl;          // aligned as an ACL must be
    SECURITY_DESCRIPTOR m_descriptor = {};
};

// The rest of an open whose file existed: a disk file is emptied for Write
// (a device or pipe has nothing to cut). Closes the handle on failure.
int Finish(const Request& request, bool existed, HANDLE opened, Handle& handle) {
    if (request.emptied && existed && IsDisk(opened) && !g_win32.SetEndOfFile(opened)) {
        const int error = LastError();
        g_win32.CloseHandle(opened);
        return error;
    }
    handle = opened;
    return 0;
}

} // namespace

int OpenFile(const char* path, OpenMode mode, Handle& handle) {
    handle = kNoHandle;
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    const Request request = RequestFor(mode);
    OwnerOnly owner;
    SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
    if (request.ownerOnly) {
        if (const int error = owner.Build()) return error;
        security.lpSecurityDescriptor = owner.Get();
    }
    const HANDLE opened = g_win32.CreateFileW(wide.c_str(), request.access, request.share,
                                              request.ownerOnly ? &security : nullptr,
                                              request.disposition, request.flags, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return LastError();
    return Finish(request, GetLastError() == ERROR_ALREADY_EXISTS, opened, handle);
}

int OpenIn(HANDLE directory, const std::wstring& name, OpenMode mode, Handle& handle) {
    handle = kNoHandle;
    const Request request = RequestFor(mode);
    OwnerOnly owner;
    if (request.ownerOnly)
        if (const int error = owner.Build()) return error;
    if (name.size() > 0x7FFF / sizeof(wchar_t)) return ERROR_FILENAME_EXCED_RANGE;
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory,
                               request.ownerOnly ? owner.Get() : nullptr);
    // CreateFileW's flags in the native call's terms.
    const ULONG disposition = request.disposition == CREATE_NEW    ? FILE_CREATE
                              : request.disposition == OPEN_ALWAYS ? FILE_OPEN_IF
                                                                   : FILE_OPEN;
    ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    ACCESS_MASK access = request.access | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    if (request.flags & FILE_FLAG_RANDOM_ACCESS) options |= FILE_RANDOM_ACCESS;
    if (request.flags & FILE_FLAG_DELETE_ON_CLOSE) {
        options |= FILE_DELETE_ON_CLOSE;
        access |= DELETE;
    }
    const ULONG fileAttributes = request.flags & (FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_TEMPORARY);
    HANDLE opened = nullptr;
    IO_STATUS_BLOCK status = {};
    const NTSTATUS result =
        g_win32.NtCreateFile(&opened, access, &attributes, &status, nullptr, fileAttributes,
                             request.share, disposition, options, nullptr, 0);
    if (result < 0) return static_cast<int>(RtlNtStatusToDosError(result));
    return Finish(request, status.Information == FILE_OPENED, opened, handle);
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
    if (offset != kAtEnd)
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
    length = 0;
    // Only a disk file has stored bytes: on a pipe the call may succeed with
    // the count of bytes queued.
    if (!IsDisk(handle)) return 0;
    LARGE_INTEGER size;
    if (!g_win32.GetFileSizeEx(handle, &size)) return LastError();
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
