// File and directory services over POSIX. Every system call goes through the
// table of SystemCalls.h so that tests can make any of them fail.
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/SystemCalls.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace NUVZubPlatform {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealClose(int fd) { return ::close(fd); }
ssize_t RealPread(int fd, void* buffer, size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
}
ssize_t RealPwrite(int fd, const void* data, size_t size, off_t offset) {
    return ::pwrite(fd, data, size, offset);
}
int RealFsync(int fd) { return ::fsync(fd); }
int RealFtruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int RealFstat(int fd, struct stat* info) { return ::fstat(fd, info); }
int RealStat(const char* path, struct stat* info) { return ::stat(path, info); }
int RealFlock(int fd, int operation) { return ::flock(fd, operation); }
int RealFadvise(int fd, off_t offset, off_t length, int advice) {
    return ::posix_fadvise(fd, offset, length, advice);
}
int RealRename(const char* from, const char* to) { return ::rename(from, to); }
int RealLink(const char* existing, const char* link) { return ::link(existing, link); }
int RealUnlink(const char* path) { return ::unlink(path); }
int RealMkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int RealRmdir(const char* path) { return ::rmdir(path); }
DIR* RealOpendir(const char* path) { return ::opendir(path); }
struct dirent* RealReaddir(DIR* directory) {
    return ::readdir(directory);
}
int RealClosedir(DIR* directory) { return ::closedir(directory); }
char* RealGetcwd(char* buffer, size_t size) { return ::getcwd(buffer, size); }

constexpr SystemCalls kRealCalls = {
    RealOpen,  RealClose,   RealPread,   RealPwrite,   RealFsync,  RealFtruncate, RealFstat,
    RealStat,  RealFlock,   RealFadvise, RealRename,   RealLink,   RealUnlink,    RealMkdir,
    RealRmdir, RealOpendir, RealReaddir, RealClosedir, RealGetcwd,
};

SystemCalls g_calls = kRealCalls;

// Largest count handed to one read or write call: Linux moves at most
// 0x7ffff000 bytes per call anyway.
constexpr std::uint64_t kMaxTransfer = 0x7ffff000;

} // namespace

SystemCalls GetSystemCalls() { return g_calls; }
void SetSystemCalls(const SystemCalls& calls) { g_calls = calls; }
void ResetSystemCalls() { g_calls = kRealCalls; }

int OpenFile(const char* path, OpenMode mode, Handle& handle) {
    int flags = O_CLOEXEC;
    mode_t permissions = 0666;
    bool randomAccess = true;
    switch (mode) {
    case OpenMode::Read:
        flags |= O_RDONLY;
        break;
    case OpenMode::Update:
        flags |= O_RDWR;
        break;
    case OpenMode::Write:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case OpenMode::Append:
        flags |= O_WRONLY | O_CREAT | O_APPEND;
        randomAccess = false;
        break;
    case OpenMode::CreateNew:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    case OpenMode::Temporary:
        flags |= O_RDWR | O_CREAT | O_EXCL;
        permissions = 0600;
        break;
    }
    int fd;
    do {
        fd = g_calls.open(path, flags, permissions);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        handle = kNoHandle;
        return errno;
    }
    // A directory opens for reading on POSIX; a file is expected here.
    {
        struct stat info;
        if (g_calls.fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            g_calls.close(fd);
            handle = kNoHandle;
            return EISDIR;
        }
    }
    if (mode == OpenMode::Temporary) {
        // The open descriptor keeps the data; without a name nothing outlives
        // the process, not even after SIGKILL.
        if (g_calls.unlink(path) != 0) {
            const int error = errno;
            g_calls.close(fd);
            return error;
        }
    }
    if (randomAccess) g_calls.posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM); // only a hint
    handle = fd;
    return 0;
}

int CloseFile(Handle handle) {
    if (handle == kNoHandle) return 0;
    // POSIX leaves the descriptor closed even when close reports EINTR.
    if (g_calls.close(handle) != 0 && errno != EINTR) return errno;
    return 0;
}

