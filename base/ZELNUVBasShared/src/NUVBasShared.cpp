#include <NUVBas/NUVBasShared.h>
#include <NUVBas/mem_Alloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <time.h>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#if !defined(CLOCK_MONOTONIC_COARSE)
// Windows' runtime (winpthreads) has no coarse clock; its monotonic one serves.
#define CLOCK_MONOTONIC_COARSE CLOCK_MONOTONIC
#endif

namespace {
using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}
NUVBasInitCounter g_init;

/// A forked child has the forking thread only: a lock that another thread of
/// the parent held at the fork would never be released. The child starts its
/// records afresh then, leaving the half-changed ones alone; a free lock and
/// its records are kept.
template <class State> void RenewIfHeld(std::unique_ptr<State>& state) {
    if (state->mutex.try_lock()) {
        state->mutex.unlock();
        return;
    }
    state.release();
    state.reset(new State);
}

void InForkedChild(void (*renew)()) {
#if !defined(_WIN32)
    pthread_atfork(nullptr, nullptr, renew);
#else
    (void)renew; // Windows starts children as new programs
#endif
}
} // namespace

template <class T> T& omi_Singleton<T>::Instance() {
    // Leaked on purpose: a destroyed singleton would leave the destructors of
    // static objects that run after it (an OS file still open at exit) a
    // dangling lock. Made without a C++ initialisation guard: a child forked
    // while another thread held one would wait on it forever; here the child
    // makes its own, and threads racing to make it keep the first one made.
    static std::atomic<T*> instance{nullptr};
    T* made = instance.load(std::memory_order_acquire);
    if (made != nullptr) return *made;
    // Each thread that may publish it registers the child handler first, so
    // that a published object always has one; only threads racing the first
    // use register more than one, and each extra one finds the lock free. The
    // handler only looks at what exists: little is safe to call in a child.
    InForkedChild([] {
        if (T* existing = instance.load(std::memory_order_acquire)) RenewIfHeld(existing->m_state);
    });
    std::unique_ptr<T> fresh(new T);
    if (!instance.compare_exchange_strong(made, fresh.get(), std::memory_order_acq_rel))
        return *made;
    return *fresh.release();
}
template class omi_Singleton<NUVBasUtlIOStats>;
template class omi_Singleton<bcu_ResourceMonitor>;

// --- I/O statistics ---------------------------------------------------------

struct NUVBasUtlIOStats::State {
    mutable std::mutex mutex;
    std::map<std::string, NUVBasUtlIOFileStats> closed; // totals of closed records by path
    // Records of open files, owned by their files alone: registering one copies
    // no pointer that another file's thread could be counting.
    std::set<const NUVBasUtlIOFileStats*> open;
};

namespace {
// Read on every transfer: the initial-exec model reaches it without the
// general model's __tls_get_addr call.
__attribute__((tls_model("initial-exec"))) thread_local std::int64_t t_ioStart[3];

// The transfer timers run twice per read or write, so they take the coarse
// clock (a few ns against about 25 for the precise one). One transfer may
// book 0 or one tick; over many, the booked time is the true total on average.
std::int64_t CoarseNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The counters of an open record have one writer, its file's owner, and may
// be read meanwhile by whoever asks for totals: relaxed atomic loads and
// stores, which cost plain moves on the platforms we build for.
template <class T> T Load(const T& field) {
    T value;
    __atomic_load(&field, &value, __ATOMIC_RELAXED);
    return value;
}
template <class T> void Add(T& field, T amount) {
    T sum = Load(field) + amount; // clang takes no pointer to const here
    __atomic_store(&field, &sum, __ATOMIC_RELAXED);
}

void AddInto(NUVBasUtlIOFileStats& total, const NUVBasUtlIOFileStats& part) {
    total.opens += Load(part.opens);
    total.closes += Load(part.closes);
    total.reads += Load(part.reads);
    total.writes += Load(part.writes);
    total.bytesRead += Load(part.bytesRead);
    total.bytesWritten += Load(part.bytesWritten);
    total.readSeconds += Load(part.readSeconds);
    total.writeSeconds += Load(part.writeSeconds);
}
} // namespace

