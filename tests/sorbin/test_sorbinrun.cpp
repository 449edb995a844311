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
namespace
{
    // One task: its paths are written with the names of the tree's parts, filled in by the
    // fixture: {root}, {src}, {out}, {link} (a link to the source folder), {srcfd} and {outfd}
    // (the folders through descriptors this process holds open), {name} (the source),
    // {tmp} (a file named as the temporary output of "第2课.vep"), {nul} (a NUL character).
    struct TaskRow
    {
        const char *name;   // the row's name in the test's name
        int type;
        const char *filePath;
        const char *fileName;
        const char *savePath;
        const char *videoKey;
    };

    void PrintTo(const TaskRow &row, std::ostream *os)
    {
        *os << row.name;
    }

    std::string rowName(const ::testing::TestParamInfo<TaskRow> &info)
    {
        return info.param.name;
    }

    // A tree of a source folder and an output folder, with a link to the source folder and a
    // hard link of the source in the output folder, and both folders held open.
    class SorbinTaskPaths : public ::testing::TestWithParam<TaskRow>
    {
    protected:
        void SetUp() override
        {
            m_root = testsupport::newTempDir() + QStringLiteral("任务/");
            m_src = m_root + QStringLiteral("src/");
            m_out = m_root + QStringLiteral("out/");
            ASSERT_TRUE(QDir().mkpath(m_src));
            ASSERT_TRUE(QDir().mkpath(m_out + QStringLiteral("a")));
            ASSERT_TRUE(testsupport::writeAll(m_src + m_name, pattern(5000, 21)));
            ASSERT_TRUE(testsupport::writeAll(m_src + m_tmpName, pattern(3000, 22)));
            ASSERT_EQ(::symlink("src", QFile::encodeName(m_root + QStringLiteral("link")).constData()), 0);
            ASSERT_EQ(::link(QFile::encodeName(m_src + m_name).constData(),
                             QFile::encodeName(m_out + QStringLiteral("hard.vep")).constData()), 0);
            // The way the main program hands its folders: a path through a folder it holds open.
            m_srcFd = ::open(QFile::encodeName(m_src).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            m_outFd = ::open(QFile::encodeName(m_out).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(m_srcFd, 0);
            ASSERT_GE(m_outFd, 0);
            m_before = treeOf(m_root);
            ASSERT_EQ(m_before.size(), 7u);
        }

        void TearDown() override
        {
            if (m_srcFd >= 0)
                ::close(m_srcFd);
            if (m_outFd >= 0)
                ::close(m_outFd);
        }

        QString fill(const char *text) const
        {
            QString out = QString::fromUtf8(text);
            const std::pair<const char *, QString> parts[] = {
                {"{root}", m_root},
                {"{src}", m_src},
                {"{out}", m_out},
                {"{link}", m_root + QStringLiteral("link/")},
                {"{srcfd}", QStringLiteral("/proc/%1/fd/%2/").arg(::getpid()).arg(m_srcFd)},
                {"{outfd}", QStringLiteral("/proc/%1/fd/%2/").arg(::getpid()).arg(m_outFd)},
                {"{name}", m_name},
                {"{tmp}", m_tmpName},
                {"{nul}", QString(QChar(0))},
            };
            for (const auto &part : parts)
                out.replace(QString::fromLatin1(part.first), part.second);
            return out;
        }

        RunResult run(const TaskRow &row) const
        {
            QJsonObject task = QJsonDocument::fromJson(
                sorbintest::taskJson(row.type, fill(row.filePath), fill(row.fileName), fill(row.videoKey)).toUtf8()).object();
            task.insert(QStringLiteral("save_path"), fill(row.savePath));
            const QString pipe = sorbintest::newPipeName();
            return sorbintest::runSorbin(
                {QString::fromUtf8(QJsonDocument(task).toJson(QJsonDocument::Compact)), QString::fromLatin1(kKey), pipe}, pipe);
        }

        const QString m_name = QStringLiteral("第1课 intro.mp4");
        const QString m_tmpName = QStringLiteral("第2课.vep.tmp");
        QString m_root, m_src, m_out;
        int m_srcFd = -1;
        int m_outFd = -1;
        std::vector<std::string> m_before;
    };

    class SorbinHostileTask : public SorbinTaskPaths
    {
    };

    class SorbinSoundTask : public SorbinTaskPaths
    {
    };
}

TEST_P(SorbinHostileTask, RefusedBeforeAnyFileIsTouched)
{
    const RunResult r = run(GetParam());
    EXPECT_EQ(r.status, QProcess::NormalExit);
    EXPECT_EQ(r.exitCode, 1) << r.output.constData();
    EXPECT_EQ(r.messages.size(), 1u) << "nothing before the last message";
    if (!r.messages.empty())
    {
        EXPECT_EQ(r.messages.back().text, "1:failed\n");
    }
    EXPECT_EQ(treeOf(m_root), m_before);
    EXPECT_TRUE(QDir(QWorkFolder::defaultRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Tasks, SorbinHostileTask, ::testing::Values(
    TaskRow {"KeyClimbingOut", 7, "{src}", "{name}", "{out}", "../x.vep"},
    TaskRow {"KeyIntoASubfolder", 7, "{src}", "{name}", "{out}", "a/b"},
    TaskRow {"KeyDotDot", 7, "{src}", "{name}", "{out}", ".."},
    TaskRow {"KeyDot", 7, "{src}", "{name}", "{out}", "."},
    TaskRow {"EmptyKey", 7, "{src}", "{name}", "{out}", ""},
    TaskRow {"KeyWithNul", 7, "{src}", "{name}", "{out}", "x{nul}.vep"},
    TaskRow {"FileNameClimbingOut", 7, "{out}", "../src/{name}", "{out}", "x.vep"},
    TaskRow {"FileNameDotDot", 0, "{src}", "..", "{out}", "x.vep"},
    TaskRow {"KeyIsTheSource", 7, "{src}", "{name}", "{src}", "{name}"},
    TaskRow {"KeyIsTheSourceCopyMode", 0, "{src}", "{name}", "{src}", "{name}"},
    TaskRow {"SourceIsTheTemporaryName", 7, "{src}", "{tmp}", "{src}", "第2课.vep"},
    TaskRow {"KeyIsTheSourceThroughALinkToItsFolder", 7, "{src}", "{name}", "{link}", "{name}"},
    TaskRow {"TemporaryNameThroughALinkToItsFolder", 3, "{src}", "{tmp}", "{link}", "第2课.vep"},
    TaskRow {"KeyIsTheSourceThroughAnOpenFolder", 7, "{src}", "{name}", "{srcfd}", "{name}"},
    TaskRow {"SourceThroughAnOpenFolderIsTheTemporaryName", 7, "{srcfd}", "{tmp}", "{src}", "第2课.vep"},
    TaskRow {"KeyNamesAHardLinkOfTheSource", 7, "{src}", "{name}", "{out}", "hard.vep"},
    TaskRow {"RelativeOutputFolder", 7, "{src}", "{name}", "out/", "x.vep"},
    TaskRow {"OutputFolderWithoutItsSlash", 7, "{src}", "{name}", "{root}out", "x.vep"},
    TaskRow {"SourceFolderWithNul", 7, "{root}src{nul}/", "{name}", "{out}", "x.vep"},
    TaskRow {"Mode2", 2, "{src}", "{name}", "{out}", "x.vep"},
    TaskRow {"Mode4", 4, "{src}", "{name}", "{out}", "x.vep"},
    TaskRow {"ModeMinus1", -1, "{src}", "{name}", "{out}", "x.vep"},
    TaskRow {"Mode9", 9, "{src}", "{name}", "{out}", "x.vep"}),
    rowName);

// The same paths in a sound task: the open folders, and the link to a folder that isn't the
// source's own name. The output is written, the source stays as it was.
TEST_P(SorbinSoundTask, RunsThroughTheSamePaths)
{
    const TaskRow &row = GetParam();
    const RunResult r = run(row);
    EXPECT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().text, "0:success\n");
    EXPECT_EQ(testsupport::readAll(m_src + m_name), pattern(5000, 21));
    const QString output = (QString::fromUtf8(row.savePath) == QLatin1String("{src}") ? m_src : m_out) + fill(row.videoKey);
    EXPECT_TRUE(QFile::exists(output)) << output.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Tasks, SorbinSoundTask, ::testing::Values(
    TaskRow {"ThroughOpenFolders", 7, "{srcfd}", "{name}", "{outfd}", "ok1.vep"},
    TaskRow {"ThroughALinkToTheSourceFolder", 7, "{link}", "{name}", "{out}", "ok2.vep"},
    TaskRow {"BesideTheSource", 7, "{src}", "{name}", "{src}", "ok3.vep"}),
    rowName);
