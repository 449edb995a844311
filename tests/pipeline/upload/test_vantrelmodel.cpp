// The upload stage: web calls, cloud upload and history record, against the local server.

#include <functional>
#include <future>
#include <map>
#include <memory>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qdtavideo.h"
#include "qrecords.h"
#include "quser.h"
#include "testsupport.h"
#include "uexception.h"
#include "uploadserver.h"
#include "vantrelmodel.h"
#include "qwebmodel.h"

namespace
{
    constexpr qint64 kTenMiB = 10 * 1024 * 1024;

    struct RunResult
    {
        bool threw = false;
        QString message;
        std::vector<int> progress;
    };

    // Runs the stage on a thread of its own, as a work-pool thread would; `during` runs on this
    // thread meanwhile.
    RunResult runStage(VantrelModel &model, const std::function<void()> &during = {})
    {
        RunResult result;
        QSignalSpy spy(&model, SIGNAL(signal_progress(int, int)));
        auto done = std::async(std::launch::async, [&model] { model.run(); });
        if (during)
            during();
        try
        {
            done.get();
        }
        catch (const UException &e)
        {
            result.threw = true;
            result.message = e.qMessage();
        }
        for (const QList<QVariant> &args : spy)
        {
            EXPECT_EQ(args.at(0).toInt(), 3);
            result.progress.push_back(args.at(1).toInt());
        }
        return result;
    }

    class UploadStage : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            CGlobal::initPath();
            m_server = std::make_unique<UploadServer>();
            ASSERT_TRUE(m_server->isRunning());
            const PlatformServer::Session session = m_server->platform().createSession("demo");
            ASSERT_NE(session.uid, 0);
            QUser::instance()->setToken(QString::fromStdString(session.token), QString::fromStdString(session.secret));
            QUser::instance()->setTeacherId(session.uid);
            m_dir = testsupport::newTempDir();
        }

        // A finished job as the pipeline would hand it over.
        std::shared_ptr<QDtaVideo> makeVideo(int type, qint64 id, const QString &key, double sizeMb)
        {
            Json::Value v(Json::objectValue);
            v["id"] = Json::Int64(id);
            v["config"]["encrypt_type"] = type;
            v["config"]["course_id"] = "345";
            v["file_name"] = "lesson.mp4";
            v["file_path"] = m_dir.toStdString();
            v["file_size"] = sizeMb;
            v["video_width"] = 320;
            v["video_height"] = 240;
            v["total_time"] = 3;
            v["video_key"] = key.toStdString();
            v["save_path"] = m_dir.toStdString();
            return std::make_shared<QDtaVideo>(v);
        }

        std::vector<RequestRecord> calls(const char *route) const
        {
            return m_server->platform().requests(route);
        }

        std::unique_ptr<UploadServer> m_server;
        QString m_dir;
        const QString m_key = QStringLiteral("1001_345_77_lesson.vep");
    };
}

TEST_F(UploadStage, PackagedOutputIsReportedUploadedAndRecorded)
{
    const QString output = makeRandomFile(m_dir, m_key, kTenMiB, 5);
    ASSERT_FALSE(output.isEmpty());
    const int recordsBefore = QRecords::instance()->count();
    VantrelModel model(makeVideo(7, 77, m_key, 10.0));

    const RunResult result = runStage(model);
    ASSERT_FALSE(result.threw) << result.message.toStdString();

    const auto info = calls("Yunupload/uploadInfo");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].innerValue("srcKey"), m_key.toStdString());
    EXPECT_EQ(info[0].innerValue("duration"), "3");
    EXPECT_EQ(info[0].innerValue("resolution"), "320*240");
    EXPECT_EQ(info[0].innerValue("encrypted"), "1");
    EXPECT_EQ(info[0].innerValue("version"), "4");
    EXPECT_EQ(info[0].innerValue("size"), "10485760");
    EXPECT_EQ(calls("Yunupload/getUploadToken").size(), 1u);

    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), testsupport::readAll(output));
    ASSERT_FALSE(result.progress.empty());
    EXPECT_EQ(result.progress.front(), 50);
    EXPECT_EQ(result.progress.back(), 100);
    for (size_t i = 1; i < result.progress.size(); ++i)
        EXPECT_LE(result.progress[i - 1], result.progress[i]);

    ASSERT_EQ(QRecords::instance()->count(), recordsBefore + 1);
    bool found = false;
    for (const record_ptr &r : QRecords::instance()->records())
        found = found || (r->fileName() == m_key && r->fileType() == 7u);
    EXPECT_TRUE(found);
    EXPECT_TRUE(QFile::exists(output));
}

