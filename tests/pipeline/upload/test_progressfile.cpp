// The ".progress" resume file and the result rule of a put, without a server.

#include <cstdint>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qjsonfile.h"
#include "qvalue.h"
#include "testsupport.h"
#include "vantrelfile.h"

namespace
{
    // A local file of `size` bytes (content irrelevant: only its size makes the block count).
    QString makeFile(const QString &dir, const QString &name, qint64 size)
    {
        const QString path = dir + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        EXPECT_TRUE(file.resize(size));
        return path;
    }

    constexpr qint64 kTenMiB = 10 * 1024 * 1024;

    // Writes a ".progress" file as an earlier run would have left it (its folder made on the way).
    bool writeProgress(const QString &path, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        return testsupport::writeAll(path, content);
    }
}

TEST(ProgressFile, RoundTripKeepsCrcBitsAndSortedMembers)
{
    Qiniu_Rio_BlkputRet blocks[3];
    blocks[0].ctx = "ctx-a";
    blocks[0].checksum = "sum-a";
    blocks[0].crc32 = 0x80000001u;
    blocks[0].offset = Qiniu_Rio_BlockSize;
    blocks[0].host = "http://127.0.0.1:1";
    blocks[1].ctx = "ctx-b";
    blocks[1].checksum = "sum-b";
    blocks[1].crc32 = 0xFFFFFFFFu;
    blocks[1].offset = Qiniu_Rio_BlockSize;
    blocks[1].host = "http://127.0.0.1:2";

    const QByteArray text = Qiniu_Rio_Recv::saveProgress(blocks, 3);
    EXPECT_EQ(text.trimmed(),
              QByteArray("[{\"checksum\":\"sum-a\",\"crc32\":-2147483647,\"ctx\":\"ctx-a\",\"host\":\"http://127.0.0.1:1\","
                         "\"offset\":4194304},"
                         "{\"checksum\":\"sum-b\",\"crc32\":-1,\"ctx\":\"ctx-b\",\"host\":\"http://127.0.0.1:2\",\"offset\":4194304},"
                         "{\"checksum\":null,\"crc32\":0,\"ctx\":null,\"host\":null,\"offset\":0}]"));

    const QString dir = testsupport::newTempDir();
    const QString local = makeFile(dir, QStringLiteral("a.vep"), kTenMiB);
    const QString progress = VantrelFile::progressPath(QStringLiteral("key"), local);
    ASSERT_TRUE(writeProgress(progress, text));

    VantrelFile uploader;
    Qiniu_Rio_Recv recv;
    recv.setFile(local, kTenMiB);
    uploader.loadProgress(&recv, local, QStringLiteral("key"));
    EXPECT_EQ(recv.m_progressPath, progress);
    ASSERT_EQ(recv.loadedCount(), 3);
    EXPECT_EQ(recv.block(0).crc32, 0x80000001u);
    EXPECT_STREQ(recv.block(0).ctx, "ctx-a");
    EXPECT_STREQ(recv.block(0).checksum, "sum-a");
    EXPECT_STREQ(recv.block(0).host, "http://127.0.0.1:1");
    EXPECT_EQ(recv.block(0).offset, uint32_t(Qiniu_Rio_BlockSize));
    EXPECT_EQ(recv.block(1).crc32, 0xFFFFFFFFu);
    EXPECT_EQ(recv.block(2).ctx, nullptr);
    EXPECT_EQ(recv.block(2).offset, 0u);
    // Written back from what was read: the same bytes.
    EXPECT_EQ(Qiniu_Rio_Recv::saveProgress(recv.blocks(), recv.blockCount()), text);
    EXPECT_TRUE(QFile::exists(progress));
}

TEST(ProgressFile, NameDependsOnKeyAndLocalPathAndLivesInTheDataFolder)
{
    const QString a = VantrelFile::progressPath(QStringLiteral("k"), QStringLiteral("/v/a.vep"));
    EXPECT_TRUE(a.endsWith(QStringLiteral(".progress")));
    EXPECT_EQ(QFileInfo(a).fileName().size(), 32 + 9);
    EXPECT_EQ(QFileInfo(a).absolutePath() + QStringLiteral("/"), CGlobal::defaultDataPath());
    EXPECT_NE(a, VantrelFile::progressPath(QStringLiteral("k2"), QStringLiteral("/v/a.vep")));
    EXPECT_NE(a, VantrelFile::progressPath(QStringLiteral("k"), QStringLiteral("/v/b.vep")));
    EXPECT_EQ(a, VantrelFile::progressPath(QStringLiteral("k"), QStringLiteral("/v/a.vep")));
}

