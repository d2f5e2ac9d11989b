#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZub/NUVZubUttOSFile.h>

#include <ChildProcess.h>
#include <SystemCallFaults.h>
#include <TempDir.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <WindowsApi.h>
#else
#include <CancelledThread.h>

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#endif

namespace {

struct OSFile : ::testing::Test {
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
    TempDir dir;
};

template <class E> bool Is(const NUVBasException& e) { return dynamic_cast<const E*>(&e); }
template <class E> std::string Code(const E& e) {
    return " " + std::to_string(e.GetSystemErrorCode().GetCode());
}

// What `step` threw, thrown by the file class itself: its kind, or the failed
// call's service, and the code or name it carries; "none" if it returned.
std::string Outcome(const std::function<void()>& step) {
    try {
        step();
        return "none";
    } catch (const NUVBasException& e) {
        EXPECT_STREQ(e.GetSourceFile(), "NUVZub/NUVZubUtt.m/src/NUVZubUttOSFile");
        if (auto* s = dynamic_cast<const NUVZubExcSystemError*>(&e))
            return s->GetServiceName().AsString() + Code(*s);
        if (auto* r = dynamic_cast<const NUVZubExcReadError*>(&e)) return "ReadError" + Code(*r);
        if (auto* w = dynamic_cast<const NUVZubExcWriteError*>(&e)) return "WriteError" + Code(*w);
        if (auto* c = dynamic_cast<const NUVZubExcFileCloseFailed*>(&e))
            return "CloseFailed" + Code(*c);
        if (auto* n = dynamic_cast<const NUVZubExcNoSuchFile*>(&e))
            return "NoSuchFile " + std::string(n->GetFile_name().AsString());
        if (Is<NUVZubExcDiskFull>(e)) return "DiskFull";
        if (Is<NUVZubExcReadOnly>(e)) return "ReadOnly";
        if (Is<NUVZubExcFileNotOpen>(e)) return "FileNotOpen";
        if (Is<NUVZubExcShortWrite>(e)) return "ShortWrite";
        return "another exception";
    }
}

// The outcomes of opening `path` in each mode: read, update, write, append.
std::string Opens(NUVZubUttOSFile& file, const std::string& path) {
    std::string outcomes;
    for (auto open : {&NUVZubUttOSFile::OpenRead, &NUVZubUttOSFile::OpenUpdate,
                      &NUVZubUttOSFile::OpenWrite, &NUVZubUttOSFile::OpenAppend})
        outcomes +=
            (outcomes.empty() ? "" : ", ") + Outcome([&] { (file.*open)(NUVString(path)); });
    return outcomes;
}

std::string Failed(const char* service, int code) { return service + (" " + std::to_string(code)); }

#if defined(_WIN32)
// 1 while a handle holds `path`: an open that shares nothing fails only then.
int Holders(const std::string& path) {
    const HANDLE h = CreateFileW(utf16::Widen(path).c_str(), GENERIC_READ, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(h);
    return 0;
}
#else
std::size_t EntriesIn(const std::string& path) {
    std::size_t count = 0;
    DIR* d = opendir(path.c_str());
    while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++count;
    closedir(d);
    return count;
}
// The descriptors of this process open on `path`.
int Holders(const std::string& path) {
    int count = 0;
    DIR* d = opendir("/proc/self/fd");
    while (dirent* e = readdir(d)) {
        char target[4096];
        const ssize_t n =
            readlink(("/proc/self/fd/" + std::string(e->d_name)).c_str(), target, sizeof target);
        count += n > 0 && path == std::string(target, static_cast<std::size_t>(n));
    }
    closedir(d);
    return count;
}
#endif

// Still open when the process exits; constructed before anything the library
// makes on first use, so destroyed after it.
NUVZubUttOSFile g_openAtExit;

} // namespace

TEST_F(OSFile, OpenModesReadWriteSeekAndTruncate) {
    NUVZubUttOSFile file;
    EXPECT_FALSE(file.IsOpen());
    EXPECT_TRUE(file.Name().IsNull());
    const NUVString path(dir / "f");
    file.OpenWrite(path);
    EXPECT_TRUE(file.IsOpen());
    file.WriteAll("hello world", 11);
    EXPECT_EQ(file.Position(), 11u);
    EXPECT_EQ(file.FileSize(), 11u);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    file.OpenUpdate(path);
    file.Seek(6);
    file.WriteAll("WORLD", 5);
    file.OpenAppend(path); // lands at the end whatever the position says
    file.WriteAll("!", 1);
    file.Close();
    EXPECT_EQ(ReadWhole(dir / "f"), "hello WORLD!");

    file.OpenRead(path);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 0), 0u);
    file.Seek(4);
    EXPECT_EQ(file.Read(buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "o W");
    EXPECT_EQ(file.Read(buffer, 16), 5u); // short only at the end
    EXPECT_EQ(std::string(buffer, 5), "ORLD!");
    EXPECT_EQ(file.Read(buffer, 16), 0u);
    EXPECT_EQ(file.ReadAtomic(1, buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "el");
    EXPECT_EQ(file.Position(), 3u);
    EXPECT_EQ(Outcome([&] { file.WriteAll("x", 1); }), "ReadOnly");
    file.Flush(); // nothing to flush on a read-only file
    EXPECT_EQ(ReadWhole(dir / "f"), "hello WORLD!");

    file.OpenWrite(path); // empties
    EXPECT_EQ(file.FileSize(), 0u);
    file.Seek(100);
    file.WriteAll("x", 1);
    EXPECT_EQ(file.FileSize(), 101u);
    file.Truncate(10);
    EXPECT_EQ(file.Position(), 10u);
    EXPECT_EQ(file.FileSize(), 10u);
    file.Truncate(20);
    EXPECT_EQ(file.FileSize(), 20u);
    file.Flush();
    file.OpenAppend(NUVString(dir / "new")); // creates
    EXPECT_TRUE(NUVZubUttFileUtils::FileExists(NUVString(dir / "new")));
}

// Only a missing file is NoSuchFile, and only OpenRead writes its notice; a
// missing directory, or a file where a directory should be, failed the open.
TEST_F(OSFile, FailedOpensInEveryMode) {
    const std::string missing = dir / "none", plain = dir.Write("plain", "");
    const std::string notice = "!!! Throwing NUVZubExcNoSuchFile:\n!!!  " + missing + "\n";
    NUVZubUttOSFile file;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Outcome([&] { file.OpenRead(NUVString(missing)); }), "NoSuchFile " + missing);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Name().Str(), missing); // the name survives the failure
    const auto each = [](const std::string& o) { return o + ", " + o + ", " + o + ", " + o; };
    const struct {
        std::string path, outcomes;
    } rows[] = {
        {dir / "no/dir", each(Failed("CreateFile", fault::kMissingDirectory))},
        {dir.Path(), each(Failed("CreateFile", fault::kIsDirectory))},
#if !defined(_WIN32)
        {plain + "/x", each(Failed("CreateFile", ENOTDIR))},
#endif
    };
    EXPECT_EQ(Opens(file, missing),
              "NoSuchFile " + missing + ", NoSuchFile " + missing + ", none, none");
    for (const auto& row : rows)
        EXPECT_EQ(Opens(file, row.path), row.outcomes) << row.path;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), notice + notice);
    EXPECT_THROW(file.OpenRead(NUVString("\xff")), NUVZubExcBadStringArgument);
    // A temporary whose name the system refuses is not taken for open.
    EXPECT_ANY_THROW(file.CreateGenerated(NUVString(dir / std::string(300, 'n')), ".dat", true));
    EXPECT_FALSE(file.IsOpen());
    {
        fault::Scoped f(fault::kOpen, fault::kTooManyFiles);
        EXPECT_EQ(Opens(file, plain), each(Failed("CreateFile", fault::kTooManyFiles)));
        EXPECT_FALSE(file.IsOpen());
    }
