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
};

// A child process that is sent SIGTERM when the thread that started it ends, the program's
// death included, so that no child outlives this program. Start it from the thread that
// waits for it.
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
    int m_keptFd = -1;
};
