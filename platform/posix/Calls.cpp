// The real system calls behind the table of SystemCalls.h.
#include "Calls.h"

#include <NUVZubPlatform/Thread.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace NUVZubPlatform {

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
// A close that a cancellation cut short leaves the descriptor open or not, and
// closes run in destructors: the layer's closes are no cancellation points.
int RealClose(int fd) {
    const CancellationDeferred deferred;
    return ::close(fd);
}
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
int RealClosedir(DIR* directory) {
    const CancellationDeferred deferred;
    return ::closedir(directory);
}
char* RealGetcwd(char* buffer, size_t size) { return ::getcwd(buffer, size); }
ssize_t RealRead(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
ssize_t RealWrite(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int RealFcntl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }
int RealDup3(int from, int to, int flags) { return ::dup3(from, to, flags); }
int RealOpenat(int directory, const char* name, int flags, mode_t mode) {
    return ::openat(directory, name, flags, mode);
}
int RealFstatat(int directory, const char* name, struct stat* info, int flags) {
    return ::fstatat(directory, name, info, flags);
}
int RealUnlinkat(int directory, const char* name, int flags) {
    return ::unlinkat(directory, name, flags);
}

constexpr SystemCalls kRealCalls = {
    RealOpen,  RealClose,   RealPread,   RealPwrite,   RealFsync,    RealFtruncate, RealFstat,
    RealStat,  RealFlock,   RealFadvise, RealRename,   RealLink,     RealUnlink,    RealMkdir,
    RealRmdir, RealOpendir, RealReaddir, RealClosedir, RealGetcwd,   RealRead,      RealWrite,
    RealFcntl, RealDup3,    RealOpenat,  RealFstatat,  RealUnlinkat,
};

} // namespace

SystemCalls g_calls = kRealCalls;

SystemCalls GetSystemCalls() { return g_calls; }
void SetSystemCalls(const SystemCalls& calls) { g_calls = calls; }
void ResetSystemCalls() { g_calls = kRealCalls; }

} // namespace NUVZubPlatform
