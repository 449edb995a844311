// The cloud uploader over the real upload layer and libcurl, against the local server.

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>

#include <gtest/gtest.h>
#include <httplib.h>

#include "qjsonfile.h"
#include "qvalue.h"
#include "servercrypto.h"
#include "testsupport.h"
#include "uploadserver.h"
#include "vantrelfile.h"

namespace
{
    constexpr qint64 kTenMiB = 10 * 1024 * 1024;
    constexpr int kChunksPerBlock = Qiniu_Rio_BlockSize / 262144;
    // How long the server holds a chunk in the stop tests: a stop that waited for the answer
    // would take this long.
    constexpr int kHeldChunkMs = 30000;

    struct Outcome
    {
        bool finished = false;
        bool success = false;
        QString error;
        std::vector<int> progress;
    };

    Outcome upload(const std::function<void(VantrelFile &)> &start, const char *token = UploadServer::token())
    {
        Outcome out;
        VantrelFile uploader;
        QSignalSpy spy(&uploader, SIGNAL(signal_progress(int)));
        uploader.setToken(token);
        start(uploader);
        out.finished = testsupport::waitUntil([&] { return uploader.isFinished(); }, 30000);
        out.success = uploader.isSuccess();
        out.error = QString::fromStdWString(uploader.errorString());
        for (const QList<QVariant> &args : spy)
            out.progress.push_back(args.at(0).toInt());
        return out;
    }

    Outcome uploadFile(const QString &path, const QString &key, const char *token = UploadServer::token())
    {
        return upload([&](VantrelFile &u) { u.startUploadVep(path, key); }, token);
    }

    class Uploader : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_server = std::make_unique<UploadServer>();
            ASSERT_TRUE(m_server->isRunning());
            m_dir = testsupport::newTempDir();
            m_file = makeRandomFile(m_dir, QStringLiteral("lesson 1.vep"), kTenMiB, 7);
            ASSERT_FALSE(m_file.isEmpty());
        }

        QByteArray source() const
        {
            return testsupport::readAll(m_file);
        }

        QString progressFile() const
        {
            return VantrelFile::progressPath(m_key, m_file);
        }

        // An upload of m_file whose first chunk the server holds far longer than a stop may
        // take; null when the request never arrived.
        std::unique_ptr<VantrelFile> startHeldUpload()
        {
            m_server->cloud().setChunkDelay(kHeldChunkMs);
            auto uploader = std::make_unique<VantrelFile>();
            uploader->setToken(UploadServer::token());
            uploader->startUploadVep(m_file, m_key);
            if (!testsupport::waitUntil([&] { return m_server->cloud().mkblkCount() >= 1; }, 10000))
                return nullptr;
            return uploader;
        }

        std::unique_ptr<UploadServer> m_server;
        QString m_dir;
        QString m_file;
        const QString m_key = QStringLiteral("12_345_77_lesson 1.vep");
    };
}

TEST_F(Uploader, FileArrivesWholeAndItsProgressFileGoes)
{
    const Outcome out = uploadFile(m_file, m_key);
    ASSERT_TRUE(out.finished);
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_TRUE(out.error.isEmpty());
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), source());
    EXPECT_EQ(m_server->cloud().mkblkCount(), 3);
    EXPECT_EQ(m_server->cloud().mkfileCount(), 1);
    EXPECT_FALSE(QFile::exists(progressFile()));
    ASSERT_FALSE(out.progress.empty());
    EXPECT_EQ(out.progress.back(), 100);
    for (size_t i = 1; i < out.progress.size(); ++i)
        EXPECT_LT(out.progress[i - 1], out.progress[i]);
}

