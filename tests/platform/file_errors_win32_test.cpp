// Failures the Windows file layer must report before or instead of a call.
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <TempDir.h>
#include <WindowsApi.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace NUVZubPlatform;

namespace {
BOOL WINAPI FailSeek(HANDLE, LARGE_INTEGER, PLARGE_INTEGER, DWORD) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return FALSE;
}
} // namespace

TEST(PlatformFileWin32, ANameThatIsNotUtf8IsRefusedByEveryCall) {
    TempDir dir;
    const std::string bad = dir / "bad\xff", good = dir.Write("good", "x");
    EXPECT_EQ(RemoveFile(bad.c_str()), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(MakeDirectory(bad.c_str()), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RemoveDirectory(bad.c_str()), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(RenameFile(good.c_str(), bad.c_str()), ERROR_NO_UNICODE_TRANSLATION);
}

TEST(PlatformFileWin32, AFailedSeekOfSetFileLengthIsReportedAndKeepsTheLength) {
    TempDir dir;
    const std::string path = dir.Write("f", "abc");
    Handle handle = kNoHandle;
    ASSERT_EQ(OpenFile(path.c_str(), OpenMode::Update, handle), 0);
    SystemCallsWin32 calls = GetWin32Calls();
    calls.SetFilePointerEx = FailSeek;
    SetWin32Calls(calls);
    EXPECT_EQ(SetFileLength(handle, 1), ERROR_NEGATIVE_SEEK);
    ResetWin32Calls();
    std::uint64_t length = 0;
    EXPECT_EQ(GetFileLength(handle, length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(CloseFile(handle), 0);
}
