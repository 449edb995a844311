#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

#include <vlc/vlc.h>

#include "cstringhelp.h"
#include "qchildprocess.h"
#include "qwriteconfig.h"
#include "sorbintestutil.h"
#include "testsupport.h"
#include "vlmfilekey.h"

using sorbintest::Message;

namespace
{
    const QByteArray kKey = "00112233445566778899AABBCCDDEEFF";

    struct Tool
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };

    Tool runTool(const QString &program, const QStringList &args)
    {
        Tool t;
        QProcess p;
        p.start(program, args);
        if (!p.waitForFinished(60000))
        {
            QChildProcess::end(p, 0, 30000);
            return t;
        }
        t.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        t.out = p.readAllStandardOutput();
        t.err = p.readAllStandardError();
        return t;
    }

    // Per-frame hashes of the video track, or empty when it can't be decoded.
    QByteArray frameHashes(const QString &file, const QByteArray &key)
    {
        QStringList args {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error")};
        if (!key.isEmpty())
            args << QStringLiteral("-decryption_key") << QString::fromLatin1(key);
        args << QStringLiteral("-i") << file << QStringLiteral("-map") << QStringLiteral("0:v")
             << QStringLiteral("-f") << QStringLiteral("framemd5") << QStringLiteral("-");
        const Tool t = runTool(QStringLiteral("ffmpeg"), args);
        if (t.exitCode != 0)
            return QByteArray();
        QByteArray hashes;
        for (const QByteArray &line : t.out.split('\n'))
            if (!line.startsWith('#') && !line.trimmed().isEmpty())
                hashes += line.mid(line.lastIndexOf(',') + 1).trimmed() + "\n";
        return hashes;
    }

    QStringList hiddenEntries(const QString &dir)
    {
        return QDir(dir).entryList(QStringList {QStringLiteral(".*")}, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }
}

// The clip in a folder with a Chinese name, a space and a double quote.
class FrameMode : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir() + QStringLiteral("课程 \"高清\"/");
        ASSERT_TRUE(QDir().mkpath(m_dir));
        const QString clip = testsupport::clipH264Mp4();
        ASSERT_FALSE(clip.isEmpty());
        ASSERT_TRUE(QFile::copy(clip, m_dir + m_fileName));
        m_source = testsupport::readAll(m_dir + m_fileName);
        m_pipe = sorbintest::newPipeName();
    }

    QStringList arguments(int encryptType = 8) const
    {
        return {sorbintest::taskJson(encryptType, m_dir, m_fileName, m_videoKey, QStringLiteral("samplerate=48000,vb=768,ab=128")),
                QString::fromLatin1(kKey), m_pipe};
    }

    QString m_dir;
    QString m_pipe;
    QString m_fileName = QStringLiteral("第2课 概述.mp4");
    QString m_videoKey = QStringLiteral("7_12_99_第2课 概述.vep");
    QByteArray m_source;
};