// A put that fails part-way keeps the finished blocks in ".progress"; the next put of the same
// file and key sends only what is missing and the stored file equals the source.
TEST_F(Uploader, ResumeSendsOnlyWhatIsMissing)
{
    const struct
    {
        int failAfter;       // chunk requests answered before the server fails
        uint32_t lastOffset; // stored offset of the last block afterwards
        int mkblk;           // requests of the resumed put
        int bput;
    } cases[] = {
        {2 * kChunksPerBlock, 0, 1, 7},                  // between blocks 1 and 2
        {2 * kChunksPerBlock + 4, 4 * 262144, 0, 4},     // inside the last block
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.failAfter);
        QFile::remove(progressFile());
        m_server = std::make_unique<UploadServer>();
        ASSERT_TRUE(m_server->isRunning());
        m_server->cloud().failAfterChunks(c.failAfter);
        const Outcome failed = uploadFile(m_file, m_key);
        ASSERT_TRUE(failed.finished);
        EXPECT_FALSE(failed.success);
        EXPECT_EQ(failed.error, QStringLiteral("上传文件失败 503:服务端不可用"));
        EXPECT_FALSE(m_server->cloud().hasFile(m_key.toStdString()));

        QValue stored;
        ASSERT_TRUE(QJsonFile::read(progressFile(), stored));
        ASSERT_TRUE(stored.isArray());
        ASSERT_EQ(stored.size(), 3u);
        for (int i = 0; i < 2; ++i)
        {
            EXPECT_TRUE(stored[i]["ctx"].isString()) << i;
            EXPECT_EQ(stored[i]["offset"].asInt(), Qiniu_Rio_BlockSize) << i;
        }
        EXPECT_EQ(stored[2]["offset"].asUInt(), c.lastOffset);
        EXPECT_EQ(stored[2]["ctx"].isNull(), c.lastOffset == 0);

        m_server->cloud().reset();
        const Outcome resumed = uploadFile(m_file, m_key);
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        EXPECT_EQ(m_server->cloud().mkblkCount(), c.mkblk);
        EXPECT_EQ(m_server->cloud().bputCount(), c.bput);
        EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), source());
        EXPECT_FALSE(QFile::exists(progressFile()));
        // The percentage starts where the stored blocks end.
        ASSERT_FALSE(resumed.progress.empty());
        EXPECT_GE(resumed.progress.front(), 80);
    }
}

// The output was made anew (same name and size, other bytes) after a failed put: the stored
// blocks are not joined into the new file.
TEST_F(Uploader, ResumeDataOfAChangedFileIsNotUsed)
{
    m_server->cloud().failAfterChunks(2 * kChunksPerBlock);
    ASSERT_FALSE(uploadFile(m_file, m_key).success);
    ASSERT_TRUE(QFile::exists(progressFile()));
    ASSERT_EQ(makeRandomFile(m_dir, QStringLiteral("lesson 1.vep"), kTenMiB, 8), m_file);

    m_server->cloud().reset();
    const Outcome out = uploadFile(m_file, m_key);
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_EQ(m_server->cloud().mkblkCount(), 3);
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), source());
}

// The server no longer knows the stored blocks (701 at the final step): the resume data is
// dropped and the same put sends the whole file again once, from the start, and succeeds.
TEST_F(Uploader, ResumeDataTheServerLostIsDroppedAndTheFileIsSentAgainFromTheStart)
{
    m_server->cloud().failAfterChunks(2 * kChunksPerBlock);
    ASSERT_FALSE(uploadFile(m_file, m_key).success);
    ASSERT_TRUE(QFile::exists(progressFile()));

    m_server = std::make_unique<UploadServer>();
    ASSERT_TRUE(m_server->isRunning());
    const Outcome out = uploadFile(m_file, m_key);
    ASSERT_TRUE(out.finished);
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_TRUE(out.error.isEmpty());
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), source());
    // The resumed put: the last block and a refused final step; then all three blocks anew.
    EXPECT_EQ(m_server->cloud().mkblkCount(), 1 + 3);
    EXPECT_EQ(m_server->cloud().mkfileCount(), 2);
    EXPECT_FALSE(QFile::exists(progressFile()));
}

// The first chunk of the resumed block is refused (400): the resume data goes and the same put
// sends the whole file again, from the start; the stored file is the source.
TEST_F(Uploader, RefusedResumedBlockSendsTheFileAgainFromTheStart)
{
    m_server->cloud().failAfterChunks(2 * kChunksPerBlock + 4);
    ASSERT_FALSE(uploadFile(m_file, m_key).success);
    ASSERT_TRUE(QFile::exists(progressFile()));
    m_server->cloud().reset();

    Fault f;
    f.status = 400;
    f.replaceBody = true;
    f.body = "{\"error\":\"bad chunk length\"}";
    f.count = 1;
    m_server->platform().setFault("cloud/bput", f);
    const Outcome out = uploadFile(m_file, m_key);
    ASSERT_TRUE(out.finished);
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), source());
    EXPECT_EQ(m_server->cloud().mkblkCount(), 3);
    EXPECT_EQ(m_server->cloud().mkfileCount(), 1);
    EXPECT_FALSE(QFile::exists(progressFile()));
}

