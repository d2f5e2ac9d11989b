// A POSIX thread for cancellation tests: runs a body, then passes a
// cancellation point, and tells how it ended. A test may wait until it blocks
// in a chosen system call (Linux: seen in /proc) to cancel it there. Meant for
// forked children under a deadline: a thread left unjoined ends with the child.
#pragma once

#if !defined(_WIN32)

#include <atomic>
#include <fstream>
#include <functional>
#include <string>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

class CancelledThread {
public:
    explicit CancelledThread(std::function<void()> body) : m_body(std::move(body)) {
        m_started = pthread_create(&m_thread, nullptr, &CancelledThread::Run, this) == 0;
    }
    CancelledThread(const CancelledThread&) = delete;
    CancelledThread& operator=(const CancelledThread&) = delete;

    bool Started() const { return m_started; }

    /// Waits until the thread blocks in system call `number` on descriptor `fd`
    /// (any descriptor for -1).
    void AwaitSystemCall(long number, int fd) const {
        while (!InSystemCall(number, fd))
            usleep(1000);
    }

    void Cancel() { pthread_cancel(m_thread); }

    /// Waits for the thread's end: true when it ended cancelled.
    bool JoinCancelled() {
        void* result = nullptr;
        return pthread_join(m_thread, &result) == 0 && result == PTHREAD_CANCELED;
    }

private:
    static void* Run(void* self) {
        auto* thread = static_cast<CancelledThread*>(self);
        thread->m_tid = static_cast<pid_t>(syscall(SYS_gettid));
        thread->m_body();
        // A cancellation the body deferred until it had finished acts here.
        pthread_testcancel();
        return nullptr;
    }

    bool InSystemCall(long number, int fd) const {
        const pid_t tid = m_tid.load();
        if (tid == 0) return false;
        // "number first-argument ..." while the thread waits in a call.
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long called = -1;
        std::string first;
        if (!(in >> called >> first) || called != number) return false;
        return fd < 0 || std::stol(first, nullptr, 16) == fd;
    }

    std::function<void()> m_body;
    pthread_t m_thread{};
    bool m_started = false;
    std::atomic<pid_t> m_tid{0};
};

#endif
