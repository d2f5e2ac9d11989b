// File-system services over POSIX: attributes, identity, names, directories
// and the directory search. Every system call goes through the table of
// SystemCalls.h so that tests can make any of them fail.
#include "Calls.h"

#include <NUVZubPlatform/File.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace NUVZubPlatform {

int GetAttributes(const char* path, FileAttributes& attributes) {
    struct stat info;
    if (g_calls.stat(path, &info) != 0) return errno;
    attributes.isDirectory = S_ISDIR(info.st_mode);
    // By mode bits, not by access(2): root may write anything, yet a file
    // without any write bit is meant to be read-only.
    attributes.readOnly =
        !attributes.isDirectory && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    return 0;
}

int GetIdentity(const char* path, FileIdentity& identity, int& failedStep) {
    failedStep = 0;
    const int fd = g_calls.open(path, O_PATH | O_CLOEXEC, 0);
    if (fd < 0) return errno;
    struct stat info;
    int error = 0;
    if (g_calls.fstat(fd, &info) != 0) {
        error = errno;
        failedStep = 1;
    } else {
        identity.device = static_cast<std::uint64_t>(info.st_dev);
        identity.index = static_cast<std::uint64_t>(info.st_ino);
    }
    g_calls.close(fd);
    return error;
}

int GetHandleIdentity(Handle handle, FileIdentity& identity) {
    struct stat info;
    if (g_calls.fstat(handle, &info) != 0) return errno;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    return 0;
}

namespace {

// Status of the file opened without access rights with `flags` added.
bool StatusOf(const char* path, int flags, struct stat& info) {
    const int fd = g_calls.open(path, O_PATH | O_CLOEXEC | flags, 0);
    if (fd < 0) return false;
    const bool known = g_calls.fstat(fd, &info) == 0;
    g_calls.close(fd);
    return known;
}

bool SameIdentity(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory that holds the last component, and that component.
void SplitLast(const char* path, std::string& directory, std::string& name) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        directory = ".";
        name = path;
        return;
    }
    directory.assign(path, slash == path ? 1 : static_cast<std::size_t>(slash - path));
    name = slash + 1;
}

bool Lists(const std::string& directory, const std::string& name) {
    DIR* listing = g_calls.opendir(directory.c_str());
    if (listing == nullptr) return false;
    bool found = false;
    for (struct dirent* entry; !found && (entry = g_calls.readdir(listing)) != nullptr;)
        found = name == entry->d_name;
    g_calls.closedir(listing);
    return found;
}

// Whether two paths to one file are one directory entry: spelled alike, or
// differing only in letter case in a directory that ignores case. When in
// doubt, they are.
bool SameEntry(const char* a, const char* b) {
    std::string directoryA, nameA, directoryB, nameB;
    SplitLast(a, directoryA, nameA);
    SplitLast(b, directoryB, nameB);
    struct stat infoA, infoB;
    if (!StatusOf(directoryA.c_str(), O_DIRECTORY, infoA) ||
        !StatusOf(directoryB.c_str(), O_DIRECTORY, infoB))
        return true;
    if (!SameIdentity(infoA, infoB)) return false;
    if (nameA == nameB) return true;
    // Two entries of one directory are each listed under their own name.
    return !(Lists(directoryA, nameA) && Lists(directoryA, nameB));
}

} // namespace

