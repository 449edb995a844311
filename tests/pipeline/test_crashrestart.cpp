// The real vantrel with pending work in modes 7 and 8, killed with SIGKILL at one moment of a
// job, started again and run to the end: every source untouched, one output and one record per
// job, and nothing else left behind.
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include "crashharness.h"
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
    const crashharness::Outcome outcome = harness.judge(scene);
    EXPECT_EQ(outcome.lost, 0);
    EXPECT_EQ(outcome.duplicated, 0);
    EXPECT_EQ(outcome.leftOver, 0);
    EXPECT_TRUE(outcome.notes.isEmpty()) << outcome.notes.join(QLatin1Char('\n')).toStdString();
}

INSTANTIATE_TEST_SUITE_P(Moments, CrashRestartTest, ::testing::Values("probe", "encrypting", "moved", "recorded", "renamed"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });
