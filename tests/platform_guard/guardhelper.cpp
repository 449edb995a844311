// guardhelper <name> [--spawn | --fork]
// Takes the single-instance lock <name> and prints "acquired", "taken" or "failed". When it
// holds the lock it waits until its standard input closes. With --spawn it first starts a
// long-running child ("child <pid>"), which must not inherit the lock; with --fork the child
// is a copy of this program that never runs another one.
#include <cstdio>
#include <cstring>

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include "instanceguard.h"

extern char **environ;

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const instanceguard::Result result = instanceguard::acquire(argv[1]);
    if (result != instanceguard::Acquired) {
        std::printf("%s\n", result == instanceguard::Taken ? "taken" : "failed");
        return result == instanceguard::Taken ? 1 : 3;
    }
    if (argc > 2 && std::strcmp(argv[2], "--spawn") == 0) {
        pid_t pid = 0;
        char sleepPath[] = "/bin/sleep";
        char seconds[] = "60";
        char *childArgv[] = { sleepPath, seconds, nullptr };
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 1, 0);
        if (posix_spawn(&pid, sleepPath, &actions, nullptr, childArgv, environ) != 0)
            return 4;
        posix_spawn_file_actions_destroy(&actions);
        std::printf("child %d\n", static_cast<int>(pid));
    }
    if (argc > 2 && std::strcmp(argv[2], "--fork") == 0) {
        const pid_t pid = ::fork();
        if (pid < 0)
            return 4;
        if (pid == 0) {
            for (;;)
                ::pause();
        }
        std::printf("child %d\n", static_cast<int>(pid));
    }
    std::printf("acquired\n");
    std::fflush(stdout);
    char buffer[64];
    while (::read(0, buffer, sizeof(buffer)) > 0) {
    }
    return 0;
}
