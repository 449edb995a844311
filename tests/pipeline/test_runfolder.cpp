// The run folder and the output's names against another user who can write to the output
// folder, and on disks that fix every mode: what is swapped in or planted is never written to,
// emptied, removed or recorded, and the finished output is always kept.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <stdio.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "logger.h"
#include "pipelinehelpers.h"
#include "platformserver.h"
#include "qdtavideo.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "qrunfolder.h"
#include "qtutils.h"
#include "qvalue.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    constexpr uid_t kOtherUser = 65534;

    QStringList entriesOf(const QString &folder)
    {
        QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        entries.sort();
        return entries;
    }

    // One entry: kind, owner, contents or link target.
    QString entryText(const QString &path)
    {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return QStringLiteral("missing");
        QString what = QStringLiteral("uid %1 ").arg(st.st_uid);
        if (S_ISLNK(st.st_mode))
            return what + QStringLiteral("link ") + QFile::symLinkTarget(path);
        if (S_ISDIR(st.st_mode))
            return what + QStringLiteral("folder");
        return what + QStringLiteral("file ") + QString::fromLatin1(testsupport::readAll(path).toHex());
    }

    // `path` and, for a folder, everything below it, entry by entry.
    std::map<QString, QString> snapshot(const QString &path)
    {
        std::map<QString, QString> shot;
        shot[QString()] = entryText(path);
        if (QFileInfo(path).isSymLink() || !QFileInfo(path).isDir())
            return shot;
        QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString entry = it.next();
            shot[entry.mid(path.size())] = entryText(entry);
        }
        return shot;
    }

    struct stat identityOf(const QString &path)
    {
        struct stat st {};
        ::lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &st);
        return st;
    }

    // The entry of `folder` that is the folder `id`; empty when there is none.
    QString findByIdentity(const QString &folder, const struct stat &id)
    {
        for (const QString &name : entriesOf(folder)) {
            const struct stat st = identityOf(folder + name);
            if (S_ISDIR(st.st_mode) && st.st_dev == id.st_dev && st.st_ino == id.st_ino)
                return folder + name + QLatin1Char('/');
        }
        return QString();
    }

    QValue registry()
    {
        QValue root;
        QJsonFile::read(QRunFolder::registryPath(), root);
        return root;
    }

    int notedRuns()
    {
        return jsonSize(jsonMember(registry(), QStringLiteral("runs")));
    }

    int notedOutputs()
    {
        return jsonSize(jsonMember(registry(), QStringLiteral("outputs")));
    }

    // Trades the names `a` and `b` in the open folder `dirFd` in one step, as another user
    // (uid 65534) when this runs as root. True when the names were traded.
    bool exchangeAsOtherUser(int dirFd, const QByteArray &a, const QByteArray &b)
    {
        if (::geteuid() != 0)
            return ::renameat2(dirFd, a.constData(), dirFd, b.constData(), RENAME_EXCHANGE) == 0;
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kOtherUser) != 0 || ::setuid(kOtherUser) != 0)
                ::_exit(2);
            ::_exit(::renameat2(dirFd, a.constData(), dirFd, b.constData(), RENAME_EXCHANGE) == 0 ? 0 : 1);
        }
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

}

// One job against the local platform server, run as the pool runs it.
class RunFolderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = testsupport::newTempDir();
        qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data")).toUtf8());
        CGlobal::initPath();
        QRecords::instance()->reopen(m_dir + QStringLiteral("data/records.json"));
        m_server.reset(new pipelinetest::SignedIn);
        ASSERT_NE(m_server->server(), nullptr);
        QFrameModel::setProgramPath(pipelinetest::fakeSorbin());
        m_videos = m_dir + QStringLiteral("videos/");
        QDir().mkpath(m_videos);
    }

    void TearDown() override
    {
        QRunFolder::setHookForTests({});
        QRunFolder::setModesFixedForTests(false);
        setRenameFallbackForTests(false, false);
        qunsetenv("FAKESORBIN_SWAP_TARGET");
    }

    std::shared_ptr<QDtaVideo> makeVideo(const QString &behaviour, const QString &name, int mode = 7)
    {
        const QString path = m_videos + name;
        if (!QFile::exists(path))
            testsupport::writeAll(path, "source video bytes");
        QDtaConfig config = pipelinetest::config(mode, QStringLiteral("12"));
        config.setCodecQuality(behaviour);
        static qint64 id = 1710000000000LL;
        return std::make_shared<QDtaVideo>(++id, path, config);
    }

    static QString runStage(QFrameModel &model)
    {
        QString message;
        std::atomic<bool> done(false);
        std::thread worker([&]() {
            try {
                model.run();
            } catch (const UException &e) {
                message = e.qMessage().isEmpty() ? QStringLiteral("<empty>") : e.qMessage();
            } catch (...) {
                message = QStringLiteral("<other>");
            }
            done = true;
        });
        const bool ended = testsupport::waitUntil([&]() { return done.load(); }, 60000);
        if (!ended)
            model.stop();
        worker.join();
        EXPECT_TRUE(ended) << "stage did not end";
        return message;
    }

    static QByteArray encrypted()
    {
        return QByteArray("video:") + QByteArray::fromStdString(QFrameModel::mixKey("demo-key-12", "12"));
    }

    QString m_dir;
    QString m_videos;
    std::unique_ptr<pipelinetest::SignedIn> m_server;
};

