#pragma once

#include <string>

// Named single-instance lock, the stand-in for a named mutex: a POSIX record lock (fcntl
// F_SETLK) on "<runtime folder><name>.lock". Such a lock belongs to the process that took it:
// a forked child does not hold it, not even before it runs another program, and the kernel
// releases it when the process ends, crashes included. The descriptor is opened with
// O_CLOEXEC; nothing else in the process may open and close the lock file (a close would
// drop the lock).
//
// The runtime folder is "$XDG_RUNTIME_DIR/vantrel/", a folder of this user's alone. When
// XDG_RUNTIME_DIR is unset or not this user's alone (another owner, open to others, or its
// "vantrel" taken by someone else), ensureRuntimeDirEnv() points the variable at a private
// fallback: "$TMPDIR/vantrel-<uid>" (TMPDIR or /tmp), or, when that name is taken, a
// "vantrel-<uid>-XXXXXX" beside it, reused by later starts.
namespace instanceguard
{
    enum Result { Acquired, Taken, Failed };

    // Takes the lock and keeps it for the rest of the process. Acquiring a name this
    // process already holds gives Acquired again.
    Result acquire(const std::string &name);

    // Gives up a lock taken by acquire() (for tests and orderly shut-down).
    void release(const std::string &name);

    // The same lock on "<folder><name>.lock" in a given folder (ending with "/", existing),
    // so that the guard belongs to that folder whatever the environment says.
    Result acquireIn(const std::string &folder, const std::string &name);
    void releaseIn(const std::string &folder, const std::string &name);

    // Points XDG_RUNTIME_DIR at a runtime folder of this user's alone (see above), so that Qt
    // finds one and both programs meet in the same one. Call it first thing in main(), before
    // any thread starts.
    void ensureRuntimeDirEnv();

    // The runtime folder, created when missing (ends with "/"); empty when no safe one exists.
    std::string runtimeDir();
    // Its name only, nothing created; the folder XDG_RUNTIME_DIR names is judged as above.
    std::string runtimeDirPath();

    // Opens the runtime folder (O_PATH, close-on-exec), creating it when `create` is set, and
    // checks through the open descriptor that it is a folder of this user's that no one else
    // can enter. -1 on failure, with errno set and, when `why` is given, the reason in words.
    int openRuntimeDir(bool create, std::string *why = nullptr);
}
