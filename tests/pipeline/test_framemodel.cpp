// Encryption stage: authorization code, key, the child over the real pipe, output names.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "cstringhelp.h"
#include "pipelinehelpers.h"
#include "platformserver.h"
#include "qdtavideo.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qmediacheck.h"
#include "qrecords.h"
#include "qrunfolder.h"
#include "qtutils.h"
#include "quser.h"
#include "servercrypto.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    const char *kMac = "W1A2B3C4D5";

    // Every entry of a folder, hidden ones included.
    QStringList entriesOf(const QString &folder)
    {
        QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        entries.sort();
        return entries;
    }

    QString messageOf(const std::function<void()> &call)
    {
        try {
            call();
        } catch (const UException &e) {
            return e.qMessage();
        }
        return QStringLiteral("<no exception>");
    }

    std::string withCheck(const std::string &rest)
    {
        return servercrypto::md5Variant(rest).substr(0, 2) + rest;
    }
}

TEST(AuthCodeTest, ServerCodeGivesKeyBase)
{
    const std::string code = servercrypto::authCode(kMac, 12, "demo-key-12");
    const std::string text = QFrameModel::parseAuthCode(code, kMac, 12);
    EXPECT_EQ(QFrameModel::keyBaseOf(text), "demo-key-12");
}

TEST(AuthCodeTest, BadCodesNeverGiveAKey)
{
    const QString empty = QStringLiteral("获取课程授权码失败！");
    const QString parse = QStringLiteral("解析课程授权码失败！");
    const std::string good = servercrypto::authCode(kMac, 12, "demo-key-12");
    const std::string key = servercrypto::md5Variant(std::string(kMac) + "12");
    struct Case
    {
        const char *what;
        std::string code;
        int course;
        QString message;
    } cases[] = {
        {"empty", "", 12, empty},
        {"one character", "A", 12, parse},
        {"check of the empty text only", servercrypto::md5Variant("").substr(0, 2), 12, parse},
        {"wrong check", std::string(good[0] == 'A' ? "B" : "A") + good.substr(1), 12, parse},
        {"other course", good, 13, parse},
        {"other machine", servercrypto::authCode("W000000000", 12, "demo-key-12"), 12, parse},
        {"no str", withCheck(servercrypto::aesEncrypt("{\"x\":\"demo\"}", key)), 12, parse},
        {"str not text", withCheck(servercrypto::aesEncrypt("{\"str\":5}", key)), 12, parse},
        {"empty str", withCheck(servercrypto::aesEncrypt("{\"str\":\"\"}", key)), 12, parse},
        {"not json", withCheck(servercrypto::aesEncrypt("demo-key-12", key)), 12, parse},
        {"not base64 blocks", withCheck("QUJD"), 12, parse},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(messageOf([&]() { QFrameModel::keyBaseOf(QFrameModel::parseAuthCode(c.code, kMac, c.course)); }),
                  c.message);
    }
}

TEST(FrameModelNamesTest, ShortNameAndPipeName)
{
    const std::pair<const char *, const char *> names[] = {
        {"1001_12_77_lesson.vep", "lesson.vep"},
        {"1001_12_77_my_first_clip.vep", "my_first_clip.vep"},
        {"12_77_a.vep", "12_77_a.vep"},
        {"a.vep", "a.vep"},
        {"1_2_3_", ""},
    };
    for (const auto &n : names)
        EXPECT_EQ(QFrameModel::shortNameOf(QString::fromUtf8(n.first)), QString::fromUtf8(n.second)) << n.first;

    const std::string pipe = QFrameModel::pipeNameOf(QStringLiteral("1001_12_77_第一课.vep"));
    EXPECT_EQ(pipe, "\\\\.\\pipe\\" + CStringHelp::md5("1001_12_77_第一课.vep"));
    EXPECT_EQ(QFrameModel::mixKey("demo-key-12", ""), CStringHelp::md5Variant("demo-key-12"));
    EXPECT_NE(QFrameModel::mixKey("demo-key-12", "12"), QFrameModel::mixKey("demo-key-12", "13"));
    EXPECT_EQ(QFrameModel::mixKey("demo-key-12", "12").size(), 32u);
}

// One job against the local platform server, with a child program of the test's choice.
class FrameModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir();
        qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data")).toUtf8());
        // The data folder of this test, whatever an earlier one used.
        CGlobal::initPath();
        m_server.reset(new pipelinetest::SignedIn);
        ASSERT_NE(m_server->server(), nullptr);
        QFrameModel::setProgramPath(pipelinetest::fakeSorbin());
        m_videos = m_dir + QStringLiteral("videos/");
        QDir().mkpath(m_videos);
    }

    std::shared_ptr<QDtaVideo> makeVideo(const QString &behaviour, const QString &name = QStringLiteral("a.mp4"),
                                         int mode = 7)
    {
        const QString path = m_videos + name;
        if (!QFile::exists(path))
            testsupport::writeAll(path, "source video bytes");
        QDtaConfig config = pipelinetest::config(mode, QStringLiteral("12"));
        config.setCodecQuality(behaviour);
        return std::make_shared<QDtaVideo>(QFileWork_nextId(), path, config);
    }

    static qint64 QFileWork_nextId()
    {
        static qint64 id = 1700000000000LL;
        return ++id;
    }

    // Runs the stage on a worker thread, as the pool does; `during` runs on this thread meanwhile.
    QString runStage(QFrameModel &model, const std::function<void()> &during = {})
    {
        QString message;
        std::atomic<bool> done(false);
        std::thread worker([&]() {
            try {
                model.run();
            } catch (const UException &e) {
                message = e.qMessage();
                if (message.isEmpty())
                    message = QStringLiteral("<empty>");
            } catch (...) {
                message = QStringLiteral("<other>");
            }
            done = true;
        });
        if (during)
            during();
        const bool ended = testsupport::waitUntil([&]() { return done.load(); }, 20000);
        if (!ended)
            model.stop();
        worker.join();
        EXPECT_TRUE(ended) << "stage did not end";
        return message;
    }

    void connectProgress(QFrameModel &model)
    {
        QObject::connect(&model, &QBase::signal_progress, [this](int stage, int percent) {
            std::lock_guard<std::mutex> lock(m_progressMutex);
            m_progress.append(qMakePair(stage, percent));
        });
    }

    QList<int> percents()
    {
        std::lock_guard<std::mutex> lock(m_progressMutex);
        QList<int> out;
        for (const auto &p : m_progress)
            out.append(p.second);
        return out;
    }

    QString m_dir;
    QString m_videos;
    std::unique_ptr<pipelinetest::SignedIn> m_server;
    // A standard mutex: ThreadSanitizer cannot see the slow path of Qt's own.
    std::mutex m_progressMutex;
    QList<QPair<int, int>> m_progress;
};

TEST_F(FrameModelTest, SuccessNamesOutputAndRecordsIt)
{
    auto video = makeVideo(QStringLiteral("success"));
    QFrameModel model(video);
    connectProgress(model);
    const int before = QRecords::instance()->count();
    EXPECT_EQ(runStage(model), QString());

    EXPECT_EQ(percents(), (QList<int> {10, 57, 100}));
    for (const auto &p : m_progress)
        EXPECT_EQ(p.first, 2);
    const QString output = m_videos + QStringLiteral("a.vep");
    ASSERT_TRUE(QFile::exists(output));
    // The key reached the child on standard input, derived from the course's code.
    EXPECT_EQ(testsupport::readAll(output),
              QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12")));
    EXPECT_FALSE(QFile::exists(m_videos + video->videoKey()));
    EXPECT_FALSE(QFile::exists(m_videos + video->videoKey() + QStringLiteral(".tmp")));
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.mp4")), QByteArray("source video bytes"));
    ASSERT_EQ(QRecords::instance()->count(), before + 1);
    const record_ptr record = QRecords::instance()->records().last();
    EXPECT_EQ(record->fileName(), QStringLiteral("a.vep"));
    EXPECT_EQ(record->filePath(), m_videos);
    EXPECT_EQ(record->fileType(), 7u);

    // The authorization request carried the job's number and the course.
    const auto calls = m_server->server()->requests("Video/getAuthCode");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].innerValue("courseId"), "12");
    EXPECT_EQ(calls[0].innerValue("rand_enc"), std::to_string(static_cast<int32_t>(video->id() & 0xFFFFFFFF)));
}

// The short name is taken (by the source itself, or by an earlier output such as a.mp4's
// when a.avi makes "a.vep"): the occupant stays as it was and the output keeps its video key.
TEST_F(FrameModelTest, TakenShortNameKeepsTheOccupant)
{
    struct Case {
        const char *source;
        const char *occupant;
        bool occupantIsTheSource;
    };
    for (const Case &c : {Case {"lesson.vep", "lesson.vep", true}, Case {"a.avi", "a.vep", false}}) {
        SCOPED_TRACE(c.source);
        const QString occupant = m_videos + QString::fromLatin1(c.occupant);
        auto video = makeVideo(QStringLiteral("success"), QString::fromLatin1(c.source));
        const QByteArray before = c.occupantIsTheSource ? QByteArray("source video bytes") : QByteArray("earlier output");
        if (!c.occupantIsTheSource) {
            ASSERT_TRUE(testsupport::writeAll(occupant, before));
        }
        QFrameModel model(video);
        EXPECT_EQ(runStage(model), QString());
        EXPECT_EQ(testsupport::readAll(occupant), before);
        EXPECT_TRUE(QFile::exists(m_videos + video->videoKey()));
        const record_ptr record = QRecords::instance()->records().last();
        EXPECT_EQ(record->fileName(), video->videoKey());
        EXPECT_TRUE(QFile::exists(record->filePath() + record->fileName()));
    }
}

// What a killed run left is finished at the restart, never encrypted again (the child here
// would fail; no authorization is asked): an output under the video key without a record is
// recorded and renamed; a recorded output gets its rename; when the short name was taken
// meanwhile, the record follows the output instead.
TEST_F(FrameModelTest, WhatAKilledRunLeftIsFinishedNotEncryptedAgain)
{
    struct Case {
        const char *what;
        const char *source;
        bool recorded;
        bool takenMeanwhile;
    };
    for (const Case &c : {Case {"output, no record", "a.mp4", false, false}, Case {"recorded", "c.mp4", true, false},
                          Case {"recorded, name taken", "b.mp4", true, true}}) {
        SCOPED_TRACE(c.what);
        auto video = makeVideo(QStringLiteral("fail"), QString::fromLatin1(c.source));
        const QString output = QFrameModel::outputPathOf(*video);
        const QString final = QFrameModel::finalPathOf(*video);
        ASSERT_TRUE(testsupport::writeAll(output, "encrypted earlier"));
        // As the killed run noted it when it moved it out of its run folder.
        ASSERT_TRUE(QRunFolder::noteOutput(video->id(), m_videos, video->videoKey()));
        if (c.recorded)
            QRecords::instance()->addJobRecord(video->id(), final, output, 7);
        if (c.takenMeanwhile) {
            ASSERT_TRUE(testsupport::writeAll(final, "someone else's"));
        }
        // As the job does at its start: a recorded job is completed, any other one runs.
        if (!QFrameModel::completeRecorded(*video)) {
            QFrameModel model(video);
            EXPECT_EQ(runStage(model), QString());
        }
        const record_ptr record = QRecords::instance()->jobRecord(video->id());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(testsupport::readAll(record->filePath() + record->fileName()), QByteArray("encrypted earlier"));
        EXPECT_EQ(record->filePath() + record->fileName(), c.takenMeanwhile ? output : final);
        EXPECT_EQ(QFile::exists(output), c.takenMeanwhile);
        if (c.takenMeanwhile) {
            EXPECT_EQ(testsupport::readAll(final), QByteArray("someone else's"));
        }
        EXPECT_TRUE(QFrameModel::completeRecorded(*video));
    }
    EXPECT_TRUE(m_server->server()->requests("Video/getAuthCode").empty());

    // Another job's record under the same id is no done mark.
    auto video = makeVideo(QStringLiteral("fail"), QStringLiteral("d.mp4"));
    QRecords::instance()->addJobRecord(video->id(), m_videos + QStringLiteral("x.vep"), m_videos + QStringLiteral("d.mp4"), 7);
    EXPECT_FALSE(QFrameModel::completeRecorded(*video));
}

