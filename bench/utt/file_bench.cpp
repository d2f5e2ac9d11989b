// The OS file, Copy, GlobRange and CreateGenerated, each beside its raw anchor.
// Sizes come from the environment so that a small machine can run it:
//   NUVZUB_BENCH_DIR       scratch directory (default /tmp)
//   NUVZUB_BENCH_SEQ_MIB   sequential file size (default 1024)
//   NUVZUB_BENCH_COPY_MIB  copied file size (default 512)
//   NUVZUB_BENCH_GLOB_FILES files in the globbed directory (default 100000)
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 10) : fallback;
}

std::string Scratch(const std::string& name) {
    const char* dir = std::getenv("NUVZUB_BENCH_DIR");
    return std::string(dir ? dir : "/tmp") + "/nuvzub_bench_" + name;
}

constexpr std::size_t kMiB = 1 << 20;
const std::uint64_t kSeqBytes = EnvNumber("NUVZUB_BENCH_SEQ_MIB", 1024) * kMiB;
const std::uint64_t kCopyBytes = EnvNumber("NUVZUB_BENCH_COPY_MIB", 512) * kMiB;
const std::uint64_t kGlobFiles = EnvNumber("NUVZUB_BENCH_GLOB_FILES", 100000);
constexpr std::uint64_t kRandomFileBytes = 256 * kMiB;

void MakeFile(const std::string& path, std::uint64_t bytes) {
    std::vector<char> block(kMiB, 'q');
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (std::uint64_t done = 0; done < bytes; done += kMiB)
        if (::write(fd, block.data(), kMiB) < 0) std::abort();
    ::close(fd);
}

// ---- sequential 1 MiB transfers ----

void BM_OSFile_WriteAll_Sequential(benchmark::State& state) {
    const std::string path = Scratch("seq_osfile");
    std::vector<char> block(kMiB, 'w');
    for (auto _ : state) {
        NUVZubUttOSFile file;
        file.OpenWrite(NUVString(path));
        for (std::uint64_t done = 0; done < kSeqBytes; done += kMiB)
            file.WriteAll(block.data(), kMiB);
    }
    state.SetBytesProcessed(state.iterations() * kSeqBytes);
}

void BM_Raw_Write_Sequential(benchmark::State& state) {
    const std::string path = Scratch("seq_raw");
    std::vector<char> block(kMiB, 'w');
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        for (std::uint64_t done = 0; done < kSeqBytes; done += kMiB)
            if (::write(fd, block.data(), kMiB) < 0) std::abort();
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kSeqBytes);
}

void BM_OSFile_Read_Sequential(benchmark::State& state) {
    const std::string path = Scratch("seq_osfile");
    std::vector<char> block(kMiB);
    for (auto _ : state) {
        NUVZubUttOSFile file;
        file.OpenRead(NUVString(path));
        while (file.Read(block.data(), kMiB) != 0) {
        }
    }
    state.SetBytesProcessed(state.iterations() * kSeqBytes);
}

void BM_Raw_Read_Sequential(benchmark::State& state) {
    const std::string path = Scratch("seq_raw");
    std::vector<char> block(kMiB);
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_RDONLY);
        while (::read(fd, block.data(), kMiB) > 0) {
        }
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * kSeqBytes);
}

// ---- 4 KiB at random offsets ----
// Library and raw call side by side; compare them with interleaved repetitions:
//   --benchmark_filter=Random4K --benchmark_enable_random_interleaving=true
//   --benchmark_repetitions=12

// Made once, so that repetitions in any order find the same file in the cache.
const std::string& RandomFile() {
    static const std::string path = [] {
        const std::string made = Scratch("random");
        MakeFile(made, kRandomFileBytes);
        return made;
    }();
    return path;
}

std::vector<std::uint64_t> RandomOffsets() {
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> offsets(4096);
    for (auto& offset : offsets)
        offset = (random() % (kRandomFileBytes / 4096)) * 4096;
    return offsets;
}

void BM_OSFile_ReadAtomic_Random4K(benchmark::State& state) {
    const std::string& path = RandomFile();
    const auto offsets = RandomOffsets();
    char buffer[4096];
    NUVZubUttOSFile file;
    file.OpenRead(NUVString(path));
    std::size_t i = 0;
    for (auto _ : state) {
        file.ReadAtomic(offsets[i++ % offsets.size()], buffer, sizeof buffer);
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(state.iterations() * 4096);
}

void BM_Raw_Pread_Random4K(benchmark::State& state) {
    const std::string& path = RandomFile();
    const auto offsets = RandomOffsets();
    char buffer[4096];
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::size_t i = 0;
    for (auto _ : state) {
        if (::pread(fd, buffer, sizeof buffer, offsets[i++ % offsets.size()]) < 0) std::abort();
        benchmark::DoNotOptimize(buffer);
    }
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * 4096);
}

