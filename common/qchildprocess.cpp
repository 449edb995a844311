#include "qchildprocess.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>

#include "cglobal.h"
#include "qworkfolder.h"

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
    const char *const kStarterVariable = "VANTREL_STARTER";

    enum StopAt { NoStop, StopFork, StopHandshake, StopEarly, StopLate };

    int childStopFromEnvironment()
    {
#ifdef VANTREL_TEST_HOOKS
        const QByteArray where = qgetenv("VANTREL_TEST_CHILD_STOP");
        if (where == "fork")
            return StopFork;
        if (where == "handshake")
            return StopHandshake;
        if (where == "early")
            return StopEarly;
        if (where == "late")
            return StopLate;
#endif
        return NoStop;
    }

    // Set by a thread inside QTiedProcess::start for the one fork that start makes; the
    // handlers below act on that fork alone, never on another thread's or another kind.
    thread_local bool t_tiedFork = false;
    thread_local pid_t t_tiedParent = 0;
    thread_local int t_tiedStop = NoStop;

    // In the copy of this program between fork and exec: only async-signal-safe calls. The
    // program's handlers would only note a SIGTERM for an event loop that does not run here:
    // the default action ends it. The signal comes when the starting thread ends.
    void tieToParent(pid_t parent)
    {
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
        if (::getppid() != parent)
            ::_exit(127);
    }

    // Runs in the child right after fork, before it waits for the parent's start-up handshake:
    // a parent killed before it lets the child go on must not leave the child waiting for good.
    void tiedChildAfterFork()
    {
        if (!t_tiedFork)
            return;
        t_tiedFork = false;
        if (t_tiedStop == StopFork)
            ::raise(SIGSTOP);
        tieToParent(t_tiedParent);
    }

    void tiedParentAfterFork()
    {
        if (!t_tiedFork)
            return;
        t_tiedFork = false;
        if (t_tiedStop == StopHandshake)
            ::raise(SIGKILL);
        // The child is stopped before it is tied: the parent keeps it waiting for the
        // handshake (a minute at most) while a test kills the parent.
        if (t_tiedStop == StopFork) {
            for (int i = 0; i < 600; ++i)
                ::usleep(100000);
        }
    }

    void registerForkHandlers()
    {
        static std::once_flag once;
        std::call_once(once, []() { ::pthread_atfork(nullptr, tiedParentAfterFork, tiedChildAfterFork); });
    }

    // "<pid>-<start time>" of this run, as its work folder is named, then ":" and its data
    // folder: a later run on that folder ends what this one left.
    QString starterText()
    {
        static const QString owner = QWorkFolder::ownerName(static_cast<long>(::getpid()));
        return owner.isEmpty() ? QString() : owner + QLatin1Char(':') + CGlobal::dataPath();
    }

    int openPidFd(pid_t pid)
    {
#ifdef SYS_pidfd_open
        return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
        errno = ENOSYS;
        return -1;
#endif
    }

    int sendSignal(pid_t pid, int pidFd, int sig)
    {
#ifdef SYS_pidfd_send_signal
        if (pidFd >= 0)
            return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidFd, sig, nullptr, 0));
#endif
        return ::kill(pid, sig);
    }

    // Up to `limit` bytes of a file under /proc; empty when it can't be read.
    QByteArray readProcFile(const QByteArray &path, int limit)
    {
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            return QByteArray();
        QByteArray data;
        char buf[16384];
        while (data.size() < limit) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            data.append(buf, static_cast<int>(n));
        }
        ::close(fd);
        return data;
    }

    // The real and effective user of a process, from its "Uid:" line.
    bool ownedBy(const QByteArray &status, uid_t uid)
    {
        for (const QByteArray &line : status.split('\n')) {
            if (!line.startsWith("Uid:"))
                continue;
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            return ids.size() >= 2 && ids.at(0) == QByteArray::number(uid) && ids.at(1) == QByteArray::number(uid);
        }
        return false;
    }

    // The value of `name` in an environment block (entries ended by NUL).
    QByteArray environmentValue(const QByteArray &block, const QByteArray &name)
    {
        const QByteArray key = name + '=';
        for (const QByteArray &entry : block.split('\0')) {
            if (entry.startsWith(key))
                return entry.mid(key.size());
        }
        return QByteArray();
    }

    // Still the process first seen as `owner` ("<pid>-<start time>"), and not ended yet.
    bool stillRunning(pid_t pid, const QString &owner)
    {
        if (QWorkFolder::ownerName(static_cast<long>(pid)) != owner)
            return false;
        const QByteArray stat = readProcFile("/proc/" + QByteArray::number(pid) + "/stat", 4096);
        const int close = stat.lastIndexOf(')');
        const char state = close > 0 && close + 2 < stat.size() ? stat.at(close + 2) : 'X';
        return state != 'Z' && state != 'X';
    }

    struct Orphan
    {
        pid_t pid;
        int pidFd;
        QString owner;
    };

    void signalAll(std::vector<Orphan> &orphans, int sig)
    {
        for (const Orphan &orphan : orphans) {
            // Without a descriptor, a pid taken over by another process since is left alone.
            if (orphan.pidFd >= 0 || stillRunning(orphan.pid, orphan.owner))
                sendSignal(orphan.pid, orphan.pidFd, sig);
        }
    }

    // Waits up to `ms` for every orphan to end; true when none is left.
    bool waitAll(const std::vector<Orphan> &orphans, int ms)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            bool left = false;
            for (const Orphan &orphan : orphans) {
                if (orphan.pidFd >= 0) {
                    pollfd p {orphan.pidFd, POLLIN, 0};
                    if (::poll(&p, 1, 0) == 0) {
                        left = true;
                        break;
                    }
                } else if (stillRunning(orphan.pid, orphan.owner)) {
                    left = true;
                    break;
                }
            }
            if (!left)
                return true;
            if (timer.elapsed() >= ms)
                return false;
            ::usleep(10000);
        }
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
    // A program meant to outlive this one carries no starter: a later run must not end it.
    const size_t starterLength = std::strlen(kStarterVariable);
    std::vector<char *> env;
    for (char **entry = environ; entry && *entry; ++entry) {
        if (std::strncmp(*entry, kStarterVariable, starterLength) != 0 || (*entry)[starterLength] != '=')
            env.push_back(*entry);
    }
    env.push_back(nullptr);
    pid_t pid = 0;
    const int rc = program.contains(QLatin1Char('/')) ? ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), env.data())
                                                      : ::posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), env.data());
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