struct ChildCase
{
    const char *behaviour;
    const char *message; // empty: success
    bool stopAfterStart;
};

void PrintTo(const ChildCase &c, std::ostream *os)
{
    *os << c.behaviour;
}

class FrameModelChildTest : public FrameModelTest, public ::testing::WithParamInterface<ChildCase>
{
};

TEST_P(FrameModelChildTest, EndsAsTheChildSays)
{
    const ChildCase &c = GetParam();
    auto video = makeVideo(QString::fromUtf8(c.behaviour));
    QFrameModel model(video);
    connectProgress(model);
    QElapsedTimer timer;
    timer.start();
    const QString message = runStage(model, [&]() {
        if (!c.stopAfterStart)
            return;
        // Let the child get going (connected, or not), then stop the job.
        testsupport::waitUntil([]() { return false; }, 700);
        model.stop();
    });
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_EQ(message, QString::fromUtf8(c.message));
    const bool success = QString::fromUtf8(c.message).isEmpty();
    // Nothing of a failed or stopped run stays beside the source: no temporary, no output.
    EXPECT_EQ(entriesOf(m_videos), success ? (QStringList {QStringLiteral("a.mp4"), QStringLiteral("a.vep")})
                                           : (QStringList {QStringLiteral("a.mp4")}));
    if (success) {
        EXPECT_TRUE(percents().contains(57));
        EXPECT_EQ(percents().last(), 100);
    }
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.mp4")), QByteArray("source video bytes"));
}

INSTANTIATE_TEST_SUITE_P(Children, FrameModelChildTest, ::testing::Values(
    ChildCase {"flood", "", false},
    ChildCase {"garbage", "", false},
    ChildCase {"fail", "视频加密异常", false},
    ChildCase {"crash", "加密程序异常退出", false},
    ChildCase {"badprogress", "加密进度信息格式错误", false},
    ChildCase {"nooutput", "加密失败", false},
    ChildCase {"exit3", "加密失败", false},
    ChildCase {"noconnect-exit", "加密失败", false},
    ChildCase {"hang", "加密程序异常退出", true},
    ChildCase {"noconnect-hang", "加密程序异常退出", true}));

// No pipe can be made (the private runtime folder's place is taken by a file): the job fails
// before the child starts, its reason says why, and nothing is left beside the video.
TEST_F(FrameModelTest, PipeThatCannotBeMadeSaysWhy)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray tmp = qgetenv("TMPDIR");
    qunsetenv("XDG_RUNTIME_DIR");
    // The fallback's place in a temporary folder of this test's own, never the shared one.
    const QString ownTmp = testsupport::newTempDir();
    qputenv("TMPDIR", QFile::encodeName(ownTmp));
    const QString fallback = ownTmp + QStringLiteral("vantrel-%1").arg(::getuid());
    ASSERT_TRUE(testsupport::writeAll(fallback, "not a folder"));
    auto video = makeVideo(QStringLiteral("success"));
    QFrameModel model(video);
    const QString message = runStage(model);
    qputenv("XDG_RUNTIME_DIR", runtime);
    if (tmp.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", tmp);
    EXPECT_EQ(message, QStringLiteral("创建通信管道失败！（运行文件夹不属于当前用户或无权访问：%1）").arg(QString::fromLocal8Bit(strerror(EACCES))));
    EXPECT_EQ(QDir(m_videos).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList {QStringLiteral("a.mp4")});
    EXPECT_EQ(testsupport::readAll(fallback), QByteArray("not a folder"));
}

namespace
{
    QString clipOfSeconds(double seconds)
    {
        return testsupport::makeClip(QStringLiteral("h264-160x120-%1s.mp4").arg(seconds),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
             QStringLiteral("testsrc=size=160x120:rate=25:duration=%1").arg(seconds), QStringLiteral("-c:v"),
             QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"), QStringLiteral("-pix_fmt"),
             QStringLiteral("yuv420p")});
    }
}

struct OutputLengthCase
{
    const char *name;
    int mode;
    double outputSeconds; // the child's output: a clip this long; 0: bytes that are no video
    const char *message; // empty: success
};

void PrintTo(const OutputLengthCase &c, std::ostream *os)
{
    *os << c.name;
}

class FrameModelOutputTest : public FrameModelTest, public ::testing::WithParamInterface<OutputLengthCase>
{
};

