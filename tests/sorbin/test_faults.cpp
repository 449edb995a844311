#include <chrono>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "ostrel.h"
#include "logger.h"
#include "qchildprocess.h"
#include "qvlclog.h"
#include "qworkfolder.h"
#include "sorbintestutil.h"
#include "testsupport.h"

using sorbintest::Message;
using sorbintest::RunResult;

namespace
{
    const QByteArray kKey = "00112233445566778899AABBCCDDEEFF";

    int modeOf(const QString &path)
    {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    }

    // Every file under the folders a run can write to: the data folder, TMPDIR, the working
    // folder and the source folder.
    QStringList filesUnder(const QStringList &roots)
    {
        QStringList files;
        for (const QString &root : roots)
        {
            QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (it.hasNext())
                files << it.next();
        }
        return files;
    }

    QByteArray utf16(const QByteArray &latin)
    {
        QByteArray out;
        for (char c : latin)
            out.append(c).append('\0');
        return out;
    }

    // All text the logs of sorbin's runs hold, UTF-16 decoded.
    QString sorbinLogText()
    {
        QString text;
        for (const QString &file : filesUnder({CGlobal::defaultLogPath() + QStringLiteral("sorbin/")}))
        {
            const QByteArray bytes = testsupport::readAll(file);
            text += QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
        }
        return text;
    }

    bool hasProgress100(const std::vector<Message> &messages)
    {
        for (const Message &m : messages)
            if (m.text == "2:100\n")
                return true;
        return false;
    }

    QStringList entries(const QString &dir)
    {
        return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }


    QString longClip()
    {
        return testsupport::makeClip(QStringLiteral("h264-640x480-20s.mp4"),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=640x480:rate=25:duration=20"),
             QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
             QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p")});
    }

    // Sends `sig` to the running child and waits for its end: the milliseconds it took, or
    // -1 when it did not end within ten seconds (then it is killed).
    qint64 endWithSignal(QProcess &child, int sig)
    {
        QElapsedTimer clock;
        clock.start();
        ::kill(pid_t(child.processId()), sig);
        const bool ended = child.waitForFinished(10000);
        const qint64 took = clock.elapsed();
        if (!ended)
            QChildProcess::end(child, 0, 5000);
        return ended ? took : -1;
    }
}

// One source video in a folder of its own; the run's data folder is a fresh XDG one.
class SorbinFaults : public ::testing::Test
{
protected:
    // Each case has a data folder and TMPDIR of its own: what an earlier run left (a planted
    // or a killed run's index, logs, work folders) never reaches the next one.
    testsupport::FreshFolders m_folders;

    void SetUp() override
    {
        // The frame-mode bounds of a minute, shortened so that a stuck pass fails in seconds.
        qputenv("SORBIN_START_WAIT_MS", "4000");
        qputenv("SORBIN_STALL_WAIT_MS", "4000");
        m_dir = testsupport::newTempDir() + QStringLiteral("课程/");
        m_pipe = sorbintest::newPipeName();
    }

    void useFolder(const QString &dir)
    {
        m_dir = dir;
        ASSERT_TRUE(QDir().mkpath(m_dir));
    }

    void useSource(const QByteArray &bytes)
    {
        ASSERT_TRUE(QDir().mkpath(m_dir));
        m_source = bytes;
        ASSERT_TRUE(testsupport::writeAll(m_dir + m_fileName, bytes));
    }

    QStringList arguments(int type) const
    {
        return {sorbintest::taskJson(type, m_dir, m_fileName, m_videoKey, QStringLiteral("samplerate=48000,vb=768,ab=128")),
                QString::fromLatin1(kKey), m_pipe};
    }

