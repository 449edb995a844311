// The cloud uploader against the local server run as a program of its own: the three kinds of
// chunk checksum a cloud may answer, resume after the file changed (in place, or grown or
// shrunk, which starts over),
// proofs that are missing or of other records, a recorded host that is gone, answers that are
// not the protocol's, damaged resume files.

#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <unistd.h>

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

        QString proofFile() const
        {
            return Qiniu_Rio_Recv::proofPath(progressFile());
        }

        // Overwrites 4 bytes at `offset`, keeping size and modification time (to the nanosecond).
        void changeInPlace(qint64 offset)
        {
            const QByteArray native = QFile::encodeName(m_file);
            struct stat before {};
            ASSERT_EQ(::stat(native.constData(), &before), 0);
            QFile file(m_file);
            ASSERT_TRUE(file.open(QIODevice::ReadWrite));
            ASSERT_TRUE(file.seek(offset));
            ASSERT_EQ(file.write("\x01\x02\x03\x04", 4), 4);
            file.close();
            const struct timespec times[2] = {before.st_atim, before.st_mtim};
            ASSERT_EQ(::utimensat(AT_FDCWD, native.constData(), times, 0), 0);
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
        changeInPlace(c.offset);

        const Outcome resumed = upload();
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
        EXPECT_EQ(state()["chunkBytes"].asInt64(), c.resent);
        EXPECT_FALSE(QFile::exists(progressFile()));
        EXPECT_FALSE(QFile::exists(proofFile()));
    }
}

// A cloud's checksum is its own: the hex SHA-1 of the block, a text of no meaning to us, or
// none. With each, an upload stores the file as it is, the checksum is kept in the resume file
// as it came, and a resume after bytes changed in place sends those blocks again.
TEST_F(UploadResume, EachKindOfChecksumUploadsAndResumesWithoutCorruption)
{
    for (const char *style : {"sha1", "opaque", "none"})
    {
        SCOPED_TRACE(style);
        control(std::string("checksum?style=") + style);
        QFile::remove(progressFile());
        ASSERT_EQ(makeRandomFile(m_dir, QStringLiteral("lesson 2.vep"), kTenMiB, 21), m_file);
        const Outcome fresh = upload();
        ASSERT_TRUE(fresh.finished);
        EXPECT_TRUE(fresh.success) << fresh.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));

        control("fail?after=" + std::to_string(2 * kChunksPerBlock + 3));
        ASSERT_FALSE(upload().success);
        QValue records;
        ASSERT_TRUE(QJsonFile::read(progressFile(), records));
        ASSERT_EQ(records.size(), 3u);
        const std::string checksum = records[0]["checksum"].asString();
        if (std::string(style) == "sha1")
            EXPECT_EQ(checksum.size(), 40u);
        else if (std::string(style) == "opaque")
            EXPECT_EQ(checksum.compare(0, 3, "Fo/"), 0) << checksum;
        else
            EXPECT_EQ(checksum, "");
        control("reset");
        control(std::string("checksum?style=") + style);

        changeInPlace(100);
        changeInPlace(2 * Qiniu_Rio_BlockSize + 100);
        const Outcome resumed = upload();
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
        // Block 0 and the last block again, block 1 not.
        EXPECT_EQ(state()["chunkBytes"].asInt64(), Qiniu_Rio_BlockSize + 2 * 1024 * 1024);
        EXPECT_FALSE(QFile::exists(progressFile()));
        control("reset");
    }
}

