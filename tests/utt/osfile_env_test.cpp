// The process-wide settings are read once, by the first constructor: every
// case runs in a fresh child with its own environment.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <ChildProcess.h>
#include <NativePaths.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#if defined(_WIN32)
#include <WindowsApi.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

void ClearEnvironment() {
    for (const char* name : {"ZUB_STORAGE_LIMIT", "BAS_DISABLE_FILE_LOCKING",
                             "ZEL_DISABLE_FILE_LOCKING", "RUD_DISABLE_FILE_LOCKING"})
        unsetenv(name);
    NUVZubUttAssertDisableExcReport();
}

template <class E = NUVZubExcDiskFull> bool Refused(const std::function<void()>& step) {
    try {
        step();
    } catch (const E&) {
        return true;
    }
    return false;
}

// A child's exit code: 0 when every check holds, else the first failed one's number.
int FirstFailed(std::initializer_list<bool> checks) {
    int number = 1;
    for (const bool check : checks) {
        if (!check) return number;
        ++number;
    }
    return 0;
}

std::uint64_t Charged() { return NUVZubUttOSFile_StorageCounter(); }

} // namespace

// Each row in a fresh child that sees ZUB_STORAGE_LIMIT as `limit` (unset for
// null) and a file of 50 bytes; its checks run in order.
TEST(OSFileStorageLimit, ChargesAndRefusals) {
    TempDir dir;
    using Body = std::function<int(NUVZubUttOSFile&, const NUVString& fifty)>;
    const auto unlimited = [](NUVZubUttOSFile& file, const NUVString& fifty) {
        NUVZubUttOSFile second; // the environment is read once
        file.OpenWrite(fifty);
        file.WriteAll(std::string(5000, 'z').data(), 5000);
        return FirstFailed({Charged() == 0});
    };
    const struct {
        const char* limit;
        Body body;
        const char* report;
    } rows[] = {
        {"100",
         [](NUVZubUttOSFile& file, const NUVString& fifty) {
             file.OpenWrite(fifty);
             file.WriteAll(std::string(60, 'a').data(), 60);
             file.WriteAll(std::string(40, 'b').data(), 40); // exactly at the limit
             return FirstFailed({Charged() == 100, Refused([&] { file.WriteAll("c", 1); }),
                                 Refused([&] { file.WriteAll("", 0); }), // stays exceeded
                                 file.FileSize() == 100}); // the refused byte never got there
         },
         "=== ZUB Storage limit: 100\n"},
        {"  1000 bytes", // blanks skipped, trailing text ignored
         [](NUVZubUttOSFile& file, const NUVString& fifty) {
             std::uint64_t charged = 0;
             file.OpenRead(fifty);
             const bool read = Charged() == 50;
             file.OpenUpdate(fifty);
             const bool updated = Charged() == 100;
             file.Truncate(20);
             // A position out of range is refused before anything is charged.
             return FirstFailed(
                 {read, updated, Charged() == 70, file.Position() == 20,
                  Refused([&] { file.Truncate(2000); }), (charged = Charged()) >= 70,
                  Refused<NUVZubExcSystemError>([&] { file.Truncate(std::uint64_t{1} << 63); }),
                  Charged() == charged, file.FileSize() == 20});
         },
         "=== ZUB Storage limit: 1000\n"},
        {"1000", // shrinking bytes never charged does not wrap the counter
         [](NUVZubUttOSFile& file, const NUVString& fifty) {
             file.OpenAppend(fifty); // its 50 bytes are not charged
             return FirstFailed({!Refused([&] { file.Truncate(0); }), Charged() == 0,
                                 !Refused([&] { file.WriteAll("abc", 3); }), Charged() == 3});
         },
         "=== ZUB Storage limit: 1000\n"},
        // Growth that Truncate refuses is charged all the same; charged again
        // and again it would pass 2^64 and wrap to a small count that lets
        // writes through. The counter saturates, and a cut does not lower it.
        {"9223372036854775808", // 2^63
         [](NUVZubUttOSFile& file, const NUVString& fifty) {
             NUVZubUttOSFile reader;
             reader.OpenRead(fifty);                            // charges 50
             file.OpenUpdate(fifty);                            // charges 50
             const auto largest = (std::uint64_t{1} << 63) - 1; // the largest position
             const auto grow = [&] { file.Truncate(largest); }; // 100 + 3 * (2^63 - 51) > 2^64
             return FirstFailed({Refused(grow), Refused(grow), Refused(grow),
                                 Charged() == UINT64_MAX, Refused([&] { file.WriteAll("x", 1); }),
                                 Refused([&] { file.WriteAll("", 0); }),
                                 Refused([&] { file.Truncate(0); }), Charged() == UINT64_MAX,
                                 file.FileSize() == 50});
         },
         "=== ZUB Storage limit: 9223372036854775808\n"},
        {nullptr, unlimited, ""},
        {"lots", unlimited, ""},
        {"0", unlimited, "=== ZUB Storage limit: 0\n"},
    };
    for (const auto& row : rows) {
        const NUVString fifty(dir.Write("fifty", std::string(50, 'x')));
        const ChildResult r = RunInChild([&] {
            ClearEnvironment();
#if defined(_WIN32) // as a host built with another C runtime (Python, MSVC) sets it
            if (row.limit)
                SetEnvironmentVariableW(
                    L"ZUB_STORAGE_LIMIT",
                    std::wstring(row.limit, row.limit + std::strlen(row.limit)).c_str());
#else
            if (row.limit) setenv("ZUB_STORAGE_LIMIT", row.limit, 1);
#endif
            NUVZubUttOSFile file;
            return row.body(file, fifty);
        });
        const char* limit = row.limit ? row.limit : "unset";
        EXPECT_EQ(r.exitCode, 0) << limit;
        EXPECT_EQ(r.err, row.report) << limit;
    }
}

