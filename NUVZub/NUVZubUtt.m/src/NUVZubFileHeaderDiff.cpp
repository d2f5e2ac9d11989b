#include <NUVZub/NUVZubFileHeaderDiff.h>

#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttGuards.h>
#include <NUVZubPlatform/Thread.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {
const char kSourceFile[] = "NUVZub/NUVZubUtt.m/src/NUVZubFileHeaderDiff";

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Length of an open file, or -1 when it cannot be measured or exceeds an int
// (a header never does; such a file is a mismatch, not an allocation).
long FileLength(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(file);
    if (std::fseek(file, 0, SEEK_SET) != 0) return -1;
    if (length < 0 || length > INT_MAX) return -1;
    return length;
}
} // namespace

NUVZubFileHeaderDiff::~NUVZubFileHeaderDiff() = default;

bool NUVZubFileHeaderDiff::Check(bool condition, int line, char const* expression) {
    uts_UnitTestMonitor& monitor = getMonitor();
    if (!condition) {
        monitor.incrementUnitAssertFailureCount();
        monitor.reportFailure(kSourceFile, line, expression);
    }
    monitor.incrementUnitAssertCount();
    if (getVerbose() > 1) monitor.reportTrace(kSourceFile, line, expression);
    return condition;
}

void NUVZubFileHeaderDiff::ValidateHeader(char const* fileName, char const* label,
                                          unsigned char const* expected, int length) {
    // The stdio calls may be cancellation points, yet clang takes them for calls
    // that never throw; a cancellation requested meanwhile acts afterwards.
    const NUVZubPlatform::CancellationDeferred deferred;
    std::unique_ptr<std::FILE, FileCloser> file(NUVBasFileOps::Fopen(fileName, "rb"));
    std::FILE* fp = file.get();
    if (!Check(fp != 0, __LINE__, "fp != 0")) return;

    const long fileLength = FileLength(fp);
    const int bufferLength = fileLength > 0 ? static_cast<int>(fileLength) : 0;
    BufferHolder buffer(bufferLength);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer.Get());
    const std::size_t size_read = bufferLength > 0 ? std::fread(bytes, 1, bufferLength, fp) : 0;
    const long file_length = fileLength;
    Check(static_cast<long>(size_read) == file_length && "Header read failed.", __LINE__,
          "size_read == file_length && \"Header read failed.\"");
    file.reset();

    const bool passedLength = static_cast<long>(size_read) == static_cast<long>(length);
    Check(passedLength && "Header validation failed length.", __LINE__,
          "passedLength && \"Header validation failed length.\"");
    bool passed = false;
    if (passedLength) {
        passed = length == 0 || std::memcmp(bytes, expected, static_cast<std::size_t>(length)) == 0;
        Check(passed && "Header validation failed match.", __LINE__,
              "passed && \"Header validation failed match.\"");
    }

    if (!passed) {
        struct Header {
            const char* label;
            const unsigned char* bytes;
            std::size_t size;
        } header{label != nullptr ? label : "", bytes, size_read};
        NUVZubUttAssert::ReportNotice(
            [](NUVZubUttNoticeText& notice, const void* context) {
                const Header& h = *static_cast<const Header*>(context);
                notice.Write(h.label);
                notice.Write("\nActual length: ");
                notice.WriteDecimal(static_cast<int>(h.size));
                notice.Write("\n");
                for (std::size_t i = 0; i < h.size; ++i) {
                    if (i > 0) notice.Write(",");
                    notice.WriteDecimal(h.bytes[i]);
                }
                if (h.size > 0) notice.Write("\n");
            },
            &header);
    }
}