int QChildProcess::endOrphans(const QString &dataFolder, int terminateWaitMs)
{
    const uid_t uid = ::getuid();
    const pid_t self = ::getpid();
    std::vector<Orphan> orphans;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    while (const dirent *entry = ::readdir(proc)) {
        bool number = false;
        const pid_t pid = static_cast<pid_t>(QByteArray(entry->d_name).toInt(&number));
        if (!number || pid <= 0 || pid == self)
            continue;
        // Nothing of another user's process is read.
        struct stat st {};
        if (::fstatat(::dirfd(proc), entry->d_name, &st, 0) != 0 || st.st_uid != uid)
            continue;
        const QByteArray base = "/proc/" + QByteArray(entry->d_name);
        if (!ownedBy(readProcFile(base + "/status", 8192), uid))
            continue;
        const QString owner = QWorkFolder::ownerName(static_cast<long>(pid));
        if (owner.isEmpty())
            continue;
        // Taken before the reads: what is read is this process's while it still runs.
        const int pidFd = openPidFd(pid);
        // Compared as bytes, as the environment holds them.
        const QByteArray marker = environmentValue(readProcFile(base + "/environ", 4 << 20), kStarterVariable);
        const int colon = marker.indexOf(':');
        const QString starter = QString::fromLatin1(marker.left(colon));
        const int dash = starter.indexOf(QLatin1Char('-'));
        bool starterNumber = false;
        const long starterPid = dash > 0 ? starter.left(dash).toLong(&starterNumber) : 0;
        // A starter that has ended but is not reaped yet is gone too.
        const bool orphaned = colon > 0 && marker.mid(colon + 1) == dataFolder.toLocal8Bit() && starterNumber && starterPid > 0
                              && !stillRunning(static_cast<pid_t>(starterPid), starter);
        if (!orphaned || !stillRunning(pid, owner) || (pidFd >= 0 && sendSignal(pid, pidFd, 0) != 0)) {
            if (pidFd >= 0)
                ::close(pidFd);
            continue;
        }
        orphans.push_back(Orphan {pid, pidFd, owner});
    }
    ::closedir(proc);
    if (orphans.empty())
        return 0;

    // A stopped child only acts on SIGTERM once it is continued.
    signalAll(orphans, SIGTERM);
    signalAll(orphans, SIGCONT);
    if (!waitAll(orphans, terminateWaitMs)) {
        signalAll(orphans, SIGKILL);
        waitAll(orphans, 5000);
    }
    for (const Orphan &orphan : orphans) {
        if (orphan.pidFd >= 0)
            ::close(orphan.pidFd);
    }
    return static_cast<int>(orphans.size());
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

const char *QTiedProcess::starterVariable()
{
    return kStarterVariable;
}

void QTiedProcess::start(const QString &program, const QStringList &arguments, OpenMode mode)
{
    beforeStart();
    QProcess::start(program, arguments, mode);
    // No fork happened when the start failed before it.
    t_tiedFork = false;
}

void QTiedProcess::start(OpenMode mode)
{
    beforeStart();
    QProcess::start(mode);
    t_tiedFork = false;
}

void QTiedProcess::beforeStart()
{
    registerForkHandlers();
    if (state() == NotRunning) {
        QProcessEnvironment environment = processEnvironment();
        if (environment.isEmpty())
            environment = QProcessEnvironment::systemEnvironment();
        const QString starter = starterText();
        if (!starter.isEmpty())
            environment.insert(QString::fromLatin1(kStarterVariable), starter);
        else
            environment.remove(QString::fromLatin1(kStarterVariable));
        setProcessEnvironment(environment);
    }
    t_tiedParent = ::getpid();
    t_tiedStop = m_stopAt;
    t_tiedFork = true;
}

void QTiedProcess::setupChildProcess()
{
    // Runs in the child between fork and exec, after Qt's handshake: only async-signal-safe
    // calls. The copy was tied right after fork already; once more for a start that did not
    // come through this class.
    if (m_stopAt == StopEarly)
        ::raise(SIGSTOP);
    tieToParent(static_cast<pid_t>(m_parentPid));
    // Only this child's copy of the descriptor loses its close-on-exec flag.
    if (m_keptFd >= 0 && ::fcntl(m_keptFd, F_SETFD, 0) != 0)
        ::_exit(127);
    if (m_stopAt == StopLate)
        ::raise(SIGSTOP);
}