#if !defined(_WIN32)
    // Windows' read-only attribute refuses even administrators, yet Wine lets
    // root write: fileutils_test checks that the attribute makes a file unwriteable.
    ASSERT_EQ(chmod(plain.c_str(), 0444), 0);
    EXPECT_FALSE(NUVZubUttFileUtils::IsWriteable(NUVString(plain)));
    const std::string denied = Failed("CreateFile", EACCES);
    EXPECT_EQ(Opens(file, plain), geteuid() == 0
                                      ? each("none") // root's privilege
                                      : "none, " + denied + ", " + denied + ", " + denied);
#endif
}

TEST_F(OSFile, AFullDeviceGivesDiskFull) {
#if defined(_WIN32)
    const char* full = "Z:\\dev\\full"; // Wine's Z: drive is the host's root
    const HANDLE device = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no always-full device here (Wine shows one as Z:\\dev\\full)";
    CloseHandle(device);
#else
    const char* full = "/dev/full";
#endif
    NUVZubUttOSFile file;
    file.OpenWrite(full);
    EXPECT_EQ(Outcome([&] { file.WriteAll("x", 1); }), "DiskFull");
    const NUVString from(dir.Write("from", std::string(1000, 'x')));
    EXPECT_EQ(Outcome([&] { NUVZubUttFileUtils::Copy(from, full); }), "DiskFull");
}

