// The process-wide settings are read once, by the first constructor: every
// case runs in a fresh child with its own environment.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <ChildProcess.h>
#include <NativePaths.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <NUVZub/NUVZubUttFileUtils.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
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

// Exit codes of the children: 0 for success, a distinct number per failed step.
int WritesUnderLimit(const std::string& path) {
#if defined(_WIN32) // as a host built with another C runtime (Python, MSVC) sets it
    SetEnvironmentVariableW(L"ZUB_STORAGE_LIMIT", L"100");
#else
    setenv("ZUB_STORAGE_LIMIT", "100", 1);
#endif
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(path));
    file.WriteAll(std::string(60, 'a').data(), 60);
    file.WriteAll(std::string(40, 'b').data(), 40); // exactly at the limit
    if (NUVZubUttOSFile_StorageCounter() != 100) return 2;
    try {
        file.WriteAll("c", 1);
        return 3;
    } catch (const NUVZubExcDiskFull&) {
    }
    try {
        file.WriteAll("", 0); // the budget stays exceeded
        return 4;
    } catch (const NUVZubExcDiskFull&) {
    }
    if (file.FileSize() != 100) return 5; // the refused byte never reached the disk
    return 0;
}

#if !defined(_WIN32)
std::string LinkOf(int fd) {
    char target[4096];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
    return n < 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
}
#endif

} // namespace

// A program that closed stderr: a report written to descriptor 2 must not land
// in a file of the library's.
// POSIX descriptors, pipes and FIFOs; the Windows tests cover handles and
// named pipes of their own.
#if !defined(_WIN32)
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
        if (LinkOf(2) != "/dev/null") return 2;
        for (int fd = 3; fd < 64; ++fd)
            if (LinkOf(fd) == dir / "data" && (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) return 3;
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ReadWhole(dir / "data"), "precious");
}

// Pipes, FIFOs and devices have no positions: transfers there are sequential,
// and their Flush has nothing to do.
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
        try {
            NUVZubUttOSFile file;
            file.OpenRead("/dev/stdin");
            if (file.Read(buffer, sizeof buffer) != 11 || std::memcmp(buffer, "piped input", 11))
                return 3;
            file.OpenAppend("/dev/stdout");
            file.WriteAll("to the pipe", 11);
            file.Flush();
            if (read(output[0], buffer, 11) != 11 || std::memcmp(buffer, "to the pipe", 11))
                return 4;
            file.OpenWrite("/dev/null");
            file.WriteAll("x", 1);
            file.Flush();
            if (mkfifo((dir / "fifo").c_str(), 0600) != 0) return 5;
            std::thread writer([&] { std::ofstream(dir / "fifo") << "through a fifo"; });
            NUVZubUttFileUtils::Copy(NUVString(dir / "fifo"), NUVString(dir / "copy"));
            writer.join();
        } catch (const NUVBasException& e) {
            std::fputs(e.AsString(NUVBasStringMode(false)).CStr(), stderr);
            return 6;
        }
        return ReadWhole(dir / "copy") == "through a fifo" ? 0 : 7;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
#endif

TEST(OSFileStorageLimit, ExactlyAtTheLimitThenRefused) {
    TempDir dir;
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        return WritesUnderLimit(dir / "f");
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "=== ZUB Storage limit: 100\n");
}

TEST(OSFileStorageLimit, OpenChargesTheLengthAndTruncateLowersTheCounter) {
    TempDir dir;
    dir.Write("fifty", std::string(50, 'x'));
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        setenv("ZUB_STORAGE_LIMIT", "  1000 bytes", 1); // blanks skipped, trailing text ignored
        NUVZubUttOSFile file;
        file.OpenRead(NUVString(dir / "fifty"));
        if (NUVZubUttOSFile_StorageCounter() != 50) return 2;
        file.Close();
        file.OpenUpdate(NUVString(dir / "fifty"));
        if (NUVZubUttOSFile_StorageCounter() != 100) return 3;
        file.Truncate(20);
        if (NUVZubUttOSFile_StorageCounter() != 70) return 4;
        if (file.Position() != 20) return 5;
        try {
            file.Truncate(2000);
            return 6;
        } catch (const NUVZubExcDiskFull&) {
        }
        const auto charged = NUVZubUttOSFile_StorageCounter();
        try { // a position out of range is refused before anything is charged
            file.Truncate(std::uint64_t{1} << 63);
            return 8;
        } catch (const NUVZubExcSystemError&) {
        }
        if (NUVZubUttOSFile_StorageCounter() != charged) return 9;
        return file.FileSize() == 20 ? 0 : 7;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "=== ZUB Storage limit: 1000\n");
}

TEST(OSFileStorageLimit, ShrinkingBytesNeverChargedDoesNotWrapTheCounter) {
    TempDir dir;
    dir.Write("log", std::string(50, 'x'));
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        setenv("ZUB_STORAGE_LIMIT", "1000", 1);
        NUVZubUttOSFile file;
        file.OpenAppend(NUVString(dir / "log")); // its 50 bytes are not charged
        try {
            file.Truncate(0);
        } catch (const NUVZubExcDiskFull&) {
            return 2;
        }
        if (NUVZubUttOSFile_StorageCounter() != 0) return 3;
        try {
            file.WriteAll("abc", 3); // the budget still holds
        } catch (const NUVZubExcDiskFull&) {
            return 4;
        }
        return NUVZubUttOSFile_StorageCounter() == 3 ? 0 : 5;
    });
    EXPECT_EQ(r.exitCode, 0);
}

