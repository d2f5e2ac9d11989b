// Formatting and raising cost over the whole catalogue: every class once per
// iteration, built from the generated sample values.
#include "CatalogueCases.h"

#include <NUVZub/NUVZubUttAssert.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

std::vector<std::unique_ptr<NUVBasException>> EveryClass() {
    std::vector<std::unique_ptr<NUVBasException>> all;
    for (std::size_t i = 0; i < kCatalogueCaseCount; ++i)
        all.emplace_back(kCatalogueCases[i].make());
    return all;
}

void BM_AsStringEveryClass(benchmark::State& state) {
    const auto all = EveryClass();
    std::size_t bytes = 0;
    for (auto _ : state) {
        for (const auto& e : all) {
            atr_String text = e->AsString(NUVBasStringMode(false));
            bytes += text.Length();
            benchmark::DoNotOptimize(text.CStr());
        }
    }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * all.size()));
    state.SetBytesProcessed(static_cast<long>(bytes));
}
BENCHMARK(BM_AsStringEveryClass);

void BM_CloneEveryClass(benchmark::State& state) {
    const auto all = EveryClass();
    for (auto _ : state) {
        for (const auto& e : all) {
            std::unique_ptr<NUVBasException> clone(e->Clone());
            benchmark::DoNotOptimize(clone.get());
        }
    }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * all.size()));
}
BENCHMARK(BM_CloneEveryClass);

// Propagate without its report: format nothing, copy, throw and catch.
void BM_PropagateAndCatchEveryClass(benchmark::State& state) {
    NUVZubUttAssertDisableExcReport();
    const auto all = EveryClass();
    for (auto _ : state) {
        for (const auto& e : all) {
            try {
                e->Propagate();
            } catch (const NUVBasException& caught) {
                benchmark::DoNotOptimize(caught.GetCode());
            }
        }
    }
    state.SetItemsProcessed(static_cast<long>(state.iterations() * all.size()));
}
BENCHMARK(BM_PropagateAndCatchEveryClass);

} // namespace
