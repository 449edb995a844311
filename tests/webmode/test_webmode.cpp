#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

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
#include "qdtaconfig.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "quser.h"
#include "qwebmodel.h"
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
    EXPECT_EQ(result.message, QStringLiteral("Web加密模式不支持非h264编码的视频"));
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
    EXPECT_EQ(fakeArgs(0), (QStringList {"-nostdin", "-y", "-i", source, "-max_muxing_queue_size", "1024",
                                         "-vcodec", "h264", "-b:v", "512k", "-vf", "scale=320:-2, setsar=1", target}));
    const QString playlist = model.sliceFolder()
        + QStringLiteral("%1_%2_%3_%4.m3u8").arg(TeacherId).arg(QString::fromLatin1(CourseId)).arg(video->id())
              .arg(QString::fromLatin1(QCryptographicHash::hash(video->videoKey().toUtf8(), QCryptographicHash::Md5).toHex()));
    EXPECT_EQ(fakeArgs(1), (QStringList {"-nostdin", "-y", "-i", target, "-c", "copy", "-bsf:v", "h264_mp4toannexb",
                                         "-hls_time", "30", "-hls_list_size", "0", playlist}));
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
        {"crash", "printf '  Duration: 00:00:10.00\\n'\nkill -SEGV $$", false, QStringLiteral("ffmpeg exit crash"), QString()},
        {"crash while transcoding", "kill -SEGV $$", true, QStringLiteral("ffmpeg exit crash"), QString()},
        {"silent exit 1", "exit 1", false, QStringLiteral("ffmpeg exit code 1"), QString()},
        {"success without a playlist", "exit 0", false, QStringLiteral("切片文件重命名失败"), QString()},
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
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
    for (const QByteArray &run : {QByteArray("first"), QByteArray("second")})
    {
        installFake("printf '" + run + "' > \"$out\"");
        QWebModel model(video);
        const StageResult result = runStage(model);
        ASSERT_TRUE(result.ok) << result.message.toStdString();
        EXPECT_EQ(testsupport::readAll(model.sliceFolder() + video->videoKey()), run);
        EXPECT_EQ(folderEntries(model.sliceFolder()), QStringList {video->videoKey()});
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
            EXPECT_EQ(errors.first().at(0).toString(), QStringLiteral("Web加密模式不支持非h264编码的视频"));
            EXPECT_FALSE(QFileInfo::exists(folder));
        }
        EXPECT_TRUE(QFileInfo::exists(source));
    }
}

#include "test_webmode.moc"
