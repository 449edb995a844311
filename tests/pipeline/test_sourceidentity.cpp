// The file a job encrypts is the file the teacher added: a source replaced after it was added
// fails the job with its reason and is never read, a link the teacher added on purpose still
// works, and pending work stored before sources were noted still runs. The real sorbin over
// the real pipe.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include "pipelinehelpers.h"
#include "qdtavideo.h"
#include "qfilework.h"
#include "qframemodel.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "qsourcefile.h"
#include "qtutils.h"
#include "qvalue.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uexception.h"

namespace
{
    const QString kChanged = QStringLiteral("源视频已被更改或替换，请重新添加");

    // Whether anyone opened or read a file since the watch began. The open and read calls queue
    // their events themselves, so once a job has ended every event it caused is there.
    class FileWatch
    {
    public:
        explicit FileWatch(const QString &path)
            : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
        {
            if (m_fd >= 0)
                m_wd = ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN | IN_ACCESS);
        }
        ~FileWatch()
        {
            if (m_fd >= 0)
                ::close(m_fd);
        }
        bool watching() const { return m_wd >= 0; }
        uint32_t events()
        {
            alignas(inotify_event) char buffer[4096];
            for (;;) {
                const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                for (ssize_t at = 0; at < n;) {
                    const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                    m_events |= event->mask;
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
            }
            return m_events;
        }

    private:
        int m_fd = -1;
        int m_wd = -1;
        uint32_t m_events = 0;
    };

    QStringList entriesOf(const QString &folder)
    {
        QStringList entries = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        entries.sort();
        return entries;
    }

    // Puts `from` in place of `to` in one step.
    void renameOver(const QString &from, const QString &to)
    {
        ASSERT_EQ(::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()), 0);
    }

    void linkOver(const QString &target, const QString &path)
    {
        const QString planted = path + QStringLiteral(".planted");
        ASSERT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(planted).constData()), 0);
        renameOver(planted, path);
    }

    // A copy with the same bytes, size and modification time.
    QString sameLookingCopy(const QString &path)
    {
        const QString copy = path + QStringLiteral(".copy");
        EXPECT_TRUE(QFile::copy(path, copy));
        struct stat st {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        EXPECT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(copy).constData(), times, 0), 0);
        return copy;
    }
}

class SourceIdentityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qRegisterMetaType<record_ptr>("record_ptr");
        m_dir = testsupport::newTempDir();
        qputenv("VANTREL_DATA_DIR", (m_dir + QStringLiteral("data")).toUtf8());
        m_server.reset(new pipelinetest::SignedIn);
        ASSERT_NE(m_server->server(), nullptr);
        ASSERT_TRUE(QFileInfo(pipelinetest::realSorbin()).isExecutable()) << "sorbin is not built";
        QFrameModel::setProgramPath(pipelinetest::realSorbin());
        m_clip = testsupport::clipH264Mp4();
        ASSERT_FALSE(m_clip.isEmpty());
        m_videos = m_dir + QStringLiteral("课程 videos/");
        ASSERT_TRUE(QDir().mkpath(m_videos));
        // The teacher's private video, a clip of its own that no output may come from.
        m_private = m_dir + QStringLiteral("home/exam.avi");
        ASSERT_FALSE(pipelinetest::copyFile(testsupport::clipMpeg4Avi(), m_dir + QStringLiteral("home"), QStringLiteral("exam.avi")).isEmpty());
        ASSERT_EQ(::chmod(QFile::encodeName(m_private).constData(), 0600), 0);
        m_privateBytes = testsupport::readAll(m_private);
    }

    void TearDown() override
    {
        QFrameModel::setSourceOpenedHook({});
    }

    QString addSource(const QString &name)
    {
        return pipelinetest::copyFile(m_clip, m_videos, name);
    }

    // Runs a work item or a stage on a worker thread, as the pool does; its error, empty on success.
    QString runOnWorker(const std::function<void()> &body)
    {
        QString message;
        std::thread worker([&]() {
            try {
                body();
            } catch (const UException &e) {
                message = e.qMessage().isEmpty() ? QStringLiteral("<empty>") : e.qMessage();
            } catch (...) {
                message = QStringLiteral("<other>");
            }
        });
        worker.join();
        return message;
    }

    QString runWork(QFileWork &work)
    {
        QString error;
        QObject::connect(&work, &QFileWork::signal_error, [&error](const QString &message) { error = message; });
        bool ok = false;
        const QString thrown = runOnWorker([&]() { ok = work.run(); });
        EXPECT_TRUE(thrown.isEmpty()) << thrown.toStdString();
        EXPECT_EQ(ok, error.isEmpty());
        return error;
    }

    QString m_dir;
    QString m_videos;
    QString m_clip;
    QString m_private;
    QByteArray m_privateBytes;
    std::unique_ptr<pipelinetest::SignedIn> m_server;
};