TEST(ProgressFile, ElementWithOffsetZeroStaysNotDone)
{
    const QString dir = testsupport::newTempDir();
    const QString local = makeFile(dir, QStringLiteral("b.vep"), kTenMiB);
    const QString progress = VantrelFile::progressPath(QStringLiteral("key"), local);
    ASSERT_TRUE(writeProgress(progress,
        "[{\"checksum\":\"s\",\"crc32\":5,\"ctx\":\"c0\",\"host\":\"h\",\"offset\":0},"
        "{\"checksum\":\"s\",\"crc32\":6,\"ctx\":\"c1\",\"host\":\"h\",\"offset\":-3},"
        "{\"checksum\":\"s\",\"crc32\":7,\"ctx\":\"c2\",\"host\":\"h\",\"offset\":1024}]"));

    VantrelFile uploader;
    Qiniu_Rio_Recv recv;
    recv.setFile(local, kTenMiB);
    uploader.loadProgress(&recv, local, QStringLiteral("key"));
    EXPECT_EQ(recv.loadedCount(), 3);
    EXPECT_EQ(recv.block(0).ctx, nullptr);
    EXPECT_EQ(recv.block(0).offset, 0u);
    EXPECT_EQ(recv.block(1).ctx, nullptr);
    EXPECT_STREQ(recv.block(2).ctx, "c2");
    EXPECT_EQ(recv.block(2).offset, 1024u);
}

// The file shrank inside its last block since the records were written: that record alone is
// left out, the others are taken.
TEST(ProgressFile, RecordBeyondALastBlockThatShrankIsLeftOutAlone)
{
    const QString dir = testsupport::newTempDir();
    const QString local = makeFile(dir, QStringLiteral("d.vep"), kTenMiB);
    const QString progress = VantrelFile::progressPath(QStringLiteral("key"), local);
    ASSERT_TRUE(writeProgress(progress,
        "[{\"checksum\":\"s\",\"crc32\":5,\"ctx\":\"c0\",\"host\":\"h\",\"offset\":4194304},"
        "{\"checksum\":\"s\",\"crc32\":6,\"ctx\":\"c1\",\"host\":\"h\",\"offset\":4194304},"
        "{\"checksum\":\"s\",\"crc32\":7,\"ctx\":\"c2\",\"host\":\"h\",\"offset\":2097153}]"));

    VantrelFile uploader;
    Qiniu_Rio_Recv recv;
    recv.setFile(local, kTenMiB);
    uploader.loadProgress(&recv, local, QStringLiteral("key"));
    EXPECT_EQ(recv.loadedCount(), 3);
    EXPECT_STREQ(recv.block(0).ctx, "c0");
    EXPECT_STREQ(recv.block(1).ctx, "c1");
    EXPECT_EQ(recv.block(2).ctx, nullptr);
    EXPECT_EQ(recv.block(2).offset, 0u);
    EXPECT_TRUE(QFile::exists(progress));
}

// Each of these leaves the receiver empty, so the put starts fresh, and the file is gone from
// its name (deleted, or kept aside as ".bad" when it is not JSON at all); nothing is read past
// the block array (run under AddressSanitizer).
TEST(ProgressFile, MalformedFilesAreNoResumeData)
{
    const struct
    {
        const char *name;
        QByteArray content;
        bool keptAsBad;
    } cases[] = {
        {"empty file", "", true},
        {"not JSON", "{{{ nope", true},
        {"truncated", "[{\"checksum\":\"s\",\"crc32\":5,\"ctx\":\"c0\"", true},
        {"an object", "{\"ctx\":\"c\"}", false},
        {"a number", "42", false},
        {"more elements than blocks",
         "[{\"ctx\":\"a\",\"offset\":4194304},{\"ctx\":\"b\",\"offset\":4194304},"
         "{\"ctx\":\"c\",\"offset\":2097152},{\"ctx\":\"d\",\"offset\":5}]", false},
        {"fewer elements than blocks", "[{\"ctx\":\"a\",\"offset\":4194304}]", false},
        {"element not an object", "[1,2,3]", false},
        {"ctx a number", "[{\"ctx\":7,\"offset\":4194304},{},{}]", false},
        {"checksum an array", "[{\"ctx\":\"a\",\"checksum\":[],\"offset\":4194304},{},{}]", false},
        {"host an object", "[{\"ctx\":\"a\",\"host\":{},\"offset\":4194304},{},{}]", false},
        {"offset a text", "[{\"ctx\":\"a\",\"offset\":\"4194304\"},{},{}]", false},
        {"crc32 a real", "[{\"ctx\":\"a\",\"crc32\":1.5,\"offset\":4194304},{},{}]", false},
        {"crc32 beyond 32 bits", "[{\"ctx\":\"a\",\"crc32\":8589934592,\"offset\":4194304},{},{}]", false},
        {"offset beyond its block", "[{\"ctx\":\"a\",\"offset\":4194305},{},{}]", false},
        {"far too large", QByteArray(100000, ' ') + "[{},{},{}]", false},
    };
    const QString dir = testsupport::newTempDir();
    const QString local = makeFile(dir, QStringLiteral("c.vep"), kTenMiB);
    const QString progress = VantrelFile::progressPath(QStringLiteral("key"), local);
    VantrelFile uploader;
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        QFile::remove(QJsonFile::badFileName(progress));
        QFile::remove(progress + QStringLiteral(".bad"));
        ASSERT_TRUE(writeProgress(progress, c.content));
        Qiniu_Rio_Recv recv;
        recv.setFile(local, kTenMiB);
        uploader.loadProgress(&recv, local, QStringLiteral("key"));
        EXPECT_EQ(recv.loadedCount(), 0);
        for (int i = 0; i < recv.blockCount(); ++i)
            EXPECT_EQ(recv.block(i).ctx, nullptr) << i;
        EXPECT_FALSE(QFile::exists(progress));
        EXPECT_EQ(QFile::exists(progress + QStringLiteral(".bad")), c.keptAsBad);
    }
}

