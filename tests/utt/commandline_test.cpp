// Command line: keys and values, positions, conversions, bad strings, and
// argument files with their limits and messages.
#include <NUVZub/NUVZubCommandLine.h>

#include <NUVBas/NUVBasException.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubExcParser.h>

#include <gtest/gtest.h>

#include <CancelledThread.h>
#include <ChildProcess.h>
#include <TempDir.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Args = std::vector<std::string>;

// A mutable argument vector that outlives the command line built from it.
class Argv {
public:
    Argv(const Args& args) : m_texts(args) {
        for (std::string& text : m_texts)
            m_pointers.push_back(text.data());
        m_pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_texts.size()); }
    char** argv() { return m_pointers.data(); }

private:
    Args m_texts;
    std::vector<char*> m_pointers;
};

std::string Str(const NUVString& s) { return s.Str(); }

// The arguments a command line built from `args` holds, program name first.
Args Positions(const Args& args) {
    Argv a(args);
    NUVZubCommandLine cl(a.argc(), a.argv());
    Args read;
    for (int i = 0; i < cl.GetNumArgs(); ++i)
        read.push_back(Str(cl.GetPosition(i)));
    return read;
}

std::string Repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

const std::string kTooLong =
    "ERROR: Command line argument in command line file is too long - maximum = 1023\n";
const std::string kMoreThan = "ERROR: There are more than 1024 command line arguments. All "
                              "arguments beyond\nargument 1024 will be ignored.\n";
const std::string kUnusable = "ERROR: Unable to open command line arguments file ";

struct ClArgsFile : ::testing::Test {
    Args File(const std::string& content) { return {"prog", "-clargsfile", Write(content)}; }
    std::string Write(const std::string& content) {
        return dir.Write("args" + std::to_string(++files), content);
    }
    TempDir dir;
    int files = 0;
};

TEST(CommandLine, KeysTakeTheirValueFromTheNextArgumentOnly) {
    struct Key {
        const char* key;
        bool member;
        const char* value; ///< "none": the default
    };
    const struct {
        Args args;
        std::vector<Key> keys;
    } cases[] = {
        // Only the first following argument that is no key, and only after a key.
        {{"prog", "-a", "1", "2", "-b"},
         {{"a", true, "1"}, {"b", true, "none"}, {"1", false, "none"}}},
        {{"prog", "x", "-a"}, {{"x", false, "none"}, {"a", true, "none"}, {"", false, "none"}}},
        {{"prog", "-a", "-b", "v"}, {{"a", true, "none"}, {"b", true, "v"}}},
        // The key is the text after the first dash; a negative number is a key.
        {{"prog", "--v", "-", "x", "-n", "-5"},
         {{"-v", true, "none"}, {"v", false, "none"}, {"", true, "x"}, {"5", true, "none"}}},
        // A repeated key answers with its first occurrence; case counts.
        {{"prog", "-a", "1", "-a", "2", "-A", "3"}, {{"a", true, "1"}, {"A", true, "3"}}},
        {{"prog", "-Verbose", "yes"}, {{"verbose", false, "none"}, {"Verbose", true, "yes"}}},
        // The argument-file flag is one only right after the program name.
        {{"prog", "-x", "-clargsfile", "/no/such/args.txt"},
         {{"clargsfile", true, "/no/such/args.txt"}}},
    };
    for (const auto& c : cases) {
        Argv a(c.args);
        NUVZubCommandLine cl(a.argc(), a.argv());
        for (const Key& k : c.keys) {
            SCOPED_TRACE(c.args[1] + " ... key \"" + k.key + "\"");
            EXPECT_EQ(cl.IsMember(k.key), k.member);
            EXPECT_EQ(Str(cl.GetString(k.key, "none")), k.value);
        }
    }
}

