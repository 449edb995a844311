// The real vantrel and sorbin on runtime folders of every kind (a long path, one another user
// can write to, none at all), and the real vantrel killed while its child is between fork and
// exec or stopped at its work: the job runs, nothing of the run is left, the next start runs.
#include <csignal>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include "crashharness.h"
#include "testsupport.h"

namespace
{
    const int kRunMs = 120000;

    // A new folder `extra` characters longer than `base` (in levels a file system takes), 0700.
    QString longFolder(const QString &base, int extra)
    {
        QString path = QDir::cleanPath(base);
        while (extra > 0) {
            const int level = qMin(extra, 60) - 1;
            path += QLatin1Char('/') + QString(level, QLatin1Char('r'));
            extra -= level + 1;
        }
        QDir().mkpath(path);
        ::chmod(QFile::encodeName(path).constData(), 0700);
        return path;
    }

    QStringList entriesOf(const QString &folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }

    enum class Runtime { Long, WorldWritableSquatted, UnsetWithLongTemp };

    struct RuntimeCase
    {
        const char *name;
        Runtime runtime;
    };

    void PrintTo(const RuntimeCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class RuntimeFolderJobTest : public ::testing::TestWithParam<RuntimeCase>
    {
    };
}

// A fast-mode job of the real programs runs to its end on each kind of runtime folder, and
// nothing of the run is left anywhere; a folder that is not the user's alone gets nothing.
TEST_P(RuntimeFolderJobTest, FastModeJobRunsToTheEnd)
{
    const RuntimeCase c = GetParam();
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    const QString root = testsupport::newTempDir();
    QString squatted;
    QString shared;
    switch (c.runtime) {
    case Runtime::Long: {
        // Far beyond what a socket address can hold, whatever the temporary folder's length.
        const QString runtime = longFolder(root + QStringLiteral("run"), 120);
        ASSERT_GE(runtime.size(), 120);
        harness.setVariable(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        break;
    }
    case Runtime::WorldWritableSquatted: {
        if (::getuid() != 0)
            GTEST_SKIP() << "only root can make a folder that belongs to another user";
        // The user's own runtime folder, but open to all, and "vantrel" in it made by another user.
        shared = root + QStringLiteral("shared-run");
        ASSERT_TRUE(QDir().mkpath(shared));
        ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01777), 0);
        squatted = shared + QStringLiteral("/vantrel");
        ASSERT_TRUE(QDir().mkpath(squatted));
        ASSERT_EQ(::chmod(QFile::encodeName(squatted).constData(), 0777), 0);
        ASSERT_EQ(::chown(QFile::encodeName(squatted).constData(), 65534, 65534), 0);
        harness.setVariable(QStringLiteral("XDG_RUNTIME_DIR"), shared);
        break;
    }
    case Runtime::UnsetWithLongTemp: {
        const QString temp = longFolder(root + QStringLiteral("tmp"), 100);
        harness.removeVariable(QStringLiteral("XDG_RUNTIME_DIR"));
        harness.setVariable(QStringLiteral("TMPDIR"), temp);
        break;
    }
    }

    const crashharness::Scene scene = harness.seed(root + QStringLiteral("scene"), {7});
    ASSERT_EQ(scene.jobs.size(), 1u);
    QString why;
    ASSERT_TRUE(harness.runToEnd(scene, kRunMs, &why)) << why.toStdString();
    crashharness::expectExactlyOnce(harness.judge(scene));

    if (!squatted.isEmpty()) {
        EXPECT_TRUE(entriesOf(squatted).isEmpty()) << entriesOf(squatted).join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(entriesOf(shared), QStringList {QStringLiteral("vantrel")}) << "nothing made in the shared folder";
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, RuntimeFolderJobTest,
                         ::testing::Values(RuntimeCase {"LongPath", Runtime::Long},
                                           RuntimeCase {"WorldWritableWithSquattedFolder", Runtime::WorldWritableSquatted},
                                           RuntimeCase {"UnsetWithLongTemporaryFolder", Runtime::UnsetWithLongTemp}),
                         [](const ::testing::TestParamInfo<RuntimeCase> &info) { return std::string(info.param.name); });

namespace
{
    // Fields of /proc/<pid>/stat after the command name: [0] the state, [1] the parent.
    QList<QByteArray> statFields(pid_t pid)
    {
        const QByteArray stat = testsupport::readAll(QStringLiteral("/proc/%1/stat").arg(pid));
        const int close = stat.lastIndexOf(')');
        return close < 0 ? QList<QByteArray>() : stat.mid(close + 2).split(' ');
    }

