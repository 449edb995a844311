// Web mode without transcoding: what is copied plays frame for frame and whole in a browser,
// what would not is transcoded with the reason on its row, and a full data disk is named.
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qbase.h"
#include "qdtaconfig.h"
#include "qdtavideo.h"
#include "quser.h"
#include "qwebmodel.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    const char *const TranscodedNote = "浏览器无法直接播放，已自动转码";
    const char *const OriginalHint = "选择“原始”";

    struct StageResult
    {
        bool ok = false;
        QString message;
        QStringList notes;
    };

    QStringList strings(std::initializer_list<const char *> list)
    {
        QStringList out;
        for (const char *a : list)
            out << QString::fromUtf8(a);
        return out;
    }

    // ffprobe's csv answer, one trimmed line each, blank lines and trailing commas left out.
    QStringList ffprobe(const QStringList &arguments)
    {
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"), QStringList {QStringLiteral("-v"), QStringLiteral("error")} << arguments);
        if (!probe.waitForFinished(60000))
            return {QStringLiteral("ffprobe did not end")};
        QStringList lines;
        for (QString line : QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n')))
        {
            line = line.trimmed();
            while (line.endsWith(QLatin1Char(',')))
                line.chop(1);
            if (!line.isEmpty())
                lines << line;
        }
        return lines;
    }

    QStringList videoFacts(const QString &path, const char *entries)
    {
        QStringList lines = ffprobe({QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                                     QString::fromLatin1(entries), QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
        // A segment lists its streams under its program too.
        lines.removeDuplicates();
        return lines;
    }

    double formatDuration(const QString &path)
    {
        const QStringList lines = ffprobe({QStringLiteral("-show_entries"), QStringLiteral("format=duration"),
                                           QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
        return lines.isEmpty() ? -1.0 : lines.first().toDouble();
    }

    // Frames of the segment's first video stream, in the order it shows them, that don't come
    // after the frame before (or carry no time at all).
    int framesOutOfOrder(const QString &segment, int *frames)
    {
        const QStringList times = ffprobe({QStringLiteral("-select_streams"), QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                                           QStringLiteral("frame=pts"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), segment});
        int wrong = 0;
        qint64 previous = 0;
        for (int i = 0; i < times.size(); ++i)
        {
            bool number = false;
            const qint64 pts = times.at(i).toLongLong(&number);
            if (!number || (i > 0 && pts <= previous))
                ++wrong;
            previous = pts;
        }
        *frames = times.size();
        return wrong;
    }

    // The playlist's segments and the seconds it gives them in all.
    QStringList playlistSegments(const QString &playlist, double *seconds)
    {
        QStringList segments;
        *seconds = 0.0;
        for (const QString &line : QString::fromUtf8(testsupport::readAll(playlist)).split(QLatin1Char('\n')))
        {
            if (line.startsWith(QLatin1String("#EXTINF:")))
                *seconds += line.mid(8).section(QLatin1Char(','), 0, 0).toDouble();
            else if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
                segments << line;
        }
        return segments;
    }

    // Small clips; x264's fastest preset gives "Constrained Baseline" (or "Main" with B frames),
    // so that a segment's profile tells a copy from the stage's own transcode ("High").
    QString lavfiClip(const QString &name, const char *size, int seconds, const QStringList &extra)
    {
        QStringList arguments {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                               QStringLiteral("testsrc=size=%1:rate=25:duration=%2").arg(QLatin1String(size)).arg(seconds)};
        return testsupport::makeClip(name, arguments << extra);
    }

    QString clipBFramesAviPcm()
    {
        return lavfiClip(QStringLiteral("h264-bframes-pcm-160x120-8s.avi"), "160x120", 8,
            strings({"-f", "lavfi", "-i", "sine=frequency=440:duration=8", "-c:v", "libx264", "-preset", "ultrafast",
                     "-bf", "2", "-profile:v", "main", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", "-shortest"}));
    }

    QString clipAviPcmNoBFrames()
    {
        return lavfiClip(QStringLiteral("h264-nobframes-pcm-160x120-8s.avi"), "160x120", 8,
            strings({"-f", "lavfi", "-i", "sine=frequency=440:duration=8", "-c:v", "libx264", "-preset", "ultrafast",
                     "-bf", "0", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le", "-shortest"}));
    }

    QString clipPictures()
    {
        return lavfiClip(QStringLiteral("h264-pictures-320x180-8s.mp4"), "320x180", 8,
            strings({"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"}));
    }

    QString clipBFramesMp4()
    {
        return lavfiClip(QStringLiteral("h264-bframes-aac-320x180-8s.mp4"), "320x180", 8,
            strings({"-f", "lavfi", "-i", "sine=frequency=440:duration=8", "-c:v", "libx264", "-preset", "ultrafast",
                     "-bf", "2", "-profile:v", "main", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest"}));
    }

    // An MP4's pictures copied into AVI beside MP3 at 44.1 kHz, as a converter makes them.
    QString clipMp3AviFromMp4()
    {
        const QString pictures = clipPictures();
        return pictures.isEmpty() ? QString() : testsupport::makeClip(QStringLiteral("h264-mp3-44k-from-mp4-320x180-8s.avi"),
            QStringList {QStringLiteral("-i"), pictures} << strings({"-f", "lavfi", "-i",
            "sine=frequency=440:duration=8:sample_rate=44100", "-c:v", "copy", "-c:a", "libmp3lame", "-shortest"}));
    }

    // The pictures shown turned by ffmpeg's "rotate" tag (the degrees ffprobe then reports).
    QString clipRotated(int degrees)
    {
        const QString pictures = clipPictures();
        return pictures.isEmpty() ? QString() : testsupport::makeClip(QStringLiteral("h264-320x180-rotate%1-8s.mp4").arg(degrees),
            {QStringLiteral("-i"), pictures, QStringLiteral("-c"), QStringLiteral("copy"),
             QStringLiteral("-metadata:s:v:0"), QStringLiteral("rotate=%1").arg(degrees)});
    }

    // The pictures with the track's display matrix set to a, b, c, d (16.16, as in the file).
    QString clipWithMatrix(const QString &name, qint32 a, qint32 b, qint32 c, qint32 d)
    {
        const QString target = testsupport::cacheDir() + name;
        if (QFileInfo::exists(target))
            return target;
        QByteArray data = testsupport::readAll(clipPictures());
        const int box = data.indexOf("tkhd");
        if (data.isEmpty() || box < 4)
            return QString();
        const int version = static_cast<unsigned char>(data.at(box + 4));
        // version and flags, times, track, reserved, duration, reserved, layer, group, volume, reserved
        const int matrix = box + 4 + 4 + (version == 1 ? 32 : 20) + 8 + 8;
        const qint32 values[9] = {a * 65536, b * 65536, 0, c * 65536, d * 65536, 0, 0, 0, 1 << 30};
        for (int i = 0; i < 9; ++i)
        {
            const quint32 v = static_cast<quint32>(values[i]);
            for (int k = 0; k < 4; ++k)
                data[matrix + 4 * i + k] = static_cast<char>((v >> (24 - 8 * k)) & 0xff);
        }
        const QString part = target + QStringLiteral(".part%1").arg(::getpid());
        if (!testsupport::writeAll(part, data) || !QFile::rename(part, target))
            QFile::remove(part);
        return QFileInfo::exists(target) ? target : QString();
    }

    struct CopyCase
    {
        const char *name;
        QString (*clip)();
        const char *facts; // profile,width,height of every segment's video
        const char *note;  // in the row's note; empty: copied, no note
    };

    void PrintTo(const CopyCase &c, std::ostream *os)
    {
        *os << c.name;
    }
}

class BrowserCopyTest : public ::testing::Test
{
protected:
    testsupport::FreshFolders m_folders;

    void SetUp() override
    {
        CGlobal::init();
        QUser::instance()->setTeacherId(12);
        qunsetenv("VANTREL_FFMPEG");
        m_sourceDir = testsupport::newTempDir() + QStringLiteral("videos/");
        QDir().mkpath(m_sourceDir);
    }

    void TearDown() override
    {
        qunsetenv("VANTREL_FFMPEG");
        if (m_ownDataFolder)
        {
            qunsetenv("VANTREL_DATA_DIR");
            CGlobal::initPath();
        }
    }

    // Puts the data folder (and so the slice folder) on `folder`.
    void useDataFolder(const QString &folder)
    {
        qputenv("VANTREL_DATA_DIR", QFile::encodeName(folder));
        CGlobal::initPath();
        m_ownDataFolder = true;
    }

    QString addSource(const QString &clip, const QString &name)
    {
        EXPECT_FALSE(clip.isEmpty()) << "test clip could not be made";
        const QString path = m_sourceDir + name;
        EXPECT_TRUE(QFile::copy(clip, path));
        return path;
    }

    // A probed mode-4 job of `path`, "无需转码" unless `convert`.
    std::shared_ptr<QDtaVideo> makeVideo(const QString &path, bool convert = false, const QString &quality = QString())
    {
        QDtaConfig config;
        config.setEncryptType(4);
        config.setCourseId(QStringLiteral("345"));
        config.setAutoConvert(convert);
        config.setWebQuality(quality);
        static qint64 lastId = 1710000000000LL;
        auto video = std::make_shared<QDtaVideo>(++lastId, path, config);
        video->probeMedia();
        return video;
    }

    // Runs the stage on a thread of its own, as the work pool does, with the notes it sends.
    StageResult runStage(QWebModel &model)
    {
        auto notes = std::make_shared<std::pair<std::mutex, QStringList>>();
        QObject::connect(&model, &QBase::signal_note, [notes](const QString &note) {
            std::lock_guard<std::mutex> lock(notes->first);
            notes->second << note;
        });
        auto future = std::async(std::launch::async, [&model]() {
            StageResult result;
            try {
                model.run();
                result.ok = true;
            } catch (const UException &e) {
                result.message = e.qMessage();
            } catch (...) {
                result.message = QStringLiteral("unexpected exception");
            }
            return result;
        });
        if (future.wait_for(std::chrono::seconds(120)) != std::future_status::ready)
        {
            model.stop();
            ADD_FAILURE() << "stage did not end";
        }
        StageResult result = future.get();
        std::lock_guard<std::mutex> lock(notes->first);
        result.notes = notes->second;
        return result;
    }

    void installFake(const QByteArray &body)
    {
        const QString dir = testsupport::newTempDir();
        const QString path = dir + QStringLiteral("ffmpeg");
        ASSERT_TRUE(testsupport::writeAll(path, "#!/bin/bash\nout=\"${@: -1}\"\n" + body + "\n"));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("VANTREL_FFMPEG", QFile::encodeName(path));
    }

    QString m_sourceDir;
    bool m_ownDataFolder = false;
};

class BrowserCopyCaseTest : public BrowserCopyTest, public ::testing::WithParamInterface<CopyCase>
{
};

// Every segment shows its frames in order, the playlist lasts as long as the source, and the
// segments are the source's own pictures where a copy plays right, the stage's transcode
// (with the reason on the row) where it would not.
TEST_P(BrowserCopyCaseTest, SegmentsPlayFrameForFrameAndWholeWithRealFfmpeg)
{
    const CopyCase &c = GetParam();
    const QString clip = c.clip();
    ASSERT_FALSE(clip.isEmpty()) << "test clip could not be made";
    const QString source = addSource(clip, QStringLiteral("lesson.%1").arg(QFileInfo(clip).suffix()));
    auto video = makeVideo(source);
    ASSERT_EQ(video->codec(), QDtaVideo::CodecH264);
    QWebModel model(video);
    const StageResult result = runStage(model);
    ASSERT_TRUE(result.ok) << result.message.toStdString();

    const QString why = QString::fromUtf8(c.note);
    if (why.isEmpty())
    {
        EXPECT_TRUE(result.notes.isEmpty()) << result.notes.join(QLatin1Char('|')).toStdString();
    }
    else
    {
        ASSERT_EQ(result.notes.size(), 1);
        EXPECT_TRUE(result.notes.first().contains(why)) << result.notes.first().toStdString();
        EXPECT_TRUE(result.notes.first().endsWith(QString::fromUtf8(TranscodedNote))) << result.notes.first().toStdString();
    }

    double seconds = 0.0;
    const QString folder = model.sliceFolder();
    const QStringList segments = playlistSegments(folder + video->videoKey(), &seconds);
    ASSERT_FALSE(segments.isEmpty());
    EXPECT_NEAR(seconds, formatDuration(source), 0.5);
    int frames = 0;
    for (const QString &segment : segments)
    {
        SCOPED_TRACE(segment.toStdString());
        EXPECT_EQ(videoFacts(folder + segment, "stream=profile,width,height"), QStringList {QString::fromUtf8(c.facts)});
        int shown = 0;
        EXPECT_EQ(framesOutOfOrder(folder + segment, &shown), 0);
        frames += shown;
    }
    // 25 frames a second, give or take the two a transcode may repeat.
    EXPECT_NEAR(frames, 25 * formatDuration(source), 3);
    EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, BrowserCopyCaseTest,
    ::testing::Values(
        CopyCase {"PlainMp4WithBFramesIsCopied", &clipBFramesMp4, "Main,320,180", ""},
        CopyCase {"AviWithoutBFramesIsCopied", &clipAviPcmNoBFrames, "Constrained Baseline,160,120", ""},
        CopyCase {"BFramesInAviAreTranscoded", &clipBFramesAviPcm, "High,160,120", "AVI格式不记录B帧的显示时间"},
        CopyCase {"Mp3AviFromMp4PicturesIsTranscoded", &clipMp3AviFromMp4, "High,320,180", "AVI格式中的帧时长与帧间隔不符"},
        CopyCase {"Turned90IsTranscodedUpright", [] { return clipRotated(90); }, "High,180,320", "画面带有90度旋转"},
        CopyCase {"Turned180IsTranscodedUpright", [] { return clipRotated(180); }, "High,320,180", "画面带有180度旋转"},
        CopyCase {"Turned270IsTranscodedUpright", [] { return clipRotated(270); }, "High,180,320", "画面带有270度旋转"}),
    [](const ::testing::TestParamInfo<CopyCase> &info) { return std::string(info.param.name); });

// The note names the angle of the display matrix as ffprobe reports it (a negative one from
// 360), whichever signs and scale the matrix is written with; a mirrored one says so.
TEST_F(BrowserCopyTest, NoteNamesTheMatrixAngle)
{
    struct Case
    {
        const char *name;
        qint32 a, b, c, d;
        const char *note;
    };
    const std::vector<Case> cases {
        // ffprobe: rotation=-90, as a phone's portrait recording has it
        {"m-minus90", 0, 1, -1, 0, "画面带有270度旋转，"},
        {"m-plus90", 0, -1, 1, 0, "画面带有90度旋转，"},
        {"m-180", -1, 0, 0, -1, "画面带有180度旋转，"},
        {"m-minus90-scaled", 0, 2, -2, 0, "画面带有270度旋转，"},
        {"m-mirrored", -1, 0, 0, 1, "画面带有镜像翻转"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const QString clip = clipWithMatrix(QStringLiteral("h264-320x180-%1-8s.mp4").arg(QLatin1String(c.name)), c.a, c.b, c.c, c.d);
        ASSERT_FALSE(clip.isEmpty());
        auto video = makeVideo(addSource(clip, QStringLiteral("%1.mp4").arg(QLatin1String(c.name))), false,
                               QStringLiteral("-preset ultrafast"));
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        ASSERT_EQ(result.notes.size(), 1);
        EXPECT_TRUE(result.notes.first().contains(QString::fromUtf8(c.note))) << result.notes.first().toStdString();
    }
}

// A copy whose playlist comes out shorter than the source fails; when the source is whole the
// reason names "原始" (a transcode), when the source itself is cut short it does not.
TEST_F(BrowserCopyTest, CopyEndingShortNamesOriginalOnlyForAWholeSource)
{
    // A slicing that times the copy at 2 s.
    installFake("printf '#EXTM3U\\n#EXTINF:2.0,\\nseg0.ts\\n#EXT-X-ENDLIST\\n' > \"$out\"\nprintf ts > seg0.ts");
    const QString whole = addSource(clipBFramesMp4(), QStringLiteral("whole.mp4"));
    const QByteArray bytes = testsupport::readAll(lavfiClip(QStringLiteral("h264-160x120-20s-front-index.mp4"), "160x120", 20,
        strings({"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-movflags", "+faststart"})));
    ASSERT_GT(bytes.size(), 1000);
    const QString cut = m_sourceDir + QStringLiteral("cut.mp4");
    ASSERT_TRUE(testsupport::writeAll(cut, bytes.left(bytes.size() / 2)));
    struct Case
    {
        const char *name;
        QString source;
        bool names;
    };
    for (const Case &c : {Case {"whole source", whole, true}, Case {"source cut short", cut, false}})
    {
        SCOPED_TRACE(c.name);
        auto video = makeVideo(c.source);
        ASSERT_GT(video->totalTime(), 4);
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_FALSE(result.ok);
        EXPECT_TRUE(result.message.startsWith(QStringLiteral("视频切片不完整：切片总时长2.0秒"))) << result.message.toStdString();
        EXPECT_EQ(result.message.contains(QString::fromUtf8(OriginalHint)), c.names) << result.message.toStdString();
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
    }
}

namespace
{
    struct FullCase
    {
        const char *name;
        bool convert;
        qint64 leave; // bytes left on the data disk before the run
    };

    void PrintTo(const FullCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    // Noise: x264 can't make it small, so a slicing or a transcode of it fills a small disk.
    QString clipNoise()
    {
        return testsupport::makeClip(QStringLiteral("h264-noise-160x120-3s.mp4"),
            strings({"-f", "lavfi", "-i", "nullsrc=size=160x120:rate=25:duration=3,geq=random(1)*255:128:128",
                     "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"}));
    }
}

class BrowserCopyFullDiskTest : public BrowserCopyTest, public ::testing::WithParamInterface<FullCase>
{
};

// A data folder on a full disk fails the job with the data folder's reason, not ffmpeg's last
// line, leaves nothing behind, and the same job runs once there is room again.
TEST_P(BrowserCopyFullDiskTest, FullDataDiskIsNamed)
{
    const FullCase &c = GetParam();
    testsupport::Tmpfs disk(16 * 1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    useDataFolder(disk.path() + QStringLiteral("data/"));
    const QString source = addSource(clipNoise(), QStringLiteral("noise.mp4"));
    const QByteArray before = testsupport::readAll(source);
    ASSERT_GT(before.size(), 4 * c.leave);
    auto video = makeVideo(source, c.convert, QStringLiteral("-preset ultrafast"));
    QDir().mkpath(CGlobal::slicePath());
    ASSERT_TRUE(disk.fill(c.leave));

    {
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_FALSE(result.ok);
        const QString expected = QStringLiteral("磁盘空间不足：数据文件夹“%1”所在磁盘已满")
                                     .arg(QDir::toNativeSeparators(QDir::cleanPath(CGlobal::slicePath())));
        EXPECT_TRUE(result.message.startsWith(expected)) << result.message.toStdString();
        EXPECT_FALSE(result.message.contains(QStringLiteral("ffmpeg"))) << result.message.toStdString();
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
    }
    EXPECT_EQ(testsupport::readAll(source), before);

    disk.release();
    QWebModel again(video);
    const StageResult result = runStage(again);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_TRUE(testsupport::readAll(again.sliceFolder() + video->videoKey()).startsWith("#EXTM3U"));
}

INSTANTIATE_TEST_SUITE_P(
    Moments, BrowserCopyFullDiskTest,
    ::testing::Values(FullCase {"SlicingOnAFullDisk", false, 0}, FullCase {"SlicingFillsTheDisk", false, 64 * 1024},
                      FullCase {"TranscodeOnAFullDisk", true, 0}, FullCase {"TranscodeFillsTheDisk", true, 64 * 1024}),
    [](const ::testing::TestParamInfo<FullCase> &info) { return std::string(info.param.name); });
