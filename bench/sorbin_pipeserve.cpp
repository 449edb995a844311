// Bench helper: serves a pipe like the main program (answers "ok" to each message) while it
// runs one command, then prints the command's timings and peak memory.
//
//   sorbin_pipeserve <pipe name> <program> [arguments...]
//
// Output: "wall_ms=<n> work_ms=<n> maxrss_kb=<n> exit=<n> messages=<n>", where work_ms runs
// from the client's connection to its last message.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "namedpipe.h"

int main(int argc, char **argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s <pipe name> <program> [arguments...]\n", argv[0]);
        return 2;
    }
    platform::NamedPipeServer server;
    if (!server.create(argv[1]))
    {
        std::fprintf(stderr, "cannot create the pipe %s\n", argv[1]);
        return 2;
    }
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const pid_t pid = fork();
    if (pid == 0)
    {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    if (pid < 0)
        return 2;

    auto connected = start, last = start;
    int messages = 0;
    if (server.waitForClient(30000))
    {
        connected = clock::now();
        std::string m;
        while (server.read(m, 600000) > 0)
        {
            ++messages;
            last = clock::now();
            server.write("ok");
        }
    }
    int status = 0;
    rusage usage {};
    wait4(pid, &status, 0, &usage);
    const auto end = clock::now();
    auto ms = [](clock::duration d) { return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); };
    std::printf("wall_ms=%lld work_ms=%lld maxrss_kb=%ld exit=%d messages=%d\n", ms(end - start), ms(last - connected),
                usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), messages);
    return 0;
}
