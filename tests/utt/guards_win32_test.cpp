// CleanUpHandle and the platform's CloseHandle over Windows' HANDLE.
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZubPlatform/Handle.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <WindowsApi.h>

#include <gtest/gtest.h>

namespace {

bool IsOpen(HANDLE handle) {
    DWORD flags = 0;
    return GetHandleInformation(handle, &flags) != 0;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

} // namespace

TEST(CleanUpHandleWin32, ClosesItsHandleAndNullClosesNothing) {
    const HANDLE handle = NewEvent();
    ASSERT_NE(handle, nullptr);
    {
        CleanUpHandle guard(handle);
        EXPECT_EQ(guard.Get(), handle);
        EXPECT_TRUE(IsOpen(handle));
    }
    EXPECT_FALSE(IsOpen(handle));
    SetLastError(ERROR_SUCCESS);
    { CleanUpHandle guard(NUVZubPlatform::kNoHandle); }
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS)) << "CloseHandle(null) would fail with 6";
}

TEST(PlatformHandleWin32, ReportsAFailedCloseWithTheLastError) {
    // The failure comes through the call table: closing a stale handle for real
    // could close one that another thread has just been given.
    NUVZubPlatform::SystemCallsWin32 table = NUVZubPlatform::GetWin32Calls();
    table.CloseHandle = [](HANDLE) -> BOOL {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    };
    const HANDLE handle = NewEvent();
    ASSERT_NE(handle, nullptr);
    NUVZubPlatform::SetWin32Calls(table);
    const bool closed = NUVZubPlatform::CloseHandle(handle);
    const DWORD error = GetLastError();
    NUVZubPlatform::ResetWin32Calls();
    EXPECT_FALSE(closed);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(NUVZubPlatform::CloseHandle(handle));
    EXPECT_TRUE(NUVZubPlatform::CloseHandle(NUVZubPlatform::kNoHandle));
}