// Numbers are the leading digits, clamped to the type's range; floats round to
// the nearest float up to the largest. Bad strings are refused before any
// lookup; a position out of range is a validation failure.
TEST(CommandLine, PositionsNumbersCaseInsensitiveMembershipAndMisuse) {
    Argv a({"prog",         "-a",    "1",     "2",    "-b",       "-n",           "-5",
            "-a",           "2",     "-A",    "3",    "-Verbose", "-m",           "12abc",
            "-z",           "abc",   "-f",    "2.5x", "-g",       "junk",         "-big",
            "99999999999",  "-huge", "1e300", "-e",   "-max",     "3.4028235e38", "-over",
            "3.4028236e38", "-tiny", "1e-45"});
    NUVZubCommandLine cl(a.argc(), a.argv());
    NUVString fallback("dflt");
    EXPECT_EQ(cl.GetNumArgs(), a.argc());
    // A key without a value answers with the caller's own default object.
    EXPECT_EQ(&cl.GetString("b", fallback), &fallback);
    EXPECT_EQ(Str(cl.GetPosition(0)), "prog");
    EXPECT_EQ(Str(cl.GetPosition(3)), "2");
    EXPECT_EQ(Str(cl.GetPosition(4)), "-b");
    EXPECT_EQ(cl.GetInt("n", 42), 42);
    EXPECT_EQ(cl.GetInt("a", 0), 1);
    EXPECT_EQ(cl.GetInt("A", 0), 3);
    EXPECT_EQ(cl.GetInt("m", 7), 12);
    EXPECT_EQ(cl.GetInt("z", 7), 0);
    EXPECT_EQ(cl.GetInt("big", 0), INT_MAX);
    EXPECT_FLOAT_EQ(cl.GetFloat("f", 7.0f), 2.5f);
    EXPECT_FLOAT_EQ(cl.GetFloat("g", 7.0f), 0.0f);
    EXPECT_FLOAT_EQ(cl.GetFloat("e", 7.0f), 7.0f);
    EXPECT_FLOAT_EQ(cl.GetFloat("missing", -1.5f), -1.5f);
    EXPECT_TRUE(std::isinf(cl.GetFloat("huge", 0.0f)));
    EXPECT_EQ(cl.GetFloat("max", 0.0f), FLT_MAX); // FLT_MAX as printed
    EXPECT_TRUE(std::isinf(cl.GetFloat("over", 0.0f)));
    EXPECT_EQ(cl.GetFloat("tiny", 0.0f), std::numeric_limits<float>::denorm_min());
    EXPECT_FALSE(cl.IsMember("verbose", false));
    EXPECT_TRUE(cl.IsMember("verbose", true));
    EXPECT_TRUE(cl.IsMember("VERBOSE", true));
    EXPECT_FALSE(cl.IsMember("verbos", true));
    NUVString bad("\xff\xfe");
    ASSERT_TRUE(bad.IsBAD());
    EXPECT_THROW(cl.IsMember(bad), NUVZubExcBadStringArgument);
    EXPECT_THROW(cl.IsMember(bad, true), NUVZubExcBadStringArgument);
    EXPECT_THROW(cl.GetString(bad, "x"), NUVZubExcBadStringArgument);
    EXPECT_THROW(cl.GetString("a", bad), NUVZubExcBadStringArgument);
    EXPECT_THROW(cl.GetInt(bad, 0), NUVZubExcBadStringArgument);
    EXPECT_THROW(cl.GetFloat(bad, 0.0f), NUVZubExcBadStringArgument);
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(cl.GetPosition(a.argc()), NUVZubExcValidationFailure);
    EXPECT_THROW(cl.GetPosition(-1), NUVZubExcValidationFailure);
    ::testing::internal::GetCapturedStderr();
}

// A program that never calls setlocale runs in the "C" locale, which converts
// no byte above 127: its arguments are taken as UTF-8, and a lone 0xE9 in an
// argument or a line of the argument file is refused.
TEST_F(ClArgsFile, PlainLocaleTakesArgumentsAsUtf8) {
    const ChildResult child = RunInChild([] {
        return Positions({"prog", "\xc3\xa9t\xc3\xa9"}) == Args{"prog", "\xc3\xa9t\xc3\xa9"} ? 0
                                                                                             : 1;
    });
    EXPECT_EQ(child.exitCode, 0) << child.err;
    try {
        Positions({"prog", "-a", "caf\xe9"});
        FAIL() << "no exception";
    } catch (const NUVBasToUTF8Exception& e) {
        EXPECT_STREQ(e.GetMessage(), "caf\xe9");
        EXPECT_STREQ(e.GetSourceFile(), "NUVZub/NUVZubUtt.m/src/NUVZubCommandLine");
        EXPECT_EQ(e.GetSourceLine(), 85);
    }
    // Under the leak checker, a text of the file left behind fails the run.
    EXPECT_THROW(Positions(File("ok\nbad\xff\n")), NUVBasToUTF8Exception);
}

TEST(CommandLine, ProcessArgumentsStartWithTheProgram) {
    NUVZubCommandLine cl;
    ASSERT_GE(cl.GetNumArgs(), 1);
    EXPECT_NE(Str(cl.GetPosition(0)).find("commandline_test"), std::string::npos);
}