struct SwapCase
{
    const char *moment;  // made, opened (in this program); work, success, failure (in the child)
    bool otherJob;       // swapped with another job's live run folder, else with the teacher's folder
};

void PrintTo(const SwapCase &c, std::ostream *os)
{
    *os << c.moment << (c.otherJob ? " with another job's run folder" : " with the teacher's folder");
}

class RunFolderSwapTest : public RunFolderTest, public ::testing::WithParamInterface<SwapCase>
{
};

// Another user trades the run folder's name with a folder of the teacher's (full of files) or
// with another job's run folder, in one step, at one moment of the run. That folder keeps every
// file, wherever it is now; the job ends as the child says; what the run made is removed where it
// ended up, also the folder that a swap at the making hides from the run.
TEST_P(RunFolderSwapTest, SwappedInFolderKeepsEveryFile)
{
    const SwapCase &c = GetParam();
    const QString moment = QString::fromLatin1(c.moment);
    const bool inChild = moment != QLatin1String("made") && moment != QLatin1String("opened");

    // The folder that gets swapped in, with what it holds before.
    QRunFolder otherRun;
    QString other;
    if (c.otherJob) {
        ASSERT_TRUE(otherRun.create(m_videos, 1600000000000LL));
        ASSERT_TRUE(testsupport::writeAll(otherRun.childPath() + QStringLiteral("other.vep.tmp"), "the other job's half"));
        other = m_videos + otherRun.name() + QLatin1Char('/');
    } else {
        other = m_videos + QStringLiteral("讲义/");
        ASSERT_TRUE(QDir().mkpath(other + QStringLiteral("第一章")));
        ASSERT_TRUE(testsupport::writeAll(other + QStringLiteral("提纲.txt"), "outline"));
        ASSERT_TRUE(testsupport::writeAll(other + QStringLiteral("第一章/习题.txt"), "exercises"));
        ::chmod(QFile::encodeName(other).constData(), 0700);
    }
    const struct stat otherId = identityOf(other);
    const std::map<QString, QString> before = snapshot(other);
    ASSERT_FALSE(before.empty());

    // A course folder others may write to, without the sticky bit; the swap is theirs.
    ::chmod(QFile::encodeName(m_videos).constData(), 0777);
    std::atomic<bool> swapped(false);
    std::atomic<bool> traded(false);
    if (!inChild) {
        QRunFolder::setHookForTests([&](const char *at, int outputFd, const QByteArray &name) {
            if (moment != QLatin1String(at) || swapped.exchange(true))
                return;
            traded = exchangeAsOtherUser(outputFd, name, QFile::encodeName(QDir(other).dirName()));
        });
    } else {
        qputenv("FAKESORBIN_SWAP_TARGET", QFile::encodeName(QDir::cleanPath(other)));
    }
    auto video = makeVideo(inChild ? QStringLiteral("swap:exchange:") + moment : QStringLiteral("success"),
                           QStringLiteral("a.mp4"));
    QFrameModel model(video);
    const QString message = runStage(model);
    QRunFolder::setHookForTests({});
    EXPECT_TRUE(inChild || traded) << "the swap never came";

    const bool fails = moment == QLatin1String("failure");
    EXPECT_EQ(message.isEmpty(), !fails) << message.toStdString();
    const QString output = m_videos + QStringLiteral("a.vep");
    if (!fails) {
        EXPECT_EQ(testsupport::readAll(output), encrypted());
        const record_ptr record = QRecords::instance()->jobRecord(video->id());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->filePath() + record->fileName(), output);
    }

    // The swapped-in folder is whole, file by file, under whatever name it has now.
    const QString now = findByIdentity(m_videos, otherId);
    ASSERT_FALSE(now.isEmpty()) << "the swapped-in folder is gone";
    EXPECT_NE(now, other) << "the swap never came";
    std::map<QString, QString> after = snapshot(now);
    EXPECT_EQ(after, before);
    if (c.otherJob) {
        EXPECT_EQ(testsupport::readAll(otherRun.childPath() + QStringLiteral("other.vep.tmp")), QByteArray("the other job's half"));
        otherRun.remove();
        EXPECT_TRUE(findByIdentity(m_videos, otherId).isEmpty()) << "the other job removes its own folder, wherever it is";
    }

    // Left: the source, the output, the teacher's folder; nothing of the run, not even the folder
    // it made and never got hold of after a swap at the making.
    QStringList expected {QStringLiteral("a.mp4")};
    if (!fails)
        expected << QStringLiteral("a.vep");
    if (!c.otherJob)
        expected << QDir(now).dirName();
    expected.sort();
    EXPECT_EQ(entriesOf(m_videos), expected);
    EXPECT_EQ(notedRuns(), 0);
    EXPECT_EQ(notedOutputs(), 0);
}

