#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qbase.h"
#include "qchildprocess.h"
#include "qdtaconfig.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qjsonfile.h"
#include "quser.h"
#include "qwebmodel.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    const int TeacherId = 12;
    const char *CourseId = "345";

    // Collects the stage's progress reports from whatever thread they come.
    class ProgressLog : public QObject
    {
        Q_OBJECT

    public:
        std::vector<int> values()
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_values;
        }

    public slots:
        void onProgress(int stage, int percent)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            EXPECT_EQ(stage, 0);
            m_values.push_back(percent);
        }

    private:
        std::mutex m_mutex;
        std::vector<int> m_values;
    };

    struct StageResult
    {
        bool ok = false;
        bool threw = false;
        QString message;
    };

    QByteArray fileDigest(const QString &path)
    {
        return QCryptographicHash::hash(testsupport::readAll(path), QCryptographicHash::Md5);
    }

    QStringList folderEntries(const QString &folder)
    {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }

    bool processGone(pid_t pid)
    {
        return ::kill(pid, 0) == -1 && errno == ESRCH;
    }
}

class WebModeTest : public ::testing::Test
{
protected:
    // A data folder of its own: no slice or transcode an earlier case left is in it.
    testsupport::FreshFolders m_folders;

    void SetUp() override
    {
        CGlobal::init();
        QUser::instance()->setTeacherId(TeacherId);
        qunsetenv("VANTREL_FFMPEG");
        m_dir = testsupport::newTempDir();
        m_sourceDir = m_dir + QStringLiteral("videos/");
        QDir().mkpath(m_sourceDir);
    }

    void TearDown() override
    {
        qunsetenv("VANTREL_FFMPEG");
        qunsetenv("VANTREL_STAGE_SILENCE_MS");
    }

    // Copies a clip into the source folder under `name`.
    QString addSource(const QString &clip, const QString &name)
    {
        EXPECT_FALSE(clip.isEmpty()) << "test clip could not be made";
        const QString path = m_sourceDir + name;
        EXPECT_TRUE(QFile::copy(clip, path));
        return path;
    }

    // A mode-4 job for `path`; `probe` reads its media facts, otherwise the codec is set to `codec`.
    std::shared_ptr<QDtaVideo> makeVideo(const QString &path, bool convert, const QString &webQuality = QString(),
                                         bool probe = false, uint32_t codec = QDtaVideo::CodecH264)
    {
        QDtaConfig config;
        config.setEncryptType(4);
        config.setCourseId(QString::fromLatin1(CourseId));
        config.setAutoConvert(convert);
        config.setWebQuality(webQuality);
        // Ids stay unique within the process, so no job meets another's slice folder.
        static qint64 lastId = 1700000000000LL;
        m_nextId++;
        auto video = std::make_shared<QDtaVideo>(++lastId, path, config);
        if (probe)
        {
            video->probeMedia();
            return video;
        }
        Json::Value json = video->toJson();
        json["codec"] = Json::Value(codec);
        return std::make_shared<QDtaVideo>(json);
    }

    // Runs the stage on a worker thread of its own, as the work pool does.
    StageResult runStage(QWebModel &model, ProgressLog *log = nullptr, int timeoutMs = 60000)
    {
        if (log)
        {
            const bool connected = QObject::connect(&model, SIGNAL(signal_progress(int, int)), log,
                                                    SLOT(onProgress(int, int)), Qt::DirectConnection);
            EXPECT_TRUE(connected);
        }
        auto future = std::async(std::launch::async, [&model]() {
            StageResult result;
            try {
                model.run();
                result.ok = true;
            } catch (const UException &e) {
                result.threw = true;
                result.message = e.qMessage();
            } catch (const std::exception &e) {
                result.message = QString::fromUtf8(e.what());
            } catch (...) {
                result.message = QStringLiteral("unknown exception");
            }
            return result;
        });
        if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
        {
            model.stop();
            ADD_FAILURE() << "stage did not end within " << timeoutMs << " ms";
        }
        return future.get();
    }

    // Writes an executable fake ffmpeg. Each run records its pid ("pid") and its arguments,
    // NUL-separated, into "args.<n>" of the fake's folder; `body` follows, with $out = last argument.
    void installFake(const QByteArray &body)
    {
        m_fakeDir = m_dir + QStringLiteral("fake/");
        QDir().mkpath(m_fakeDir);
        const QByteArray dir = m_fakeDir.toUtf8();
        QByteArray script = "#!/bin/bash\n"
                            "d='" + dir + "'\n"
                            "n=$(ls \"$d\" | grep -c '^args\\.')\n"
                            "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"$d/args.$n\"\n"
                            // What an inherited descriptor handed as input holds.
                            "for a in \"$@\"; do case \"$a\" in /proc/self/fd/*) cat -- \"$a\" > \"$d/input.$n\";; esac; done\n"
                            "pwd > \"$d/cwd.$n\"\n"
                            "echo $$ > \"$d/pid.tmp\" && mv \"$d/pid.tmp\" \"$d/pid\"\n"
                            "out=\"${@: -1}\"\n";
        script += body;
        script += "\n";
        const QString path = m_fakeDir + QStringLiteral("ffmpeg");
        ASSERT_TRUE(testsupport::writeAll(path, script));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("VANTREL_FFMPEG", path.toUtf8());
    }

    // Arguments of the fake's n-th run.
    QStringList fakeArgs(int run)
    {
        const QByteArray data = testsupport::readAll(m_fakeDir + QStringLiteral("args.%1").arg(run));
        QStringList args;
        for (const QByteArray &part : data.split('\0'))
            args << QString::fromUtf8(part);
        if (!args.isEmpty())
            args.removeLast();
        return args;
    }

    pid_t fakePid()
    {
        return static_cast<pid_t>(testsupport::readAll(m_fakeDir + QStringLiteral("pid")).trimmed().toLongLong());
    }

    QString m_dir;
    QString m_sourceDir;
    QString m_fakeDir;
    int m_nextId = 1;
};

// A fake slice run: writes a playlist naming one segment, and the segment.
static const QByteArray FakeSlice =
    "printf '#EXTM3U\\n#EXTINF:3.0,\\nseg0.ts\\n#EXT-X-ENDLIST\\n' > \"$out\"\n"
    "printf 'ts' > \"$(dirname \"$out\")/seg0.ts\"\n";

