#include <NUVZub/NUVZubUttFileUtils.h>

#include <NUVBas/NUVBasException.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZub/NUVZubContainersC.h>
#include <NUVZub/NUVZubExcFile.h>
#include <NUVZub/NUVZubUttAssert.h>
#include <NUVZub/NUVZubUttFilePathParser.h>
#include <NUVZub/NUVZubUttUtils.h>
#include <NUVZubBadNUVString.h>
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/Thread.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>

namespace {

constexpr const char* kSourceFile = "NUVZub/NUVZubUtt.m/src/NUVZubUttFileUtils";

#define NUVZUB_THROW(exception) (exception).Throw(kSourceFile, __LINE__)
#define NUVZUB_THROW_SYSTEM(service, error)                                                        \
    NUVZubExcSystemError(service, NUVBasSystemError(error)).Throw(kSourceFile, __LINE__)

NUVString Fixed(const NUVString& path) {
    NUVZubBadNUVString::Check(path);
    return NUVZubUttFilePathParser::FixPathForOS(path);
}

bool ReadAttributes(const NUVString& path, NUVZubPlatform::FileAttributes& attributes) {
    const NUVString fixed = Fixed(path);
    return NUVZubPlatform::GetAttributes(fixed.CastToCharPtr(), attributes) == 0;
}

} // namespace