    // A failed run: "1:failed" last, never "2:100", nothing but the source in its folder, no
    // private folder left in the data folder, no index in TMPDIR.
    void expectCleanFailure(const RunResult &r) const
    {
        EXPECT_EQ(r.status, QProcess::NormalExit);
        EXPECT_EQ(r.exitCode, 1) << r.output.constData();
        ASSERT_FALSE(r.messages.empty());
        EXPECT_EQ(r.messages.back().text, "1:failed\n");
        EXPECT_FALSE(hasProgress100(r.messages)) << "a failed pass never reports 100";
        expectNothingLeft();
    }

    void expectNothingLeft() const
    {
        if (m_source.isNull())
            EXPECT_TRUE(entries(m_dir).isEmpty()) << entries(m_dir).join(QLatin1Char(',')).toStdString();
        else
        {
            EXPECT_EQ(entries(m_dir), QStringList {m_fileName});
            EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
        }
        EXPECT_TRUE(entries(QWorkFolder::defaultRoot()).isEmpty()) << "no private work folder is left";
        EXPECT_TRUE(QDir(QDir::tempPath()).entryList({QStringLiteral("*.inx")}, QDir::Files).isEmpty());
    }

    QString m_dir;
    QString m_pipe;
    QString m_fileName = QStringLiteral("第3课 \"总结\".mp4");
    QString m_videoKey = QStringLiteral("7_12_99_第3课.vep");
    QByteArray m_source;
};

class KeyOnDisk : public SorbinFaults, public ::testing::WithParamInterface<int>
{
};

// Neither the key text nor the stream cipher's mixed key reaches any file a run leaves (in
// UTF-8 or in the logs' UTF-16); the log carries the fingerprint instead. A run in a fresh
// data folder leaves the folder, its log folders and its log files private.
TEST_P(KeyOnDisk, NoFileHoldsTheKeyAndTheLogsArePrivate)
{
    const QString data = CGlobal::defaultDataPath();
    ASSERT_FALSE(QFile::exists(data)) << "a fresh data folder";
    useSource(testsupport::readAll(testsupport::clipH264Mp4()));
    const RunResult r = sorbintest::runSorbin(arguments(GetParam()), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    EXPECT_FALSE(r.output.contains(kKey));

    const QByteArray mixed = Ostrel::mixKey(kKey, QByteArray::number(m_source.size()));
    const QList<QByteArray> secrets = {kKey, kKey.toLower(), mixed, utf16(kKey), utf16(kKey.toLower()), utf16(mixed)};
    const QStringList files = filesUnder({data, QDir::tempPath(), m_dir});
    ASSERT_FALSE(files.isEmpty());
    for (const QString &file : files)
    {
        const QByteArray bytes = testsupport::readAll(file);
        for (const QByteArray &secret : secrets)
            EXPECT_FALSE(bytes.contains(secret)) << file.toStdString();
    }
    const QString log = sorbinLogText();
    EXPECT_TRUE(log.contains(QStringLiteral("key---") + Ostrel::keyFingerprint(kKey))) << log.toStdString();
    if (GetParam() == 7)
    {
        EXPECT_TRUE(log.contains(QStringLiteral("stream key---") + Ostrel::keyFingerprint(mixed)));
        // The stream cipher's number decrypts the body: only a fingerprint of it is logged.
        const QRegularExpressionMatch line = QRegularExpression(QStringLiteral("create key---(\\w+)")).match(log);
        ASSERT_TRUE(line.hasMatch()) << log.toStdString();
        EXPECT_NE(line.captured(1), QString::number(Ostrel::keyNumber(mixed)));
        EXPECT_EQ(line.captured(1).size(), 8);
    }

    for (const QString &dir : {data, data + QStringLiteral("log"), data + QStringLiteral("log/sorbin")})
        EXPECT_EQ(modeOf(dir), 0700) << dir.toStdString();
    const QStringList logs = filesUnder({data + QStringLiteral("log")});
    ASSERT_FALSE(logs.isEmpty());
    for (const QString &file : logs)
        EXPECT_EQ(modeOf(file), 0600) << file.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Sorbin, KeyOnDisk, ::testing::Values(7, 8));

// Another user may create a file of any name in the shared temporary folder first, such as
// "<md5 of name and key>.inx" (both are on the command line): the frame run does not mind.
TEST_F(SorbinFaults, NamePlantedInTheTemporaryFolderDoesNotStopTheRun)
{
    useSource(testsupport::readAll(testsupport::clipH264Mp4()));
    const QString planted = QDir::tempPath() + QStringLiteral("/")
        + QString::fromLatin1(QCryptographicHash::hash((m_fileName + QLatin1Char('-') + m_videoKey).toLocal8Bit(),
                                                       QCryptographicHash::Md5).toHex())
        + QStringLiteral(".inx");
    ASSERT_TRUE(testsupport::writeAll(planted, "someone else's"));
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    EXPECT_EQ(r.exitCode, 0) << r.output.constData();
    EXPECT_TRUE(QFileInfo(m_dir + m_videoKey).size() > 0);
    EXPECT_EQ(testsupport::readAll(planted), QByteArray("someone else's"));
    // The other user's file is theirs to remove; the tests after this one look for none.
    QFile::remove(planted);
}

// Folders that another program left open to everyone are tightened by the next run.
TEST_F(SorbinFaults, LooserDataFoldersAreTightened)
{
    const QString data = CGlobal::defaultDataPath();
    const QString logs = data + QStringLiteral("log/sorbin/");
    ASSERT_TRUE(QDir().mkpath(logs));
    for (const QString &dir : {data, data + QStringLiteral("log"), logs})
        ASSERT_TRUE(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                   | QFileDevice::ReadOther | QFileDevice::ExeOther));
    useSource(QByteArray(5000, 'v'));
    const RunResult r = sorbintest::runSorbin(arguments(7), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    for (const QString &dir : {data, data + QStringLiteral("log"), data + QStringLiteral("log/sorbin")})
        EXPECT_EQ(modeOf(dir), 0700) << dir.toStdString();
}

// A source that is gone before the run: the frame mode fails at once, saying why.
TEST_F(SorbinFaults, VanishedSourceFailsAtOnce)
{
    ASSERT_TRUE(QDir().mkpath(m_dir));
    QElapsedTimer clock;
    clock.start();
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    EXPECT_LT(clock.elapsed(), 15000);
    expectCleanFailure(r);
    EXPECT_TRUE(sorbinLogText().contains(QStringLiteral("is not a readable file")));
}

// Bytes that are no video: the run fails within the (shortened) bounds, and the log says why
// at level 1.
TEST_F(SorbinFaults, SourceThatIsNoVideoFailsWithItsReason)
{
    useSource(QByteArray(200000, '\x5a'));
    QElapsedTimer clock;
    clock.start();
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    EXPECT_LT(clock.elapsed(), 40000);
    expectCleanFailure(r);
    const QString log = sorbinLogText();
    EXPECT_TRUE(log.contains(QStringLiteral(" error::the broadcast did not start"))
                || log.contains(QStringLiteral(" error::the encrypted output could not be written: ")))
        << log.toStdString();
}

// A few bytes that libvlc can't open: it restarts the broadcast over and over and never plays
// (each position call then takes seconds). Each attempt is given up by the wall clock, the
// second one fails the run.
TEST_F(SorbinFaults, PassThatNeverStartsIsGivenUpByTheClock)
{
    useSource("not a video");
    QElapsedTimer clock;
    clock.start();
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    // No hang: two attempts of 4 s, each libvlc call seconds late (many on a loaded machine).
    EXPECT_LT(clock.elapsed(), 90000) << "two attempts of 4 s, each libvlc call at most a few seconds late";
    expectCleanFailure(r);
    int attempts = 0;
    for (const Message &m : r.messages)
        attempts += m.text == "4:media_name\n";
    EXPECT_EQ(attempts, 2);
    const QString log = sorbinLogText();
    EXPECT_TRUE(log.contains(QStringLiteral(" warning::the broadcast did not start within 4000 ms, trying again")));
    EXPECT_TRUE(log.contains(QStringLiteral(" error::the broadcast did not start: libvlc could not open or play the source")));
}

// SIGTERM while libvlc holds the run in its restarts: the run still ends within about two
// seconds and leaves nothing.
TEST_F(SorbinFaults, SigtermWhileLibvlcRetriesEndsInTime)
{
    useSource("not a video");
    sorbintest::PipeRecorder recorder(m_pipe.toStdString());
    ASSERT_TRUE(recorder.listening());
    QProcess child;
    child.start(sorbintest::sorbinPath(), arguments(8));
    ASSERT_TRUE(child.waitForStarted(10000));
    child.closeWriteChannel();
    // Two progress polls: libvlc is restarting the broadcast by now.
    ASSERT_TRUE(testsupport::waitUntil([&recorder]() {
        int polls = 0;
        for (const Message &m : recorder.messages())
            polls += m.code() == 2;
        return polls >= 2;
    }, 20000));
    const qint64 took = endWithSignal(child, SIGTERM);
    ASSERT_GE(took, 0);
    recorder.finish();
    EXPECT_LT(took, 2500);
    EXPECT_EQ(child.exitCode(), 1);
    expectNothingLeft();
}

// A folder name with "://", quotes and Chinese is read as a file, never as a network address;
// libvlc's messages stay few.
TEST_F(SorbinFaults, SourcePathThatLooksLikeAnAddressEncrypts)
{
    useFolder(testsupport::newTempDir() + QStringLiteral("http://课程 \"一\"/"));
    useSource(testsupport::readAll(testsupport::clipH264Mp4()));
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    EXPECT_EQ(r.messages.back().text, "0:success\n");
    EXPECT_EQ(entries(m_dir), (QStringList {m_videoKey, m_fileName}));
    EXPECT_TRUE(entries(QWorkFolder::defaultRoot()).isEmpty());
    EXPECT_LT(sorbinLogText().size(), 64 * 1024);
}

// A clip of a single frame: libvlc's mp4 output of it would hold no video frame, so the run
// fails before the transcode, with that reason in the log at level 1. (A clip of one second
// re-encodes: see the frame tests.)
TEST_F(SorbinFaults, SingleFrameClipFailsSayingWhy)
{
    const QString clip = testsupport::clipSingleFrame();
    ASSERT_FALSE(clip.isEmpty());
    useSource(testsupport::readAll(clip));
    const RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    expectCleanFailure(r);
    const QString log = sorbinLogText();
    EXPECT_TRUE(log.contains(QStringLiteral(" error::the source ")) && log.contains(QStringLiteral("has a single video frame, which can't be re-encoded")))
        << log.toStdString();
}

// Ending a run in the middle of its transcode. SIGTERM: it cleans up and exits within about
// two seconds. SIGKILL: its private folder stays in the data folder (never beside the video)
// until the next run, of whatever job, sweeps it.
class EndedMidTranscode : public SorbinFaults, public ::testing::WithParamInterface<int>
{
};

TEST_P(EndedMidTranscode, LeavesNoPlainCopy)
{
    const int sig = GetParam();
    // A clip long enough that the transcode is still running when the signal comes.
    const QString clip = longClip();
    ASSERT_FALSE(clip.isEmpty());
    useSource(testsupport::readAll(clip));

    sorbintest::PipeRecorder recorder(m_pipe.toStdString());
    ASSERT_TRUE(recorder.listening());
    QProcess child;
    child.start(sorbintest::sorbinPath(), arguments(8));
    ASSERT_TRUE(child.waitForStarted(10000));
    child.closeWriteChannel();
    // The first progress message: the broadcast runs and writes its plain transcode.
    const bool running = testsupport::waitUntil([&recorder]() {
        for (const Message &m : recorder.messages())
            if (m.code() == 2)
                return true;
        return false;
    }, 30000);
    ASSERT_TRUE(running);
    EXPECT_EQ(entries(m_dir), QStringList {m_fileName}) << "the transcode is not written beside the video";
    const QStringList work = entries(QWorkFolder::defaultRoot());
    ASSERT_EQ(work.size(), 1);
    EXPECT_EQ(work.first(), QWorkFolder::ownerName(long(child.processId())));
    EXPECT_EQ(modeOf(QWorkFolder::defaultRoot() + work.first()), 0700);

    const qint64 took = endWithSignal(child, sig);
    ASSERT_GE(took, 0);
    const std::vector<Message> messages = recorder.finish();
    EXPECT_FALSE(hasProgress100(messages));

    if (sig == SIGTERM)
    {
        EXPECT_LT(took, 2500) << "ends within about two seconds";
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 1);
        expectNothingLeft();
        return;
    }

    // Killed: its folder (and the plain copy in it) waits in the data folder for the next run.
    EXPECT_EQ(entries(QWorkFolder::defaultRoot()), work);
    EXPECT_EQ(entries(m_dir), QStringList {m_fileName});
    const QString other = testsupport::newTempDir();
    ASSERT_TRUE(testsupport::writeAll(other + QStringLiteral("a.mp4"), QByteArray(3000, 'a')));
    const QString pipe = sorbintest::newPipeName();
    const RunResult next = sorbintest::runSorbin(
        {sorbintest::taskJson(7, other, QStringLiteral("a.mp4"), QStringLiteral("k.vep")), QString::fromLatin1(kKey), pipe}, pipe);
    EXPECT_EQ(next.exitCode, 0) << next.output.constData();
    expectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Sorbin, EndedMidTranscode, ::testing::Values(SIGTERM, SIGKILL));

// A run killed while its temporary output stands beside the video (here the stream cipher,
// held up by a main program that doesn't answer): the next run, of another job, removes it.
TEST_F(SorbinFaults, TempOutputOfAKilledRunIsSweptByTheNextRun)
{
    useSource(QByteArray(3 * 1024 * 1024, 's'));
    {
        sorbintest::PipeRecorder recorder(m_pipe.toStdString(), 0, true);
        ASSERT_TRUE(recorder.listening());
        QProcess child;
        child.start(sorbintest::sorbinPath(), arguments(7));
        ASSERT_TRUE(child.waitForStarted(10000));
        child.closeWriteChannel();
        ASSERT_TRUE(testsupport::waitUntil([&recorder]() { return !recorder.messages().empty(); }, 20000));
        ::kill(pid_t(child.processId()), SIGKILL);
        ASSERT_TRUE(child.waitForFinished(10000));
        recorder.finish();
    }
    ASSERT_TRUE(entries(m_dir).contains(m_videoKey + QStringLiteral(".tmp"))) << "the killed run's partial output";
    ASSERT_EQ(entries(QWorkFolder::defaultRoot()).size(), 1);

    const QString other = testsupport::newTempDir();
    ASSERT_TRUE(testsupport::writeAll(other + QStringLiteral("a.mp4"), QByteArray(3000, 'a')));
    const QString pipe = sorbintest::newPipeName();
    const RunResult next = sorbintest::runSorbin(
        {sorbintest::taskJson(3, other, QStringLiteral("a.mp4"), QStringLiteral("k.vep")), QString::fromLatin1(kKey), pipe}, pipe);
    EXPECT_EQ(next.exitCode, 0) << next.output.constData();
    EXPECT_EQ(entries(other), (QStringList {QStringLiteral("a.mp4"), QStringLiteral("k.vep")}));
    expectNothingLeft();
}

// What killed runs left in the data folder goes when the main program starts, before any run
// of its own: the private folder of a high-strength run killed in its transcode (the plain copy
// in it), and that of a stream run killed beside its video with the partial output it noted.
// The folder of a run whose process still runs is kept.
TEST_F(SorbinFaults, MainProgramSweepsKilledRunsAtStart)
{
    const QString clip = longClip();
    ASSERT_FALSE(clip.isEmpty());
    useSource(testsupport::readAll(clip));
    const QString other = testsupport::newTempDir();
    const QByteArray otherSource(3 * 1024 * 1024, 's');
    ASSERT_TRUE(testsupport::writeAll(other + QStringLiteral("b.mp4"), otherSource));
    const QString root = QWorkFolder::defaultRoot();
    {
        // Each run sweeps at its start, so both run at once: the stream run is held beside its
        // partial output by a main program that doesn't answer, the frame run is in its transcode.
        const QString streamPipe = sorbintest::newPipeName();
        sorbintest::PipeRecorder streamRecorder(streamPipe.toStdString(), 0, true);
        ASSERT_TRUE(streamRecorder.listening());
        QProcess stream;
        stream.start(sorbintest::sorbinPath(),
                     {sorbintest::taskJson(7, other, QStringLiteral("b.mp4"), QStringLiteral("b.vep")), QString::fromLatin1(kKey), streamPipe});
        ASSERT_TRUE(stream.waitForStarted(10000));
        stream.closeWriteChannel();
        ASSERT_TRUE(testsupport::waitUntil([&streamRecorder]() { return !streamRecorder.messages().empty(); }, 20000));

        sorbintest::PipeRecorder recorder(m_pipe.toStdString());
        ASSERT_TRUE(recorder.listening());
        QProcess frame;
        frame.start(sorbintest::sorbinPath(), arguments(8));
        ASSERT_TRUE(frame.waitForStarted(10000));
        frame.closeWriteChannel();
        ASSERT_TRUE(testsupport::waitUntil([&recorder]() {
            for (const Message &m : recorder.messages())
                if (m.code() == 2)
                    return true;
            return false;
        }, 30000));
        const QString frameFolder = root + QWorkFolder::ownerName(long(frame.processId()));
        ASSERT_GE(endWithSignal(frame, SIGKILL), 0);
        ASSERT_GE(endWithSignal(stream, SIGKILL), 0);
        recorder.finish();
        streamRecorder.finish();
        EXPECT_FALSE(filesUnder({frameFolder}).isEmpty()) << "the killed transcode's files";
    }
    ASSERT_EQ(entries(other), (QStringList {QStringLiteral("b.mp4"), QStringLiteral("b.vep.tmp")}));
    ASSERT_EQ(entries(root).size(), 2);
    ASSERT_EQ(entries(m_dir), QStringList {m_fileName});

    // A run still going: this process's own folder.
    QWorkFolder alive;
    ASSERT_TRUE(alive.create(root));
    ASSERT_TRUE(testsupport::writeAll(alive.path() + QStringLiteral("plain.mp4"), "plain"));

    const QString data = CGlobal::defaultDataPath();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Nothing listens there: requests fail at once and stay on loopback.
    env.insert(QStringLiteral("VANTREL_API_HOST"), QStringLiteral("127.0.0.1:%1").arg(testsupport::freePort()));
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), QStringList());
    ASSERT_TRUE(program.waitForStarted(10000));
    // It holds the lock (the sweep comes right after it) and waits at its sign-in dialog; SIGTERM
    // ends it in order.
    const bool up = testsupport::waitUntil([&]() { return testsupport::instanceLockHeldElsewhere(data) || program.state() == QProcess::NotRunning; }, 20000);
    ASSERT_TRUE(up && program.state() == QProcess::Running) << program.readAllStandardError().constData();
    program.terminate();
    const bool ended = program.waitForFinished(15000);
    if (!ended)
        QChildProcess::end(program, 0, 5000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().constData();

    EXPECT_EQ(entries(root), QStringList {QWorkFolder::ownerName(long(::getpid()))});
    EXPECT_EQ(testsupport::readAll(alive.path() + QStringLiteral("plain.mp4")), QByteArray("plain"));
    EXPECT_EQ(entries(other), QStringList {QStringLiteral("b.mp4")});
    EXPECT_EQ(testsupport::readAll(other + QStringLiteral("b.mp4")), otherSource);
    EXPECT_EQ(entries(m_dir), QStringList {m_fileName});
    EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
    alive.remove();
    EXPECT_TRUE(entries(root).isEmpty());
}

