// Started afresh by the resource-monitor tests with a chosen environment: the
// library reads ZUB_RESOURCE_MONITOR once, when it is loaded. Writes what the
// load made of it and which calls reached the monitor to the file argv[1].
#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <cstdio>

int main(int argc, char** argv) {
    std::FILE* out = argc == 2 ? std::fopen(argv[1], "wb") : nullptr;
    if (out == nullptr) return 2;
    bcu_ResourceMonitor& monitor = omi_Singleton<bcu_ResourceMonitor>::Instance();
    const int logzubAtStart = NUVZubUttResourceMonitor::m_logzub ? 1 : 0;
    NUVZubUttResourceMonitor::ZubIniTimer(5, "SOLVER");
    NUVZubUttResourceMonitor::ZubStartTimer(5);
    NUVZubUttResourceMonitor::ZubStopTimer(5);
    const double seconds = monitor.TimerSeconds(5);
    NUVZubUttResourceMonitor::StopTimer(5); // changes nothing if the Zub form stopped it
    NUVZubUttResourceMonitor::ZubMark("zub");
    NUVZubUttResourceMonitorZubMark("zub plain");
    const unsigned long long zubStarts = monitor.TimerStarts(5);
    const unsigned long long zubMarks = monitor.MarkCount();
    NUVZubUttResourceMonitor::StartTimer(6);
    NUVZubUttResourceMonitor::Mark("plain");
    std::fprintf(out,
                 "logzub=%d zubStarts=%llu zubMarks=%llu stopped=%d plainStarts=%llu marks=%llu "
                 "initialized=%d\n",
                 logzubAtStart, zubStarts, zubMarks, monitor.TimerSeconds(5) == seconds ? 1 : 0,
                 static_cast<unsigned long long>(monitor.TimerStarts(6)),
                 static_cast<unsigned long long>(monitor.MarkCount()),
                 monitor.IsInitialized() ? 1 : 0);
    return std::fclose(out) == 0 ? 0 : 3;
}
