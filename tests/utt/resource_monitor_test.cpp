// Resource-monitor timers: the plain forms always reach the monitor, the Zub
// forms only when ZUB_RESOURCE_MONITOR was in the environment at load time.
#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <gtest/gtest.h>

#include <ChildProcess.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

constexpr char kProbe[] = "NUVZUB_RESOURCE_PROBE";

bcu_ResourceMonitor& Monitor() { return omi_Singleton<bcu_ResourceMonitor>::Instance(); }

// In this program started again by RunProbe: prints what the library's load
// made of the switch and which calls reached the monitor.
void Probe() {
    const int atLoad = NUVZubUttResourceMonitor::m_logzub ? 1 : 0;
    NUVZubUttResourceMonitor::ZubIniTimer(5, "SOLVER");
    NUVZubUttResourceMonitor::ZubStartTimer(5);
    NUVZubUttResourceMonitor::ZubStopTimer(5);
    const double seconds = Monitor().TimerSeconds(5);
    NUVZubUttResourceMonitor::StopTimer(5); // changes nothing if the Zub form stopped it
    NUVZubUttResourceMonitor::ZubMark("zub");
    NUVZubUttResourceMonitorZubMark("zub plain");
    const unsigned long long zubStarts = Monitor().TimerStarts(5);
    const unsigned long long zubMarks = Monitor().MarkCount();
    NUVZubUttResourceMonitor::IniTimer(6, "ORDERING");
    NUVZubUttResourceMonitor::StartTimer(6);
    NUVZubUttResourceMonitor::StopTimer(6);
    NUVZubUttResourceMonitor::Mark("plain");
    NUVZubUttResourceMonitorIniTimer(6, "ASSEMBLY");
    int unused = 0;
    NUVZubUttResourceMonitorStartTimer(6, &unused);
    NUVZubUttResourceMonitorStartTimer(6, nullptr);
    NUVZubUttResourceMonitorStopTimer(6);
    NUVZubUttResourceMonitorMark("plain C");
    // Initialize reaches the monitor only with a name; it switches the Zub forms
    // on when the environment asks, never off.
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    const int nameless[] = {Monitor().IsInitialized(), NUVZubUttResourceMonitor::m_logzub};
    setenv("ZUB_RESOURCE_MONITOR", "", 1);
    NUVZubUttResourceMonitorInitialize(nullptr, 0);
    unsetenv("ZUB_RESOURCE_MONITOR");
    NUVZubUttResourceMonitorInitialize("solver run", 3);
    std::fprintf(stderr,
                 "logzub=%d zubStarts=%llu zubMarks=%llu stopped=%d plainStarts=%llu marks=%llu "
                 "nameless=%d,%d switched=%d named=%d\n",
                 atLoad, zubStarts, zubMarks, Monitor().TimerSeconds(5) == seconds ? 1 : 0,
                 static_cast<unsigned long long>(Monitor().TimerStarts(6)),
                 static_cast<unsigned long long>(Monitor().MarkCount()), nameless[0], nameless[1],
                 NUVZubUttResourceMonitor::m_logzub ? 1 : 0, Monitor().IsInitialized() ? 1 : 0);
}

// Before any test: the library was loaded with the probe's environment.
[[maybe_unused]] const bool g_probing = [] {
    if (std::getenv(kProbe) == nullptr) return false;
    Probe();
    std::fflush(stderr);
    std::_Exit(0);
}();

// Runs this program again with an environment that differs from ours only in
// ZUB_RESOURCE_MONITOR (null: removed); returns what its probe printed. Windows
// starts the program afresh, where a fork needs the exec.
std::string RunProbe(const char* value) {
    if (value != nullptr) setenv("ZUB_RESOURCE_MONITOR", value, 1);
    setenv(kProbe, "1", 1);
    const ChildResult r = RunInChild([] {
#if !defined(_WIN32)
        execl("/proc/self/exe", "probe", static_cast<char*>(nullptr));
#endif
        return 127;
    });
    unsetenv(kProbe);
    unsetenv("ZUB_RESOURCE_MONITOR");
    return r.exitCode == 0 ? r.err : "probe failed: " + r.err;
}

// Unset, the Zub forms stay silent while the plain forms, C ones included,
// forward; any value, even an empty one, switches them on at load. Later the
// environment can switch them on, never off.
TEST(ResourceMonitorSwitch, AnyValueEvenEmptySwitchesZubFormsOn) {
    const std::string on = "logzub=1 zubStarts=1 zubMarks=2 stopped=1 plainStarts=3 marks=4 "
                           "nameless=0,1 switched=1 named=1\n";
    EXPECT_EQ(RunProbe(nullptr), "logzub=0 zubStarts=0 zubMarks=0 stopped=1 plainStarts=3 marks=2 "
                                 "nameless=0,0 switched=1 named=1\n");
    EXPECT_EQ(RunProbe(""), on);
    EXPECT_EQ(RunProbe("0"), on);
}

} // namespace