// The sweep removes the folders of processes that are gone (a pid reused by a later process
// doesn't keep a folder alive) and keeps those of running ones.
TEST(WorkFolder, SweepKeepsOnlyFoldersOfRunningProcesses)
{
    const QString root = testsupport::newTempDir() + QStringLiteral("transcode/");
    QWorkFolder mine;
    ASSERT_TRUE(mine.create(root));
    EXPECT_EQ(modeOf(root), 0700);
    EXPECT_EQ(modeOf(mine.path()), 0700);
    ASSERT_TRUE(testsupport::writeAll(mine.path() + QStringLiteral("plain.mp4"), "plain"));

    QProcess gone;
    gone.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    ASSERT_TRUE(gone.waitForStarted(5000));
    const QString goneName = QWorkFolder::ownerName(long(gone.processId()));
    ASSERT_FALSE(goneName.isEmpty());
    QChildProcess::end(gone, 0, 5000);
    EXPECT_TRUE(QWorkFolder::ownerName(long(gone.processId())).isEmpty());

    const QString reused = QStringLiteral("%1-1").arg(::getpid()); // our pid, another start time
    for (const QString &name : {goneName, reused, QStringLiteral("junk")})
    {
        ASSERT_TRUE(QDir().mkpath(root + name + QStringLiteral("/vlm-x")));
        ASSERT_TRUE(testsupport::writeAll(root + name + QStringLiteral("/vlm-x/plain.mp4"), "plain"));
    }
    EXPECT_EQ(QWorkFolder::sweep(root), 3);
    EXPECT_EQ(entries(root), QStringList {QWorkFolder::ownerName(long(::getpid()))});
    mine.remove();
    EXPECT_TRUE(entries(root).isEmpty());
}

