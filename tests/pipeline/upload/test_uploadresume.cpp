// The cloud uploader against the local server run as a program of its own: resume after the
// file changed, a recorded host that is gone, answers that are not the protocol's, damaged
// resume files.

#include <memory>
#include <string>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>
#include <httplib.h>
#include <json/json.h>

#include "cglobal.h"
#include "qchildprocess.h"
#include "qjsonfile.h"
#include "qvalue.h"
#include "testsupport.h"
#include "uploadserver.h"
#include "vantrelfile.h"

namespace
{
    const QString kServer = QStringLiteral(VANTREL_BIN_DIR "platformserver");
    const char *const kToken = "up-resume-token";
    constexpr qint64 kTenMiB = 10 * 1024 * 1024;
    constexpr int kChunk = 262144;
    constexpr int kChunksPerBlock = Qiniu_Rio_BlockSize / kChunk;

    // A port of 127.0.0.1 that nobody listens on (bound, then closed).
    int closedPort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t size = sizeof(address);
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
            port = ntohs(address.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    struct Outcome
    {
        bool finished = false;
        bool success = false;
        QString error;
    };

    class UploadResume : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            CGlobal::init();
            m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            m_server.start(kServer, {QStringLiteral("--port"), QStringLiteral("0")});
            ASSERT_TRUE(m_server.waitForStarted(10000));
            ASSERT_TRUE(testsupport::waitUntil([&] { return m_server.canReadLine(); }, 10000));
            bool ok = false;
            m_port = QString::fromLatin1(m_server.readLine()).trimmed().toInt(&ok);
            ASSERT_TRUE(ok && m_port > 0);
            qputenv("VANTREL_UPLOAD_HOST", QByteArray("127.0.0.1:") + QByteArray::number(m_port));
            control("token?value=" + std::string(kToken));

            m_dir = testsupport::newTempDir();
            m_file = makeRandomFile(m_dir, QStringLiteral("lesson 2.vep"), kTenMiB, 11);
            ASSERT_FALSE(m_file.isEmpty());
        }

        void TearDown() override
        {
            QChildProcess::end(m_server, 5000, 5000);
        }

        void control(const std::string &what)
        {
            httplib::Client client("127.0.0.1", m_port);
            const auto res = client.Post(("/_test/cloud/" + what).c_str(), "", "text/plain");
            ASSERT_TRUE(res) << what;
            ASSERT_EQ(res->status, 200) << what << ": " << res->body;
        }

        Json::Value state()
        {
            httplib::Client client("127.0.0.1", m_port);
            const auto res = client.Get("/_test/cloud/state");
            Json::Value v;
            if (!res)
                return v;
            Json::CharReaderBuilder b;
            std::unique_ptr<Json::CharReader> r(b.newCharReader());
            std::string errors;
            r->parse(res->body.data(), res->body.data() + res->body.size(), &v, &errors);
            return v;
        }

        // The stored object of `key`; "<none>" when there is none.
        QByteArray stored(const QString &key)
        {
            httplib::Client client("127.0.0.1", m_port);
            httplib::Params params {{"key", key.toStdString()}};
            const auto res = client.Get("/_test/cloud/file", params, httplib::Headers());
            if (!res || res->status != 200)
                return QByteArrayLiteral("<none>");
            return QByteArray::fromStdString(res->body);
        }

        Outcome upload()
        {
            Outcome out;
            VantrelFile uploader;
            uploader.setToken(kToken);
            uploader.startUploadVep(m_file, m_key);
            out.finished = testsupport::waitUntil([&] { return uploader.isFinished(); }, 60000);
            out.success = uploader.isSuccess();
            out.error = QString::fromStdWString(uploader.errorString());
            return out;
        }

        // A put that the server ends after two whole blocks and three chunks of the last one.
        void failAfterTwoBlocksAndAHalf()
        {
            control("fail?after=" + std::to_string(2 * kChunksPerBlock + 3));
            const Outcome failed = upload();
            ASSERT_TRUE(failed.finished);
            ASSERT_FALSE(failed.success);
            ASSERT_TRUE(QFile::exists(progressFile()));
            QValue records;
            ASSERT_TRUE(QJsonFile::read(progressFile(), records));
            ASSERT_EQ(records.size(), 3u);
            ASSERT_EQ(records[2]["offset"].asInt(), 3 * kChunk);
            control("reset");
        }

        QString progressFile() const
        {
            return VantrelFile::progressPath(m_key, m_file);
        }

