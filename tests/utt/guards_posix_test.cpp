// CleanUpHandle and the platform's CloseHandle over POSIX descriptors.
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZubPlatform/Handle.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(CleanUpHandle, ClosesItsHandle) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        CleanUpHandle guard(fd);
        EXPECT_EQ(guard.Get(), fd);
        EXPECT_TRUE(IsOpen(fd));
    }
    EXPECT_FALSE(IsOpen(fd));
}

TEST(CleanUpHandle, NoHandleClosesNothing) {
    errno = 0;
    { CleanUpHandle guard(NUVZubPlatform::kNoHandle); }
    // A close(-1) would have set EBADF.
    EXPECT_EQ(errno, 0);
    // Descriptor 0 is a real handle, not "none": it must not be confused with null.
    EXPECT_NE(NUVZubPlatform::kNoHandle, 0);
}

TEST(PlatformHandle, ReportsAFailedClose) {
    const int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(NUVZubPlatform::CloseHandle(fd));
    EXPECT_FALSE(NUVZubPlatform::CloseHandle(fd));
    EXPECT_EQ(errno, EBADF);
}

} // namespace