namespace NUVZubUttFileUtils {

NUVString AbsolutePath(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    std::string full;
    if (NUVZubPlatform::FullPath(fixed.CastToCharPtr(), full) != 0)
        NUVZubUttAssert::ReportAssertionFailure("absolutePath.s != 0");
    NUVString result(full);
    // The working directory need not be valid UTF-8.
    if (result.IsBAD()) NUVZUB_THROW(NUVBasToUTF8Exception("_wfullpath"));
    return result;
}

bool SameFile(const NUVString& a, const NUVString& b) {
    NUVZubBadNUVString::Check(a);
    NUVZubBadNUVString::Check(b);
    if (!FileExists(a) || !FileExists(b)) return false;
    return GetFileID(a) == GetFileID(b);
}

FileId GetFileID(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    NUVZubPlatform::FileIdentity identity;
    int failedStep = 0;
    const int error = NUVZubPlatform::GetIdentity(fixed.CastToCharPtr(), identity, failedStep);
    if (error != 0) {
        if (failedStep == 1) NUVZUB_THROW_SYSTEM("GetFileInformationByHandle", error);
        if (NUVZubPlatform::IsNotFound(error)) NUVZUB_THROW(NUVZubExcNoSuchFile(path));
        NUVZUB_THROW_SYSTEM("CreateFile", error);
    }
    FileId id;
    id.volumeSerialNumber = static_cast<std::uint32_t>(identity.device ^ (identity.device >> 32));
    id.fileIndexHigh = static_cast<std::uint32_t>(identity.index >> 32);
    id.fileIndexLow = static_cast<std::uint32_t>(identity.index);
    return id;
}

// RerootBranch and ShortenFileName check no argument themselves: the path
// functions they call do where it matters.
NUVString RerootBranch(const NUVString& a, const NUVString& b) {
    using namespace NUVZubUttFilePathParser;
    if (IsDir(a)) return FixPathForOS(Join(a, b));
    return FixPathForOS(Join(DirPath(a), b));
}

NUVString ShortenFileName(const NUVString& directory, const NUVString& path) {
    if (directory.ByteLength() == 0) return path;
    const NUVString absoluteDirectory = AbsolutePath(directory);
    const NUVString absolutePath = AbsolutePath(path);
    // Both are valid UTF-8, so an equal character prefix is an equal byte prefix.
    const std::string& dir = absoluteDirectory.Str();
    const std::string& full = absolutePath.Str();
    if (full.size() <= dir.size() || full.compare(0, dir.size(), dir) != 0) return absolutePath;
    // Windows keeps a directory's final separator in its absolute form.
    const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
    std::size_t start = dir.size();
    if (!isSeparator(dir.back())) {
        if (!isSeparator(full[start])) return absolutePath;
        ++start;
    }
    return NUVZubUttFilePathParser::FixPathForOS(NUVString(full.substr(start)));
}

bool FileExists(const NUVString& path) {
    NUVZubPlatform::FileAttributes attributes;
    return ReadAttributes(path, attributes);
}

bool IsDir(const NUVString& path) {
    NUVZubPlatform::FileAttributes attributes;
    return ReadAttributes(path, attributes) && attributes.isDirectory;
}

bool IsWriteable(const NUVString& path) {
    NUVZubPlatform::FileAttributes attributes;
    if (!ReadAttributes(path, attributes)) return false;
    return attributes.isDirectory || !attributes.readOnly;
}

void Move(const NUVString& from, const NUVString& to) {
    const NUVString fixedFrom = Fixed(from);
    const NUVString fixedTo = Fixed(to);
    const int error =
        NUVZubPlatform::RenameFile(fixedFrom.CastToCharPtr(), fixedTo.CastToCharPtr());
    if (error != 0) NUVZUB_THROW_SYSTEM("MoveFileEx", error);
}

bool LinkIfUnique(const NUVString& existing, const NUVString& link) {
    const NUVString fixedExisting = Fixed(existing);
    const NUVString fixedLink = Fixed(link);
    const int error =
        NUVZubPlatform::MakeHardLink(fixedExisting.CastToCharPtr(), fixedLink.CastToCharPtr());
    if (error == 0) return true;
    if (NUVZubPlatform::IsAlreadyExists(error)) return false;
    NUVZUB_THROW_SYSTEM("CreateHardLink", error);
}

void Remove(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    const int error = NUVZubPlatform::RemoveFile(fixed.CastToCharPtr());
    if (error != 0) NUVZUB_THROW_SYSTEM("DeleteFile", error);
}

bool RemoveNoThrow(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    return NUVZubPlatform::RemoveFile(fixed.CastToCharPtr()) == 0;
}

void MakeDir(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    const int error = NUVZubPlatform::MakeDirectory(fixed.CastToCharPtr());
    if (error != 0) NUVZUB_THROW_SYSTEM("CreateDirectory", error);
}

void RemoveDir(const NUVString& path) {
    const NUVString fixed = Fixed(path);
    const int error = NUVZubPlatform::RemoveDirectory(fixed.CastToCharPtr());
    if (error != 0) NUVZUB_THROW_SYSTEM("RemoveDirectory", error);
}

// ---- GlobRange ----

struct GlobRange::GlobRangeImpl : public mem_AllocationOperators {
    NUVString directory;
    NUVString name;
    NUVZubPlatform::DirectorySearch* search = nullptr;
    bool empty = true;
    ~GlobRangeImpl() { NUVZubPlatform::EndFind(search); }
};

GlobRange::GlobRange(const NUVString& pattern) : m_impl(new GlobRangeImpl) {
    try {
        NUVZubBadNUVString::Check(pattern);
        m_impl->directory = NUVZubUttFilePathParser::DirPath(pattern);
        // DirPath("/x*") and DirPath("\\x*") are empty; the matches still lie in the root.
        if (m_impl->directory.IsNull() &&
            (pattern[0] == NUVChar('/') || pattern[0] == NUVChar('\\')))
            m_impl->directory = "/";
        const NUVString fixed = NUVZubUttFilePathParser::FixPathForOS(pattern);
        const char* first = nullptr;
        const int error = NUVZubPlatform::FindFirst(fixed.CastToCharPtr(), m_impl->search, first);
        if (error == 0) {
            m_impl->name = NUVString(first);
            m_impl->empty = false;
            SkipDots();
        } else if (error != NUVZubPlatform::kNoMatch) {
            NUVZubUttAssert::ReportNotice(
                {"!!! Error in FindFirstFile.  Pattern: \"", fixed.CastToCharPtr(), "\"\n"});
            NUVZUB_THROW_SYSTEM("FindFirstFile", error);
        }
    } catch (...) {
        delete m_impl;
        throw;
    }
}

GlobRange::~GlobRange() { delete m_impl; }

NUVString GlobRange::Front() {
    if (m_impl->directory.ByteLength() == 0) return m_impl->name;
    return NUVZubUttFilePathParser::Join(m_impl->directory, m_impl->name);
}

void GlobRange::Next() {
    Advance();
    SkipDots();
}

bool GlobRange::Empty() const { return m_impl->empty; }

void GlobRange::Advance() {
    if (m_impl->empty) return;
    const char* next = nullptr;
    const int error = NUVZubPlatform::FindNext(m_impl->search, next);
    if (error == 0) {
        m_impl->name = NUVString(next);
    } else if (error == NUVZubPlatform::kNoMoreMatches) {
        m_impl->empty = true;
    } else {
        NUVZUB_THROW_SYSTEM("FindNextFile", error);
    }
}

void GlobRange::SkipDots() {
    while (!m_impl->empty && (m_impl->name == NUVString(".") || m_impl->name == NUVString("..")))
        Advance();
}

void RemoveAll(const NUVString& pattern) {
    NUVZubBadNUVString::Check(pattern);
    for (GlobRange range(pattern); !range.Empty(); range.Next()) {
        // From the directory searched, by the name as found (UTF-8 or not, a
        // backslash in it included): the path may lead elsewhere by now.
        const int error =
            NUVZubPlatform::RemoveFound(range.m_impl->search, range.m_impl->name.CastToCharPtr());
        if (error != 0) NUVZUB_THROW_SYSTEM("DeleteFile", error);
    }
}

} // namespace NUVZubUttFileUtils

