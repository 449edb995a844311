// Finding a child program through its environment override, and ending a child: terminate
// first when asked, kill when that is not enough or not wanted, and always reaped.

#include <signal.h>

#include <thread>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include "qchildprocess.h"

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