// After the job was added, another user (or the teacher) puts something else under the
// source's name: a link to a private video, another file, a copy that looks the same, or the
// teacher's own link pointed elsewhere. Whether that happens before the probe or between the
// probe and the encryption, the job fails with the reason, nothing of the other file is read,
// and nothing is written beside it.
TEST_F(SourceIdentityTest, SourceReplacedAfterItWasAddedFailsTheJobAndIsNeverRead)
{
    struct Case
    {
        const char *what;
        bool addedAsLink;
        // Replaces the source at `path`; returns the file now behind the name.
        std::function<QString(const QString &path)> replace;
    };
    const Case cases[] = {
        {"a link to the teacher's private video", false, [this](const QString &path) {
             linkOver(m_private, path);
             return m_private;
         }},
        {"another file renamed over it", false, [this](const QString &path) {
             const QString other = pipelinetest::copyFile(m_private, m_videos, QStringLiteral(".other"));
             renameOver(other, path);
             return path;
         }},
        {"a copy with the same size and time renamed over it", false, [](const QString &path) {
             renameOver(sameLookingCopy(path), path);
             return path;
         }},
        {"the teacher's link pointed at another video", true, [this](const QString &path) {
             linkOver(m_private, path);
             return m_private;
         }},
    };
    const int records = QRecords::instance()->count();
    int n = 0;
    for (const bool probedFirst : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (probedFirst ? ", after the probe" : ", before the probe"));
            const QString name = QStringLiteral("第%1课.mp4").arg(++n);
            const QString path = m_videos + name;
            if (c.addedAsLink) {
                const QString own = pipelinetest::copyFile(m_clip, m_dir + QStringLiteral("mine"), name);
                ASSERT_EQ(::symlink(QFile::encodeName(own).constData(), QFile::encodeName(path).constData()), 0);
            } else {
                ASSERT_FALSE(addSource(name).isEmpty());
            }
            const QStringList before = entriesOf(m_videos);
            QFileWork work(path, pipelinetest::config(7));
            if (probedFirst) {
                ASSERT_NO_THROW(work.video()->probeMedia());
            }

            const QString other = c.replace(path);
            FileWatch watch(other);
            ASSERT_TRUE(watch.watching());
            QString error;
            if (probedFirst) {
                QFrameModel model(work.video());
                error = runOnWorker([&]() { model.run(); });
            } else {
                error = runWork(work);
            }
            EXPECT_EQ(error, kChanged);
            EXPECT_EQ(watch.events() & IN_ACCESS, 0u) << "the other file was read";
            EXPECT_EQ(entriesOf(m_videos), before) << "nothing is written beside the source";
            EXPECT_EQ(testsupport::readAll(m_private), m_privateBytes);
            EXPECT_EQ(QRecords::instance()->count(), records);
        }
    }
}

