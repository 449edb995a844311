// Finding a child program through its environment override, and ending a child: terminate
// first when asked, kill when that is not enough or not wanted, and always reaped. A tied
// child names the run that started it; the children an ended run left are ended.

#include <signal.h>

#include <functional>
#include <thread>

#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qchildprocess.h"
#include "qworkfolder.h"

namespace
{
    const char *const kVar = "VANTREL_TEST_CHILD_PROGRAM";

    // A shell that says "ready" once its signal setup is done, then sleeps.
    void startSleeper(QProcess &child, bool ignoreTerm)
    {
        const QString script = QStringLiteral("%1echo ready; exec sleep 30")
                                   .arg(ignoreTerm ? QStringLiteral("trap '' TERM; ") : QString());
        child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        ASSERT_TRUE(child.waitForStarted(10000));
        while (!child.canReadLine())
            ASSERT_TRUE(child.waitForReadyRead(10000));
        ASSERT_EQ(child.readLine().trimmed(), QByteArray("ready"));
    }
}

TEST(ChildProcess, ProgramFromEnvironmentOrFallback)
{
    const struct
    {
        const char *value; // nullptr: unset
        const char *expected;
    } cases[] = {
        {nullptr, "/opt/fallback/tool"},
        {"", "/opt/fallback/tool"},
        {"/usr/local/bin/other tool", "/usr/local/bin/other tool"},
        {"/tmp/\xe5\xb7\xa5\xe5\x85\xb7", "/tmp/\xe5\xb7\xa5\xe5\x85\xb7"},
    };
    for (const auto &c : cases)
    {
        if (c.value)
            qputenv(kVar, c.value);
        else
            qunsetenv(kVar);
        EXPECT_EQ(QChildProcess::program(kVar, QStringLiteral("/opt/fallback/tool")), QString::fromUtf8(c.expected))
            << (c.value ? c.value : "(unset)");
    }
    qunsetenv(kVar);
}

// Which signal ends the child tells whether terminate came first and kill only when needed.
TEST(ChildProcess, EndTerminatesThenKillsAndReaps)
{
    const struct
    {
        bool ignoreTerm;
        int terminateWaitMs;
        int signal;
    } cases[] = {
        {false, 10000, SIGTERM},
        {true, 300, SIGKILL},
        {false, 0, SIGKILL},
    };
    for (const auto &c : cases)
    {
        const std::string where = "ignoreTerm=" + std::to_string(c.ignoreTerm) + " terminateWaitMs="
                                  + std::to_string(c.terminateWaitMs);
        QProcess child;
        startSleeper(child, c.ignoreTerm);
        EXPECT_TRUE(QChildProcess::end(child, c.terminateWaitMs, 10000)) << where;
        EXPECT_EQ(child.state(), QProcess::NotRunning) << where;
        EXPECT_EQ(child.exitStatus(), QProcess::CrashExit) << where;
        EXPECT_EQ(child.exitCode(), c.signal) << where;
    }
}

TEST(ChildProcess, EndLeavesAnEndedChildAlone)
{
    QProcess never;
    EXPECT_TRUE(QChildProcess::end(never, 1000, 1000));

    QProcess done;
    done.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")});
    ASSERT_TRUE(done.waitForFinished(10000));
    EXPECT_TRUE(QChildProcess::end(done, 1000, 1000));
    EXPECT_EQ(done.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(done.exitCode(), 3);
}

// The kernel sends SIGTERM to a tied child when the thread that started it ends; a killed
// program ends all its threads, so the child never outlives it.
TEST(ChildProcess, TiedChildIsTerminatedWhenItsStarterGoesAway)
{
    const QString mark = QDir(QDir::tempPath()).filePath(QStringLiteral("tied-term"));
    QFile::remove(mark);
    qint64 pid = 0;
    std::thread starter([&] {
        // Left undestroyed on purpose: its destructor would end the child itself.
        auto *child = new QTiedProcess;
        const QString script = QStringLiteral("trap 'echo term > \"%1\"; exit 0' TERM; echo ready; "
                                              "while :; do sleep 0.1; done").arg(mark);
        child->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script});
        if (!child->waitForStarted(10000))
            return;
        while (!child->canReadLine())
            if (!child->waitForReadyRead(10000))
                return;
        pid = child->processId();
    });
    starter.join();
    ASSERT_GT(pid, 0);
    const auto gone = [pid] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        return close > 0 && line.mid(close + 2, 1) == "Z";
    };
    QElapsedTimer timer;
    timer.start();
    while (!gone() && timer.elapsed() < 10000)
        QThread::msleep(20);
    EXPECT_TRUE(gone());
    QFile written(mark);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().trimmed(), QByteArray("term"));
}

namespace
{
    // The mask field ("SigBlk:", "SigIgn:") of /proc/<pid>/status, or -1.
    qulonglong statusMask(const QByteArray &status, const QByteArray &field)
    {
        for (const QByteArray &line : status.split('\n')) {
            if (line.startsWith(field))
                return line.mid(field.size()).trimmed().toULongLong(nullptr, 16);
        }
        return ~0ULL;
    }

