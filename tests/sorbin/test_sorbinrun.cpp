#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include "cstringhelp.h"
#include "ostrel.h"
#include "qwriteconfig.h"
#include "sorbintestutil.h"
#include "testsupport.h"

using sorbintest::Message;
using sorbintest::RunResult;

namespace
{
    const QByteArray kKey = "0123456789ABCDEF0123456789ABCDEF";

    QByteArray pattern(int size, uint32_t seed)
    {
        QByteArray b(size, '\0');
        uint32_t x = seed;
        for (int i = 0; i < size; ++i)
        {
            x = x * 1664525u + 1013904223u;
            b[i] = char(x >> 24);
        }
        return b;
    }

    std::vector<Message> ofCode(const std::vector<Message> &all, int code)
    {
        std::vector<Message> out;
        for (const Message &m : all)
            if (m.code() == code)
                out.push_back(m);
        return out;
    }
}

// A source folder with a Chinese name and a space, a pipe and the task of one run.
class SorbinRun : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir() + QStringLiteral("课程 视频/");
        ASSERT_TRUE(QDir().mkpath(m_dir));
        m_pipe = sorbintest::newPipeName();
    }

    void writeSource(const QByteArray &bytes)
    {
        m_source = bytes;
        ASSERT_TRUE(testsupport::writeAll(m_dir + m_fileName, bytes));
    }

    QString finalPath() const
    {
        return m_dir + m_videoKey;
    }

    QStringList arguments(int type, const QString &key = QString::fromLatin1(kKey), long long randEnc = 0) const
    {
        return {sorbintest::taskJson(type, m_dir, m_fileName, m_videoKey, QString(), randEnc), key, m_pipe};
    }

    RunResult run(const QStringList &args, bool serve = true, const QByteArray &stdinData = QByteArray())
    {
        return sorbintest::runSorbin(args, serve ? m_pipe : QString(), stdinData);
    }

    // Nothing but the source is left in the folder, and the source is as it was.
    void expectNothingLeft() const
    {
        EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {m_fileName});
        EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
    }

    void expectSuccess(const RunResult &r) const
    {
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_EQ(r.exitCode, 0) << r.output.constData();
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().text, "0:success\n");
        EXPECT_FALSE(QFile::exists(finalPath() + QStringLiteral(".tmp")));
        EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source) << "the source is never touched";
    }

    void expectFailure(const RunResult &r, bool piped = true) const
    {
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_EQ(r.exitCode, 1);
        if (piped)
        {
            ASSERT_FALSE(r.messages.empty());
            EXPECT_EQ(r.messages.back().text, "1:failed\n");
        }
        expectNothingLeft();
    }

    QString m_dir;
    QString m_pipe;
    QString m_fileName = QStringLiteral("第1课 intro.mp4");
    QString m_videoKey = QStringLiteral("7_12_1700000000000_第1课 intro.vep");
    QByteArray m_source;
};

class StreamSizes : public SorbinRun, public ::testing::WithParamInterface<int>
{
};

// Sizes around the 8-byte header blocks, the 2560-byte header and the 1024-byte body blocks.
TEST_P(StreamSizes, OutputDecryptsToTheSource)
{
    const int size = GetParam();
    writeSource(pattern(size, uint32_t(size) + 1));
    const RunResult r = run(arguments(7));
    expectSuccess(r);

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(finalPath()), p));
    EXPECT_EQ(p.videoLength, uint64_t(size));
    EXPECT_EQ(p.indexLength, 32u) << "stream mode has no index";
    ASSERT_EQ(p.video.size(), size);
    EXPECT_EQ(sorbintest::streamDecrypt(p.video, kKey), m_source);

    const int head = std::min(size, 2560);
    if (size < 8)
    {
        EXPECT_EQ(p.video, m_source) << "no whole block: written unchanged";
    }
    else
    {
        EXPECT_NE(p.video.left(8), m_source.left(8));
    }
    // Bytes after the last whole header block stay plain.
    EXPECT_EQ(p.video.mid(head / 8 * 8, head % 8), m_source.mid(head / 8 * 8, head % 8));
    if (size > 2560)
    {
        const QByteArray mixed = Ostrel::mixKey(kKey, QByteArray::number(size));
        const uint8_t x = Ostrel::blockByte(Ostrel::keyNumber(mixed), 2560 / 1024);
        EXPECT_EQ(uint8_t(p.video[2560]), uint8_t(m_source[2560] ^ x));
    }

    const std::vector<Message> progress = ofCode(r.messages, 2);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().body(), "100");
    if (size == 0)
    {
        EXPECT_EQ(progress.size(), 1u) << "an empty source sends only the final 100";
    }
}

INSTANTIATE_TEST_SUITE_P(Sorbin, StreamSizes, ::testing::Values(0, 5, 100, 2560, 2565, 3584, 3585, 70001));

