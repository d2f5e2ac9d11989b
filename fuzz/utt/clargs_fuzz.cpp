// Argument-file contents: expansion never crashes, keeps at most 1024
// arguments of at most 1023 bytes each, and the command line built from the
// same file agrees with it.
#include <NUVBas/NUVBasException.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubCommandLine.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

namespace {

std::string g_path;

void RemoveInput() { std::remove(g_path.c_str()); }

const std::string& InputPath() {
    if (g_path.empty()) {
        g_path = (std::filesystem::temp_directory_path() /
                  ("nuvzub_clargs_fuzz_" + std::to_string(std::random_device{}()) + ".txt"))
                     .string();
        std::atexit(RemoveInput);
    }
    return g_path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = InputPath();
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);

    char program[] = "prog";
    char flag[] = "-clargsfile";
    char* argv[] = {program, flag, const_cast<char*>(path.c_str()), nullptr};

    char* out[NUVZubClArgsMaxArgs] = {};
    int count = 0;
    ReadClArgsFile(3, argv, count, out);
    if (count < 1 || count > NUVZubClArgsMaxArgs) std::abort();
    if (std::strcmp(out[0], "prog") != 0) std::abort();
    for (int i = 0; i < count; ++i)
        if (std::strlen(out[i]) > 1023) std::abort();

    try {
        NUVZubCommandLine commandLine(3, argv);
        if (commandLine.GetNumArgs() != count) std::abort();
        for (int i = 0; i < count; ++i)
            if (commandLine.GetPosition(i).Str() != out[i]) std::abort();
        // Every key an argument names is found again (the first ones: look-ups are linear).
        for (int i = 1; i < count && i < 64; ++i)
            if (out[i][0] == '-' && !commandLine.IsMember(NUVString(out[i] + 1)) &&
                !NUVString(out[i] + 1).IsBAD())
                std::abort();
    } catch (const NUVBasToUTF8Exception&) {
        // Only text that is not UTF-8 may be refused: the "C" locale of a
        // program that never chose one takes arguments as UTF-8.
        bool allUtf8 = true;
        for (int i = 0; i < count; ++i)
            allUtf8 = allUtf8 && !NUVString(out[i]).IsBAD();
        if (allUtf8) std::abort();
    }
    for (int i = 0; i < count; ++i)
        mem_deleteBuiltIn(out[i]);
    return 0;
}
