// File-system services over the Windows kernel: attributes, identity, names,
// directories, the directory search with the library's own matching, and
// removal through a handle. Every system call goes through the table of
// SystemCallsWin32.h.
#include "Calls.h"
#include "Open.h"
#include "Wide.h"

#include <NUVZubPlatform/File.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace NUVZubPlatform {

namespace {

int LastError() { return static_cast<int>(GetLastError()); }

// Runs `call` on the wide form of `path`.
template <class Call> int OnWidePath(const char* path, Call call) {
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    return call(wide.c_str()) ? 0 : LastError();
}

template <class Call> int OnWidePaths(const char* first, const char* second, Call call) {
    std::wstring a, b;
    if (const int error = ToWidePath(first, a)) return error;
    if (const int error = ToWidePath(second, b)) return error;
    return call(a.c_str(), b.c_str()) ? 0 : LastError();
}

void ToIdentity(const BY_HANDLE_FILE_INFORMATION& info, FileIdentity& identity) {
    identity.device = info.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

} // namespace

int GetAttributes(const char* path, FileAttributes& attributes) {
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    const DWORD bits = g_win32.GetFileAttributesW(wide.c_str());
    if (bits == INVALID_FILE_ATTRIBUTES) return LastError();
    attributes.isDirectory = (bits & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A directory's read-only bit only marks it for the shell; files may
    // still be created in it.
    attributes.readOnly = !attributes.isDirectory && (bits & FILE_ATTRIBUTE_READONLY) != 0;
    return 0;
}

int GetIdentity(const char* path, FileIdentity& identity, int& failedStep) {
    failedStep = 0;
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    // No access rights, every sharing: the open disturbs no other holder.
    // Backup semantics let a directory be opened too.
    const HANDLE handle =
        g_win32.CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return LastError();
    const int error = GetHandleIdentity(handle, identity);
    if (error != 0) failedStep = 1;
    g_win32.CloseHandle(handle);
    return error;
}

int GetHandleIdentity(Handle handle, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_win32.GetFileInformationByHandle(handle, &info)) return LastError();
    ToIdentity(info, identity);
    return 0;
}

namespace {

// FileDispositionInfoEx (Windows 10 1607 on), which mingw-w64's headers hide
// behind a version test that never holds.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// The codes of a file system or system that has no POSIX-semantics deletion.
bool IsUnsupported(int error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION;
}

// Renames the open file to a name of its own in the directory that holds it.
// By absolute path: the system resolves a relative new name against the
// working directory, and Wine takes no root-directory handle here.
bool RenameAside(HANDLE file) {
    std::vector<wchar_t> path(1024);
    DWORD length = 0;
    for (;;) {
        length = GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                           FILE_NAME_NORMALIZED);
        if (length == 0) return false;
        if (length < path.size()) break;
        path.resize(length + 1);
    }
    std::wstring target(path.data(), length);
    const std::size_t slash = target.find_last_of(L'\\');
    if (slash == std::wstring::npos) return false;
    static std::atomic<unsigned> counter{0};
    target.resize(slash + 1);
    target += L".nuvzub-removed-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(++counter);
    // FILE_RENAME_INFO ends in the name.
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    return g_win32.SetFileInformationByHandle(file, FileRenameInfo, rename,
                                              static_cast<DWORD>(buffer.size())) != 0;
}

// Removes a name given in full.
int RemoveWide(const std::wstring& path) {
    // The entry itself, a link included, never what it links to; a directory
    // fails to open here, as DeleteFileW fails on one.
    const HANDLE file =
        g_win32.CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastError();
    const int error = DeleteOpened(file);
    g_win32.CloseHandle(file);
    return error;
}

} // namespace

// A plain deletion leaves the name taken ("delete pending": a create there
// fails with access denied) until the last handle of the file closes.
int DeleteOpened(HANDLE file) {
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE |
                                      FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    if (g_win32.SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix))
        return 0;
    const int error = LastError();
    if (!IsUnsupported(error)) return error; // a read-only file: access denied
    // No POSIX semantics (older systems, FAT, some shares): the file moves
    // aside first, unless it is read-only, which no deletion removes.
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_win32.GetFileInformationByHandle(file, &info)) return LastError();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) return ERROR_ACCESS_DENIED;
    RenameAside(file); // failing that, the name stays taken until the last close
    FILE_DISPOSITION_INFO plain = {TRUE};
    return g_win32.SetFileInformationByHandle(file, FileDispositionInfo, &plain, sizeof plain)
               ? 0
               : LastError();
}