// A re-encoded output that plays shorter than its 6 s source by more than a frame or two (a
// damaged part lost) fails the job with both lengths: nothing beside the source, no record. Fast
// mode's output is the source's own bytes.
TEST_P(FrameModelOutputTest, ReencodedOutputMustLastAsLongAsTheSource)
{
    const OutputLengthCase &c = GetParam();
    const QString source = clipOfSeconds(6);
    ASSERT_FALSE(source.isEmpty());
    ASSERT_TRUE(QFile::copy(source, m_videos + QStringLiteral("a.mp4")));
    QString behaviour = QStringLiteral("success");
    if (c.outputSeconds > 0) {
        const QString output = clipOfSeconds(c.outputSeconds);
        ASSERT_FALSE(output.isEmpty());
        behaviour = QStringLiteral("copy:") + output;
    }
    auto video = makeVideo(behaviour, QStringLiteral("a.mp4"), c.mode);
    video->probeMedia();
    ASSERT_EQ(video->totalTime(), 6);
    const int before = QRecords::instance()->count();

    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QString::fromUtf8(c.message));
    const bool success = QString::fromUtf8(c.message).isEmpty();
    EXPECT_EQ(entriesOf(m_videos), success ? (QStringList {QStringLiteral("a.mp4"), QStringLiteral("a.vep")})
                                           : (QStringList {QStringLiteral("a.mp4")}));
    EXPECT_EQ(QRecords::instance()->count(), before + (success ? 1 : 0));
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.mp4")), testsupport::readAll(source));
}

INSTANTIATE_TEST_SUITE_P(Outputs, FrameModelOutputTest, ::testing::Values(
    OutputLengthCase {"codec_whole", 8, 6, ""},
    OutputLengthCase {"codec_two_frames_short", 8, 5.92, ""},
    OutputLengthCase {"codec_damaged_middle", 8, 4.86, "加密后的视频时长4.9秒，比原视频时长6秒短，视频不完整，加密失败"},
    OutputLengthCase {"codec_a_second_short", 8, 5, "加密后的视频时长5.0秒，比原视频时长6秒短，视频不完整，加密失败"},
    OutputLengthCase {"codec_short", 8, 2, "加密后的视频时长2.0秒，比原视频时长6秒短，视频不完整，加密失败"},
    OutputLengthCase {"codec_unreadable", 8, 0, "加密后的视频无法读取，加密失败"},
    OutputLengthCase {"fast_short", 7, 2, ""},
    OutputLengthCase {"fast_bytes", 7, 0, ""}));

struct ReencodeCase
{
    int seconds;        // of the video
    double longerSound; // the sound goes on this much longer
};

void PrintTo(const ReencodeCase &c, std::ostream *os)
{
    *os << c.seconds << " s, sound " << c.longerSound << " s longer";
}

class RealReencodeTest : public FrameModelTest, public ::testing::WithParamInterface<ReencodeCase>
{
};

// The real sorbin re-encodes sound clips with sound of several lengths in high-strength mode (the
// re-encode ends with the video, a frame or two early): each passes the length check and is
// recorded, also one whose sound goes on past its video.
TEST_P(RealReencodeTest, SoundClipOfAnyLengthPassesTheLengthCheck)
{
    const int seconds = GetParam().seconds;
    const double longer = GetParam().longerSound;
    const QString duration = QString::number(seconds);
    const QString clip = testsupport::makeClip(QStringLiteral("h264-aac-320x240-%1s-%2.mp4").arg(seconds).arg(longer),
        {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25:duration=") + duration,
         QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=") + QString::number(seconds + longer),
         QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
         QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac")});
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::copy(clip, m_videos + QStringLiteral("a.mp4")));
    QFrameModel::setProgramPath(pipelinetest::realSorbin());
    QDtaConfig config = pipelinetest::config(8, QStringLiteral("12"));
    auto video = std::make_shared<QDtaVideo>(QFileWork_nextId(), m_videos + QStringLiteral("a.mp4"), config);
    video->probeMedia();
    ASSERT_EQ(video->totalTime(), seconds);
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QString());
    const record_ptr record = QRecords::instance()->jobRecord(video->id());
    ASSERT_NE(record, nullptr);
    const double source = QMediaCheck::durationSeconds(m_videos + QStringLiteral("a.mp4"));
    const double output = QMediaCheck::durationSeconds(record->filePath() + record->fileName());
    RecordProperty("source_seconds", QString::number(source, 'f', 3).toStdString());
    RecordProperty("output_seconds", QString::number(output, 'f', 3).toStdString());
    EXPECT_GT(output, 0.0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, RealReencodeTest, ::testing::Values(
    ReencodeCase {1, 0}, ReencodeCase {2, 0}, ReencodeCase {3, 0}, ReencodeCase {7, 0}, ReencodeCase {20, 0},
    ReencodeCase {1, 0.5}, ReencodeCase {3, 1.5}),
    [](const ::testing::TestParamInfo<ReencodeCase> &info) {
        return std::to_string(info.param.seconds) + (info.param.longerSound > 0 ? "sWithLongerSound" : "s");
    });

// A video of a single frame can't be re-encoded by the real sorbin: the job fails with that
// reason, only the source is left and nothing is recorded.
TEST_F(FrameModelTest, RealSingleFrameVideoFailsWithItsReason)
{
    const QString clip = testsupport::clipSingleFrame();
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::copy(clip, m_videos + QStringLiteral("a.mp4")));
    QFrameModel::setProgramPath(pipelinetest::realSorbin());
    auto video = std::make_shared<QDtaVideo>(QFileWork_nextId(), m_videos + QStringLiteral("a.mp4"),
                                             pipelinetest::config(8, QStringLiteral("12")));
    video->probeMedia();
    const int before = QRecords::instance()->count();
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QStringLiteral("视频只有一帧画面，无法高强度重编码加密，请改用快速加密"));
    EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("a.mp4")});
    EXPECT_EQ(QRecords::instance()->count(), before);
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.mp4")), testsupport::readAll(clip));
}

TEST_F(FrameModelTest, MissingProgramIsAClearError)
{
    QFrameModel::setProgramPath(m_dir + QStringLiteral("no-such-program"));
    auto video = makeVideo(QStringLiteral("success"));
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QStringLiteral("启动加密程序失败！"));
}