NUVBasUtlIOStats::NUVBasUtlIOStats() : m_state(new State) {}
NUVBasUtlIOStats::~NUVBasUtlIOStats() = default;

NUVBasSharedPtr<NUVBasUtlIOFileStats> NUVBasUtlIOStats::usefile_Open(const NUVString& path) {
    NUVBasSharedPtr<NUVBasUtlIOFileStats> record(new NUVBasUtlIOFileStats);
    record->path = path;
    record->opens = 1;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->open.insert(record.get());
    return record;
}

void NUVBasUtlIOStats::usefile_Close(NUVBasSharedPtr<NUVBasUtlIOFileStats> record) {
    if (!record) return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    record->closes += 1;
    AddInto(m_state->closed[record->path.Str()], *record);
    m_state->open.erase(record.get());
}

void NUVBasUtlIOStats::StartTimer(int kind) {
    if (kind == Read || kind == Write) t_ioStart[kind] = CoarseNanoseconds();
}

void NUVBasUtlIOStats::StopTimer(std::uint64_t bytes, int kind,
                                 const NUVBasSharedPtr<NUVBasUtlIOFileStats>& record) {
    if (!record || (kind != Read && kind != Write)) return;
    const double seconds = (CoarseNanoseconds() - t_ioStart[kind]) * 1e-9;
    // A record belongs to one open file, whose transfers its owner serialises;
    // the shared lock guards only the lists of records.
    NUVBasUtlIOFileStats& r = *record;
    if (kind == Read) {
        Add(r.reads, std::uint64_t{1});
        Add(r.bytesRead, bytes);
        Add(r.readSeconds, seconds);
    } else {
        Add(r.writes, std::uint64_t{1});
        Add(r.bytesWritten, bytes);
        Add(r.writeSeconds, seconds);
    }
}

NUVBasUtlIOFileStats NUVBasUtlIOStats::Totals(const NUVString& path) const {
    NUVBasUtlIOFileStats total;
    total.path = path;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto closed = m_state->closed.find(path.Str());
    if (closed != m_state->closed.end()) AddInto(total, closed->second);
    for (const auto& record : m_state->open)
        if (record->path == path) AddInto(total, *record);
    return total;
}

void NUVBasUtlIOStats::PrintSummary(std::FILE* out) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::fprintf(out,
                 "I/O summary: file, reads, bytes read, read s, writes, bytes written, write s\n");
    auto print = [out](const NUVBasUtlIOFileStats& record) {
        NUVBasUtlIOFileStats s;
        AddInto(s, record);
        std::fprintf(out, "%s, %llu, %llu, %.6f, %llu, %llu, %.6f\n", record.path.CastToCharPtr(),
                     static_cast<unsigned long long>(s.reads),
                     static_cast<unsigned long long>(s.bytesRead), s.readSeconds,
                     static_cast<unsigned long long>(s.writes),
                     static_cast<unsigned long long>(s.bytesWritten), s.writeSeconds);
    };
    for (const auto& entry : m_state->closed)
        print(entry.second);
    for (const auto& record : m_state->open)
        print(*record);
}

void NUVBasUtlIOStats::Reset() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->closed.clear();
}

// --- resource monitor -------------------------------------------------------

struct bcu_ResourceMonitor::State {
    struct Timer {
        std::string name;
        std::uint64_t starts = 0;
        double seconds = 0;
        Clock::time_point started;
        bool running = false;
    };
    mutable std::mutex mutex;
    bool initialized = false;
    std::string name;
    std::vector<std::pair<std::string, double>> marks;
    std::map<int, Timer> timers;
    Clock::time_point born = Clock::now();
};

bcu_ResourceMonitor::bcu_ResourceMonitor() : m_state(new State) {}
bcu_ResourceMonitor::~bcu_ResourceMonitor() = default;