// libvlc's messages: noise dropped, repeats counted, at most the budget written, then one line
// on what was left out.
TEST(VlcLog, KeepsTheLogInBounds)
{
    const QString dir = testsupport::newTempDir() + QStringLiteral("log/");
    sth::setDebugEnabled(true);
    sth::logger::instance()->start(dir.toStdWString());
    {
        QVlcLog log(4096);
        log.add(LIBVLC_ERROR, "chain", "chain filter failed");
        log.add(LIBVLC_WARNING, "main", "a warning");
        for (int i = 0; i < 100000; ++i)
            log.add(LIBVLC_ERROR, "access", "cannot open http://课程/x");
        for (int i = 0; i < 1000; ++i)
            log.add(LIBVLC_ERROR, "main", "message number " + std::to_string(i));
        EXPECT_LE(log.writtenBytes(), 4096u);
        log.finish();
    }
    sth::logger::instance()->stop();
    const QStringList files = QDir(dir).entryList({QStringLiteral("*.log")}, QDir::Files);
    ASSERT_EQ(files.size(), 1);
    const QByteArray bytes = testsupport::readAll(dir + files.first());
    EXPECT_LT(bytes.size(), 200 * 1024);
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    EXPECT_FALSE(text.contains(QStringLiteral("chain filter")));
    EXPECT_FALSE(text.contains(QStringLiteral("a warning")));
    EXPECT_EQ(text.count(QStringLiteral("cannot open http://课程/x")), 2) << "once, then its count";
    EXPECT_TRUE(text.contains(QStringLiteral("cannot open http://课程/x (99999 more times)")));
    EXPECT_TRUE(text.contains(QStringLiteral("message number 0")));
    EXPECT_FALSE(text.contains(QStringLiteral("message number 999")));
    EXPECT_TRUE(text.contains(QStringLiteral("more messages"))) << "one line on what was left out";
}