// Between the check and the encryption's read another file takes the source's name: the
// encryption reads the file that was checked, in every mode, and never opens the other one.
TEST_F(SourceIdentityTest, SwapAfterTheCheckIsNeverRead)
{
    const QByteArray original = testsupport::readAll(m_clip);
    struct Kind
    {
        const char *what;
        std::function<QString(const QString &path)> replace;
    };
    const Kind kinds[] = {
        {"a link to the teacher's private video", [this](const QString &path) {
             linkOver(m_private, path);
             return m_private;
         }},
        {"another file renamed over it", [this](const QString &path) {
             const QString other = pipelinetest::copyFile(m_private, m_videos, QStringLiteral(".other"));
             renameOver(other, path);
             return path;
         }},
    };
    int n = 0;
    for (const Kind &kind : kinds) {
        for (const int mode : {0, 7, 8}) {
            SCOPED_TRACE(std::string(kind.what) + ", mode " + std::to_string(mode));
            const QString name = QStringLiteral("lesson%1.mp4").arg(++n);
            const QString path = addSource(name);
            ASSERT_FALSE(path.isEmpty());
            auto video = std::make_shared<QDtaVideo>(1700000000000LL + n, path, pipelinetest::config(mode));
            ASSERT_NO_THROW(video->probeMedia());
            std::unique_ptr<FileWatch> watch;
            QFrameModel::setSourceOpenedHook([&]() {
                watch.reset(new FileWatch(kind.replace(path)));
            });
            QFrameModel model(video);
            EXPECT_EQ(runOnWorker([&]() { model.run(); }), QString());
            QFrameModel::setSourceOpenedHook({});
            ASSERT_NE(watch, nullptr);
            ASSERT_TRUE(watch->watching());
            EXPECT_EQ(watch->events(), 0u) << "the other file was opened or read";

            const QByteArray output = testsupport::readAll(m_videos + QStringLiteral("lesson%1.vep").arg(n));
            EXPECT_GT(output.size(), original.size() / 2);
            if (mode == 0) {
                EXPECT_TRUE(output.startsWith(original)) << "the copy is of the file that was checked";
            }
            EXPECT_FALSE(output.contains(m_privateBytes.mid(m_privateBytes.size() / 2, 4096)));
            EXPECT_EQ(testsupport::readAll(m_private), m_privateBytes);
        }
    }
}

// A source the teacher added as a link (to a video kept elsewhere) is encrypted through it, in
// both packaged modes, and the output lands beside the link.
TEST_F(SourceIdentityTest, LinkAddedOnPurposeStillEncrypts)
{
    const QString kept = pipelinetest::copyFile(m_clip, m_dir + QStringLiteral("library"), QStringLiteral("clip.mp4"));
    ASSERT_FALSE(kept.isEmpty());
    for (const int mode : {7, 8}) {
        SCOPED_TRACE(mode);
        const QString link = m_videos + QStringLiteral("linked%1.mp4").arg(mode);
        ASSERT_EQ(::symlink("../library/clip.mp4", QFile::encodeName(link).constData()), 0);
        QFileWork work(link, pipelinetest::config(mode));
        EXPECT_TRUE(work.video()->sourceIdentity().link);
        EXPECT_EQ(runWork(work), QString());
        EXPECT_TRUE(work.isComplete());
        const QString output = m_videos + QStringLiteral("linked%1.vep").arg(mode);
        EXPECT_GT(QFileInfo(output).size(), 0);
        EXPECT_TRUE(QFileInfo(link).isSymLink());
        EXPECT_EQ(testsupport::readAll(kept), testsupport::readAll(m_clip));
    }
}

// Read through the descriptor the name is gone (no suffix to go by): each kind of file the
// file dialog offers is still probed and encrypted, by content.
TEST_F(SourceIdentityTest, EveryOfferedKindOfFileIsProbedAndEncryptedThroughTheDescriptor)
{
    const QStringList testsrc {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                               QStringLiteral("testsrc=size=320x240:rate=25:duration=3")};
    struct Case
    {
        const char *name;
        QString clip;
        int mode;
    };
    const Case cases[] = {
        {"a.mp4", m_clip, 8},
        {"b.avi", testsupport::clipMpeg4Avi(), 8},
        {"c.flv", testsupport::makeClip(QStringLiteral("flv1-320x240-3s.flv"), testsrc + QStringList {QStringLiteral("-c:v"), QStringLiteral("flv")}), 8},
        {"d.wmv", testsupport::makeClip(QStringLiteral("wmv2-320x240-3s.wmv"), testsrc + QStringList {QStringLiteral("-c:v"), QStringLiteral("wmv2")}), 8},
        {"e.mp3", testsupport::clipMp3(), 7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.clip.isEmpty());
        const QString path = pipelinetest::copyFile(c.clip, m_videos, QString::fromLatin1(c.name));
        ASSERT_FALSE(path.isEmpty());
        QFileWork work(path, pipelinetest::config(c.mode));
        EXPECT_EQ(runWork(work), QString());
        EXPECT_GE(work.video()->totalTime(), 2);
        if (c.mode == 8) {
            EXPECT_EQ(work.video()->videoWidth(), 320);
        }
        const QString output = m_videos + QFileInfo(path).completeBaseName() + QStringLiteral(".vep");
        EXPECT_GT(QFileInfo(output).size(), 0);
    }
}

