#pragma once

#include <QProcess>
#include <QString>

// Finding and ending the programs this one runs as children.
class QChildProcess
{
public:
    QChildProcess() = delete;

    // The program named by the environment variable `envVar` when it is set and not empty,
    // else `fallback`.
    static QString program(const char *envVar, const QString &fallback);

    // Ends a running child and reaps it: terminate() (with SIGCONT, so that a stopped child
    // sees it) and up to `terminateWaitMs` for it to
    // end (skipped when 0 or less), then kill() and up to `killWaitMs`. Nothing for a child
    // that is not running. True when the child is no longer running.
    static bool end(QProcess &process, int terminateWaitMs, int killWaitMs);

    // Starts a program that may outlive this one (the updater): posix_spawn, so that no copy of
    // this program ever runs between fork and exec, with default signal handling and an empty
    // signal mask; reaped in the background when it ends. `program` without a "/" is looked up
    // in PATH. False when it could not be started.
    static bool startDetached(const QString &program, const QStringList &arguments);

    // Ends the children that an earlier run of this program on `dataFolder` left when it was
    // killed: processes of this user whose environment names a starter on that folder (see
    // QTiedProcess) that is no longer running, stopped ones included. SIGTERM and SIGCONT, then
    // SIGKILL for those still there after `terminateWaitMs`. Only this user's processes are
    // read. Returns how many were ended.
    static int endOrphans(const QString &dataFolder, int terminateWaitMs);

    // True when this build acts on the test hooks (VANTREL_TEST_CHILD_STOP, VANTREL_CRASH_AT,
    // VANTREL_PAUSE_AT); a Release build leaves them out.
    static constexpr bool testHooksBuiltIn()
    {
#ifdef VANTREL_TEST_HOOKS
        return true;
#else
        return false;
#endif
    }
};

// A child process that is sent SIGTERM when the thread that started it ends, the program's
// death included, so that no child outlives this program. The copy of this program is tied
// right after fork, before it waits for Qt's start-up handshake: its termination handlers are
// reset, so the signal ends it there too, and a copy whose parent was gone before the signal
// was set ends itself. Its environment names this program's run and data folder
// ("VANTREL_STARTER"), so that a later run on that folder can end a child this one left stopped. Start it from the thread that waits for
// it, and through this class: QProcess::start does not tie the copy before the handshake.
class QTiedProcess : public QProcess
{
    Q_OBJECT

public:
    explicit QTiedProcess(QObject *parent = nullptr);
    // The descriptor `fd` (opened close-on-exec) stays open in the children of later starts,
    // under the same number; -1: none.
    void keepOpen(int fd);

    void start(const QString &program, const QStringList &arguments, OpenMode mode = ReadWrite);
    void start(OpenMode mode = ReadWrite);

    // Name of the environment variable that names the starting run:
    // "<pid>-<start time>:<data folder>".
    static const char *starterVariable();

protected:
    void setupChildProcess() override;

private:
    // Names the run in the child's environment and arms the fork handlers for this thread.
    void beforeStart();

    qint64 m_parentPid;
    // Test hook (VANTREL_TEST_CHILD_STOP): the child stops itself (SIGSTOP) in the window
    // before exec, "fork" right after fork before it is tied (its parent then waits before the
    // handshake, up to a minute), "early" after Qt's handshake,
    // "late" after the second check of its parent, so that a test can kill the parent right
    // then; "handshake": the parent kills itself (SIGKILL) right after fork, before it lets the
    // child go on.
    int m_stopAt;
    int m_keptFd = -1;
};