// The lines replace the arguments exactly as written, a CR before the line feed
// dropped. Each read holds at most 1023 characters; a longer line goes on in
// further arguments, each full read after the first reported; a NUL ends the
// line. Reading stops at the argument limit: the file need not end. A file
// that cannot be opened or read leaves the program name alone.
TEST_F(ClArgsFile, LinesLimitsAndUnreadableFiles) {
    const std::string q(1023, 'q'), r(1022, 'r'), c(2000, 'c'), a(1023, 'a'), b(1023, 'b');
    std::string lines;
    Args first1023 = {"prog"};
    for (int i = 1; i <= 2000; ++i) {
        lines += "line" + std::to_string(i) + "\n";
        if (i <= 1023) first1023.push_back("line" + std::to_string(i));
    }
    const std::string absent = dir / "absent.txt";
    const struct {
        Args args;
        std::string err;
        Args read;
    } cases[] = {
        {{"prog", "-clargsfile", Write("alpha\n-k\n  v a l # not a comment\n\n-k2\r\nlast"), "-x"},
         "",
         {"prog", "alpha", "-k", "  v a l # not a comment", "", "-k2", "last"}},
        {File(lines), kMoreThan, first1023},
        {File(q + "\nnext\n"), kTooLong, {"prog", q, "", "next"}},
        {File(a + b + "cc\n"), Repeat(kTooLong, 2), {"prog", a, b, "cc"}},
        {File("first\n" + q), "", {"prog", "first", q}},
        // The CR LF after 1022 characters ends the line; a lone CR does not.
        {File(r + "\r\nnext\n"), "", {"prog", r, "next"}},
        {File(r + "\rx\n"), kTooLong, {"prog", r + "\r", "x"}},
        {File(std::string("ab\0cd\n\0x\nef\n", 12)), "", {"prog", "ab", "", "ef"}},
        {File(std::string("ab\0", 3) + c + "\nef\n"), "", {"prog", "ab", "ef"}},
        {File(a + std::string(477, 'a') + std::string("\0b\nef\n", 6)),
         kTooLong,
         {"prog", a, std::string(477, 'a'), "ef"}},
        {{"prog", "-clargsfile", absent, "-k", "v"}, kUnusable + absent + "\n", {"prog"}},
        // A directory opens, yet cannot be read.
        {{"prog", "-clargsfile", dir.Path()}, kUnusable + dir.Path() + "\n", {"prog"}},
        {{"prog", "-clargsfile"}, kUnusable + "\n", {"prog"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(&test - cases);
        ::testing::internal::CaptureStderr();
        const Args read = Positions(test.args);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), test.err);
        EXPECT_EQ(read, test.read);
    }
}

#if !defined(_WIN32)
// A thread cancelled while it waits for the next line of a FIFO: the parse
// goes on to its end (stdio is no place for a forced unwind under clang), and
// the thread ends cancelled right after.
TEST_F(ClArgsFile, ACancelledReadFinishesTheParseFirst) {
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const ChildResult r = RunInChild([&]() -> int {
        const int writer = open(fifo.c_str(), O_RDWR); // Linux: opens at once
        if (writer < 0 || write(writer, "one\ntw", 6) != 6) return 2;
        Args parsed;
        CancelledThread parser([&] { parsed = Positions({"prog", "-clargsfile", fifo}); });
        if (!parser.Started()) return 3;
        parser.AwaitSystemCall(SYS_read, -1);
        parser.Cancel();
        if (write(writer, "o\n", 2) != 2) return 4;
        close(writer);
        if (!parser.JoinCancelled()) return 5;
        return parsed == Args{"prog", "one", "two"} ? 0 : 6;
    });
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// Files that never end: /dev/zero, and FIFOs whose writer never stops. Reading
// stops at the argument limit; a stream of NULs, whose lines never end, is a
// file that cannot be used. Each parse runs in a child under a deadline.
TEST_F(ClArgsFile, EndlessFilesEnd) {
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string file;
        std::string chunk; // what the FIFO's writer repeats
        std::size_t args;
        std::string err;
    } cases[] = {
        {"/dev/zero", "", 1, kUnusable + "/dev/zero\n"},
        {fifo, std::string(512, '\0'), 1, kUnusable + fifo + "\n"},
        {fifo, "line\n", 1024, kMoreThan},
        {fifo, std::string(512, 'x'), 1024, Repeat(kTooLong, 1023) + kMoreThan},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.file + " with " + std::to_string(test.args) + " arguments");
        const pid_t writer = test.chunk.empty() ? -1 : fork();
        if (writer == 0) {
            const int fd = open(test.file.c_str(), O_WRONLY);
            while (fd >= 0 && write(fd, test.chunk.data(), test.chunk.size()) > 0) {
            }
            _exit(0);
        }
        const ChildResult r = RunInChild([&] {
            const Args read = Positions({"prog", "-clargsfile", test.file});
            return read.size() == test.args && read[0] == "prog" ? 0 : 2;
        });
        if (writer > 0) {
            kill(writer, SIGKILL);
            waitpid(writer, nullptr, 0);
        }
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, test.err);
    }
}
#endif

TEST_F(ClArgsFile, ReadClArgsFileActsOnlyOnTheExactFlag) {
    char* out[NUVZubClArgsMaxArgs] = {};
    char sentinel[] = "untouched";
    out[0] = sentinel;
    int count = -7;
    Argv other({"prog", "-clargsfile2", Write("x\n")});
    ReadClArgsFile(other.argc(), other.argv(), count, out);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(out[0], sentinel);
    Argv flag(File("one\ntwo\n"));
    ReadClArgsFile(flag.argc(), flag.argv(), count, out);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(out[0], "prog");
    EXPECT_STREQ(out[1], "one");
    EXPECT_STREQ(out[2], "two");
    for (int i = 0; i < count; ++i)
        mem_deleteBuiltIn(out[i]);
}

} // namespace
