#include "qchildprocess.h"

#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

QString QChildProcess::program(const char *envVar, const QString &fallback)
{
    const QString configured = qEnvironmentVariable(envVar);
    return configured.isEmpty() ? fallback : configured;
}

bool QChildProcess::end(QProcess &process, int terminateWaitMs, int killWaitMs)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    if (terminateWaitMs > 0) {
        process.terminate();
        // A stopped child would only see SIGTERM when continued.
        const qint64 pid = process.processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGCONT);
        if (process.waitForFinished(terminateWaitMs))
            return true;
    }
    process.kill();
    process.waitForFinished(killWaitMs);
    return process.state() == QProcess::NotRunning;
}

QTiedProcess::QTiedProcess(QObject *parent)
    : QProcess(parent)
    , m_parentPid(static_cast<qint64>(::getpid()))
{
}

void QTiedProcess::keepOpen(int fd)
{
    m_keptFd = fd;
}

void QTiedProcess::setupChildProcess()
{
    // Runs in the child between fork and exec: only async-signal-safe calls.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the line above.
    if (static_cast<qint64>(::getppid()) != m_parentPid)
        ::_exit(127);
    // Only this child's copy of the descriptor loses its close-on-exec flag.
    if (m_keptFd >= 0 && ::fcntl(m_keptFd, F_SETFD, 0) != 0)
        ::_exit(127);
}