TEST_F(FrameModelTest, StopBeforeTheChildStartsIsKept)
{
    Fault slow;
    slow.delayMs = 800;
    m_server->server()->setFault("Video/getAuthCode", slow);
    auto video = makeVideo(QStringLiteral("success"));
    QFrameModel model(video);
    const QString message = runStage(model, [&]() {
        testsupport::waitUntil([]() { return false; }, 200);
        model.stop();
    });
    EXPECT_EQ(message, QStringLiteral("加密程序异常退出"));
    EXPECT_FALSE(QFile::exists(m_videos + QStringLiteral("a.vep")));
}

TEST_F(FrameModelTest, ServerDownOrNonsenseFailsWithItsMessage)
{
    {
        Fault nonsense;
        nonsense.replaceBody = true;
        nonsense.body = "<html>oops</html>";
        m_server->server()->setFault("Video/getAuthCode", nonsense);
        QFrameModel model(makeVideo(QStringLiteral("success")));
        const QString message = runStage(model);
        EXPECT_FALSE(message.isEmpty());
        EXPECT_NE(message, QStringLiteral("<other>"));
    }
    {
        Fault shortCode;
        shortCode.dataPatch["authCode"] = "XY";
        m_server->server()->setFault("Video/getAuthCode", shortCode);
        QFrameModel model(makeVideo(QStringLiteral("success")));
        EXPECT_EQ(runStage(model), QStringLiteral("解析课程授权码失败！"));
    }
    {
        Fault numberCode;
        numberCode.dataPatch["authCode"] = 12345;
        m_server->server()->setFault("Video/getAuthCode", numberCode);
        QFrameModel model(makeVideo(QStringLiteral("success")));
        EXPECT_EQ(runStage(model), QStringLiteral("解析课程授权码失败！"));
    }
    m_server->server()->stop();
    QFrameModel model(makeVideo(QStringLiteral("success")));
    const QString message = runStage(model);
    EXPECT_FALSE(message.isEmpty());
    EXPECT_NE(message, QStringLiteral("<other>"));
    EXPECT_FALSE(QFile::exists(m_videos + QStringLiteral("a.vep")));
}

// A child that goes quiet, connected or not, stopped or hanging, is ended at the (here
// shortened) bound; the job fails with its message and leaves nothing behind.
TEST_F(FrameModelTest, SilentChildIsEndedAtTheBound)
{
    qputenv("VANTREL_STAGE_SILENCE_MS", "1500");
    qputenv("VANTREL_STAGE_TERM_MS", "1000");
    // The real program, stopped before it could connect.
    const QString stoppedSorbin = m_dir + QStringLiteral("stopped-sorbin.sh");
    ASSERT_TRUE(testsupport::writeAll(stoppedSorbin, QByteArray("#!/bin/sh\nkill -STOP $$\nexec '")
                                                         + QFile::encodeName(pipelinetest::realSorbin()) + "' \"$@\"\n"));
    QFile::setPermissions(stoppedSorbin, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    struct Case
    {
        const char *behaviour;
        QString program;
    } cases[] = {
        {"hang", pipelinetest::fakeSorbin()},
        {"stopself", pipelinetest::fakeSorbin()},
        {"noconnect-hang", pipelinetest::fakeSorbin()},
        {"success", stoppedSorbin},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.behaviour);
        QFrameModel::setProgramPath(c.program);
        auto video = makeVideo(QString::fromUtf8(c.behaviour));
        QFrameModel model(video);
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(runStage(model), QStringLiteral("加密程序长时间无响应，已停止加密"));
        EXPECT_GE(timer.elapsed(), 1500);
        EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("a.mp4")});
    }
    qunsetenv("VANTREL_STAGE_SILENCE_MS");
    qunsetenv("VANTREL_STAGE_TERM_MS");
}

// Stopping a job sends SIGTERM first: a child that cleans up and exits is let go; one that
// ignores it is killed after the grace time. Either way the job ends as stopped.
TEST_F(FrameModelTest, StopSendsTermBeforeKill)
{
    qputenv("VANTREL_STAGE_TERM_MS", "1000");
    for (const char *behaviour : {"termclean", "termignore"}) {
        SCOPED_TRACE(behaviour);
        const QString log = m_dir + QString::fromUtf8(behaviour) + QStringLiteral(".signals");
        qputenv("FAKESORBIN_SIGNAL_LOG", QFile::encodeName(log));
        auto video = makeVideo(QString::fromUtf8(behaviour));
        QFrameModel model(video);
        connectProgress(model);
        const QString message = runStage(model, [&]() {
            testsupport::waitUntil([&]() { return percents().contains(10); }, 10000);
            model.stop();
        });
        EXPECT_EQ(message, QStringLiteral("加密程序异常退出"));
        EXPECT_EQ(testsupport::readAll(log), QByteArray("TERM\n"));
        EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("a.mp4")});
        std::lock_guard<std::mutex> lock(m_progressMutex);
        m_progress.clear();
    }
    qunsetenv("FAKESORBIN_SIGNAL_LOG");
    qunsetenv("VANTREL_STAGE_TERM_MS");
}

// A source that can't be read or an output folder that can't be written fails the job at once,
// by name, before any child runs.
TEST_F(FrameModelTest, UnreadableSourceOrFolderFailsAtOnce)
{
    const QString source = QStringLiteral("源视频文件不存在或无法读取");
    const QString folder = QStringLiteral("输出文件夹不存在或无法写入");
    const QString log = m_dir + QStringLiteral("child.signals");
    qputenv("FAKESORBIN_SIGNAL_LOG", QFile::encodeName(log));
    struct Case
    {
        const char *what;
        std::function<void(const QString &path)> spoil;
        QString message;
    } cases[] = {
        {"missing", [](const QString &path) { QFile::remove(path); }, source},
        {"fifo", [](const QString &path) { QFile::remove(path); ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0); }, source},
        {"folder", [](const QString &path) { QFile::remove(path); QDir().mkpath(path); }, source},
        {"unreadable", [](const QString &path) { QFile::setPermissions(path, QFileDevice::WriteOwner); }, source},
        {"read-only folder", [this](const QString &) { QFile::setPermissions(m_videos, QFileDevice::ReadOwner | QFileDevice::ExeOwner); }, folder},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (::geteuid() == 0 && QString::fromUtf8(c.what).contains(QStringLiteral("read")))
            continue; // root reads and writes anyway
        auto video = makeVideo(QStringLiteral("termignore"));
        c.spoil(video->sourcePath());
        QFrameModel model(video);
        EXPECT_EQ(runStage(model), c.message);
        EXPECT_FALSE(QFile::exists(log)) << "the child ran";
        QFile::setPermissions(m_videos, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        EXPECT_EQ(entriesOf(m_videos).filter(QStringLiteral(".vantrel")), QStringList());
        QFile::setPermissions(video->sourcePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QFile::remove(video->sourcePath());
        QDir(video->sourcePath()).removeRecursively();
    }
    qunsetenv("FAKESORBIN_SIGNAL_LOG");
}

// The source changes while the child reads it and the child fails: the job says the source
// changed, not that the encryption failed.
TEST_F(FrameModelTest, SourceChangedUnderTheChildIsTheReason)
{
    auto video = makeVideo(QStringLiteral("growsource"));
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QStringLiteral("源视频已被更改或替换，请重新添加"));
    EXPECT_EQ(testsupport::readAll(video->sourcePath()), QByteArray("source video bytes and more"));
    EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("a.mp4")});

    // A child that fails on its own is told as before.
    QFrameModel other(makeVideo(QStringLiteral("fail"), QStringLiteral("b.mp4")));
    EXPECT_EQ(runStage(other), QStringLiteral("视频加密异常"));
}

// A run of the same job whose program died left its folder behind, with a child still
// writing there: the next run removes that folder and its output is its own.
// Before a run, the folders that earlier runs of the job noted and left (a kill) are removed,
// and nothing else: not a folder of the teacher's renamed to such a name by someone else, not
// one put in place of a noted folder, not a link, not another job's.
TEST_F(FrameModelTest, OnlyTheNotedFoldersOfEarlierRunsAreRemoved)
{
    CGlobal::initPath();
    auto video = makeVideo(QStringLiteral("success"));
    const QString prefix = m_videos + QStringLiteral(".vantrel-%1-").arg(video->id());
    const QString thesis = m_dir + QStringLiteral("thesis/");
    ASSERT_TRUE(QDir().mkpath(thesis));
    ASSERT_TRUE(testsupport::writeAll(thesis + QStringLiteral("chapter1.txt"), "words"));

    QValue runs(Json::arrayValue);
    // As a run notes its folder when it makes it, with the secret of its marker.
    int secrets = 0;
    auto note = [&](qint64 job, const QString &name, const QString &identityOf) {
        const std::string secret = "secret" + std::to_string(++secrets);
        ASSERT_TRUE(testsupport::writeAll(identityOf + QStringLiteral("/.vantrel-run"), QByteArray::fromStdString(secret)));
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(identityOf).constData(), &st), 0);
        QValue entry(Json::objectValue);
        entry["job"] = QString::number(job).toStdString();
        entry["folder"] = m_videos.toStdString();
        entry["name"] = name.toStdString();
        entry["secret"] = secret;
        entry["dev"] = std::to_string(static_cast<unsigned long long>(st.st_dev));
        entry["ino"] = std::to_string(static_cast<unsigned long long>(st.st_ino));
        runs.append(entry);
    };
    const QString killed = prefix + QStringLiteral("Ab12Cd/");
    ASSERT_TRUE(QDir().mkpath(killed));
    // As a run makes it: no one else may enter it.
    ASSERT_EQ(::chmod(QFile::encodeName(killed).constData(), 0700), 0);
    ASSERT_TRUE(testsupport::writeAll(killed + video->videoKey() + QStringLiteral(".tmp"), "orphan"));
    note(video->id(), QStringLiteral(".vantrel-%1-Ab12Cd").arg(video->id()), killed);

    const QString renamedIn = prefix + QStringLiteral("aaaaaa/");
    ASSERT_TRUE(QDir().mkpath(renamedIn));
    ASSERT_TRUE(testsupport::writeAll(renamedIn + QStringLiteral("notes.txt"), "mine"));

    // Noted, then replaced by another folder under the same name.
    const QString replaced = prefix + QStringLiteral("bbbbbb/");
    ASSERT_TRUE(QDir().mkpath(replaced));
    note(video->id(), QStringLiteral(".vantrel-%1-bbbbbb").arg(video->id()), replaced);
    ASSERT_TRUE(QDir(replaced).removeRecursively());
    ASSERT_TRUE(QDir().mkpath(replaced));
    ASSERT_TRUE(testsupport::writeAll(replaced + QStringLiteral("notes.txt"), "mine too"));

    // Noted, then a link to the teacher's folder put in its place.
    const QString linked = prefix + QStringLiteral("cccccc");
    ASSERT_TRUE(QDir().mkpath(linked));
    note(video->id(), QStringLiteral(".vantrel-%1-cccccc").arg(video->id()), linked);
    ASSERT_TRUE(QDir(linked).removeRecursively());
    ASSERT_TRUE(QFile::link(thesis, linked));

    const QString otherJob = m_videos + QStringLiteral(".vantrel-%1-Ab12Cd/").arg(video->id() + 1000);
    ASSERT_TRUE(QDir().mkpath(otherJob));
    note(video->id() + 1000, QStringLiteral(".vantrel-%1-Ab12Cd").arg(video->id() + 1000), otherJob);

    QValue root(Json::objectValue);
    root["runs"] = runs;
    ASSERT_TRUE(QJsonFile::write(QRunFolder::registryPath(), root));

    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QString());
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.vep")),
              QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12")));
    EXPECT_FALSE(QFileInfo::exists(killed));
    EXPECT_EQ(testsupport::readAll(renamedIn + QStringLiteral("notes.txt")), QByteArray("mine"));
    EXPECT_EQ(testsupport::readAll(replaced + QStringLiteral("notes.txt")), QByteArray("mine too"));
    EXPECT_TRUE(QFileInfo(linked).isSymLink());
    EXPECT_EQ(testsupport::readAll(thesis + QStringLiteral("chapter1.txt")), QByteArray("words"));
    EXPECT_TRUE(QFileInfo::exists(otherJob)) << "another job's folder is that job's business";
    // The run's own folder is gone, and the list holds only the other job's.
    const QStringList left = QDir(m_videos).entryList({QStringLiteral(".vantrel-*")}, QDir::AllEntries | QDir::Hidden | QDir::System);
    EXPECT_EQ(left.size(), 4) << left.join(QLatin1Char(' ')).toStdString();
    QValue after;
    ASSERT_TRUE(QJsonFile::read(QRunFolder::registryPath(), after));
    ASSERT_EQ(jsonSize(jsonMember(after, QStringLiteral("runs"))), 1);
    EXPECT_EQ(asQString(jsonMember(jsonAt(jsonMember(after, QStringLiteral("runs")), 0), QStringLiteral("job"))),
              QString::number(video->id() + 1000));
}