TEST_F(FrameMode, OutputIsEncryptedH264ThatDecryptsWithTheDerivedKey)
{
    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_GE(r.messages.size(), 6u);
    const char *const words[] = {"4:encryptFrame\n", "4:libvlc_new\n", "4:enNone\n", "4:media_name\n"};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(r.messages[size_t(i)].text, words[i]);
    const size_t n = r.messages.size();
    EXPECT_EQ(r.messages[n - 1].text, "0:success\n");
    EXPECT_EQ(r.messages[n - 2].code(), 3);
    EXPECT_EQ(r.messages[n - 3].text, "2:100\n");
    for (size_t i = 4; i + 2 < n; ++i)
    {
        EXPECT_EQ(r.messages[i].code(), 2);
        const int v = std::stoi(r.messages[i].body());
        EXPECT_TRUE(v >= 0 && v <= 100) << v;
    }

    // Only the source and the output are left: no plain copy, no temporary file.
    const QString output = m_dir + m_videoKey;
    EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList {m_videoKey, m_fileName}));
    EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
    EXPECT_TRUE(QDir(QDir::tempPath()).entryList(QStringList {QStringLiteral("*.inx")}, QDir::Files).isEmpty());

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(output), p));
    const QString video = testsupport::newTempDir() + QStringLiteral("video.mp4");
    ASSERT_TRUE(testsupport::writeAll(video, p.video));

    // H.264 of the clip's length, readable with the key.
    const Tool probe = runTool(QStringLiteral("ffprobe"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-decryption_key"), QString::fromLatin1(kKey),
         QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
         QStringLiteral("stream=codec_name:format=duration"), QStringLiteral("-of"), QStringLiteral("default=nw=1"), video});
    ASSERT_EQ(probe.exitCode, 0) << probe.err.constData();
    EXPECT_TRUE(probe.out.contains("codec_name=h264")) << probe.out.constData();
    const int at = probe.out.indexOf("duration=");
    ASSERT_GE(at, 0);
    const double duration = probe.out.mid(at + 9).split('\n').first().toDouble();
    EXPECT_NEAR(duration, 3.0, 0.35);

    const QByteArray keyed = frameHashes(video, kKey);
    EXPECT_GE(keyed.count('\n'), 70) << "every frame decodes with the key";
    EXPECT_NE(frameHashes(video, QByteArray()), keyed) << "without the key the frames are garbage";
    EXPECT_NE(frameHashes(video, "ffeeddccbbaa99887766554433221100"), keyed);

    // The index travels in the block: scheme, the key id (MD5 of the content key) and the tracks.
    const std::string indexJson = CStringHelp::aesDecrypt(CStringHelp::base64Decode(p.indexText.toStdString()),
                                                          "vek*tmh517p^zrw3nQDoxuaKBMF620sJ");
    const QJsonObject index = QJsonDocument::fromJson(QByteArray::fromStdString(indexJson)).object();
    EXPECT_EQ(index.value(QStringLiteral("scheme")).toString(), QStringLiteral("cenc-aes-ctr"));
    EXPECT_EQ(index.value(QStringLiteral("kid")).toString().toStdString(),
              CStringHelp::md5(QByteArray::fromHex(kKey).toStdString()));
    bool sawVideo = false;
    for (const QJsonValue &t : index.value(QStringLiteral("tracks")).toArray())
        if (t.toObject().value(QStringLiteral("type")).toString() == QLatin1String("video"))
        {
            sawVideo = true;
            EXPECT_EQ(t.toObject().value(QStringLiteral("codec")).toString(), QStringLiteral("h264"));
            EXPECT_EQ(t.toObject().value(QStringLiteral("samples")).toInt(), keyed.count('\n'));
        }
    EXPECT_TRUE(sawVideo) << indexJson;
}

// Most videos carry B-frames (H.264 High profile): libvlc's re-encoded mp4 of such a source
// repeats a decoding time, which the encrypting remux must take in its stride.
TEST_F(FrameMode, SourceWithBFramesEncryptsAndDecodes)
{
    const QString clip = testsupport::makeClip(QStringLiteral("h264-high-320x240-3s.mp4"),
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25:duration=3"),
         QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=3"),
         QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-profile:v"), QStringLiteral("high"),
         QStringLiteral("-bf"), QStringLiteral("2"), QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"),
         QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-shortest")});
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::remove(m_dir + m_fileName));
    ASSERT_TRUE(QFile::copy(clip, m_dir + m_fileName));

    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().text, "0:success\n");

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(m_dir + m_videoKey), p));
    const QString video = testsupport::newTempDir() + QStringLiteral("video.mp4");
    ASSERT_TRUE(testsupport::writeAll(video, p.video));
    EXPECT_GE(frameHashes(video, kKey).count('\n'), 70) << "every frame decodes with the key";
}

class PackagedModes : public FrameMode, public ::testing::WithParamInterface<int>
{
};

// Every packaged mode takes its own road (1, 5, 6 and 8 frame encryption with an index, 3 and 7
// the stream cipher without one) and records its type in the package.
TEST_P(PackagedModes, EachModeEncryptsAndRecordsItsType)
{
    const int type = GetParam();
    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(type), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().text, "0:success\n");
    const bool frame = type != 3;
    EXPECT_EQ(r.messages.front().text == "4:encryptFrame\n", frame);

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(m_dir + m_videoKey), p));
    VepVideoRecord rec;
    ASSERT_TRUE(QWriteConfig::parse(p.record.toStdString(), rec));
    EXPECT_EQ(rec.encryptType, type);
    if (frame)
    {
        EXPECT_GT(p.indexLength, 32u) << "frame encryption packs its index";
    }
    else
    {
        EXPECT_EQ(p.indexLength, 32u);
        EXPECT_EQ(sorbintest::streamDecrypt(p.video, kKey), m_source);
    }
    EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
}

INSTANTIATE_TEST_SUITE_P(Sorbin, PackagedModes, ::testing::Values(1, 3, 5, 6));

// Without the pipe the first progress message stops the broadcast: a failed run, nothing left.
TEST_F(FrameMode, WithoutPipeFailsAndLeavesNothing)
{
    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(), QString());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {m_fileName});
}

