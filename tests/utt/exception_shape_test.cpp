// The shape every catalogue class shares, shown on a few representative classes.
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubExcTypeForm.h>
#include <NUVZub/NUVZubUttAssert.h>

#include <gtest/gtest.h>

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

} // namespace
