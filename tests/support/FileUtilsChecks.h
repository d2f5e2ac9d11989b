// The file-utility tests' fixture that silences the exception reports, the
// check of a system error they raise, and the names a wildcard search yields.
#pragma once

#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFileUtils.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace fu = NUVZubUttFileUtils;

constexpr const char* kFileUtilsSource = "NUVZub/NUVZubUtt.m/src/NUVZubUttFileUtils";

struct QuietFileUtils : ::testing::Test {
    static void SetUpTestSuite() { NUVZubUttAssertDisableExcReport(); }
};

/// Expects `body` to raise the utilities' error of `service`, with `code` unless 0.
template <class F> void ExpectSystemError(F body, const char* service, int code = 0) {
    try {
        body();
        ADD_FAILURE() << "no exception for " << service;
    } catch (const NUVZubExcSystemError& e) {
        EXPECT_STREQ(e.GetServiceName().AsString(), service);
        EXPECT_STREQ(e.GetSourceFile(), kFileUtilsSource);
        EXPECT_GT(e.GetSourceLine(), 0);
        if (code != 0) {
            EXPECT_EQ(e.GetSystemErrorCode().GetCode(), code);
        }
    }
}

inline std::set<std::string> Collect(const std::string& pattern) {
    std::set<std::string> names;
    for (fu::GlobRange range{NUVString(pattern)}; !range.Empty(); range.Next())
        names.insert(range.Front().Str());
    return names;
}