TEST_F(OSFile, ReopeningCloseAndDestructionGiveTheHandleBack) {
    const std::string a = dir.Write("a", "x"), b = dir / "b";
#if !defined(_WIN32)
    const std::size_t before = EntriesIn("/proc/self/fd");
#endif
    {
        NUVZubUttOSFile file;
        for (int i = 0; i < 10; ++i)
            file.OpenRead(NUVString(a));
        EXPECT_EQ(Holders(a), 1);
        file.OpenWrite(NUVString(b)); // opened again without Close
        EXPECT_EQ(Holders(a), 0);
        EXPECT_EQ(Holders(b), 1);
        file.Close();
        EXPECT_EQ(Holders(b), 0);
        file.OpenWrite(NUVString(a));
        file.WriteAll("z", 1);
        EXPECT_EQ(Holders(a), 1);
    }
    EXPECT_EQ(Holders(a), 0) << "the destructor closes the handle";
    EXPECT_EQ(ReadWhole(a), "z"); // written by a file its destructor closed
#if !defined(_WIN32)
    EXPECT_EQ(EntriesIn("/proc/self/fd"), before) << "nor is any other descriptor kept";
#endif
}

TEST_F(OSFile, LockNeedsAnOpenFileAndUnlockALock) {
    NUVZubUttOSFile file;
    EXPECT_EQ(Outcome([&] { file.Lock(); }), "FileNotOpen");
    EXPECT_EQ(Outcome([&] { file.Unlock(); }), "FileNotOpen");
    file.OpenWrite(NUVString(dir / "l"));
    // The system may not tell an unlock without a lock (flock); the file object does.
    const std::string notLocked = Failed("UnlockFile", fault::kNotLocked);
    EXPECT_EQ(Outcome([&] { file.Unlock(); }), notLocked);
    EXPECT_TRUE(file.Lock());
    file.Unlock();
    EXPECT_EQ(Outcome([&] { file.Unlock(); }), notLocked);
}

TEST_F(OSFile, OffsetsFromTwoToThe63AreRefusedAtOnce) {
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(dir / "o"));
    file.WriteAll("abc", 3);
    const std::string refused = Failed("SetFilePointer", fault::kBadOffset);
    for (const std::uint64_t offset : {std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
        EXPECT_EQ(Outcome([&] { file.Seek(offset); }), refused);
        EXPECT_EQ(Outcome([&] { file.Truncate(offset); }), refused);
        EXPECT_EQ(file.Position(), 3u);
    }
    file.Seek((std::uint64_t{1} << 63) - 1); // the largest position is one
    EXPECT_EQ(file.FileSize(), 3u);
}

TEST_F(OSFile, TwoThreadsWriteAtomicWithoutInterleaving) {
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(dir / "atomic"));
    constexpr int kRecords = 2000, kSize = 512;
    auto writer = [&](char mark, int first) {
        std::vector<char> record(kSize, mark);
        for (int i = first; i < kRecords; i += 2) {
            record[0] = static_cast<char>(i % 251);
            file.WriteAtomic(static_cast<std::uint64_t>(i) * kSize, record.data(), kSize);
        }
    };
    std::thread a(writer, 'a', 0), b(writer, 'b', 1);
    a.join();
    b.join();
    const std::string content = ReadWhole(dir / "atomic");
    ASSERT_EQ(content.size(), static_cast<std::size_t>(kRecords) * kSize);
    for (int i = 0; i < kRecords; ++i)
        ASSERT_EQ(content.substr(static_cast<std::size_t>(i) * kSize, kSize),
                  static_cast<char>(i % 251) + std::string(kSize - 1, "ab"[i % 2]))
            << "record " << i << " was interleaved";
}

