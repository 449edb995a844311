#include <algorithm>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include "cstringhelp.h"
#include "ostrel.h"
#include "qworkfolder.h"
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

namespace
{
    // "<device>:<inode>:<size>:<mtime ns>" of an open file, as the main program hands it down.
    QString identityOf(int fd, long long inodeOffset = 0)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0)
            return QString();
        return QStringLiteral("%1:%2:%3:%4")
            .arg(static_cast<unsigned long long>(st.st_dev))
            .arg(static_cast<unsigned long long>(st.st_ino) + inodeOffset)
            .arg(static_cast<long long>(st.st_size))
            .arg(static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec);
    }
}

// The main program hands down the source it checked as an open descriptor: sorbin reads that
// file in every mode, whatever the task's name holds by then (here bytes that are no video),
// and only when the descriptor is the file the main program saw.
TEST_F(SorbinRun, HandedSourceDescriptorIsTheFileRead)
{
    writeSource(pattern(70001, 31));
    const QByteArray checked = testsupport::readAll(testsupport::clipH264Mp4());
    ASSERT_FALSE(checked.isEmpty());
    const QString checkedPath = testsupport::newTempDir() + QStringLiteral("checked.mp4");
    ASSERT_TRUE(testsupport::writeAll(checkedPath, checked));
    // Without close-on-exec: the child inherits it, as it inherits the main program's.
    const int fd = ::open(QFile::encodeName(checkedPath).constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const QString number = QString::number(fd);

    struct Case
    {
        const char *what;
        int type;
        QString fd;
        QString identity;
        bool ok;
    };
    const Case cases[] = {
        {"stream", 7, number, identityOf(fd), true},
        {"copy", 0, number, identityOf(fd), true},
        {"frames", 8, number, identityOf(fd), true},
        {"another file's identity", 7, number, identityOf(fd, 1), false},
        {"no identity", 7, number, QString(), false},
        {"a descriptor that is not open", 7, QStringLiteral("987"), identityOf(fd), false},
        {"no number", 7, QStringLiteral("x"), identityOf(fd), false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        qputenv("SORBIN_SOURCE_FD", c.fd.toUtf8());
        qputenv("SORBIN_SOURCE_ID", c.identity.toUtf8());
        const RunResult r = run(arguments(c.type));
        qunsetenv("SORBIN_SOURCE_FD");
        qunsetenv("SORBIN_SOURCE_ID");
        if (!c.ok)
        {
            expectFailure(r);
            continue;
        }
        expectSuccess(r);
        sorbintest::Package p;
        ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(finalPath()), p));
        if (c.type == 0)
            EXPECT_EQ(p.video, checked);
        else if (c.type == 7)
            EXPECT_EQ(sorbintest::streamDecrypt(p.video, kKey), checked);
        else
            EXPECT_GT(p.videoLength, 0u);
        ASSERT_TRUE(QFile::remove(finalPath()));
    }
    ::close(fd);
}

namespace
{
    // Every entry under `root`, links not followed, as "<path> <kind>" with a link's target and
    // the MD5 of a file's bytes.
    std::vector<std::string> treeOf(const QString &root)
    {
        std::vector<std::string> tree;
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
        {
            const QString path = it.next();
            const QFileInfo info(path);
            QString kind;
            if (info.isSymLink())
                kind = QStringLiteral("link to ") + info.symLinkTarget();
            else if (info.isDir())
                kind = QStringLiteral("folder");
            else
                kind = QString::fromLatin1(QCryptographicHash::hash(testsupport::readAll(path), QCryptographicHash::Md5).toHex());
            tree.push_back(path.mid(root.size()).toStdString() + " " + kind.toStdString());
        }
        std::sort(tree.begin(), tree.end());
        return tree;
    }
}

