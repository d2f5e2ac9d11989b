// Windows child processes for tests, without fork: the test program starts
// itself again with only the current test (--gtest_filter) and the number of
// the call to run in an environment variable. The child runs the test body up
// to that call, runs the function alone and exits with its result; earlier
// calls return the results the parent saw. So, as with a death test, what the
// body does before the call is done again in the child (its TempDir is a
// fresh one), and the parent sees none of the child's memory. setenv and
// unsetenv come along for the children's environments.
#pragma once

#include <EnvironmentWin32.h>
#include <TempDir.h>
#include <Utf16Win32.h>

#include <gtest/gtest.h>

#include <WindowsApi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ChildResult {
    int exitCode = -1; ///< -1 if the child ended by an exception (a crash)
    std::string err;
};

namespace child_detail {

constexpr wchar_t kCallVariable[] = L"NUVZUB_CHILD_CALL";
constexpr wchar_t kSharedDirVariable[] = L"NUVZUB_CHILD_SHARED_DIR";

/// The current test's SharedTempDir in the parent, empty when there is none.
inline std::wstring& SharedDir() {
    static std::wstring path;
    return path;
}

struct TestCalls {
    std::string test;
    std::vector<int> exitCodes; ///< of the calls made so far
};

// The calls of the test that runs now: a listener starts them afresh at each
// test's start, repetitions of one test included.
inline TestCalls& Calls() {
    static TestCalls calls;
    return calls;
}

class CallsOfEachTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& info) override {
        Calls() = TestCalls{std::string(info.test_suite_name()) + "." + info.name(), {}};
    }
};

inline const bool g_callsTracked =
    (testing::UnitTest::GetInstance()->listeners().Append(new CallsOfEachTest), true);

/// In a child: the call to run and the exit codes of the calls before it.
inline bool ChildCall(int& target, std::vector<int>& earlier) {
    wchar_t value[4096];
    const DWORD n = GetEnvironmentVariableW(kCallVariable, value, 4096);
    if (n == 0 || n >= 4096) return false;
    wchar_t* at = value;
    target = static_cast<int>(std::wcstol(at, &at, 10));
    while (*at == L',')
        earlier.push_back(static_cast<int>(std::wcstol(at + 1, &at, 10)));
    return true;
}

[[noreturn]] inline void RunHere(const std::function<int()>& body) {
    int code = 1;
    try {
        code = body();
    } catch (...) {
        code = 99;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code); // no static destructors, as in a forked child
}

} // namespace child_detail

/// True in a child started by RunInChild or BackgroundChild: the test body
/// runs there again up to its call, so steps that must happen once (taking a
/// lock, creating a file exclusively) are left to the parent.
inline bool IsChildProcess() {
    int target = 0;
    std::vector<int> earlier;
    return child_detail::ChildCall(target, earlier);
}