TEST_F(WebModeTest, SlicesH264SourceWithRealFfmpeg)
{
    const QString source = addSource(testsupport::clipH264Mp4(), QStringLiteral("lesson 1.mp4"));
    const QByteArray before = fileDigest(source);
    auto video = makeVideo(source, false, QString(), true);
    ASSERT_EQ(video->codec(), QDtaVideo::CodecH264);

    QWebModel model(video);
    ProgressLog log;
    const StageResult result = runStage(model, &log);
    ASSERT_TRUE(result.ok) << result.message.toStdString();

    // The playlist has the video key's name and names segments that exist beside it.
    const QString folder = model.sliceFolder();
    const QString playlist = folder + video->videoKey();
    EXPECT_TRUE(video->videoKey().endsWith(QStringLiteral(".m3u8")));
    const QString text = QString::fromUtf8(testsupport::readAll(playlist));
    ASSERT_TRUE(text.startsWith(QStringLiteral("#EXTM3U"))) << playlist.toStdString();
    int segments = 0;
    for (const QString &line : text.split(QLatin1Char('\n')))
    {
        if (!line.endsWith(QStringLiteral(".ts")))
            continue;
        ++segments;
        EXPECT_GT(QFileInfo(folder + line).size(), 0) << line.toStdString();
    }
    EXPECT_GE(segments, 1);
    EXPECT_EQ(folderEntries(folder).filter(QStringLiteral(".m3u8")), QStringList {video->videoKey()});

    // Progress rises within 0 to 50 and ends at 50.
    const std::vector<int> values = log.values();
    ASSERT_FALSE(values.empty());
    for (size_t i = 0; i < values.size(); ++i)
    {
        EXPECT_GE(values[i], 0);
        EXPECT_LE(values[i], 50);
        if (i > 0)
        {
            EXPECT_GE(values[i], values[i - 1]);
        }
    }
    EXPECT_EQ(values.back(), 50);

    // The source folder holds the untouched source and nothing else.
    EXPECT_EQ(fileDigest(source), before);
    EXPECT_EQ(folderEntries(m_sourceDir), QStringList {QStringLiteral("lesson 1.mp4")});
}

TEST_F(WebModeTest, TranscodesToH264ThenSlicesWithRealFfmpeg)
{
    const QString source = addSource(testsupport::clipMpeg4Avi(), QStringLiteral("old.avi"));
    const QByteArray before = fileDigest(source);
    auto video = makeVideo(source, true, QStringLiteral("-b:v 256k -preset ultrafast"), true);
    EXPECT_NE(video->codec(), QDtaVideo::CodecH264);

    QWebModel model(video);
    ProgressLog log;
    const StageResult result = runStage(model, &log);
    ASSERT_TRUE(result.ok) << result.message.toStdString();

    // 0 to 40 for the transcode, then 40 to 50 for the slicing.
    const std::vector<int> values = log.values();
    auto at40 = std::find(values.begin(), values.end(), 40);
    ASSERT_NE(at40, values.end());
    for (auto it = values.begin(); it != at40; ++it)
        EXPECT_LT(*it, 40);
    for (auto it = at40; it != values.end(); ++it)
    {
        EXPECT_GE(*it, 40);
        EXPECT_LE(*it, 50);
    }
    EXPECT_EQ(values.back(), 50);

    // The segments hold H.264, and no transcode output is left anywhere.
    const QString folder = model.sliceFolder();
    const QStringList segments = folderEntries(folder).filter(QRegularExpression(QStringLiteral("\\.ts$")));
    ASSERT_FALSE(segments.isEmpty());
    QProcess probe;
    probe.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-select_streams"), QStringLiteral("v:0"),
                                            QStringLiteral("-show_entries"), QStringLiteral("stream=codec_name"),
                                            QStringLiteral("-of"), QStringLiteral("csv=p=0"), folder + segments.first()});
    ASSERT_TRUE(probe.waitForFinished(30000));
    // One line per program and per stream: every one names H.264.
    const QList<QByteArray> codecs = probe.readAllStandardOutput().simplified().split(' ');
    EXPECT_EQ(codecs.count(QByteArray("h264")), codecs.size()) << probe.readAllStandardError().toStdString();
    EXPECT_FALSE(codecs.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
    EXPECT_TRUE(folderEntries(CGlobal::slicePath()).filter(QStringLiteral("transcode")).isEmpty());
    EXPECT_EQ(fileDigest(source), before);
    EXPECT_EQ(folderEntries(m_sourceDir), QStringList {QStringLiteral("old.avi")});
}

TEST_F(WebModeTest, NonH264SourceWithoutTranscodeIsRefused)
{
    installFake(FakeSlice);
    const QString source = addSource(testsupport::clipMpeg4Avi(), QStringLiteral("old.avi"));
    const QByteArray before = fileDigest(source);
    auto video = makeVideo(source, false, QString(), true);

    QWebModel model(video);
    const StageResult result = runStage(model);
    EXPECT_TRUE(result.threw);
    EXPECT_EQ(result.message, QStringLiteral("Web加密模式不支持非h264编码的视频，请在“上传视频设置”的“视频质量”中选择“原始”或其他画质（转码）后重试"));
    EXPECT_FALSE(QFileInfo::exists(m_fakeDir + QStringLiteral("pid"))) << "ffmpeg must not run";
    EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
    EXPECT_EQ(fileDigest(source), before);
    EXPECT_EQ(folderEntries(m_sourceDir), QStringList {QStringLiteral("old.avi")});
}

// Blanks, quotes, "%3" and Chinese in the source name reach ffmpeg whole, with and without transcoding.
TEST_F(WebModeTest, AwkwardSourceNamesWithRealFfmpeg)
{
    const QString name = QStringLiteral("第 1 课 \"it's\" %3 100%.mp4");
    for (bool convert : {false, true})
    {
        SCOPED_TRACE(convert ? "transcode" : "slice only");
        const QString source = addSource(testsupport::clipH264Mp4(), name);
        auto video = makeVideo(source, convert, QStringLiteral("-preset ultrafast"), true);
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        const QString playlist = model.sliceFolder() + video->videoKey();
        EXPECT_TRUE(video->videoKey().contains(QStringLiteral("第 1 课 \"it's\" %3 100%")));
        EXPECT_TRUE(testsupport::readAll(playlist).startsWith("#EXTM3U")) << playlist.toStdString();
        EXPECT_EQ(folderEntries(m_sourceDir), QStringList {name});
        QFile::remove(source);
    }
}

// The exact argument lists, in their order, with the quality options split as a shell would.
TEST_F(WebModeTest, FfmpegGetsArgumentListsInOrder)
{
    installFake(FakeSlice);
    const QString name = QStringLiteral("a \"b\" %3.avi");
    const QString source = addSource(testsupport::clipMpeg4Avi(), name);
    auto video = makeVideo(source, true, QStringLiteral("-b:v 512k -vf \"scale=320:-2, setsar=1\""));

    QWebModel model(video);
    const StageResult result = runStage(model);
    ASSERT_TRUE(result.ok) << result.message.toStdString();

    const QString target = model.transcodeTarget();
    EXPECT_TRUE(target.startsWith(CGlobal::slicePath()));
    // The source comes as the descriptor the stage checked, and holds the source.
    const QString input = fakeArgs(0).value(3);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^/proc/self/fd/[0-9]+$")).match(input).hasMatch()) << input.toStdString();
    EXPECT_EQ(testsupport::readAll(m_fakeDir + QStringLiteral("input.0")), testsupport::readAll(source));
    // The quality's video filter ends in 4:2:0 and even dimensions.
    EXPECT_EQ(fakeArgs(0), (QStringList {"-nostdin", "-y", "-i", input, "-max_muxing_queue_size", "1024",
                                         "-vcodec", "h264", "-b:v", "512k", "-vf",
                                         "scale=320:-2, setsar=1,scale=trunc(iw/2)*2:trunc(ih/2)*2,format=yuv420p",
                                         "-pix_fmt", "yuv420p", "-c:a", "aac", target}));
    const QString base = QStringLiteral("%1_%2_%3_%4").arg(TeacherId).arg(QString::fromLatin1(CourseId)).arg(video->id())
              .arg(QString::fromLatin1(QCryptographicHash::hash(video->videoKey().toUtf8(), QCryptographicHash::Md5).toHex()));
    // The slicing runs in the slice folder and names its files relative to it.
    EXPECT_EQ(fakeArgs(1), (QStringList {"-nostdin", "-y", "-fflags", "+genpts", "-i", target, "-sn", "-dn",
                                         "-c:v", "copy", "-c:a", "copy", "-bsf:v", "h264_mp4toannexb",
                                         "-hls_time", "30", "-hls_list_size", "0",
                                         "-hls_segment_filename", base + "%d.ts", base + ".m3u8"}));
    EXPECT_EQ(testsupport::readAll(m_fakeDir + QStringLiteral("cwd.1")).trimmed(),
              QDir(model.sliceFolder()).canonicalPath().toUtf8());
    // Without a video filter of its own the quality gets one.
    {
        auto plain = makeVideo(source, true, QStringLiteral("-b:v 512k"));
        QWebModel other(plain);
        const QStringList args = other.transcodeCommand();
        EXPECT_EQ(args.mid(8), (QStringList {"-b:v", "512k", "-vf", "scale=trunc(iw/2)*2:trunc(ih/2)*2,format=yuv420p",
                                             "-pix_fmt", "yuv420p", "-c:a", "aac", other.transcodeTarget()}));
    }
    EXPECT_FALSE(QFileInfo::exists(target));
    EXPECT_TRUE(QFileInfo::exists(model.sliceFolder() + video->videoKey()));
}