    QList<pid_t> processIds()
    {
        QList<pid_t> pids;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            const pid_t pid = static_cast<pid_t>(entry.toInt(&number));
            if (number)
                pids << pid;
        }
        return pids;
    }

    // A child of `parent` that still runs the parent's program image and has stopped itself.
    pid_t stoppedCopyOf(pid_t parent)
    {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(parent)).symLinkTarget();
        for (const pid_t pid : processIds()) {
            if (pid == parent)
                continue;
            const QList<QByteArray> fields = statFields(pid);
            if (fields.size() < 2 || fields.at(0) != "T" || fields.at(1).toInt() != parent)
                continue;
            if (!exe.isEmpty() && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == exe)
                return pid;
        }
        return 0;
    }

    // The children of this process (a subreaper: orphans come to it), zombies included.
    QList<pid_t> ownChildren()
    {
        QList<pid_t> children;
        const pid_t self = ::getpid();
        for (const pid_t pid : processIds()) {
            const QList<QByteArray> fields = statFields(pid);
            if (fields.size() >= 2 && fields.at(1).toInt() == self)
                children << pid;
        }
        return children;
    }

    // How a copy of vantrel must end: exit code 127 (it saw its parent gone) or killed by
    // SIGTERM, its parent-death signal, which no inherited handler may catch; either, when
    // the parent's death may come before or after the copy is tied.
    enum class Ending { Exits, Terminated, EitherWay };

    struct StopCase
    {
        const char *name;
        const char *where;
        int mode;
        Ending ending;
    };

    void PrintTo(const StopCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    void expectEnding(Ending ending, int status)
    {
        const bool exited = WIFEXITED(status) && WEXITSTATUS(status) == 127;
        const bool terminated = WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM;
        switch (ending) {
        case Ending::Exits:
            EXPECT_TRUE(exited) << status;
            break;
        case Ending::Terminated:
            EXPECT_TRUE(terminated) << status;
            break;
        case Ending::EitherWay:
            EXPECT_TRUE(exited || terminated) << status;
            break;
        }
    }

    class ChildBeforeExecTest : public ::testing::TestWithParam<StopCase>
    {
    };
}

