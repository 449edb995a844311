// Whole-buffer writes: a write cut short by a signal or a full pipe goes on where it stopped,
// and a descriptor that takes nothing is reported.

#include <atomic>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fdio.h"

namespace
{
    void onSignal(int)
    {
    }
}

TEST(FdWrite, InterruptedAndPartialWritesGoOn)
{
    // No SA_RESTART: a signal while the writer waits on the full pipe ends that write early.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string data(2 * 1024 * 1024, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 131 + i / 4096);

    std::atomic<bool> done(false);
    bool result = false;
    std::thread writer([&]() {
        result = platform::writeAll(fds[1], data.data(), data.size());
        ::close(fds[1]);
        done = true;
    });
    const pthread_t writerHandle = writer.native_handle();

    // Two signals between reads: the first cuts a write short, the second meets the next
    // write still waiting on the full pipe, before it has taken anything (EINTR).
    std::string got;
    char buf[16384];
    for (;;)
    {
        for (int i = 0; i < 2 && !done; ++i)
        {
            pthread_kill(writerHandle, SIGUSR1);
            ::usleep(300);
        }
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    writer.join();
    ::close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_TRUE(result);
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(FdWrite, FailureIsReported)
{
    EXPECT_FALSE(platform::writeAll(-1, "x", 1));

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    // No reader: EPIPE (the signal it raises is ignored for the test).
    struct sigaction ignore {};
    struct sigaction previous {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);
    EXPECT_FALSE(platform::writeAll(fds[1], "abc", 3));
    sigaction(SIGPIPE, &previous, nullptr);
    ::close(fds[1]);

    EXPECT_TRUE(platform::writeAll(-1, "", 0)) << "nothing to write is no failure";
}
