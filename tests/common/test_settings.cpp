#include <thread>
#include <vector>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qappsetting.h"
#include "qinifile.h"
#include "testsupport.h"

namespace
{
    mode_t modeOf(const QString &path)
    {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            return 0;
        return st.st_mode & 07777;
    }

    TEST(SettingsStoreTest, GettersBeforeTheStoreIsOpenGiveTheDefault)
    {
        ASSERT_FALSE(CommonFun::isSettingsOpen());
        CommonFun::setSetting(QStringLiteral("config"), QStringLiteral("encrypt_model"), 4);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 8);
        EXPECT_EQ(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name"), QStringLiteral("d")), QStringLiteral("d"));
        EXPECT_TRUE(CommonFun::getSettingBool(QStringLiteral("update"), QStringLiteral("6.02"), true));
        EXPECT_FLOAT_EQ(CommonFun::getSettingFloat(QStringLiteral("a"), QStringLiteral("b"), 1.5f), 1.5f);
        EXPECT_EQ(CommonFun::getSettingInt64(QStringLiteral("a"), QStringLiteral("b"), 7), 7);

        QIniFile ini;
        ini.setValue(QStringLiteral("config"), QStringLiteral("threads"), 9);
        EXPECT_EQ(ini.getInt(QStringLiteral("config"), QStringLiteral("threads"), 3), 3);
        EXPECT_FALSE(QAppSetting::instance()->getBool(QStringLiteral("config"), QStringLiteral("debug"), false));
    }

