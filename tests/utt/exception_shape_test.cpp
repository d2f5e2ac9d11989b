// The fixed-size strings that hold every catalogue class's texts.
#include <NUVZub/NUVZubUttExceptionString.h>

#include <gtest/gtest.h>

#include <string>

namespace {

// It holds only its array: copied bytewise into every exception.
static_assert(sizeof(NUVZubUttExceptionString<10>) == 10);
static_assert(sizeof(NUVZubUttExceptionString<1024>) == 1024);

// A <10> keeps 9 bytes of text and zeroes the rest, as strncpy would. A valid
// UTF-8 character that the ninth byte would cut is left out whole; bytes that
// are not valid UTF-8 there are cut byte-wise.
TEST(ExceptionString, KeepsNMinusOneBytesNeverCuttingAValidCharacterInTwo) {
    const struct {
        const char* what;
        const char* text;
        std::string kept;
    } cases[] = {
        {"ASCII, longer", "0123456789ABC", "012345678"},
        {"ASCII, filling the field", "abcdefghi", "abcdefghi"},
        {"ASCII, shorter", "ab", "ab"},
        {"empty", "", ""},
        {"2 bytes, 1 inside", "abcdefgh\xc3\xa9", "abcdefgh"},
        {"2 bytes, ending the field", "abcdefg\xc3\xa9xyz", "abcdefg\xc3\xa9"},
        {"3 bytes, 1 inside", "abcdefgh\xe2\x82\xac", "abcdefgh"},
        {"3 bytes, 2 inside", "abcdefg\xe2\x82\xac", "abcdefg"},
        {"3 bytes, ending the field", "abcdef\xe2\x82\xac!", "abcdef\xe2\x82\xac"},
        {"4 bytes, 1 inside", "abcdefgh\xf0\x9f\x98\x80", "abcdefgh"},
        {"4 bytes, 2 inside", "abcdefg\xf0\x9f\x98\x80", "abcdefg"},
        {"4 bytes, 3 inside", "abcdef\xf0\x9f\x98\x80", "abcdef"},
        {"4 bytes, ending the field", "abcde\xf0\x9f\x98\x80!", "abcde\xf0\x9f\x98\x80"},
        {"only 2-byte characters", "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
         "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9"},
        {"Latin-1, not UTF-8", "abcdefgh\xe9\xe9", "abcdefgh\xe9"},
        {"stray continuation bytes", "abcdefg\xa9\xa9\xa9", "abcdefg\xa9\xa9"},
        {"overlong form", "abcdefgh\xc0\xaf", "abcdefgh\xc0"},
        {"surrogate", "abcdefg\xed\xa0\x80", "abcdefg\xed\xa0"},
        {"above U+10FFFF", "abcdefg\xf4\x90\x80\x80", "abcdefg\xf4\x90"},
        {"character cut short by the text's end", "abcdefgh\xe2\x82", "abcdefgh\xe2"},
    };
    const auto bytes = [](const NUVZubUttExceptionString<10>& s) {
        return std::string(reinterpret_cast<const char*>(&s), 10);
    };
    for (const auto& c : cases) {
        const std::string expected = c.kept + std::string(10 - c.kept.size(), '\0');
        EXPECT_EQ(bytes(NUVZubUttExceptionString<10>(c.text)), expected) << c.what;
        if (!NUVString(c.text).IsBAD()) {
            EXPECT_EQ(bytes(NUVZubUttExceptionString<10>{NUVString(c.text)}), expected) << c.what;
        }
    }
    EXPECT_EQ(bytes(NUVZubUttExceptionString<10>(static_cast<const char*>(nullptr))),
              std::string(10, '\0'));
    const NUVZubUttExceptionString<10> a("copied"), b = a;
    EXPECT_EQ(bytes(b), bytes(a));
    EXPECT_NE(a.AsString(), b.AsString());
}

} // namespace