// "work.json" written before sources were noted: its jobs note the source when they are
// restored and run as before, from either stored step.
TEST_F(SourceIdentityTest, PendingWorkStoredWithoutTheSourceStillRuns)
{
    QValue array(Json::arrayValue);
    QList<qint64> ids;
    for (const int step : {0, 1}) {
        const QString path = addSource(QStringLiteral("older%1.mp4").arg(step));
        ASSERT_FALSE(path.isEmpty());
        const qint64 id = 1700000000100LL + step;
        QValue data = QDtaVideo(id, path, pipelinetest::config(7)).toJson();
        ASSERT_TRUE(data.isMember("source_id"));
        data.removeMember("source_id");
        QValue element(Json::objectValue);
        element["step"] = step;
        element["data"] = data;
        array.append(element);
        ids.append(id);
    }
    const QString file = m_dir + QStringLiteral("data/work.json");
    ASSERT_TRUE(QJsonFile::write(file, array));

    std::mutex mutex;
    QStringList errors;
    QList<qint64> completed;
    QWorkPool pool;
    pool.setFilePath(file);
    QObject::connect(&pool, &QWorkPool::addItem, [&](QFileWork *work) {
        QObject::connect(work, &QFileWork::signal_error, [&](const QString &message) {
            std::lock_guard<std::mutex> lock(mutex);
            errors.append(message);
        });
    });
    QObject::connect(&pool, &QWorkPool::completeItem, [&](qlonglong id) {
        std::lock_guard<std::mutex> lock(mutex);
        completed.append(id);
    });
    pool.start(2);
    const bool ended = testsupport::waitUntil([&]() {
        std::lock_guard<std::mutex> lock(mutex);
        return completed.size() + errors.size() == ids.size();
    }, 90000);
    pool.stop();
    ASSERT_TRUE(ended);
    EXPECT_EQ(errors, QStringList());
    std::sort(completed.begin(), completed.end());
    EXPECT_EQ(completed, ids);
    for (const int step : {0, 1}) {
        EXPECT_GT(QFileInfo(m_videos + QStringLiteral("older%1.vep").arg(step)).size(), 0) << step;
    }
}

// Pending work stored before sources were noted, whose source another user has meanwhile
// replaced by a link of theirs: the restore does not take that link, and the job fails with
// the reason instead of reading what it points to.
TEST_F(SourceIdentityTest, RestoredWorkDoesNotTakeAnotherUsersLink)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a link owned by another user can only be made by root";
    const QString path = addSource(QStringLiteral("shared.mp4"));
    ASSERT_FALSE(path.isEmpty());
    QValue data = QDtaVideo(1700000000300LL, path, pipelinetest::config(7)).toJson();
    data.removeMember("source_id");
    linkOver(m_private, path);
    ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), 65534, 65534), 0);

    QValue element(Json::objectValue);
    element["step"] = 0;
    element["data"] = data;
    QFileWork work(element);
    ASSERT_FALSE(work.isRefused()) << work.refusal().toStdString();
    EXPECT_FALSE(work.video()->sourceIdentity().known);
    FileWatch watch(m_private);
    ASSERT_TRUE(watch.watching());
    EXPECT_EQ(runWork(work), kChanged);
    EXPECT_EQ(watch.events(), 0u) << "the link's target was opened or read";
    EXPECT_EQ(entriesOf(m_videos), QStringList {QStringLiteral("shared.mp4")});
}