        QTiedProcess m_server;
        int m_port = 0;
        QString m_dir;
        QString m_file;
        const QString m_key = QStringLiteral("12_345_78_lesson 2.vep");
    };
}

// Bytes changed in place (same size, same modification time) after a part of the file was put:
// the blocks holding them are sent again, the others are not, and the stored object is the file.
TEST_F(UploadResume, ChangedFileSendsChangedBlocksAgainAndStoresTheFile)
{
    const struct
    {
        qint64 offset;
        qint64 resent;   // bytes the resumed put sends
    } cases[] = {
        {100, Qiniu_Rio_BlockSize + 2 * 1024 * 1024 - 3 * kChunk},                         // a whole block
        {Qiniu_Rio_BlockSize + Qiniu_Rio_BlockSize - 4, Qiniu_Rio_BlockSize + 2 * 1024 * 1024 - 3 * kChunk},
        {2 * Qiniu_Rio_BlockSize + 100, 2 * 1024 * 1024},                                    // the recorded part of the last
        {2 * Qiniu_Rio_BlockSize + 3 * kChunk + 100, 2 * 1024 * 1024 - 3 * kChunk},          // past what was recorded
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.offset);
        QFile::remove(progressFile());
        failAfterTwoBlocksAndAHalf();

        const QDateTime modified = QFileInfo(m_file).lastModified();
        {
            QFile file(m_file);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            ASSERT_TRUE(file.seek(c.offset));
            ASSERT_EQ(file.write("\x01\x02\x03\x04", 4), 4);
            file.close();
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
        }

        const Outcome resumed = upload();
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
        EXPECT_EQ(state()["chunkBytes"].asInt64(), c.resent);
        EXPECT_FALSE(QFile::exists(progressFile()));
    }
}

// The host recorded for a half-sent block is gone: the block is sent again, whole, at the
// configured host, once; the object is complete.
TEST_F(UploadResume, RecordedHostThatIsGoneRedoesItsBlockAtTheConfiguredHost)
{
    failAfterTwoBlocksAndAHalf();
    const int gone = closedPort();
    ASSERT_GT(gone, 0);
    QValue records;
    ASSERT_TRUE(QJsonFile::read(progressFile(), records));
    records[2]["host"] = QStringLiteral("http://127.0.0.1:%1").arg(gone).toStdString();
    ASSERT_TRUE(QJsonFile::write(progressFile(), records, false));

    const Outcome resumed = upload();
    ASSERT_TRUE(resumed.finished);
    EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
    EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
    const Json::Value counts = state();
    EXPECT_EQ(counts["mkblk"].asInt(), 1);
    EXPECT_EQ(counts["chunkBytes"].asInt64(), 2 * 1024 * 1024);
    EXPECT_FALSE(QFile::exists(progressFile()));
}

// An answer the server gives that is not the protocol's has its own message, and nothing is stored.
TEST_F(UploadResume, NonsenseAnswersHaveTheirOwnMessage)
{
    for (const char *kind : {"notjson", "huge", "badctx"})
    {
        SCOPED_TRACE(kind);
        QFile::remove(progressFile());
        control(std::string("nonsense?kind=") + kind);
        const Outcome out = upload();
        ASSERT_TRUE(out.finished);
        EXPECT_FALSE(out.success);
        EXPECT_EQ(out.error, QStringLiteral("上传文件失败 -6:上传服务器返回的数据无效"));
        EXPECT_EQ(stored(m_key), QByteArrayLiteral("<none>"));
        EXPECT_EQ(state()["mkfile"].asInt(), 0);
    }
    control("reset");
    EXPECT_TRUE(upload().success);
    EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
}

// A resume file damaged again and again leaves one ".bad" copy (the latest), and each put
// starts over and succeeds.
TEST_F(UploadResume, DamagedResumeFilesLeaveOneBadCopy)
{
    for (const QByteArray &damage : {QByteArray("{\"broken"), QByteArray("\x00\x01garbage", 9), QByteArray("[[[")})
    {
        ASSERT_TRUE(testsupport::writeAll(progressFile(), damage));
        const Outcome out = upload();
        EXPECT_TRUE(out.success) << out.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
        EXPECT_EQ(testsupport::readAll(progressFile() + QStringLiteral(".bad")), damage);
    }
    const QString name = QFileInfo(progressFile()).fileName();
    EXPECT_EQ(QDir(QFileInfo(progressFile()).path()).entryList({name + QStringLiteral("*")}, QDir::Files),
              QStringList {name + QStringLiteral(".bad")});
}