INSTANTIATE_TEST_SUITE_P(Moments, RunFolderSwapTest, ::testing::Values(
    SwapCase {"made", false}, SwapCase {"opened", false}, SwapCase {"work", false}, SwapCase {"success", false},
    SwapCase {"failure", false},
    SwapCase {"made", true}, SwapCase {"opened", true}, SwapCase {"work", true}, SwapCase {"success", true},
    SwapCase {"failure", true}),
    [](const ::testing::TestParamInfo<SwapCase> &info) {
        return std::string(info.param.moment) + (info.param.otherJob ? "WithOtherJob" : "WithTeacherFolder");
    });

struct PlantCase
{
    const char *kind;   // foreign, link, folder, own; sourcelink (another user's), dangling, hardlink (to the source)
    const char *where;  // short, long, both
    bool beforeRestart; // planted before the job runs again (else the moment the run folder appears)
};

void PrintTo(const PlantCase &c, std::ostream *os)
{
    *os << c.kind << " at " << c.where << (c.beforeRestart ? " before a restart" : " during the run");
}

class PlantedNameTest : public RunFolderTest, public ::testing::WithParamInterface<PlantCase>
{
protected:
    // Puts an entry of the case's kind at `path`.
    void plant(const QString &path)
    {
        const QString kind = QString::fromLatin1(GetParam().kind);
        const QByteArray native = QFile::encodeName(path);
        if (kind == QLatin1String("foreign")) {
            ASSERT_TRUE(testsupport::writeAll(path, "another user's"));
            ASSERT_EQ(::chown(native.constData(), kOtherUser, kOtherUser), 0);
        } else if (kind == QLatin1String("link")) {
            ASSERT_TRUE(QFile::link(m_private, path));
        } else if (kind == QLatin1String("sourcelink")) {
            ASSERT_TRUE(QFile::link(m_source, path));
            if (::geteuid() == 0)
                ASSERT_EQ(::lchown(native.constData(), kOtherUser, kOtherUser), 0);
        } else if (kind == QLatin1String("dangling")) {
            ASSERT_TRUE(QFile::link(m_dir + QStringLiteral("nothing-here"), path));
        } else if (kind == QLatin1String("hardlink")) {
            ASSERT_EQ(::link(QFile::encodeName(m_source).constData(), native.constData()), 0);
        } else if (kind == QLatin1String("folder")) {
            ASSERT_TRUE(QDir().mkpath(path));
            ASSERT_TRUE(testsupport::writeAll(path + QStringLiteral("/inside"), "theirs"));
        } else {
            ASSERT_TRUE(testsupport::writeAll(path, "the teacher's other file"));
        }
        m_planted << path;
        m_before[path] = snapshot(path);
    }

    QString m_private;
    QString m_source;
    QStringList m_planted;
    std::map<QString, std::map<QString, QString>> m_before;
};

// Entries at the output's short and long names that are not this run's output, in a course folder
// everyone may write to: another user's file, a link to a private file of the teacher's, another
// user's link to the source, a dangling link, a hard link to the source, a folder, an own file
// that is not the noted output. None of them is ever recorded, renamed, followed or changed, and
// the finished output is kept under a free name that the record names, during the run and when
// the job runs again after a restart.
TEST_P(PlantedNameTest, PlantedEntryNeverBecomesTheRecordAndTheOutputIsKept)
{
    const PlantCase &c = GetParam();
    if (QLatin1String(c.kind) == QLatin1String("foreign") && ::geteuid() != 0)
        GTEST_SKIP() << "making another user's file needs root";
    m_private = m_dir + QStringLiteral("exam-answers.txt");
    ASSERT_TRUE(testsupport::writeAll(m_private, "private"));
    const QString where = QString::fromLatin1(c.where);
    const bool atShort = where != QLatin1String("long");
    const bool atLong = where != QLatin1String("short");

    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4"));
    m_source = video->sourcePath();
    ASSERT_EQ(::chmod(QFile::encodeName(m_videos).constData(), 0777), 0);
    const QString shortName = QFrameModel::finalPathOf(*video);
    const QString longName = QFrameModel::outputPathOf(*video);
    auto plantAll = [&]() {
        if (atShort)
            plant(shortName);
        if (atLong)
            plant(longName);
    };
    if (c.beforeRestart) {
        // A killed run's output was noted, and is gone; something else has its name now.
        ASSERT_TRUE(testsupport::writeAll(longName, "an earlier output of this job"));
        ASSERT_TRUE(QRunFolder::noteOutput(video->id(), m_videos, video->videoKey()));
        ASSERT_TRUE(QFile::remove(longName));
        plantAll();
    } else {
        QRunFolder::setHookForTests([&](const char *at, int, const QByteArray &) {
            if (QLatin1String(at) == QLatin1String("opened") && m_planted.isEmpty())
                plantAll();
        });
    }
    if (HasFatalFailure())
        return;
    m_before[m_private] = snapshot(m_private);
    m_before[m_source] = snapshot(m_source);

    QFrameModel model(video);
    const QString message = runStage(model);
    QRunFolder::setHookForTests({});
    ASSERT_EQ(m_planted.size(), (atShort ? 1 : 0) + (atLong ? 1 : 0));
    EXPECT_EQ(message, QString()) << message.toStdString();
    EXPECT_EQ(m_server->server()->requests("Video/getAuthCode").size(), 1u) << "encrypted once, nothing taken up";

    const record_ptr record = QRecords::instance()->jobRecord(video->id());
    ASSERT_NE(record, nullptr);
    const QString recorded = record->filePath() + record->fileName();
    EXPECT_FALSE(m_planted.contains(recorded)) << recorded.toStdString();
    EXPECT_EQ(testsupport::readAll(recorded), encrypted());
    EXPECT_FALSE(QFileInfo(recorded).isSymLink());
    if (!atShort) {
        EXPECT_EQ(recorded, shortName);
    } else {
        EXPECT_TRUE(record->fileName().startsWith(QFileInfo(longName).completeBaseName())) << recorded.toStdString();
    }
    for (const auto &b : m_before)
        EXPECT_EQ(snapshot(b.first), b.second) << b.first.toStdString();

    // The job's next start leaves the record and every entry as they are.
    EXPECT_TRUE(QFrameModel::completeRecorded(*video));
    EXPECT_EQ(QRecords::instance()->jobRecord(video->id())->filePath() + QRecords::instance()->jobRecord(video->id())->fileName(),
              recorded);
    for (const auto &b : m_before)
        EXPECT_EQ(snapshot(b.first), b.second) << b.first.toStdString();
    EXPECT_TRUE(entriesOf(m_videos).filter(QStringLiteral(".vantrel")).isEmpty());
    EXPECT_EQ(notedRuns(), 0);
    EXPECT_EQ(notedOutputs(), 0);
}

