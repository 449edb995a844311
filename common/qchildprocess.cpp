#include "qchildprocess.h"

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QFile>

extern char **environ;

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

namespace
{
    enum StopAt { NoStop, StopEarly, StopLate };

    int childStopFromEnvironment()
    {
        const QByteArray where = qgetenv("VANTREL_TEST_CHILD_STOP");
        if (where == "early")
            return StopEarly;
        if (where == "late")
            return StopLate;
        return NoStop;
    }
}

bool QChildProcess::startDetached(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> bytes;
    bytes.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments)
        bytes.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &item : bytes)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc = program.contains(QLatin1Char('/')) ? ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ)
                                                      : ::posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        return false;
    // Nobody waits for it: it only must not stay a zombie while this program runs.
    // It runs whatever happens here: a waiter that can't be had leaves a zombie, not a second start.
    try {
        std::thread([pid]() {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::exception &) {
    }
    return true;
}

QTiedProcess::QTiedProcess(QObject *parent)
    : QProcess(parent)
    , m_parentPid(static_cast<qint64>(::getpid()))
    , m_stopAt(childStopFromEnvironment())
{
}

void QTiedProcess::keepOpen(int fd)
{
    m_keptFd = fd;
}

void QTiedProcess::setupChildProcess()
{
    // Runs in the child between fork and exec: only async-signal-safe calls.
    if (m_stopAt == StopEarly)
        ::raise(SIGSTOP);
    // This copy still has the program's handlers, which would only note a SIGTERM for an event
    // loop that no longer runs here: the default action ends it. Exec would reset them anyway.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &defaultAction, nullptr);
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &term, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the line above.
    if (static_cast<qint64>(::getppid()) != m_parentPid)
        ::_exit(127);
    // Only this child's copy of the descriptor loses its close-on-exec flag.
    if (m_keptFd >= 0 && ::fcntl(m_keptFd, F_SETFD, 0) != 0)
        ::_exit(127);
    if (m_stopAt == StopLate)
        ::raise(SIGSTOP);
}