// Another user who can write to the output folder moves the run folder away and puts something
// in its place, at each moment of a run (from the child's process, so at that very moment): a
// link to a folder of the teacher's, that folder itself, a folder of theirs. Nothing outside the
// run folder is written or removed, and the job ends as the child says.
TEST_F(FrameModelTest, RunFolderSwappedAtAnyMomentTouchesNothingElse)
{
    for (const char *kind : {"link", "teacher", "foreign"}) {
        for (const char *moment : {"start", "work", "success", "failure"}) {
            const QString row = QStringLiteral("%1-%2").arg(QLatin1String(kind), QLatin1String(moment));
            SCOPED_TRACE(row.toStdString());
            const QString thesis = m_dir + QStringLiteral("thesis-") + row + QLatin1Char('/');
            ASSERT_TRUE(QDir().mkpath(thesis));
            ASSERT_TRUE(testsupport::writeAll(thesis + QStringLiteral("chapter1.txt"), "words"));
            qputenv("FAKESORBIN_SWAP_TARGET", QFile::encodeName(QDir::cleanPath(thesis)));

            auto video = makeVideo(QStringLiteral("swap:%1:%2").arg(QLatin1String(kind), QLatin1String(moment)),
                                   row + QStringLiteral(".mp4"));
            QFrameModel model(video);
            const QString message = runStage(model);
            const bool fails = QLatin1String(moment) == QLatin1String("failure");
            EXPECT_EQ(message.isEmpty(), !fails) << message.toStdString();
            EXPECT_EQ(QFile::exists(m_videos + row + QStringLiteral(".vep")), !fails);
            if (!fails) {
                EXPECT_EQ(testsupport::readAll(m_videos + row + QStringLiteral(".vep")),
                          QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12")));
            }

            // The teacher's folder, wherever it is now, holds what it held.
            QString now = thesis;
            if (QLatin1String(kind) == QLatin1String("teacher")) {
                const QStringList runs = QDir(m_videos).entryList({QStringLiteral(".vantrel-%1-*").arg(video->id())},
                                                                 QDir::Dirs | QDir::Hidden);
                ASSERT_EQ(runs.size(), 1) << "the teacher's folder renamed in stays";
                now = m_videos + runs.first() + QLatin1Char('/');
            }
            EXPECT_EQ(QDir(now).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                      QStringList {QStringLiteral("chapter1.txt")});
            EXPECT_EQ(testsupport::readAll(now + QStringLiteral("chapter1.txt")), QByteArray("words"));

            // What the run wrote went into its own folder, moved away by the other user, and that
            // folder was found by its identity and removed there.
            const QString movedAway = m_videos + QStringLiteral("moved-away-%1/").arg(video->id());
            EXPECT_FALSE(QFileInfo::exists(movedAway));
            EXPECT_FALSE(QFileInfo::exists(m_videos + video->videoKey() + QStringLiteral(".tmp")));
            if (QLatin1String(kind) == QLatin1String("foreign")) {
                const QString planted = m_videos + QDir(m_videos).entryList({QStringLiteral(".vantrel-%1-*").arg(video->id())},
                                                                            QDir::Dirs | QDir::Hidden).value(0);
                EXPECT_TRUE(QDir(planted).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
            }
        }
    }
}

// On a disk without the no-replace rename and without hard links, the finished output still
// reaches its name; an earlier file of that name is still never replaced.
TEST_F(FrameModelTest, OutputIsDeliveredWithoutNoReplaceRenameOrHardLinks)
{
    setRenameFallbackForTests(true, true);
    QFrameModel first(makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4")));
    EXPECT_EQ(runStage(first), QString());
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.vep")),
              QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12")));
    ASSERT_TRUE(testsupport::writeAll(m_videos + QStringLiteral("a.vep"), "earlier"));
    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.avi"));
    QFrameModel second(video);
    EXPECT_EQ(runStage(second), QString());
    EXPECT_EQ(testsupport::readAll(m_videos + QStringLiteral("a.vep")), QByteArray("earlier"));
    EXPECT_TRUE(QFile::exists(m_videos + video->videoKey()));
    EXPECT_TRUE(QDir(m_videos).entryList({QStringLiteral(".vantrel-*")}, QDir::AllEntries | QDir::Hidden).isEmpty());
    setRenameFallbackForTests(false, false);
}


// The history can't be written once sorbin has finished (the data disk is full, the folder
// turned read-only): the job fails with the reason and the folder, nothing is renamed or
// recorded, and the next run of the job records the finished output, once.
TEST_F(FrameModelTest, HistoryThatCannotBeSavedFailsTheJobAndTheNextRunRecordsItOnce)
{
    for (const bool diskFull : {true, false}) {
        SCOPED_TRACE(diskFull ? "disk full" : "read-only folder");
        const QString history = m_dir + (diskFull ? QStringLiteral("full/") : QStringLiteral("locked/"));
        ASSERT_TRUE(QDir().mkpath(history));
        QRecords::instance()->reopen(history + QStringLiteral("records.json"));
        const QString source = diskFull ? QStringLiteral("full.mp4") : QStringLiteral("locked.mp4");
        auto video = makeVideo(QStringLiteral("success"), source);
        if (diskFull)
            QJsonFile::setWriteFaultForTests(QRecords::instance()->filePath(), QStringLiteral("No space left on device"));
        else
            qputenv("FAKESORBIN_LOCK_FOLDER", QFile::encodeName(QDir::cleanPath(history)));
        const int before = QRecords::instance()->count();

        QFrameModel model(video);
        const QString message = runStage(model);
        QJsonFile::setWriteFaultForTests(QString(), QString());
        qunsetenv("FAKESORBIN_LOCK_FOLDER");
        testsupport::unlockFolder(history);
        if (!diskFull && message.isEmpty())
            GTEST_SKIP() << "this file system can't make a folder read-only for this user";
        EXPECT_TRUE(message.contains(QStringLiteral("无法保存加密记录"))) << message.toStdString();
        EXPECT_TRUE(message.contains(QDir::toNativeSeparators(QDir::cleanPath(history)))) << message.toStdString();
        const QString shortName = m_videos + QFileInfo(source).completeBaseName() + QStringLiteral(".vep");
        EXPECT_FALSE(QFile::exists(shortName)) << "not renamed";
        EXPECT_TRUE(QFile::exists(QFrameModel::outputPathOf(*video)));
        EXPECT_EQ(QRecords::instance()->count(), before);
        EXPECT_EQ(QRecords::instance()->jobRecord(video->id()), nullptr);

        // The next start (history read from disk again) or a retry finishes the job.
        QRecords::instance()->reopen(history + QStringLiteral("records.json"));
        EXPECT_FALSE(QFrameModel::completeRecorded(*video));
        QFrameModel again(video);
        EXPECT_EQ(runStage(again), QString());
        EXPECT_EQ(testsupport::readAll(shortName),
                  QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12")));
        EXPECT_FALSE(QFile::exists(QFrameModel::outputPathOf(*video)));
        EXPECT_EQ(QRecords::instance()->count(), before + 1);
        QRecords::instance()->reopen(history + QStringLiteral("records.json"));
        ASSERT_NE(QRecords::instance()->jobRecord(video->id()), nullptr);
        EXPECT_EQ(QRecords::instance()->count(), before + 1);
        EXPECT_EQ(m_server->server()->requests("Video/getAuthCode").size(), diskFull ? 1u : 2u) << "never encrypted twice";
    }
}

// A name whose output would exceed the file system's limit, and a disk without room for the
// output, are told before sorbin starts, with their reason; nothing is made.
TEST_F(FrameModelTest, NameTooLongOrDiskFullIsToldBeforeTheChildStarts)
{
    struct Case {
        const char *what;
        QString name;
        qint64 freeBytes;
        const char *reason;
    };
    QString longName;
    for (int i = 0; i < 80; ++i)
        longName += QStringLiteral("课");
    const Case cases[] = {
        {"name too long", longName + QStringLiteral(".mp4"), -1, "文件名过长"},
        {"disk full", QStringLiteral("full.mp4"), 1024 * 1024, "磁盘空间不足"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFrameModel::setFreeSpaceReader([&c](const QString &) { return c.freeBytes; });
        auto video = makeVideo(QStringLiteral("success"), c.name);
        QFrameModel model(video);
        const QString message = runStage(model);
        EXPECT_TRUE(message.contains(QString::fromUtf8(c.reason))) << message.toStdString();
        EXPECT_EQ(QDir(m_videos).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
                  QStringList {c.name});
        EXPECT_EQ(QRecords::instance()->jobRecord(video->id()), nullptr);
        QFile::remove(m_videos + c.name);
    }
    QFrameModel::setFreeSpaceReader({});
}

// The list of run folders can't be written (the data disk is full): the run does not start,
// says so with the data folder, and leaves nothing beside the source.
TEST_F(FrameModelTest, RunFolderListThatCannotBeWrittenStopsTheRunBeforeTheChild)
{
    CGlobal::initPath();
    QJsonFile::setWriteFaultForTests(QRunFolder::registryPath(), QStringLiteral("No space left on device"));
    auto video = makeVideo(QStringLiteral("success"));
    QFrameModel model(video);
    const QString message = runStage(model);
    QJsonFile::setWriteFaultForTests(QString(), QString());
    EXPECT_TRUE(message.contains(QStringLiteral("无法开始加密"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QDir::toNativeSeparators(QDir::cleanPath(CGlobal::dataPath())))) << message.toStdString();
    EXPECT_EQ(QDir(m_videos).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
              QStringList {QStringLiteral("a.mp4")});
}
