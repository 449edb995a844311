#include "qtermwatch.h"

#include <cerrno>
#include <chrono>

#include <poll.h>
#include <unistd.h>

#include "termsignal.h"

namespace
{
    const int kPollMs = 50;

    long long nowMs()
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
}

QTermWatch::QTermWatch(std::function<void(int)> stop, std::function<void()> cleanUp, int graceMs)
    : m_stop(std::move(stop))
    , m_cleanUp(std::move(cleanUp))
    , m_graceMs(graceMs)
    , m_fd(platform::installTerminationPipe())
{
    if (m_fd >= 0)
        m_thread = std::thread(&QTermWatch::run, this);
}

QTermWatch::~QTermWatch()
{
    finish();
}

void QTermWatch::finish()
{
    m_finished = true;
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

int QTermWatch::signal() const
{
    return m_signal;
}

void QTermWatch::run()
{
    long long deadline = -1;
    while (!m_finished)
    {
        if (deadline >= 0 && nowMs() >= deadline)
        {
            // The run is stuck (in a libvlc call, or waiting on the main program): nothing of it
            // may stay behind, but the process ends now.
            if (m_cleanUp)
                m_cleanUp();
            ::_exit(1);
        }
        pollfd p {m_fd, POLLIN, 0};
        const int r = ::poll(&p, 1, kPollMs);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0 || m_finished)
            continue;
        const int sig = platform::takeTerminationSignal(m_fd);
        if (sig == 0 || m_signal != 0)
            continue;
        m_signal = sig;
        deadline = nowMs() + m_graceMs;
        if (m_stop)
            m_stop(sig);
    }
}