// Growth that Truncate refuses is charged all the same; charged again and
// again it would pass 2^64 and wrap to a small count that lets writes through.
// The counter saturates instead, and a cut does not lower it any more.
TEST(OSFileStorageLimit, TheCounterSaturatesAndStaysExceeded) {
    TempDir dir;
    dir.Write("two", "ab");
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        setenv("ZUB_STORAGE_LIMIT", "9223372036854775808", 1); // 2^63
        NUVZubUttOSFile reader, file;
        reader.OpenRead(NUVString(dir / "two")); // charges 2
        file.OpenUpdate(NUVString(dir / "two")); // charges 2
        const auto refused = [&](const std::function<void()>& step) {
            try {
                step();
            } catch (const NUVZubExcDiskFull&) {
                return true;
            }
            return false;
        };
        const std::uint64_t largest = (std::uint64_t{1} << 63) - 1; // the largest position
        for (int i = 0; i < 3; ++i) // 4 + 3 * (2^63 - 3) is past 2^64
            if (!refused([&] { file.Truncate(largest); })) return 2 + i;
        if (NUVZubUttOSFile_StorageCounter() != UINT64_MAX) return 5;
        if (!refused([&] { file.WriteAll("x", 1); })) return 6;
        if (!refused([&] { file.WriteAll("", 0); })) return 7;
        if (!refused([&] { file.Truncate(0); })) return 8;
        if (NUVZubUttOSFile_StorageCounter() != UINT64_MAX) return 9;
        return file.FileSize() == 2 ? 0 : 10;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST(OSFileStorageLimit, UnsetUnparsableOrZeroMeansNoLimit) {
    TempDir dir;
    for (const char* value : {static_cast<const char*>(nullptr), "lots", "0"}) {
        const ChildResult r = RunInChild([&] {
            ClearEnvironment();
            if (value) setenv("ZUB_STORAGE_LIMIT", value, 1);
            NUVZubUttOSFile file;
            NUVZubUttOSFile second; // the environment is read once
            file.OpenWrite(NUVString(dir / "f"));
            file.WriteAll(std::string(5000, 'z').data(), 5000);
            return NUVZubUttOSFile_StorageCounter() == 0 ? 0 : 2;
        });
        EXPECT_EQ(r.exitCode, 0) << (value ? value : "unset");
        EXPECT_EQ(r.err, value && std::string(value) == "0" ? "=== ZUB Storage limit: 0\n" : "")
            << (value ? value : "unset");
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
// working directory's drive, the working directory itself.
TEST(OSFileTemporary, ARelativeNameIsRemovedWhereItWasCreatedAfterAChangeOfDirectory) {
    SharedTempDir dir;
    if (!IsChildProcess()) {
        for (const char* sub : {"a", "a/rel", "b", "b/rel"})
            NUVZubUttFileUtils::MakeDir(NUVString(dir / sub));
        NUVZubUttOSFile other;
        other.OpenWrite(NUVString(dir / "b/rel/ZubTemp.1.tmp"));
        other.WriteAll("keep", 4);
    }
    const ChildResult r = RunInChild([&] {
        if (!ChangeDir(dir / "a")) return 2;
        NUVZubUttOSFile file;
        file.CreateTemporary(NUVString("rel"));
        if (file.Name().Str() != Native("rel/ZubTemp.1.tmp")) return 3;
        if (!ChangeDir(dir / "b")) return 4;
        file.Close();
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadWhole(dir / "b/rel/ZubTemp.1.tmp"), "keep");
    EXPECT_FALSE(NUVZubUttFileUtils::FileExists(NUVString(dir / "a/rel/ZubTemp.1.tmp")));
}

TEST(OSFileTemporary, FirstUsableCandidateDirectoryIsTaken) {
    SharedTempDir dir; // the child looks at what this test made
    if (!IsChildProcess()) {
        NUVZubUttOSFile plain;
        plain.OpenWrite(NUVString(dir / "plain"));
        NUVZubUttFileUtils::MakeDir(NUVString(dir / "usable"));
        NUVZubUttFileUtils::MakeDir(NUVString(dir / "cwd"));
    }
    const ChildResult r = RunInChild([&] {
        ClearEnvironment();
        // Missing, then a file: both skipped; the third is a directory.
        setenv("TMPDIR", (dir / "missing").c_str(), 1);
        setenv("TEMP", (dir / "plain").c_str(), 1);
        setenv("TMP", (dir / "usable").c_str(), 1);
        NUVZubUttOSFile file;
        file.CreateTemporary(NUVString(""));
        if (file.Name().Str() != Native(dir / "usable/ZubTemp.1.tmp")) return 2;
        // None usable: the working directory, when no \temp exists at the root.
        unsetenv("TMP");
        if (!ChangeDir(dir / "cwd")) return 3;
        if (NUVZubUttFileUtils::FileExists("/temp")) return 0;
        NUVZubUttOSFile second;
        second.CreateTemporary(NUVString(""));
        return second.Name().Str() == Native("./ZubTemp.1.tmp") ? 0 : 4;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
