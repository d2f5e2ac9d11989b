#include <NUVZub/NUVZubUttResourceMonitor.h>

#include <NUVBas/NUVBasShared.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZubPlatform/Thread.h>

namespace {
// Fetched on every call: the monitor is the shared-services library's business.
bcu_ResourceMonitor& Monitor() { return omi_Singleton<bcu_ResourceMonitor>::Instance(); }
} // namespace

bool NUVZubUttResourceMonitor::m_logzub = false;

const char* const
    NUVZubUttResourceMonitor::s_timerNames[NUVZubUttResourceMonitor::s_numTimerNames] = {
        "UNKNOWN",
        "PRE",
        "ELEMENT LOOP",
        "ORDERING",
        "ASSEMBLY",
        "SOLVER",
        "ITERATIVE SOLVER",
        "REGULARIZATION SOLVER",
        "LANCZOS SOLVER",
        "AMS SOLVER",
        "CONTACT",
        "INITIAL STRESS",
        "PACKAGE",
        "EXPLICIT",
        "SENSITIVITY ANALYSIS",
        "LINEAR DYNAMICS",
        "CFD"};

void NUVZubUttResourceMonitor::Mark(char const* text) { Monitor().Mark(text); }
void NUVZubUttResourceMonitor::IniTimer(int id, char const* name) { Monitor().IniTimer(id, name); }
void NUVZubUttResourceMonitor::StartTimer(int id) { Monitor().StartTimer(id); }
void NUVZubUttResourceMonitor::StopTimer(int id) { Monitor().StopTimer(id); }

void NUVZubUttResourceMonitor::ZubMark(char const* text) {
    if (m_logzub) Monitor().Mark(text);
}
void NUVZubUttResourceMonitor::ZubIniTimer(int id, char const* name) {
    if (m_logzub) Monitor().IniTimer(id, name);
}
void NUVZubUttResourceMonitor::ZubStartTimer(int id) {
    if (m_logzub) Monitor().StartTimer(id);
}
void NUVZubUttResourceMonitor::ZubStopTimer(int id) {
    if (m_logzub) Monitor().StopTimer(id);
}

namespace {
// The plain-name functions return nothing, so a call that fails (a label that
// cannot be copied for want of memory) is dropped; nothing reaches the foreign
// caller but a thread's forced unwind.
template <class Call> void Dropping(Call call) {
    try {
        call();
    } catch (...) {
        NUVZubPlatform::RethrowIfForcedUnwind();
    }
}
} // namespace

extern "C" {

NUVZUB_API void NUVZubUttResourceMonitorInitialize(char const* name, int value) {
    Dropping([&] {
        // Through the shared services: on Windows only they see a variable set
        // empty while the process runs (the runtime's copy cannot hold an empty value).
        NUVString setting;
        if (NUVBasGetEnv("ZUB_RESOURCE_MONITOR", setting))
            NUVZubUttResourceMonitor::m_logzub = true;
        if (name != nullptr) Monitor().Initialize(name, value);
    });
}

NUVZUB_API void NUVZubUttResourceMonitorMark(char const* text) {
    Dropping([&] { Monitor().Mark(text); });
}

NUVZUB_API void NUVZubUttResourceMonitorZubMark(char const* text) {
    Dropping([&] { NUVZubUttResourceMonitor::ZubMark(text); });
}

NUVZUB_API void NUVZubUttResourceMonitorIniTimer(int id, char const* name) {
    Dropping([&] { Monitor().IniTimer(id, name); });
}

NUVZUB_API void NUVZubUttResourceMonitorStartTimer(int id, void* unused) {
    (void)unused;
    Dropping([&] { Monitor().StartTimer(id); });
}

NUVZUB_API void NUVZubUttResourceMonitorStopTimer(int id) {
    Dropping([&] { Monitor().StopTimer(id); });
}

} // extern "C"