TEST_F(OSFile, GeneratedNamesContinueAfterTheHighestAndSkipThoseTakenMeanwhile) {
    const NUVString base(dir / "base");
    NUVZubUttOSFile file;
    file.CreateGenerated(base, ".tmp", false);
    EXPECT_EQ(file.Name().Str(), dir / "base.1.tmp");
    for (const char* other :
         {"base.7.tmp", "base.x.tmp" /* counts as 0 */, "base.9.other" /* another family */,
          "base.-3.tmp" /* no number */, "base.99999999999999999999.tmp" /* beyond the counter */,
          "base.4294967295.tmp"})
        dir.Write(other, "");
    file.CreateGenerated(base, ".tmp", false);
    EXPECT_EQ(file.Name().Str(), dir / "base.8.tmp");
    EXPECT_FALSE(file.Position());
    file.WriteAll("w", 1);       // writable
    dir.Write("z.1.tar.gz", ""); // the glob yields it, its extension is ".gz"
    testing::internal::CaptureStderr();
    EXPECT_THROW(NUVZubUttOSFile().CreateGenerated(NUVString(dir / "z"), ".tar.gz", false),
                 NUVBasAssertException);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "NUVZubUttFilePathParser::Extension(fileName) == extension"),
              std::string::npos);
    // Names taken meanwhile are skipped; at most a few retries: a code taken
    // for "exists" would show as a later name.
    const auto create = [&] { file.CreateGenerated(NUVString(dir / "g"), ".dat", false); };
    {
        fault::Scoped f(fault::kCreateNew, fault::kExists, 0, 2);
        create();
        EXPECT_EQ(file.Name().Str(), dir / "g.3.dat");
    }
    {
        fault::Scoped f(fault::kCreateNew, fault::kMissing);
        EXPECT_EQ(Outcome(create), "NoSuchFile " + dir / "g.4.dat");
    }
    fault::Scoped f(fault::kCreateNew, fault::kDenied, 0, 5);
    EXPECT_EQ(Outcome(create), Failed("CreateFile", fault::kDenied));
}

