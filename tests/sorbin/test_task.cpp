#include <cmath>

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "ostrel.h"
#include "qdtavideo.h"
#include "qworkfolder.h"
#include "sorbintestutil.h"
#include "testsupport.h"

// Numbers of the task are whole 32-bit numbers or 0; strings are strings or empty.
TEST(SorbinTask, JsonFieldsAreTypeChecked)
{
    struct Case { const char *json; int type; int rand; const char *course; };
    const Case cases[] = {
        {"{\"encrypt_type\":7,\"randEnc\":5,\"course_id\":\"12\"}", 7, 5, "12"},
        {"{\"encrypt_type\":7.5,\"randEnc\":1700000000000,\"course_id\":12}", 0, 0, ""},
        {"{\"encrypt_type\":\"7\",\"randEnc\":2147483647,\"course_id\":null}", 0, 2147483647, ""},
        {"{\"encrypt_type\":-2147483648,\"randEnc\":2147483648,\"course_id\":[\"1\"]}", -2147483647 - 1, 0, ""},
        {"{\"encrypt_type\":true,\"randEnc\":-1e300}", 0, 0, ""},
        {"{}", 0, 0, ""},
    };
    for (const Case &c : cases)
    {
        const QDtaVideo v = QDtaVideo::fromJson(QJsonDocument::fromJson(c.json).object());
        EXPECT_EQ(v.encryptType(), c.type) << c.json;
        EXPECT_EQ(v.randNumber(), c.rand) << c.json;
        EXPECT_EQ(v.courseId(), QString::fromLatin1(c.course)) << c.json;
    }
}

// Messages on the wire, and the names a run works under.
TEST(SorbinTask, MessagesAndWorkingNames)
{
    const QString dir = testsupport::newTempDir();
    const QString pipe = sorbintest::newPipeName();
    sorbintest::PipeRecorder recorder(pipe.toStdString());
    ASSERT_TRUE(recorder.listening());
    {
        Ostrel ostrel;
        // A source that isn't there: the run sets up its names, then fails at the first read.
        const QString task = sorbintest::taskJson(7, dir, QStringLiteral("第1课.mp4"), QStringLiteral("1_2_3_第1课.vep"));
        ASSERT_TRUE(ostrel.parseArguments({task, QStringLiteral("0123456789ABCDEF0123456789ABCDEF"), pipe}));
        EXPECT_TRUE(ostrel.sendMessage(4));
        EXPECT_TRUE(ostrel.sendMessage(2, QStringLiteral("57")));
        EXPECT_TRUE(ostrel.sendLog(QStringLiteral("媒体")));
        EXPECT_FALSE(ostrel.startWork()) << "no source";

        EXPECT_EQ(ostrel.destPath(), dir + QStringLiteral("1_2_3_第1课.vep.tmp"));
        // The index is in the run's private folder, not under a name anyone can foresee.
        EXPECT_TRUE(ostrel.indexPath().startsWith(QWorkFolder::defaultRoot() + QString::number(::getpid()) + QLatin1Char('-')))
            << ostrel.indexPath().toStdString();
        EXPECT_TRUE(ostrel.indexPath().endsWith(QStringLiteral("/index.inx")));
    }
    std::vector<std::string> texts;
    for (const sorbintest::Message &m : recorder.finish())
        texts.push_back(m.text);
    EXPECT_EQ(texts, (std::vector<std::string> {"4", "2:57\n", "4:媒体\n", "1:failed\n"}));
}