TEST(ProgressFile, NotifyRewritesTheFileAtFinishedBlocksAndEveryChunkOfTheLast)
{
    const QString dir = testsupport::newTempDir();
    Qiniu_Rio_Recv recv;
    recv.setFile(dir + QStringLiteral("x.vep"), kTenMiB);
    recv.m_progressPath = dir + QStringLiteral("x.progress");
    std::vector<int> percents;
    recv.setProgressCallback([&](int p) { percents.push_back(p); });

    Qiniu_Rio_BlkputRet r;
    r.ctx = "c";
    r.checksum = "s";
    r.host = "h";
    r.crc32 = 9;
    r.offset = 262144;
    recv.notify(0, Qiniu_Rio_BlockSize, &r);
    EXPECT_FALSE(QFile::exists(recv.m_progressPath)) << "a chunk inside a block is not written";
    r.offset = Qiniu_Rio_BlockSize;
    recv.notify(0, Qiniu_Rio_BlockSize, &r);
    ASSERT_TRUE(QFile::exists(recv.m_progressPath));
    r.offset = 262144;
    recv.notify(2, 2 * 1024 * 1024, &r);

    QValue root;
    ASSERT_TRUE(QJsonFile::read(recv.m_progressPath, root));
    ASSERT_TRUE(root.isArray());
    ASSERT_EQ(root.size(), 3u);
    EXPECT_EQ(root[0]["offset"].asInt(), Qiniu_Rio_BlockSize);
    EXPECT_TRUE(root[1]["ctx"].isNull());
    EXPECT_EQ(root[2]["offset"].asInt(), 262144);
    EXPECT_EQ(percents, (std::vector<int> {2, 40, 82}));
}

TEST(ProgressFile, PercentOfFilesBeyond4GiBIsRight)
{
    // 6 GiB: 1536 blocks. The middle of block 1000 is 4000 MiB + 2 MiB done, 65 %.
    const qint64 size = 6LL * 1024 * 1024 * 1024;
    Qiniu_Rio_Recv recv;
    recv.setFile(QStringLiteral("/none"), size);
    ASSERT_EQ(recv.blockCount(), 1536);
    int last = -1;
    recv.setProgressCallback([&](int p) { last = p; });
    Qiniu_Rio_BlkputRet r;
    r.ctx = "c";
    r.offset = 2 * 1024 * 1024;
    recv.notify(1000, Qiniu_Rio_BlockSize, &r);
    EXPECT_EQ(last, 65);
    r.offset = Qiniu_Rio_BlockSize;
    recv.notify(1535, Qiniu_Rio_BlockSize, &r);
    EXPECT_EQ(last, 100);
}

// The result rule: whether the put counts as done, the error text, and whether ".progress" goes.
TEST(ResultRule, CodesTextsAndProgressFile)
{
    const struct
    {
        int code;
        const char *message;
        bool result;
        const char *text;     // error text afterwards (empty: untouched)
        bool progressDeleted;
    } cases[] = {
        {200, "", true, "", true},
        {579, "{\"err_code\":200}", true, "上传文件失败 579:", true},
        {579, "{\"error\":\"callback failed\",\"err_code\":500}", false, "上传文件失败 579:", false},
        {579, "not json", false, "上传文件失败 579:", false},
        {406, "", false, "上传文件失败 406:上传的数据 CRC32 校验错误", false},
        {503, "", false, "上传文件失败 503:服务端不可用", false},
        {701, "", false, "上传文件失败 701:在断点续传的过程中，后续上传接收地址不正确", true},
        {9901, "", false, "上传文件失败 9901:上传进度文件已损坏，请重新上传！", true},
        {555, "", false, "上传文件失败 555:", false},
        {Qiniu_Code_Transport, "connection refused", false, "上传文件失败 -1:无法连接上传服务器", false},
    };
    const QString dir = testsupport::newTempDir();
    const QString progress = dir + QStringLiteral("r.progress");
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.code);
        SCOPED_TRACE(c.message);
        VantrelFile uploader;
        ASSERT_TRUE(writeProgress(progress, "[]"));
        EXPECT_EQ(uploader.checkResult(c.code, QString::fromUtf8(c.message), progress), c.result);
        EXPECT_EQ(QString::fromStdWString(uploader.errorString()), QString::fromUtf8(c.text));
        EXPECT_EQ(!QFile::exists(progress), c.progressDeleted);
    }
}