INSTANTIATE_TEST_SUITE_P(Entries, PlantedNameTest, ::testing::Values(
    PlantCase {"foreign", "short", false}, PlantCase {"foreign", "long", false}, PlantCase {"foreign", "both", false},
    PlantCase {"link", "short", false}, PlantCase {"link", "long", false}, PlantCase {"link", "both", false},
    PlantCase {"folder", "short", false}, PlantCase {"folder", "long", false}, PlantCase {"folder", "both", false},
    PlantCase {"own", "short", false}, PlantCase {"own", "long", false}, PlantCase {"own", "both", false},
    PlantCase {"foreign", "short", true}, PlantCase {"foreign", "long", true}, PlantCase {"foreign", "both", true},
    PlantCase {"link", "short", true}, PlantCase {"link", "long", true}, PlantCase {"link", "both", true},
    PlantCase {"folder", "short", true}, PlantCase {"folder", "long", true}, PlantCase {"folder", "both", true},
    PlantCase {"own", "short", true}, PlantCase {"own", "long", true}, PlantCase {"own", "both", true},
    PlantCase {"sourcelink", "long", false}, PlantCase {"sourcelink", "both", false}, PlantCase {"sourcelink", "long", true},
    PlantCase {"dangling", "long", false}, PlantCase {"dangling", "both", false}, PlantCase {"dangling", "long", true},
    PlantCase {"hardlink", "long", false}, PlantCase {"hardlink", "both", false}, PlantCase {"hardlink", "long", true}),
    [](const ::testing::TestParamInfo<PlantCase> &info) {
        return std::string(info.param.kind) + "At" + info.param.where + (info.param.beforeRestart ? "BeforeRestart" : "DuringRun");
    });

// A disk that fixes every folder's mode (and, for the mount's owner, every owner), as FAT, exFAT,
// NTFS and network shares do, and has neither the no-replace rename nor hard links: the job is
// delivered, an older output of the same short name is kept, and nothing is left beside the video.
TEST_F(RunFolderTest, ModeFixedByTheFileSystemStillRunsAndLeavesNothing)
{
    struct Case
    {
        const char *what;
        mode_t mode;
        bool mountOwner;
    } cases[] = {
        {"every mode 0777", 0777, false},
        {"every mode 0755", 0755, false},
        {"every entry the mount owner's", 0755, true},
    };
    setRenameFallbackForTests(true, true);
    QRunFolder::setModesFixedForTests(true);
    int run = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.mountOwner && ::geteuid() != 0)
            continue; // giving an entry to another owner needs root
        const QString folder = m_videos + QStringLiteral("stick%1/").arg(++run);
        ASSERT_TRUE(QDir().mkpath(folder));
        if (c.mountOwner) {
            ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), kOtherUser, kOtherUser), 0);
        }
        int made = 0;
        QRunFolder::setHookForTests([&](const char *at, int outputFd, const QByteArray &name) {
            if (QLatin1String(at) != QLatin1String("made"))
                return;
            ++made;
            ::fchmodat(outputFd, name.constData(), c.mode, 0);
            if (c.mountOwner)
                ::fchownat(outputFd, name.constData(), kOtherUser, kOtherUser, AT_SYMLINK_NOFOLLOW);
        });
        ASSERT_TRUE(testsupport::writeAll(folder + QStringLiteral("old.vep"), "an older output"));
        for (const QString &name : {QStringLiteral("new.mp4"), QStringLiteral("old.mp4")}) {
            SCOPED_TRACE(name.toStdString());
            ASSERT_TRUE(testsupport::writeAll(folder + name, "source video bytes"));
            QDtaConfig config = pipelinetest::config(7, QStringLiteral("12"));
            config.setCodecQuality(QStringLiteral("success"));
            static qint64 id = 1720000000000LL;
            auto video = std::make_shared<QDtaVideo>(++id, folder + name, config);
            made = 0;
            QFrameModel model(video);
            EXPECT_EQ(runStage(model), QString());
            EXPECT_EQ(made, 1) << "one folder made, and taken";
            const record_ptr record = QRecords::instance()->jobRecord(video->id());
            ASSERT_NE(record, nullptr);
            EXPECT_EQ(testsupport::readAll(record->filePath() + record->fileName()), encrypted());
        }
        EXPECT_EQ(testsupport::readAll(folder + QStringLiteral("old.vep")), QByteArray("an older output"));
        const QStringList left = entriesOf(folder);
        EXPECT_EQ(left.size(), 5) << left.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(left.filter(QStringLiteral(".vantrel")).isEmpty()) << left.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(left.contains(QStringLiteral("new.vep")));
        QRunFolder::setHookForTests({});
    }
    EXPECT_EQ(notedRuns(), 0);
}

