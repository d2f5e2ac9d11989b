#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVString.h>

#include <gtest/gtest.h>

#include <clocale>

namespace {

TEST(NUVStringUTF8, RejectsMalformedInputAsBad) {
    EXPECT_FALSE(NUVString("plain ascii").IsBAD());
    EXPECT_FALSE(NUVString("\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80").IsBAD());
    // Truncated two- and three-byte sequences, overlong slashes and U+FFFF, the
    // UTF-16 surrogates, beyond U+10FFFF, a lone continuation byte, a byte never in UTF-8.
    for (const char* bad : {"\xc3", "a\xe2\x82", "\xc0\xaf", "\xe0\x80\xaf", "\xf0\x8f\xbf\xbf",
                            "\xed\xa0\x80", "\xed\xbf\xbf", "\xf4\x90\x80\x80", "\x80", "\xff"})
        EXPECT_TRUE(NUVString(bad).IsBAD()) << testing::PrintToString(bad);
}

TEST(NUVStringUTF8, BoundaryCodePointsInEveryForm) {
    const struct {
        char32_t code;
        const char* utf8;
        std::u16string utf16;
    } cases[] = {
        {0x7F, "\x7f", u"\x7f"},
        {0x80, "\xc2\x80", u"\x80"},
        {0x7FF, "\xdf\xbf", u"\x7ff"},
        {0x800, "\xe0\xa0\x80", u"\x800"},
        {0xFFFF, "\xef\xbf\xbf", u"\xffff"},
        {0x10000, "\xf0\x90\x80\x80", u"\xd800\xdc00"},
        {0x10FFFF, "\xf4\x8f\xbf\xbf", u"\xdbff\xdfff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.utf8));
        const NUVString s(c.utf8);
        EXPECT_FALSE(s.IsBAD());
        EXPECT_EQ(s.Length(), 1u);
        EXPECT_EQ(s[0], NUVChar(c.code));
        EXPECT_EQ(NUVString().Append(NUVChar(c.code)), s);
        NUVString built;
        EXPECT_EQ(built.BuildFromUTF16(c.utf16.data(), c.utf16.size()), 0);
        EXPECT_EQ(built, s);
        EXPECT_EQ(NUVOsString(s).ToUTF16(), c.utf16);
    }
}

TEST(NUVStringUTF8, CountsAndIndexesCharactersNotBytes) {
    NUVString s("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z"); // a é € 😀 z
    EXPECT_EQ(s.Length(), 5u);
    EXPECT_EQ(s.ByteLength(), 11u);
    const char32_t chars[] = {'a', 0xE9, 0x20AC, 0x1F600, 'z', 0}; // then past the end
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(s[i], NUVChar(chars[i])) << i;
    EXPECT_EQ(s.SubString(1, 2), NUVString("\xc3\xa9\xe2\x82\xac"));
    EXPECT_EQ(s.SubString(3), NUVString("\xf0\x9f\x98\x80z"));
    EXPECT_EQ(s.SubString(9), NUVString());
    EXPECT_EQ(s.Find(NUVString("z")), 4u);
    EXPECT_EQ(s.FindLast(NUVChar(0x20AC)), 2u);
    EXPECT_EQ(s.Find(NUVString("q")), NUVString::npos);
    // The past-the-end character matches no separator, colon or letter.
    NUVString empty;
    for (char c : {'/', '\\', ':'})
        EXPECT_NE(empty[0], NUVChar(c));
    EXPECT_FALSE(empty[0].ASCIIToLower().IsASCIILetter());
    EXPECT_STREQ(empty.CastToCharPtr(), "");
    EXPECT_TRUE(empty.IsNull());
}

TEST(NUVStringEditing, StripReplaceLowerAppendCompare) {
    EXPECT_EQ(NUVString(" \t x y \n").Strip(), NUVString("x y"));
    EXPECT_EQ(NUVString("   ").Strip(), NUVString());
    EXPECT_EQ(NUVString("a\\b\\c").Replace(NUVString("\\"), NUVString("/")), NUVString("a/b/c"));
    EXPECT_EQ(NUVString("aaa").Replace(NUVString("aa"), NUVString("b")), NUVString("ba"));
    EXPECT_EQ(NUVString("MiXeD \xc3\x89").ToLower(), NUVString("mixed \xc3\x89"));
    NUVString s("ab");
    s.Append(NUVString("\xc3\xa9")).Append(NUVChar(0x20AC)).Append("!");
    EXPECT_EQ(s.Length(), 5u);
    EXPECT_EQ(s, NUVString("ab\xc3\xa9\xe2\x82\xac!"));
    s.Append(NUVChar()); // the past-the-end character adds nothing, not a NUL byte
    EXPECT_EQ(s.ByteLength(), 8u);
    EXPECT_LT(NUVString("B").Compare(NUVString("a")), 0) << "byte-wise, not case-folded";
    EXPECT_EQ(NUVString("x").Compare(NUVString("x")), 0);
    EXPECT_FALSE(NUVString("x") == NUVString("X"));
}

TEST(NUVStringBuild, FromUTF16AndWideText) {
    NUVString s;
    const char16_t lone[] = {u'a', 0xDC00};
    EXPECT_EQ(s.BuildFromUTF16(lone, 2), 1);
    EXPECT_TRUE(s.IsBAD());
    EXPECT_EQ(s.BuildFromWChar(L"\u00e9t\u00e9"), 0);
    EXPECT_EQ(s, NUVString("\xc3\xa9t\xc3\xa9"));
    // One character beyond the BMP: a surrogate pair where wide text is UTF-16.
    EXPECT_EQ(s.BuildFromWChar(L"\U0001F600!"), 0);
    EXPECT_EQ(s, NUVString("\xf0\x9f\x98\x80!"));
    EXPECT_THROW(NUVOsString(NUVString("\xff")).ToUTF16(), NUVBasOsStringConversion);
}

TEST(NUVStringBuild, FromLocaleConvertsOrFails) {
    const char* previous = std::setlocale(LC_CTYPE, nullptr);
    std::string saved = previous ? previous : "C";
    NUVString s;
#if defined(_WIN32)
    const bool utf8 = true; // narrow text is UTF-8 there, whatever the ANSI code page
#else
    const bool utf8 = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
#endif
    if (utf8) {
        EXPECT_EQ(s.BuildFromLocale("gr\xc3\xbc\xc3\x9f"), 0);
        EXPECT_EQ(s.Length(), 4u);
        EXPECT_EQ(s.BuildFromLocale("bad \xff byte"), 1);
        EXPECT_TRUE(s.IsBAD());
    }
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(s.BuildFromLocale("ascii only"), 0);
    EXPECT_FALSE(s.IsBAD());
    std::setlocale(LC_CTYPE, saved.c_str());
}

} // namespace

TEST(NUVStringEditing, AppendingToOrFromABadStringKeepsByteIndexing) {
    // A malformed string is indexed by its bytes, whatever well-formed text joins it.
    const struct {
        NUVString joined;
        std::size_t index;
        unsigned byte;
    } cases[] = {
        {NUVString("\xff").Append(NUVString("\xc3\xa9")), 2, 0xA9},
        {NUVString("\xc3\xa9").Append(NUVString("\xff")), 2, 0xFF},
        {NUVString("\xfe").Append(NUVChar(0x20AC)), 3, 0xAC},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        EXPECT_TRUE(c.joined.IsBAD());
        EXPECT_EQ(c.joined.Length(), c.joined.ByteLength());
        EXPECT_EQ(c.joined[c.index], NUVChar(c.byte));
    }
}