int ReadAt(Handle handle, void* buffer, std::uint64_t size, std::uint64_t offset,
           std::uint64_t& done) {
    done = 0;
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return EINVAL;
    const size_t count = static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
    ssize_t n;
    do {
        n = g_calls.pread(handle, buffer, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    done = static_cast<std::uint64_t>(n);
    return 0;
}

int WriteAt(Handle handle, const void* data, std::uint64_t size, std::uint64_t offset,
            std::uint64_t& done) {
    done = 0;
    if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return EFBIG;
    const size_t count = static_cast<size_t>(size < kMaxTransfer ? size : kMaxTransfer);
    ssize_t n;
    do {
        n = g_calls.pwrite(handle, data, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    done = static_cast<std::uint64_t>(n);
    return 0;
}

int SyncFile(Handle handle) {
    int result;
    do {
        result = g_calls.fsync(handle);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int SetFileLength(Handle handle, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(LLONG_MAX)) return EFBIG;
    int result;
    do {
        result = g_calls.ftruncate(handle, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int GetFileLength(Handle handle, std::uint64_t& length) {
    struct stat info;
    if (g_calls.fstat(handle, &info) != 0) return errno;
    length = static_cast<std::uint64_t>(info.st_size);
    return 0;
}

int LockFile(Handle handle) {
    int result;
    do {
        result = g_calls.flock(handle, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int UnlockFile(Handle handle) { return g_calls.flock(handle, LOCK_UN) == 0 ? 0 : errno; }

int GetAttributes(const char* path, FileAttributes& attributes) {
    struct stat info;
    if (g_calls.stat(path, &info) != 0) return errno;
    attributes.isDirectory = S_ISDIR(info.st_mode);
    // By mode bits, not by access(2): root may write anything, yet a file
    // without any write bit is meant to be read-only.
    attributes.readOnly =
        !attributes.isDirectory && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return 0;
}

int GetIdentity(const char* path, FileIdentity& identity, int& failedStep) {
    failedStep = 0;
    const int fd = g_calls.open(path, O_PATH | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    struct stat info;
    int error = 0;
    if (g_calls.fstat(fd, &info) != 0) {
        error = errno;
        failedStep = 1;
    } else {
        identity.device = static_cast<std::uint64_t>(info.st_dev);
        identity.index = static_cast<std::uint64_t>(info.st_ino);
    }
    g_calls.close(fd);
    return error;
}

int GetHandleIdentity(Handle handle, FileIdentity& identity) {
    struct stat info;
    if (g_calls.fstat(handle, &info) != 0) return errno;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    return 0;
}

int RenameFile(const char* from, const char* to) {
    return g_calls.rename(from, to) == 0 ? 0 : errno;
}
int MakeHardLink(const char* existing, const char* link) {
    return g_calls.link(existing, link) == 0 ? 0 : errno;
}
int RemoveFile(const char* path) { return g_calls.unlink(path) == 0 ? 0 : errno; }
int MakeDirectory(const char* path) { return g_calls.mkdir(path, 0777) == 0 ? 0 : errno; }
int RemoveDirectory(const char* path) { return g_calls.rmdir(path) == 0 ? 0 : errno; }

int FullPath(const char* path, std::string& result) {
    std::string text;
    if (path[0] != '/') {
        std::vector<char> buffer(4096);
        while (g_calls.getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE || buffer.size() > (1u << 20)) return errno;
            buffer.resize(buffer.size() * 2);
        }
        text = buffer.data();
        text += '/';
    }
    text += path;
    // Fold the components lexically.
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    result.clear();
    for (const std::string& part : parts) {
        result += '/';
        result += part;
    }
    if (result.empty()) result = "/";
    return 0;
}

// ---- directory search ----

struct DirectorySearch {
    DIR* directory = nullptr;
    std::string pattern; // the last component
};

namespace {

std::size_t CharLength(const char* text) {
    const unsigned char lead = static_cast<unsigned char>(*text);
    std::size_t length = lead < 0x80    ? 1
                         : lead >= 0xF0 ? 4
                         : lead >= 0xE0 ? 3
                         : lead >= 0xC0 ? 2
                                        : 1;
    for (std::size_t i = 1; i < length; ++i)
        if (text[i] == '\0') return i;
    return length;
}

// '*' and '?' wildcards; iterative, backtracking to the last star only, so a
// pattern costs at most length(pattern) * length(name) steps.
bool Matches(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?') {
            ++pattern;
            name += CharLength(name);
        } else if (*pattern != '\0' && *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            starName += CharLength(starName);
            name = starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

// Next matching name, kNoMoreMatches at the end, or an error code.
int NextMatch(DirectorySearch* search, const char*& name) {
    for (;;) {
        errno = 0;
        struct dirent* entry = g_calls.readdir(search->directory);
        if (entry == nullptr) return errno == 0 ? kNoMoreMatches : errno;
        if (Matches(search->pattern.c_str(), entry->d_name)) {
            name = entry->d_name;
            return 0;
        }
    }
}

} // namespace

int FindFirst(const char* pattern, DirectorySearch*& search, const char*& name) {
    search = nullptr;
    const char* slash = std::strrchr(pattern, '/');
    std::string directory;
    const char* last = pattern;
    if (slash == nullptr) {
        directory = ".";
    } else {
        directory.assign(pattern, slash == pattern ? 1 : static_cast<std::size_t>(slash - pattern));
        last = slash + 1;
    }
    DIR* handle = g_calls.opendir(directory.c_str());
    if (handle == nullptr) return errno;
    DirectorySearch* opened = new DirectorySearch{handle, last};
    const int result = NextMatch(opened, name);
    if (result != 0) {
        EndFind(opened);
        return result == kNoMoreMatches ? kNoMatch : result;
    }
    search = opened;
    return 0;
}

int FindNext(DirectorySearch* search, const char*& name) { return NextMatch(search, name); }

void EndFind(DirectorySearch* search) {
    if (search == nullptr) return;
    g_calls.closedir(search->directory);
    delete search;
}

bool IsNotFound(int error) { return error == ENOENT; }
bool IsAlreadyExists(int error) { return error == EEXIST; }
bool IsDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }

} // namespace NUVZubPlatform