    bool waitFor(const std::function<bool()> &done, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < timeoutMs)
            QThread::msleep(10);
        return done();
    }
}

// A detached program (the updater) gets its arguments one by one, whatever they hold, starts
// with default signal handling and nothing blocked whatever the starting thread had, and is
// reaped when it ends; a program that is not there is told at once.
TEST(ChildProcess, DetachedProgramGetsItsArgumentsAndIsReaped)
{
    const QString dir = QDir::tempPath() + QStringLiteral("/detached/");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString mark = dir + QStringLiteral("mark");
    const QString script = dir + QStringLiteral("launcher.sh");
    QFile file(script);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // Builtins only until the masks are read: a shell blocks signals while it forks.
    file.write("#!/bin/sh\n"
               "m=\"$1\"; shift\n"
               "{ echo \"$$\"; printf '%s\\n' \"$@\";\n"
               "  while read -r line; do case \"$line\" in SigBlk:*|SigIgn:*) echo \"$line\";; esac; done < /proc/$$/status\n"
               "} > \"$m.tmp\"\n"
               "mv \"$m.tmp\" \"$m\"\n");
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    // The starting thread blocks SIGTERM and the program ignores SIGHUP.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    sigset_t saved;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &saved), 0);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldHup {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &oldHup), 0);
    const QStringList arguments {mark, QStringLiteral("a b"), QStringLiteral("\"quoted\" 'and' $HOME"), QStringLiteral("课程")};
    const bool started = QChildProcess::startDetached(script, arguments);
    sigaction(SIGHUP, &oldHup, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    ASSERT_TRUE(started);

    ASSERT_TRUE(waitFor([&]() { return QFile::exists(mark); }, 10000));
    QFile written(mark);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = written.readAll().split('\n');
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines.at(1), QByteArray("a b"));
    EXPECT_EQ(lines.at(2), QByteArray("\"quoted\" 'and' $HOME"));
    EXPECT_EQ(QString::fromUtf8(lines.at(3)), QStringLiteral("课程"));
    QByteArray status;
    for (int i = 4; i < lines.size(); ++i)
        status += lines.at(i) + '\n';
    EXPECT_EQ(statusMask(status, "SigBlk:") & (1ULL << (SIGTERM - 1)), 0ULL) << status.constData();
    EXPECT_EQ(statusMask(status, "SigIgn:") & (1ULL << (SIGHUP - 1)), 0ULL) << status.constData();

    // Gone, not a zombie of this process.
    const QString proc = QStringLiteral("/proc/%1").arg(QString::fromLatin1(lines.at(0)));
    EXPECT_TRUE(waitFor([&]() { return !QFileInfo::exists(proc); }, 10000)) << proc.toStdString();

    EXPECT_FALSE(QChildProcess::startDetached(dir + QStringLiteral("no-such-program"), {}));
    EXPECT_FALSE(QChildProcess::startDetached(QStringLiteral("no-such-program-of-vantrel"), {}));
}

namespace
{
    QByteArray processState(qint64 pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return QByteArray();
        const QByteArray line = stat.readAll();
        const int close = line.lastIndexOf(')');
        return close > 0 ? line.mid(close + 2, 1) : QByteArray();
    }
}

