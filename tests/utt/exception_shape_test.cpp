// The shape every catalogue class shares, shown on a few representative classes,
// and the fixed-size strings they hold their texts in.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubExcTypeForm.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttExceptionString.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

const NUVBasStringMode kMode(false);

std::string Text(const NUVBasException& e) { return e.AsString(kMode).CStr(); }

class ExceptionShape : public ::testing::Test {
protected:
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
};

TEST_F(ExceptionShape, DerivedClassBuildsItsBaseAndStoresItsOwnCopies) {
    NUVZubExcBaseTypeInvalidLevel e(NUVZubUttExceptionString<64>("Form"), 3,
                                    NUVZubUttExceptionString<64>("BaseT"), 4,
                                    NUVZubUttExceptionString<64>("T"));
    EXPECT_EQ(e.GetCode(), 1598);
    EXPECT_EQ(Text(e),
              "Thrown if a type has an invalid level value w.r.t base type level. Type form "
              "name: Form. Offending base level value: 3. Base Type name: BaseT. "
              "Offending level value: 4. Type name: T.");
    const NUVZubExcTypeFormException& base = e;
    EXPECT_STREQ(base.GetFormName().AsString(), e.GetFormName().AsString());
    EXPECT_EQ(base.GetCode(), 1598) << "the code is the derived class's";
    EXPECT_STREQ(e.GetBaseTypeName().AsString(), "BaseT");
    EXPECT_EQ(e.GetBaseLevel(), 3);
    EXPECT_EQ(e.GetLevel(), 4);
}

TEST_F(ExceptionShape, CloneAndCopyAnswerLikeTheOriginal) {
    NUVZubExcNoSuchFile original(NUVString("/tmp/missing.zub"));
    std::unique_ptr<NUVBasException> clone(original.Clone());
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(dynamic_cast<NUVZubExcNoSuchFile*>(clone.get()), nullptr);
    EXPECT_EQ(clone->GetCode(), 1013);
    EXPECT_EQ(Text(*clone), "No such file: /tmp/missing.zub");
    NUVZubExcNoSuchFile copy(original);
    EXPECT_STREQ(copy.GetFile_name().AsString(), original.GetFile_name().AsString());
    EXPECT_EQ(Text(copy), Text(original));
}

TEST_F(ExceptionShape, ModeDoesNotChangeTheText) {
    NUVZubExcIOBounds e(1, 2, 3);
    EXPECT_STREQ(e.AsString(NUVBasStringMode(true)).CStr(), e.AsString(kMode).CStr());
}

TEST_F(ExceptionShape, PropagateThrowsTheClassCaughtByItsBases) {
    NUVZubExcTypeFormEmptyTypeName e(NUVZubUttExceptionString<64>("F"));
    try {
        e.Propagate();
        FAIL() << "Propagate returned";
    } catch (const NUVBasException& caught) {
        EXPECT_EQ(caught.GetCode(), 1583);
        EXPECT_EQ(Text(caught), Text(e));
        EXPECT_NE(dynamic_cast<const NUVZubExcTypeFormException*>(&caught), nullptr);
        EXPECT_EQ(caught.GetSourceFile(), nullptr) << "Propagate records no source position";
    }
    EXPECT_THROW(e.Propagate(), mem_AllocationOperators);
}

TEST_F(ExceptionShape, ThrowRecordsTheSourcePosition) {
    try {
        NUVZubExcDiskFull().Throw("NUVZub/NUVZubUtt.m/src/NUVZubUttOSFile", 321);
    } catch (const NUVZubExcDiskFull& caught) {
        EXPECT_STREQ(caught.GetSourceFile(), "NUVZub/NUVZubUtt.m/src/NUVZubUttOSFile");
        EXPECT_EQ(caught.GetSourceLine(), 321);
        EXPECT_EQ(Text(caught), "File system space exhausted.");
        EXPECT_EQ(std::string(caught.UserReport(kMode).CStr()), Text(caught));
        EXPECT_EQ(std::string(caught.DeveloperReport(kMode).CStr()),
                  "NUVZubExcDiskFull (code 1047) at NUVZub/NUVZubUtt.m/src/NUVZubUttOSFile:321: "
                  "File system space exhausted.");
        return;
    }
    FAIL() << "not caught as its own class";
}

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

// A <10> keeps 9 bytes of text. A valid UTF-8 character that the ninth byte
// would cut is left out whole, the rest zeroed; bytes that are not valid
// UTF-8 there are cut byte-wise, as before.
TEST(ExceptionString, NeverCutsAValidCharacterInTwo) {
    const struct {
        const char* what;
        const char* text;
        std::string kept;
    } cases[] = {
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
    for (const auto& c : cases) {
        const NUVZubUttExceptionString<10> fromText(c.text);
        const NUVZubUttExceptionString<10> fromString{NUVString(c.text)};
        const std::string expected = c.kept + std::string(10 - c.kept.size(), '\0');
        EXPECT_EQ(std::string(Bytes(fromText), 10), expected) << c.what;
        if (!NUVString(c.text).IsBAD()) {
            EXPECT_EQ(std::string(Bytes(fromString), 10), expected) << c.what;
        }
    }
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