/// A child that runs `body` in the background: the test reads its stderr, waits
/// for it or ends it by force. RunInChild is one that runs to its end.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::function<int()>& body) {
        child_detail::TestCalls& calls = child_detail::Calls();
        m_call = calls.exitCodes.size();
        int target = 0;
        std::vector<int> earlier;
        if (child_detail::ChildCall(target, earlier)) {
            if (static_cast<int>(m_call) + 1 == target) child_detail::RunHere(body);
            // A call before ours: the parent's result again, so the body takes the same way.
            calls.exitCodes.push_back(m_call < earlier.size() ? earlier[m_call] : -1);
            return;
        }
        Start(calls.test, calls.exitCodes);
        calls.exitCodes.push_back(m_process ? 0 : -1);
    }
    ~BackgroundChild() {
        Terminate();
        if (m_err) CloseHandle(m_err);
        if (m_process) CloseHandle(m_process);
    }
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    bool Started() const { return m_process != nullptr; }
    /// The next line of the child's stderr without its end; empty at the end.
    std::string ReadLine() {
        std::string line;
        char c;
        DWORD n = 0;
        while (m_err && ReadFile(m_err, &c, 1, &n, nullptr) && n == 1) {
            if (c == '\n') return line;
            if (c != '\r') line += c; // stderr is a text stream: "\r\n" ends a line
        }
        return line;
    }
    /// The rest of the child's stderr, each "\r\n" of its text stream as "\n".
    std::string ReadAll() {
        std::string text;
        char buffer[4096];
        DWORD n = 0;
        while (m_err && ReadFile(m_err, buffer, sizeof buffer, &n, nullptr) && n > 0)
            text.append(buffer, n);
        for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; ++at)
            text.erase(at, 1);
        return text;
    }
    /// True if the child ended within `milliseconds`.
    bool Ended(DWORD milliseconds) {
        return m_process && WaitForSingleObject(m_process, milliseconds) == WAIT_OBJECT_0;
    }
    /// Ends the child by force and waits until it is gone.
    void Terminate() {
        if (!m_process || Ended(0)) return;
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, INFINITE);
    }
    /// Waits for the child's end; -1 for an exception status (a crash). In a
    /// child, the parent's result for this call.
    int ExitCode() {
        std::vector<int>& codes = child_detail::Calls().exitCodes;
        int result = m_call < codes.size() ? codes[m_call] : -1;
        DWORD code = 0;
        if (!m_process) return result;
        WaitForSingleObject(m_process, INFINITE);
        result = GetExitCodeProcess(m_process, &code) && code < 0xC0000000 ? int(code) : -1;
        if (m_call < codes.size()) codes[m_call] = result; // what a child's replay sees
        return result;
    }

private:
    // Starts this program with the current test only, to run our call.
    void Start(const std::string& test, const std::vector<int>& earlier) {
        using namespace child_detail;
        std::vector<wchar_t> exe(32768);
        if (GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())) == 0) return;
        std::wstring command =
            L"\"" + std::wstring(exe.data()) + L"\" \"--gtest_filter=" + utf16::Widen(test) + L"\"";
        std::wstring value = std::to_wstring(m_call + 1);
        for (int code : earlier)
            value += L"," + std::to_wstring(code);
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE writeEnd = nullptr;
        if (!CreatePipe(&m_err, &writeEnd, &inherit, 0)) return;
        SetHandleInformation(m_err, HANDLE_FLAG_INHERIT, 0);
        // The child's GoogleTest output goes nowhere; only its stderr is wanted.
        HANDLE nul =
            CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = nul;
        startup.hStdError = writeEnd;
        PROCESS_INFORMATION info = {};
        SetEnvironmentVariableW(kCallVariable, value.c_str());
        SetEnvironmentVariableW(kSharedDirVariable,
                                SharedDir().empty() ? nullptr : SharedDir().c_str());
        const BOOL ok = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                       nullptr, &startup, &info);
        SetEnvironmentVariableW(kCallVariable, nullptr);
        SetEnvironmentVariableW(kSharedDirVariable, nullptr);
        CloseHandle(writeEnd); // the child holds the only write end: its exit ends the pipe
        if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
        if (!ok) return;
        CloseHandle(info.hThread);
        m_process = info.hProcess;
    }

    std::size_t m_call = 0; ///< index of this call among the test's calls
    HANDLE m_process = nullptr;
    HANDLE m_err = nullptr; ///< read end of the child's stderr
};

inline ChildResult RunInChild(const std::function<int()>& body) {
    BackgroundChild child(body);
    ChildResult result;
    result.err = child.ReadAll();
    result.exitCode = child.ExitCode();
    return result;
}

/// A temporary directory that the current test shares with its children: the
/// parent creates and removes it, a child finds the same path. One per test.
class SharedTempDir {
public:
    SharedTempDir() {
        wchar_t path[32768];
        const DWORD n = GetEnvironmentVariableW(child_detail::kSharedDirVariable, path, 32768);
        if (IsChildProcess() && n > 0 && n < 32768) {
            m_path = utf16::Narrow(path);
            return;
        }
        m_own.reset(new TempDir);
        m_path = m_own->Path();
        child_detail::SharedDir() = utf16::Widen(m_path);
    }
    ~SharedTempDir() {
        if (m_own) child_detail::SharedDir().clear();
    }
    SharedTempDir(const SharedTempDir&) = delete;
    SharedTempDir& operator=(const SharedTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::unique_ptr<TempDir> m_own;
    std::string m_path;
};
