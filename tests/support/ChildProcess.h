// Runs a function in a child process and captures its stderr and exit status,
// for tests of process-wide state (switches set once, environment read once).
// POSIX forks; Windows starts this test program again with only the current
// test, which runs up to the same call and then the function alone.
#pragma once

#if !defined(_WIN32)

#include <TempDir.h>

#include <functional>
#include <string>

#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

struct ChildResult {
    int exitCode = -1; ///< -1 if the child did not exit normally
    std::string err;
};

inline ChildResult RunInChild(const std::function<int()>& body) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) std::abort();
    pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], 2);
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 99;
        }
        fflush(stderr);
        _exit(code);
    }
    close(pipeFds[1]);
    ChildResult result;
    char buffer[4096];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        result.err.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

/// A forked child shares the test's memory, and so its temporary directory.
using SharedTempDir = TempDir;

/// A forked child never runs the test's steps again.
inline bool IsChildProcess() { return false; }
#else
#include <ChildProcessWin32.h>
#endif