TEST_F(SorbinRun, StreamModeReportsPacedProgressThenPathThenSuccess)
{
    writeSource(pattern(24 * 1024 * 1024, 99));
    const RunResult r = run(arguments(7));
    expectSuccess(r);

    ASSERT_GE(r.messages.size(), 3u);
    const size_t n = r.messages.size();
    EXPECT_EQ(r.messages[n - 2].code(), 3);
    EXPECT_EQ(r.messages[n - 2].body(), CStringHelp::base64Encode(finalPath().toUtf8().toStdString()));
    for (size_t i = 0; i + 2 < n; ++i)
        EXPECT_EQ(r.messages[i].code(), 2) << r.messages[i].text;

    const std::vector<Message> progress = ofCode(r.messages, 2);
    EXPECT_EQ(progress.back().body(), "100");
    int last = 0;
    for (size_t i = 0; i < progress.size(); ++i)
    {
        const int value = std::stoi(progress[i].body());
        EXPECT_GE(value, last) << "rising";
        EXPECT_GT(value, 0) << "never 0";
        EXPECT_LE(value, 100);
        last = value;
        if (i > 0 && i + 1 < progress.size())
        {
            // Arrival times jitter on a loaded machine; unpaced messages would come a few ms apart.
            EXPECT_GE(progress[i].ms - progress[i - 1].ms, 400) << "paced to one message each 500 ms";
        }
    }

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(finalPath()), p));
    EXPECT_EQ(sorbintest::streamDecrypt(p.video, kKey), m_source);
}

// Copy mode: the plain video, the block, and the record of the task; an older output is replaced.
TEST_F(SorbinRun, CopyModeAppendsTheRecordOfTheTask)
{
    writeSource(testsupport::readAll(testsupport::clipH264Mp4()));
    ASSERT_FALSE(m_source.isEmpty());
    ASSERT_TRUE(testsupport::writeAll(finalPath(), "an older output"));
    const RunResult r = run(arguments(0, QString::fromLatin1(kKey), 1700000000000LL));
    expectSuccess(r);
    EXPECT_TRUE(ofCode(r.messages, 2).empty()) << "a copy sends no progress";

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(finalPath()), p));
    EXPECT_EQ(p.video, m_source);
    VepVideoRecord rec;
    ASSERT_TRUE(QWriteConfig::parse(p.record.toStdString(), rec));
    EXPECT_EQ(rec.magic, 0x0133EFC0);
    EXPECT_EQ(rec.number1, 6);
    EXPECT_EQ(rec.number2, 2);
    EXPECT_EQ(QString::fromStdWString(rec.courseId), QStringLiteral("12"));
    EXPECT_EQ(rec.randNumber, 0) << "a millisecond job id is outside 32 bits";
    EXPECT_EQ(QString::fromStdWString(rec.videoKey), m_videoKey);
    EXPECT_EQ(rec.encryptType, 0);
    EXPECT_EQ(rec.number8, 2);
    EXPECT_EQ(rec.width, 320);
    EXPECT_EQ(rec.height, 240);
    EXPECT_EQ(rec.duration, 3);
}

class UnsupportedModes : public SorbinRun, public ::testing::WithParamInterface<int>
{
};

TEST_P(UnsupportedModes, FailAndLeaveNothing)
{
    writeSource(pattern(5000, 3));
    expectFailure(run(arguments(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(Sorbin, UnsupportedModes, ::testing::Values(2, 4, -1, 9));

// Without the main program's pipe, encryption fails at its first progress message; a copy
// needs no pipe.
TEST_F(SorbinRun, WithoutPipe)
{
    writeSource(pattern(300000, 5));
    expectFailure(run(arguments(7), false), false);

    const RunResult copy = run(arguments(0), false);
    EXPECT_EQ(copy.exitCode, 0);
    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(finalPath()), p));
    EXPECT_EQ(p.video, m_source);
}

// A main program that dies in the middle of a run: the next progress message is lost, the run
// fails and leaves nothing behind.
TEST_F(SorbinRun, MainProgramGoneMidRunFails)
{
    writeSource(pattern(24 * 1024 * 1024, 17));
    const RunResult r = sorbintest::runSorbin(arguments(7), m_pipe, QByteArray(), 0);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages.front().code(), 2);
    expectFailure(r, false);
}

// "-" as the key: one Base64 line on standard input keys the run exactly like the argument.
TEST_F(SorbinRun, KeyFromStandardInput)
{
    writeSource(pattern(10000, 11));
    expectSuccess(run(arguments(7)));
    const QByteArray byArgument = testsupport::readAll(finalPath());

    const RunResult r = run(arguments(7, QStringLiteral("-")), true, kKey.toBase64() + "\n");
    expectSuccess(r);
    EXPECT_EQ(testsupport::readAll(finalPath()), byArgument);

    ASSERT_TRUE(QFile::remove(finalPath()));
    expectFailure(run(arguments(7, QStringLiteral("-"))));
}

// Bad input: a clear failure over the pipe, exit code 1, nothing left behind.
TEST_F(SorbinRun, BadInputFails)
{
    writeSource(pattern(4000, 13));
    struct Case { const char *name; QStringList args; };
    const QString task = sorbintest::taskJson(7, m_dir, m_fileName, m_videoKey);
    const Case cases[] = {
        {"key shorter than 16 bytes", {task, QStringLiteral("0123456789"), m_pipe}},
        {"task JSON that is not JSON", {QStringLiteral("{\"encrypt_type\":7,"), QString::fromLatin1(kKey), m_pipe}},
        {"missing source", {sorbintest::taskJson(7, m_dir, QStringLiteral("nope.mp4"), m_videoKey),
                            QString::fromLatin1(kKey), m_pipe}},
        {"two arguments", {task, m_pipe}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        expectFailure(run(c.args));
    }
}
