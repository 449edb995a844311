#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "testsupport.h"

namespace
{
    // Registration into private XDG data and config folders.
    class UrlProtocolTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_root = testsupport::newTempDir();
            m_data = m_root + QStringLiteral("data/");
            m_config = m_root + QStringLiteral("config/");
            qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        }

        QString entryPath() const { return m_data + QStringLiteral("applications/vantrel-ostrelhelper.desktop"); }
        QString listPath() const { return m_config + QStringLiteral("mimeapps.list"); }

        QByteArray execLine() const
        {
            for (const QByteArray &line : testsupport::readAll(entryPath()).split('\n')) {
                if (line.startsWith("Exec="))
                    return line.mid(5);
            }
            return QByteArray();
        }

        QString m_root;
        QString m_data;
        QString m_config;
    };

    ino_t inode(const QString &path)
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
    }

    TEST_F(UrlProtocolTest, ExecLineQuotesWhatTheDesktopEntryFormatRequires)
    {
        struct Case { const char *program; const char *exec; } cases[] = {
            { "/opt/vantrel/bin/vantrel", "/opt/vantrel/bin/vantrel %u" },
            { "/home/t/my videos/vantrel", "\"/home/t/my videos/vantrel\" %u" },
            { "/home/t/视频/vantrel", "/home/t/视频/vantrel %u" },
            { "/home/t/it's/vantrel", "\"/home/t/it's/vantrel\" %u" },
            // Quoting escapes '"', '$' and '\', then the string value escapes every '\' again.
            { "/home/t/a\"b$c\\d 5/vantrel", "\"/home/t/a\\\\\"b\\\\$c\\\\\\\\d 5/vantrel\" %u" },
            // The launcher looks a program up before it expands "%%": the shell starts it.
            { "/home/t/50%/vantrel", "/bin/sh -c \"exec \\\\\"\\\\$0\\\\\" \\\\\"\\\\$@\\\\\"\" /home/t/50%%/vantrel %u" },
        };
        for (const Case &c : cases) {
            EXPECT_TRUE(CGlobal::registerUrlProtocol(QString::fromUtf8(c.program))) << c.program;
            EXPECT_EQ(execLine(), QByteArray(c.exec)) << c.program;
        }

        const QByteArray entry = testsupport::readAll(entryPath());
        for (const char *line : { "[Desktop Entry]\n", "\nType=Application\n", "\nMimeType=x-scheme-handler/ostrelhelper;\n", "\nNoDisplay=true\n" })
            EXPECT_TRUE(entry.contains(line)) << line;

        // Only an absolute program path can be started by the desktop.
        EXPECT_FALSE(CGlobal::registerUrlProtocol(QStringLiteral("vantrel")));
        EXPECT_EQ(execLine(), QByteArray(cases[5].exec));
    }

    // The desktop's own launcher (GLib's) starts the registered program with the link, for
    // program paths with blanks, quotes, "$", "\\" and "%".
    TEST_F(UrlProtocolTest, DesktopLauncherStartsTheProgramWithTheLink)
    {
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            GTEST_SKIP() << "gio is not installed";
        const QString link = QStringLiteral(R"(ostrelhelper:{"uid":"1","oauth_token":"t %u"})");
        for (const char *folder : { "plain", "my videos", "50%", "a\"b$c\\d 50%", "%u" }) {
            SCOPED_TRACE(folder);
            const QString dir = m_root + QStringLiteral("bin/") + QString::fromUtf8(folder) + QLatin1Char('/');
            ASSERT_TRUE(QDir().mkpath(dir));
            const QString program = dir + QStringLiteral("vantrel");
            const QString out = m_root + QStringLiteral("launched.txt");
            QFile::remove(out);
            ASSERT_TRUE(testsupport::writeAll(program, "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\" > \"$LAUNCHED\"\n"));
            QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            ASSERT_TRUE(CGlobal::registerUrlProtocol(program));

            QProcess launch;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("LAUNCHED"), out);
            launch.setProcessEnvironment(env);
            launch.start(gio, { QStringLiteral("launch"), entryPath(), link });
            ASSERT_TRUE(launch.waitForFinished(20000));
            EXPECT_EQ(launch.exitCode(), 0) << launch.readAllStandardError().constData();
            ASSERT_TRUE(testsupport::waitUntil([&] { return QFileInfo(out).size() > 0; }, 20000)) << execLine().constData();
            EXPECT_EQ(QString::fromUtf8(testsupport::readAll(out)), program + QLatin1Char('|') + link + QLatin1Char('|'))
                << execLine().constData();
        }
    }

    TEST_F(UrlProtocolTest, ThisProgramIsRegisteredByDefault)
    {
        ASSERT_TRUE(CGlobal::registerUrlProtocol());
        const QString self = QCoreApplication::applicationFilePath();
        const QByteArray exec = execLine();
        EXPECT_TRUE(exec.contains(QFile::encodeName(QFileInfo(self).fileName()))) << exec.constData();
        if (!self.contains(QLatin1Char(' ')) && !self.contains(QLatin1Char('%'))) {
            EXPECT_EQ(exec, QFile::encodeName(self) + " %u");
        }
    }

    TEST_F(UrlProtocolTest, DefaultHandlerInMimeappsListKeepsEveryOtherLine)
    {
        const QByteArray entryLine = "x-scheme-handler/ostrelhelper=vantrel-ostrelhelper.desktop;";
        struct Case { const char *name; QByteArray before; QByteArray after; } cases[] = {
            { "no list", QByteArray(), "[Default Applications]\n" + entryLine + "\n" },
            { "another handler replaced",
              "[Added Associations]\nvideo/mp4=vlc.desktop;\n\n[Default Applications]\ntext/html=firefox.desktop;\n"
              "x-scheme-handler/ostrelhelper=old.desktop;\ntext/plain=gedit.desktop;\n\n[Other]\nx=y\n",
              "[Added Associations]\nvideo/mp4=vlc.desktop;\n\n[Default Applications]\ntext/html=firefox.desktop;\n"
              + entryLine + "\ntext/plain=gedit.desktop;\n\n[Other]\nx=y\n" },
            { "added at the end of its group",
              "[Default Applications]\ntext/html=firefox.desktop;\n\n[Added Associations]\nvideo/mp4=vlc.desktop;\n",
              "[Default Applications]\ntext/html=firefox.desktop;\n" + entryLine + "\n\n[Added Associations]\nvideo/mp4=vlc.desktop;\n" },
            { "group added", "[Added Associations]\nvideo/mp4=vlc.desktop;",
              "[Added Associations]\nvideo/mp4=vlc.desktop;\n\n[Default Applications]\n" + entryLine + "\n" },
            { "same key in another group untouched",
              "[Added Associations]\nx-scheme-handler/ostrelhelper=old.desktop;\n",
              "[Added Associations]\nx-scheme-handler/ostrelhelper=old.desktop;\n\n[Default Applications]\n" + entryLine + "\n" },
        };
        const QString program = m_root + QStringLiteral("my build/bin/vantrel");
        for (const Case &c : cases) {
            QFile::remove(listPath());
            if (!c.before.isNull()) {
                ASSERT_TRUE(QDir().mkpath(m_config));
                ASSERT_TRUE(testsupport::writeAll(listPath(), c.before));
            }
            ASSERT_TRUE(CGlobal::registerUrlProtocol(program)) << c.name;
            EXPECT_EQ(testsupport::readAll(listPath()), c.after) << c.name;

            // A second registration rewrites neither file.
            const QByteArray entry = testsupport::readAll(entryPath());
            const ino_t entryInode = inode(entryPath());
            const ino_t listInode = inode(listPath());
            ASSERT_TRUE(CGlobal::registerUrlProtocol(program)) << c.name;
            EXPECT_EQ(testsupport::readAll(entryPath()), entry) << c.name;
            EXPECT_EQ(testsupport::readAll(listPath()), c.after) << c.name;
            EXPECT_EQ(inode(entryPath()), entryInode) << c.name;
            EXPECT_EQ(inode(listPath()), listInode) << c.name;
        }
    }

    TEST_F(UrlProtocolTest, UnreadableListIsNeverReplaced)
    {
        if (::geteuid() == 0)
            GTEST_SKIP() << "root reads every file";
        ASSERT_TRUE(QDir().mkpath(m_config));
        ASSERT_TRUE(testsupport::writeAll(listPath(), "[Default Applications]\ntext/html=firefox.desktop;\n"));
        QFile::setPermissions(listPath(), QFileDevice::WriteOwner);
        EXPECT_FALSE(CGlobal::registerUrlProtocol(QStringLiteral("/opt/vantrel/bin/vantrel")));
        QFile::setPermissions(listPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        EXPECT_EQ(testsupport::readAll(listPath()), QByteArray("[Default Applications]\ntext/html=firefox.desktop;\n"));
    }

    // The desktop's own tool answers the registered entry, not another handler of the scheme
    // that it would otherwise pick.
    TEST_F(UrlProtocolTest, XdgMimeAnswersTheRegisteredEntry)
    {
        const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
        if (xdgMime.isEmpty())
            GTEST_SKIP() << "xdg-mime is not installed";

        // xdg-mime reads the program of an entry up to the first blank.
        const QString program = m_root + QStringLiteral("bin/vantrel");
        if (program.contains(QLatin1Char(' ')))
            GTEST_SKIP() << "the temp folder holds a blank";
        ASSERT_TRUE(QDir().mkpath(m_root + QStringLiteral("bin")));
        ASSERT_TRUE(testsupport::writeAll(program, "#!/bin/sh\nexit 0\n"));
        QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        ASSERT_TRUE(QDir().mkpath(m_data + QStringLiteral("applications")));
        ASSERT_TRUE(testsupport::writeAll(m_data + QStringLiteral("applications/decoy.desktop"),
            "[Desktop Entry]\nType=Application\nName=Decoy\nExec=/bin/true %u\n"
            "MimeType=x-scheme-handler/ostrelhelper;\nInitialPreference=9\n"));

        const auto query = [&] {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char *name : { "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "KDE_SESSION_VERSION",
                                       "GNOME_DESKTOP_SESSION_ID", "MATE_DESKTOP_SESSION_ID", "XDG_MENU_PREFIX" })
                env.remove(QString::fromLatin1(name));
            env.insert(QStringLiteral("XDG_DATA_DIRS"), m_root + QStringLiteral("system-data"));
            env.insert(QStringLiteral("XDG_CONFIG_DIRS"), m_root + QStringLiteral("system-config"));
            process.setProcessEnvironment(env);
            process.start(xdgMime, { QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/ostrelhelper") });
            EXPECT_TRUE(process.waitForFinished(20000));
            return process.readAllStandardOutput().trimmed();
        };
        EXPECT_EQ(query(), QByteArray("decoy.desktop"));
        ASSERT_TRUE(CGlobal::registerUrlProtocol(program));
        EXPECT_EQ(query(), QByteArray("vantrel-ostrelhelper.desktop"));
    }
}
