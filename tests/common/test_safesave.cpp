// Saving the state files on a disk that is full or fails: the old file stays byte for byte,
// nothing temporary is left, and the caller is told why.
#include <cctype>
#include <cerrno>
#include <cstring>
#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "qinifile.h"
#include "qjsonfile.h"
#include "qsafefile.h"
#include "testsupport.h"

namespace
{
    const QString kNoSpace = QString::fromLocal8Bit(std::strerror(ENOSPC));

    QValue parsed(const char *text)
    {
        QValue root;
        parseJson(QByteArray(text), root, false);
        return root;
    }

    mode_t modeOf(const QString &path)
    {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
    }

    QStringList entriesOf(const QString &folder)
    {
        QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        entries.sort();
        return entries;
    }

    // One kind of state file, saved the way its owner saves it; `generation` tells the
    // contents apart.
    struct Kind
    {
        const char *name;
        std::function<bool(const QString &path, int generation, QString *error)> save;
    };

    bool saveJson(const QString &path, int generation, bool styled, QString *error)
    {
        QValue root(Json::objectValue);
        root["generation"] = generation;
        root["text"] = std::string(static_cast<size_t>(3000 * generation), 'x');
        return QJsonFile::write(path, root, styled, error);
    }

    bool saveSettings(const QString &path, int generation, QString *error)
    {
        CommonFun::initSettings(path);
        const bool saved = CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("video_path"),
                                                 QStringLiteral("/home/老师/视频/%1/").arg(QString(3000 * generation, QLatin1Char('v'))), error);
        CommonFun::releaseSettings();
        return saved;
    }

    const Kind kKinds[] = {
        {"work.json", [](const QString &p, int g, QString *e) { return saveJson(p, g, true, e); }},
        {"records.json", [](const QString &p, int g, QString *e) { return saveJson(p, g, false, e); }},
        {"runs.json", [](const QString &p, int g, QString *e) { return saveJson(p, g, false, e); }},
        {"notices.json", [](const QString &p, int g, QString *e) { return saveJson(p, g, true, e); }},
        {"0cc175b9c0f1b6a831c399e269772661.progress", [](const QString &p, int g, QString *e) { return saveJson(p, g, false, e); }},
        {"0cc175b9c0f1b6a831c399e269772661.progress.proof", [](const QString &p, int g, QString *e) { return saveJson(p, g, false, e); }},
        {"config.ini", saveSettings},
    };

    // Test names in ctest show the case's name, never the bytes of the struct.
    void PrintTo(const Kind &c, std::ostream *os)
    {
        *os << c.name;
    }

    class FullDiskSaveTest : public ::testing::TestWithParam<Kind>
    {
    };
}

