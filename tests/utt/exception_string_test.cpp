#include <NUVZub/NUVZubUttExceptionString.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

template <std::size_t N> const char* Bytes(const NUVZubUttExceptionString<N>& s) {
    return reinterpret_cast<const char*>(&s);
}

// It holds only its array: copied bytewise into every exception.
static_assert(sizeof(NUVZubUttExceptionString<10>) == 10);
static_assert(sizeof(NUVZubUttExceptionString<1024>) == 1024);

TEST(ExceptionString, CutsAtNMinusOneBytes) {
    std::string seventy(70, 'n');
    NUVZubUttExceptionString<64> cut(seventy.c_str());
    EXPECT_EQ(std::string(cut.AsString()), std::string(63, 'n'));

    std::string sixtyThree(63, 'k');
    NUVZubUttExceptionString<64> whole(sixtyThree.c_str());
    EXPECT_EQ(std::string(whole.AsString()), sixtyThree);

    NUVZubUttExceptionString<10> ten("0123456789ABC");
    EXPECT_STREQ(ten.AsString(), "012345678");
    EXPECT_EQ(Bytes(ten)[9], '\0');
}

TEST(ExceptionString, CutsByteWiseEvenInsideAMultiByteCharacter) {
    // 8 ASCII bytes, then a 2-byte character straddling the 9-byte limit of a <10>.
    NUVZubUttExceptionString<10> s(NUVString("abcdefgh\xc3\xa9"));
    EXPECT_EQ(std::strlen(s.AsString()), 9u);
    EXPECT_EQ(static_cast<unsigned char>(s.AsString()[8]), 0xC3);
}

TEST(ExceptionString, ZeroFillsLikeStrncpyAndTerminates) {
    NUVZubUttExceptionString<32> s("ab");
    for (int i = 2; i < 32; ++i)
        EXPECT_EQ(Bytes(s)[i], '\0') << "byte " << i;
    NUVZubUttExceptionString<32> empty{NUVString()};
    EXPECT_STREQ(empty.AsString(), "");
    NUVZubUttExceptionString<32> null(static_cast<const char*>(nullptr));
    EXPECT_STREQ(null.AsString(), "");
}

TEST(ExceptionString, CopiesByteForByte) {
    NUVZubUttExceptionString<64> a("copied name");
    NUVZubUttExceptionString<64> b = a;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_NE(a.AsString(), b.AsString());
}

} // namespace