// vantrel is killed while its child is still a copy of it, between fork and exec: stopped
// there by a test hook of the child helper (right after fork, before Qt's start-up handshake;
// or after it), then killed with SIGKILL; or killed by the hook itself right after fork, before
// it lets the copy go on. The copy holds no instance lock, the next start runs the job even
// while the copy is still there, and the copy ends by itself without ever running the child
// program. A few rounds, each on its own scene.
TEST_P(ChildBeforeExecTest, KilledParentLeavesNoChildAndTheNextStartRuns)
{
    if (!crashharness::Harness::hooksBuiltIn())
        GTEST_SKIP() << crashharness::Harness::noHooks();
    const StopCase c = GetParam();
    const bool selfKilled = std::string(c.where) == "handshake";
    // Orphans come to this process, which reaps them and so learns how they ended.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const crashharness::Scene scene = harness.seed(testsupport::newTempDir(), {c.mode});
        const QList<pid_t> before = ownChildren();
        harness.setVariable(QStringLiteral("VANTREL_TEST_CHILD_STOP"), QString::fromLatin1(c.where));
        std::unique_ptr<QProcess> killed = harness.start(scene);
        harness.resetVariable(QStringLiteral("VANTREL_TEST_CHILD_STOP"));
        const pid_t parent = static_cast<pid_t>(killed->processId());
        ASSERT_GT(parent, 0);

        QList<pid_t> copies;
        if (selfKilled) {
            // The hook ends vantrel with SIGKILL at its first tied fork.
            ASSERT_TRUE(killed->waitForFinished(kRunMs)) << "vantrel did not reach a child start";
            ASSERT_EQ(killed->exitStatus(), QProcess::CrashExit) << killed->readAll().constData();
            ASSERT_EQ(killed->exitCode(), SIGKILL) << killed->readAll().constData();
            for (const pid_t pid : ownChildren())
                if (!before.contains(pid) && pid != parent)
                    copies << pid;
            ASSERT_FALSE(copies.isEmpty()) << "the copy made before the kill is not there";
        } else {
            pid_t copy = 0;
            ASSERT_TRUE(testsupport::waitUntil([&]() {
                copy = stoppedCopyOf(parent);
                return copy != 0 || killed->state() == QProcess::NotRunning;
            }, kRunMs));
            ASSERT_NE(copy, 0) << "no child stopped before exec: " << killed->readAll().constData();
            crashharness::Harness::kill(*killed);
            ASSERT_EQ(killed->state(), QProcess::NotRunning);
            copies << copy;
        }
        EXPECT_FALSE(testsupport::instanceLockHeldElsewhere(scene.data)) << "the copy holds the instance lock";

        // The next start runs the job to its end, while the copy may still be there.
        QString why;
        EXPECT_TRUE(harness.runToEnd(scene, kRunMs, &why)) << why.toStdString();

        // Let it go on as a scheduler would: it ends by itself, never reaching exec.
        for (const pid_t copy : copies) {
            ::kill(copy, SIGCONT);
            int status = 0;
            pid_t reaped = 0;
            ASSERT_TRUE(testsupport::waitUntil([&]() {
                reaped = ::waitpid(copy, &status, WNOHANG);
                return reaped != 0;
            }, kRunMs)) << "the child of the killed program lives on";
            ASSERT_EQ(reaped, copy);
            expectEnding(c.ending, status);
        }

        crashharness::expectExactlyOnce(harness.judge(scene));
        EXPECT_FALSE(testsupport::instanceLockHeldElsewhere(scene.data)) << "the lock is not free after the next start";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, ChildBeforeExecTest,
    ::testing::Values(StopCase {"FastRightAfterForkBeforeItIsTied", "fork", 7, Ending::Exits},
                      StopCase {"HighStrengthRightAfterForkBeforeItIsTied", "fork", 8, Ending::Exits},
                      StopCase {"WebRightAfterForkBeforeItIsTied", "fork", 4, Ending::Exits},
                      StopCase {"FastParentKilledBeforeTheHandshake", "handshake", 7, Ending::EitherWay},
                      StopCase {"HighStrengthParentKilledBeforeTheHandshake", "handshake", 8, Ending::EitherWay},
                      StopCase {"WebParentKilledBeforeTheHandshake", "handshake", 4, Ending::EitherWay},
                      StopCase {"FastAfterTheHandshake", "early", 7, Ending::Terminated},
                      StopCase {"FastAfterItsParentCheck", "late", 7, Ending::Terminated}),
    [](const ::testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });

namespace
{
    // A child of `parent` whose program is `program` (by the target of /proc/<pid>/exe).
    pid_t childRunning(pid_t parent, const QString &program)
    {
        const QString wanted = QFileInfo(program).canonicalFilePath();
        for (const pid_t pid : processIds()) {
            const QList<QByteArray> fields = statFields(pid);
            if (fields.size() < 2 || fields.at(1).toInt() != parent || fields.at(0) == "Z")
                continue;
            if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).canonicalFilePath() == wanted)
                return pid;
        }
        return 0;
    }

    struct StoppedCase
    {
        const char *name;
        int mode;
    };

    void PrintTo(const StoppedCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class StoppedChildTest : public ::testing::TestWithParam<StoppedCase>
    {
    };
}

