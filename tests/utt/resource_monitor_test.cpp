// Resource-monitor timers: the plain forms always reach the monitor, the Zub
// forms only when ZUB_RESOURCE_MONITOR was in the environment at load time.
#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <EnvironmentWin32.h>
#include <Utf16Win32.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

bcu_ResourceMonitor& Monitor() { return omi_Singleton<bcu_ResourceMonitor>::Instance(); }

// Runs the probe as a new program whose environment differs from ours only in
// ZUB_RESOURCE_MONITOR (null: removed); returns its report line.
#if defined(_WIN32)
std::string RunProbe(const char* value) {
    // The probe inherits this process's environment block, changed for the start.
    const wchar_t* name = L"ZUB_RESOURCE_MONITOR";
    SetEnvironmentVariableW(name, value ? utf16::Widen(value).c_str() : nullptr);
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return "pipe failed";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = writeEnd;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + utf16::Widen(NUVZUB_RESOURCE_MONITOR_PROBE) + L"\"";
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &start, &process);
    CloseHandle(writeEnd);
    SetEnvironmentVariableW(name, nullptr);
    std::string out;
    if (started) {
        char buffer[256];
        DWORD n = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &n, nullptr) && n > 0)
            out.append(buffer, n);
    }
    CloseHandle(readEnd);
    if (!started) return "probe did not start";
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The probe's stdout is in text mode: its line ends come as CR LF.
    for (std::size_t at; (at = out.find("\r\n")) != std::string::npos;)
        out.erase(at, 1);
    if (code != 0) out += " (probe failed)";
    return out;
}
#else
std::string RunProbe(const char* value) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        if (value == nullptr)
            unsetenv("ZUB_RESOURCE_MONITOR");
        else
            setenv("ZUB_RESOURCE_MONITOR", value, 1);
        execl(NUVZUB_RESOURCE_MONITOR_PROBE, NUVZUB_RESOURCE_MONITOR_PROBE,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " (probe failed)";
    return out;
}
#endif

class ResourceMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        m_saved = NUVZubUttResourceMonitor::m_logzub;
        Monitor().Reset();
    }
    void TearDown() override {
        NUVZubUttResourceMonitor::m_logzub = m_saved;
        Monitor().Reset();
    }
    bool m_saved = false;
};

// Unset, the Zub forms stay silent while the plain forms forward; any value,
// even an empty one, switches them on.
TEST(ResourceMonitorSwitch, AnyValueEvenEmptySwitchesZubFormsOn) {
    const std::string on = "logzub=1 zubStarts=1 zubMarks=2 plainStarts=1 marks=3 initialized=0\n";
    EXPECT_EQ(RunProbe(nullptr),
              "logzub=0 zubStarts=0 zubMarks=0 plainStarts=1 marks=1 initialized=0\n");
    EXPECT_EQ(RunProbe(""), on);
    EXPECT_EQ(RunProbe("0"), on);
}

TEST_F(ResourceMonitor, ZubFormsFollowTheSwitch) {
    NUVZubUttResourceMonitor::m_logzub = false;
    NUVZubUttResourceMonitor::ZubStartTimer(5);
    NUVZubUttResourceMonitor::ZubMark("off");
    NUVZubUttResourceMonitorZubMark("off");
    EXPECT_EQ(Monitor().TimerStarts(5), 0u);
    EXPECT_EQ(Monitor().MarkCount(), 0u);

    NUVZubUttResourceMonitor::m_logzub = true;
    NUVZubUttResourceMonitor::ZubIniTimer(5, "SOLVER");
    NUVZubUttResourceMonitor::ZubStartTimer(5);
    NUVZubUttResourceMonitor::ZubStopTimer(5);
    NUVZubUttResourceMonitor::ZubMark("on");
    NUVZubUttResourceMonitorZubMark("on");
    EXPECT_EQ(Monitor().TimerStarts(5), 1u);
    EXPECT_EQ(Monitor().MarkCount(), 2u);
}

TEST_F(ResourceMonitor, PlainFormsAndPlainNamesAlwaysForward) {
    NUVZubUttResourceMonitor::m_logzub = false;
    NUVZubUttResourceMonitor::IniTimer(3, "ORDERING");
    NUVZubUttResourceMonitor::StartTimer(3);
    NUVZubUttResourceMonitor::StopTimer(3);
    NUVZubUttResourceMonitor::Mark("a");
    NUVZubUttResourceMonitorIniTimer(4, "ASSEMBLY");
    int ignored = 0;
    NUVZubUttResourceMonitorStartTimer(4, &ignored);
    NUVZubUttResourceMonitorStartTimer(4, nullptr);
    NUVZubUttResourceMonitorStopTimer(4);
    NUVZubUttResourceMonitorMark("b");
    EXPECT_EQ(Monitor().TimerStarts(3), 1u);
    EXPECT_EQ(Monitor().TimerStarts(4), 2u);
    EXPECT_EQ(Monitor().MarkCount(), 2u);
}

TEST_F(ResourceMonitor, InitializeReachesTheMonitorOnlyWithANameAndNeverSwitchesOff) {
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    EXPECT_FALSE(Monitor().IsInitialized());
    NUVZubUttResourceMonitorInitialize("solver run", 3);
    EXPECT_TRUE(Monitor().IsInitialized());
    // Nor does it ever switch the Zub forms off.
    NUVZubUttResourceMonitor::m_logzub = true;
    unsetenv("ZUB_RESOURCE_MONITOR");
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    EXPECT_TRUE(NUVZubUttResourceMonitor::m_logzub);
    NUVZubUttResourceMonitor::m_logzub = false;
    setenv("ZUB_RESOURCE_MONITOR", "", 1);
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    unsetenv("ZUB_RESOURCE_MONITOR");
    EXPECT_TRUE(NUVZubUttResourceMonitor::m_logzub);
}

} // namespace