// A source that is no video: a failed run, no output, no plain copy.
TEST_F(FrameMode, BrokenSourceFailsAndLeavesNothing)
{
    m_source = QByteArray(100000, '\x5a');
    ASSERT_TRUE(testsupport::writeAll(m_dir + m_fileName, m_source));
    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(), m_pipe);
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().text, "1:failed\n");
    EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {m_fileName});
    EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
}

// 32 hex digits are the content key itself; any other key text is hashed.
// The frame count that decides how a source is encoded: counted, or none for a file without
// video, or unknown for bytes that are no media.
TEST(VlmFileKey, VideoFramesOfAFile)
{
    const QString oneFrame = testsupport::makeClip(QStringLiteral("h264-320x240-1frame.mp4"),
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25"),
         QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
         QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p")});
    const QString garbage = testsupport::newTempDir() + QStringLiteral("garbage.mp4");
    ASSERT_TRUE(testsupport::writeAll(garbage, QByteArray(4096, 'x')));
    const struct { QString file; long long frames; } cases[] = {
        {testsupport::clipH264Mp4(), 75}, {testsupport::clipMpeg4Avi(), 75}, {oneFrame, 1},
        {testsupport::clipMp3(), 0}, {garbage, -1}, {garbage + QStringLiteral(".missing"), -1},
    };
    for (const auto &c : cases)
        EXPECT_EQ(platform::vlmVideoFrames(QFile::encodeName(c.file).toStdString()), c.frames) << c.file.toStdString();
}

TEST(VlmFileKey, ContentKeyFromKeyText)
{
    struct Case { std::string text; std::string key; };
    const std::string md5Of = "md5";
    const Case cases[] = {
        {"00112233445566778899AABBCCDDEEFF", QByteArray::fromHex("00112233445566778899aabbccddeeff").toStdString()},
        {"00112233445566778899aabbccddeeff", QByteArray::fromHex("00112233445566778899aabbccddeeff").toStdString()},
        {"00112233445566778899AABBCCDDEEFG", md5Of},
        {"00112233445566778899AABBCCDDEEF", md5Of},
        {"00112233445566778899AABBCCDDEEFF0", md5Of},
        {"", md5Of},
        {"课程密钥", md5Of},
    };
    for (const Case &c : cases)
    {
        const std::string expected = c.key == md5Of
            ? QCryptographicHash::hash(QByteArray::fromStdString(c.text), QCryptographicHash::Md5).toStdString()
            : c.key;
        EXPECT_EQ(platform::vlmContentKey(c.text), expected) << c.text;
    }
}

// The layer never leaves a plain or half MP4 at the destination.
TEST(VlmFileKey, FailedPassesLeaveNoOutput)
{
    const QString dir = testsupport::newTempDir();
    const std::string dest = (dir + QStringLiteral("out.vep.tmp")).toStdString();
    const std::string index = (dir + QStringLiteral("out.inx")).toStdString();
    const QString garbage = dir + QStringLiteral("garbage.mp4");
    ASSERT_TRUE(testsupport::writeAll(garbage, QByteArray(4096, 'x')));

    std::string error;
    EXPECT_FALSE(platform::vlmEncryptFile(garbage.toStdString(), dest, index, kKey.toStdString(), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dest)));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(index)));

    const char *const args[] = {"--file-caching=300"};
    libvlc_instance_t *vlc = libvlc_new(1, args);
    ASSERT_NE(vlc, nullptr);
    ASSERT_EQ(libvlc_vlm_set_file_flag(vlc, 1), 0);
    ASSERT_EQ(libvlc_vlm_set_file_key(vlc, kKey.constData()), 0);
    ASSERT_EQ(libvlc_vlm_set_index_path(vlc, index.c_str()), 0);
    // An output chain without a destination is refused.
    EXPECT_NE(libvlc_vlm_add_broadcast(vlc, "a", garbage.toUtf8().constData(), "#std{access=file,mux=mp4}", 0, nullptr, 1, 0), 0);

    // Without a work folder no broadcast is added: the plain copy has nowhere private to go.
    const std::string chain = "#transcode{vcodec=h264,acodec=mpga}:std{access=file{no-overwrite},mux=mp4,dst=\"" + dest + "\"}";
    const QByteArray input = testsupport::clipH264Mp4().toUtf8();
    EXPECT_NE(libvlc_vlm_add_broadcast(vlc, "b", input.constData(), chain.c_str(), 0, nullptr, 1, 1), 0);

    // A broadcast deleted before its pass reached the end: failure with its reason, no output,
    // and no plain copy, neither beside the destination nor in the work folder.
    const QString work = testsupport::newTempDir();
    ASSERT_EQ(libvlc_vlm_set_work_path(vlc, work.toUtf8().constData()), 0);
    ASSERT_EQ(libvlc_vlm_add_broadcast(vlc, "b", input.constData(), chain.c_str(), 0, nullptr, 1, 1), 0);
    EXPECT_EQ(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 1)
        << "the plain copy's private folder";
    EXPECT_TRUE(hiddenEntries(dir).isEmpty());
    EXPECT_NE(libvlc_vlm_del_media(vlc, "b"), 0);
    EXPECT_FALSE(platform::vlmFileError(vlc).empty());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dest)));
    EXPECT_TRUE(QDir(work).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    libvlc_vlm_release(vlc);
    libvlc_release(vlc);
}