// On a real file system that is full, every kind of state file keeps its old bytes, the save
// says "No space left on device", and once there is room again the same save goes through.
TEST_P(FullDiskSaveTest, FullDiskKeepsTheOldFileAndTellsWhy)
{
    const Kind &kind = GetParam();
    testsupport::Tmpfs disk(1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    const QString path = disk.path() + QString::fromLatin1(kind.name);
    QString error;
    ASSERT_TRUE(kind.save(path, 1, &error)) << error.toStdString();
    const QByteArray old = testsupport::readAll(path);
    ASSERT_FALSE(old.isEmpty());

    ASSERT_TRUE(disk.fill());
    error.clear();
    EXPECT_FALSE(kind.save(path, 2, &error));
    EXPECT_TRUE(error.contains(kNoSpace)) << error.toStdString();
    EXPECT_EQ(testsupport::readAll(path), old);
    EXPECT_EQ(entriesOf(disk.path()), (QStringList {QStringLiteral(".filler"), QString::fromLatin1(kind.name)}));

    disk.release();
    ASSERT_TRUE(kind.save(path, 2, &error)) << error.toStdString();
    EXPECT_NE(testsupport::readAll(path), old);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(entriesOf(disk.path()), QStringList {QString::fromLatin1(kind.name)});
}

INSTANTIATE_TEST_SUITE_P(StateFiles, FullDiskSaveTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<Kind> &info) {
                             std::string name;
                             for (const char *c = info.param.name; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name + "_" + std::to_string(info.index);
                         });

// The write of the settings that QSettings itself makes (into the private copy beside the
// file) is cut short by a full disk: QSettings does not notice, the check does, "config.ini"
// keeps its bytes and no copy is left.
TEST(SettingsSaveTest, SettingsCutShortWhileQSettingsWritesThemNeverReachTheFile)
{
    testsupport::Tmpfs scratch(256 * 1024);
    if (!scratch.mounted())
        GTEST_SKIP() << scratch.why().toStdString();
    const QString path = scratch.path() + QStringLiteral("config.ini");
    const QByteArray old("[config]\nencrypt_model=8\n");
    ASSERT_TRUE(testsupport::writeAll(path, old));
    QIniFile ini(path);

    // Room for the private copy of the old text and a part of the new one: QSettings writes
    // the part, reports no error and renames the short file over its copy.
    ASSERT_TRUE(scratch.fill(8192));
    QString error;
    const bool saved = ini.setValue(QStringLiteral("user"), QStringLiteral("video_path"), QString(8 * 1024, QLatin1Char('v')), &error);
    EXPECT_FALSE(saved);
    // The disk named is the one of the copies: the settings file's folder.
    EXPECT_TRUE(error.contains(QStringLiteral("not written whole"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("is the disk of %1 full").arg(QDir::cleanPath(scratch.path())))) << error.toStdString();
    EXPECT_EQ(testsupport::readAll(path), old);
    EXPECT_EQ(entriesOf(scratch.path()), (QStringList {QStringLiteral(".filler"), QStringLiteral("config.ini")}));
    scratch.release();

    // The value is kept and saved with the next change.
    ASSERT_TRUE(ini.setValue(QStringLiteral("config"), QStringLiteral("resolution"), 2, &error)) << error.toStdString();
    QIniFile back(path);
    EXPECT_EQ(back.getString(QStringLiteral("user"), QStringLiteral("video_path")).size(), 8 * 1024);
    EXPECT_EQ(back.getInt(QStringLiteral("config"), QStringLiteral("resolution"), 0), 2);
    EXPECT_EQ(back.getInt(QStringLiteral("config"), QStringLiteral("encrypt_model"), 0), 8);
}

// What the store writes is what QSettings writes for the same values, byte for byte, and the
// order of the sections a file had is kept.
TEST(SettingsSaveTest, SavedTextIsWhatQSettingsWrites)
{
    const QString dir = testsupport::newTempDir();
    const QByteArray start("[user]\nuser_name=demo\n\n[config]\nencrypt_model=8\n");
    const QVariantMap changes {
        {QStringLiteral("config/encrypt_model"), 4},
        {QStringLiteral("user/video_path"), QStringLiteral("/home/老师/视频 一/")},
        {QStringLiteral("user/user_pwd"), QStringLiteral("a=b;c, \"d\"\\")},
        {QStringLiteral("update/6.02"), true},
        {QStringLiteral("config/big"), static_cast<qint64>(1) << 40},
    };
    const QString direct = dir + QStringLiteral("direct.ini");
    ASSERT_TRUE(testsupport::writeAll(direct, start));
    {
        QSettings settings(direct, QSettings::IniFormat);
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    QByteArray ours;
    QString error;
    ASSERT_TRUE(QIniFile::iniText(start, changes, &ours, &error)) << error.toStdString();
    EXPECT_EQ(ours, testsupport::readAll(direct));

    const QString path = dir + QStringLiteral("config.ini");
    ASSERT_TRUE(testsupport::writeAll(path, start));
    QIniFile ini(path);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        ASSERT_TRUE(ini.setValue(it.key().section(QLatin1Char('/'), 0, 0), it.key().section(QLatin1Char('/'), 1), it.value()));
    EXPECT_EQ(testsupport::readAll(path), testsupport::readAll(direct));
}

namespace
{
    struct InjectedFault
    {
        const char *what;
        QSafeFile::Fault fault;
        int error;
    };

    // Test names in ctest show the case's name, never the bytes of the struct.
    void PrintTo(const InjectedFault &c, std::ostream *os)
    {
        *os << c.what;
    }

    class InjectedFaultTest : public ::testing::TestWithParam<InjectedFault>
    {
    protected:
        void TearDown() override
        {
            QSafeFile::setFaultForTests(QSafeFile::Fault::None);
        }
    };
}

// For machines that can't mount a file system: each step of the save fails in turn, for a
// JSON state file and for the settings; the old file stays, nothing temporary is left.
TEST_P(InjectedFaultTest, FailedStepKeepsTheOldFileAndTellsWhy)
{
    const InjectedFault &f = GetParam();
    for (const Kind &kind : {kKinds[0], kKinds[6]}) {
        SCOPED_TRACE(kind.name);
        const QString dir = testsupport::newTempDir();
        const QString path = dir + QString::fromLatin1(kind.name);
        QString error;
        ASSERT_TRUE(kind.save(path, 1, &error)) << error.toStdString();
        const QByteArray old = testsupport::readAll(path);

        QSafeFile::setFaultForTests(f.fault, f.error, path);
        EXPECT_FALSE(kind.save(path, 2, &error));
        QSafeFile::setFaultForTests(QSafeFile::Fault::None);
        EXPECT_TRUE(error.contains(QString::fromLocal8Bit(std::strerror(f.error)))) << error.toStdString();
        EXPECT_EQ(testsupport::readAll(path), old);
        EXPECT_EQ(entriesOf(dir), QStringList {QString::fromLatin1(kind.name)});
    }
}

INSTANTIATE_TEST_SUITE_P(Steps, InjectedFaultTest,
                         ::testing::Values(InjectedFault {"ShortWriteThenFull", QSafeFile::Fault::ShortWrite, ENOSPC},
                                           InjectedFault {"FailedWrite", QSafeFile::Fault::FailedWrite, EIO},
                                           InjectedFault {"FailedFlushToDisk", QSafeFile::Fault::FailedSync, EIO},
                                           InjectedFault {"FailedClose", QSafeFile::Fault::FailedClose, EDQUOT},
                                           InjectedFault {"FailedRename", QSafeFile::Fault::FailedRename, EACCES}),
                         [](const ::testing::TestParamInfo<InjectedFault> &info) { return std::string(info.param.what); });

// The temporary file is made beside the target, private, under a new name each time: an
// existing file or link of any name there is never written through.
TEST(SafeFileTest, TemporaryFileIsPrivateAndNeverAnExistingOne)
{
    const QString dir = testsupport::newTempDir();
    const QString path = dir + QStringLiteral("records.json");
    const QString victim = dir + QStringLiteral("victim");
    ASSERT_TRUE(testsupport::writeAll(victim, "keep"));
    for (const char *planted : {".records.json.tmp", "records.json.tmp", ".records.json.XXXXXX"})
        ASSERT_TRUE(QFile::link(victim, dir + QString::fromLatin1(planted)));
    ::umask(0);
    QString error;
    const bool saved = QSafeFile::save(path, "{}\n", &error);
    ::umask(022);
    ASSERT_TRUE(saved) << error.toStdString();
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(testsupport::readAll(victim), QByteArray("keep"));
    EXPECT_EQ(entriesOf(dir).size(), 5);
}

namespace
{
    // Saves `name` in `folder` in a child that is killed while it writes, as a kill leaves a
    // save: the name of the temporary file left, or empty.
    QString killedSave(const QString &folder, const QString &name)
    {
        return testsupport::leftByEndedChild(folder, [&]() {
            int pieces = 0;
            QSafeFile::saveParts(folder + name, [&pieces]() {
                if (pieces++ > 0)
                    testsupport::childDone();
                return QByteArray("{}");
            });
        });
    }
}

// What kills left of saves goes: the temporary files of the state files named, and the
// settings' scratch folders with their copies. Anything else stays: the state files
// themselves, temporary files of other files, links (and what they point to), folders,
// names that only look alike and, as root, another user's file or folder.
TEST(SafeFileTest, SweepRemovesOnlyWhatKilledSavesLeft)
{
    const QString dir = testsupport::newTempDir();
    ASSERT_TRUE(QSafeFile::save(dir + QStringLiteral("records.json"), "{}\n"));
    QStringList gone;
    for (const char *name : {"records.json", "records.json", "work.json"}) {
        const QString left = killedSave(dir, QString::fromLatin1(name));
        ASSERT_TRUE(left.startsWith(QLatin1Char('.') + QString::fromLatin1(name) + QLatin1Char('.'))) << left.toStdString();
        gone << left;
    }
    const QString otherSave = killedSave(dir, QStringLiteral("video.mp4"));
    ASSERT_FALSE(otherSave.isEmpty());
    QStringList kept {QStringLiteral("records.json"), otherSave};

    const QString outside = testsupport::newTempDir() + QStringLiteral("target");
    ASSERT_TRUE(testsupport::writeAll(outside, "keep"));
    ASSERT_TRUE(QFile::link(outside, dir + QStringLiteral(".work.json.LinkLinkLink")));
    ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral(".work.json.FolderFolder")));
    for (const char *name : {".work.json.short", ".work.json.abcdefghijk-", "work.json.abcdefghijkl", ".ini-abcdef.x"})
        ASSERT_TRUE(testsupport::writeAll(dir + QString::fromLatin1(name), "x"));
    ASSERT_TRUE(testsupport::writeAll(dir + QStringLiteral(".ini-NotDir"), "x"));
    kept << QStringLiteral(".work.json.LinkLinkLink") << QStringLiteral(".work.json.FolderFolder") << QStringLiteral(".work.json.short")
         << QStringLiteral(".work.json.abcdefghijk-") << QStringLiteral("work.json.abcdefghijkl") << QStringLiteral(".ini-abcdef.x")
         << QStringLiteral(".ini-NotDir");
    {
        QTemporaryDir scratch(dir + QStringLiteral(".ini-XXXXXX"));
        ASSERT_TRUE(scratch.isValid());
        scratch.setAutoRemove(false);
        ASSERT_TRUE(testsupport::writeAll(scratch.filePath(QStringLiteral("write.ini")), "[a]\n"));
        ASSERT_TRUE(testsupport::writeAll(scratch.filePath(QStringLiteral("check.ini")), "[a]\n"));
        gone << QFileInfo(scratch.path()).fileName();
    }
    if (::getuid() == 0) {
        const QString theirs = dir + QStringLiteral(".records.json.TheirsTheirs");
        ASSERT_TRUE(testsupport::writeAll(theirs, "x"));
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 65534, 65534), 0);
        ASSERT_TRUE(QDir().mkpath(dir + QStringLiteral(".ini-Theirs")));
        ASSERT_EQ(::chown(QFile::encodeName(dir + QStringLiteral(".ini-Theirs")).constData(), 65534, 65534), 0);
        kept << QStringLiteral(".records.json.TheirsTheirs") << QStringLiteral(".ini-Theirs");
    }

    const auto isState = [](const QString &name) { return name == QStringLiteral("records.json") || name == QStringLiteral("work.json"); };
    EXPECT_EQ(QSafeFile::sweepLeftovers(dir, isState), 3);
    EXPECT_EQ(QIniFile::sweepScratch(dir), 1);
    kept.sort();
    EXPECT_EQ(entriesOf(dir), kept);
    EXPECT_EQ(testsupport::readAll(outside), QByteArray("keep"));
    EXPECT_EQ(testsupport::readAll(dir + QStringLiteral("records.json")), QByteArray("{}\n"));
    // Nothing more the second time.
    EXPECT_EQ(QSafeFile::sweepLeftovers(dir, isState), 0);
    EXPECT_EQ(QIniFile::sweepScratch(dir), 0);
}
