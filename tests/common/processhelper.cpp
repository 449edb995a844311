// processhelper wait | stubborn | others <terminate-wait-ms>
// wait: prints "ready", then waits; SIGTERM makes it print "term" and exit with 0.
// stubborn: ignores SIGTERM, prints "ready", then waits until it is killed.
// others: ends the other processes of its own executable name and prints "done 1" (some
// ended) or "done 0".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/prctl.h>
#include <unistd.h>

#include "commonfun.h"

namespace
{
    void onTerm(int)
    {
        static const char text[] = "term\n";
        ssize_t written = ::write(STDOUT_FILENO, text, sizeof(text) - 1);
        (void)written;
        ::_exit(0);
    }

    int waitForever()
    {
        std::printf("ready\n");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    // Never outlives the test that started it, even when that crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1)
        return 3;
    if (std::strcmp(argv[1], "wait") == 0) {
        std::signal(SIGTERM, onTerm);
        return waitForever();
    }
    if (std::strcmp(argv[1], "stubborn") == 0) {
        std::signal(SIGTERM, SIG_IGN);
        return waitForever();
    }
    if (std::strcmp(argv[1], "others") == 0 && argc > 2) {
        const bool ended = CommonFun::killOtherInstances(std::atoi(argv[2]));
        std::printf("done %d\n", ended ? 1 : 0);
        return 0;
    }
    return 2;
}