// A final step refused again after the fresh start is a failure with its text: the file is
// sent anew once, not again and again.
TEST_F(Uploader, FinalStepRefusedTwiceFailsAfterOneFreshStart)
{
    Fault f;
    f.status = 400;
    f.patch["error"] = "refused";
    m_server->platform().setFault("cloud/mkfile", f);
    const Outcome out = uploadFile(m_file, m_key);
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, QStringLiteral("上传文件失败 400:请求报文格式错误"));
    EXPECT_EQ(m_server->cloud().mkfileCount(), 2);
    EXPECT_EQ(m_server->cloud().mkblkCount(), 6);
}

TEST_F(Uploader, StopEndsTheTransferAtOnceAndReportsNothing)
{
    std::unique_ptr<VantrelFile> uploader = startHeldUpload();
    ASSERT_TRUE(uploader);

    QElapsedTimer timer;
    timer.start();
    uploader->stop();
    testsupport::waitUntil([] { return false; }, 200);
    EXPECT_FALSE(uploader->isFinished());
    EXPECT_FALSE(uploader->isSuccess());
    uploader.reset();
    EXPECT_LT(timer.elapsed(), kHeldChunkMs / 3);
    EXPECT_FALSE(m_server->cloud().hasFile(m_key.toStdString()));
}

TEST_F(Uploader, DestroyingARunningUploaderStopsIt)
{
    std::unique_ptr<VantrelFile> uploader = startHeldUpload();
    ASSERT_TRUE(uploader);
    QElapsedTimer timer;
    timer.start();
    uploader.reset();
    EXPECT_LT(timer.elapsed(), kHeldChunkMs / 3);
}

TEST_F(Uploader, FailuresGiveTheirTextAndKeepTheSource)
{
    const struct
    {
        const char *name;
        std::function<void(UploadServer &)> setup;
        const char *token;
        bool success;
        const char *error;
    } cases[] = {
        {"server down", [](UploadServer &) { qputenv("VANTREL_UPLOAD_HOST", QByteArray("127.0.0.1:") + QByteArray::number(testsupport::freePort())); },
         UploadServer::token(), false, "上传文件失败 -1:无法连接上传服务器"},
        {"answer not JSON", [](UploadServer &s) {
             Fault f;
             f.replaceBody = true;
             f.body = "<html>hello</html>";
             s.platform().setFault("cloud/mkblk", f);
         }, UploadServer::token(), false, "上传文件失败 -6:上传服务器返回的数据无效"},
        {"answer without ctx", [](UploadServer &s) {
             Fault f;
             f.replaceBody = true;
             f.body = "{\"crc32\":1,\"offset\":262144}";
             s.platform().setFault("cloud/mkblk", f);
         }, UploadServer::token(), false, "上传文件失败 -6:上传服务器返回的数据无效"},
        {"one answer not JSON is retried", [](UploadServer &s) {
             Fault f;
             f.replaceBody = true;
             f.body = "<html>busy</html>";
             f.count = 1;
             s.platform().setFault("cloud/bput", f);
         }, UploadServer::token(), true, ""},
        {"wrong crc32", [](UploadServer &s) {
             Fault f;
             f.patch["crc32"] = 12345;
             s.platform().setFault("cloud/bput", f);
         }, UploadServer::token(), false, "上传文件失败 406:上传的数据 CRC32 校验错误"},
        {"checksum that is no digest of the block", [](UploadServer &s) {
             Fault f;
             f.patch["checksum"] = "0000000000000000000000000000000000000000";
             s.platform().setFault("cloud/bput", f);
         }, UploadServer::token(), true, ""},
        {"checksum a number", [](UploadServer &s) {
             Fault f;
             f.patch["checksum"] = 17;
             s.platform().setFault("cloud/mkblk", f);
         }, UploadServer::token(), true, ""},
        {"checksum far too long", [](UploadServer &s) {
             Fault f;
             f.patch["checksum"] = std::string(2000, 'c');
             s.platform().setFault("cloud/mkblk", f);
         }, UploadServer::token(), false, "上传文件失败 -6:上传服务器返回的数据无效"},
        {"offset of another chunk", [](UploadServer &s) {
             Fault f;
             f.patch["offset"] = 1;
             s.platform().setFault("cloud/bput", f);
         }, UploadServer::token(), false, "上传文件失败 -6:上传服务器返回的数据无效"},
        {"one server error is retried", [](UploadServer &s) {
             Fault f;
             f.status = 502;
             f.count = 1;
             s.platform().setFault("cloud/bput", f);
         }, UploadServer::token(), true, ""},
        {"bad token", [](UploadServer &) {}, "not-a-token", false, "上传文件失败 401:认证授权失败"},
        {"579 with err_code 200", [](UploadServer &s) { s.cloud().force579(200); }, UploadServer::token(), true, "上传文件失败 579:"},
        {"579 with err_code 500", [](UploadServer &s) { s.cloud().force579(500); }, UploadServer::token(), false, "上传文件失败 579:"},
    };
    const QByteArray original = source();
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        m_server = std::make_unique<UploadServer>();
        ASSERT_TRUE(m_server->isRunning());
        QFile::remove(progressFile());
        c.setup(*m_server);
        const Outcome out = uploadFile(m_file, m_key, c.token);
        ASSERT_TRUE(out.finished);
        EXPECT_EQ(out.success, c.success);
        EXPECT_EQ(out.error, QString::fromUtf8(c.error));
        EXPECT_EQ(source(), original);
        if (c.success) {
            EXPECT_FALSE(QFile::exists(progressFile()));
        }
    }
}