// An exFAT image mounted through FUSE as the video folder, as a teacher's USB stick: both
// packaged modes with the real sorbin, and a clash with an older output; nothing is left on the
// stick but the videos and their outputs.
TEST_F(RunFolderTest, ExfatStickThroughFuseRunsBothModesAndLeavesNothing)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting an image needs root";
    for (const char *tool : {"/usr/sbin/mkfs.exfat", "/usr/sbin/mount.exfat-fuse", "/usr/sbin/losetup"})
        if (!QFileInfo(QString::fromLatin1(tool)).isExecutable())
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh)";
    const QString image = m_dir + QStringLiteral("stick.img");
    const QString stick = m_dir + QStringLiteral("stick/");
    ASSERT_TRUE(QDir().mkpath(stick));
    {
        QFile file(image);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(96 * 1024 * 1024));
    }
    ASSERT_TRUE(pipelinetest::runTool(QStringLiteral("/usr/sbin/mkfs.exfat"), {image}));
    QByteArray loop;
    if (!pipelinetest::runTool(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("--find"), QStringLiteral("--show"), image}, &loop))
        GTEST_SKIP() << "no loop device here: " << loop.constData();
    struct Mount
    {
        QString loop;
        QString point;
        bool mounted = false;
        ~Mount()
        {
            if (mounted)
                pipelinetest::runTool(QStringLiteral("/usr/bin/umount"), {point});
            pipelinetest::runTool(QStringLiteral("/usr/sbin/losetup"), {QStringLiteral("--detach"), loop});
        }
    } mount {QString::fromLatin1(loop), QDir::cleanPath(stick)};
    QByteArray why;
    mount.mounted = pipelinetest::runTool(QStringLiteral("/usr/sbin/mount.exfat-fuse"), {mount.loop, mount.point}, &why);
    if (!mount.mounted)
        GTEST_SKIP() << "mounting through FUSE was refused: " << why.constData();
    {
        // Really the stick: modes are the mount's, whatever is asked.
        ASSERT_EQ(::mkdir(QFile::encodeName(stick + QStringLiteral("probe")).constData(), 0700), 0);
        const struct stat probe = identityOf(stick + QStringLiteral("probe"));
        ASSERT_EQ(::rmdir(QFile::encodeName(stick + QStringLiteral("probe")).constData()), 0);
        ASSERT_NE(probe.st_mode & 077, 0u) << "this mount keeps modes; it is no stand-in for a stick";
    }

    QFrameModel::setProgramPath(pipelinetest::realSorbin());
    const QString clip = testsupport::clipH264Mp4();
    ASSERT_FALSE(clip.isEmpty());
    const QByteArray source = testsupport::readAll(clip);
    ASSERT_TRUE(testsupport::writeAll(stick + QStringLiteral("第二课.vep"), "an older output"));
    struct Job
    {
        const char *name;
        int mode;
        bool clash;
    } jobs[] = {{"第一课.mp4", 7, false}, {"第二课.mp4", 8, true}, {"第三课.mp4", 8, false}, {"第四课.mp4", 7, false}};
    QStringList expected {QStringLiteral("第二课.vep")};
    for (const Job &j : jobs) {
        SCOPED_TRACE(j.name);
        const QString name = QString::fromUtf8(j.name);
        ASSERT_FALSE(pipelinetest::copyFile(clip, stick, name).isEmpty());
        static qint64 id = 1730000000000LL;
        auto video = std::make_shared<QDtaVideo>(++id, stick + name, pipelinetest::config(j.mode, QStringLiteral("12")));
        video->probeMedia();
        QFrameModel model(video);
        EXPECT_EQ(runStage(model), QString());
        const record_ptr record = QRecords::instance()->jobRecord(video->id());
        ASSERT_NE(record, nullptr);
        const QString output = record->filePath() + record->fileName();
        EXPECT_EQ(output, j.clash ? QFrameModel::outputPathOf(*video) : QFrameModel::finalPathOf(*video));
        const QByteArray encrypted = testsupport::readAll(output);
        EXPECT_GT(encrypted.size(), source.size() / 2);
        EXPECT_FALSE(encrypted.startsWith(source.left(4096)));
        EXPECT_EQ(testsupport::readAll(stick + name), source);
        expected << name << QFileInfo(output).fileName();
    }
    EXPECT_EQ(testsupport::readAll(stick + QStringLiteral("第二课.vep")), QByteArray("an older output"));
    expected.sort();
    EXPECT_EQ(entriesOf(stick), expected);
    EXPECT_EQ(notedRuns(), 0);
    EXPECT_EQ(notedOutputs(), 0);
}