// vantrel is killed while its child (sorbin in the middle of its work, or ffmpeg slicing) is
// stopped with SIGSTOP: a stopped child does not act on its parent-death signal. The next start
// ends it before it sweeps, so nothing of it is left, and runs the job to its end.
TEST_P(StoppedChildTest, NextStartEndsTheStoppedChildOfAKilledRun)
{
    const StoppedCase c = GetParam();
    const bool web = c.mode == 4;
    // sorbin is caught at work while vantrel waits at a test hook.
    if (!web && !crashharness::Harness::hooksBuiltIn())
        GTEST_SKIP() << crashharness::Harness::noHooks();
    // The stopped child comes to this process once vantrel is gone, which so learns how it ended.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    const QString root = testsupport::newTempDir();
    const crashharness::Scene scene = harness.seed(root + QStringLiteral("scene"), {c.mode});
    ASSERT_EQ(scene.jobs.size(), 1u);

    std::unique_ptr<QProcess> killed;
    QString program;
    if (web) {
        // ffmpeg slicing the source over and over at its own pace: it runs until it is ended.
        program = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));
        if (program.isEmpty())
            GTEST_SKIP() << "no ffmpeg on this machine";
        const QString wrapper = root + QStringLiteral("ffmpeg-forever");
        ASSERT_TRUE(testsupport::writeAll(wrapper, QStringLiteral("#!/bin/sh\nexec '%1' -re -stream_loop -1 \"$@\"\n")
                                                       .arg(program).toUtf8()));
        ASSERT_EQ(::chmod(QFile::encodeName(wrapper).constData(), 0700), 0);
        harness.setVariable(QStringLiteral("VANTREL_FFMPEG"), wrapper);
        killed = harness.start(scene);
        harness.resetVariable(QStringLiteral("VANTREL_FFMPEG"));
    } else {
        // vantrel waits at sorbin's first progress message, sorbin for vantrel's answer.
        program = QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("sorbin");
        killed = harness.start(scene, QString(), QString(), QStringLiteral("encrypting"), root + QStringLiteral("paused"));
    }
    const pid_t parent = static_cast<pid_t>(killed->processId());
    ASSERT_GT(parent, 0);
    pid_t child = 0;
    ASSERT_TRUE(testsupport::waitUntil([&]() {
        if (!web && !QFileInfo::exists(root + QStringLiteral("paused")))
            return killed->state() == QProcess::NotRunning;
        child = childRunning(parent, program);
        return child != 0 || killed->state() == QProcess::NotRunning;
    }, kRunMs));
    ASSERT_NE(child, 0) << "no child at work: " << killed->readAll().constData();

    // Whatever happens below, no stopped process outlives the test.
    struct Cleanup
    {
        pid_t pid;
        ~Cleanup()
        {
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } cleanup {child};
    ASSERT_EQ(::kill(child, SIGSTOP), 0);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return statFields(child).value(0) == "T"; }, kRunMs));
    const QStringList workFolders = QDir(scene.data + QStringLiteral("transcode/")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (!web) {
        EXPECT_EQ(workFolders.size(), 1) << "sorbin works in a private folder";
    }
    crashharness::Harness::kill(*killed);
    ASSERT_EQ(killed->state(), QProcess::NotRunning);
    // Its parent-death signal came, but it waits, stopped.
    ASSERT_TRUE(testsupport::waitUntil([&]() { return statFields(child).value(1).toInt() == ::getpid(); }, kRunMs));
    EXPECT_EQ(statFields(child).value(0), QByteArray("T"));

    QString why;
    EXPECT_TRUE(harness.runToEnd(scene, kRunMs, &why)) << why.toStdString();
    int status = 0;
    pid_t reaped = 0;
    EXPECT_TRUE(testsupport::waitUntil([&]() {
        reaped = ::waitpid(child, &status, WNOHANG);
        return reaped != 0;
    }, kRunMs)) << "the stopped child of the killed program lives on";
    if (reaped == child) {
        EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << status;
    }

    crashharness::expectExactlyOnce(harness.judge(scene));
    for (const QString &folder : workFolders)
        EXPECT_FALSE(QFileInfo::exists(scene.data + QStringLiteral("transcode/") + folder)) << folder.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Children, StoppedChildTest,
                         ::testing::Values(StoppedCase {"FastModeSorbin", 7}, StoppedCase {"HighStrengthSorbin", 8},
                                           StoppedCase {"WebModeFfmpeg", 4}),
                         [](const ::testing::TestParamInfo<StoppedCase> &info) { return std::string(info.param.name); });
