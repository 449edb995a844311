// The real vantrel with its data folder or its video folder on a small tmpfs that is full:
// the job fails with the disk's reason, nothing kept is lost, and once there is room again a
// restart finishes the job with exactly one output and one record.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include "crashharness.h"
#include "testsupport.h"

namespace
{
    enum class When { BeforeStart, WhileSorbinRuns };

    struct FullDataCase
    {
        const char *name;
        int mode;
        When when;
        const char *reason; // in the job's error
    };

    // The mark vantrel writes at a pause: the moment, then the detail on the next line.
    bool waitForPause(const QString &mark, const char *moment, QString *detail, int timeoutMs)
    {
        const bool reached = testsupport::waitUntil([&]() {
            const QByteArray text = testsupport::readAll(mark);
            return text == moment || text.startsWith(QByteArray(moment) + '\n');
        }, timeoutMs);
        if (reached && detail)
            *detail = QString::fromUtf8(testsupport::readAll(mark)).section(QLatin1Char('\n'), 1);
        return reached;
    }

    bool endWithSigterm(QProcess &process)
    {
        process.terminate();
        if (process.waitForFinished(20000))
            return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        crashharness::Harness::kill(process);
        return false;
    }

    // Test names in ctest show the case's name, never the bytes of the struct.
    void PrintTo(const FullDataCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class FullDataFolderTest : public ::testing::TestWithParam<FullDataCase>
    {
    };
}

TEST_P(FullDataFolderTest, FullDataDiskLosesNothingAndARestartFinishesTheJob)
{
    if (!crashharness::Harness::hooksBuiltIn())
        GTEST_SKIP() << crashharness::Harness::noHooks();
    const FullDataCase &c = GetParam();
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    testsupport::Tmpfs disk(16 * 1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    const QString root = testsupport::newTempDir();
    crashharness::Scene scene = harness.seed(root, {c.mode}, disk.path() + QStringLiteral("data/"));
    crashharness::Harness::addOlderRecords(scene, 3);
    ASSERT_EQ(scene.olderRecords.size(), 3u);
    const QByteArray records = testsupport::readAll(scene.data + QStringLiteral("records.json"));
    const QByteArray pending = testsupport::readAll(scene.data + QStringLiteral("work.json"));
    // A plain transcode that stops growing fails within seconds, not a minute.
    qputenv("SORBIN_STALL_WAIT_MS", "5000");

    const QString mark = root + QStringLiteral("paused");
    std::unique_ptr<QProcess> program;
    if (c.when == When::BeforeStart) {
        ASSERT_TRUE(disk.fill());
        program = harness.start(scene, QString(), QString(), QStringLiteral("failed"), mark);
    } else {
        program = harness.start(scene, QString(), QString(), QStringLiteral("child,failed"), mark);
        ASSERT_TRUE(waitForPause(mark, "child", nullptr, 60000)) << program->readAll().constData();
        ASSERT_TRUE(disk.fill());
        QFile::remove(mark);
    }
    QString error;
    ASSERT_TRUE(waitForPause(mark, "failed", &error, 90000)) << program->readAll().constData();
    EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << error.toStdString();
    QFile::remove(mark);
    EXPECT_TRUE(endWithSigterm(*program)) << program->readAll().constData();

    // Nothing the full disk touched was replaced: the history and the pending job read back whole.
    if (c.when == When::BeforeStart) {
        EXPECT_EQ(testsupport::readAll(scene.data + QStringLiteral("records.json")), records);
        EXPECT_EQ(testsupport::readAll(scene.data + QStringLiteral("work.json")), pending);
    }
    EXPECT_EQ(crashharness::Harness::recordCount(scene), 3);
    EXPECT_EQ(crashharness::Harness::pendingCount(scene), 1);
    EXPECT_TRUE(QDir(scene.data).entryList({QStringLiteral("*.bad*")}, QDir::AllEntries | QDir::Hidden).isEmpty());

    disk.release();
    qunsetenv("SORBIN_STALL_WAIT_MS");
    QString why;
    ASSERT_TRUE(harness.runToEnd(scene, 90000, &why)) << why.toStdString();
    crashharness::expectExactlyOnce(harness.judge(scene));
    EXPECT_EQ(crashharness::Harness::recordCount(scene), 4);
}

INSTANTIATE_TEST_SUITE_P(
    ModesAndMoments, FullDataFolderTest,
    ::testing::Values(FullDataCase {"FastFullBeforeTheStart", 7, When::BeforeStart, "无法开始加密：数据文件夹"},
                      FullDataCase {"HighStrengthFullBeforeTheStart", 8, When::BeforeStart, "磁盘空间不足：数据文件夹"},
                      FullDataCase {"FastFullWhileSorbinRuns", 7, When::WhileSorbinRuns, "无法保存加密记录"},
                      FullDataCase {"HighStrengthFullWhileSorbinRuns", 8, When::WhileSorbinRuns, "磁盘空间不足：数据文件夹"}),
    [](const ::testing::TestParamInfo<FullDataCase> &info) { return std::string(info.param.name); });

namespace
{
    struct RoomCase
    {
        const char *name;
        int mode;
        // Free room left beside the source: the source's size times `share`, plus `extra` bytes.
        double share;
        qint64 extra;
        const char *reason; // empty: the job runs
        // The room is taken once the run has begun, just before sorbin starts.
        bool fillWhileRunning = false;
    };

    // Test names in ctest show the case's name, never the bytes of the struct.
    void PrintTo(const RoomCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class VideoFolderRoomTest : public ::testing::TestWithParam<RoomCase>
    {
    };
}

// A small video with little room beside it is encrypted (the margin fits the output); one
// that can't fit is refused with the room it would need, before anything is written there; a
// folder that fills while sorbin writes fails the job with the disk's reason and its folder.
TEST_P(VideoFolderRoomTest, OutcomeFollowsTheRoomBesideTheVideo)
{
    const RoomCase &c = GetParam();
    // The refusals and the filling are watched at the moments vantrel pauses at.
    if ((c.fillWhileRunning || !QByteArray(c.reason).isEmpty()) && !crashharness::Harness::hooksBuiltIn())
        GTEST_SKIP() << crashharness::Harness::noHooks();
    crashharness::Harness harness;
    ASSERT_TRUE(harness.isReady());
    testsupport::Tmpfs disk(8 * 1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    const QString root = testsupport::newTempDir();
    crashharness::Scene scene = harness.seed(disk.path(), {c.mode}, root + QStringLiteral("data/"));
    const qint64 size = QFileInfo(scene.jobs.front().source).size();
    ASSERT_GT(size, 0);
    const QString mark = root + QStringLiteral("paused");
    if (c.fillWhileRunning) {
        std::unique_ptr<QProcess> program = harness.start(scene, QString(), QString(), QStringLiteral("child,failed"), mark);
        ASSERT_TRUE(waitForPause(mark, "child", nullptr, 60000)) << program->readAll().constData();
        ASSERT_TRUE(disk.fill());
        QFile::remove(mark);
        QString error;
        ASSERT_TRUE(waitForPause(mark, "failed", &error, 90000)) << program->readAll().constData();
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << error.toStdString();
        EXPECT_TRUE(error.contains(QDir::toNativeSeparators(QDir::cleanPath(scene.videos)))) << error.toStdString();
        QFile::remove(mark);
        EXPECT_TRUE(endWithSigterm(*program));
        EXPECT_EQ(crashharness::Harness::pendingCount(scene), 1);
        disk.release();
        QString why;
        ASSERT_TRUE(harness.runToEnd(scene, 90000, &why)) << why.toStdString();
        crashharness::expectExactlyOnce(harness.judge(scene));
        return;
    }
    ASSERT_TRUE(disk.fill(static_cast<qint64>(size * c.share) / 4096 * 4096 + c.extra));

    if (QByteArray(c.reason).isEmpty()) {
        QString why;
        ASSERT_TRUE(harness.runToEnd(scene, 90000, &why)) << why.toStdString();
        disk.release();
        crashharness::expectExactlyOnce(harness.judge(scene));
        return;
    }
    std::unique_ptr<QProcess> program = harness.start(scene, QString(), QString(), QStringLiteral("failed"), mark);
    QString error;
    ASSERT_TRUE(waitForPause(mark, "failed", &error, 60000)) << program->readAll().constData();
    EXPECT_TRUE(error.contains(QString::fromUtf8(c.reason))) << error.toStdString();
    EXPECT_TRUE(error.contains(QDir::toNativeSeparators(QDir::cleanPath(scene.videos)) + QStringLiteral("”所在磁盘可用")))
        << error.toStdString();
    QFile::remove(mark);
    EXPECT_TRUE(endWithSigterm(*program));
    EXPECT_EQ(testsupport::readAll(scene.jobs.front().source), scene.clip);
    QStringList entries = QDir(scene.videos).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    EXPECT_EQ(entries, QStringList {QFileInfo(scene.jobs.front().source).fileName()});
    EXPECT_EQ(crashharness::Harness::pendingCount(scene), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Room, VideoFolderRoomTest,
    ::testing::Values(RoomCase {"FastSmallVideoWithLittleRoomRuns", 7, 1.0, 1200 * 1024, ""},
                      RoomCase {"HighStrengthSmallVideoWithLittleRoomRuns", 8, 1.0, 1200 * 1024, ""},
                      RoomCase {"FastVideoThatCannotFitIsRefused", 7, 0.5, 0, "磁盘空间不足：输出文件夹“"},
                      RoomCase {"HighStrengthVideoThatCannotFitIsRefused", 8, 0.5, 0, "磁盘空间不足：输出文件夹“"},
                      RoomCase {"FastVideoFolderFillingWhileSorbinRunsIsTold", 7, 0, 0, "磁盘空间不足：输出文件夹", true},
                      RoomCase {"HighStrengthVideoFolderFillingWhileSorbinRunsIsTold", 8, 0, 0, "磁盘空间不足：输出文件夹", true}),
    [](const ::testing::TestParamInfo<RoomCase> &info) { return std::string(info.param.name); });