// A failed run's log names the real folder behind the "/proc/<pid>/fd/<n>/" path sorbin was
// given, even without debug logging.
TEST_F(RunFolderTest, FailedRunLogsTheRealFolderBehindTheChildPath)
{
    const QString logs = m_dir + QStringLiteral("log/");
    sth::setDebugEnabled(false);
    sth::logger::instance()->start(logs.toStdWString());
    auto video = makeVideo(QStringLiteral("fail"), QStringLiteral("a.mp4"));
    QString child;
    QRunFolder::setHookForTests([&](const char *at, int, const QByteArray &name) {
        if (QLatin1String(at) == QLatin1String("made"))
            child = m_videos + QFile::decodeName(name);
    });
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QStringLiteral("视频加密异常"));
    sth::logger::instance()->flush();
    const QByteArray bytes = testsupport::readAll(QString::fromStdString(sth::logger::instance()->filePath()));
    sth::logger::instance()->stop();
    ASSERT_FALSE(child.isEmpty());
    // UTF-16 after its byte-order mark.
    ASSERT_GT(bytes.size(), 2);
    const QString log = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    const QString path = QStringLiteral("/proc/%1/fd/").arg(::getpid());
    const int at = log.indexOf(path);
    ASSERT_GE(at, 0) << log.toStdString();
    const QString line = log.mid(at, log.indexOf(QLatin1Char('\n'), at) - at);
    EXPECT_TRUE(line.contains(child + QLatin1Char('/'))) << line.toStdString();
    EXPECT_TRUE(line.contains(QStringLiteral("inode"))) << line.toStdString();
}

// The output folder turns read-only once sorbin has written the output: the finished output is
// kept in its run folder, the job's reason says where it is, and no sweep removes it.
TEST_F(RunFolderTest, OutputThatCannotBeMovedOutIsKeptAndTheReasonSaysWhere)
{
    qputenv("FAKESORBIN_LOCK_FOLDER", QFile::encodeName(QDir::cleanPath(m_videos)));
    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4"));
    QFrameModel model(video);
    const QString message = runStage(model);
    qunsetenv("FAKESORBIN_LOCK_FOLDER");
    testsupport::unlockFolder(m_videos);
    if (message.isEmpty())
        GTEST_SKIP() << "this file system can't make a folder read-only for this user";

    const QStringList runs = entriesOf(m_videos).filter(QStringLiteral(".vantrel-"));
    ASSERT_EQ(runs.size(), 1);
    const QString kept = m_videos + runs.first() + QLatin1Char('/') + video->videoKey();
    EXPECT_TRUE(message.contains(kept)) << message.toStdString();
    EXPECT_EQ(testsupport::readAll(kept), encrypted());
    EXPECT_EQ(QRecords::instance()->jobRecord(video->id()), nullptr);
    QRunFolder::sweep();
    QRunFolder::sweep(video->id());
    EXPECT_EQ(testsupport::readAll(kept), encrypted()) << "a kept output outlives every sweep";
}

// A disk that gives every new folder an owner that is neither this user nor the output folder's:
// each refused folder goes again, the job fails with its reason, and nothing piles up.
TEST_F(RunFolderTest, FolderOfAnotherOwnerIsRefusedAndRemovedAgain)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a folder to another owner needs root";
    int made = 0;
    QRunFolder::setHookForTests([&](const char *at, int outputFd, const QByteArray &name) {
        if (QLatin1String(at) != QLatin1String("made"))
            return;
        ++made;
        ::fchownat(outputFd, name.constData(), kOtherUser, kOtherUser, AT_SYMLINK_NOFOLLOW);
    });
    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4"));
    QFrameModel model(video);
    const QString message = runStage(model);
    EXPECT_TRUE(message.contains(QStringLiteral("不属于当前用户"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QDir::toNativeSeparators(m_videos))) << message.toStdString();
    EXPECT_GT(made, 1);
    EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("a.mp4")});
    EXPECT_EQ(notedRuns(), 0);
}