// A task written by someone else than the main program: names that climb out of the output
// folder, an output or temporary name that is the source (by name, through a link to its
// folder, through another process's open folder, as a hard link), folders that are no absolute
// folder paths, modes the program doesn't know. Each one fails with "1:failed" alone and exit
// code 1 before any file is made or removed; a sound task through the same paths still runs.
TEST(SorbinHostileTask, RefusedBeforeAnyFileIsTouched)
{
    const QString root = testsupport::newTempDir() + QStringLiteral("任务/");
    const QString src = root + QStringLiteral("src/");
    const QString out = root + QStringLiteral("out/");
    ASSERT_TRUE(QDir().mkpath(src));
    ASSERT_TRUE(QDir().mkpath(out + QStringLiteral("a")));
    const QString name = QStringLiteral("第1课 intro.mp4");
    const QString tmpName = QStringLiteral("第2课.vep.tmp");
    ASSERT_TRUE(testsupport::writeAll(src + name, pattern(5000, 21)));
    ASSERT_TRUE(testsupport::writeAll(src + tmpName, pattern(3000, 22)));
    ASSERT_EQ(::symlink("src", QFile::encodeName(root + QStringLiteral("link")).constData()), 0);
    ASSERT_EQ(::link(QFile::encodeName(src + name).constData(), QFile::encodeName(out + QStringLiteral("hard.vep")).constData()), 0);
    // The way the main program hands its folders: a path through a folder it holds open.
    const int srcFd = ::open(QFile::encodeName(src).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int outFd = ::open(QFile::encodeName(out).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(srcFd, 0);
    ASSERT_GE(outFd, 0);
    const QString srcByFd = QStringLiteral("/proc/%1/fd/%2/").arg(::getpid()).arg(srcFd);
    const QString outByFd = QStringLiteral("/proc/%1/fd/%2/").arg(::getpid()).arg(outFd);
    const QString link = root + QStringLiteral("link/");

    struct Case
    {
        const char *what;
        int type;
        QString filePath, fileName, savePath, videoKey;
    };
    const QString nul = QStringLiteral("x") + QChar(0) + QStringLiteral(".vep");
    const Case cases[] = {
        {"key climbing out", 7, src, name, out, QStringLiteral("../x.vep")},
        {"key into a subfolder", 7, src, name, out, QStringLiteral("a/b")},
        {"key ..", 7, src, name, out, QStringLiteral("..")},
        {"key .", 7, src, name, out, QStringLiteral(".")},
        {"empty key", 7, src, name, out, QString()},
        {"key with NUL", 7, src, name, out, nul},
        {"file name climbing out", 7, out, QStringLiteral("../src/") + name, out, QStringLiteral("x.vep")},
        {"file name ..", 0, src, QStringLiteral(".."), out, QStringLiteral("x.vep")},
        {"key is the source", 7, src, name, src, name},
        {"key is the source, copy", 0, src, name, src, name},
        {"source is the temporary name", 7, src, tmpName, src, QStringLiteral("第2课.vep")},
        {"key is the source through a link to its folder", 7, src, name, link, name},
        {"temporary name through a link to its folder", 3, src, tmpName, link, QStringLiteral("第2课.vep")},
        {"key is the source through an open folder", 7, src, name, srcByFd, name},
        {"source through an open folder is the temporary name", 7, srcByFd, tmpName, src, QStringLiteral("第2课.vep")},
        {"key names a hard link of the source", 7, src, name, out, QStringLiteral("hard.vep")},
        {"relative output folder", 7, src, name, QStringLiteral("out/"), QStringLiteral("x.vep")},
        {"output folder without its /", 7, src, name, root + QStringLiteral("out"), QStringLiteral("x.vep")},
        {"source folder with NUL", 7, src.left(src.size() - 1) + QChar(0) + QStringLiteral("/"), name, out, QStringLiteral("x.vep")},
        {"mode 2", 2, src, name, out, QStringLiteral("x.vep")},
        {"mode 4", 4, src, name, out, QStringLiteral("x.vep")},
        {"mode -1", -1, src, name, out, QStringLiteral("x.vep")},
        {"mode 9", 9, src, name, out, QStringLiteral("x.vep")},
    };

    auto argumentsOf = [](const Case &c, const QString &pipe) {
        QJsonObject task = QJsonDocument::fromJson(sorbintest::taskJson(c.type, c.filePath, c.fileName, c.videoKey).toUtf8()).object();
        task.insert(QStringLiteral("save_path"), c.savePath);
        return QStringList {QString::fromUtf8(QJsonDocument(task).toJson(QJsonDocument::Compact)), QString::fromLatin1(kKey), pipe};
    };

    const std::vector<std::string> before = treeOf(root);
    ASSERT_EQ(before.size(), 7);
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        const QString pipe = sorbintest::newPipeName();
        const RunResult r = sorbintest::runSorbin(argumentsOf(c, pipe), pipe);
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_EQ(r.exitCode, 1) << r.output.constData();
        EXPECT_EQ(r.messages.size(), 1u) << "nothing before the last message";
        if (!r.messages.empty())
        {
            EXPECT_EQ(r.messages.back().text, "1:failed\n");
        }
        EXPECT_EQ(treeOf(root), before);
        EXPECT_TRUE(QDir(QWorkFolder::defaultRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
    }

    // The same paths in a sound task: the open folders, and the link to a folder that isn't
    // the source's own name.
    const Case sound[] = {
        {"through open folders", 7, srcByFd, name, outByFd, QStringLiteral("ok1.vep")},
        {"through a link to the source folder", 7, link, name, out, QStringLiteral("ok2.vep")},
        {"beside the source", 7, src, name, src, QStringLiteral("ok3.vep")},
    };
    for (const Case &c : sound)
    {
        SCOPED_TRACE(c.what);
        const QString pipe = sorbintest::newPipeName();
        const RunResult r = sorbintest::runSorbin(argumentsOf(c, pipe), pipe);
        EXPECT_EQ(r.exitCode, 0) << r.output.constData();
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().text, "0:success\n");
    }
    EXPECT_EQ(testsupport::readAll(src + name), pattern(5000, 21));
    EXPECT_TRUE(QFile::exists(out + QStringLiteral("ok1.vep")));
    EXPECT_TRUE(QFile::exists(out + QStringLiteral("ok2.vep")));
    EXPECT_TRUE(QFile::exists(src + QStringLiteral("ok3.vep")));
    ::close(srcFd);
    ::close(outFd);
}
