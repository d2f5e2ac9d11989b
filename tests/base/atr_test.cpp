#include <NUVBas/NUVBasException.h>
#include <NUVBas/atr.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

const NUVBasStringMode kMode(false);

std::string Format(const atr_String& s) { return s.CStr(); }

// Values filled by position with their own types are checked through the catalogue's messages.
TEST(AtrFormatting, MismatchedLettersRenderTheValueNotGarbage) {
    EXPECT_EQ(Format(atr("%ld|%lu", -5LL, 7u, kMode)), "-5|7");
    EXPECT_EQ(Format(atr("%s|%d|%f", 42, "text", 7, kMode)), "42|text|7");
    EXPECT_EQ(Format(atr("%d", 2.5, kMode)), "2.500000");
    EXPECT_EQ(Format(atr("%s", static_cast<const char*>(nullptr), kMode)), "");
    EXPECT_EQ(Format(atr("%x %X %o", 255, 255u, 8, kMode)), "ff FF 10");
}

TEST(AtrFormatting, FlagsWidthAndPrecisionAreHonoured) {
    EXPECT_EQ(
        Format(atr("[%5d][%-5s][%.2s][%05u][%.1f][%.0d]", 42, "ab", "xyz", 7u, 3.14159, 0, kMode)),
        "[   42][ab   ][xy][00007][3.1][]");
    // Flags the C library leaves undefined for a letter are dropped.
    EXPECT_EQ(Format(atr("[%#d][%05s][%#x]", 5, "ab", 255, kMode)), "[5][   ab][0xff]");
    // A huge width is cut rather than allowed to allocate without bound.
    EXPECT_EQ(Format(atr("%999999999d", 1, kMode)).size(), 4096u);
}

TEST(AtrFormatting, PercentSignsAndMissingOrSurplusValues) {
    EXPECT_EQ(Format(atr("100%% sure", kMode)), "100% sure");
    EXPECT_EQ(Format(atr("trailing %", kMode)), "trailing %");
    EXPECT_EQ(Format(atr("lone %, then %d", 5, kMode)), "lone %, then 5");
    EXPECT_EQ(Format(atr("% d|% s", 5, "x", kMode)), " 5|x") << "a blank is a flag, as in printf";
    EXPECT_EQ(Format(atr("%s and %s", "one", kMode)), "one and %s")
        << "a mark without a value stays";
    EXPECT_EQ(Format(atr("%d", 1, 2, 3, kMode)), "1") << "surplus values are ignored";
    EXPECT_EQ(Format(atr("%s", "%d%s%n", kMode)), "%d%s%n") << "values are never formats";
}

TEST(AtrFormatting, LongResultsGrowBeyondTheInlineBuffer) {
    std::string big(3000, 'x');
    atr_String s = atr("<%s>", big.c_str(), kMode);
    EXPECT_EQ(s.Length(), 3002u);
    EXPECT_EQ(Format(s), "<" + big + ">");
    atr_String copy = s;
    atr_String moved = std::move(copy);
    EXPECT_EQ(Format(moved), Format(s));
    atr_String small("short");
    small = s;
    EXPECT_EQ(Format(small), Format(s));
    s = atr_String("back to inline");
    EXPECT_EQ(Format(s), "back to inline");
}

TEST(AtrFormatting, PositionsBeyondTheLimitAreIgnored) {
    atr_translate t("%d %d", kMode);
    atr_SubstituteFormat(t, 1, 1, kMode);
    atr_SubstituteFormat(t, 0, 9, kMode);
    atr_SubstituteFormat(t, atr_translate::kMaxValues + 1, 9, kMode);
    EXPECT_EQ(Format(t.Result(kMode)), "1 %d");
}

TEST(SystemError, CarriesTheCodeAndThePlatformText) {
    NUVBasSystemError e(2);
    EXPECT_EQ(e.GetCode(), 2);
#if defined(_WIN32)
    // The system's message table; its wording differs between Windows versions.
    EXPECT_STRNE(e.AsString(), "");
    EXPECT_STRNE(e.AsString(), NUVBasSystemError(5).AsString());
    EXPECT_EQ(std::string(e.AsString()).find_first_of("\r\n"), std::string::npos);
#else
    EXPECT_STREQ(e.AsString(), "No such file or directory");
#endif
    NUVBasSystemError copy = e;
    EXPECT_STREQ(copy.AsString(), e.AsString());
    EXPECT_NE(copy.AsString(), e.AsString()) << "the text lives in each value";
    EXPECT_STRNE(NUVBasSystemError(987654).AsString(), "");
}

} // namespace
