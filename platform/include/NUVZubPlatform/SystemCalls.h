// The table through which the platform layer makes its file-system calls.
// Tests replace entries to make a call fail with a chosen error; the library
// itself never changes it. Only the platform layer and tests include this.
#pragma once

#include <NUVZubPlatform/Export.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace NUVZubPlatform {

struct SystemCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*pread)(int fd, void* buffer, size_t size, off_t offset);
    /// With O_APPEND, Linux writes at the end whatever the offset.
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    int (*fsync)(int fd);
    int (*ftruncate)(int fd, off_t length);
    int (*fstat)(int fd, struct stat* info);
    int (*stat)(const char* path, struct stat* info);
    int (*flock)(int fd, int operation);
    int (*posix_fadvise)(int fd, off_t offset, off_t length, int advice);
    int (*rename)(const char* from, const char* to);
    int (*link)(const char* existing, const char* link);
    int (*unlink)(const char* path);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    DIR* (*opendir)(const char* path);
    struct dirent* (*readdir)(DIR* directory);
    int (*closedir)(DIR* directory);
    char* (*getcwd)(char* buffer, size_t size);
    /// Sequential transfers of streams.
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* data, size_t size);
    /// fcntl with an integer argument.
    int (*fcntl)(int fd, int command, int argument);
    int (*dup3)(int from, int to, int flags);
    /// Names looked up in an open directory rather than by a path that another
    /// process may redirect meanwhile.
    int (*openat)(int directory, const char* name, int flags, mode_t mode);
    int (*fstatat)(int directory, const char* name, struct stat* info, int flags);
    int (*unlinkat)(int directory, const char* name, int flags);
};

/// The table in use.
NUVZUB_API SystemCalls GetSystemCalls();
/// Replaces the whole table; set it while no other thread makes file calls.
NUVZUB_API void SetSystemCalls(const SystemCalls& calls);
/// Back to the real calls.
NUVZUB_API void ResetSystemCalls();

} // namespace NUVZubPlatform