TEST(OSFileLocking, OffOnlyWhenAllThreeVariablesAreSet) {
    TempDir dir;
    const char* names[] = {"BAS_DISABLE_FILE_LOCKING", "ZEL_DISABLE_FILE_LOCKING",
                           "RUD_DISABLE_FILE_LOCKING"};
    for (int mask = 0; mask < 8; ++mask) {
        const ChildResult r = RunInChild([&] {
            ClearEnvironment();
            for (int i = 0; i < 3; ++i)
                if (mask & (1 << i)) setenv(names[i], "", 1);
            NUVZubUttOSFile file;
            if (mask == 7 && file.Lock()) return 2; // a disabled lock needs no open file
            file.OpenWrite(NUVString(dir / "l"));
            const bool locked = file.Lock();
            if (locked) file.Unlock();
            return locked ? 1 : 0;
        });
        EXPECT_EQ(r.exitCode, mask == 7 ? 0 : 1) << "mask " << mask;
    }
}

// The candidates in order: TMPDIR, TEMP, TMP, \temp at the root of the
// working directory's drive, the working directory itself. A relative name is
// removed where it was created, after a change of directory too.
TEST(OSFileTemporary, FirstUsableCandidateAndARelativeNameAfterAChangeOfDirectory) {
    SharedTempDir dir; // the child looks at what this test made
    if (!IsChildProcess()) {
        for (const char* sub : {"a", "a/rel", "b", "b/rel", "usable"})
            NUVZubUttFileUtils::MakeDir(NUVString(dir / sub));
        // Not through the library: its first file would read the settings
        // here, before the children of later tests set theirs.
        std::ofstream(std::filesystem::u8path(dir / "plain"));
        std::ofstream(std::filesystem::u8path(dir / "b/rel/ZubTemp.1.tmp")) << "keep";
    }
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        if (!ChangeDir(dir / "a")) return 2;
        NUVZubUttOSFile file;
        file.CreateTemporary(NUVString("rel"));
        if (file.Name().Str() != Native("rel/ZubTemp.1.tmp")) return 3;
        if (!ChangeDir(dir / "b")) return 4;
        file.Close();
        // Missing, then a file: both skipped; the third is a directory.
        setenv("TMPDIR", (dir / "missing").c_str(), 1);
        setenv("TEMP", (dir / "plain").c_str(), 1);
        setenv("TMP", (dir / "usable").c_str(), 1);
        file.CreateTemporary(NUVString(""));
        if (file.Name().Str() != Native(dir / "usable/ZubTemp.1.tmp")) return 5;
        // None usable: the working directory, when no \temp exists at the root.
        unsetenv("TMP");
        if (NUVZubUttFileUtils::FileExists("/temp")) return 0;
        NUVZubUttOSFile second;
        second.CreateTemporary(NUVString(""));
        return second.Name().Str() == Native("./ZubTemp.1.tmp") ? 0 : 6;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadWhole(dir / "b/rel/ZubTemp.1.tmp"), "keep");
    EXPECT_FALSE(NUVZubUttFileUtils::FileExists(NUVString(dir / "a/rel/ZubTemp.1.tmp")));
}

