// Command line: expanding a full argument file, and key look-ups on the result.
#include <NUVZub/NUVZubCommandLine.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// 1023 lines of 100 characters: the most an argument file contributes (the
// program name takes the 1024th slot). Keys and 100-character values alternate.
constexpr int kLines = 1023;
constexpr int kKeys = (kLines + 1) / 2;

std::string KeyName(int k) { return "key" + std::to_string(k); }

const std::string& ArgsFile() {
    static const std::string path = [] {
        std::string p =
            (std::filesystem::temp_directory_path() / "nuvzub_commandline_bench.txt").string();
        std::ofstream out(p);
        for (int line = 0; line < kLines; ++line) {
            std::string text =
                line % 2 == 0 ? "-" + KeyName(line / 2) : "value" + std::to_string(line);
            text.resize(100, 'x');
            out << text << '\n';
        }
        return p;
    }();
    return path;
}

std::vector<char*> Argv(std::string& program, std::string& flag) {
    return {program.data(), flag.data(), const_cast<char*>(ArgsFile().c_str()), nullptr};
}

void BM_ParseArgumentFile(benchmark::State& state) {
    std::string program = "prog", flag = "-clargsfile";
    std::vector<char*> argv = Argv(program, flag);
    for (auto _ : state) {
        NUVZubCommandLine commandLine(3, argv.data());
        benchmark::DoNotOptimize(commandLine.GetNumArgs());
    }
    state.SetItemsProcessed(state.iterations() * kLines);
}
BENCHMARK(BM_ParseArgumentFile)->Unit(benchmark::kMicrosecond);

// 10,000 look-ups per iteration, spread evenly over the keys (the padded key
// texts as written in the file).
std::vector<NUVString> LookupKeys() {
    std::vector<NUVString> keys;
    for (int i = 0; i < 10000; ++i) {
        std::string text = "-" + KeyName((i * 37) % kKeys);
        text.resize(100, 'x');
        keys.emplace_back(text.substr(1));
    }
    return keys;
}

void BM_GetString10k(benchmark::State& state) {
    std::string program = "prog", flag = "-clargsfile";
    std::vector<char*> argv = Argv(program, flag);
    NUVZubCommandLine commandLine(3, argv.data());
    const std::vector<NUVString> keys = LookupKeys();
    const NUVString fallback("none");
    if (&commandLine.GetString(keys[1], fallback) == &fallback)
        state.SkipWithError("key not found");
    for (auto _ : state)
        for (const NUVString& key : keys)
            benchmark::DoNotOptimize(&commandLine.GetString(key, fallback));
    state.SetItemsProcessed(state.iterations() * keys.size());
}
BENCHMARK(BM_GetString10k)->Unit(benchmark::kMillisecond);

void BM_IsMemberCaseInsensitive10k(benchmark::State& state) {
    std::string program = "prog", flag = "-clargsfile";
    std::vector<char*> argv = Argv(program, flag);
    NUVZubCommandLine commandLine(3, argv.data());
    const std::vector<NUVString> keys = LookupKeys();
    for (auto _ : state)
        for (const NUVString& key : keys)
            benchmark::DoNotOptimize(commandLine.IsMember(key, true));
    state.SetItemsProcessed(state.iterations() * keys.size());
}
BENCHMARK(BM_IsMemberCaseInsensitive10k)->Unit(benchmark::kMillisecond);

} // namespace