// Progress is read from whole lines, the last time of a chunk counts, and it stays within 0 to 50.
TEST_F(WebModeTest, ProgressFromWholeLinesWithinShare)
{
    installFake(
        "printf 'ffmpeg version fake\\n  Duration: 00:00:10.00, start: 0.000000, bitrate: 1 kb/s\\n'\n"
        "sleep 0.3; printf 'frame=1 time=00:00:02.00 bitrate=1\\r'\n"
        "sleep 0.3; printf 'frame=2 time=00:00:0'; sleep 0.5; printf '5.00 bitrate=1\\r'\n"
        "sleep 0.5; printf 'frame=3 time=00:00:06.00 x\\rframe=4 time=00:00:08.00 x\\r'\n"
        "sleep 0.3; printf 'frame=5 time=-00:00:00.50 x\\r'\n"
        "sleep 0.3; printf 'frame=6 time=00:00:20.00 x\\r'\n"
        + FakeSlice);
    auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("a.mp4")), false);
    QWebModel model(video);
    ProgressLog log;
    const StageResult result = runStage(model, &log);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    // 10 may merge into the next chunk on a busy machine; 25 needs the split line read whole,
    // 30 (the first time of a two-time chunk) must not appear, 20 s is held at the share.
    const std::vector<int> values = log.values();
    const std::vector<int> allowed {10, 25, 40, 50};
    for (size_t i = 0; i < values.size(); ++i)
    {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), values[i]), allowed.end()) << values[i];
        if (i > 0)
        {
            EXPECT_LT(values[i - 1], values[i]);
        }
    }
    for (int required : {25, 40, 50})
        EXPECT_NE(std::find(values.begin(), values.end(), required), values.end()) << required;
}

// Without a usable duration there is no running progress, but the run completes.
TEST_F(WebModeTest, OutputWithoutDurationStillSucceeds)
{
    const std::vector<QByteArray> headers {"", "  Duration: N/A, bitrate: N/A\\n", "  Duration: xx:yy:zz.00\\n"};
    for (const QByteArray &header : headers)
    {
        SCOPED_TRACE(header.toStdString());
        installFake("printf '" + header + "frame=1 time=00:00:01.00\\rframe=2 time=00:00:02.00\\r'\n" + FakeSlice);
        auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("a%1.mp4").arg(m_nextId)), false);
        QWebModel model(video);
        ProgressLog log;
        const StageResult result = runStage(model, &log);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        EXPECT_EQ(log.values(), (std::vector<int> {50}));
        EXPECT_TRUE(QFileInfo::exists(model.sliceFolder() + video->videoKey()));
    }
}

// Every failure gives a clear message and leaves no slice folder and no transcode output behind.
TEST_F(WebModeTest, FailuresGiveClearMessageAndLeaveNothing)
{
    QByteArray banner;
    for (int i = 0; i < 300; ++i)
        banner += "echo 'banner line " + QByteArray::number(i) + " --enable-everything'\n";
    struct Case
    {
        const char *name;
        QByteArray body;  // empty: no program at all
        bool convert;
        QString expect;   // the message contains this
        QString absent;   // and not this
    };
    const std::vector<Case> cases {
        {"banner then exit 3", banner + "echo 'Error opening output file: last words' >&2\nexit 3", false,
         QStringLiteral("Error opening output file: last words"), QStringLiteral("banner line 0 ")},
        {"crash", "printf '  Duration: 00:00:10.00\\n'\nkill -SEGV $$", false, QStringLiteral("ffmpeg异常退出"), QString()},
        {"crash while transcoding", "kill -SEGV $$", true, QStringLiteral("ffmpeg异常退出"), QString()},
        {"silent exit 1", "exit 1", false, QStringLiteral("ffmpeg处理失败（退出码1）"), QString()},
        {"success without a playlist", "exit 0", false, QStringLiteral("视频切片不完整"), QString()},
        {"playlist naming a missing segment", "printf '#EXTM3U\\n#EXTINF:3.0,\\nseg0.ts\\n#EXT-X-ENDLIST\\n' > \"$out\"",
         false, QStringLiteral("缺少切片文件 seg0.ts"), QString()},
        {"playlist naming an empty segment",
         "printf '#EXTM3U\\n#EXTINF:3.0,\\nseg0.ts\\n#EXT-X-ENDLIST\\n' > \"$out\"; : > seg0.ts",
         false, QStringLiteral("切片文件为空 seg0.ts"), QString()},
        {"playlist without its end", "printf '#EXTM3U\\n#EXTINF:3.0,\\nseg0.ts\\n' > \"$out\"; printf ts > seg0.ts",
         false, QStringLiteral("播放列表没有结束"), QString()},
        {"playlist naming no segment", "printf '#EXTM3U\\n#EXT-X-ENDLIST\\n' > \"$out\"",
         false, QStringLiteral("播放列表中没有切片文件"), QStringLiteral("没有结束")},
        {"empty playlist", ": > \"$out\"", false, QStringLiteral("播放列表格式错误"), QStringLiteral("没有结束")},
        {"segment outside the folder",
         "printf '#EXTM3U\\n#EXTINF:3.0,\\n../seg0.ts\\n#EXT-X-ENDLIST\\n' > \"$out\"; printf ts > ../seg0.ts",
         false, QStringLiteral("切片文件名无效"), QString()},
        {"missing program", QByteArray(), false, QStringLiteral("无法启动ffmpeg"), QString()},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.body.isEmpty())
            qputenv("VANTREL_FFMPEG", (m_dir + QStringLiteral("no-such-ffmpeg")).toUtf8());
        else
            installFake(c.body);
        const QString source = addSource(testsupport::clipH264Mp4(), QStringLiteral("f%1.mp4").arg(m_nextId));
        const QByteArray before = fileDigest(source);
        auto video = makeVideo(source, c.convert);
        QWebModel model(video);
        const auto started = std::chrono::steady_clock::now();
        const StageResult result = runStage(model);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
        EXPECT_TRUE(result.threw);
        EXPECT_TRUE(result.message.contains(c.expect)) << result.message.toStdString();
        if (!c.absent.isEmpty())
        {
            EXPECT_FALSE(result.message.contains(c.absent));
        }
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
        EXPECT_EQ(fileDigest(source), before);
        QFile::remove(source);
    }
}