// The upload layer's own message of a refused answer says what differed.
TEST_F(Uploader, RefusedAnswersSayWhatDiffered)
{
    const struct
    {
        const char *name;
        const char *member;
        Json::Value value;
        int code;
        const char *message;
    } cases[] = {
        {"crc32", "crc32", 12345, 406, "crc32 of the answer is 00003039, the chunk's is "},
        {"offset", "offset", 1, Qiniu_Code_BadAnswer, "offset of the answer is 1, the chunk ends at 262144"},
        {"checksum", "checksum", std::string(1025, 'c'), Qiniu_Code_BadAnswer,
         "checksum of the answer is longer than 1024 bytes"},
    };
    Qiniu_Global_Init(-1);
    Qiniu_Client client;
    Qiniu_Client_InitNoAuth(&client, 1024);
    Qiniu_Rio_Settings settings;
    settings.chunkSize = 262144;
    settings.retryDelayMs = 1;
    Qiniu_Rio_SetSettings(&settings);
    Qiniu_Set_Upload_Host(m_server->platform().host().c_str());
    Qiniu_Use_Zone_Huanan(1);
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        Fault f;
        f.patch[c.member] = c.value;
        m_server->platform().setFault("cloud/mkblk", f);
        Qiniu_Rio_PutRet ret;
        Qiniu_Rio_PutExtra extra;
        const Qiniu_Error error = Qiniu_Rio_PutFile(&client, &ret, UploadServer::token(), "k", m_file.toUtf8().constData(), &extra);
        EXPECT_EQ(error.code, c.code);
        const std::string message = error.message ? error.message : "";
        EXPECT_EQ(message.compare(0, std::strlen(c.message), c.message), 0) << message;
        m_server->platform().clearFaults();
    }
    Qiniu_Set_Upload_Host(nullptr);
    Qiniu_Client_Cleanup(&client);
    Qiniu_Global_Cleanup();
}