// Another user swaps every folder the run makes for a folder of theirs, between the mkdir and the
// open, as often as the run tries: their folder keeps every file, each folder the run made goes
// again wherever the swap put it, and the job fails with its reason, leaving nothing behind.
TEST_F(RunFolderTest, FolderSwappedAtEveryMakingLeavesNoneOfOurs)
{
    ::chmod(QFile::encodeName(m_videos).constData(), 0777);
    const QString theirs = m_videos + QStringLiteral("他人的文件夹/");
    ASSERT_TRUE(QDir().mkpath(theirs));
    ASSERT_TRUE(testsupport::writeAll(theirs + QStringLiteral("笔记.txt"), "notes"));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kOtherUser, kOtherUser), 0);
        ASSERT_EQ(::chown(QFile::encodeName(theirs + QStringLiteral("笔记.txt")).constData(), kOtherUser, kOtherUser), 0);
    }
    const struct stat theirId = identityOf(theirs);
    const std::map<QString, QString> before = snapshot(theirs);
    QByteArray theirName = QFile::encodeName(QDir(theirs).dirName());
    int swaps = 0;
    QRunFolder::setHookForTests([&](const char *at, int outputFd, const QByteArray &name) {
        if (QLatin1String(at) != QLatin1String("made") || !exchangeAsOtherUser(outputFd, name, theirName))
            return;
        ++swaps;
        theirName = name;
    });
    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4"));
    QFrameModel model(video);
    const QString message = runStage(model);
    QRunFolder::setHookForTests({});
    EXPECT_TRUE(message.contains(QStringLiteral("一再被替换"))) << message.toStdString();
    EXPECT_EQ(swaps, 16);
    const QString now = findByIdentity(m_videos, theirId);
    ASSERT_FALSE(now.isEmpty());
    EXPECT_EQ(snapshot(now), before);
    QStringList left {QStringLiteral("a.mp4"), QDir(now).dirName()};
    left.sort();
    EXPECT_EQ(entriesOf(m_videos), left);
    EXPECT_EQ(notedRuns(), 0);
    EXPECT_EQ(QRecords::instance()->jobRecord(video->id()), nullptr);
}

// What stands at the run folder's name when it is opened can't be entered (another user's private
// folder swapped in): the log gives the system's reason, the run goes on with a new folder, and
// the folder the swap took away goes again.
TEST_F(RunFolderTest, FolderThatCannotBeEnteredIsLoggedWithTheSystemsReason)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's private folder needs root";
    ::chmod(QFile::encodeName(m_videos).constData(), 0777);
    const QString theirs = m_videos + QStringLiteral("private/");
    ASSERT_TRUE(QDir().mkpath(theirs));
    ASSERT_TRUE(testsupport::writeAll(theirs + QStringLiteral("diary.txt"), "mine"));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(theirs).constData(), 0700), 0);
    const struct stat theirId = identityOf(theirs);

    const QString logs = m_dir + QStringLiteral("log/");
    sth::setDebugEnabled(false);
    sth::logger::instance()->start(logs.toStdWString());
    bool swapped = false;
    // This thread opens the folder as a user without root's right to enter any folder.
    QRunFolder::setHookForTests([&](const char *at, int outputFd, const QByteArray &name) {
        if (QLatin1String(at) == QLatin1String("made") && !swapped) {
            swapped = exchangeAsOtherUser(outputFd, name, QByteArrayLiteral("private"));
            if (swapped)
                ::setfsuid(kOtherUser - 1);
        } else if (QLatin1String(at) == QLatin1String("opened")) {
            ::setfsuid(0);
        }
    });
    auto video = makeVideo(QStringLiteral("success"), QStringLiteral("a.mp4"));
    QFrameModel model(video);
    EXPECT_EQ(runStage(model), QString());
    QRunFolder::setHookForTests({});
    sth::logger::instance()->flush();
    const QByteArray bytes = testsupport::readAll(QString::fromStdString(sth::logger::instance()->filePath()));
    sth::logger::instance()->stop();
    ASSERT_TRUE(swapped);
    ASSERT_GT(bytes.size(), 2);
    const QString log = QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    const int at = log.indexOf(QStringLiteral("is not the folder just made"));
    ASSERT_GE(at, 0) << log.toStdString();
    const QString line = log.mid(at, log.indexOf(QLatin1Char('\n'), at) - at);
    EXPECT_TRUE(line.contains(QString::fromLocal8Bit(std::strerror(EACCES)))) << line.toStdString();
    EXPECT_FALSE(line.contains(QStringLiteral("link"))) << line.toStdString();

    const QString now = findByIdentity(m_videos, theirId);
    ASSERT_FALSE(now.isEmpty());
    EXPECT_EQ(testsupport::readAll(now + QStringLiteral("diary.txt")), QByteArray("mine"));
    QStringList left {QDir(now).dirName(), QStringLiteral("a.mp4"), QStringLiteral("a.vep")};
    left.sort();
    EXPECT_EQ(entriesOf(m_videos), left);
    EXPECT_EQ(notedRuns(), 0);
}

