// Shared-services library: reference-counted pointer, singletons, I/O
// statistics, resource monitor, environment, file opening, process arguments
// and the unit-test monitor.
#pragma once

#include <NUVBas/NUVBasExport.h>
#include <NUVBas/NUVString.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

/// Owner and weak counts of a shared object. Atomic: the owners of one object
/// may copy and drop it on different threads.
struct NUVBasRefCounter {
    std::atomic<std::int32_t> owners{1};
    std::atomic<std::int32_t> weak{0};
};

template <class T> class NUVBasSharedPtr {
public:
    NUVBasSharedPtr() = default;
    explicit NUVBasSharedPtr(T* object)
        : m_object(object), m_counter(object ? new NUVBasRefCounter : nullptr) {}
    NUVBasSharedPtr(const NUVBasSharedPtr& other)
        : m_object(other.m_object), m_counter(other.m_counter) {
        if (m_counter) m_counter->owners.fetch_add(1, std::memory_order_relaxed);
    }
    NUVBasSharedPtr(NUVBasSharedPtr&& other) noexcept
        : m_object(other.m_object), m_counter(other.m_counter) {
        other.m_object = nullptr;
        other.m_counter = nullptr;
    }
    NUVBasSharedPtr& operator=(NUVBasSharedPtr other) noexcept {
        std::swap(m_object, other.m_object);
        std::swap(m_counter, other.m_counter);
        return *this;
    }
    ~NUVBasSharedPtr() { Release(); }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    std::int32_t UseCount() const {
        return m_counter ? m_counter->owners.load(std::memory_order_relaxed) : 0;
    }

private:
    void Release() {
        if (m_counter == nullptr) return;
        if (m_counter->owners.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        delete m_object;
        if (m_counter->weak.load(std::memory_order_acquire) == 0) delete m_counter;
    }
    T* m_object = nullptr;
    NUVBasRefCounter* m_counter = nullptr;
};

/// One process-wide object of T, made on first use and never destroyed, so that
/// objects with static storage may still use it while the process exits.
template <class T> class omi_Singleton {
public:
    static T& Instance();
};

/// I/O record of one open file.
struct NUVBasUtlIOFileStats {
    NUVString path;
    std::uint64_t opens = 0, closes = 0;
    std::uint64_t reads = 0, writes = 0;
    std::uint64_t bytesRead = 0, bytesWritten = 0;
    double readSeconds = 0, writeSeconds = 0;
};

/// Per-file I/O statistics of the process. Each open file owns its record
/// alone and books its transfers there without a lock (its owner serialises
/// them); the registry of open records has a lock of its own, so files used by
/// different threads stay independent.
class NUVBAS_SHARED_API NUVBasUtlIOStats {
public:
    enum Kind { Read = 1, Write = 2 };

    /// A new record, registered until usefile_Close; close every record opened.
    NUVBasSharedPtr<NUVBasUtlIOFileStats> usefile_Open(const NUVString& path);
    void usefile_Close(NUVBasSharedPtr<NUVBasUtlIOFileStats> record);
    /// Starts the calling thread's timer of `kind`.
    void StartTimer(int kind);
    /// Stops it and books `bytes` and the time to `record`. The record is taken
    /// by reference: a copy would cost two atomic count changes per transfer.
    void StopTimer(std::uint64_t bytes, int kind,
                   const NUVBasSharedPtr<NUVBasUtlIOFileStats>& record);

    /// Totals over every record ever opened under `path` (zeros if none).
    NUVBasUtlIOFileStats Totals(const NUVString& path) const;
    void PrintSummary(std::FILE* out) const;
    void Reset();

    NUVBasUtlIOStats();
    ~NUVBasUtlIOStats();

private:
    friend class omi_Singleton<NUVBasUtlIOStats>; // renews the state in a forked child
    struct State;
    std::unique_ptr<State> m_state;
};

/// Marks and named timers of the process, summarised on request.
class NUVBAS_SHARED_API bcu_ResourceMonitor {
public:
    bcu_ResourceMonitor();
    ~bcu_ResourceMonitor();
    void Initialize(const char* name, int option);
    void Mark(const char* label);
    void IniTimer(int timer, const char* name);
    void StartTimer(int timer);
    void StopTimer(int timer);

    bool IsInitialized() const;
    std::size_t MarkCount() const;
    /// Starts and seconds of a timer (0 if never defined).
    std::uint64_t TimerStarts(int timer) const;
    double TimerSeconds(int timer) const;
    void PrintSummary(std::FILE* out) const;
    void Reset();

private:
    friend class omi_Singleton<bcu_ResourceMonitor>; // renews the state in a forked child
    struct State;
    std::unique_ptr<State> m_state;
};

extern template class NUVBAS_SHARED_API omi_Singleton<NUVBasUtlIOStats>;
extern template class NUVBAS_SHARED_API omi_Singleton<bcu_ResourceMonitor>;

/// The variable's text in `value` (empty when unset); true when it is set.
NUVBAS_SHARED_API bool NUVBasGetEnv(const char* name, NUVString& value);

class NUVBAS_SHARED_API NUVBasFileOps {
public:
    /// A runtime stream, or null when the file cannot be opened; close with fclose.
    static std::FILE* Fopen(const char* name, const char* mode);
};

/// The process's real arguments, program name first.
class NUVBAS_SHARED_API NUVBasGetCommandArgs {
public:
    NUVBasGetCommandArgs();
    ~NUVBasGetCommandArgs();
    int Argc() const { return static_cast<int>(m_pointers.size()) - 1; }
    char** Argv() { return m_pointers.data(); }

private:
    std::vector<char> m_text;
    std::vector<char*> m_pointers; // ends with a null
};

/// Counters and reports of the unit-test framework.
class NUVBAS_SHARED_API uts_UnitTestMonitor {
public:
    virtual ~uts_UnitTestMonitor();
    void incrementUnitAssertCount() { ++m_asserts; }
    void incrementUnitAssertFailureCount() { ++m_failures; }
    int getUnitAssertCount() const { return m_asserts; }
    int getUnitAssertFailureCount() const { return m_failures; }
    /// Reports a failed assertion on stderr.
    virtual void reportFailure(const char* file, int line, const char* expression);
    /// Reports where a failure was traced from on stderr.
    virtual void reportTrace(const char* file, int line, const char* expression);

private:
    int m_asserts = 0;
    int m_failures = 0;
};

/// Base of a unit test: verbosity level (0 quiet, 1 normal, 2 and up traces
/// every assertion) and the monitor it reports to.
class NUVBAS_SHARED_API uts_UnitTest {
public:
    explicit uts_UnitTest(uts_UnitTestMonitor& monitor, int verbose = 0)
        : m_monitor(&monitor), m_verbose(verbose) {}
    virtual ~uts_UnitTest();
    int getVerbose() const { return m_verbose; }
    void setVerbose(int verbose) { m_verbose = verbose; }
    uts_UnitTestMonitor& getMonitor() const { return *m_monitor; }

private:
    uts_UnitTestMonitor* m_monitor;
    int m_verbose;
};

NUVBAS_SHARED_API void NUVBasShared_initialize(int& count);
NUVBAS_SHARED_API void NUVBasShared_finalize(int& count);
