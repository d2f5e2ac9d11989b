// zubexc triage over generated logs of mostly whole reports (text and JSON,
// several failures, unrelated lines between them): throughput on one core, and
// peak memory at two log sizes, each run in a child of its own so that its
// peak (ru_maxrss) is its alone.
#include "triage.h"

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

[[gnu::noinline]] void Raise(const NUVBasException& e, int depth) {
    if (depth > 0) return Raise(e, depth - 1);
    try {
        e.Propagate();
    } catch (const NUVBasException&) {
    }
}

/// One block of reports: each failure in both forms, and unrelated lines.
std::string SampleBlock() {
    const std::string path = std::string(P_tmpdir) + "/triage_bench_block.log";
    std::FILE* saved = std::fopen("/dev/null", "w");
    if (std::freopen(path.c_str(), "w", stderr) == nullptr) std::abort();
    for (int json = 0; json < 2; ++json) {
        NUVZubUttAssertSetReportFormat(json ? NUVZubUttReportFormat::Json
                                            : NUVZubUttReportFormat::Text);
        for (int i = 0; i < 8; ++i) {
            Raise(NUVZubExcNoSuchFile(("/data/run/part-" + std::to_string(i) + ".zub").c_str()),
                  i % 3);
            Raise(NUVZubExcIOBounds(i, i + 4096, 4096), 0);
            std::fprintf(stderr, "2026-12-07 10:00:%02d INFO worker %d finished batch %d\n", i, i,
                         i * 7);
        }
        Raise(NUVZubExcDiskFull(), 1);
    }
    std::fflush(stderr);
    std::fclose(saved);
    std::string block;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    char buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        block.append(buffer, n);
    std::fclose(in);
    std::remove(path.c_str());
    return block;
}

/// A log of at least `mebibytes`, made once per size.
std::string Log(long mebibytes) {
    const std::string path =
        std::string(P_tmpdir) + "/triage_bench_" + std::to_string(mebibytes) + ".log";
    static std::string block = SampleBlock();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    const long long target = static_cast<long long>(mebibytes) << 20;
    for (long long written = 0; written < target; written += static_cast<long long>(block.size()))
        std::fwrite(block.data(), 1, block.size(), out);
    std::fclose(out);
    return path;
}

void BM_Triage(benchmark::State& state) {
    const std::string path = Log(static_cast<long>(state.range(0)));
    long long bytes = 0;
    long peakKiB = 0;
    for (auto _ : state) {
        const pid_t child = fork();
        if (child == 0) {
            if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(9);
            char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
            _exit(Triage(1, argv));
        }
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("triage failed");
        // One core's time: the child's own CPU time, user and system.
        state.SetIterationTime(static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
        peakKiB = usage.ru_maxrss;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        std::fseek(f, 0, SEEK_END);
        bytes += std::ftell(f);
        std::fclose(f);
    }
    state.SetBytesProcessed(bytes);
    state.counters["peak_rss_MiB"] = static_cast<double>(peakKiB) / 1024.0;
    std::remove(path.c_str());
}
BENCHMARK(BM_Triage)->Arg(256)->Arg(1024)->ArgName("MiB")->UseManualTime()->Iterations(3)->Unit(
    benchmark::kMillisecond);

} // namespace