// The noted identity survives "work.json"; one that was damaged there is no identity, and its
// job fails as a changed source rather than read whatever is there.
TEST_F(SourceIdentityTest, StoredIdentityRoundTripsAndADamagedOneReadsNothing)
{
    const QString path = addSource(QStringLiteral("stored.mp4"));
    ASSERT_FALSE(path.isEmpty());
    const QDtaVideo added(1700000000200LL, path, pipelinetest::config(7));
    const SourceIdentity noted = added.sourceIdentity();
    ASSERT_TRUE(noted.known);
    EXPECT_FALSE(noted.link);
    const QDtaVideo restored(added.toJson());
    const SourceIdentity back = restored.sourceIdentity();
    EXPECT_TRUE(back.known);
    EXPECT_EQ(back.device, noted.device);
    EXPECT_EQ(back.inode, noted.inode);
    EXPECT_EQ(back.size, noted.size);
    EXPECT_EQ(back.mtimeNs, noted.mtimeNs);
    EXPECT_EQ(back.fsType, noted.fsType);
    EXPECT_EQ(back.mount, noted.mount);

    const QByteArray damage[] = {"\"x\"", "{}", "{\"device\": \"1\", \"inode\": 2, \"size\": 3, \"mtime_ns\": 4, \"link\": false, \"fs_type\": 5}"};
    for (const QByteArray &text : damage) {
        SCOPED_TRACE(text.toStdString());
        QValue data = added.toJson();
        QValue member;
        ASSERT_TRUE(parseJson(text, member, false));
        data["source_id"] = member;
        auto video = std::make_shared<QDtaVideo>(data);
        EXPECT_FALSE(video->sourceIdentity().known);
        QFrameModel model(video);
        EXPECT_EQ(runOnWorker([&]() { model.run(); }), kChanged);
    }
}

