// The real vantrel and sorbin on runtime folders of every kind (a long path, one another user
// can write to, none at all), and the real vantrel killed while its child is between fork and
// exec: the job runs, nothing of the run is left, the next start runs.
#include <csignal>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

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
    const crashharness::Outcome outcome = harness.judge(scene);
    EXPECT_EQ(outcome.lost, 0);
    EXPECT_EQ(outcome.duplicated, 0);
    EXPECT_EQ(outcome.leftOver, 0);
    EXPECT_TRUE(outcome.notes.isEmpty()) << outcome.notes.join(QLatin1Char('\n')).toStdString();

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
    // A child of `parent` that still runs the parent's program image and has stopped itself.
    pid_t stoppedCopyOf(pid_t parent)
    {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(parent)).symLinkTarget();
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool number = false;
            const pid_t pid = static_cast<pid_t>(entry.toInt(&number));
            if (!number || pid == parent)
                continue;
            const QByteArray stat = testsupport::readAll(QStringLiteral("/proc/%1/stat").arg(pid));
            const int close = stat.lastIndexOf(')');
            if (close < 0)
                continue;
            const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
            // fields[0] is the state, fields[1] the parent.
            if (fields.size() < 2 || fields.at(0) != "T" || fields.at(1).toInt() != parent)
                continue;
            if (!exe.isEmpty() && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == exe)
                return pid;
        }
        return 0;
    }

    struct StopCase
    {
        const char *name;
        const char *where;
        // How the copy must end: exit code 127 (it saw its parent gone) or killed by SIGTERM,
        // its parent-death signal, which no inherited handler may catch.
        bool exits;
    };

    void PrintTo(const StopCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class ChildBeforeExecTest : public ::testing::TestWithParam<StopCase>
    {
    };
}

// vantrel is killed while its child is still a copy of it, stopped between fork and exec (a
// test hook of the child helper stops it there): the copy holds no instance lock, the next
// start runs the job even while the copy is still there, and the copy ends without ever
// running sorbin. A few rounds, each on its own scene.
TEST_P(ChildBeforeExecTest, KilledParentLeavesNoChildAndTheNextStartRuns)
{
    const StopCase c = GetParam();
    // Orphans come to this process, which reaps them and so learns how they ended.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const crashharness::Scene scene = harness.seed(testsupport::newTempDir(), {7});
        harness.setVariable(QStringLiteral("VANTREL_TEST_CHILD_STOP"), QString::fromLatin1(c.where));
        std::unique_ptr<QProcess> killed = harness.start(scene);
        harness.resetVariable(QStringLiteral("VANTREL_TEST_CHILD_STOP"));
        const pid_t parent = static_cast<pid_t>(killed->processId());
        ASSERT_GT(parent, 0);
        pid_t copy = 0;
        ASSERT_TRUE(testsupport::waitUntil([&]() {
            copy = stoppedCopyOf(parent);
            return copy != 0 || killed->state() == QProcess::NotRunning;
        }, kRunMs));
        ASSERT_NE(copy, 0) << "no child stopped before exec: " << killed->readAll().constData();

        crashharness::Harness::kill(*killed);
        ASSERT_EQ(killed->state(), QProcess::NotRunning);
        EXPECT_FALSE(testsupport::instanceLockHeldElsewhere(scene.data)) << "the copy holds the instance lock";

        // The next start runs the job to its end, while the copy may still be there.
        QString why;
        EXPECT_TRUE(harness.runToEnd(scene, kRunMs, &why)) << why.toStdString();

        // Let it go on as a scheduler would: it ends by itself, never reaching exec.
        ::kill(copy, SIGCONT);
        int status = 0;
        pid_t reaped = 0;
        ASSERT_TRUE(testsupport::waitUntil([&]() {
            reaped = ::waitpid(copy, &status, WNOHANG);
            return reaped != 0;
        }, kRunMs)) << "the child of the killed program lives on";
        ASSERT_EQ(reaped, copy);
        if (c.exits) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127) << status;
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        }

        const crashharness::Outcome outcome = harness.judge(scene);
        EXPECT_EQ(outcome.lost, 0);
        EXPECT_EQ(outcome.duplicated, 0);
        EXPECT_EQ(outcome.leftOver, 0);
        EXPECT_TRUE(outcome.notes.isEmpty()) << outcome.notes.join(QLatin1Char('\n')).toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Moments, ChildBeforeExecTest,
                         ::testing::Values(StopCase {"BeforeItsParentDeathSignal", "early", true},
                                           StopCase {"AfterItsParentCheck", "late", false}),
                         [](const ::testing::TestParamInfo<StopCase> &info) { return std::string(info.param.name); });
