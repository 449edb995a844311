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
};

// A child process that is sent SIGTERM when the thread that started it ends, the program's
// death included, so that no child outlives this program. The copy of this program between
// fork and exec has its termination handlers reset first, so the signal ends it there too, and
// a copy whose parent was gone before the signal was set ends itself. Start it from the thread
// that waits for it.
class QTiedProcess : public QProcess
{
    Q_OBJECT

public:
    explicit QTiedProcess(QObject *parent = nullptr);
    // The descriptor `fd` (opened close-on-exec) stays open in the children of later starts,
    // under the same number; -1: none.
    void keepOpen(int fd);

protected:
    void setupChildProcess() override;

private:
    qint64 m_parentPid;
    // Test hook (VANTREL_TEST_CHILD_STOP): the child stops itself (SIGSTOP) in the window
    // before exec, "early" before its parent-death signal is set, "late" after the check of
    // its parent, so that a test can kill the parent right then.
    int m_stopAt;
    int m_keptFd = -1;
};
