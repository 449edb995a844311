#pragma once

// Orderly end on SIGTERM, SIGINT and SIGHUP, the way a session or a terminal asks a program to
// quit: the handler only writes the signal number as one byte into a pipe (self-pipe), whose
// read end the event loop watches and answers with a normal quit.
namespace platform
{
    // Installs the handlers once per process; returns the read end of the pipe (non-blocking,
    // close-on-exec), the same on every call, or -1 when no pipe could be made.
    int installTerminationPipe();

    // Empties the pipe; returns the last signal number that was waiting there, or 0.
    int takeTerminationSignal(int fd);
}