// The switches as the demo run and scripts reach them: over HTTP, under "/_test/cloud/".
TEST_F(Uploader, ServerSwitchesWorkOverHttp)
{
    httplib::Client http("127.0.0.1", m_server->platform().port());
    const struct
    {
        const char *path;
        int status;
    } refused[] = {
        {"/_test/cloud/fail", 400},
        {"/_test/cloud/fail?after=x", 400},
        {"/_test/cloud/fail?after=1&status=77", 400},
        {"/_test/cloud/delay?ms=-5", 400},
        {"/_test/cloud/force579", 400},
        {"/_test/cloud/checksum", 400},
        {"/_test/cloud/checksum?style=md5", 400},
        {"/_test/cloud/nothing", 404},
    };
    for (const auto &r : refused)
    {
        const auto res = http.Post(r.path, "", "text/plain");
        ASSERT_TRUE(res) << r.path;
        EXPECT_EQ(res->status, r.status) << r.path;
    }

    auto res = http.Post("/_test/cloud/fail?after=0&status=503", "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    const Outcome failed = uploadFile(m_file, m_key);
    EXPECT_EQ(failed.error, QStringLiteral("上传文件失败 503:服务端不可用"));

    res = http.Get("/_test/cloud/state");
    ASSERT_TRUE(res);
    QValue state;
    ASSERT_TRUE(parseJson(QByteArray::fromStdString(res->body), state));
    EXPECT_EQ(jsonInt(jsonMember(state, QStringLiteral("failAfter"))), 0);
    EXPECT_EQ(jsonInt(jsonMember(state, QStringLiteral("mkblk"))), 3);

    ASSERT_TRUE(http.Post("/_test/cloud/reset", "", "text/plain"));
    ASSERT_TRUE(http.Post("/_test/cloud/force579?err_code=200", "", "text/plain"));
    EXPECT_TRUE(uploadFile(m_file, m_key).success);
    res = http.Get(("/_test/cloud/file?key=" + servercrypto::percentEncode(m_key.toStdString())).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(QByteArray::fromStdString(res->body), source());
    res = http.Get("/_test/cloud/file?key=none");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);

    // The platform's own controls still answer.
    res = http.Get("/_test/inflight");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
}

TEST_F(Uploader, EmptyFileIsStoredEmpty)
{
    const QString empty = makeRandomFile(m_dir, QStringLiteral("empty.ts"), 0, 1);
    ASSERT_FALSE(empty.isEmpty());
    const Outcome out = uploadFile(empty, QStringLiteral("empty.ts"));
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_TRUE(m_server->cloud().hasFile("empty.ts"));
    EXPECT_TRUE(m_server->cloud().file("empty.ts").empty());
}

TEST_F(Uploader, MissingLocalFileFailsWithItsMessage)
{
    const QString missing = m_dir + QStringLiteral("gone.vep");
    const Outcome out = uploadFile(missing, m_key);
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, QStringLiteral("文件不存在 ") + missing);
    EXPECT_EQ(m_server->cloud().mkblkCount(), 0);
}

TEST_F(Uploader, FolderUploadsEachFileUnderItsNameAndStepsByFiles)
{
    const QString dir = testsupport::newTempDir();
    const QStringList names {QStringLiteral("a.ts"), QStringLiteral("b.ts"), QStringLiteral("index.m3u8")};
    for (int i = 0; i < names.size(); ++i)
        ASSERT_FALSE(makeRandomFile(dir, names[i], 100000 + i, unsigned(i)).isEmpty());
    ASSERT_TRUE(QDir(dir).mkdir(QStringLiteral("sub")));
    ASSERT_FALSE(makeRandomFile(dir + QStringLiteral("sub/"), QStringLiteral("inner.ts"), 10, 1).isEmpty());

    const Outcome out = upload([&](VantrelFile &u) { u.startUploadDir(dir); });
    ASSERT_TRUE(out.finished);
    EXPECT_TRUE(out.success) << out.error.toStdString();
    EXPECT_EQ(out.progress, (std::vector<int> {0, 33, 66, 100}));
    std::vector<std::string> expected;
    for (const QString &n : names)
    {
        expected.push_back(n.toStdString());
        EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(n.toStdString())), testsupport::readAll(dir + n));
    }
    EXPECT_EQ(m_server->cloud().keys(), expected);
}

TEST_F(Uploader, FolderThatIsMissingOrEmptyIsAFailure)
{
    const QString empty = testsupport::newTempDir();
    ASSERT_TRUE(QDir(empty).mkdir(QStringLiteral("only-a-folder")));
    const struct
    {
        QString dir;
        QString error;
    } cases[] = {
        {m_dir + QStringLiteral("none/"), QStringLiteral("上传目录不存在：") + m_dir + QStringLiteral("none/")},
        {empty, QStringLiteral("上传目录为空：") + empty},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.dir.toStdString());
        const Outcome out = upload([&](VantrelFile &u) { u.startUploadDir(c.dir); });
        ASSERT_TRUE(out.finished);
        EXPECT_FALSE(out.success);
        EXPECT_EQ(out.error, c.error);
    }
    EXPECT_TRUE(m_server->cloud().keys().empty());
}

TEST_F(Uploader, FolderStopsAtTheFirstFailingFile)
{
    const QString dir = testsupport::newTempDir();
    for (const char *n : {"a.ts", "b.ts", "c.ts"})
        ASSERT_FALSE(makeRandomFile(dir, QString::fromLatin1(n), 1000, 3).isEmpty());
    m_server->cloud().failAfterChunks(1, 400);
    const Outcome out = upload([&](VantrelFile &u) { u.startUploadDir(dir); });
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, QStringLiteral("上传文件失败 400:请求报文格式错误"));
    EXPECT_EQ(m_server->cloud().keys(), (std::vector<std::string> {"a.ts"}));
    EXPECT_EQ(out.progress, (std::vector<int> {0}));
}
