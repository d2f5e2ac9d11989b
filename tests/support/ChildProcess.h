// Runs a function in a child process, for tests of process-wide state, and
// captures its stderr and how it ended; a child still running at the deadline
// is ended by force. POSIX forks (the child leads its own process group, so its
// children end with it). Windows starts this program again with only the
// current test and the number of the call in an environment variable: as in a
// death test, the child runs the body again up to that call (earlier calls
// return the parent's results), runs the function alone and exits with its
// result. So it has a fresh TempDir, and the parent sees none of its memory.
#pragma once

#include <TempDir.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

/// The lines of `text`, without the "\r" of a Windows text stream.
inline std::vector<std::string> TextLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

/// Runs `body` as the whole of a child process: no static destructors run, as
/// in a forked child; 99 for an exception.
[[noreturn]] inline void RunAsChild(const std::function<int()>& body) {
    int code = 99;
    try {
        code = body();
    } catch (...) {
    }
    std::fflush(stderr);
    std::_Exit(code);
}

struct ChildResult {
    bool finished = true; ///< false if the deadline ended it
    int exitCode = -1;    ///< -1 if a signal (Windows: an exception) ended it
    int signal = 0;
    std::string err;
};

#if !defined(_WIN32)

#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

inline ChildResult RunInChild(const std::function<int()>& body, int seconds = 60) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        close(fds[0]);
        dup2(fds[1], 2);
        close(fds[1]);
        RunAsChild(body);
    }
    close(fds[1]);
    ChildResult result;
    const time_t deadline = time(nullptr) + seconds;
    int status = 0;
    // Reads stderr to its end, then waits: a child that closed it may still be running.
    for (bool reading = true;;) {
        if (result.finished && time(nullptr) >= deadline) {
            result.finished = false;
            kill(-pid, SIGKILL);
        }
        pollfd readable{fds[0], POLLIN, 0};
        char buffer[8192];
        if (reading && result.finished) {
            if (poll(&readable, 1, 200) == 0) continue;
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            reading = n > 0;
            if (reading && result.err.size() < (std::size_t(64) << 20)) // a runaway stays bounded
                result.err.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        const pid_t ended = waitpid(pid, &status, result.finished ? WNOHANG : 0);
        if (ended == pid) break;
        if (ended < 0 && errno != EINTR) std::abort(); // not our child: a fault of the test
        usleep(10000);
    }
    close(fds[0]);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

/// A forked child shares the test's memory, and so its temporary directory.
using SharedTempDir = TempDir;

/// A forked child never runs the test's steps again.
inline bool IsChildProcess() { return false; }

#else

#include <EnvironmentWin32.h>
#include <Utf16Win32.h>
#include <WindowsApi.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace child_detail {

constexpr wchar_t kCallVariable[] = L"NUVZUB_CHILD_CALL";
constexpr wchar_t kSharedDirVariable[] = L"NUVZUB_CHILD_SHARED_DIR";

/// The current test's SharedTempDir in the parent, empty when there is none.
inline std::wstring g_sharedDir;

/// The exit codes of the running test's calls so far, cleared at each test's
/// start (repetitions included).
inline std::vector<int> g_exitCodes;

class CallsOfEachTest : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { g_exitCodes.clear(); }
};

inline const bool g_callsTracked =
    (testing::UnitTest::GetInstance()->listeners().Append(new CallsOfEachTest), true);

/// The value of the environment variable `name`, empty when it is unset.
inline std::wstring Variable(const wchar_t* name) {
    std::vector<wchar_t> value(32768);
    const DWORD n = GetEnvironmentVariableW(name, value.data(), 32768);
    return std::wstring(value.data(), n < 32768 ? n : 0);
}

/// In a child: the number of the call to run, then the exit codes of the calls
/// before it; empty in the parent.
inline std::vector<int> ChildCall() {
    std::vector<int> numbers;
    std::wistringstream in(Variable(kCallVariable));
    for (int number; in >> number; in.ignore()) // "call,code,code..."
        numbers.push_back(number);
    return numbers;
}

} // namespace child_detail

/// True in a child: its replay of the test body leaves steps that must happen
/// once (taking a lock, creating a file exclusively) to the parent.
inline bool IsChildProcess() { return !child_detail::ChildCall().empty(); }

/// A child that runs `body` in the background: the test reads its stderr, waits
/// for it or ends it by force.
class BackgroundChild {
public:
    explicit BackgroundChild(const std::function<int()>& body) {
        std::vector<int>& codes = child_detail::g_exitCodes;
        m_call = codes.size();
        const std::vector<int> child = child_detail::ChildCall();
        if (!child.empty()) {
            if (static_cast<int>(m_call) + 1 == child[0]) RunAsChild(body);
            // A call before ours: the parent's result again, so the body takes the same way.
            codes.push_back(m_call + 1 < child.size() ? child[m_call + 1] : -1);
            return;
        }
        Start(codes);
        codes.push_back(m_process ? 0 : -1);
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
        std::vector<int>& codes = child_detail::g_exitCodes;
        int result = m_call < codes.size() ? codes[m_call] : -1;
        DWORD code = 0;
        if (!m_process) return result;
        WaitForSingleObject(m_process, INFINITE);
        result = GetExitCodeProcess(m_process, &code) && code < 0xC0000000 ? int(code) : -1;
        if (m_call < codes.size()) codes[m_call] = result; // what a child's replay sees
        return result;
    }

private:
    void Start(const std::vector<int>& earlier) {
        using namespace child_detail;
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        std::vector<wchar_t> exe(32768);
        if (!test || GetModuleFileNameW(nullptr, exe.data(), 32768) == 0) return;
        std::wstring command = L"\"" + std::wstring(exe.data()) + L"\" \"--gtest_filter=" +
                               utf16::Widen(test->test_suite_name()) + L"." +
                               utf16::Widen(test->name()) + L"\"";
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
                                g_sharedDir.empty() ? nullptr : g_sharedDir.c_str());
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

inline ChildResult RunInChild(const std::function<int()>& body, int seconds = 60) {
    BackgroundChild child(body);
    ChildResult result;
    // Read while waiting: a child that fills the pipe would never end.
    std::thread reader([&] { result.err = child.ReadAll(); });
    result.finished = !child.Started() || child.Ended(static_cast<DWORD>(seconds) * 1000);
    child.Terminate();
    reader.join();
    result.exitCode = child.ExitCode();
    return result;
}

/// A temporary directory that the current test shares with its children: the
/// parent creates and removes it, a child finds the same path. One per test.
class SharedTempDir {
public:
    SharedTempDir() {
        if (IsChildProcess())
            m_path = utf16::Narrow(child_detail::Variable(child_detail::kSharedDirVariable));
        if (!m_path.empty()) return;
        m_own.reset(new TempDir);
        m_path = m_own->Path();
        child_detail::g_sharedDir = utf16::Widen(m_path);
    }
    ~SharedTempDir() {
        if (m_own) child_detail::g_sharedDir.clear();
    }
    SharedTempDir(const SharedTempDir&) = delete;
    SharedTempDir& operator=(const SharedTempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::unique_ptr<TempDir> m_own;
    std::string m_path;
};

#endif
