// The cloud uploader when the local file changes: while it goes up (written in place, cut,
// extended, replaced; the server's request hook does it between two requests, so the moment is
// exact) and between a failed put and its resume. Each such upload fails with its text and
// leaves no resume state; the next one stores the file as it is then, whole.

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include <gtest/gtest.h>

#include "qjsonfile.h"
#include "qvalue.h"
#include "testsupport.h"
#include "uploadserver.h"
#include "vantrelfile.h"

namespace
{
    constexpr qint64 kTenMiB = 10 * 1024 * 1024;
    constexpr qint64 kChunk = 262144;
    constexpr int kChunksPerBlock = int(Qiniu_Rio_BlockSize / kChunk);
    // A modification time long past: any write in the test moves it.
    constexpr struct timespec kOldTime = {1577836800, 123456789};

    bool setModified(const QString &path, const struct timespec &when)
    {
        const struct timespec times[2] = {when, when};
        return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
    }

    struct timespec modifiedOf(const QString &path)
    {
        struct stat st {};
        ::stat(QFile::encodeName(path).constData(), &st);
        return st.st_mtim;
    }

    quint64 inodeOf(const QString &path)
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
    }

    // 16 bytes at `offset` written over, the modification time kept when `keepTime`.
    bool overwrite(const QString &path, qint64 offset, bool keepTime)
    {
        const struct timespec before = modifiedOf(path);
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) || !file.seek(offset) || file.write("0123456789abcdef", 16) != 16)
            return false;
        file.close();
        return !keepTime || setModified(path, before);
    }

    bool append(const QString &path, qint64 size)
    {
        QFile file(path);
        return file.open(QIODevice::Append) && file.write(QByteArray(int(size), 'x')) == size;
    }

    // Another file (another inode) put in its place under the same name, with `content` and the
    // old one's modification time.
    bool replace(const QString &path, const QByteArray &content)
    {
        const struct timespec before = modifiedOf(path);
        const QString other = path + QStringLiteral(".new");
        return testsupport::writeAll(other, content) && setModified(other, before)
            && ::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0;
    }

    struct Outcome
    {
        bool finished = false;
        bool success = false;
        QString error;
    };

    class UploadChange : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_server = std::make_unique<UploadServer>();
            ASSERT_TRUE(m_server->isRunning());
            m_dir = testsupport::newTempDir();
            makeSource(7);
        }

        void makeSource(unsigned seed)
        {
            m_file = makeRandomFile(m_dir, QStringLiteral("lesson 3.vep"), kTenMiB, seed);
            ASSERT_FALSE(m_file.isEmpty());
            ASSERT_TRUE(setModified(m_file, kOldTime));
        }

        Outcome upload()
        {
            Outcome out;
            VantrelFile uploader;
            uploader.setToken(UploadServer::token());
            uploader.startUploadVep(m_file, m_key);
            out.finished = testsupport::waitUntil([&] { return uploader.isFinished(); }, 60000);
            out.success = uploader.isSuccess();
            out.error = QString::fromStdWString(uploader.errorString());
            return out;
        }

        // A put that the server ends after two whole blocks and three chunks of the last one,
        // leaving its resume state.
        void failAfterTwoBlocksAndAHalf()
        {
            m_server->cloud().failAfterChunks(2 * kChunksPerBlock + 3);
            const Outcome failed = upload();
            ASSERT_TRUE(failed.finished);
            ASSERT_FALSE(failed.success);
            ASSERT_TRUE(QFile::exists(progressFile()));
            m_server->cloud().reset();
        }

        // The next upload sends the file as it is now, whole, and the server stores exactly it.
        void expectStoredWhole()
        {
            m_server->cloud().reset();
            const QByteArray local = testsupport::readAll(m_file);
            const Outcome out = upload();
            ASSERT_TRUE(out.finished);
            EXPECT_TRUE(out.success) << out.error.toStdString();
            EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), local);
            EXPECT_EQ(m_server->cloud().mkblkCount(), Qiniu_Rio_BlockCount(local.size()));
            EXPECT_EQ(m_server->cloud().chunkBytes(), local.size());
            EXPECT_EQ(m_server->cloud().mkfileCount(), 1);
            EXPECT_FALSE(QFile::exists(progressFile()));
            EXPECT_FALSE(QFile::exists(proofFile()));
        }

        QString progressFile() const
        {
            return VantrelFile::progressPath(m_key, m_file);
        }

        QString proofFile() const
        {
            return Qiniu_Rio_Recv::proofPath(progressFile());
        }

        std::unique_ptr<UploadServer> m_server;
        QString m_dir;
        QString m_file;
        const QString m_key = QStringLiteral("12_345_79_lesson 3.vep");
    };
}

