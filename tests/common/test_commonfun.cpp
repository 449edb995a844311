#include <QDateTime>
#include <QRegularExpression>
#include <QSysInfo>

#include <gtest/gtest.h>

#include "commonfun.h"

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

    TEST(CommonFunTest, SingleInstanceWithinOneProcess)
    {
        // The first test takes the name; the process keeps it. Another process sees it
        // taken (tests/platform_guard).
        EXPECT_FALSE(CommonFun::isMutexExist(L"vantrel_2_0"));
        EXPECT_FALSE(CommonFun::isMutexExist(L"vantrel_2_0"));
    }
}
