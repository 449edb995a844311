#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "qtutils.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    void makeFile(const QString &path, const QByteArray &data = "x")
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        ASSERT_TRUE(testsupport::writeAll(path, data)) << path.toStdString();
    }

    // Makes an entry impossible to remove for the life of the object: the immutable flag
    // (root ignores permissions) or, for other users, a read-only parent folder.
    class Undeletable
    {
    public:
        explicit Undeletable(const QString &file)
            : m_file(file)
        {
            if (::geteuid() != 0) {
                m_folder = QFileInfo(file).absolutePath();
                m_ok = QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
                return;
            }
            m_ok = setImmutable(true);
        }

        ~Undeletable()
        {
            if (!m_folder.isEmpty())
                QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            else if (m_ok)
                setImmutable(false);
        }

        bool ok() const
        {
            return m_ok;
        }

    private:
        bool setImmutable(bool on)
        {
            const int fd = ::open(QFile::encodeName(m_file).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return false;
            int flags = 0;
            bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
            if (done) {
                flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
                done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
            }
            ::close(fd);
            return done;
        }

        QString m_file;
        QString m_folder;
        bool m_ok = false;
    };

    class RemoveDirTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_base = testsupport::newTempDir();
            m_tree = m_base + QStringLiteral("slice/");
        }

        QString m_base;
        QString m_tree;
    };

    TEST_F(RemoveDirTest, RemovesNestedAndHiddenEntries)
    {
        makeFile(m_tree + QStringLiteral("a.ts"));
        makeFile(m_tree + QStringLiteral(".hidden"));
        makeFile(m_tree + QStringLiteral(".hls/.index.m3u8"));
        makeFile(m_tree + QStringLiteral("视频/第一课/b.ts"));
        ASSERT_TRUE(QDir().mkpath(m_tree + QStringLiteral("empty/.empty")));
        EXPECT_TRUE(removeDir(m_tree));
        EXPECT_FALSE(QFileInfo::exists(m_tree));
        EXPECT_TRUE(QFileInfo(m_base).isDir());
    }

    TEST_F(RemoveDirTest, NeverFollowsLinksOutOfTheTree)
    {
        const QString outside = m_base + QStringLiteral("outside/");
        makeFile(outside + QStringLiteral("keep.mp4"), "video");
        makeFile(outside + QStringLiteral("sub/keep2.mp4"), "video2");
        makeFile(m_tree + QStringLiteral("a.ts"));
        ASSERT_TRUE(QFile::link(outside, m_tree + QStringLiteral("dirlink")));
        ASSERT_TRUE(QFile::link(outside + QStringLiteral("keep.mp4"), m_tree + QStringLiteral(".filelink")));
        ASSERT_TRUE(QFile::link(m_base + QStringLiteral("nowhere"), m_tree + QStringLiteral("dangling")));

        EXPECT_TRUE(removeDir(m_tree));
        EXPECT_FALSE(QFileInfo::exists(m_tree));
        EXPECT_EQ(testsupport::readAll(outside + QStringLiteral("keep.mp4")), QByteArray("video"));
        EXPECT_EQ(testsupport::readAll(outside + QStringLiteral("sub/keep2.mp4")), QByteArray("video2"));

        // A path that is itself a link loses the link only.
        const QString link = m_base + QStringLiteral("link");
        ASSERT_TRUE(QFile::link(outside, link));
        EXPECT_TRUE(removeDir(link));
        EXPECT_FALSE(QFileInfo(link).isSymLink());
        EXPECT_EQ(testsupport::readAll(outside + QStringLiteral("keep.mp4")), QByteArray("video"));
    }

    TEST_F(RemoveDirTest, ReportsWhatItCouldNotDo)
    {
        EXPECT_FALSE(removeDir(m_base + QStringLiteral("missing/")));
        EXPECT_FALSE(removeDir(QString()));

        const QString file = m_base + QStringLiteral("file.mp4");
        makeFile(file, "video");
        EXPECT_FALSE(removeDir(file));
        EXPECT_EQ(testsupport::readAll(file), QByteArray("video"));

        makeFile(m_tree + QStringLiteral("gone.ts"));
        makeFile(m_tree + QStringLiteral("locked/stays.ts"));
        {
            Undeletable lock(m_tree + QStringLiteral("locked/stays.ts"));
            if (!lock.ok())
                GTEST_SKIP() << "cannot make an entry undeletable here";
            EXPECT_FALSE(removeDir(m_tree));
            EXPECT_TRUE(QFileInfo::exists(m_tree + QStringLiteral("locked/stays.ts")));
            EXPECT_FALSE(QFileInfo::exists(m_tree + QStringLiteral("gone.ts")));
        }
        EXPECT_TRUE(removeDir(m_tree));
    }

    TEST(FormatFileSizeTest, MegabytesUpTo1024ThenGigabytes)
    {
        struct Case { double mb; const char *text; } cases[] = {
            { 0, "0.00MB" }, { 0.004, "0.00MB" }, { 12.345, "12.35MB" }, { 1024, "1024.00MB" },
            { 1024.004, "1.00G" }, { 1536, "1.50G" }, { 1048576, "1024.00G" },
        };
        for (const Case &c : cases)
            EXPECT_EQ(formatFileSize(c.mb), QString::fromLatin1(c.text)) << c.mb;
    }

    TEST(QStringCipherTest, RoundTripsAndKnownAnswer)
    {
        EXPECT_EQ(encryptQString(QString(), "a"), QStringLiteral("bts6o++XCI+FQaLg8Avx3A=="));
        for (const QString &text : { QString(), QStringLiteral("demo123"), QStringLiteral("密码\U0001F600"),
                                     QStringLiteral("0123456789abcdef"), QString(100, QLatin1Char('z')) }) {
            const QString cipher = encryptQString(text, "pass phrase");
            EXPECT_FALSE(cipher.isEmpty());
            EXPECT_EQ(decryptQString(cipher, "pass phrase"), text);
            bool ok = false;
            EXPECT_EQ(decryptQString(cipher, "pass phrase", &ok), text);
            EXPECT_TRUE(ok);
        }
        EXPECT_TRUE(decryptQString(QString(), "k").isEmpty());
    }

    TEST(QStringCipherTest, BadInputIsReported)
    {
        // 15 bytes after base64 decoding: not whole blocks.
        const QString fifteen = QStringLiteral("MDEyMzQ1Njc4OWFiY2Rl");
        try {
            decryptQString(fifteen, "k");
            FAIL() << "no throw";
        } catch (const UException &e) {
            EXPECT_EQ(e.expression(), L"sencode.length() % 16 == 0");
        }
        bool ok = true;
        EXPECT_TRUE(decryptQString(fifteen, "k", &ok).isEmpty());
        EXPECT_FALSE(ok);

        const QString cipher = encryptQString(QStringLiteral("demo123"), "right key");
        ok = true;
        EXPECT_TRUE(decryptQString(cipher, "wrong key", &ok).isEmpty());
        EXPECT_FALSE(ok);
    }

    TEST(PercentTest, EncodesUtf8BytesAndDecodesBack)
    {
        EXPECT_EQ(percentEncode(QStringLiteral("a b中-._~/")), QStringLiteral("a%20b%E4%B8%AD-._~%2F"));
        EXPECT_EQ(percentDecode(QStringLiteral("a%20b%E4%B8%AD-._~%2F")), QStringLiteral("a b中-._~/"));
        EXPECT_EQ(percentDecode(percentEncode(QStringLiteral("视频 100%"))), QStringLiteral("视频 100%"));
    }

    // The move that never replaces, as on file systems with the no-replace rename, with only
    // hard links, and with neither (some network and FUSE mounts): a free name gets the file, a
    // taken one (a file, a link) is left as it was and the file stays where it was.
    TEST(RenameNoReplace, EveryFallbackDeliversAndNeverReplaces)
    {
        struct Fs { const char *name; bool noReplaceUnsupported; bool linkUnsupported; };
        for (const Fs fs : { Fs { "no-replace rename", false, false }, Fs { "hard links only", true, false },
                             Fs { "neither", true, true } }) {
            SCOPED_TRACE(fs.name);
            setRenameFallbackForTests(fs.noReplaceUnsupported, fs.linkUnsupported);
            const QString dir = testsupport::newTempDir();
            const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            makeFile(dir + QStringLiteral("out"), "finished");
            EXPECT_TRUE(renameNoReplaceAt(fd, QStringLiteral("out"), fd, QStringLiteral("free")));
            EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("free")), QByteArray("finished"));
            EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("out")));

            makeFile(dir + QStringLiteral("other"), "someone else's");
            ASSERT_TRUE(QFile::link(dir + QStringLiteral("other"), dir + QStringLiteral("link")));
            for (const char *taken : { "other", "link" }) {
                EXPECT_FALSE(renameNoReplaceAt(fd, QStringLiteral("free"), fd, QString::fromLatin1(taken))) << taken;
                EXPECT_EQ(errno, EEXIST) << taken;
                EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("free")), QByteArray("finished"));
                EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("other")), QByteArray("someone else's"));
                EXPECT_TRUE(QFileInfo(dir + QStringLiteral("link")).isSymLink());
            }
            ::close(fd);
        }
        setRenameFallbackForTests(false, false);
    }

    // Without the no-replace rename and hard links the name is held by an empty entry first:
    // whatever takes the place of that hold before the rename (a file, a link, a folder) is
    // left as it is, and the file stays where it was.
    TEST(RenameNoReplace, LastFallbackNeverReplacesWhatTookTheHoldsPlace)
    {
        setRenameFallbackForTests(true, true);
        const QString dir = testsupport::newTempDir();
        const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        makeFile(dir + QStringLiteral("other"), "someone else's");
        for (const char *kind : { "file", "link", "folder" }) {
            SCOPED_TRACE(kind);
            makeFile(dir + QStringLiteral("out"), "finished");
            const QString target = QStringLiteral("taken-") + QString::fromLatin1(kind);
            setRenameHoldHookForTests([&](int toDir, const QByteArray &name) {
                ::unlinkat(toDir, name.constData(), 0);
                const QByteArray path = QFile::encodeName(dir) + name;
                if (std::strcmp(kind, "file") == 0)
                    makeFile(QFile::decodeName(path), "planted");
                else if (std::strcmp(kind, "link") == 0)
                    QFile::link(dir + QStringLiteral("other"), QFile::decodeName(path));
                else
                    ::mkdir(path.constData(), 0700);
            });
            EXPECT_FALSE(renameNoReplaceAt(fd, QStringLiteral("out"), fd, target));
            EXPECT_EQ(errno, EEXIST);
            setRenameHoldHookForTests({});
            EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("out")), QByteArray("finished"));
            EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("other")), QByteArray("someone else's"));
            const QFileInfo planted(dir + target);
            if (std::strcmp(kind, "file") == 0)
                EXPECT_EQ(testsupport::readAll(dir + target), QByteArray("planted"));
            else if (std::strcmp(kind, "link") == 0)
                EXPECT_TRUE(planted.isSymLink());
            else
                EXPECT_TRUE(planted.isDir());
        }
        // Nothing in the way: the hold is replaced by the file, and no empty entry is left.
        EXPECT_TRUE(renameNoReplaceAt(fd, QStringLiteral("out"), fd, QStringLiteral("free")));
        EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("free")), QByteArray("finished"));
        EXPECT_FALSE(QFileInfo::exists(dir + QStringLiteral("out")));
        ::close(fd);
        setRenameFallbackForTests(false, false);
    }
}