// A stop from another thread ends the run within seconds, with the child reaped before the
// folder is removed; a child that ignores the request is killed.
TEST_F(WebModeTest, StopFromAnotherThreadEndsAndReapsChild)
{
    struct Case
    {
        const char *name;
        bool ignoreTerm;
        bool convert;
    };
    const std::vector<Case> cases {
        {"slicing", false, false},
        {"slicing, child ignores terminate", true, false},
        {"transcoding", false, true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        installFake(QByteArray(c.ignoreTerm ? "trap '' TERM\n" : "")
                    + "printf '  Duration: 00:10:00.00\\n'\n"
                      "while :; do printf 'frame=1 time=00:00:01.00\\r'; sleep 0.1; done\n");
        auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("s%1.mp4").arg(m_nextId)),
                               c.convert);
        QWebModel model(video);
        // An earlier run's result: a failed transcode leaves it alone, a failed slicing removes it.
        QDir().mkpath(model.sliceFolder());
        testsupport::writeAll(model.sliceFolder() + QStringLiteral("earlier.ts"), "ts");
        ProgressLog log;
        EXPECT_TRUE(QObject::connect(&model, SIGNAL(signal_progress(int, int)), &log, SLOT(onProgress(int, int)),
                                     Qt::DirectConnection));

        auto future = std::async(std::launch::async, [&model]() {
            try {
                model.run();
            } catch (const UException &e) {
                return e.qMessage() + QStringLiteral("|threw");
            }
            return QStringLiteral("returned");
        });
        ASSERT_TRUE(testsupport::waitUntil([this]() { return QFileInfo::exists(m_fakeDir + QStringLiteral("pid")); },
                                           10000));
        // Stopped once the child is at work (past its trap): its progress has been read.
        EXPECT_TRUE(testsupport::waitUntil([&log]() { return !log.values().empty(); }, 10000));
        const pid_t pid = fakePid();
        ASSERT_GT(pid, 0);
        model.stop();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
        EXPECT_EQ(future.get(), QStringLiteral("|threw"));
        EXPECT_TRUE(processGone(pid)) << "child not reaped";
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
        EXPECT_EQ(QFileInfo::exists(model.sliceFolder()), c.convert);
        QFile::remove(m_fakeDir + QStringLiteral("pid"));
    }
}

TEST_F(WebModeTest, StopBeforeRunIsNotLost)
{
    installFake(FakeSlice);
    auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("a.mp4")), false);
    QWebModel model(video);
    model.stop();
    const StageResult result = runStage(model);
    EXPECT_TRUE(result.threw);
    EXPECT_TRUE(result.message.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(m_fakeDir + QStringLiteral("pid"))) << "ffmpeg must not start";
    EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
}

// A second run of the same job replaces the playlist of the first; a name that can't be
// replaced fails the stage.
TEST_F(WebModeTest, SecondRunReplacesPlaylist)
{
    auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("a.mp4")), false);
    for (const QByteArray &word : {QByteArray("first"), QByteArray("second")})
    {
        const QByteArray run = "#EXTM3U\n# " + word + "\n#EXTINF:3.0,\nseg0.ts\n#EXT-X-ENDLIST\n";
        installFake("printf '" + run + "' > \"$out\"; printf ts > seg0.ts");
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        EXPECT_EQ(testsupport::readAll(model.sliceFolder() + video->videoKey()), run);
        EXPECT_EQ(folderEntries(model.sliceFolder()), (QStringList {video->videoKey(), QStringLiteral("seg0.ts")}));
    }

    QWebModel model(video);
    QFile::remove(model.sliceFolder() + video->videoKey());
    QDir().mkpath(model.sliceFolder() + video->videoKey() + QStringLiteral("/inner"));
    const StageResult result = runStage(model);
    EXPECT_TRUE(result.threw);
    EXPECT_TRUE(result.message.contains(video->videoKey())) << result.message.toStdString();
    EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
}