// The file grew or shrank inside its last block between two runs: its size is not the one the
// resume state noted, so nothing of it is resumed; the whole file is sent again and the stored
// object equals the file as it is now.
TEST_F(UploadResume, FileThatGrewOrShrankBetweenRunsIsSentAgainWhole)
{
    const qint64 lastBlock = kTenMiB - 2 * Qiniu_Rio_BlockSize;
    const struct
    {
        const char *name;
        qint64 newLastBlock;
    } cases[] = {
        {"grew by 100 bytes", lastBlock + 100},
        {"grew to a whole block", Qiniu_Rio_BlockSize},
        {"shrank by 100 bytes", lastBlock - 100},
        {"shrank to just past the recorded part", 3 * kChunk + 5},
        {"shrank into the recorded part", 2 * kChunk},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        QFile::remove(progressFile());
        ASSERT_EQ(makeRandomFile(m_dir, QStringLiteral("lesson 2.vep"), kTenMiB, 31), m_file);
        failAfterTwoBlocksAndAHalf();
        const qint64 newSize = 2 * Qiniu_Rio_BlockSize + c.newLastBlock;
        if (newSize > kTenMiB)
        {
            const QString more = makeRandomFile(m_dir, QStringLiteral("more"), newSize - kTenMiB, 32);
            ASSERT_FALSE(more.isEmpty());
            QFile file(m_file);
            ASSERT_TRUE(file.open(QIODevice::Append));
            ASSERT_EQ(file.write(testsupport::readAll(more)), newSize - kTenMiB);
        }
        else
            ASSERT_TRUE(QFile::resize(m_file, newSize));

        const Outcome resumed = upload();
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        const QByteArray local = testsupport::readAll(m_file);
        ASSERT_EQ(local.size(), newSize);
        EXPECT_EQ(stored(m_key), local);
        const Json::Value counts = state();
        EXPECT_EQ(counts["mkblk"].asInt(), 3);
        EXPECT_EQ(counts["mkfile"].asInt(), 1);
        EXPECT_EQ(counts["chunkBytes"].asInt64(), newSize);
        EXPECT_FALSE(QFile::exists(progressFile()));
    }
}

// What proves the records: without it, or with a proof of other records, those blocks are
// sent again; the stored object is the file either way.
TEST_F(UploadResume, RecordsWithoutTheirProofAreSentAgain)
{
    const struct
    {
        const char *name;
        std::function<void(const QString &)> damage;
        qint64 resent;
    } cases[] = {
        {"no proof file", [](const QString &proof) { QFile::remove(proof); }, kTenMiB},
        {"proof not JSON", [](const QString &proof) { testsupport::writeAll(proof, "{{"); }, kTenMiB},
        {"proof of another ctx for block 0", [](const QString &proof) {
             QValue root;
             ASSERT_TRUE(QJsonFile::read(proof, root));
             root["blocks"][0]["ctx"] = "another";
             ASSERT_TRUE(QJsonFile::write(proof, root, false));
         }, Qiniu_Rio_BlockSize + 2 * 1024 * 1024 - 3 * kChunk},
        {"proof of another offset for the last block", [](const QString &proof) {
             QValue root;
             ASSERT_TRUE(QJsonFile::read(proof, root));
             root["blocks"][2]["offset"] = 2 * kChunk;
             ASSERT_TRUE(QJsonFile::write(proof, root, false));
         }, 2 * 1024 * 1024},
        {"digest of other bytes for block 1", [](const QString &proof) {
             QValue root;
             ASSERT_TRUE(QJsonFile::read(proof, root));
             root["blocks"][1]["sha1"] = std::string(40, '0');
             ASSERT_TRUE(QJsonFile::write(proof, root, false));
         }, Qiniu_Rio_BlockSize + 2 * 1024 * 1024 - 3 * kChunk},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        QFile::remove(progressFile());
        failAfterTwoBlocksAndAHalf();
        ASSERT_TRUE(QFile::exists(proofFile()));
        c.damage(proofFile());

        const Outcome resumed = upload();
        ASSERT_TRUE(resumed.finished);
        EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
        EXPECT_EQ(stored(m_key), testsupport::readAll(m_file));
        EXPECT_EQ(state()["chunkBytes"].asInt64(), c.resent);
        EXPECT_FALSE(QFile::exists(proofFile()));
    }
}

// The server refuses the resumed block and everything after: the put starts over once, from
// the start, and then fails with the refusal; no resume file is left to repeat it.
TEST_F(UploadResume, RefusedResumeStartsOverOnceThenFails)
{
    failAfterTwoBlocksAndAHalf();
    control("fail?after=0&status=400");
    const Outcome out = upload();
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.success);
    EXPECT_EQ(out.error, QStringLiteral("上传文件失败 400:请求报文格式错误"));
    const Json::Value counts = state();
    EXPECT_EQ(counts["bput"].asInt(), 1);
    EXPECT_EQ(counts["mkblk"].asInt(), 1);
    EXPECT_EQ(counts["mkfile"].asInt(), 0);
    EXPECT_FALSE(QFile::exists(progressFile()));
    EXPECT_FALSE(QFile::exists(proofFile()));
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
