// Marks and timers of the process-wide resource monitor. The plain forms always
// forward; the Zub forms only when ZUB_RESOURCE_MONITOR was set at start-up.
#pragma once

#include <NUVZubPlatform/Export.h>

class NUVZUB_API NUVZubUttResourceMonitor {
public:
    /// True once NUVZubUttResourceMonitorInitialize found ZUB_RESOURCE_MONITOR
    /// in the environment (any value, the empty one included); never reset.
    static bool m_logzub;

    /// Timer category names, indexed by timer id.
    static const int s_numTimerNames = 17;
    static const char* const s_timerNames[s_numTimerNames];

    static void Mark(char const* text);
    static void IniTimer(int id, char const* name);
    static void StartTimer(int id);
    static void StopTimer(int id);

    static void ZubMark(char const* text);
    static void ZubIniTimer(int id, char const* name);
    static void ZubStartTimer(int id);
    static void ZubStopTimer(int id);
};

// The plain-name functions are declared in <NUVZub/NUVZubContainersC.h>.