TEST_F(UploadChange, ChangeWhileUploadingFailsWithItsTextAndTheNextUploadStoresTheFileWhole)
{
    const struct
    {
        const char *name;
        bool resumed;          // the change comes in a resumed put (the first ended after 2.5 blocks)
        const char *route;     // the change is made as this request arrives...
        int index;             // ...the index-th of its route (0: the first)
        bool made;             // the server had made the file before the change was seen
        std::function<bool(const QString &)> change;
    } cases[] = {
        {"16 bytes of block 0 after it was sent, time kept", false, "mkblk", 1, false,
         [](const QString &f) { return overwrite(f, 1000, true); }},
        {"16 bytes of block 0 after it was sent", false, "mkblk", 1, false,
         [](const QString &f) { return overwrite(f, 1000, false); }},
        // Blocks 0 and 1 take 15 bput requests each, the last block (2 MiB) 7: this is its last.
        {"16 bytes of the last block as its last chunk goes, time kept", false, "bput", 2 * (kChunksPerBlock - 1) + 6,
         false, [](const QString &f) { return overwrite(f, 2 * Qiniu_Rio_BlockSize + 1000, true); }},
        {"16 bytes of the last block while the final step is answered", false, "mkfile", 0, true,
         [](const QString &f) { return overwrite(f, 9 * 1024 * 1024, false); }},
        {"cut inside the block not sent yet", false, "mkblk", 1, false,
         [](const QString &f) { return QFile::resize(f, 9 * 1024 * 1024); }},
        {"cut inside block 0", false, "mkblk", 1, false,
         [](const QString &f) { return QFile::resize(f, 1024 * 1024); }},
        {"extended by 1 MiB", false, "mkblk", 1, false,
         [](const QString &f) { return append(f, 1024 * 1024); }},
        {"replaced by another file of the same size and time", false, "mkblk", 1, false,
         [](const QString &f) { return replace(f, QByteArray(int(kTenMiB), 'r')); }},
        {"16 bytes of a resumed block, time kept", true, "bput", 0, false,
         [](const QString &f) { return overwrite(f, Qiniu_Rio_BlockSize + 1000, true); }},
        {"replaced by a copy in a resumed put", true, "bput", 0, false,
         [](const QString &f) { return replace(f, testsupport::readAll(f)); }},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        m_server = std::make_unique<UploadServer>();
        ASSERT_TRUE(m_server->isRunning());
        QFile::remove(progressFile());
        QFile::remove(proofFile());
        makeSource(7);
        if (c.resumed)
            failAfterTwoBlocksAndAHalf();

        const QString file = m_file;
        const QString progress = progressFile();
        const std::string route = c.route;
        // Set on the server's thread.
        std::atomic<bool> changed {false};
        std::atomic<bool> recorded {false};
        m_server->cloud().setRequestHook([&, file, progress, route](const std::string &r, int i) {
            if (r != route || i != c.index)
                return;
            recorded = QFile::exists(progress);
            changed = c.change(file);
        });
        const Outcome out = upload();
        m_server->cloud().setRequestHook({});
        ASSERT_TRUE(out.finished);
        EXPECT_TRUE(changed);
        EXPECT_TRUE(recorded);
        EXPECT_FALSE(out.success);
        EXPECT_EQ(out.error, QStringLiteral("上传期间文件被修改，请重新上传：") + m_file);
        EXPECT_EQ(m_server->cloud().mkfileCount(), c.made ? 1 : 0);
        EXPECT_FALSE(QFile::exists(progressFile()));
        EXPECT_FALSE(QFile::exists(proofFile()));

        expectStoredWhole();
    }
}

// The file differs from what the resume state noted (time, inode, bytes): nothing is resumed,
// the whole file goes up and the server stores exactly it.
TEST_F(UploadChange, ResumeOfAFileChangedBetweenRunsStartsOver)
{
    const struct
    {
        const char *name;
        std::function<bool(const QString &)> change;
    } cases[] = {
        {"modification time moved, bytes kept",
         [](const QString &f) { return setModified(f, {kOldTime.tv_sec + 60, kOldTime.tv_nsec}); }},
        {"modification time moved by a nanosecond",
         [](const QString &f) { return setModified(f, {kOldTime.tv_sec, kOldTime.tv_nsec + 1}); }},
        {"replaced by a copy of the same bytes and time",
         [](const QString &f) { return replace(f, testsupport::readAll(f)); }},
        {"16 bytes of a recorded block, time moved", [](const QString &f) { return overwrite(f, 1000, false); }},
        {"cut by a block", [](const QString &f) { return QFile::resize(f, kTenMiB - Qiniu_Rio_BlockSize); }},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        m_server = std::make_unique<UploadServer>();
        ASSERT_TRUE(m_server->isRunning());
        QFile::remove(progressFile());
        QFile::remove(proofFile());
        makeSource(9);
        failAfterTwoBlocksAndAHalf();
        ASSERT_TRUE(c.change(m_file));
        expectStoredWhole();
    }
}

// Nothing changed: the upload succeeds, and after a failed put the resume sends only what is
// missing; the resume state noted the file it was made from.
TEST_F(UploadChange, UnchangedFileIsStoredExactlyAndResumes)
{
    const Outcome whole = upload();
    ASSERT_TRUE(whole.finished);
    EXPECT_TRUE(whole.success) << whole.error.toStdString();
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), testsupport::readAll(m_file));

    makeSource(11);
    failAfterTwoBlocksAndAHalf();
    QValue proof;
    ASSERT_TRUE(QJsonFile::read(proofFile(), proof));
    EXPECT_EQ(proof["file"]["inode"].asUInt64(), inodeOf(m_file));
    EXPECT_EQ(proof["file"]["size"].asInt64(), kTenMiB);
    EXPECT_EQ(proof["file"]["mtime_ns"].asInt64(), qint64(kOldTime.tv_sec) * 1000000000LL + kOldTime.tv_nsec);

    const Outcome resumed = upload();
    ASSERT_TRUE(resumed.finished);
    EXPECT_TRUE(resumed.success) << resumed.error.toStdString();
    EXPECT_TRUE(resumed.error.isEmpty());
    EXPECT_EQ(QByteArray::fromStdString(m_server->cloud().file(m_key.toStdString())), testsupport::readAll(m_file));
    EXPECT_EQ(m_server->cloud().mkblkCount(), 0);
    EXPECT_EQ(m_server->cloud().chunkBytes(), kTenMiB - 2 * Qiniu_Rio_BlockSize - 3 * kChunk);
    EXPECT_FALSE(QFile::exists(progressFile()));
    EXPECT_FALSE(QFile::exists(proofFile()));
}