    TEST(SettingsStoreTest, ValuesPersistAcrossReopenAndWrongTypesGiveTheDefault)
    {
        const QString path = testsupport::newTempDir() + QStringLiteral("a/b/config.ini");
        CommonFun::initSettings(path);
        ASSERT_TRUE(CommonFun::isSettingsOpen());
        CommonFun::setSetting(QStringLiteral("config"), QStringLiteral("encrypt_model"), 4);
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_name"), QStringLiteral("张老师"));
        CommonFun::setSetting(QStringLiteral("update"), QStringLiteral("6.02"), true);
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("video_path"), QStringLiteral("/home/t/视频/"));
        CommonFun::setSetting(QStringLiteral("config"), QStringLiteral("big"), static_cast<qint64>(1) << 40);
        CommonFun::releaseSettings();
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 8);

        EXPECT_EQ(modeOf(path), 0600u);
        CommonFun::initSettings(path);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 4);
        EXPECT_EQ(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name")), QStringLiteral("张老师"));
        EXPECT_TRUE(CommonFun::getSettingBool(QStringLiteral("update"), QStringLiteral("6.02"), false));
        EXPECT_EQ(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("video_path")), QStringLiteral("/home/t/视频/"));
        EXPECT_EQ(CommonFun::getSettingInt64(QStringLiteral("config"), QStringLiteral("big")), static_cast<qint64>(1) << 40);
        // A text where a number is expected, and keys never written.
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("user"), QStringLiteral("user_name"), 8), 8);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("web_quality"), 0), 0);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("video_bitrate"), 3), 3);
        CommonFun::releaseSettings();
        EXPECT_EQ(modeOf(path), 0600u) << "saving must keep the file private";
    }

    TEST(SettingsStoreTest, DamagedFileIsKeptAsBadAndAFreshStoreStarts)
    {
        const QString path = testsupport::newTempDir() + QStringLiteral("config.ini");
        const QByteArray damaged("[config\nencrypt_model=4\n\x00\xff", 26);
        ASSERT_TRUE(testsupport::writeAll(path, damaged));
        CommonFun::initSettings(path);
        ASSERT_TRUE(CommonFun::isSettingsOpen());
        EXPECT_EQ(testsupport::readAll(path + QStringLiteral(".bad")), damaged);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 8);
        CommonFun::setSetting(QStringLiteral("config"), QStringLiteral("encrypt_model"), 2);
        CommonFun::releaseSettings();
        CommonFun::initSettings(path);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 2);
        EXPECT_EQ(testsupport::readAll(path + QStringLiteral(".bad")), damaged);
        CommonFun::releaseSettings();
    }

    // Junk that Qt's INI reader takes without complaint (no format error) is damage too; a
    // byte-order mark in front of good text is not.
    TEST(SettingsStoreTest, ConfigThatIsNotTextIsKeptAsBad)
    {
        const QByteArray cases[] = {
            QByteArray("\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\xde\xad\xbe\xef", 20),
            QByteArray("[user]\nuser_name=\xff\xfe\xc3\n"),
            QByteArray("[config]\nencrypt_model=4\x01\x02\n"),
        };
        for (const QByteArray &junk : cases) {
            SCOPED_TRACE(junk.toHex().toStdString());
            const QString path = testsupport::newTempDir() + QStringLiteral("config.ini");
            ASSERT_TRUE(testsupport::writeAll(path, junk));
            CommonFun::initSettings(path);
            ASSERT_TRUE(CommonFun::isSettingsOpen());
            EXPECT_EQ(testsupport::readAll(path + QStringLiteral(".bad")), junk);
            EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 8);
            CommonFun::setSetting(QStringLiteral("config"), QStringLiteral("encrypt_model"), 2);
            CommonFun::releaseSettings();
            EXPECT_EQ(testsupport::readAll(path + QStringLiteral(".bad")), junk);
        }

        const QString path = testsupport::newTempDir() + QStringLiteral("config.ini");
        ASSERT_TRUE(testsupport::writeAll(path, "\xEF\xBB\xBF[config]\r\nencrypt_model=7\r\n"));
        CommonFun::initSettings(path);
        EXPECT_EQ(CommonFun::getSettingInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 8), 7);
        CommonFun::releaseSettings();
        EXPECT_FALSE(QFileInfo::exists(path + QStringLiteral(".bad")));
    }

    // "threads" of "start.ini": 1 to 16 are used; anything else gives 3, with a log line when
    // it was set.
    TEST(IniFileTest, WorkerThreadsOutsideOneToSixteenFallBackToThree)
    {
        const QString logs = testsupport::newTempDir() + QStringLiteral("log/");
        sth::logger::instance()->start(logs.toStdWString());
        struct Case
        {
            const char *value; // nullptr: no key
            int threads;
            bool logged;
        } cases[] = {
            {"1", 1, false}, {"16", 16, false}, {"5", 5, false}, {nullptr, 3, false},
            {"0", 3, true}, {"-1", 3, true}, {"17", 3, true}, {"100000", 3, true},
            {"abc", 3, true}, {"4x", 3, true}, {"99999999999999999999", 3, true},
        };
        int expectedLines = 0;
        for (const Case &c : cases) {
            const QString path = testsupport::newTempDir() + QStringLiteral("start.ini");
            QByteArray text("[config]\ndebug=false\n");
            if (c.value)
                text += QByteArray("threads=") + c.value + "\n";
            ASSERT_TRUE(testsupport::writeAll(path, text));
            QIniFile ini(path);
            EXPECT_EQ(QAppSetting::workerThreads(ini), c.threads) << (c.value ? c.value : "(none)");
            expectedLines += c.logged ? 1 : 0;
        }
        sth::logger::instance()->stop();
        QString written;
        for (const QString &name : QDir(logs).entryList({QStringLiteral("*.log")}, QDir::Files)) {
            const QByteArray bytes = testsupport::readAll(logs + name);
            written += QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
        }
        EXPECT_EQ(written.count(QStringLiteral("start.ini threads=")), expectedLines) << written.toStdString();
        EXPECT_TRUE(written.contains(QStringLiteral("threads=100000")));
    }

    TEST(SettingsStoreTest, ConcurrentUseFromWorkerThreads)
    {
        CommonFun::initSettings(testsupport::newTempDir() + QStringLiteral("config.ini"));
        auto work = [](bool exact) {
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t) {
                threads.emplace_back([t, exact] {
                    const QString group = QStringLiteral("t%1").arg(t);
                    for (int i = 0; i < 20; ++i) {
                        CommonFun::setSetting(group, QStringLiteral("i"), i);
                        const int back = CommonFun::getSettingInt(group, QStringLiteral("i"), -1);
                        if (exact)
                            EXPECT_EQ(back, i);
                        else
                            EXPECT_TRUE(back == i || back == -1) << back;
                    }
                });
            }
            return threads;
        };
        for (auto &thread : work(true))
            thread.join();

        // Reopening while the workers run must not pull the store from under them.
        auto threads = work(false);
        CommonFun::initSettings(testsupport::newTempDir() + QStringLiteral("other.ini"));
        for (auto &thread : threads)
            thread.join();
        CommonFun::releaseSettings();
    }

    TEST(IniFileTest, FirstFileStaysAndStartIniIsRead)
    {
        const QString dir = testsupport::newTempDir();
        ASSERT_TRUE(testsupport::writeAll(dir + QStringLiteral("start.ini"), "[config]\ndebug=true\nthreads=5\n"));
        ASSERT_TRUE(testsupport::writeAll(dir + QStringLiteral("other.ini"), "[config]\ndebug=false\nthreads=1\n"));
        QIniFile ini;
        ini.setFile(dir + QStringLiteral("start.ini"));
        ini.setFile(dir + QStringLiteral("other.ini"));
        EXPECT_EQ(ini.fileName(), dir + QStringLiteral("start.ini"));
        EXPECT_TRUE(ini.getBool(QStringLiteral("config"), QStringLiteral("debug"), false));
        EXPECT_EQ(ini.getInt(QStringLiteral("config"), QStringLiteral("threads"), 3), 5);
        EXPECT_EQ(ini.getString(QStringLiteral("config"), QStringLiteral("threads")), QStringLiteral("5"));
        EXPECT_FLOAT_EQ(ini.getFloat(QStringLiteral("config"), QStringLiteral("threads"), 0.0f), 5.0f);
        EXPECT_EQ(ini.getInt64(QStringLiteral("config"), QStringLiteral("missing"), -4), -4);

        // A test's own file replaces it on purpose; none at all gives the defaults.
        ini.reopen(dir + QStringLiteral("other.ini"));
        EXPECT_EQ(ini.fileName(), dir + QStringLiteral("other.ini"));
        EXPECT_EQ(ini.getInt(QStringLiteral("config"), QStringLiteral("threads"), 3), 1);
        ini.reopen(QString());
        EXPECT_TRUE(ini.fileName().isEmpty());
        EXPECT_EQ(ini.getInt(QStringLiteral("config"), QStringLiteral("threads"), 3), 3);
    }

    TEST(IniFileTest, AbsentStartIniGivesDebugOffAndThreeThreads)
    {
        const QString path = testsupport::newTempDir() + QStringLiteral("start.ini");
        QAppSetting::instance()->reopen(path);
        EXPECT_FALSE(QAppSetting::instance()->getBool(QStringLiteral("config"), QStringLiteral("debug"), false));
        EXPECT_EQ(QAppSetting::instance()->getInt(QStringLiteral("config"), QStringLiteral("threads"), 3), 3);
        EXPECT_EQ(QAppSetting::instance(), QAppSetting::instance());
        EXPECT_FALSE(QFileInfo::exists(path)) << "reading must not create start.ini";
    }

    class GlobalPathsTest : public ::testing::Test
    {
    protected:
        void TearDown() override
        {
            CGlobal::uninit();
        }
    };

    TEST_F(GlobalPathsTest, InitCreatesPrivateFoldersAndStartsTheLogger)
    {
        const QString expected = QDir::cleanPath(QFile::decodeName(qgetenv("XDG_DATA_HOME"))) + QStringLiteral("/vantrel/");
        EXPECT_EQ(CGlobal::defaultDataPath(), expected);
        ASSERT_FALSE(QFileInfo::exists(expected));

        CGlobal::init();
        EXPECT_EQ(CGlobal::dataPath(), expected);
        EXPECT_EQ(CGlobal::logPath(), expected + QStringLiteral("log/"));
        EXPECT_EQ(CGlobal::defaultLogPath(), CGlobal::logPath());
        EXPECT_EQ(CGlobal::slicePath(), expected + QStringLiteral("slice/"));
        EXPECT_EQ(CGlobal::configFile(), expected + QStringLiteral("config.ini"));
        EXPECT_TRUE(CGlobal::appPath().endsWith(QLatin1Char('/')));
        EXPECT_TRUE(CGlobal::currentPath().endsWith(QLatin1Char('/')));
        EXPECT_GE(CGlobal::buildDate(), 20240101);
        for (const QString &dir : { CGlobal::dataPath(), CGlobal::logPath(), CGlobal::slicePath() }) {
            EXPECT_TRUE(QFileInfo(dir).isDir()) << dir.toStdString();
            EXPECT_EQ(modeOf(dir), 0700u) << dir.toStdString();
        }
        EXPECT_EQ(modeOf(CGlobal::configFile()), 0600u);

        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_name"), QStringLiteral("demo"));
        LOG_ERROR(L"started");
        CGlobal::uninit();
        EXPECT_FALSE(CommonFun::isSettingsOpen());
        const QStringList logs = QDir(CGlobal::logPath()).entryList({ QStringLiteral("*.log") }, QDir::Files);
        ASSERT_EQ(logs.size(), 1);
        EXPECT_GT(QFileInfo(CGlobal::logPath() + logs.first()).size(), 2);

        // A second start finds everything in place, keeps what was stored and leaves the
        // folders' attributes as the user set them.
        ASSERT_TRUE(testsupport::writeAll(CGlobal::slicePath() + QStringLiteral("part.ts"), "ts"));
        ASSERT_EQ(::chmod(QFile::encodeName(CGlobal::slicePath()).constData(), 0750), 0);
        CGlobal::init();
        EXPECT_EQ(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name")), QStringLiteral("demo"));
        EXPECT_EQ(testsupport::readAll(CGlobal::slicePath() + QStringLiteral("part.ts")), QByteArray("ts"));
        EXPECT_EQ(modeOf(CGlobal::slicePath()), 0750u);
        EXPECT_EQ(modeOf(CGlobal::dataPath()), 0700u);
    }

    // The data folder and its log folder, found open to others (made by another program, or
    // by hand), are tightened; a file in the way is no folder.
    TEST_F(GlobalPathsTest, LooserDataAndLogFoldersAreTightened)
    {
        const QString data = CGlobal::defaultDataPath();
        ASSERT_TRUE(QDir().mkpath(data + QStringLiteral("log")));
        ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0755), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(data + QStringLiteral("log")).constData(), 0777), 0);
        CGlobal::init();
        EXPECT_EQ(modeOf(CGlobal::dataPath()), 0700u);
        EXPECT_EQ(modeOf(CGlobal::logPath()), 0700u);

        const QString fresh = testsupport::newTempDir() + QStringLiteral("新/a/b");
        EXPECT_TRUE(CGlobal::makePrivateFolder(fresh));
        EXPECT_EQ(modeOf(fresh), 0700u);
        EXPECT_EQ(modeOf(QFileInfo(fresh).path()), 0700u);
        const QString blocked = testsupport::newTempDir() + QStringLiteral("file");
        ASSERT_TRUE(testsupport::writeAll(blocked, "x"));
        EXPECT_FALSE(CGlobal::makePrivateFolder(blocked));
        EXPECT_FALSE(CGlobal::makePrivateFolder(blocked + QStringLiteral("/sub")));
    }

    TEST_F(GlobalPathsTest, DataFolderCanBeMovedByTheEnvironment)
    {
        const QString dir = testsupport::newTempDir() + QStringLiteral("数据");
        qputenv("VANTREL_DATA_DIR", QFile::encodeName(dir));
        CGlobal::init();
        EXPECT_EQ(CGlobal::dataPath(), dir + QStringLiteral("/"));
        EXPECT_TRUE(QFileInfo(dir + QStringLiteral("/log")).isDir());
        EXPECT_TRUE(QFileInfo::exists(dir + QStringLiteral("/config.ini")));
        qunsetenv("VANTREL_DATA_DIR");
    }

    TEST(BuildDateTest, CompilerDateTexts)
    {
        struct Case { const char *text; int date; } cases[] = {
            { "Aug 13 2021", 20210813 },
            { "Jan  5 2021", 20210105 },
            { "Dec 31 1999", 19991231 },
            { "Feb 29 2024", 20240229 },
            { "Foo 13 2021", 0 },
            { "anF 13 2021", 0 },
            { "Aug", 0 },
            { "", 0 },
            { nullptr, 0 },
        };
        for (const Case &c : cases)
            EXPECT_EQ(CGlobal::parseBuildDate(c.text), c.date) << (c.text ? c.text : "null");
        EXPECT_EQ(CGlobal::buildDate(), CGlobal::parseBuildDate(__DATE__));
    }
}
