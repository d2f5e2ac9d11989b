// The Windows-only file services: sharing, paths at every length, owner-only
// temporaries, names found, removal while open. The lock: OSFileWin32's test.
#include <NUVZubPlatform/File.h>
#include <NUVZubPlatform/SystemCallsWin32.h>

#include <NativePaths.h>
#include <PlatformFind.h>
#include <TempDir.h>
#include <Utf16Win32.h>

#include <gtest/gtest.h>

#include <aclapi.h>

#include <set>
#include <string>
#include <vector>

using namespace NUVZubPlatform;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
using Names = std::set<std::string>;

// A second opener, as another program would be.
DWORD OpenSecond(const std::string& path, DWORD access, DWORD share) {
    const HANDLE h = CreateFileW(utf16::Widen(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError();
    ::CloseHandle(h);
    return 0;
}

SystemCallsWin32 g_real = GetWin32Calls();
std::vector<std::wstring> g_paths; // every path the system receives
HANDLE WINAPI RecordOpen(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                         HANDLE t) {
    g_paths.push_back(p);
    return g_real.CreateFileW(p, a, s, sa, d, f, t);
}

} // namespace

TEST(PlatformWin32Open, EachModeSharesReadAndDeleteAndOnlyReadingSharesWrite) {
    TempDir dir;
    const struct {
        OpenMode mode;
        const char* name;
        bool othersMayWrite;
    } cases[] = {{OpenMode::Read, "read", true},         {OpenMode::Update, "update", false},
                 {OpenMode::Write, "write", false},      {OpenMode::Append, "append", false},
                 {OpenMode::CreateNew, "create", false}, {OpenMode::Temporary, "temp", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        if (c.mode == OpenMode::Read || c.mode == OpenMode::Update) dir.Write(c.name, "data");
        Handle h = kNoHandle;
        EXPECT_EQ(OpenFile(path.c_str(), c.mode, h), 0);
        EXPECT_EQ(OpenSecond(path, GENERIC_READ, 0), DWORD(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(OpenSecond(path, GENERIC_READ, kShareAll), 0u);
        EXPECT_EQ(OpenSecond(path, GENERIC_WRITE, kShareAll),
                  c.othersMayWrite ? 0u : DWORD(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(OpenSecond(path, DELETE, kShareAll), 0u);
        EXPECT_EQ(CloseFile(h), 0);
    }
}

// The short and long forms must not make two files of one name: a final dot or
// space goes, and a device name is the device or a file at every length. From
// MAX_PATH on every path gets the prefix, a relative one too, its ".." folded
// first (Windows refuses such paths without it; Wine needs none). A prefixed
// path's dots: FileUtilsWin32's test of long paths with dot components.
TEST(PlatformWin32Paths, ANameMeansOneFileAtEveryLengthLongRelativePathsArePrefixed) {
    TempDir dir;
    std::string longDir = dir.Path();
    for (char c : {'a', 'b'}) {
        longDir += "\\" + std::string(150, c);
        CreateDirectoryW((L"\\\\?\\" + utf16::Widen(longDir)).c_str(), nullptr);
    }
    std::vector<bool> nulIsFile;
    for (const std::string& where : {dir.Path(), longDir}) {
        SCOPED_TRACE(where.size());
        const auto given = [&](const std::string& name) { // as FixPathForOS gives it
            const std::string path = where + "\\" + name;
            return path.size() >= MAX_PATH ? "\\\\?\\" + path : path;
        };
        Handle h = kNoHandle;
        for (const char* name : {"dot.", "space ", "both. "}) {
            EXPECT_EQ(OpenFile(given(name).c_str(), OpenMode::CreateNew, h), 0) << name;
            CloseFile(h);
            std::string plain = name;
            while (plain.back() == '.' || plain.back() == ' ')
                plain.pop_back();
            EXPECT_EQ(Find(where + "\\" + plain + "*"), Names{plain}) << name;
            EXPECT_EQ(RemoveFile(given(name).c_str()), 0) << name;
        }
        EXPECT_EQ(OpenFile(given("NUL").c_str(), OpenMode::Write, h), 0);
        std::uint64_t done = 0;
        EXPECT_EQ(WriteNext(h, "x", 1, done), 0);
        CloseFile(h);
        nulIsFile.push_back(Find(where + "\\*").count("NUL") == 1);
    }
    EXPECT_EQ(nulIsFile[0], nulIsFile[1]) << "NUL is a file at one length, the device at the other";
    Handle h = kNoHandle;
    const std::string saved = CurrentDir();
    ASSERT_TRUE(ChangeDir(dir.Path()));
    const std::string relative = std::string(150, 'a') + "\\..\\" + std::string(150, 'a') + "\\r";
    SystemCallsWin32 calls = g_real = GetWin32Calls();
    calls.CreateFileW = RecordOpen;
    g_paths.clear();
    SetWin32Calls(calls);
    const int error = OpenFile(relative.c_str(), OpenMode::Write, h);
    ResetWin32Calls();
    CloseFile(h);
    ChangeDir(saved);
    EXPECT_EQ(error, 0);
    ASSERT_EQ(g_paths.size(), 1u);
    EXPECT_EQ(g_paths[0], L"\\\\?\\" + utf16::Widen(dir / std::string(150, 'a') + "\\r"));
}

namespace {

// Empty when `descriptor` grants every right to the calling user alone and
// takes nothing from the folder; else what is wrong with it.
std::string OwnerOnly(PSECURITY_DESCRIPTOR descriptor) {
    if (descriptor == nullptr) return "no descriptor: the folder's access list is inherited";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0, size = 0;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    void* entry = nullptr;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl)
        return "no access list";
    if ((control & SE_DACL_PROTECTED) == 0) return "the folder's entries are inherited";
    if (acl->AceCount != 1 || !GetAce(acl, 0, &entry))
        return std::to_string(acl->AceCount) + " entries";
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    unsigned char user[512];
    HANDLE token = nullptr;
    const bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                       GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    if (token) ::CloseHandle(token);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || !known ||
        !EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                  reinterpret_cast<const TOKEN_USER*>(user)->User.Sid))
        return "not allowed to the calling user";
    return (allowed->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS ? "" : "not every right";
}

std::vector<std::string> g_descriptors; // OwnerOnly's verdict on each create
HANDLE WINAPI CheckCreate(LPCWSTR p, DWORD a, DWORD s, LPSECURITY_ATTRIBUTES sa, DWORD d, DWORD f,
                          HANDLE t) {
    g_descriptors.push_back(OwnerOnly(sa ? sa->lpSecurityDescriptor : nullptr));
    return g_real.CreateFileW(p, a, s, sa, d, f, t);
}
NTSTATUS NTAPI CheckNativeCreate(PHANDLE h, ACCESS_MASK a, POBJECT_ATTRIBUTES o,
                                 PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG attributes,
                                 ULONG share, ULONG disposition, ULONG options, PVOID ea,
                                 ULONG eaLength) {
    g_descriptors.push_back(OwnerOnly(o->SecurityDescriptor));
    return g_real.NtCreateFile(h, a, o, io, size, attributes, share, disposition, options, ea,
                               eaLength);
}

} // namespace

// Owner-only, as POSIX's mode 0600, never the folder's access list (C:\temp's
// is readable by every user): checked in the descriptor each create hands the
// system and, where the file system keeps one, in the one it kept.
TEST(PlatformWin32Temporary, IsCreatedForTheCallingUserAlone) {
    TempDir dir;
    SystemCallsWin32 calls = g_real = GetWin32Calls();
    calls.CreateFileW = CheckCreate;
    calls.NtCreateFile = CheckNativeCreate;
    g_descriptors.clear();
    SetWin32Calls(calls);
    Handle opened = kNoHandle, pinnedFile = kNoHandle;
    PinnedName* pinned = nullptr;
    const std::vector<int> errors = {
        OpenFile((dir / "open.tmp").c_str(), OpenMode::Temporary, opened),
        PinName((dir / "pinned.tmp").c_str(), pinned),
        pinned ? OpenPinned(pinned, OpenMode::Temporary, pinnedFile) : -1};
    ResetWin32Calls();
    EXPECT_EQ(errors, std::vector<int>(3, 0));
    // OpenFile's create, the pin's directory, OpenPinned's create.
    ASSERT_EQ(g_descriptors.size(), 3u);
    EXPECT_EQ(g_descriptors[0], "") << "OpenFile";
    EXPECT_EQ(g_descriptors[2], "") << "OpenPinned";
    std::vector<std::string> kept;
    for (Handle h : {opened, pinnedFile}) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        kept.push_back(GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS
                           ? OwnerOnly(descriptor)
                           : "unreadable");
        LocalFree(descriptor);
        CloseFile(h);
    }
    UnpinName(pinned);
    if (UnderWine())
        GTEST_SKIP() << "Wine keeps no descriptor of a file: it turns one into mode bits and "
                        "shows others, so only the descriptor handed over can be checked there";
    EXPECT_EQ(kept, std::vector<std::string>(2, ""));
}

TEST(PlatformWin32Find, ANameWithAnUnpairedSurrogateComesBackAndOpens) {
    TempDir dir;
    const std::wstring lone = utf16::Widen(dir.Path()) + L"\\s\xD800.x";
    const HANDLE h = CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "no unpaired surrogate in a name here (Wine keeps names in UTF-8)";
    ::CloseHandle(h);
    const Names found = Find(dir / "*.x"); // encoded like any other code point
    ASSERT_EQ(found, Names{"s\xed\xa0\x80.x"});
    Handle file = kNoHandle;
    EXPECT_EQ(OpenFile((dir / *found.begin()).c_str(), OpenMode::Read, file), 0);
    CloseFile(file);
}

namespace {

// A system without POSIX-semantics deletion (before Windows 10 1709, FAT, some
// shares, Wine): the removals move the file aside first.
BOOL WINAPI NoPosixDeletion(HANDLE h, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size) {
    if (kind != 21) return g_real.SetFileInformationByHandle(h, kind, info, size);
    SetLastError(ERROR_INVALID_PARAMETER); // FileDispositionInfoEx
    return FALSE;
}

// The three ways a name goes: by path, as found by a search, as pinned.
int RemoveBy(int way, bool posix, const std::string& path) {
    SystemCallsWin32 calls = g_real = GetWin32Calls();
    if (!posix) calls.SetFileInformationByHandle = NoPosixDeletion;
    SetWin32Calls(calls);
    int error = 0;
    if (way == 0) error = RemoveFile(path.c_str());
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    if (way == 1 && (error = FindFirst(path.c_str(), search, found)) == 0)
        error = RemoveFound(search, found);
    EndFind(search);
    PinnedName* pinned = nullptr;
    Handle h = kNoHandle;
    if (way == 2 && (error = PinName(path.c_str(), pinned)) == 0 &&
        (error = OpenPinned(pinned, OpenMode::Update, h)) == 0)
        error = RemovePinned(pinned, h);
    CloseFile(h);
    UnpinName(pinned);
    ResetWin32Calls();
    return error;
}

} // namespace

// A deleted name stays taken on Windows ("delete pending") until the file's last
// handle closes. Each removal frees it at once, with POSIX semantics or without;
// a read-only file is refused, as DeleteFileW refuses it, and stays.
TEST(PlatformWin32Remove, TheNameIsFreeAtOnceWhileTheFileIsOpenAndReadOnlyIsRefused) {
    for (bool posix : {true, false}) {
        for (int way = 0; way < 3; ++way) {
            SCOPED_TRACE(std::string(posix ? "POSIX" : "no POSIX") + " way " + std::to_string(way));
            TempDir dir;
            const std::string path = dir.Write("name", "old"), kept = dir.Write("kept", "data");
            const HANDLE holder =
                CreateFileW(utf16::Widen(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_NE(holder, INVALID_HANDLE_VALUE);
            EXPECT_EQ(RemoveBy(way, posix, path), 0);
            EXPECT_TRUE(Find(path).empty());
            Handle again = kNoHandle;
            EXPECT_EQ(OpenFile(path.c_str(), OpenMode::CreateNew, again), 0);
            CloseFile(again);
            char buffer[8];
            DWORD n = 0;
            EXPECT_TRUE(ReadFile(holder, buffer, sizeof buffer, &n, nullptr));
            EXPECT_EQ(std::string(buffer, n), "old");
            ::CloseHandle(holder);
            if (way < 2) {
                EXPECT_TRUE(
                    SetFileAttributesW(utf16::Widen(kept).c_str(), FILE_ATTRIBUTE_READONLY));
                EXPECT_EQ(RemoveBy(way, posix, kept), ERROR_ACCESS_DENIED);
            }
            EXPECT_EQ(Find(dir / "*"), (Names{".", "..", "name", "kept"}))
                << "nothing left behind, nothing read-only gone";
        }
    }
}

// Names found go from the directory searched, and a pinned name is created and
// removed in its directory, wherever the relative path leads after another
// thread's change of the working directory.
TEST(PlatformWin32Remove, NamesGoFromTheirDirectoryWhereverThePathLeadsLater) {
    TempDir dir;
    for (const char* sub : {"one", "one\\sub", "two", "two\\sub"})
        ASSERT_EQ(MakeDirectory((dir / sub).c_str()), 0);
    dir.Write("one\\sub\\a.x", "");
    dir.Write("two\\sub\\a.x", "");
    const std::string saved = CurrentDir();
    ASSERT_TRUE(ChangeDir(dir / "one"));
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    const int searched = FindFirst("sub\\*.x", search, found);
    PinnedName* pinned = nullptr;
    const int pinnedError = PinName("sub\\t.x", pinned);
    ASSERT_TRUE(ChangeDir(dir / "two"));
    const int removed = searched == 0 ? RemoveFound(search, found) : searched;
    Handle h = kNoHandle;
    const int created = pinnedError == 0 ? OpenPinned(pinned, OpenMode::CreateNew, h) : pinnedError;
    const bool createdThere = Find(dir / "one\\sub\\t.x").size() == 1;
    const int unpinned = created == 0 ? RemovePinned(pinned, h) : created;
    ChangeDir(saved);
    EndFind(search);
    CloseFile(h);
    UnpinName(pinned);
    EXPECT_EQ(removed, 0);
    EXPECT_EQ(created, 0);
    EXPECT_EQ(unpinned, 0);
    EXPECT_TRUE(createdThere);
    EXPECT_TRUE(Find(dir / "one\\sub\\*.x").empty());
    EXPECT_EQ(Find(dir / "two\\sub\\*.x"), Names{"a.x"});
}

// A directory found is refused, never entered; a symbolic link found is
// removed itself, never its target, and one to a directory refused.
TEST(PlatformWin32Remove, ADirectoryFoundIsRefusedALinkRemovedItself) {
    TempDir dir;
    ASSERT_EQ(MakeDirectory((dir / "d.x").c_str()), 0);
    dir.Write("d.x\\inside", "");
    DirectorySearch* search = nullptr;
    const char* found = nullptr;
    ASSERT_EQ(FindFirst((dir / "d.*").c_str(), search, found), 0);
    EXPECT_EQ(RemoveFound(search, found), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RemoveFound(search, "d.x\\inside"), ERROR_INVALID_NAME) << "a path, not a name";
    EndFind(search);
    const Names inside{".", "..", "inside"};
    EXPECT_EQ(Find(dir / "d.x\\*"), inside);
    dir.Write("target.keep", "kept");
    const DWORD unprivileged = 2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    CreateSymbolicLinkW(utf16::Widen(dir / "file.y").c_str(),
                        utf16::Widen(dir / "target.keep").c_str(), unprivileged);
    CreateSymbolicLinkW(utf16::Widen(dir / "dir.y").c_str(), utf16::Widen(dir / "d.x").c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY | unprivileged);
    if (Find(dir / "*.y") != Names{"dir.y", "file.y"})
        GTEST_SKIP() << "no symbolic links here (Wine reports them made and makes none; "
                        "Windows needs the privilege or developer mode)";
    ASSERT_EQ(FindFirst((dir / "*.y").c_str(), search, found), 0);
    EXPECT_EQ(RemoveFound(search, "file.y"), 0);
    EXPECT_EQ(RemoveFound(search, "dir.y"), ERROR_ACCESS_DENIED);
    EndFind(search);
    EXPECT_EQ(Find(dir / "*.y"), Names{"dir.y"});
    EXPECT_EQ(ReadWhole(dir / "target.keep"), "kept");
    EXPECT_EQ(Find(dir / "d.x\\*"), inside);
}