struct ClipLengthCase
{
    const char *name;
    const char *duration; // of the clip, ffmpeg's text
    int rate;             // frames a second
    int frames;
};

void PrintTo(const ClipLengthCase &c, std::ostream *os)
{
    *os << c.name;
}

class ClipLengths : public FrameMode, public ::testing::WithParamInterface<ClipLengthCase>
{
};

// A clip with sound re-encodes to a sound package whose every frame decodes with the key, however
// short it is (an intro, a sting: encoded on one x264 thread), and also at a thousand frames (on
// all of them).
TEST_P(ClipLengths, ReencodeToAPackageThatDecodes)
{
    const ClipLengthCase &c = GetParam();
    const QString duration = QString::fromLatin1(c.duration);
    const QString clip = testsupport::makeClip(QStringLiteral("h264-aac-320x240-%1fps-%2s.mp4").arg(c.rate).arg(duration),
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
         QStringLiteral("testsrc=size=320x240:rate=%1:duration=%2").arg(c.rate).arg(duration),
         QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=") + duration,
         QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
         QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-shortest")});
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::remove(m_dir + m_fileName));
    ASSERT_TRUE(QFile::copy(clip, m_dir + m_fileName));

    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    ASSERT_EQ(r.exitCode, 0) << r.output.constData();
    ASSERT_GE(r.messages.size(), 3u);
    const size_t n = r.messages.size();
    EXPECT_EQ(r.messages[n - 1].text, "0:success\n");
    EXPECT_EQ(r.messages[n - 2].code(), 3);
    EXPECT_EQ(r.messages[n - 3].text, "2:100\n");
    EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList {m_videoKey, m_fileName}));

    sorbintest::Package p;
    ASSERT_TRUE(sorbintest::splitPackage(testsupport::readAll(m_dir + m_videoKey), p));
    const QString video = testsupport::newTempDir() + QStringLiteral("video.mp4");
    ASSERT_TRUE(testsupport::writeAll(video, p.video));
    const QByteArray keyed = frameHashes(video, kKey);
    EXPECT_GE(keyed.count('\n'), c.frames - 2) << "every frame decodes with the key";
    EXPECT_NE(frameHashes(video, QByteArray()), keyed) << "without the key the frames are garbage";
}

INSTANTIATE_TEST_SUITE_P(Sorbin, ClipLengths, ::testing::Values(
    ClipLengthCase {"OneSecond", "1", 25, 25}, ClipLengthCase {"OneAndAHalfSeconds", "1.5", 25, 37},
    ClipLengthCase {"ThreeTenths", "0.3", 25, 8}, ClipLengthCase {"ThousandFrames", "20", 50, 1000}),
    [](const ::testing::TestParamInfo<ClipLengthCase> &info) { return std::string(info.param.name); });

// A video of one frame can't be re-encoded (the mp4 output ends a track one frame early): the
// run fails at once, says why beside its failure, and leaves only the source.
TEST_F(FrameMode, SingleFrameVideoIsRefusedWithItsReason)
{
    const QString clip = testsupport::clipSingleFrame();
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::remove(m_dir + m_fileName));
    ASSERT_TRUE(QFile::copy(clip, m_dir + m_fileName));
    m_source = testsupport::readAll(m_dir + m_fileName);

    const sorbintest::RunResult r = sorbintest::runSorbin(arguments(8), m_pipe);
    EXPECT_EQ(r.exitCode, 1);
    ASSERT_FALSE(r.messages.empty());
    EXPECT_EQ(r.messages.back().text, "1:failed\n");
    for (const Message &m : r.messages)
        EXPECT_NE(m.code(), 2) << "no progress for a run that never started: " << m.text;
    EXPECT_TRUE(r.output.contains("sorbin: the video has a single frame")) << r.output.constData();
    EXPECT_EQ(QDir(m_dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {m_fileName});
    EXPECT_EQ(testsupport::readAll(m_dir + m_fileName), m_source);
}