// A tied child's environment names the run that started it, over the environment it was given;
// a fork of this process outside a tied start is left as it is: no parent-death signal, its
// handlers kept.
TEST(ChildProcess, TiedChildNamesItsStarterAndOtherForksAreLeftAlone)
{
    QTiedProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GIVEN"), QStringLiteral("kept"));
    child.setProcessEnvironment(environment);
    child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo \"$VANTREL_STARTER $GIVEN\"")});
    ASSERT_TRUE(child.waitForFinished(10000));
    const QString expected = QWorkFolder::ownerName(static_cast<long>(::getpid())) + QLatin1Char(':') + CGlobal::dataPath()
                             + QStringLiteral(" kept");
    EXPECT_EQ(QString::fromUtf8(child.readAll().trimmed()), expected);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction oldHup {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &oldHup), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int deathSignal = -1;
        struct sigaction hup {};
        ::prctl(PR_GET_PDEATHSIG, &deathSignal);
        ::sigaction(SIGHUP, nullptr, &hup);
        ::_exit(deathSignal == 0 && hup.sa_handler == SIG_IGN ? 0 : 1);
    }
    sigaction(SIGHUP, &oldHup, nullptr);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace
{
    struct OrphanCase
    {
        const char *name;
        // VANTREL_STARTER of the child: "gone" (a run that has ended), "running" (this one),
        // "" (none).
        const char *starter;
        // The run's data folder is the one asked about.
        bool sameFolder;
        bool ignoresTerm;
        bool otherUser;
        // How it must be: ended by its SIGTERM handler (exit 7), killed, or left stopped.
        enum { Terminated, Killed, Left } outcome;
    };

    void PrintTo(const OrphanCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class EndOrphansTest : public ::testing::TestWithParam<OrphanCase>
    {
    };
}

// A stopped child that a run on the data folder, which has ended, left behind is continued and
// ended, SIGTERM first and SIGKILL when that is not enough; one whose run still goes on, one of
// a run on another folder, one that names no run and another user's are left alone.
TEST_P(EndOrphansTest, EndsOnlyTheChildrenOfEndedRuns)
{
    const OrphanCase c = GetParam();
    QStringList program {QStringLiteral("/bin/sh")};
    if (c.otherUser) {
        if (::getuid() != 0)
            GTEST_SKIP() << "only root can start a process of another user";
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            GTEST_SKIP() << "no setpriv on this machine";
        program = QStringList {setpriv, QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                               QStringLiteral("--clear-groups"), QStringLiteral("/bin/sh")};
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString self = QWorkFolder::ownerName(static_cast<long>(::getpid()));
    const QString starter = QByteArray(c.starter) == "gone"
        // This pid with another start time: a run whose pid has been taken over since.
        ? QString::number(::getpid()) + QStringLiteral("-1")
        : (QByteArray(c.starter) == "running" ? self : QString());
    // A folder of this test alone: no other run on the machine takes these children for its own.
    const QString folder = QDir::tempPath() + QStringLiteral("/orphans-%1-%2/").arg(::getpid()).arg(c.name);
    if (!starter.isEmpty())
        environment.insert(QString::fromLatin1(QTiedProcess::starterVariable()),
                           starter + QLatin1Char(':') + folder + (c.sameFolder ? QString() : QStringLiteral("other/")));
    else
        environment.remove(QString::fromLatin1(QTiedProcess::starterVariable()));
    QProcess child;
    child.setProcessEnvironment(environment);
    const QString script = QStringLiteral("trap %1 TERM; echo ready; while :; do sleep 0.1; done")
                               .arg(c.ignoresTerm ? QStringLiteral("''") : QStringLiteral("'exit 7'"));
    child.start(program.first(), program.mid(1) << QStringLiteral("-c") << script);
    ASSERT_TRUE(child.waitForStarted(10000));
    while (!child.canReadLine())
        ASSERT_TRUE(child.waitForReadyRead(10000)) << child.readAllStandardError().constData();
    const qint64 pid = child.processId();
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    ASSERT_TRUE(waitFor([&]() { return processState(pid) == "T"; }, 10000));

    const int ended = QChildProcess::endOrphans(folder, 1000);
    if (c.outcome == OrphanCase::Left) {
        // Nothing was sent to it: it is still stopped.
        EXPECT_EQ(processState(pid), QByteArray("T"));
        ::kill(static_cast<pid_t>(pid), SIGKILL);
        child.waitForFinished(10000);
        return;
    }
    EXPECT_GE(ended, 1);
    ASSERT_TRUE(child.waitForFinished(10000));
    if (c.outcome == OrphanCase::Terminated) {
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 7);
    } else {
        EXPECT_EQ(child.exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(child.exitCode(), SIGKILL);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Children, EndOrphansTest,
    ::testing::Values(OrphanCase {"StoppedOfEndedRunIsTerminated", "gone", true, false, false, OrphanCase::Terminated},
                      OrphanCase {"StoppedOfEndedRunIgnoringTermIsKilled", "gone", true, true, false, OrphanCase::Killed},
                      OrphanCase {"StoppedOfThisRunIsLeft", "running", true, false, false, OrphanCase::Left},
                      OrphanCase {"StoppedOfEndedRunOnAnotherFolderIsLeft", "gone", false, false, false, OrphanCase::Left},
                      OrphanCase {"StoppedWithoutStarterIsLeft", "", true, false, false, OrphanCase::Left},
                      OrphanCase {"OtherUsersIsLeft", "gone", true, false, true, OrphanCase::Left}),
    [](const ::testing::TestParamInfo<OrphanCase> &info) { return std::string(info.param.name); });

// A detached program outlives this one on purpose: it carries no starter that a later run
// would take for the sign of a left child.
TEST(ChildProcess, DetachedProgramNamesNoStarter)
{
    const QString dir = QDir::tempPath() + QStringLiteral("/detached-starter/");
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString mark = dir + QStringLiteral("mark");
    QFile::remove(mark);
    qputenv(QTiedProcess::starterVariable(), "1-1");
    const bool started = QChildProcess::startDetached(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("echo \"${VANTREL_STARTER-none} $HOME\" > \"$1.tmp\"; mv \"$1.tmp\" \"$1\""),
         QStringLiteral("sh"), mark});
    qunsetenv(QTiedProcess::starterVariable());
    ASSERT_TRUE(started);
    ASSERT_TRUE(waitFor([&]() { return QFile::exists(mark); }, 10000));
    QFile written(mark);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromLocal8Bit(written.readAll().trimmed()), QStringLiteral("none ") + QDir::homePath());
}
