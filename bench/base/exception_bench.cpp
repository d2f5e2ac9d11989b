// Cost of building, copying, formatting and throwing catalogue exceptions,
// each against the plain C++ way of doing the same.
#include <NUVZub/NUVZubExcAssociation.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

// Every heap allocation of the process is counted, so a benchmark can show it makes none.
// GCC takes the replaced operator new for the built-in one and warns about the free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::atomic<long> g_heapAllocations{0};
void* operator new(std::size_t size) {
    g_heapAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

const std::string kName(63, 'n'); // fills a 64-byte field

// The message template of the class below, for the plain-C++ anchors.
const char kTemplate[] =
    "Thrown if an assignment for a symbol was requested, but it does not exist "
    "in the given collection. Form name of the symbol reference type: %s. "
    "Name of symbol: %s. Name of the symbol reference type: %s.";

// Three string(64) parameters.
NUVZubExcSymbolNoValue MakeException() {
    return NUVZubExcSymbolNoValue(NUVZubUttExceptionString<64>(kName.c_str()),
                                  NUVZubUttExceptionString<64>(kName.c_str()),
                                  NUVZubUttExceptionString<64>(kName.c_str()));
}

void BM_BuildAndCopyException(benchmark::State& state) {
    const long before = g_heapAllocations.load() + static_cast<long>(mem_AllocationCount());
    for (auto _ : state) {
        NUVZubExcSymbolNoValue e = MakeException();
        NUVZubExcSymbolNoValue copy(e);
        benchmark::DoNotOptimize(copy);
    }
    const long after = g_heapAllocations.load() + static_cast<long>(mem_AllocationCount());
    state.counters["heap_allocations"] = static_cast<double>(after - before);
}
BENCHMARK(BM_BuildAndCopyException);

void BM_AsString(benchmark::State& state) {
    const NUVZubExcSymbolNoValue e = MakeException();
    for (auto _ : state) {
        atr_String text = e.AsString(NUVBasStringMode(false));
        benchmark::DoNotOptimize(text.CStr());
    }
}
BENCHMARK(BM_AsString);

void BM_SnprintfSameTemplate(benchmark::State& state) {
    const NUVZubExcSymbolNoValue e = MakeException();
    const auto a = e.GetSymbolFormName(), b = e.GetSymbolName(), c = e.GetSymbolTypeName();
    for (auto _ : state) {
        char buffer[1024];
        std::snprintf(buffer, sizeof buffer, kTemplate, a.AsString(), b.AsString(), c.AsString());
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_SnprintfSameTemplate);

void BM_PropagateAndCatch(benchmark::State& state) {
    NUVZubUttAssertDisableExcReport();
    const NUVZubExcSymbolNoValue e = MakeException();
    for (auto _ : state) {
        try {
            e.Propagate();
        } catch (const NUVBasException& caught) {
            benchmark::DoNotOptimize(caught.GetCode());
        }
    }
}
BENCHMARK(BM_PropagateAndCatch);

void BM_RuntimeErrorThrowAndCatch(benchmark::State& state) {
    for (auto _ : state) {
        try {
            char buffer[1024];
            std::snprintf(buffer, sizeof buffer, kTemplate, kName.c_str(), kName.c_str(),
                          kName.c_str());
            throw std::runtime_error(std::string(buffer));
        } catch (const std::runtime_error& caught) {
            benchmark::DoNotOptimize(caught.what());
        }
    }
}
BENCHMARK(BM_RuntimeErrorThrowAndCatch);

// The same thrown from a called function, as Propagate throws from its own frame.
[[gnu::noinline]] void RaiseRuntimeError(const std::string& name) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, kTemplate, name.c_str(), name.c_str(), name.c_str());
    throw std::runtime_error(std::string(buffer));
}

void BM_RuntimeErrorFromFunction(benchmark::State& state) {
    for (auto _ : state) {
        try {
            RaiseRuntimeError(kName);
        } catch (const std::runtime_error& caught) {
            benchmark::DoNotOptimize(caught.what());
        }
    }
}
BENCHMARK(BM_RuntimeErrorFromFunction);

} // namespace
