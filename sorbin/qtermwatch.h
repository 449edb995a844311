#pragma once

#include <atomic>
#include <functional>
#include <thread>

// Answers SIGTERM, SIGINT and SIGHUP (platform/termsignal.h) on a thread of its own: `stop` is
// called with the signal number at once, so that the run ends its loops and cleans up; when the
// run has not finished `graceMs` later, `cleanUp` is called and the process ends with exit code 1.
class QTermWatch
{
public:
    QTermWatch(std::function<void(int)> stop, std::function<void()> cleanUp, int graceMs);
    ~QTermWatch();

    QTermWatch(const QTermWatch &) = delete;
    QTermWatch &operator=(const QTermWatch &) = delete;

    // The run has finished: the watcher ends (a later signal finds the default handlers' pipe).
    void finish();
    // The signal that asked the run to end, or 0.
    int signal() const;

private:
    void run();

    std::function<void(int)> m_stop;
    std::function<void()> m_cleanUp;
    int m_graceMs;
    int m_fd = -1;
    std::atomic<bool> m_finished {false};
    std::atomic<int> m_signal {0};
    std::thread m_thread;
};