// Inode numbers count where they last; on file systems that number files anew at each mount
// (FAT, exFAT, FUSE, SMB) the size and modification time decide, only between two such, and only
// once the disk was mounted again: on the same mount a new inode is another file.
TEST(SourceIdentityMatch, InodeNumbersCountOnlyWhereTheyLast)
{
    const qint64 ext4 = 0xef53;
    const qint64 fat = 0x4d44;
    const qint64 exfat = 0x2011bab0;
    const qint64 fuse = 0x65735546;
    SourceIdentity noted;
    noted.known = true;
    noted.device = 2049;
    noted.inode = 77;
    noted.size = 1000;
    noted.mtimeNs = 1700000000123456789LL;

    struct Case
    {
        const char *what;
        qint64 notedFs, openedFs;
        quint64 device, inode;
        qint64 size, mtimeNs;
        bool matches;
        const char *notedMount = "boot:40";
        const char *openedMount = "boot:40";
    } cases[] = {
        {"same file", ext4, ext4, 2049, 77, 1000, 1700000000123456789LL, true},
        {"other inode", ext4, ext4, 2049, 78, 1000, 1700000000123456789LL, false},
        {"other device", ext4, ext4, 2050, 77, 1000, 1700000000123456789LL, false},
        {"grown", ext4, ext4, 2049, 77, 1001, 1700000000123456789LL, false},
        {"touched", ext4, ext4, 2049, 77, 1000, 1700000000123456790LL, false},
        {"FAT stick mounted again", fat, fat, 2065, 4242, 1000, 1700000000123456789LL, true},
        {"exFAT stick mounted again", exfat, exfat, 2081, 9, 1000, 1700000000123456789LL, true},
        {"FAT file touched", fat, fat, 2065, 4242, 1000, 1700000002123456789LL, false},
        {"noted on ext4, now on FUSE", ext4, fuse, 40, 12, 1000, 1700000000123456789LL, false},
        {"noted on FUSE, now on ext4", fuse, ext4, 2049, 78, 1000, 1700000000123456789LL, false},
        {"exFAT file replaced on the same mount", exfat, exfat, 2049, 78, 1000, 1700000000123456789LL, false},
        {"FUSE file replaced on the same mount", fuse, fuse, 2049, 78, 1000, 1700000000123456789LL, false},
        {"exFAT stick mounted again on the same device", exfat, exfat, 2049, 78, 1000, 1700000000123456789LL, true, "boot:40", "boot:41"},
        {"FUSE stick mounted again after a restart", fuse, fuse, 2049, 78, 1000, 1700000000123456789LL, true, "boot:40", "other:40"},
        {"mounted again but touched", fuse, fuse, 2049, 78, 1000, 1700000001123456789LL, false, "boot:40", "boot:41"},
        {"same device, mount not noted", exfat, exfat, 2049, 78, 1000, 1700000000123456789LL, false, "", "boot:41"},
        {"same device, mount not known now", exfat, exfat, 2049, 78, 1000, 1700000000123456789LL, false, "boot:40", ""},
        {"same mount, same inode", exfat, exfat, 2049, 77, 1000, 1700000000123456789LL, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        noted.fsType = c.notedFs;
        struct stat st {};
        st.st_mode = S_IFREG | 0644;
        st.st_dev = c.device;
        st.st_ino = c.inode;
        st.st_size = c.size;
        st.st_mtim.tv_sec = c.mtimeNs / 1000000000LL;
        st.st_mtim.tv_nsec = c.mtimeNs % 1000000000LL;
        noted.mount = QString::fromLatin1(c.notedMount);
        EXPECT_EQ(noted.matches(st, c.openedFs, QString::fromLatin1(c.openedMount)), c.matches);
    }
    struct stat folder {};
    folder.st_mode = S_IFDIR | 0755;
    folder.st_dev = 2049;
    folder.st_ino = 77;
    folder.st_size = 1000;
    folder.st_mtim.tv_sec = noted.mtimeNs / 1000000000LL;
    folder.st_mtim.tv_nsec = noted.mtimeNs % 1000000000LL;
    noted.fsType = ext4;
    EXPECT_FALSE(noted.matches(folder, ext4)) << "only a regular file is a source";
}

// A video on an exFAT stick mounted through FUSE: a file of the same size and time put in its
// place on the still mounted stick is another file and is never encrypted; the stick unmounted
// and mounted again (every inode numbered anew) still gives the very video the teacher added.
TEST_F(SourceIdentityTest, StickFileReplacedOnTheSameMountIsRefusedAndTheStickMountedAgainIsNot)
{
    pipelinetest::ExfatStick stick(m_dir + QStringLiteral("stick.img"), m_dir + QStringLiteral("stick"));
    if (!stick.refusal().isEmpty())
        GTEST_SKIP() << stick.refusal().toStdString();
    const QString replaced = pipelinetest::copyFile(m_clip, stick.path(), QStringLiteral("第一课.mp4"));
    const QString remounted = pipelinetest::copyFile(m_clip, stick.path(), QStringLiteral("第二课.mp4"));
    ASSERT_FALSE(replaced.isEmpty());
    ASSERT_FALSE(remounted.isEmpty());
    auto first = std::make_shared<QDtaVideo>(1700000000301LL, replaced, pipelinetest::config(7));
    auto second = std::make_shared<QDtaVideo>(1700000000302LL, remounted, pipelinetest::config(7));
    ASSERT_TRUE(first->sourceIdentity().known);
    EXPECT_FALSE(first->sourceIdentity().mount.isEmpty()) << "this system tells one mount from the next";

    // Same bytes, size and time, another inode, on the same mount.
    const QString copy = sameLookingCopy(replaced);
    renameOver(copy, replaced);
    struct stat now {};
    ASSERT_EQ(::stat(QFile::encodeName(replaced).constData(), &now), 0);
    ASSERT_NE(quint64(now.st_ino), first->sourceIdentity().inode) << "the copy kept the inode";
    ASSERT_EQ(qint64(now.st_size), first->sourceIdentity().size);
    {
        QFrameModel model(first);
        EXPECT_EQ(runOnWorker([&]() { model.run(); }), kChanged);
    }
    EXPECT_EQ(QRecords::instance()->jobRecord(first->id()), nullptr);

    // The stick pulled and put back; the video restored from pending work.
    ASSERT_TRUE(stick.unmount());
    ASSERT_TRUE(stick.waitForNoDaemon(10000));
    ASSERT_TRUE(stick.mount());
    // Other names looked up first: the video gets another inode number on this mount.
    ASSERT_TRUE(testsupport::writeAll(stick.path() + QStringLiteral("讲义.txt"), "notes"));
    ASSERT_EQ(::stat(QFile::encodeName(replaced).constData(), &now), 0);
    ASSERT_EQ(::stat(QFile::encodeName(remounted).constData(), &now), 0);
    ASSERT_NE(quint64(now.st_ino), second->sourceIdentity().inode) << "the mount kept the inode numbers";
    auto restored = std::make_shared<QDtaVideo>(second->toJson());
    {
        QFrameModel model(restored);
        EXPECT_EQ(runOnWorker([&]() { model.run(); }), QString());
    }
    const record_ptr record = QRecords::instance()->jobRecord(restored->id());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->filePath() + record->fileName(), stick.path() + QStringLiteral("第二课.vep"));
    EXPECT_EQ(testsupport::readAll(remounted), testsupport::readAll(m_clip));
}
