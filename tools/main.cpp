// platformserver --port N --fixture FILE
// Serves the web API of the fixture on 127.0.0.1:N until SIGINT or SIGTERM; with port 0 the
// chosen port is the first line of output.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <pthread.h>

#include "cloudserver.h"
#include "platformserver.h"

int main(int argc, char **argv)
{
    int port = 18480;
    std::string fixturePath = PlatformServer::demoFixturePath();
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc)
        {
            char *end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (!end || *end != '\0' || n < 0 || n > 65535)
            {
                std::fprintf(stderr, "platformserver: bad port %s\n", argv[i]);
                return 2;
            }
            port = static_cast<int>(n);
        }
        else if (arg == "--fixture" && i + 1 < argc)
            fixturePath = argv[++i];
        else
        {
            std::fprintf(stderr, "usage: platformserver [--port N] [--fixture FILE]\n");
            return 2;
        }
    }

    std::string error;
    const Json::Value fixture = PlatformServer::readFixture(fixturePath, &error);
    if (fixture.isNull())
    {
        std::fprintf(stderr, "platformserver: %s\n", error.c_str());
        return 1;
    }

    // Signals are taken by sigwait below, so every server thread starts with them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    PlatformServer server(fixture);
    CloudServer cloud(server);
    const int bound = server.start(port);
    if (bound <= 0)
    {
        std::fprintf(stderr, "platformserver: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("%d\n", bound);
    std::fflush(stdout);

    int sig = 0;
    sigwait(&signals, &sig);
    server.stop();
    return 0;
}
