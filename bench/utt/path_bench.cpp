// Path-string functions per call against std::filesystem::path on the same
// 10,000 mixed paths (POSIX, drive, server, relative, multi-byte names).
#include <NUVZub/NUVZubUttFilePathParser.h>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace P = NUVZubUttFilePathParser;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPaths = 10000;

struct Corpus {
    std::vector<std::string> text;
    std::vector<NUVString> paths, names, others;
    std::vector<fs::path> fsPaths, fsNames, fsOthers;
};

std::string MakePath(std::mt19937& rng) {
    static const char* const words[] = {"usr",  "lib",     "données", "project", "build.d",
                                        "src",  "a",       "x64",     "Überset", "tmp",
                                        "home", "archive", "数据",    "v1.2",    "out"};
    static const char* const files[] = {"file.txt", "x.so",   "main.cpp",  "archive.tar.gz",
                                        ".hidden",  "README", "фото.jpeg", "data.bin"};
    std::uniform_int_distribution<int> word(0, 14), file(0, 7), depth(1, 6), kind(0, 3);
    const int k = kind(rng);
    const char sep = k == 0 || k == 3 ? '/' : '\\';
    std::string path = k == 0 ? "/" : k == 1 ? "C:\\" : k == 2 ? "\\\\server\\share\\" : "";
    for (int d = depth(rng); d > 0; --d)
        path.append(words[word(rng)]).push_back(sep);
    return path + files[file(rng)];
}

const Corpus& Paths() {
    static const Corpus corpus = [] {
        Corpus c;
        std::mt19937 rng(20240611);
        for (std::size_t i = 0; i < kPaths; ++i)
            c.text.push_back(MakePath(rng));
        std::vector<std::string> names, others;
        for (std::size_t i = 0; i < kPaths; ++i) {
            const std::string& t = c.text[i];
            names.push_back(t.substr(t.find_last_of("/\\") + 1));
            // Every other comparison is against the same path with its
            // separators flipped, so the walk runs the whole length.
            std::string other = c.text[(i * 7919 + 1) % kPaths];
            if (i % 2 == 0) {
                other = t;
                for (char& ch : other)
                    ch = ch == '/' ? '\\' : ch == '\\' ? '/' : ch;
            }
            others.push_back(other);
        }
        // Each set in its own run of allocations, so neither side's texts are
        // scattered among the other's.
        for (const auto& t : c.text)
            c.paths.emplace_back(t);
        for (const auto& t : names)
            c.names.emplace_back(t);
        for (const auto& t : others)
            c.others.emplace_back(t);
        for (const auto& t : c.text)
            c.fsPaths.emplace_back(t);
        for (const auto& t : names)
            c.fsNames.emplace_back(t);
        for (const auto& t : others)
            c.fsOthers.emplace_back(t);
        return c;
    }();
    return corpus;
}

template <class F> void PerPath(benchmark::State& state, F f) {
    const Corpus& c = Paths();
    std::size_t i = 0;
    for (auto _ : state) {
        f(c, i);
        if (++i == kPaths) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_DirPath(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(P::DirPath(c.paths[i]));
    });
}
void BM_FsParentPath(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(c.fsPaths[i].parent_path());
    });
}
void BM_Tail(benchmark::State& s) {
    PerPath(s,
            [](const Corpus& c, std::size_t i) { benchmark::DoNotOptimize(P::Tail(c.paths[i])); });
}
void BM_FsFilename(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(c.fsPaths[i].filename());
    });
}
void BM_Extension(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(P::Extension(c.paths[i]));
    });
}
void BM_FsExtension(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(c.fsPaths[i].extension());
    });
}
void BM_Join(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(P::Join(c.paths[i], c.names[(i + 1) % kPaths]));
    });
}
void BM_FsJoin(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(c.fsPaths[i] / c.fsNames[(i + 1) % kPaths]);
    });
}
void BM_CompareFilePaths(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(P::CompareFilePaths(c.paths[i], c.others[i]));
    });
}
void BM_FsCompare(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(c.fsPaths[i].compare(c.fsOthers[i]));
    });
}

// A caller holding a path as text pays for std::filesystem's parse as well.
void BM_FsParentPathFromText(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(fs::path(c.text[i]).parent_path());
    });
}
void BM_FsFilenameFromText(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(fs::path(c.text[i]).filename());
    });
}
void BM_FsExtensionFromText(benchmark::State& s) {
    PerPath(s, [](const Corpus& c, std::size_t i) {
        benchmark::DoNotOptimize(fs::path(c.text[i]).extension());
    });
}

} // namespace

BENCHMARK(BM_DirPath);
BENCHMARK(BM_FsParentPath);
BENCHMARK(BM_Tail);
BENCHMARK(BM_FsFilename);
BENCHMARK(BM_Extension);
BENCHMARK(BM_FsExtension);
BENCHMARK(BM_Join);
BENCHMARK(BM_FsJoin);
BENCHMARK(BM_CompareFilePaths);
BENCHMARK(BM_FsCompare);
BENCHMARK(BM_FsParentPathFromText);
BENCHMARK(BM_FsFilenameFromText);
BENCHMARK(BM_FsExtensionFromText);
