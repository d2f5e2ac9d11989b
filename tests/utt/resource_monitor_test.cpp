// Resource-monitor timers: the plain forms always reach the monitor, the Zub
// forms only when ZUB_RESOURCE_MONITOR was in the environment at load time.
#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <gtest/gtest.h>

#include <TempDir.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#if defined(_WIN32)
#include <EnvironmentWin32.h>
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

bcu_ResourceMonitor& Monitor() { return omi_Singleton<bcu_ResourceMonitor>::Instance(); }

// Runs the probe as a new program whose environment differs from ours only in
// ZUB_RESOURCE_MONITOR (null: removed); returns the line it wrote.
std::string RunProbe(const char* value) {
    const TempDir dir;
    const std::string out = dir / "report";
    const char* probe = NUVZUB_RESOURCE_MONITOR_PROBE;
    if (value != nullptr) setenv("ZUB_RESOURCE_MONITOR", value, 1);
#if defined(_WIN32)
    const std::string argument = "\"" + out + "\""; // the command line is joined unquoted
    const int status = static_cast<int>(_spawnl(_P_WAIT, probe, probe, argument.c_str(), nullptr));
#else
    int status = -1;
    const pid_t pid = fork();
    if (pid == 0) {
        execl(probe, probe, out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    waitpid(pid, &status, 0);
#endif
    unsetenv("ZUB_RESOURCE_MONITOR");
    std::ifstream in(out, std::ios::binary);
    const std::string line{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return status == 0 ? line : "probe failed: " + line;
}

// Unset, the Zub forms stay silent while the plain forms forward; any value,
// even an empty one, switches them on.
TEST(ResourceMonitorSwitch, AnyValueEvenEmptySwitchesZubFormsOn) {
    const std::string on =
        "logzub=1 zubStarts=1 zubMarks=2 stopped=1 plainStarts=1 marks=3 initialized=0\n";
    EXPECT_EQ(RunProbe(nullptr),
              "logzub=0 zubStarts=0 zubMarks=0 stopped=1 plainStarts=1 marks=1 initialized=0\n");
    EXPECT_EQ(RunProbe(""), on);
    EXPECT_EQ(RunProbe("0"), on);
}

// Initialize reaches the monitor only with a name, and switches the Zub forms
// on if the environment asks, never off.
TEST(ResourceMonitor, PlainFormsAlwaysForwardInitializeOnlyWithAName) {
    const bool saved = NUVZubUttResourceMonitor::m_logzub;
    unsetenv("ZUB_RESOURCE_MONITOR");
    Monitor().Reset();
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
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    EXPECT_FALSE(Monitor().IsInitialized());
    EXPECT_FALSE(NUVZubUttResourceMonitor::m_logzub);
    NUVZubUttResourceMonitorInitialize("solver run", 3);
    EXPECT_TRUE(Monitor().IsInitialized());
    setenv("ZUB_RESOURCE_MONITOR", "", 1);
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    unsetenv("ZUB_RESOURCE_MONITOR");
    EXPECT_TRUE(NUVZubUttResourceMonitor::m_logzub);
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    EXPECT_TRUE(NUVZubUttResourceMonitor::m_logzub);
    NUVZubUttResourceMonitor::m_logzub = saved;
    Monitor().Reset();
}

} // namespace