void bcu_ResourceMonitor::Initialize(const char* name, int) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->initialized = true;
    m_state->name = name ? name : "";
}

void bcu_ResourceMonitor::Mark(const char* label) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->marks.emplace_back(label ? label : "", SecondsSince(m_state->born));
}

void bcu_ResourceMonitor::IniTimer(int timer, const char* name) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->timers[timer].name = name ? name : "";
}

void bcu_ResourceMonitor::StartTimer(int timer) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& t = m_state->timers[timer];
    t.started = Clock::now();
    t.running = true;
    ++t.starts;
}

void bcu_ResourceMonitor::StopTimer(int timer) {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& t = m_state->timers[timer];
    if (!t.running) return;
    t.seconds += SecondsSince(t.started);
    t.running = false;
}

bool bcu_ResourceMonitor::IsInitialized() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->initialized;
}

std::size_t bcu_ResourceMonitor::MarkCount() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->marks.size();
}

std::uint64_t bcu_ResourceMonitor::TimerStarts(int timer) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto it = m_state->timers.find(timer);
    return it == m_state->timers.end() ? 0 : it->second.starts;
}

double bcu_ResourceMonitor::TimerSeconds(int timer) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto it = m_state->timers.find(timer);
    return it == m_state->timers.end() ? 0 : it->second.seconds;
}

void bcu_ResourceMonitor::PrintSummary(std::FILE* out) const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::fprintf(out, "Resource monitor %s\n", m_state->name.c_str());
    for (const auto& mark : m_state->marks)
        std::fprintf(out, "  mark %s at %.6f s\n", mark.first.c_str(), mark.second);
    for (const auto& entry : m_state->timers)
        std::fprintf(out, "  timer %d %s: %llu starts, %.6f s\n", entry.first,
                     entry.second.name.c_str(),
                     static_cast<unsigned long long>(entry.second.starts), entry.second.seconds);
}

void bcu_ResourceMonitor::Reset() {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->initialized = false;
    m_state->name.clear();
    m_state->marks.clear();
    m_state->timers.clear();
}

// --- environment, files, arguments -----------------------------------------

// Windows has its own, over the wide-text services (NUVBasSharedWin32.cpp).
#if !defined(_WIN32)
bool NUVBasGetEnv(const char* name, NUVString& value) {
    const char* text = std::getenv(name);
    value = NUVString(text ? text : "");
    return text != nullptr;
}

std::FILE* NUVBasFileOps::Fopen(const char* name, const char* mode) {
    return std::fopen(name, mode);
}

NUVBasGetCommandArgs::NUVBasGetCommandArgs() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    m_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (m_text.empty() || m_text.back() != '\0') m_text.push_back('\0');
    for (std::size_t at = 0; at < m_text.size();
         at += std::char_traits<char>::length(&m_text[at]) + 1)
        m_pointers.push_back(&m_text[at]);
    m_pointers.push_back(nullptr);
}
#endif
NUVBasGetCommandArgs::~NUVBasGetCommandArgs() = default;

// --- unit-test monitor ------------------------------------------------------

uts_UnitTestMonitor::~uts_UnitTestMonitor() = default;
uts_UnitTest::~uts_UnitTest() = default;

void uts_UnitTestMonitor::reportFailure(const char* file, int line, const char* expression) {
    std::fprintf(stderr, "UNIT TEST FAILURE: %s(%d): %s\n", file, line, expression);
}

void uts_UnitTestMonitor::reportTrace(const char* file, int line, const char* expression) {
    std::fprintf(stderr, "UNIT TEST TRACE: %s(%d): %s\n", file, line, expression);
}

void NUVBasShared_initialize(int& count) {
    if (g_init.Enter(count)) NUVBasLifecycle_Record("Shared+");
}
void NUVBasShared_finalize(int& count) {
    if (g_init.Leave(count)) NUVBasLifecycle_Record("Shared-");
}