TEST_F(UploadStage, WebModeUploadsTheWholeSliceFolder)
{
    const qint64 id = 88;
    const QString slices = CGlobal::slicePath() + QString::number(id) + QStringLiteral("/");
    ASSERT_TRUE(QDir().mkpath(slices));
    const QStringList names {QStringLiteral("1001_345_88_lesson.m3u8"), QStringLiteral("1001_345_88_lesson0.ts"),
                             QStringLiteral("1001_345_88_lesson1.ts")};
    std::map<std::string, QByteArray> contents;
    for (int i = 0; i < names.size(); ++i)
    {
        ASSERT_FALSE(makeRandomFile(slices, names[i], 50000 * (i + 1), unsigned(i)).isEmpty());
        contents[names[i].toStdString()] = testsupport::readAll(slices + names[i]);
    }
    VantrelModel model(makeVideo(4, id, names[0], 0.3));

    const RunResult result = runStage(model);
    ASSERT_FALSE(result.threw) << result.message.toStdString();
    const auto info = calls("Yunupload/uploadInfo");
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].innerValue("encrypted"), "0");
    for (const auto &c : contents)
        EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(c.first)), c.second) << c.first;
    EXPECT_EQ(m_server->cloud().keys().size(), contents.size());
    EXPECT_EQ(result.progress.back(), 100);
}

// The two stages meet at the slice folder: what the Web stage leaves there (real ffmpeg) is
// what the upload stage sends, each file under its own name, and the record names the playlist.
TEST_F(UploadStage, WebStageOutputIsWhatTheUploadStageSends)
{
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    ASSERT_TRUE(QFile::copy(clip, m_dir + QStringLiteral("lesson.mp4")));
    const qint64 id = 99;
    const QString key = QStringLiteral("%1_345_99_lesson.m3u8").arg(QUser::instance()->teacherId());
    Json::Value json = makeVideo(4, id, key, 0.1)->toJson();
    json["codec"] = Json::UInt(QDtaVideo::CodecH264);
    const auto video = std::make_shared<QDtaVideo>(json);

    QWebModel slicer(video);
    auto sliced = std::async(std::launch::async, [&slicer] { slicer.run(); });
    ASSERT_NO_THROW(sliced.get());
    const QString folder = slicer.sliceFolder();
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    ASSERT_TRUE(names.contains(key));
    ASSERT_GE(names.size(), 2);
    std::map<std::string, QByteArray> contents;
    for (const QString &name : names)
        contents[name.toStdString()] = testsupport::readAll(folder + name);

    VantrelModel model(video);
    const RunResult result = runStage(model);
    ASSERT_FALSE(result.threw) << result.message.toStdString();
    std::vector<std::string> expected;
    for (const auto &c : contents)
    {
        expected.push_back(c.first);
        EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(c.first)), c.second) << c.first;
    }
    EXPECT_EQ(m_server->cloud().keys(), expected);
    EXPECT_EQ(result.progress.back(), 100);

    bool recorded = false;
    for (const record_ptr &r : QRecords::instance()->records())
        recorded = recorded || (r->fileName() == key && r->fileType() == 4u);
    EXPECT_TRUE(recorded);
    EXPECT_TRUE(QFile::exists(m_dir + QStringLiteral("lesson.mp4")));
}

