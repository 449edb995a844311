#pragma once

// Crash dumps for both programs. On SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT (handled on an
// alternate stack) and on std::terminate, one text dump is written into the working folder,
// named "v<version>-<build date>-<yyyymmdd>-<hhmmss>-<pid>-<tid>.dmp" (local time): the signal,
// the faulting address, the thread id, a backtrace and the memory map, written with
// async-signal-safe calls only. While a debugger (tracer) is attached nothing is written.
// The signal is then raised again with its default action, so the exit status stays a crash.
namespace platform
{
    // versionText is copied (at most 31 bytes); buildDate is yyyymmdd.
    void installCrashHandler(const char *versionText, int buildDate);
}
