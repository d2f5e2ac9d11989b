// File-system services over the Windows kernel: attributes, identity, names,
// directories and the directory search with the system's own wildcard
// matching. Every system call goes through the table of SystemCallsWin32.h.
#include "Calls.h"
#include "Wide.h"

// windows.h maps the name to RemoveDirectoryA; the interface's own is meant.
#undef RemoveDirectory

#include <NUVZubPlatform/File.h>

#include <cstdlib>
#include <cwchar>
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
    return g_win32.DeleteFileW(source.c_str()) ? 0 : LastError();
}

int MakeHardLink(const char* existing, const char* link) {
    return OnWidePaths(existing, link, [](const wchar_t* target, const wchar_t* name) {
        return g_win32.CreateHardLinkW(name, target, nullptr);
    });
}

int RemoveFile(const char* path) {
    return OnWidePath(path, [](const wchar_t* p) { return g_win32.DeleteFileW(p); });
}

int MakeDirectory(const char* path) {
    return OnWidePath(path, [](const wchar_t* p) { return g_win32.CreateDirectoryW(p, nullptr); });
}

int RemoveDirectory(const char* path) {
    return OnWidePath(path, [](const wchar_t* p) { return g_win32.RemoveDirectoryW(p); });
}

int FullPath(const char* path, std::string& result) {
    std::wstring wide;
    if (const int error = ToWidePath(path, wide)) return error;
    // The runtime folds "." and ".." and resolves drive-relative forms
    // against the working directory of that drive; nothing must exist.
    wchar_t* full = _wfullpath(nullptr, wide.c_str(), 0);
    if (full == nullptr) return ERROR_INVALID_NAME;
    ToNarrow(full, std::wcslen(full), result);
    std::free(full);
    return 0;
}

// ---- directory search ----

struct DirectorySearch {
    HANDLE handle = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW found;
    std::string name;    // the current match in UTF-8
    std::string pattern; // as given, for RemoveFound
};

int FindFirst(const char* pattern, DirectorySearch*& search, const char*& name) {
    search = nullptr;
    std::wstring wide;
    if (const int error = ToWidePath(pattern, wide)) return error;
    auto* opened = new DirectorySearch;
    opened->pattern = pattern;
    opened->handle = g_win32.FindFirstFileW(wide.c_str(), &opened->found);
    if (opened->handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        delete opened;
        // An existing directory without a match reports "file not found";
        // a missing directory reports "path not found".
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES) return kNoMatch;
        return static_cast<int>(error);
    }
    ToNarrow(opened->found.cFileName, std::wcslen(opened->found.cFileName), opened->name);
    name = opened->name.c_str();
    search = opened;
    return 0;
}

int FindNext(DirectorySearch* search, const char*& name) {
    if (!g_win32.FindNextFileW(search->handle, &search->found)) {
        const DWORD error = GetLastError();
        return error == ERROR_NO_MORE_FILES ? kNoMoreMatches : static_cast<int>(error);
    }
    ToNarrow(search->found.cFileName, std::wcslen(search->found.cFileName), search->name);
    name = search->name.c_str();
    return 0;
}

void EndFind(DirectorySearch* search) {
    if (search == nullptr) return;
    g_win32.FindClose(search->handle);
    delete search;
}

// ---- removal where a name was found or created ----
// By the directory's path joined with the name, for now: a directory on the
// way replaced by a junction or a symbolic link meanwhile redirects the
// removal. DeleteFileW removes a link itself, never its target.

int RemoveFound(DirectorySearch* search, const char* name) {
    const std::string& pattern = search->pattern;
    const std::size_t cut = pattern.find_last_of("\\/:");
    const std::string directory = cut == std::string::npos ? "" : pattern.substr(0, cut + 1);
    return RemoveFile((directory + name).c_str());
}

struct PinnedName {
    std::string path;
};

int PinName(const char* path, PinnedName*& pinned) {
    pinned = new PinnedName{path};
    return 0;
}

int OpenPinned(PinnedName* pinned, OpenMode mode, Handle& handle) {
    return OpenFile(pinned->path.c_str(), mode, handle);
}

int RemovePinned(PinnedName* pinned, Handle handle) {
    FileIdentity named, open;
    int failedStep = 0;
    if (GetIdentity(pinned->path.c_str(), named, failedStep) != 0) return 0;
    if (const int error = GetHandleIdentity(handle, open)) return error;
    if (named.device != open.device || named.index != open.index) return 0;
    return RemoveFile(pinned->path.c_str());
}

void UnpinName(PinnedName* pinned) { delete pinned; }

} // namespace NUVZubPlatform