// Every failure ends the run with its message, adds no record and keeps the output.
TEST_F(UploadStage, FailuresEndTheRunWithTheirMessage)
{
    const struct
    {
        const char *name;
        std::function<void(UploadServer &)> setup;
        bool withOutput;
        QString message;        // empty: the missing-file message with its path
        size_t tokenCalls;
    } cases[] = {
        {"packaged output missing", [](UploadServer &) {}, false, QString(), 1},
        {"report refused", [](UploadServer &s) {
             Fault f;
             f.patch["code"] = 1;
             f.patch["msg"] = "视频信息有误";
             s.platform().setFault("Yunupload/uploadInfo", f);
         }, true, QStringLiteral("视频信息有误"), 0},
        {"token refused", [](UploadServer &s) {
             Fault f;
             f.patch["code"] = 1;
             f.patch["msg"] = "无权上传";
             s.platform().setFault("Yunupload/getUploadToken", f);
         }, true, QStringLiteral("无权上传"), 1},
        {"token missing from the reply", [](UploadServer &s) {
             Fault f;
             f.dataPatch["uptoken"] = Json::Value();
             s.platform().setFault("Yunupload/getUploadToken", f);
         }, true, QStringLiteral("获取上传凭证失败"), 1},
        {"upload refused", [](UploadServer &s) { s.cloud().force579(500); }, true, QStringLiteral("上传文件失败 579:"), 1},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        m_server->platform().clearFaults();
        m_server->platform().clearRequests();
        m_server->cloud().reset();
        c.setup(*m_server);
        const QString output = m_dir + m_key;
        QFile::remove(output);
        if (c.withOutput) {
            ASSERT_FALSE(makeRandomFile(m_dir, m_key, 300000, 9).isEmpty());
        }
        const QByteArray before = testsupport::readAll(output);
        const int recordsBefore = QRecords::instance()->count();

        VantrelModel model(makeVideo(8, 77, m_key, 0.3));
        const RunResult result = runStage(model);
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, c.message.isEmpty() ? QStringLiteral("加密文件不存在：") + output : c.message);
        EXPECT_EQ(calls("Yunupload/uploadInfo").size(), 1u);
        EXPECT_EQ(calls("Yunupload/getUploadToken").size(), c.tokenCalls);
        EXPECT_EQ(QRecords::instance()->count(), recordsBefore);
        EXPECT_EQ(testsupport::readAll(output), before);
    }
}

TEST_F(UploadStage, StopDuringTheUploadGivesForcedExitAtOnce)
{
    ASSERT_FALSE(makeRandomFile(m_dir, m_key, kTenMiB, 5).isEmpty());
    // The server holds the first chunk far longer than a stop may take.
    const int heldMs = 30000;
    m_server->cloud().setChunkDelay(heldMs);
    VantrelModel model(makeVideo(7, 77, m_key, 10.0));
    QElapsedTimer timer;
    const RunResult result = runStage(model, [&] {
        ASSERT_TRUE(testsupport::waitUntil([&] { return m_server->cloud().mkblkCount() >= 1; }, 10000));
        timer.start();
        model.stop();
    });
    EXPECT_LT(timer.elapsed(), heldMs / 3);
    EXPECT_TRUE(result.threw);
    EXPECT_EQ(result.message, QStringLiteral("强制退出"));
    EXPECT_FALSE(m_server->cloud().hasFile(m_key.toStdString()));
}

// A stop that comes before the uploader exists is not lost: the run ends without uploading.
TEST_F(UploadStage, StopBeforeTheUploadStartsIsNotLost)
{
    ASSERT_FALSE(makeRandomFile(m_dir, m_key, 300000, 5).isEmpty());
    {
        SCOPED_TRACE("stopped before run");
        VantrelModel model(makeVideo(7, 77, m_key, 0.3));
        model.stop();
        const RunResult result = runStage(model);
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, QStringLiteral("强制退出"));
        EXPECT_TRUE(calls("Yunupload/uploadInfo").empty());
    }
    {
        SCOPED_TRACE("stopped while the token is fetched");
        Fault slow;
        slow.delayMs = 800;
        m_server->platform().setFault("Yunupload/getUploadToken", slow);
        VantrelModel model(makeVideo(7, 77, m_key, 0.3));
        const RunResult result = runStage(model, [&] {
            ASSERT_TRUE(testsupport::waitUntil([&] { return !calls("Yunupload/getUploadToken").empty(); }, 5000));
            model.stop();
        });
        EXPECT_TRUE(result.threw);
        EXPECT_EQ(result.message, QStringLiteral("强制退出"));
    }
    EXPECT_EQ(m_server->cloud().mkblkCount(), 0);
}

TEST(UploadStageRecord, EmptyVideoIsRefused)
{
    EXPECT_THROW(VantrelModel(std::shared_ptr<QDtaVideo>()), UException);
}