// A work item of mode 4 runs this stage: the playlist appears with progress up to 50, or the
// refusal reaches the item's error signal.
TEST_F(WebModeTest, WorkItemOfWebModeSlicesOrReportsRefusal)
{
    struct Case
    {
        const char *name;
        QString clip;
        bool complete;
    };
    const std::vector<Case> cases {
        {"h264 source", testsupport::clipH264Mp4(), true},
        {"mpeg-4 source", testsupport::clipMpeg4Avi(), false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const QString source = addSource(c.clip, QStringLiteral("w%1.%2").arg(m_nextId++).arg(QFileInfo(c.clip).suffix()));
        QDtaConfig config;
        config.setEncryptType(4);
        config.setCourseId(QString::fromLatin1(CourseId));
        QFileWork work(source, config);
        QSignalSpy progress(&work, SIGNAL(signal_progress(int, int)));
        QSignalSpy errors(&work, SIGNAL(signal_error(QString)));
        QSignalSpy completes(&work, SIGNAL(signal_complete()));

        auto future = std::async(std::launch::async, [&work]() { return work.run(); });
        ASSERT_TRUE(testsupport::waitUntil([&future]() {
            return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }, 60000));
        EXPECT_EQ(future.get(), c.complete);
        testsupport::waitUntil([]() { return false; }, 100); // queued progress reports

        const QString folder = CGlobal::slicePath() + QString::number(work.id()) + QStringLiteral("/");
        if (c.complete)
        {
            EXPECT_EQ(completes.count(), 1);
            EXPECT_EQ(errors.count(), 0);
            ASSERT_FALSE(progress.isEmpty());
            EXPECT_EQ(progress.last().at(0).toInt(), 0);
            EXPECT_EQ(progress.last().at(1).toInt(), 50);
            EXPECT_TRUE(testsupport::readAll(folder + work.video()->videoKey()).startsWith("#EXTM3U"));
        }
        else
        {
            EXPECT_EQ(completes.count(), 0);
            ASSERT_EQ(errors.count(), 1);
            EXPECT_EQ(errors.first().at(0).toString(), QStringLiteral("Web加密模式不支持非h264编码的视频，请在“上传视频设置”的“视频质量”中选择“原始”或其他画质（转码）后重试"));
            EXPECT_FALSE(QFileInfo::exists(folder));
        }
        EXPECT_TRUE(QFileInfo::exists(source));
    }
}

namespace
{
    QStringList args(std::initializer_list<const char *> list)
    {
        QStringList out;
        for (const char *a : list)
            out << QString::fromUtf8(a);
        return out;
    }

    // One short 160x120 H.264 clip per kind of camera or screen recorder output.
    QString clipMovPcm()
    {
        return testsupport::makeClip(QStringLiteral("h264-pcm-160x120-3s.mov"),
            args({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=3", "-f", "lavfi", "-i",
                  "sine=frequency=440:duration=3", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                  "-c:a", "pcm_s16le", "-shortest"}));
    }

    // Without B frames: AVI keeps no presentation times, so B frames are transcoded.
    QString clipAviH264()
    {
        return testsupport::makeClip(QStringLiteral("h264-mp3-160x120-3s-nobframes.avi"),
            args({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=3", "-f", "lavfi", "-i",
                  "sine=frequency=440:duration=3", "-c:v", "libx264", "-preset", "ultrafast", "-bf", "0",
                  "-pix_fmt", "yuv420p", "-c:a", "libmp3lame", "-shortest"}));
    }

    // Its index at the front, so that the first half still promises 20 s.
    QString clipLongFaststart()
    {
        return testsupport::makeClip(QStringLiteral("h264-160x120-20s-faststart.mp4"),
            args({"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=20", "-c:v", "libx264",
                  "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-movflags", "+faststart"}));
    }

    QString clipOdd444()
    {
        return testsupport::makeClip(QStringLiteral("h264-444-161x121-2s.mp4"),
            args({"-f", "lavfi", "-i", "testsrc=size=161x121:rate=25:duration=2", "-c:v", "libx264",
                  "-preset", "ultrafast", "-pix_fmt", "yuv444p"}));
    }

    // ffprobe's answer for `entries` of the streams of `path` (or its format), one line per stream.
    QStringList ffprobe(const QString &path, const QString &entries, const QString &select = QString())
    {
        QStringList arguments {QStringLiteral("-v"), QStringLiteral("error")};
        if (!select.isEmpty())
            arguments << QStringLiteral("-select_streams") << select;
        arguments << QStringLiteral("-show_entries") << entries << QStringLiteral("-of") << QStringLiteral("csv=p=0")
                  << path;
        QProcess probe;
        probe.start(QStringLiteral("ffprobe"), arguments);
        if (!probe.waitForFinished(30000))
            return {QStringLiteral("ffprobe did not end")};
        QStringList lines;
        for (const QString &line : QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n')))
        {
            if (!line.trimmed().isEmpty())
                lines << line.trimmed();
        }
        // A segment lists its streams under its program too.
        lines.removeDuplicates();
        return lines;
    }

    // The segments a playlist names, each checked to exist beside it and not be empty.
    QStringList playlistSegments(const QString &folder, const QString &playlist)
    {
        QStringList segments;
        for (const QString &line : QString::fromUtf8(testsupport::readAll(folder + playlist)).split(QLatin1Char('\n')))
        {
            if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
                continue;
            segments << line;
            EXPECT_GT(QFileInfo(folder + line).size(), 0) << line.toStdString();
        }
        return segments;
    }
}

// Camera and recorder sources are sliced into segments a browser plays: the video copied, the
// audio copied when MPEG-TS carries it and made AAC otherwise, timestamps made where missing.
// A data folder whose path holds "%d" changes nothing.
TEST_F(WebModeTest, AwkwardSourcesGivePlayableSegmentsWithRealFfmpeg)
{
    struct Case
    {
        const char *name;
        QString clip;
        QString audio;
        bool percentFolder;
    };
    const std::vector<Case> cases {
        {"H.264 with PCM in MOV", clipMovPcm(), QStringLiteral("aac"), false},
        {"H.264 and MP3 in AVI", clipAviH264(), QStringLiteral("mp3"), false},
        {"data folder with %d", testsupport::clipH264Mp4(), QStringLiteral("aac"), true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        if (c.percentFolder)
        {
            qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data %d %s/")).toUtf8());
            CGlobal::initPath();
        }
        const QString source = addSource(c.clip, QStringLiteral("c%1.%2").arg(m_nextId).arg(QFileInfo(c.clip).suffix()));
        auto video = makeVideo(source, false, QString(), true);
        ASSERT_EQ(video->codec(), QDtaVideo::CodecH264);
        ASSERT_GE(video->totalTime(), 2);
        QWebModel model(video);
        const StageResult result = runStage(model);
        qunsetenv("VANTREL_DATA_DIR");
        ASSERT_TRUE(result.ok) << result.message.toStdString();

        const QString folder = model.sliceFolder();
        const QStringList segments = playlistSegments(folder, video->videoKey());
        ASSERT_FALSE(segments.isEmpty());
        for (const QString &segment : segments)
        {
            EXPECT_EQ(ffprobe(folder + segment, QStringLiteral("stream=codec_name"), QStringLiteral("v")),
                      QStringList {QStringLiteral("h264")});
            EXPECT_EQ(ffprobe(folder + segment, QStringLiteral("stream=codec_name"), QStringLiteral("a")),
                      QStringList {c.audio});
        }
        const QStringList duration = ffprobe(folder + video->videoKey(), QStringLiteral("format=duration"));
        ASSERT_EQ(duration.size(), 1);
        EXPECT_NEAR(duration.first().toDouble(), 3.0, 0.5);
        // The folder holds the playlist and its segments, nothing of a run made again.
        QStringList expected = segments;
        expected << video->videoKey();
        expected.sort();
        QStringList present = folderEntries(folder);
        present.sort();
        EXPECT_EQ(present, expected);
    }
    CGlobal::initPath();
}

// Audio segments can't carry is seen in ffmpeg's stream listing: that run is ended at once, not
// left to finish, and the slicing is made again with AAC.
TEST_F(WebModeTest, AudioToEncodeEndsTheCopyingRunAtOnce)
{
    installFake("case \" $* \" in\n"
                "  *' -c:a copy '*) printf '  Stream #0:1[0x2](und): Audio: pcm_s16le (lpcm / 0x6D63706C), 48000 Hz\\n'\n"
                "     while :; do sleep 0.1; done ;;\n"
                "esac\n" + FakeSlice);
    auto video = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("pcm.mov")), false);
    QWebModel model(video);
    const auto started = std::chrono::steady_clock::now();
    const StageResult result = runStage(model);
    ASSERT_TRUE(result.ok) << result.message.toStdString();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(fakeArgs(0).join(QLatin1Char(' ')).contains(QStringLiteral("-c:a copy")));
    EXPECT_TRUE(fakeArgs(1).join(QLatin1Char(' ')).contains(QStringLiteral("-c:a aac")));
    EXPECT_TRUE(QFileInfo::exists(model.sliceFolder() + video->videoKey()));
}

// A source whose index promises more than its data holds fails, with no playlist left.
TEST_F(WebModeTest, TruncatedSourceFailsAndLeavesNoPlaylist)
{
    const QByteArray whole = testsupport::readAll(clipLongFaststart());
    ASSERT_GT(whole.size(), 1000);
    const QString source = m_sourceDir + QStringLiteral("cut.mp4");
    ASSERT_TRUE(testsupport::writeAll(source, whole.left(whole.size() / 2)));
    auto video = makeVideo(source, false, QString(), true);
    ASSERT_EQ(video->totalTime(), 20);

    QWebModel model(video);
    const StageResult result = runStage(model);
    EXPECT_TRUE(result.threw);
    EXPECT_TRUE(result.message.startsWith(QStringLiteral("视频切片不完整：切片总时长"))) << result.message.toStdString();
    EXPECT_TRUE(result.message.contains(QStringLiteral("原视频时长20秒"))) << result.message.toStdString();
    EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
    EXPECT_EQ(folderEntries(m_sourceDir), QStringList {QStringLiteral("cut.mp4")});
}

// A 4:4:4 source with odd dimensions comes out 4:2:0 with even dimensions.
TEST_F(WebModeTest, TranscodeGivesBrowserPixelsWithRealFfmpeg)
{
    const QString source = addSource(clipOdd444(), QStringLiteral("screen.mp4"));
    for (const QString &quality : {QStringLiteral("-preset ultrafast"), QStringLiteral("-preset ultrafast -vf hflip")})
    {
        SCOPED_TRACE(quality.toStdString());
        auto video = makeVideo(source, true, quality, true);
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        const QString folder = model.sliceFolder();
        const QStringList segments = playlistSegments(folder, video->videoKey());
        ASSERT_FALSE(segments.isEmpty());
        for (const QString &segment : segments)
            EXPECT_EQ(ffprobe(folder + segment, QStringLiteral("stream=codec_name,pix_fmt,width,height"), QStringLiteral("v")),
                      QStringList {QStringLiteral("h264,160,120,yuv420p")});
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
    }
}

namespace
{
    // 2 s of 320x180 H.264 from x264's fastest preset (its own profile tells a copy from a
    // transcode), in the pixel format and size given.
    QString clipPixels(const char *pixFmt, const char *size = "320x180")
    {
        return testsupport::makeClip(QStringLiteral("h264-%1-%2-2s.mp4").arg(QLatin1String(pixFmt), QLatin1String(size)),
            args({"-f", "lavfi", "-i", QStringLiteral("testsrc=size=%1:rate=25:duration=2").arg(QLatin1String(size)).toUtf8().constData(),
                  "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", pixFmt}));
    }

    // A phone's sideways recording: the pixels stored 320x180, shown turned by 90 degrees.
    QString clipRotated()
    {
        const QString plain = clipPixels("yuv420p");
        return plain.isEmpty() ? QString() : testsupport::makeClip(QStringLiteral("h264-320x180-rotate90-2s.mp4"),
            {QStringLiteral("-i"), plain, QStringLiteral("-c"), QStringLiteral("copy"),
             QStringLiteral("-metadata:s:v:0"), QStringLiteral("rotate=90")});
    }

    // Notes a stage sends to its row, from whatever thread.
    class NoteLog
    {
    public:
        explicit NoteLog(QBase &stage)
        {
            QObject::connect(&stage, &QBase::signal_note, [this](const QString &note) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_notes << note;
            });
        }

        QStringList notes()
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            return m_notes;
        }

    private:
        std::mutex m_mutex;
        QStringList m_notes;
    };
}