// ---- plain-name glob functions ----

namespace {

// A flat handle: the range and the text GlobFront last handed out, which
// stays valid until the next GlobNext or GlobFree.
struct FlatGlob : public NUVZubUttFileUtils::GlobRange {
    explicit FlatGlob(const NUVString& pattern) : GlobRange(pattern) {}
    NUVString front;
};

// The handles GlobInit returned and GlobFree has not yet freed, so that a
// freed or made-up handle is refused instead of used. Built when the library
// loads, so it outlives the static objects of the programs that link it.
class LiveGlobs {
public:
    void Add(FlatGlob* glob) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_live.insert(glob);
    }
    bool Contains(const void* glob) const {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_live.count(glob) != 0;
    }
    /// Forgets the handle; false when it is not live.
    bool Remove(const void* glob) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_live.erase(glob) != 0;
    }

private:
    mutable std::mutex m_mutex;
    std::unordered_set<const void*> m_live;
};
LiveGlobs g_liveGlobs;

constexpr const char kNotLive[] = "glob is a live handle (from GlobInit, not yet freed)";

FlatGlob* Checked(void* glob) {
    NUVZUB_ASSERT(nullptr != glob);
    if (!g_liveGlobs.Contains(glob)) NUVZubUttAssert::ReportAssertionFailure(kNotLive);
    return static_cast<FlatGlob*>(glob);
}

// The caught exception's text, cut to the buffer and always terminated. Only
// a thread's forced unwind leaves; a failure to build the text does not.
void ErrorText(int size, char* buffer) {
    NUVZubPlatform::RethrowIfForcedUnwind();
    if (buffer == nullptr || size <= 0) return;
    try {
        try {
            throw;
        } catch (const NUVBasException& exception) {
            const atr_String report = exception.DeveloperReport(NUVBasStringMode(false));
            NUVZubUttUtils::Copy(buffer, report.CStr(), size);
        } catch (const std::exception& exception) {
            std::string text = "System exception: ";
            text += exception.what();
            NUVZubUttUtils::Copy(buffer, text.c_str(), size);
        } catch (...) {
            NUVZubUttUtils::Copy(buffer, "Unrecognized exception.", size);
        }
    } catch (...) {
        NUVZubPlatform::RethrowIfForcedUnwind();
        NUVZubUttUtils::Copy(buffer, "Memory allocation failed.", size);
    }
    buffer[size - 1] = '\0';
}

// Runs the body of a plain-name function: true when it returns, false with the
// text of anything it throws.
template <class Body> bool AtBoundary(int size, char* buffer, Body body) {
    try {
        body();
        return true;
    } catch (...) {
        ErrorText(size, buffer);
        return false;
    }
}

} // namespace

extern "C" {

bool NUVZubUttFileUtils_GlobInit(const char* pattern, void** glob, int size, char* buffer) {
    return AtBoundary(size, buffer, [&] {
        NUVZUB_ASSERT(nullptr != pattern);
        NUVZUB_ASSERT(nullptr != glob);
        std::unique_ptr<FlatGlob> range(new FlatGlob(NUVString(pattern)));
        g_liveGlobs.Add(range.get());
        *glob = range.release();
    });
}

bool NUVZubUttFileUtils_GlobFront(void* glob, const char** front, int size, char* buffer) {
    return AtBoundary(size, buffer, [&] {
        FlatGlob* range = Checked(glob);
        NUVZUB_ASSERT(nullptr != front);
        // Front of an exhausted range would read a stale name.
        NUVZUB_ASSERT(!range->Empty());
        range->front = range->Front();
        *front = range->front.CastToCharPtr();
    });
}

bool NUVZubUttFileUtils_GlobNext(void* glob, int size, char* buffer) {
    return AtBoundary(size, buffer, [&] { Checked(glob)->Next(); });
}

bool NUVZubUttFileUtils_GlobEmpty(void* glob, bool* empty, int size, char* buffer) {
    return AtBoundary(size, buffer, [&] {
        FlatGlob* range = Checked(glob);
        NUVZUB_ASSERT(nullptr != empty);
        *empty = range->Empty();
    });
}

bool NUVZubUttFileUtils_GlobFree(void* glob, int size, char* buffer) {
    return AtBoundary(size, buffer, [&] {
        NUVZUB_ASSERT(nullptr != glob);
        if (!g_liveGlobs.Remove(glob)) NUVZubUttAssert::ReportAssertionFailure(kNotLive);
        delete static_cast<FlatGlob*>(glob);
    });
}

} // extern "C"
