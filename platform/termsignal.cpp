#include "termsignal.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace
{
    int g_pipe[2] = {-1, -1};

    void onTermination(int sig)
    {
        const int saved = errno;
        const unsigned char byte = static_cast<unsigned char>(sig);
        // A full pipe already holds a request to quit: the byte may be dropped.
        const ssize_t ignored = ::write(g_pipe[1], &byte, 1);
        (void)ignored;
        errno = saved;
    }
}

namespace platform
{
    int installTerminationPipe()
    {
        static std::once_flag once;
        std::call_once(once, []() {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
                return;
            g_pipe[0] = fds[0];
            g_pipe[1] = fds[1];

            struct sigaction sa;
            std::memset(&sa, 0, sizeof sa);
            sa.sa_handler = onTermination;
            sa.sa_flags = SA_RESTART;
            sigemptyset(&sa.sa_mask);
            for (int sig : {SIGTERM, SIGINT, SIGHUP})
                ::sigaction(sig, &sa, nullptr);
        });
        return g_pipe[0];
    }

    int takeTerminationSignal(int fd)
    {
        int last = 0;
        unsigned char buffer[64];
        for (;;)
        {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            last = buffer[n - 1];
        }
        return last;
    }
}