// Without transcoding, a source whose copy a browser would show wrong (turned, stretched or not
// at all) is transcoded, and the row is told why; a plain 4:2:0 source is still copied as it is.
// The segments are checked with ffprobe: upright size, 8-bit 4:2:0.
TEST_F(WebModeTest, CopyThatWouldPlayWrongIsTranscodedAndToldWithRealFfmpeg)
{
    struct Case
    {
        const char *name;
        QString clip;
        const char *segments; // codec,profile,width,height,pix_fmt of every segment
        const char *why;      // in the row's note; empty: copied, no note
    };
    const std::vector<Case> cases {
        {"plain 4:2:0", clipPixels("yuv420p"), "h264,Constrained Baseline,320,180,yuv420p", ""},
        {"rotated", clipRotated(), "h264,High,180,320,yuv420p", "90度旋转"},
        {"4:4:4", clipPixels("yuv444p"), "h264,High,320,180,yuv420p", "8位4:4:4像素"},
        {"10-bit", clipPixels("yuv420p10le"), "h264,High,320,180,yuv420p", "10位4:2:0像素"},
        {"odd height 4:2:2", clipPixels("yuv422p", "320x181"), "h264,High,320,180,yuv420p", "画面尺寸320×181不是偶数"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.clip.isEmpty());
        const QString source = addSource(c.clip, QStringLiteral("p%1.mp4").arg(m_nextId));
        // A quality chosen earlier stays in the settings; a transcode for the browser keeps the
        // source's own size and quality.
        auto video = makeVideo(source, false, QStringLiteral("-s 160x90"), true);
        ASSERT_EQ(video->codec(), QDtaVideo::CodecH264);
        QWebModel model(video);
        NoteLog log(model);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();

        const QString why = QString::fromUtf8(c.why);
        const QStringList notes = log.notes();
        if (why.isEmpty())
        {
            EXPECT_TRUE(notes.isEmpty()) << notes.join(QLatin1Char('|')).toStdString();
        }
        else
        {
            ASSERT_EQ(notes.size(), 1);
            EXPECT_TRUE(notes.first().contains(why)) << notes.first().toStdString();
            EXPECT_TRUE(notes.first().endsWith(QStringLiteral("浏览器无法直接播放，已自动转码"))) << notes.first().toStdString();
        }
        const QString folder = model.sliceFolder();
        const QStringList segments = playlistSegments(folder, video->videoKey());
        ASSERT_FALSE(segments.isEmpty());
        for (const QString &segment : segments)
        {
            EXPECT_EQ(ffprobe(folder + segment, QStringLiteral("stream=codec_name,profile,width,height,pix_fmt"), QStringLiteral("v")),
                      QStringList {QString::fromUtf8(c.segments)});
        }
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
    }
}

// The job forwards its stage's note to its row, once, and completes.
TEST_F(WebModeTest, WorkItemForwardsWhyItTranscodes)
{
    const QString clip = clipRotated();
    ASSERT_FALSE(clip.isEmpty());
    const QString source = addSource(clip, QStringLiteral("phone.mp4"));
    QDtaConfig config;
    config.setEncryptType(4);
    config.setCourseId(QString::fromLatin1(CourseId));
    config.setAutoConvert(false);
    QFileWork work(source, config);
    QSignalSpy notes(&work, SIGNAL(signal_note(QString)));
    QSignalSpy completes(&work, SIGNAL(signal_complete()));
    auto future = std::async(std::launch::async, [&work]() { return work.run(); });
    ASSERT_TRUE(testsupport::waitUntil([&]() { return completes.count() == 1 && notes.count() > 0; }, 60000));
    EXPECT_TRUE(future.get());
    // Whatever else the run posted to this thread arrives now.
    QCoreApplication::sendPostedEvents();
    ASSERT_EQ(notes.count(), 1);
    EXPECT_EQ(notes.first().at(0).toString(), QStringLiteral("画面带有90度旋转，浏览器无法直接播放，已自动转码"));
}

// An input ffmpeg can't read gives a short message with ffmpeg's own reason, not its output.
TEST_F(WebModeTest, UnreadableInputGivesShortMessageWithRealFfmpeg)
{
    const QString source = m_sourceDir + QStringLiteral("broken.mp4");
    ASSERT_TRUE(testsupport::writeAll(source, QByteArray(4096, 'x')));
    auto video = makeVideo(source, false);
    QWebModel model(video);
    const StageResult result = runStage(model);
    EXPECT_TRUE(result.threw);
    EXPECT_TRUE(result.message.startsWith(QStringLiteral("ffmpeg处理失败："))) << result.message.toStdString();
    EXPECT_TRUE(result.message.contains(QStringLiteral("Invalid data found"))) << result.message.toStdString();
    EXPECT_LT(result.message.size(), 260);
    EXPECT_FALSE(result.message.contains(QStringLiteral("ffmpeg version")));
    EXPECT_FALSE(result.message.contains(QStringLiteral("0x")));
    EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
}