TEST_F(OSFile, TemporaryFilesKeepTheirNameUntilClosed) {
    auto& stats = omi_Singleton<NUVBasUtlIOStats>::Instance();
    // A process killed with its temporary open leaves the name: it is skipped.
    dir.Write("ZubTemp.4.tmp", "left behind");
    NUVZubUttOSFile first, second;
    first.CreateTemporary(NUVString(dir.Path()));
    second.CreateTemporary(NUVString(dir.Path()));
    EXPECT_EQ(first.Name().Str(), dir / "ZubTemp.5.tmp");
    EXPECT_EQ(second.Name().Str(), dir / "ZubTemp.6.tmp");
    first.WriteAll("one", 3);
    second.WriteAll("second", 6);
#if !defined(_WIN32)
    struct stat info; // owner-only mode bits (Windows has none)
    ASSERT_EQ(stat(first.Name().CastToCharPtr(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
#endif
    EXPECT_EQ(ReadWhole(first.Name().Str()), "one"); // others may open it meanwhile
    EXPECT_EQ(stats.Totals(first.Name()).bytesWritten, 3u);
    EXPECT_EQ(stats.Totals(second.Name()).bytesWritten, 6u);
    NUVZubUttOSFile temporary, plain; // one family, numbered as one
    temporary.CreateGenerated(NUVString(dir / "run"), ".log", true);
    plain.CreateGenerated(NUVString(dir / "run"), ".log", false);
    EXPECT_EQ(temporary.Name().Str(), dir / "run.1.log");
    EXPECT_EQ(plain.Name().Str(), dir / "run.2.log");
    first.Close();
    EXPECT_FALSE(NUVZubUttFileUtils::FileExists(NUVString(dir / "ZubTemp.5.tmp")));
    EXPECT_EQ(ReadWhole(dir / "ZubTemp.4.tmp"), "left behind");
}

TEST(OSFileAtExit, FilesStillOpenCloseInAnyOrder) {
    SharedTempDir dir; // where the child writes and this test reads
    const ChildResult r = RunInChild([&]() -> int {
#if !defined(_WIN32)
        alarm(10); // a hang at exit ends in SIGALRM (on Windows, at ctest's timeout)
#endif
        static NUVZubUttOSFile functionStatic;
        NUVZubUttOSFile* leaked = new NUVZubUttOSFile;
        g_openAtExit.OpenWrite(NUVString(dir / "global"));
        functionStatic.CreateGenerated(NUVString(dir / "static"), ".dat", false);
        leaked->OpenWrite(NUVString(dir / "leaked"));
        for (NUVZubUttOSFile* file : {&g_openAtExit, &functionStatic, leaked})
            file->WriteAll("kept", 4);
        std::exit(0); // static destructors run, in their order
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    for (const char* name : {"global", "static.1.dat", "leaked"})
        EXPECT_EQ(ReadWhole(dir / name), "kept") << name;
}

// Each failing call: a disk-full code of a write-type call gives DiskFull,
// another code the call's own failure with it; the file stays usable.
TEST_F(OSFile, EachCallsFailure) {
    const struct {
        fault::Call call;
        std::function<void(NUVZubUttOSFile&)> step;
        const char* failure;
        int code;
        bool writes; // the disk-full codes apply
    } cases[] = {
        {fault::kRead, [](auto& f) { f.ReadAtomic(0, &std::string(3, ' ')[0], 3); }, "ReadError",
         fault::kIoError, false},
        {fault::kWrite, [](auto& f) { f.WriteAll("abc", 3); }, "WriteError", fault::kIoError, true},
        {fault::kWrite, [](auto& f) { f.WriteAtomic(0, "x", 1); }, "WriteError", fault::kIoError,
         true},
        {fault::kSync, [](auto& f) { f.Flush(); }, "FlushFileBuffers", fault::kIoError, true},
        {fault::kSetLength, [](auto& f) { f.Truncate(10); }, "SetEndOfFile", fault::kDenied, true},
        {fault::kSize, [](auto& f) { f.FileSize(); }, "GetFileSize", fault::kIoError, false},
        {fault::kLock, [](auto& f) { f.Lock(); }, "LockFileEx", fault::kNoLocks, false},
        {fault::kUnlock, [](auto& f) { f.Unlock(); }, "UnlockFile", fault::kIoError, false},
        {fault::kClose, [](auto& f) { f.Close(); }, "CloseFailed", fault::kIoError, true},
#if defined(_WIN32) // SetFileLength's seek before the cut
        {{&fault::Calls::SetFilePointerEx, &fault::Failing<&fault::Calls::SetFilePointerEx, FALSE>},
         [](auto& f) { f.Truncate(1); },
         "SetEndOfFile",
         ERROR_NEGATIVE_SEEK,
         false},
#endif
    };
    for (const auto& c : cases) {
        std::vector<int> codes{c.code};
        if (c.writes)
            codes.insert(codes.end(), std::begin(fault::kDiskFullCodes),
                         std::end(fault::kDiskFullCodes));
        for (int code : codes) {
            SCOPED_TRACE(Failed(c.failure, code));
            NUVZubUttOSFile file;
            file.OpenWrite(NUVString(dir / "t"));
            file.WriteAll("abc", 3);
            EXPECT_TRUE(c.failure != std::string("UnlockFile") || file.Lock());
            {
                fault::Scoped f(c.call, code);
                EXPECT_EQ(Outcome([&] { c.step(file); }),
                          code == c.code ? Failed(c.failure, code) : "DiskFull");
            }
            EXPECT_EQ(file.IsOpen(), c.failure != std::string("CloseFailed")); // gone either way
            char back[3] = {}; // the mutex is free again, the file intact
            EXPECT_TRUE(!file.IsOpen() || (file.ReadAtomic(0, back, 3) == 3 &&
                                           std::string(back, 3) == "abc" && file.FileSize() == 3));
        }
    }
    NUVZubUttOSFile file;
    file.OpenWrite(NUVString(dir / "short"));
    fault::Scoped f(fault::kWriteNothing, 0);
    EXPECT_EQ(Outcome([&] { file.WriteAll("x", 1); }), "ShortWrite");
}

TEST_F(OSFile, CopyWholeFilesIntoAnOpenFileNeverOntoItselfAndTheDestinationsClose) {
    std::string content(0x40000 * 2 + 123, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    const NUVString from(dir.Write("from", content));
    dir.Write("to", "old content that is longer than nothing");
    NUVZubUttFileUtils::Copy(from, NUVString(dir / "to"));
    EXPECT_EQ(ReadWhole(dir / "to"), content);
    NUVZubUttOSFile target;
    target.OpenWrite(NUVString(dir / "into"));
    target.WriteAll("head:", 5);
    NUVZubUttFileUtils::Copy(from, target);
    EXPECT_TRUE(target.IsOpen());
    EXPECT_EQ(target.Position(), 5 + content.size());
    target.Close();
    EXPECT_EQ(ReadWhole(dir / "into"), "head:" + content);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Outcome([&] { NUVZubUttFileUtils::Copy(NUVString(dir / "none"), from); }),
              "NoSuchFile " + dir / "none");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadWhole(dir / "from"), content);

    const NUVString self(dir.Write("self", "precious"));
    EXPECT_THROW(NUVZubUttFileUtils::Copy(self, NUVString(dir / "./self")),
                 NUVZubExcSameSourceDestFiles);
    target.OpenAppend(self);
    EXPECT_THROW(NUVZubUttFileUtils::Copy(self, target), NUVZubExcSameSourceDestFiles);
    EXPECT_EQ(ReadWhole(dir / "self"), "precious");
    // A write-back error surfacing at the destination's close, which comes first.
    fault::Scoped f(fault::kClose, fault::kIoError, 0, 1);
    EXPECT_EQ(Outcome([&] { NUVZubUttFileUtils::Copy(self, NUVString(dir / "to2")); }),
              Failed("CloseFailed", fault::kIoError));
}

// Cancellation.
#if !defined(_WIN32)
// Another process holds the lock: a thread waiting for it takes a
// cancellation at once, its file closed on the way out; once the holder
// unlocks, with its file still open, the lock is free.
TEST_F(OSFile, ALockWaitsForAnotherProcessAndTakesACancellation) {
    const std::string path = dir / "lock";
    const ChildResult r = RunInChild([&]() -> int {
        alarm(60); // a wait that takes no cancellation, or a lock never freed, ends here
        int held[2], release[2];
        if (pipe(held) != 0 || pipe(release) != 0) return 2;
        const pid_t holder = fork();
        if (holder == 0) {
            close(release[1]);
            NUVZubUttOSFile file;
            file.OpenWrite(NUVString(path));
            char c;
            if (file.Lock() && write(held[1], "h", 1) == 1 && read(release[0], &c, 1) == 1) {
                file.Unlock();
                (void)!write(held[1], "u", 1);
                (void)!read(release[0], &c, 1); // holds the file open until told
            }
            _exit(0);
        }
        char c;
        if (read(held[0], &c, 1) != 1) return 2;
        const std::size_t descriptors = EntriesIn("/proc/self/fd");
        CancelledThread waiter([&] {
            NUVZubUttOSFile file;
            file.OpenUpdate(NUVString(path));
            file.Lock();
        });
        if (!waiter.Started()) return 3;
        waiter.AwaitSystemCall(SYS_flock, -1);
        waiter.Cancel();
        if (!waiter.JoinCancelled()) return 4;
        if (EntriesIn("/proc/self/fd") != descriptors) return 5;
        if (write(release[1], "r", 1) != 1 || read(held[0], &c, 1) != 1) return 2;
        NUVZubUttOSFile after;
        after.OpenUpdate(NUVString(path));
        const bool locked = after.Lock();
        close(release[1]); // the holder goes
        waitpid(holder, nullptr, 0);
        return locked ? 0 : 6;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// Objects that close what they hold, going out of scope while a cancellation
// is pending: a close (and a temporary's removal) that acted on it would throw
// out of the destructor. They finish, and the thread ends cancelled after.
TEST_F(OSFile, DestructorsFinishWithACancellationPending) {
    const ChildResult r = RunInChild([&]() -> int {
        alarm(60);
        const std::size_t descriptors = EntriesIn("/proc/self/fd");
        const auto opened = [](void (NUVZubUttOSFile::*open)(const NUVString&), std::string path) {
            auto file = std::make_shared<NUVZubUttOSFile>();
            ((*file).*open)(NUVString(path));
            return std::shared_ptr<void>(file);
        };
        const struct {
            const char* name;
            std::function<std::shared_ptr<void>()> hold;
        } cases[] = {
            {"file", [&] { return opened(&NUVZubUttOSFile::OpenWrite, dir / "plain"); }},
            {"temporary", [&] { return opened(&NUVZubUttOSFile::CreateTemporary, dir.Path()); }},
            {"handle guard",
             [&] {
                 return std::make_shared<CleanUpHandle>(open((dir / "plain").c_str(), O_RDONLY));
             }},
        };
        int failures = 0;
        for (const auto& c : cases) {
            CancelledThread thread([&] {
                const auto held = c.hold();
                int state; // a cancellation made pending: the next cancellation point acts on it
                pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
                pthread_cancel(pthread_self());
                pthread_setcancelstate(state, &state);
            });
            if (!thread.Started() || !thread.JoinCancelled() ||
                EntriesIn("/proc/self/fd") != descriptors) {
                std::fprintf(stderr, "%s\n", c.name);
                ++failures;
            }
        }
        return failures == 0 && EntriesIn(dir.Path()) == 1 ? 0 : 2; // the temporary is gone
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
#endif