int RenameFile(const char* from, const char* to) {
    if (g_calls.rename(from, to) != 0) return errno;
    // rename() succeeds and does nothing when both names are links to one file;
    // a move must still leave the source name gone. The source is checked and
    // removed in its directory held open: should its path lead elsewhere
    // meanwhile, nothing there is touched.
    std::string directory, name;
    SplitLast(from, directory, name);
    FillFreeStandardSlots();
    const int held = g_calls.open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (held < 0) return 0;
    struct stat source, target;
    int error = 0;
    // The entries themselves: a symbolic link is not followed.
    if (g_calls.fstatat(held, name.c_str(), &source, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(source.st_mode) && StatusOf(to, O_NOFOLLOW, target) &&
        SameIdentity(source, target) && !SameEntry(from, to) &&
        g_calls.unlinkat(held, name.c_str(), 0) != 0)
        error = errno;
    g_calls.close(held);
    return error;
}
int MakeHardLink(const char* existing, const char* link) {
    return g_calls.link(existing, link) == 0 ? 0 : errno;
}
int RemoveFile(const char* path) { return g_calls.unlink(path) == 0 ? 0 : errno; }
int MakeDirectory(const char* path) { return g_calls.mkdir(path, 0777) == 0 ? 0 : errno; }
int RemoveDirectory(const char* path) { return g_calls.rmdir(path) == 0 ? 0 : errno; }

int FullPath(const char* path, std::string& result) {
    std::string text;
    if (path[0] != '/') {
        std::vector<char> buffer(4096);
        while (g_calls.getcwd(buffer.data(), buffer.size()) == nullptr) {
            if (errno != ERANGE || buffer.size() > (1u << 20)) return errno;
            buffer.resize(buffer.size() * 2);
        }
        text = buffer.data();
        text += '/';
    }
    text += path;
    // Fold the components lexically.
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    result.clear();
    for (const std::string& part : parts) {
        result += '/';
        result += part;
    }
    if (result.empty()) result = "/";
    return 0;
}

// ---- directory search ----

struct DirectorySearch {
    DIR* directory = nullptr;
    std::string pattern; // the last component
};

namespace {

// Bytes of the character at `text`: a well-formed UTF-8 sequence counts as one
// character, and so does every byte outside one (names need not be UTF-8).
std::size_t CharLength(const char* text) {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char lead = s[0];
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF; // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;  // no overlong form
        if (lead == 0xED) high = 0x9F; // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;  // no overlong form
        if (lead == 0xF4) high = 0x8F; // nothing above U+10FFFF
    } else {
        return 1;
    }
    if (s[1] < low || s[1] > high) return 1;
    for (std::size_t i = 2; i < length; ++i)
        if ((s[i] & 0xC0) != 0x80) return 1;
    return length;
}

// '*' and '?' wildcards; iterative, backtracking to the last star only, so a
// pattern costs at most length(pattern) * length(name) steps.
bool Matches(const char* pattern, const char* name) {
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?') {
            ++pattern;
            name += CharLength(name);
        } else if (*pattern != '\0' && *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            starName += CharLength(starName);
            name = starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

// Next matching name, kNoMoreMatches at the end, or an error code.
int NextMatch(DirectorySearch* search, const char*& name) {
    for (;;) {
        errno = 0;
        struct dirent* entry = g_calls.readdir(search->directory);
        if (entry == nullptr) return errno == 0 ? kNoMoreMatches : errno;
        if (Matches(search->pattern.c_str(), entry->d_name)) {
            name = entry->d_name;
            return 0;
        }
    }
}

} // namespace

int FindFirst(const char* pattern, DirectorySearch*& search, const char*& name) {
    search = nullptr;
    std::string directory, last;
    SplitLast(pattern, directory, last);
    // Allocated first: a failure after opendir would lose the directory.
    std::unique_ptr<DirectorySearch> opened(new DirectorySearch{nullptr, std::move(last)});
    FillFreeStandardSlots();
    opened->directory = g_calls.opendir(directory.c_str());
    if (opened->directory == nullptr) return errno;
    const int result = NextMatch(opened.get(), name);
    if (result != 0) {
        EndFind(opened.release());
        return result == kNoMoreMatches ? kNoMatch : result;
    }
    search = opened.release();
    return 0;
}

int FindNext(DirectorySearch* search, const char*& name) { return NextMatch(search, name); }

void EndFind(DirectorySearch* search) {
    if (search == nullptr) return;
    g_calls.closedir(search->directory);
    delete search;
}

// ---- removal where a name was found or created ----

int RemoveFound(DirectorySearch* search, const char* name) {
    return g_calls.unlinkat(dirfd(search->directory), name, 0) == 0 ? 0 : errno;
}

struct PinnedName {
    int directory;
    std::string name;
};

int PinName(const char* path, PinnedName*& pinned) {
    pinned = nullptr;
    // Allocated before anything is open that could leak.
    std::unique_ptr<PinnedName> made(new PinnedName{-1, {}});
    std::string directory;
    SplitLast(path, directory, made->name);
    // No rights needed: the descriptor only anchors the name.
    FillFreeStandardSlots();
    made->directory = g_calls.open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (made->directory < 0) return errno;
    pinned = made.release();
    return 0;
}

int OpenPinned(PinnedName* pinned, OpenMode mode, Handle& handle) {
    return OpenAt(pinned->directory, pinned->name.c_str(), mode, handle);
}

int RemovePinned(PinnedName* pinned, Handle handle) {
    struct stat named, open;
    if (g_calls.fstatat(pinned->directory, pinned->name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? 0 : errno;
    if (g_calls.fstat(handle, &open) != 0) return errno;
    if (!SameIdentity(named, open)) return 0;
    return g_calls.unlinkat(pinned->directory, pinned->name.c_str(), 0) == 0 ? 0 : errno;
}

void UnpinName(PinnedName* pinned) {
    if (pinned == nullptr) return;
    g_calls.close(pinned->directory);
    delete pinned;
}

} // namespace NUVZubPlatform