// The start-up sweep removes what a dead run left in the slice folder and nothing else: not a
// finished job, not a foreign entry, not what a link points at.
TEST_F(WebModeTest, StartupSweepRemovesOnlyLeftovers)
{
    const QString root = CGlobal::slicePath();
    const QString outside = m_dir + QStringLiteral("outside/");
    QDir().mkpath(outside);
    testsupport::writeAll(outside + QWebModel::slicingMarker(), "");
    testsupport::writeAll(outside + QStringLiteral("keep.ts"), "ts");
    testsupport::writeAll(m_dir + QStringLiteral("outside.mp4"), "mp4");

    struct Entry
    {
        const char *name;
        QStringList files;   // inside the folder; empty: `name` is a file
        bool removed;
    };
    const std::vector<Entry> entries {
        {"101", {QStringLiteral("a.m3u8"), QStringLiteral("a0.ts")}, false},                      // finished job
        {"102", {QWebModel::slicingMarker(), QStringLiteral("p.m3u8.tmp"), QStringLiteral("p0.ts")}, true},
        {"103.removing", {QStringLiteral("p0.ts")}, true},
        {"104.transcode.mp4", {}, true},
        {"105.transcode.mp4.part", {}, false},
        {"notes", {QWebModel::slicingMarker()}, false},
        {"106x", {QWebModel::slicingMarker()}, false},
        {"readme.txt", {}, false},
    };
    for (const Entry &e : entries)
    {
        const QString path = root + QString::fromLatin1(e.name);
        if (e.files.isEmpty())
        {
            ASSERT_TRUE(testsupport::writeAll(path, "x"));
        }
        for (const QString &file : e.files)
        {
            QDir().mkpath(path);
            ASSERT_TRUE(testsupport::writeAll(path + QLatin1Char('/') + file, "x"));
        }
    }
    ASSERT_TRUE(QFile::link(QDir::cleanPath(outside), root + QStringLiteral("107")));
    ASSERT_TRUE(QFile::link(m_dir + QStringLiteral("outside.mp4"), root + QStringLiteral("108.transcode.mp4")));

    QWebModel::sweepLeftovers();

    for (const Entry &e : entries)
        EXPECT_EQ(QFileInfo::exists(root + QString::fromLatin1(e.name)), !e.removed) << e.name;
    EXPECT_TRUE(QFileInfo::exists(root + QStringLiteral("101/a0.ts")));
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("107")).isSymLink());
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("108.transcode.mp4")).isSymLink());
    EXPECT_EQ(folderEntries(outside), (QStringList {QWebModel::slicingMarker(), QStringLiteral("keep.ts")}));
    EXPECT_EQ(testsupport::readAll(m_dir + QStringLiteral("outside.mp4")), QByteArray("mp4"));

    // What the sweep rightly kept goes now: later tests look for leftovers in this folder.
    QFile::remove(root + QStringLiteral("107"));
    QFile::remove(root + QStringLiteral("108.transcode.mp4"));
    for (const Entry &e : entries)
    {
        const QString path = root + QString::fromLatin1(e.name);
        if (!QFile::remove(path))
            QDir(path).removeRecursively();
    }
}

namespace
{
    // Children of `parent` named `comm`, read from /proc.
    std::vector<pid_t> childrenNamed(pid_t parent, const QByteArray &comm)
    {
        std::vector<pid_t> found;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs))
        {
            bool isPid = false;
            const pid_t pid = static_cast<pid_t>(entry.toLongLong(&isPid));
            if (!isPid)
                continue;
            const QByteArray stat = testsupport::readAll(QStringLiteral("/proc/%1/stat").arg(entry));
            const int open = stat.indexOf('(');
            const int close = stat.lastIndexOf(')');
            if (open < 0 || close < open)
                continue;
            const QList<QByteArray> rest = stat.mid(close + 2).split(' ');
            if (stat.mid(open + 1, close - open - 1) == comm && rest.size() > 1 && rest.at(1).toLongLong() == parent)
                found.push_back(pid);
        }
        return found;
    }

    bool processEnded(pid_t pid)
    {
        if (processGone(pid))
            return true;
        const QByteArray stat = testsupport::readAll(QStringLiteral("/proc/%1/stat").arg(pid));
        const int close = stat.lastIndexOf(')');
        return close > 0 && stat.size() > close + 2 && stat.at(close + 2) == 'Z';
    }
}

// ffmpeg ends with the program even when the program is killed outright, and the start-up
// sweep then removes the transcode it left.
TEST_F(WebModeTest, FfmpegDiesWithKilledProgramAndSweepRemovesItsOutput)
{
    const QString source = addSource(testsupport::clipH264Mp4(), QStringLiteral("k.mp4"));
    QTiedProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedChannels);
    helper.start(QStringLiteral(WEBMODE_HELPER), {source});
    ASSERT_TRUE(helper.waitForStarted(10000));
    const pid_t helperPid = static_cast<pid_t>(helper.processId());

    std::vector<pid_t> ffmpeg;
    ASSERT_TRUE(testsupport::waitUntil([&]() {
        ffmpeg = childrenNamed(helperPid, "ffmpeg");
        return !ffmpeg.empty();
    }, 30000));
    const QString root = CGlobal::slicePath();
    ASSERT_TRUE(testsupport::waitUntil([&]() {
        return !QDir(root).entryList({QStringLiteral("*.transcode.mp4")}, QDir::Files | QDir::NoSymLinks).isEmpty();
    }, 30000));

    ASSERT_EQ(::kill(helperPid, SIGKILL), 0);
    ASSERT_TRUE(helper.waitForFinished(10000));
    EXPECT_TRUE(testsupport::waitUntil([&]() { return processEnded(ffmpeg.front()); }, 15000))
        << "ffmpeg outlived the program";
    ASSERT_FALSE(QDir(root).entryList({QStringLiteral("*.transcode.mp4")}, QDir::Files | QDir::NoSymLinks).isEmpty());

    QWebModel::sweepLeftovers();
    EXPECT_TRUE(QDir(root).entryList({QStringLiteral("*.transcode.mp4")}, QDir::Files | QDir::NoSymLinks).isEmpty());
    EXPECT_EQ(folderEntries(m_sourceDir), QStringList {QStringLiteral("k.mp4")});
}

// Once the job was added, something else takes the source's name (a link to another video, or
// another file renamed over it): the stage fails with the reason before ffmpeg runs, and
// nothing is made.
TEST_F(WebModeTest, ReplacedSourceFailsBeforeFfmpeg)
{
    installFake(FakeSlice);
    const QString other = m_dir + QStringLiteral("private/exam.avi");
    QDir().mkpath(m_dir + QStringLiteral("private"));
    ASSERT_TRUE(QFile::copy(testsupport::clipMpeg4Avi(), other));
    const QByteArray otherBytes = testsupport::readAll(other);
    struct Case
    {
        const char *name;
        bool link;
        bool convert;
    };
    const Case cases[] = {
        {"a link, slicing", true, false},
        {"a link, transcoding", true, true},
        {"another file, slicing", false, false},
        {"another file, transcoding", false, true},
    };
    int n = 0;
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const QString source = addSource(testsupport::clipH264Mp4(), QStringLiteral("lesson%1.mp4").arg(++n));
        auto video = makeVideo(source, c.convert);
        const QString planted = source + QStringLiteral(".planted");
        if (c.link)
            ASSERT_EQ(::symlink(QFile::encodeName(other).constData(), QFile::encodeName(planted).constData()), 0);
        else
            ASSERT_TRUE(QFile::copy(other, planted));
        ASSERT_EQ(::rename(QFile::encodeName(planted).constData(), QFile::encodeName(source).constData()), 0);

        QWebModel model(video);
        const StageResult result = runStage(model);
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, QStringLiteral("源视频已被更改或替换，请重新添加"));
        EXPECT_FALSE(QFileInfo::exists(m_fakeDir + QStringLiteral("pid"))) << "ffmpeg must not run";
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
        EXPECT_EQ(testsupport::readAll(other), otherBytes);
    }
}