// A kill came between the record (under the short name) and the rename; meanwhile another user
// puts a link to the output, a link to the source or a hard link of the source at the short name.
// The next start never follows the link or takes it for the output: the output keeps every byte
// and its long name, the record names it, and what was planted is left as it was.
TEST_F(RunFolderTest, EntryAtTheRecordedNameNeverCostsTheOutput)
{
    ::chmod(QFile::encodeName(m_videos).constData(), 0777);
    const char *kinds[] = {"link to the output", "link to the source", "hard link of the source"};
    int n = 0;
    for (const char *kind : kinds) {
        SCOPED_TRACE(kind);
        auto video = makeVideo(QStringLiteral("success"), QStringLiteral("第%1课.mp4").arg(++n));
        const QString longName = QFrameModel::outputPathOf(*video);
        const QString shortName = QFrameModel::finalPathOf(*video);
        ASSERT_TRUE(testsupport::writeAll(longName, encrypted()));
        ASSERT_TRUE(QRunFolder::noteOutput(video->id(), m_videos, video->videoKey()));
        ASSERT_NE(QRecords::instance()->addJobRecord(video->id(), shortName, longName, 7), nullptr);
        const QByteArray planted = QFile::encodeName(shortName);
        if (QLatin1String(kind) == QLatin1String("link to the output")) {
            ASSERT_EQ(::symlink(QFile::encodeName(longName).constData(), planted.constData()), 0);
        } else if (QLatin1String(kind) == QLatin1String("link to the source")) {
            ASSERT_EQ(::symlink(QFile::encodeName(video->sourcePath()).constData(), planted.constData()), 0);
        } else {
            ASSERT_EQ(::link(QFile::encodeName(video->sourcePath()).constData(), planted.constData()), 0);
        }
        if (::geteuid() == 0)
            ::lchown(planted.constData(), kOtherUser, kOtherUser);
        const std::map<QString, QString> before = snapshot(shortName);
        const std::map<QString, QString> source = snapshot(video->sourcePath());

        EXPECT_TRUE(QFrameModel::completeRecorded(*video));
        EXPECT_EQ(testsupport::readAll(longName), encrypted());
        EXPECT_FALSE(QFileInfo(longName).isSymLink());
        const record_ptr record = QRecords::instance()->jobRecord(video->id());
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->filePath() + record->fileName(), longName);
        EXPECT_EQ(snapshot(shortName), before);
        EXPECT_EQ(snapshot(video->sourcePath()), source);
    }
    EXPECT_EQ(notedOutputs(), 0);
}

// The stick is not plugged in when the program starts (its folder is missing): the notes of the
// run folder a kill left there and of the output it had moved out stay, and once the stick is back
// the sweep removes the run folder and the output is still known as the job's. Only notes a month
// old are given up while their folder is missing.
TEST_F(RunFolderTest, NotesOfAStickThatIsNotPluggedInAreKeptUntilItIsBack)
{
    const QString stick = m_videos + QStringLiteral("U盘/");
    const QString away = m_videos + QStringLiteral("elsewhere");
    ASSERT_TRUE(QDir().mkpath(stick));
    ASSERT_TRUE(testsupport::writeAll(stick + QStringLiteral("a.mp4"), "source video bytes"));
    auto video = std::make_shared<QDtaVideo>(1740000000001LL, stick + QStringLiteral("a.mp4"), pipelinetest::config(7));
    ASSERT_TRUE(testsupport::writeAll(QFrameModel::outputPathOf(*video), encrypted()));
    // A run killed once it had moved its output out: its folder and both notes stay.
    const pid_t pid = ::fork();
    if (pid == 0) {
        QRunFolder run;
        const bool made = run.create(stick, video->id())
            && testsupport::writeAll(run.childPath() + QStringLiteral("half.tmp"), "half")
            && QRunFolder::noteOutput(video->id(), stick, video->videoKey());
        ::_exit(made ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(notedRuns(), 1);
    ASSERT_EQ(notedOutputs(), 1);
    ASSERT_EQ(entriesOf(stick).filter(QStringLiteral(".vantrel-")).size(), 1);

    auto unplug = [&]() { ASSERT_EQ(::rename(QFile::encodeName(QDir::cleanPath(stick)).constData(), QFile::encodeName(away).constData()), 0); };
    auto plugIn = [&]() { ASSERT_EQ(::rename(QFile::encodeName(away).constData(), QFile::encodeName(QDir::cleanPath(stick)).constData()), 0); };
    unplug();
    QRunFolder::sweep();
    QRunFolder::sweep(video->id());
    EXPECT_EQ(notedRuns(), 1);
    EXPECT_EQ(notedOutputs(), 1);
    plugIn();
    QRunFolder::sweep();
    EXPECT_EQ(notedRuns(), 0);
    EXPECT_TRUE(entriesOf(stick).filter(QStringLiteral(".vantrel-")).isEmpty());
    EXPECT_EQ(QRunFolder::ownOutput(video->id(), stick), QFrameModel::outputPathOf(*video));

    // A month later, with the stick still missing, the note goes.
    QValue root = registry();
    for (QValue &entry : root[std::string("outputs")])
        entry["time"] = QString::number(QDateTime::currentMSecsSinceEpoch() - 31LL * 24 * 3600 * 1000).toStdString();
    ASSERT_TRUE(QJsonFile::write(QRunFolder::registryPath(), root, false));
    unplug();
    QRunFolder::sweep();
    EXPECT_EQ(notedOutputs(), 0);
}