namespace {

// What a name leads to: the file's identity, and the name of the entry itself
// once every form of it (letter case, short names, "." and "..", junctions)
// is resolved. False if the name leads nowhere.
bool ReadEntry(const std::wstring& path, FileIdentity& identity, std::wstring& entry) {
    const HANDLE handle =
        g_win32.CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    std::vector<wchar_t> name(1024);
    DWORD length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                             FILE_NAME_NORMALIZED);
    if (length >= name.size()) {
        name.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, name.data(), static_cast<DWORD>(name.size()),
                                           FILE_NAME_NORMALIZED);
    }
    const bool read =
        length > 0 && length < name.size() && GetHandleIdentity(handle, identity) == 0;
    g_win32.CloseHandle(handle);
    if (read) entry.assign(name.data(), length);
    return read;
}

} // namespace

int RenameFile(const char* from, const char* to) {
    std::wstring source, target;
    if (const int error = ToWidePath(from, source)) return error;
    if (const int error = ToWidePath(to, target)) return error;
    // Replacing, within one volume: a move across volumes fails as rename(2) does.
    if (!g_win32.MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return LastError();
    // Between two links of one file the source name must go; some file
    // systems (Wine's, over POSIX rename) report success and keep both. Two
    // forms of one name (letter case, say) are one entry: nothing to remove.
    const DWORD left = g_win32.GetFileAttributesW(source.c_str());
    if (left == INVALID_FILE_ATTRIBUTES || (left & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
    FileIdentity moved, kept;
    std::wstring movedEntry, keptEntry;
    if (!ReadEntry(target, moved, movedEntry) || !ReadEntry(source, kept, keptEntry) ||
        moved.device != kept.device || moved.index != kept.index ||
        CompareStringOrdinal(movedEntry.c_str(), static_cast<int>(movedEntry.size()),
                             keptEntry.c_str(), static_cast<int>(keptEntry.size()),
                             TRUE) == CSTR_EQUAL)
        return 0;
    return RemoveWide(source);
}

int MakeHardLink(const char* existing, const char* link) {
    return OnWidePaths(existing, link, [](const wchar_t* target, const wchar_t* name) {
        return g_win32.CreateHardLinkW(name, target, nullptr);
    });
}

int RemoveFile(const char* path) {
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    return RemoveWide(wide);
}

int MakeDirectory(const char* path) {
    return OnWidePath(path, [](const wchar_t* p) { return g_win32.CreateDirectoryW(p, nullptr); });
}

int RemoveDirectory(const char* path) {
    return OnWidePath(path, [](const wchar_t* p) { return g_win32.RemoveDirectoryW(p); });
}

int FullPath(const char* path, std::string& result) {
    std::wstring wide, full;
    if (!ToWide(path, wide)) return ERROR_NO_UNICODE_TRANSLATION;
    // Without a prefix: the result is a name to show or to compare, and the
    // platform boundary adds the prefix to whatever it is given again.
    if (const int error = FoldPath(wide, full)) return error;
    ToNarrow(full, result);
    return 0;
}

// ---- directory search ----
//
// The system's matching is not the library's: it also matches the 8.3 short
// names ("*.htm" finds page.html as PAGE~1.HTM, "*.txt" finds notes.txt~), so
// every name it returns passes the library's own matching of the long name.

namespace {

// One code unit against another, ignoring case as the file system does: by
// the system's upper-case table (CompareStringOrdinal), ASCII at once.
bool SameUnit(wchar_t a, wchar_t b) {
    if (a == b) return true;
    if (a < 0x80 && b < 0x80) {
        const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c; };
        return lower(a) == lower(b);
    }
    return CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// Code units of the character at `i`: a surrogate pair is one character, and
// so is an unpaired surrogate.
std::size_t CharUnits(const wchar_t* name, std::size_t i, std::size_t length) {
    const bool high = name[i] >= 0xD800 && name[i] <= 0xDBFF;
    return high && i + 1 < length && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF ? 2 : 1;
}

// '*' any run, '?' one character, everything else itself ignoring case.
// Iterative, backtracking to the last star only.
bool Wildcards(const std::wstring& pattern, const wchar_t* name, std::size_t length) {
    std::size_t p = 0, n = 0, starP = std::wstring::npos, starN = 0;
    while (n < length) {
        if (p < pattern.size() && pattern[p] == L'*') {
            starP = ++p;
            starN = n;
        } else if (p < pattern.size() && pattern[p] == L'?') {
            ++p;
            n += CharUnits(name, n, length);
        } else if (p < pattern.size() && SameUnit(pattern[p], name[n])) {
            ++p;
            ++n;
        } else if (starP != std::wstring::npos) {
            p = starP;
            starN += CharUnits(name, starN, length);
            n = starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

// The library's matching of a long name, with the two conventions Windows
// users rely on: "*.*" matches every name, and a final '.' matches names
// without an extension ("*." those without a dot at all).
bool Matches(const std::wstring& pattern, const wchar_t* name) {
    const std::size_t length = std::wcslen(name);
    if (pattern == L"*.*") return true;
    if (pattern.size() > 1 && pattern.back() == L'.' && pattern != L"..")
        return std::wmemchr(name, L'.', length) == nullptr &&
               Wildcards(pattern.substr(0, pattern.size() - 1), name, length);
    return Wildcards(pattern, name, length);
}

void Close(HANDLE& handle) {
    if (handle != INVALID_HANDLE_VALUE) g_win32.CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
}

// Opens the directory `path` leads to (links on the way followed) to hold it.
// No access rights: the handle only anchors names. A missing directory, or a
// file where it should be, is "path not found", as for an open through it.
int OpenDirectory(const std::wstring& path, HANDLE& directory) {
    directory =
        g_win32.CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE) {
        const int error = LastError();
        return error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!g_win32.GetFileInformationByHandle(directory, &info)) {
        const int error = LastError();
        Close(directory);
        return error;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        Close(directory);
        return ERROR_PATH_NOT_FOUND;
    }
    return 0;
}

} // namespace

struct DirectorySearch {
    HANDLE find = INVALID_HANDLE_VALUE;
    // The directory the pattern led to when the search started: found names
    // are removed there, wherever its path leads by then.
    HANDLE directory = INVALID_HANDLE_VALUE;
    std::wstring pattern; // the last component
    WIN32_FIND_DATAW found;
    std::string name; // the current match in UTF-8
    ~DirectorySearch() {
        if (find != INVALID_HANDLE_VALUE) g_win32.FindClose(find);
        Close(directory);
    }
};

namespace {

// The current entry if it matches, else the next that does.
int NextMatch(DirectorySearch* search, const char*& name) {
    while (!Matches(search->pattern, search->found.cFileName)) {
        if (!g_win32.FindNextFileW(search->find, &search->found)) {
            const DWORD error = GetLastError();
            return error == ERROR_NO_MORE_FILES ? kNoMoreMatches : static_cast<int>(error);
        }
    }
    ToNarrow(search->found.cFileName, std::wcslen(search->found.cFileName), search->name);
    name = search->name.c_str();
    return 0;
}

} // namespace

int FindFirst(const char* pattern, DirectorySearch*& search, const char*& name) {
    search = nullptr;
    // The directory part keeps its separator ("a\", "\", "C:"); none means here.
    const std::string text = pattern;
    const std::size_t cut = text.find_last_of("\\/:");
    const std::string directory = cut == std::string::npos ? "." : text.substr(0, cut + 1);
    std::unique_ptr<DirectorySearch> opened(new DirectorySearch);
    std::wstring where;
    if (!ToWide(text.c_str() + (cut == std::string::npos ? 0 : cut + 1), opened->pattern))
        return ERROR_NO_UNICODE_TRANSLATION;
    if (const int error = ToWidePath(directory.c_str(), where)) return error;
    if (where.back() != L'\\') where += L'\\';
    // The system is asked for every name unless the pattern is one plain name.
    const std::wstring& last = opened->pattern;
    const bool plain =
        last.find_first_of(L"*?") == std::wstring::npos && !last.empty() && last.back() != L'.';
    opened->find = g_win32.FindFirstFileExW((where + (plain ? last : L"*")).c_str(),
                                            FindExInfoBasic, &opened->found, FindExSearchNameMatch,
                                            nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (opened->find == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // An existing directory without a match reports "file not found";
        // a missing directory reports "path not found".
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kNoMatch;
        return static_cast<int>(error);
    }
    if (const int error = OpenDirectory(where, opened->directory)) return error;
    const int result = NextMatch(opened.get(), name);
    if (result != 0) return result == kNoMoreMatches ? kNoMatch : result;
    search = opened.release();
    return 0;
}

int FindNext(DirectorySearch* search, const char*& name) {
    if (!g_win32.FindNextFileW(search->find, &search->found)) {
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES ? kNoMoreMatches : static_cast<int>(error);
    }
    return NextMatch(search, name);
}

void EndFind(DirectorySearch* search) { delete search; }

// ---- removal where a name was found or created ----
// Names are opened relative to a handle of their directory (NtCreateFile's
// root directory, the one documented way), a reparse point as itself, and
// deleted through their own handle.

namespace {

// Opens the entry `name` of `directory` itself (a link too, never its target)
// for deletion; a directory, or a link to one, is refused as DeleteFileW
// refuses it.
int OpenEntry(HANDLE directory, const char* name, HANDLE& file) {
    file = INVALID_HANDLE_VALUE;
    std::wstring wide;
    if (!ToWide(name, wide)) return ERROR_NO_UNICODE_TRANSLATION;
    // One name, never a path: nothing below or beside the directory.
    if (wide.empty() || wide.find(L'\\') != std::wstring::npos ||
        wide.size() > 0x7FFF / sizeof(wchar_t))
        return ERROR_INVALID_NAME;
    UNICODE_STRING text;
    text.Buffer = &wide[0];
    text.Length = text.MaximumLength = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, directory, nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE opened = nullptr;
    const NTSTATUS result = g_win32.NtCreateFile(
        &opened, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes, &status, nullptr, 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
        0);
    if (result < 0) return static_cast<int>(RtlNtStatusToDosError(result));
    file = opened;
    return 0;
}

} // namespace

int RemoveFound(DirectorySearch* search, const char* name) {
    HANDLE file;
    if (const int error = OpenEntry(search->directory, name, file)) return error;
    const int error = DeleteOpened(file);
    g_win32.CloseHandle(file);
    return error;
}

struct PinnedName {
    HANDLE directory = INVALID_HANDLE_VALUE;
    std::wstring name;
    std::string narrow; // for OpenEntry
    ~PinnedName() { Close(directory); }
};

int PinName(const char* path, PinnedName*& pinned) {
    pinned = nullptr;
    std::unique_ptr<PinnedName> made(new PinnedName);
    // The last component after the last separator; the directory keeps it.
    const std::string text = path;
    const std::size_t cut = text.find_last_of("\\/:");
    const std::string directory = cut == std::string::npos ? "." : text.substr(0, cut + 1);
    made->narrow = text.substr(cut == std::string::npos ? 0 : cut + 1);
    if (!ToWide(made->narrow.c_str(), made->name)) return ERROR_NO_UNICODE_TRANSLATION;
    std::wstring where;
    if (const int error = ToWidePath(directory.c_str(), where)) return error;
    if (const int error = OpenDirectory(where, made->directory)) return error;
    pinned = made.release();
    return 0;
}

int OpenPinned(PinnedName* pinned, OpenMode mode, Handle& handle) {
    return OpenIn(pinned->directory, pinned->name, mode, handle);
}

int RemovePinned(PinnedName* pinned, Handle handle) {
    HANDLE file;
    if (const int error = OpenEntry(pinned->directory, pinned->narrow.c_str(), file))
        return IsNotFound(error) ? 0 : error;
    // The identity is checked and the name deleted through one handle: no
    // other file can take the name in between.
    FileIdentity named, open;
    int error = GetHandleIdentity(file, named);
    if (error == 0) error = GetHandleIdentity(handle, open);
    if (error == 0 && named.device == open.device && named.index == open.index)
        error = DeleteOpened(file);
    g_win32.CloseHandle(file);
    return error;
}

void UnpinName(PinnedName* pinned) { delete pinned; }

} // namespace NUVZubPlatform