void BM_OSFile_WriteAtomic_Random4K(benchmark::State& state) {
    const std::string& path = RandomFile();
    const auto offsets = RandomOffsets();
    char buffer[4096] = {};
    NUVZubUttOSFile file;
    file.OpenUpdate(NUVString(path));
    std::size_t i = 0;
    for (auto _ : state)
        file.WriteAtomic(offsets[i++ % offsets.size()], buffer, sizeof buffer);
    state.SetBytesProcessed(state.iterations() * 4096);
}

void BM_Raw_Pwrite_Random4K(benchmark::State& state) {
    const std::string& path = RandomFile();
    const auto offsets = RandomOffsets();
    char buffer[4096] = {};
    const int fd = ::open(path.c_str(), O_RDWR);
    std::size_t i = 0;
    for (auto _ : state)
        if (::pwrite(fd, buffer, sizeof buffer, offsets[i++ % offsets.size()]) < 0) std::abort();
    ::close(fd);
    state.SetBytesProcessed(state.iterations() * 4096);
}

// ---- copy ----

void BM_Copy(benchmark::State& state) {
    const std::string from = Scratch("copy_from");
    MakeFile(from, kCopyBytes);
    const NUVString to(Scratch("copy_to"));
    for (auto _ : state)
        NUVZubUttFileUtils::Copy(NUVString(from), to);
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
}

void BM_SystemCp(benchmark::State& state) {
    const std::string command = "cp " + Scratch("copy_from") + " " + Scratch("copy_cp");
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) std::abort();
    state.SetBytesProcessed(state.iterations() * kCopyBytes);
}

// ---- globbing a large directory ----

std::string GlobDirectory() {
    const std::string dir = Scratch("glob");
    if (::mkdir(dir.c_str(), 0755) == 0) {
        for (std::uint64_t i = 0; i < kGlobFiles; ++i)
            ::close(::open((dir + "/f" + std::to_string(i) + ".dat").c_str(), O_CREAT | O_WRONLY,
                           0644));
    }
    return dir;
}

void BM_GlobRange(benchmark::State& state) {
    const std::string pattern = GlobDirectory() + "/*.dat";
    for (auto _ : state) {
        std::size_t count = 0;
        for (NUVZubUttFileUtils::GlobRange range{NUVString(pattern)}; !range.Empty();
             range.Next()) {
            benchmark::DoNotOptimize(range.Front());
            ++count;
        }
        if (count != kGlobFiles) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kGlobFiles);
}

void BM_Glob3(benchmark::State& state) {
    const std::string pattern = GlobDirectory() + "/*.dat";
    for (auto _ : state) {
        glob_t result;
        ::glob(pattern.c_str(), 0, nullptr, &result);
        benchmark::DoNotOptimize(result.gl_pathc);
        ::globfree(&result);
    }
    state.SetItemsProcessed(state.iterations() * kGlobFiles);
}

void BM_ReaddirLoop(benchmark::State& state) {
    const std::string dir = GlobDirectory();
    for (auto _ : state) {
        DIR* d = ::opendir(dir.c_str());
        std::size_t count = 0;
        while (dirent* e = ::readdir(d))
            count += e->d_name[0] != '.';
        ::closedir(d);
        benchmark::DoNotOptimize(count);
    }
    state.SetItemsProcessed(state.iterations() * kGlobFiles);
}

// ---- the 1,000th generated file ----

void BM_CreateGenerated_1000th(benchmark::State& state) {
    const std::string dir = Scratch("generated");
    ::mkdir(dir.c_str(), 0755);
    for (int i = 1; i <= 999; ++i)
        ::close(
            ::open((dir + "/g." + std::to_string(i) + ".dat").c_str(), O_CREAT | O_WRONLY, 0644));
    const NUVString base(dir + "/g");
    for (auto _ : state) {
        NUVZubUttOSFile file;
        file.CreateGenerated(base, ".dat", false);
        state.PauseTiming();
        file.Close();
        ::unlink((dir + "/g.1000.dat").c_str());
        state.ResumeTiming();
    }
}

} // namespace

BENCHMARK(BM_OSFile_WriteAll_Sequential)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Raw_Write_Sequential)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_OSFile_Read_Sequential)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Raw_Read_Sequential)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_OSFile_ReadAtomic_Random4K);
BENCHMARK(BM_Raw_Pread_Random4K);
BENCHMARK(BM_OSFile_WriteAtomic_Random4K);
BENCHMARK(BM_Raw_Pwrite_Random4K);
BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_SystemCp)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_GlobRange)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Glob3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaddirLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CreateGenerated_1000th)->Unit(benchmark::kMicrosecond);