// A source that is no readable file (a FIFO above all) fails at once with the packaged modes'
// message: no ffmpeg runs, nothing is made, and the pool's one worker goes on to the next job.
TEST_F(WebModeTest, UnreadableSourceFailsAtOnceAndHoldsNoWorker)
{
    installFake(FakeSlice);
    const QString fifo = m_sourceDir + QStringLiteral("pipe.mp4");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = m_sourceDir + QStringLiteral("folder.mp4");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString message = QStringLiteral("源视频文件不存在或无法读取");
    struct Case
    {
        const char *name;
        QString path;
        bool convert;
    };
    const std::vector<Case> cases {
        {"FIFO, slicing", fifo, false},
        {"FIFO, transcoding", fifo, true},
        {"missing file", m_sourceDir + QStringLiteral("gone.mp4"), false},
        {"folder", folder, true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto video = makeVideo(c.path, c.convert);
        QWebModel model(video);
        const auto started = std::chrono::steady_clock::now();
        const StageResult result = runStage(model, nullptr, 20000);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, message);
        EXPECT_FALSE(QFileInfo::exists(m_fakeDir + QStringLiteral("pid"))) << "ffmpeg must not run";
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
    }

    // Restored into a pool of one worker, before a sound job: the FIFO job fails, the other runs.
    const auto stuck = makeVideo(fifo, false);
    const auto sound = makeVideo(addSource(testsupport::clipH264Mp4(), QStringLiteral("sound.mp4")), false);
    Json::Value pending(Json::arrayValue);
    for (const auto &video : {stuck, sound})
    {
        Json::Value item(Json::objectValue);
        item["data"] = video->toJson();
        item["step"] = 1;
        pending.append(item);
    }
    const QString file = m_dir + QStringLiteral("work.json");
    ASSERT_TRUE(QJsonFile::write(file, pending, true));

    std::mutex mutex;
    std::vector<qint64> completed;
    QStringList errors;
    QWorkPool pool;
    pool.setFilePath(file);
    QObject::connect(&pool, &QWorkPool::completeItem, [&](qlonglong id) {
        std::lock_guard<std::mutex> lock(mutex);
        completed.push_back(id);
    });
    QObject::connect(&pool, &QWorkPool::addItem, [&](QFileWork *work) {
        QObject::connect(work, &QFileWork::signal_error, [&](const QString &error) {
            std::lock_guard<std::mutex> lock(mutex);
            errors << error;
        });
    });
    pool.start(1);
    const bool ended = testsupport::waitUntil([&]() {
        std::lock_guard<std::mutex> lock(mutex);
        return !completed.empty() && !errors.isEmpty();
    }, 30000);
    pool.stop();
    ASSERT_TRUE(ended);
    EXPECT_EQ(completed, (std::vector<qint64> {sound->id()}));
    EXPECT_EQ(errors, QStringList {message});
    ASSERT_NE(pool.work(stuck->id()), nullptr);
    EXPECT_FALSE(pool.work(stuck->id())->isComplete());
    EXPECT_TRUE(pool.work(sound->id())->isComplete());
}

// An ffmpeg that stops talking is ended at the silence bound (SIGTERM, then SIGKILL) with a
// clear message; it is reaped and the run leaves nothing behind.
TEST_F(WebModeTest, SilentFfmpegIsEndedAtTheBound)
{
    const int boundMs = 1500;
    qputenv("VANTREL_STAGE_SILENCE_MS", QByteArray::number(boundMs));
    struct Case
    {
        const char *name;
        QByteArray body;
        bool convert;
        bool stopIt; // the test sends SIGSTOP once the fake talks
    };
    const std::vector<Case> cases {
        {"says nothing and sleeps", "exec sleep 600", false, false},
        {"says nothing while transcoding", "exec sleep 600", true, false},
        {"falls silent and ignores SIGTERM",
         "printf '  Duration: 00:10:00.00\\nframe=1 time=00:00:01.00\\r'\ntrap '' TERM\nwhile :; do sleep 0.1; done", false,
         false},
        {"stopped while slicing", "printf '  Duration: 00:10:00.00\\n'\n"
                                  "while :; do printf 'frame=1 time=00:00:01.00\\r'; sleep 0.1; done", false, true},
        {"stopped while transcoding", "printf '  Duration: 00:10:00.00\\n'\n"
                                      "while :; do printf 'frame=1 time=00:00:01.00\\r'; sleep 0.1; done", true, true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        installFake(c.body);
        QFile::remove(m_fakeDir + QStringLiteral("pid"));
        const QString source = addSource(testsupport::clipH264Mp4(), QStringLiteral("q%1.mp4").arg(m_nextId));
        const QByteArray before = fileDigest(source);
        auto video = makeVideo(source, c.convert);
        QWebModel model(video);
        ProgressLog log;
        if (c.stopIt)
        {
            const bool connected = QObject::connect(&model, SIGNAL(signal_progress(int, int)), &log,
                                                    SLOT(onProgress(int, int)), Qt::DirectConnection);
            EXPECT_TRUE(connected);
        }
        const auto started = std::chrono::steady_clock::now();
        auto future = std::async(std::launch::async, [&model]() {
            StageResult result;
            try {
                model.run();
                result.ok = true;
            } catch (const UException &e) {
                result.threw = true;
                result.message = e.qMessage();
            }
            return result;
        });
        ASSERT_TRUE(testsupport::waitUntil([this]() { return QFileInfo::exists(m_fakeDir + QStringLiteral("pid")); },
                                           10000));
        const pid_t pid = fakePid();
        ASSERT_GT(pid, 0);
        if (c.stopIt)
        {
            // Once its progress has been read, it is stopped where it stands.
            ASSERT_TRUE(testsupport::waitUntil([&log]() { return !log.values().empty(); }, 10000));
            ASSERT_EQ(::kill(pid, SIGSTOP), 0);
        }
        if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready)
        {
            ::kill(pid, SIGKILL);
            model.stop();
            FAIL() << "the silent child was not ended";
        }
        const StageResult result = future.get();
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(boundMs));
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, QStringLiteral("视频处理程序长时间无响应，已停止处理"));
        EXPECT_TRUE(processGone(pid)) << "child not reaped";
        EXPECT_FALSE(QFileInfo::exists(model.transcodeTarget()));
        // A transcode that failed leaves the job folder alone; there was none.
        EXPECT_FALSE(QFileInfo::exists(model.sliceFolder()));
        EXPECT_TRUE(folderEntries(CGlobal::slicePath()).filter(QStringLiteral("transcode")).isEmpty());
        EXPECT_EQ(fileDigest(source), before);
        QFile::remove(source);
    }
}

#include "test_webmode.moc"
