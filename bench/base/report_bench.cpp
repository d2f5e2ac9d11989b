// A throw report with its traceback, after the first (which starts the symbol
// handler), at several stack depths: the slope is the cost per frame.
#include <NUVZub/NUVZubExcFile.h>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

[[gnu::noinline]] int RaiseAtDepth(int depth, const NUVZubExcDiskFull& e) {
    if (depth == 0) {
        e.Propagate(); // always throws
        return 0;
    }
    int below = RaiseAtDepth(depth - 1, e);
    // Work after the call keeps one real frame per level (no tail call, no loop).
    benchmark::DoNotOptimize(below);
    return below + 1;
}

void BM_ThrowReportWithTraceback(benchmark::State& state) {
    if (std::freopen("/dev/null", "w", stderr) == nullptr) state.SkipWithError("no /dev/null");
    const NUVZubExcDiskFull e;
    const int depth = static_cast<int>(state.range(0));
    try {
        RaiseAtDepth(0, e); // the first report starts the symbol handler
    } catch (const NUVBasException&) {
    }
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(RaiseAtDepth(depth, e));
        } catch (const NUVBasException& caught) {
            benchmark::DoNotOptimize(caught.GetCode());
        }
    }
    state.counters["extra_frames"] = depth;
}
BENCHMARK(BM_ThrowReportWithTraceback)->Arg(0)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

} // namespace
