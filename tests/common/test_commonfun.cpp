#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStorageInfo>
#include <QSysInfo>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "testsupport.h"

namespace
{
    TEST(MachineIdTest, KnownAnswersAndStability)
    {
        EXPECT_EQ(CommonFun::machineIdFromDiskId(""), "W0850713C6");
        EXPECT_EQ(CommonFun::machineIdFromDiskId("abc"), "WDC40014C6");

        const std::string id = CommonFun::getMachineId();
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^W[0-9A-F]{9}$")).match(QString::fromStdString(id)).hasMatch()) << id;
        EXPECT_EQ(id, CommonFun::getMachineId());
        const QByteArray disk = QSysInfo::machineUniqueId();
        EXPECT_EQ(id, CommonFun::machineIdFromDiskId(std::string(disk.constData(), disk.size())));
    }

    TEST(CommonFunTest, TimeTexts)
    {
        struct Case { int seconds; const char *text; } cases[] = {
            { 0, "00:00:00" }, { 59, "00:00:59" }, { 61, "00:01:01" }, { 3661, "01:01:01" },
            { 86399, "23:59:59" }, { 360000, "100:00:00" },
        };
        for (const Case &c : cases)
            EXPECT_EQ(CommonFun::secondsToTime(c.seconds), QString::fromLatin1(c.text)) << c.seconds;
    }

    TEST(CommonFunTest, FloatEqualIsStrict)
    {
        struct Case { float a, b, epsilon; bool equal; } cases[] = {
            { 1.0f, 1.0f, 0.0f, false },
            { 1.0f, 1.0f, 0.0001f, true },
            { 1.25f, 1.5f, 0.25f, false },
            { 1.5f, 1.25f, 0.3f, true },
            { 2.0f, 1.0f, 0.5f, false },
        };
        for (const Case &c : cases)
            EXPECT_EQ(CommonFun::floatEqual(c.a, c.b, c.epsilon), c.equal) << c.a << " " << c.b << " " << c.epsilon;
    }

    TEST(CommonFunTest, ClockIsWallTimeInMilliseconds)
    {
        const qint64 before = QDateTime::currentMSecsSinceEpoch();
        const int64_t now = CommonFun::currentMSecs();
        EXPECT_GE(now, before);
        EXPECT_LE(now, QDateTime::currentMSecsSinceEpoch());
    }

    TEST(CommonFunTest, PathNames)
    {
        struct Case { const char *path; const char *file; const char *folder; } cases[] = {
            { "/home/t/视频/a.mp4", "a.mp4", "a.mp4" },
            { "/home/t/视频/", "", "视频" },
            { "a.mp4", "", "" },
            { "/a.mp4", "", "" },
            { "", "", "" },
        };
        for (const Case &c : cases) {
            EXPECT_EQ(CommonFun::getFileName(QString::fromUtf8(c.path)), QString::fromUtf8(c.file)) << c.path;
            EXPECT_EQ(CommonFun::getLastFolderName(QString::fromUtf8(c.path)), QString::fromUtf8(c.folder)) << c.path;
        }
    }

    TEST(CommonFunTest, FileAndFolderHelpers)
    {
        const QString dir = testsupport::newTempDir();
        const QString file = dir + QStringLiteral("课程 1.mp4");
        const QString missing = dir + QStringLiteral("missing.mp4");
        ASSERT_TRUE(testsupport::writeAll(file, "video"));

        EXPECT_TRUE(CommonFun::isFile(file));
        EXPECT_FALSE(CommonFun::isDir(file));
        EXPECT_FALSE(CommonFun::isFile(dir));
        EXPECT_TRUE(CommonFun::isDir(dir));
        EXPECT_FALSE(CommonFun::isFile(missing));
        EXPECT_FALSE(CommonFun::isDir(missing));

        // Nested folders at once; an existing one is fine; a file in the way or no path is not.
        const QString nested = dir + QStringLiteral("输出/a/b");
        EXPECT_TRUE(CommonFun::createDirectories(nested));
        EXPECT_TRUE(CommonFun::isDir(nested));
        EXPECT_TRUE(CommonFun::createDirectories(nested));
        EXPECT_FALSE(CommonFun::createDirectories(file + QStringLiteral("/sub")));
        EXPECT_FALSE(CommonFun::createDirectories(QString()));

        // A move never replaces an existing file.
        const QString moved = nested + QStringLiteral("/moved.mp4");
        const QString other = dir + QStringLiteral("other.mp4");
        ASSERT_TRUE(testsupport::writeAll(other, "other"));
        EXPECT_TRUE(CommonFun::moveFile(file, moved));
        EXPECT_FALSE(QFile::exists(file));
        EXPECT_EQ(testsupport::readAll(moved), QByteArray("video"));
        EXPECT_FALSE(CommonFun::moveFile(other, moved));
        EXPECT_EQ(testsupport::readAll(moved), QByteArray("video"));
        EXPECT_EQ(testsupport::readAll(other), QByteArray("other"));
        EXPECT_FALSE(CommonFun::moveFile(missing, dir + QStringLiteral("x.mp4")));

        // Deleting takes files only.
        EXPECT_TRUE(CommonFun::deleteFile(moved));
        EXPECT_FALSE(QFile::exists(moved));
        EXPECT_FALSE(CommonFun::deleteFile(moved));
        EXPECT_FALSE(CommonFun::deleteFile(nested));
        EXPECT_TRUE(CommonFun::isDir(nested));
    }

    TEST(CommonFunTest, DiskFreeSpaceOfAPathsVolumeInGiB)
    {
        const QString dir = testsupport::newTempDir();
        const QString file = dir + QStringLiteral("a.bin");
        ASSERT_TRUE(testsupport::writeAll(file, "x"));
        const double expected = static_cast<double>(QStorageInfo(dir).bytesAvailable()) / (1024.0 * 1024.0 * 1024.0);
        ASSERT_GT(expected, 0.0);
        // Others write to the same volume meanwhile: a loose margin.
        EXPECT_NEAR(CommonFun::getDiskFreeSpace(dir), expected, 1.0);
        EXPECT_NEAR(CommonFun::getDiskFreeSpace(file), expected, 1.0);
        EXPECT_EQ(CommonFun::getDiskFreeSpace(dir + QStringLiteral("missing/")), 0.0f);
    }

    TEST(CommonFunTest, SingleInstanceWithinOneProcess)
    {
        // The first test takes the name; the process keeps it. Another process sees it
        // taken (tests/platform_guard).
        EXPECT_FALSE(CommonFun::isMutexExist(L"vantrel_2_0"));
        EXPECT_FALSE(CommonFun::isMutexExist(L"vantrel_2_0"));
    }
}
