// Base of unit tests of the database's file formats: checks a written file
// byte for byte against the header a test expects.
#pragma once

#include <NUVBas/NUVBasShared.h>
#include <NUVZubPlatform/Export.h>

class NUVZUB_API NUVZubFileHeaderDiff : public uts_UnitTest {
public:
    explicit NUVZubFileHeaderDiff(uts_UnitTestMonitor& monitor, int verbose = 0)
        : uts_UnitTest(monitor, verbose) {}
    ~NUVZubFileHeaderDiff() override;

protected:
    /// The whole file must equal the `length` bytes at `expected`. Mismatches are
    /// counted as failed unit-test assertions (nothing is thrown); `label`, the
    /// actual length and the actual bytes as a decimal list go to stderr, ready
    /// to be pasted into the test as its new expected header.
    void ValidateHeader(char const* fileName, char const* label, unsigned char const* expected,
                        int length);

private:
    /// One unit-test assertion: counts, reports a failure, traces when verbose.
    bool Check(bool condition, int line, char const* expression);
};
