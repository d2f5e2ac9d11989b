// A warm throw report in JSON against the same warm report in text: the same
// raise at the same depths, the form switched between runs.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

[[gnu::noinline]] int RaiseAtDepth(int depth, const NUVZubExcNoSuchFile& e) {
    if (depth == 0) {
        e.Propagate(); // always throws
        return 0;
    }
    int below = RaiseAtDepth(depth - 1, e);
    benchmark::DoNotOptimize(below); // one real frame per level
    return below + 1;
}

void BM_WarmReport(benchmark::State& state) {
    if (std::freopen("/dev/null", "w", stderr) == nullptr) state.SkipWithError("no /dev/null");
    const bool json = state.range(0) == 1;
    NUVZubUttAssertSetReportFormat(json ? NUVZubUttReportFormat::Json
                                        : NUVZubUttReportFormat::Text);
    const NUVZubExcNoSuchFile e("/data/projects/model/part-0042.zub");
    const int depth = static_cast<int>(state.range(1));
    for (int warm = 0; warm < 2; ++warm) { // the symbol handler and the frame cache
        try {
            RaiseAtDepth(depth, e);
        } catch (const NUVBasException&) {
        }
    }
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(RaiseAtDepth(depth, e));
        } catch (const NUVBasException& caught) {
            benchmark::DoNotOptimize(caught.GetCode());
        }
    }
    state.SetLabel(json ? "json" : "text");
}
BENCHMARK(BM_WarmReport)
    ->ArgsProduct({{0, 1}, {0, 16}})
    ->ArgNames({"json", "depth"})
    ->Unit(benchmark::kMicrosecond);

} // namespace
