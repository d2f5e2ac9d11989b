// What the generator makes of data that is easy to get wrong: classes generated
// from generator_data/Probe.toml, compiled into this test.
#include <NUVZub/NUVZubExcProbe.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

static std::string Text(const NUVBasException& e) {
    return e.AsString(NUVBasStringMode(false)).CStr();
}

TEST(Generator, MessagesKeepTheirUtf8BytesAndControlCharacters) {
    EXPECT_EQ(Text(NUVZubExcProbeLatin()), "caf\xc3\xa9\tAb\xc3\xa9"
                                           "7 \\ \"q\"");
    EXPECT_EQ(Text(NUVZubExcProbeAstral("x")), "\xf0\x9f\x98\x80 x \xe2\x82\xac");
}

// A class listed before its base is caught as the base; parameters named as a keyword and
// macros keep their values.
TEST(Generator, DerivedBeforeItsBaseAndParametersNamedLikeKeywords) {
    try {
        NUVZubExcProbeDerived("n", 7).Propagate();
        FAIL() << "Propagate returned";
    } catch (const NUVZubExcProbeBase& e) {
        EXPECT_EQ(e.GetCode(), 1003);
        EXPECT_EQ(std::string(e.GetName().AsString()), "n");
        EXPECT_EQ(Text(e), "derived n 7");
    }
    const NUVZubExcProbeWords e(1, 2, 3, 4);
    EXPECT_EQ(Text(e), "1 2 3 4");
    EXPECT_EQ((std::vector<int>{e.GetInt(), e.GetErrno(), e.GetLinux(), e.GetStdout()}),
              (std::vector<int>{1, 2, 3, 4}));
}