// POSIX descriptors, pipes and FIFOs; the Windows tests cover handles and
// named pipes of their own.
#if !defined(_WIN32)
// A program that closed stderr: a report written to descriptor 2 must not land
// in a file of the library's.
TEST(OSFileDescriptors, AClosedStderrNeverBecomesOneOfOurFiles) {
    TempDir dir;
    const ChildResult r = RunInChild([&]() -> int {
        close(2);
        NUVZubUttOSFile file;
        file.OpenWrite(NUVString(dir / "data"));
        file.WriteAll("precious", 8);
        try {
            NUVZubUttAssert::ReportValidationFailure("reported after stderr was closed");
        } catch (const NUVBasException&) {
        }
        const auto linkOf = [](int fd) {
            char target[4096];
            const ssize_t n =
                readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
            return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
        };
        if (linkOf(2) != "/dev/null") return 2;
        for (int fd = 3; fd < 64; ++fd)
            if (linkOf(fd) == dir / "data" && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) return 3;
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ReadWhole(dir / "data"), "precious");
}

// Pipes, FIFOs and devices have no positions: transfers there are sequential,
// and their Flush has nothing to do. An exception ends the child with 99.
TEST(OSFileStreams, PipesFifosAndDevicesTransferInOrder) {
    TempDir dir;
    const ChildResult r = RunInChild([&]() -> int {
        alarm(10);
        ClearEnvironment();
        int input[2], output[2];
        if (pipe(input) != 0 || pipe(output) != 0) return 2;
        if (write(input[1], "piped input", 11) != 11) return 2;
        close(input[1]);
        dup2(input[0], 0);
        dup2(output[1], 1);
        char buffer[32] = {};
        NUVZubUttOSFile file;
        file.OpenRead("/dev/stdin");
        if (file.Read(buffer, sizeof buffer) != 11 || std::memcmp(buffer, "piped input", 11))
            return 3;
        file.OpenAppend("/dev/stdout");
        file.WriteAll("to the pipe", 11);
        file.Flush();
        if (read(output[0], buffer, 11) != 11 || std::memcmp(buffer, "to the pipe", 11)) return 4;
        file.OpenWrite("/dev/null");
        file.WriteAll("x", 1);
        file.Flush();
        if (mkfifo((dir / "fifo").c_str(), 0600) != 0) return 5;
        std::thread writer([&] { std::ofstream(dir / "fifo") << "through a fifo"; });
        NUVZubUttFileUtils::Copy(NUVString(dir / "fifo"), NUVString(dir / "copy"));
        writer.join();
        return ReadWhole(dir / "copy") == "through a fifo" ? 0 : 7;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
#endif
