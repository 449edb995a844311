#pragma once

#include <string>

// Named single-instance lock, the stand-in for a named mutex: flock() on
// "<runtime folder><name>.lock", where the runtime folder is "$XDG_RUNTIME_DIR/vantrel/" or
// "$TMPDIR/vantrel-<uid>/vantrel/" (TMPDIR or /tmp) when that is unset (both 0700, owned by this user). The descriptor is opened with O_CLOEXEC
// so child processes do not inherit it; the kernel releases the lock when the process ends,
// crashes included.
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

    // When XDG_RUNTIME_DIR is not set (or names no folder of this user's), sets it to "$TMPDIR/vantrel-<uid>" (created 0700, ours),
    // so that Qt finds a runtime folder and both programs meet in the same one; when that name
    // is held by something not ours, to a new private "vantrel-<uid>-XXXXXX" beside it. Call it
    // first thing in main(), before any thread starts.
    void ensureRuntimeDirEnv();

    // The runtime folder, created when missing (ends with "/"); empty when no safe one exists.
    std::string runtimeDir();
    // Its name only, nothing created or checked beyond $XDG_RUNTIME_DIR itself.
    std::string runtimeDirPath();
}
