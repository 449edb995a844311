// The real vantrel with pending work in modes 7 and 8, killed with SIGKILL at one moment of a
// job, started again and run to the end: every source untouched, one output and one record per
// job, and nothing else left behind.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include "crashharness.h"
#include "pipelinehelpers.h"
#include "qjsonfile.h"
#include "qvalue.h"
#include "testsupport.h"

class CrashRestartTest : public ::testing::TestWithParam<const char *>
{
};

TEST_P(CrashRestartTest, KilledAtTheMomentThenRestartedEndsWithExactlyOneOutputAndRecord)
{
    if (!crashharness::Harness::hooksBuiltIn())
        GTEST_SKIP() << crashharness::Harness::noHooks();
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    const QString root = testsupport::newTempDir();
    const crashharness::Scene scene = harness.seed(root, {7, 8});
    ASSERT_EQ(scene.jobs.size(), 2u);
    const QString moment = QString::fromLatin1(GetParam());
    const QString mark = root + QStringLiteral("crashed");

    std::unique_ptr<QProcess> killed = harness.start(scene, moment, mark);
    ASSERT_TRUE(killed->waitForFinished(60000)) << "never reached " << GetParam();
    EXPECT_EQ(killed->exitStatus(), QProcess::CrashExit) << killed->readAll().constData();
    ASSERT_EQ(testsupport::readAll(mark), moment.toLatin1()) << "killed elsewhere";
    EXPECT_GT(crashharness::Harness::pendingCount(scene), 0) << "the kill came before the end";

    QString why;
    ASSERT_TRUE(harness.runToEnd(scene, 90000, &why)) << why.toStdString();
    crashharness::expectExactlyOnce(harness.judge(scene));
}

INSTANTIATE_TEST_SUITE_P(Moments, CrashRestartTest, ::testing::Values("probe", "encrypting", "moved", "recorded", "renamed"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

struct PullCase
{
    const char *name;
    const char *moment; // where the run is held while the stick goes
    bool killDaemon;    // the stick pulled (its FUSE daemon killed), else unmounted lazily
    int mode;
};

void PrintTo(const PullCase &c, std::ostream *os)
{
    *os << c.name;
}

class StickPulledTest : public ::testing::TestWithParam<PullCase>
{
};

// The videos on an exFAT stick mounted through FUSE; the stick is pulled (its daemon killed) or
// unmounted lazily at one moment of a job of the real vantrel and the real sorbin. The job fails
// saying that the disk went, "runs.json" keeps what the run left there, and once the stick is back
// a restart ends with exactly one output and one record, nothing else on the stick, no note left.
TEST_P(StickPulledTest, StickPutBackEndsWithOneOutputAndNothingLeftOnIt)
{
    const PullCase &c = GetParam();
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    const QString root = testsupport::newTempDir();
    pipelinetest::ExfatStick stick(root + QStringLiteral("stick.img"), root + QStringLiteral("课程 视频"));
    if (!stick.refusal().isEmpty())
        GTEST_SKIP() << stick.refusal().toStdString();
    const crashharness::Scene scene = harness.seed(root, {c.mode});
    ASSERT_EQ(scene.jobs.size(), 1u);
    const QString mark = root + QStringLiteral("paused");
    std::unique_ptr<QProcess> program = harness.start(scene, QString(), QString(),
                                                      QString::fromLatin1(c.moment) + QStringLiteral(",failed"), mark);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return testsupport::readAll(mark).startsWith(c.moment); }, 60000))
        << "never reached " << c.moment << ": " << program->readAll().constData();
    ASSERT_TRUE(c.killDaemon ? stick.killDaemon() : stick.unmountLazily());
    QFile::remove(mark);

    // The job fails; every later hold at the moment is let go.
    QString error;
    QElapsedTimer timer;
    timer.start();
    while (error.isEmpty() && program->state() != QProcess::NotRunning && timer.elapsed() < 90000) {
        const QByteArray text = testsupport::readAll(mark);
        if (text.startsWith("failed\n"))
            error = QString::fromUtf8(text.mid(7));
        if (!text.isEmpty())
            QFile::remove(mark);
        program->waitForFinished(20);
    }
    EXPECT_TRUE(error.contains(QStringLiteral("被移除或卸载"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QDir::toNativeSeparators(QDir::cleanPath(scene.videos)))) << error.toStdString();
    program->terminate();
    if (!program->waitForFinished(20000))
        crashharness::Harness::kill(*program);
    EXPECT_EQ(crashharness::Harness::pendingCount(scene), 1);

    // The stick comes back where it was.
    if (c.killDaemon)
        ASSERT_TRUE(stick.unmountLazily());
    ASSERT_TRUE(stick.waitForNoDaemon(20000)) << "the stick is still in use";
    ASSERT_TRUE(stick.mount());

    QString why;
    ASSERT_TRUE(harness.runToEnd(scene, 90000, &why)) << why.toStdString();
    crashharness::expectExactlyOnce(harness.judge(scene));
    QValue runs;
    ASSERT_TRUE(QJsonFile::read(scene.data + QStringLiteral("runs.json"), runs));
    EXPECT_EQ(jsonSize(jsonMember(runs, QStringLiteral("runs"))), 0) << toStyledByteArray(runs, true).constData();
    EXPECT_EQ(jsonSize(jsonMember(runs, QStringLiteral("outputs"))), 0) << toStyledByteArray(runs, true).constData();
}

INSTANTIATE_TEST_SUITE_P(Pulls, StickPulledTest, ::testing::Values(
    PullCase {"PulledWhileEncrypting", "encrypting", true, 7},
    PullCase {"PulledOnceVerified", "verified", true, 8},
    PullCase {"PulledOnceMovedOut", "moved", true, 7},
    PullCase {"UnmountedWhileEncrypting", "encrypting", false, 8},
    PullCase {"UnmountedOnceVerified", "verified", false, 7},
    PullCase {"UnmountedOnceMovedOut", "moved", false, 8}),
    [](const ::testing::TestParamInfo<PullCase> &info) { return std::string(info.param.name); });
