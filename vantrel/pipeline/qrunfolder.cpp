#include "qrunfolder.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QList>
#include <QRandomGenerator>

#include "cglobal.h"
#include "logger.h"
#include "qjsonfile.h"
#include "qsourcefile.h"
#include "qtutils.h"
#include "qvalue.h"

namespace
{
    std::mutex &registryMutex()
    {
        static auto *mutex = new std::mutex;
        return *mutex;
    }

    // Folders ("<output folder><name>") held by a QRunFolder of this process.
    std::set<QString> &liveFolders()
    {
        static auto *live = new std::set<QString>;
        return *live;
    }

    QRunFolder::Hook &testHook()
    {
        static auto *hook = new QRunFolder::Hook;
        return *hook;
    }

    void callHook(const char *moment, int outputFd, const QByteArray &name)
    {
        if (testHook())
            testHook()(moment, outputFd, name);
    }

    // The file in a run folder that holds its secret.
    const char kMarker[] = ".vantrel-run";

    QString randomText(int length)
    {
        static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        QString text;
        for (int i = 0; i < length; ++i)
            text += QLatin1Char(letters[QRandomGenerator::system()->bounded(int(sizeof letters - 1))]);
        return text;
    }

    std::string number(quint64 value)
    {
        return std::to_string(static_cast<unsigned long long>(value));
    }

    QString text(const QValue &entry, const char *key)
    {
        return asQString(jsonMember(entry, QString::fromLatin1(key)));
    }

    bool sameIdentity(const struct stat &st, const QValue &entry)
    {
        return text(entry, "dev") == QString::fromStdString(number(st.st_dev))
            && text(entry, "ino") == QString::fromStdString(number(st.st_ino));
    }

    std::atomic<bool> s_modesFixedForTests {false};

    // Made by this user, or by the owner of the folder it is in on a disk that gives every
    // entry its mode and owner (FAT, exFAT, NTFS, network shares): that owner can change
    // anything in the folder anyway. `fd` is open on the entry's disk.
    bool ownerHere(int fd, const struct stat &st, const struct stat &parent)
    {
        if (st.st_uid == ::geteuid())
            return true;
        return st.st_uid == parent.st_uid && (s_modesFixedForTests || isForeignFileSystem(fileSystemTypeOf(fd)));
    }

    // A folder of ours: of our owner and, where the disk keeps modes, still with the mode it was
    // made with (no one else may enter it).
    bool ownedHere(int fd, const struct stat &st, const struct stat &parent)
    {
        if (!ownerHere(fd, st, parent))
            return false;
        return (st.st_mode & 0077) == 0 || s_modesFixedForTests || isForeignFileSystem(fileSystemTypeOf(fd));
    }

    // The secret in the marker of the folder open as `fd`; empty when there is none.
    QByteArray markerOf(int fd)
    {
        const int marker = ::openat(fd, kMarker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (marker < 0)
            return QByteArray();
        struct stat st {};
        QByteArray secret(64, '\0');
        ssize_t got = -1;
        if (::fstat(marker, &st) == 0 && S_ISREG(st.st_mode))
            got = ::read(marker, secret.data(), size_t(secret.size()));
        ::close(marker);
        return got > 0 ? secret.left(int(got)) : QByteArray();
    }

    // Hands `visit` the name of each entry of the folder open as `fd`, with foldersOnly those
    // that may be folders, until it returns false. False when the folder can't be read.
    bool forEachEntry(int fd, bool foldersOnly, const std::function<bool(const char *)> &visit)
    {
        return forEachEntryAt(fd, [&](const struct dirent &entry) {
            return (foldersOnly && entry.d_type != DT_DIR && entry.d_type != DT_UNKNOWN) || visit(entry.d_name);
        });
    }

    // Whether the folder open as `fd` holds nothing at all.
    bool isEmptyFolder(int fd)
    {
        bool empty = true;
        return forEachEntry(fd, false, [&](const char *) { return empty = false; }) && empty;
    }

    // What keeps the folder open as `fd` from being the one just made; empty when nothing does.
    // `foreignOwner` tells that it failed only by its owner: then it may be ours on a disk that
    // gives new entries an owner of its own, or an empty folder the one who swapped it in could
    // remove as well.
    QString notJustMade(int fd, int openError, const struct stat &parent, bool *foreignOwner)
    {
        *foreignOwner = false;
        struct stat st {};
        if (fd < 0) {
            if (openError == ELOOP || openError == ENOTDIR)
                return QStringLiteral("it is a link or no folder");
            return QStringLiteral("it can't be opened: %1").arg(QString::fromLocal8Bit(std::strerror(openError)));
        }
        if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))
            return QStringLiteral("it is no folder");
        if (st.st_dev != parent.st_dev)
            return QStringLiteral("it is on another device");
        if (!isEmptyFolder(fd))
            return QStringLiteral("it is not empty");
        if (!ownedHere(fd, st, parent)) {
            *foreignOwner = true;
            return QStringLiteral("it belongs to another user");
        }
        return QString();
    }

    // Notes of folders that can't be found any more are kept this long: a stick may come back.
    constexpr qint64 kMissingKeptMs = 30LL * 24 * 3600 * 1000;

    // Whether the note was made long ago ("time", or the job id where there is none).
    bool notedLongAgo(const QValue &entry)
    {
        bool ok = false;
        qint64 time = text(entry, "time").toLongLong(&ok);
        if (!ok)
            time = text(entry, "job").toLongLong(&ok);
        return !ok || QDateTime::currentMSecsSinceEpoch() - time > kMissingKeptMs;
    }

    // Whether the disk of the open folder `fd` was mounted again since `entry` noted (dev, mount)
    // there, on a disk whose inode numbers last only as long as the mount.
    bool remountedSince(int fd, const QValue &entry)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !isForeignFileSystem(fileSystemTypeOf(fd)))
            return false;
        if (text(entry, "dev") != QString::fromStdString(number(st.st_dev)))
            return true;
        const QString noted = text(entry, "mount");
        const QString now = SourceIdentity::mountOf(fd);
        return !noted.isEmpty() && !now.isEmpty() && noted != now;
    }

    QValue loadRegistry()
    {
        const QString path = QRunFolder::registryPath();
        QValue root;
        if (!path.isEmpty() && !QJsonFile::read(path, root))
            LOG_WARNING(L"the list of run folders could not be read");
        return root.isObject() ? root : QValue(Json::objectValue);
    }

    QValue listOf(const QValue &root, const char *key)
    {
        const QValue &list = jsonMember(root, QString::fromLatin1(key));
        return list.isArray() ? list : QValue(Json::arrayValue);
    }

    bool saveRegistry(const QValue &root)
    {
        // Without a data folder (tools, some tests) nothing is kept: the run still cleans up.
        const QString path = QRunFolder::registryPath();
        if (path.isEmpty())
            return true;
        QString error;
        if (!QJsonFile::write(path, root, false, &error)) {
            LOG_ERROR(L"cannot save the list of run folders: %s", error);
            return false;
        }
        return true;
    }

    bool saveList(const char *key, const QValue &list)
    {
        QValue root = loadRegistry();
        root[key] = list;
        return saveRegistry(root);
    }

    bool sameRun(const QValue &entry, const QString &folder, const QString &name)
    {
        return text(entry, "folder") == folder && text(entry, "name") == name;
    }

    QValue runsWithout(const QString &folder, const QString &name)
    {
        QValue kept(Json::arrayValue);
        for (const QValue &entry : listOf(loadRegistry(), "runs"))
            if (!sameRun(entry, folder, name))
                kept.append(entry);
        return kept;
    }

    // Puts (or replaces) the entry of one folder; without `identity` it notes the name and the
    // secret only.
    bool noteRun(qint64 jobId, const QString &folder, const QString &name, const QByteArray &secret,
                 const struct stat *identity, bool kept = false, const QString &mount = QString())
    {
        QValue runs = runsWithout(folder, name);
        QValue entry(Json::objectValue);
        entry["job"] = QString::number(jobId).toStdString();
        entry["folder"] = folder.toStdString();
        entry["name"] = name.toStdString();
        entry["secret"] = secret.toStdString();
        entry["time"] = QString::number(QDateTime::currentMSecsSinceEpoch()).toStdString();
        if (identity) {
            entry["dev"] = number(identity->st_dev);
            entry["ino"] = number(identity->st_ino);
        }
        if (!mount.isEmpty())
            entry["mount"] = mount.toStdString();
        if (kept)
            entry["kept"] = true;
        runs.append(entry);
        return saveList("runs", runs);
    }

    void forgetRun(const QString &folder, const QString &name)
    {
        const QValue runs = listOf(loadRegistry(), "runs");
        const QValue kept = runsWithout(folder, name);
        if (kept.size() != runs.size())
            saveList("runs", kept);
    }

    bool isRunFolderName(const QString &name)
    {
        return name.startsWith(QStringLiteral(".vantrel-")) && !name.contains(QLatin1Char('/')) && name != QStringLiteral(".")
            && name != QStringLiteral("..");
    }

    // The name in the open output folder of the folder (dev, ino): `name` when it is still
    // there, else whatever name someone renamed it to; empty when it is not in that folder.
    QByteArray nameOf(int outputFd, const QByteArray &name, quint64 dev, quint64 ino)
    {
        struct stat st {};
        if (::fstatat(outputFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)
            && st.st_dev == dev && st.st_ino == ino)
            return name;
        QByteArray found;
        forEachEntry(outputFd, true, [&](const char *entry) {
            if (::fstatat(outputFd, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) && st.st_dev == dev
                && st.st_ino == ino)
                found = entry;
            return found.isEmpty();
        });
        return found;
    }

    // Empties the folder open as `fd` when it is the folder (dev, ino), and removes it from the
    // open output folder, under `name` or the name someone renamed it to there. False when
    // something of it could not be removed.
    bool removeOwnFolder(int outputFd, const QByteArray &name, int fd, quint64 dev, quint64 ino)
    {
        struct stat own {};
        if (::fstat(fd, &own) != 0) {
            // A stick pulled or a disk gone: the note stays for the next start.
            LOG_ERROR(L"the run folder %s can't be reached (%s); kept for the next start", QFile::decodeName(name),
                      QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (own.st_dev != dev || own.st_ino != ino) {
            LOG_ERROR(L"the open run folder %s is not the one noted; left alone", QFile::decodeName(name));
            return false;
        }
        const bool emptied = removeDirContents(fd);
        const QByteArray now = nameOf(outputFd, name, dev, ino);
        if (now.isEmpty()) {
            // Not found where it was: moved away, or a disk that no longer answers (kept noted).
            LOG_WARNING(L"the run folder %s is not in its folder; %s", QFile::decodeName(name),
                        emptied ? QStringLiteral("emptied there") : QStringLiteral("kept noted"));
            return emptied;
        }
        if (now != name)
            LOG_WARNING(L"the run folder %s was renamed to %s; removed there", QFile::decodeName(name), QFile::decodeName(now));
        return ::unlinkat(outputFd, now.constData(), AT_REMOVEDIR) == 0 && emptied;
    }

    // Removes the empty folder open as `fd` from the open output folder, under `name` or the
    // name someone renamed it to there; never anything in it.
    bool removeEmptyFolder(int outputFd, const QByteArray &name, int fd)
    {
        struct stat own {};
        if (::fstat(fd, &own) != 0)
            return false;
        const QByteArray now = nameOf(outputFd, name, quint64(own.st_dev), quint64(own.st_ino));
        return now.isEmpty() || ::unlinkat(outputFd, now.constData(), AT_REMOVEDIR) == 0;
    }

    // The name of the folder in the open output folder whose marker holds `secret`: `name` when
    // that one does, else any other; empty when there is none.
    QByteArray markedFolder(int outputFd, const QByteArray &name, const QByteArray &secret)
    {
        auto marked = [&](const char *entry) {
            const int fd = ::openat(outputFd, entry, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                return false;
            const bool same = markerOf(fd) == secret;
            ::close(fd);
            return same;
        };
        if (marked(name.constData()))
            return name;
        QByteArray found;
        forEachEntry(outputFd, true, [&](const char *entry) {
            if (marked(entry))
                found = entry;
            return found.isEmpty();
        });
        return found;
    }

    // After a remount renumbered every entry: the noted folder is the one whose marker holds the
    // noted secret, a folder of ours on the output folder's disk. True when nothing of it is left.
    bool removeRemounted(int outputFd, const QByteArray &name, const QByteArray &secret, const struct stat &parent)
    {
        const QByteArray found = markedFolder(outputFd, name, secret);
        if (found.isEmpty())
            return true;
        const int fd = ::openat(outputFd, found.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT;
        struct stat st {};
        const bool ours = ::fstat(fd, &st) == 0 && st.st_dev == parent.st_dev && ownedHere(fd, st, parent)
            && markerOf(fd) == secret;
        if (ours)
            LOG_INFO(L"the run folder %s is found by its marker on the disk mounted again", QFile::decodeName(found));
        const bool removed = !ours || removeOwnFolder(outputFd, found, fd, quint64(st.st_dev), quint64(st.st_ino));
        ::close(fd);
        return removed;
    }

    // After a swap between the mkdir and the open, the folder this run made is elsewhere in the
    // output folder: a folder of this user, closed to others, empty, born between `from` and
    // `to`. Where exactly one such folder is there (never the entry at `made`), it goes again.
    void removeSwappedOut(int outputFd, const QByteArray &made, const struct timespec &from, const struct timespec &to)
    {
        auto before = [](const struct statx_timestamp &a, const struct timespec &b) {
            return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && long(a.tv_nsec) < b.tv_nsec);
        };
        auto after = [](const struct statx_timestamp &a, const struct timespec &b) {
            return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && long(a.tv_nsec) > b.tv_nsec);
        };
        QList<QByteArray> found;
        const bool listed = forEachEntry(outputFd, true, [&](const char *entry) {
            struct statx sx {};
            if (made != entry && ::statx(outputFd, entry, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0
                && (sx.stx_mask & STATX_BTIME) && S_ISDIR(sx.stx_mode) && sx.stx_uid == ::geteuid()
                && (sx.stx_mode & 0077) == 0 && !before(sx.stx_btime, from) && !after(sx.stx_btime, to))
                found << QByteArray(entry);
            return true;
        });
        if (!listed || found.size() != 1)
            return;
        const int fd = ::openat(outputFd, found.first().constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && isEmptyFolder(fd)
            && removeEmptyFolder(outputFd, found.first(), fd))
            LOG_WARNING(L"the folder made as %s was swapped to %s; removed there", QFile::decodeName(made),
                        QFile::decodeName(found.first()));
        ::close(fd);
    }

    // Removes the folder `name` of the open output folder when it is the noted one: a real
    // folder holding the noted secret, of the noted device and inode (looked for under other
    // names too). A folder noted before its marker was written (a kill came in between) goes
    // only when empty. True when nothing of the noted folder is left to remove.
    bool removeNoted(int outputFd, const QString &name, const QValue &entry)
    {
        const QByteArray native = QFile::encodeName(name);
        const QByteArray secret = text(entry, "secret").toUtf8();
        const QString ino = text(entry, "ino");
        struct stat parent {};
        if (::fstat(outputFd, &parent) != 0)
            return false;
        if (ino.isEmpty()) {
            const int fd = ::openat(outputFd, native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
            struct stat st {};
            const bool ours = ::fstat(fd, &st) == 0 && ownedHere(fd, st, parent);
            // A kill before its identity was noted leaves the folder empty or with our marker
            // alone; the folder goes only once nothing else is in it.
            if (ours && !secret.isEmpty() && markerOf(fd) == secret)
                ::unlinkat(fd, kMarker, 0);
            if (ours)
                ::unlinkat(outputFd, native.constData(), AT_REMOVEDIR);
            ::close(fd);
            return true;
        }
        const quint64 dev = text(entry, "dev").toULongLong();
        const quint64 inode = ino.toULongLong();
        const QByteArray now = nameOf(outputFd, native, dev, inode);
        if (now.isEmpty()) {
            // A disk mounted again numbers its entries anew: the marker tells the folder then.
            if (!secret.isEmpty() && remountedSince(outputFd, entry))
                return removeRemounted(outputFd, native, secret, parent);
            return true;
        }
        const int fd = ::openat(outputFd, now.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno == ENOENT;
        struct stat opened {};
        const bool ours = ::fstat(fd, &opened) == 0 && opened.st_dev == dev && opened.st_ino == inode
            && ownedHere(fd, opened, parent) && !secret.isEmpty() && markerOf(fd) == secret;
        const bool removed = !ours || removeOwnFolder(outputFd, now, fd, dev, inode);
        ::close(fd);
        return removed;
    }

    bool sameOutput(const QValue &entry, qint64 jobId)
    {
        return text(entry, "job") == QString::number(jobId);
    }

    QValue outputsWithout(qint64 jobId)
    {
        QValue kept(Json::arrayValue);
        for (const QValue &entry : listOf(loadRegistry(), "outputs"))
            if (!sameOutput(entry, jobId))
                kept.append(entry);
        return kept;
    }

    // Whether the entry `name` of the open folder `folderFd` is the output the note describes:
    // of its identity, or, on a disk mounted again since (which numbers its files anew), of its
    // name, size and modification time.
    bool isNotedOutput(int folderFd, const QString &name, const QValue &noted)
    {
        struct stat parent {};
        struct stat st {};
        const bool same = !name.isEmpty() && !name.contains(QLatin1Char('/')) && ::fstat(folderFd, &parent) == 0
            && ::fstatat(folderFd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && ownerHere(folderFd, st, parent) && text(noted, "size") == QString::fromStdString(number(quint64(st.st_size)))
            && text(noted, "mtime") == QString::fromStdString(number(quint64(st.st_mtim.tv_sec)));
        return same && (sameIdentity(st, noted) || remountedSince(folderFd, noted));
    }

    // Drops the notes of outputs that are no longer where they were noted (recorded and
    // renamed, removed, or never moved out before a kill).
    void forgetLostOutputs()
    {
        const QValue outputs = listOf(loadRegistry(), "outputs");
        QValue kept(Json::arrayValue);
        for (const QValue &entry : outputs) {
            const int fd = ::open(QFile::encodeName(text(entry, "folder")).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            // A folder that can't be opened now (a stick not plugged in) keeps its notes, for a while
            // where it is missing altogether.
            if (fd < 0 ? ((errno != ENOENT && errno != ENOTDIR) || !notedLongAgo(entry)) : isNotedOutput(fd, text(entry, "name"), entry))
                kept.append(entry);
            if (fd >= 0)
                ::close(fd);
        }
        if (kept.size() != outputs.size())
            saveList("outputs", kept);
    }

    bool noteOutputIdentity(qint64 jobId, const QString &folder, const QString &name, const struct stat &st,
                            const QString &mount)
    {
        QValue outputs = outputsWithout(jobId);
        QValue entry(Json::objectValue);
        entry["job"] = QString::number(jobId).toStdString();
        entry["folder"] = folder.toStdString();
        entry["name"] = name.toStdString();
        entry["dev"] = number(st.st_dev);
        entry["ino"] = number(st.st_ino);
        entry["size"] = number(quint64(st.st_size));
        entry["mtime"] = number(quint64(st.st_mtim.tv_sec));
        entry["time"] = QString::number(QDateTime::currentMSecsSinceEpoch()).toStdString();
        if (!mount.isEmpty())
            entry["mount"] = mount.toStdString();
        outputs.append(entry);
        return saveList("outputs", outputs);
    }
}

QRunFolder::QRunFolder()
    : m_outputFd(-1)
    , m_fd(-1)
    , m_kept(false)
    , m_jobId(0)
    , m_dev(0)
    , m_ino(0)
{
}

bool QRunFolder::outputFolderLost() const
{
    if (m_outputFd < 0)
        return false;
    // The disk's own answer first: a FUSE disk whose daemon is gone still gives the attributes it
    // had cached for a while.
    struct statfs fs {};
    if (::fstatfs(m_outputFd, &fs) != 0)
        return true;
    struct stat opened {};
    struct stat now {};
    if (::fstat(m_outputFd, &opened) != 0)
        return true;
    if (::stat(QFile::encodeName(m_outputFolder).constData(), &now) != 0)
        return true;
    return now.st_dev != opened.st_dev || now.st_ino != opened.st_ino;
}

QRunFolder::~QRunFolder()
{
    remove();
}

void QRunFolder::setModesFixedForTests(bool fixed)
{
    s_modesFixedForTests = fixed;
}

void QRunFolder::setHookForTests(Hook hook)
{
    testHook() = std::move(hook);
}

QString QRunFolder::registryPath()
{
    const QString data = CGlobal::dataPath();
    return data.isEmpty() ? QString() : data + QStringLiteral("runs.json");
}

bool QRunFolder::create(const QString &outputFolder, qint64 jobId, bool *listUnwritable, bool *refused)
{
    remove();
    if (listUnwritable)
        *listUnwritable = false;
    if (refused)
        *refused = false;
    const int outputFd = ::open(QFile::encodeName(outputFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat parent {};
    if (outputFd < 0 || ::fstat(outputFd, &parent) != 0) {
        LOG_ERROR(L"cannot open the output folder %s", outputFolder);
        if (outputFd >= 0)
            ::close(outputFd);
        return false;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    int refusals = 0;
    constexpr int kAttempts = 16;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const QString name = QStringLiteral(".vantrel-%1-%2").arg(jobId).arg(randomText(10));
        const QByteArray secret = randomText(32).toLatin1();
        // Noted before it exists: a kill right after the mkdir still leaves it known.
        if (!noteRun(jobId, outputFolder, name, secret, nullptr)) {
            if (listUnwritable)
                *listUnwritable = true;
            break;
        }
        const QByteArray native = QFile::encodeName(name);
        struct timespec madeFrom {};
        ::clock_gettime(CLOCK_REALTIME_COARSE, &madeFrom);
        if (::mkdirat(outputFd, native.constData(), 0700) != 0) {
            const int err = errno;
            forgetRun(outputFolder, name);
            if (err == EEXIST)
                continue;
            LOG_ERROR(L"cannot create a run folder in %s: %s", outputFolder, QString::fromLocal8Bit(std::strerror(err)));
            break;
        }
        callHook("made", outputFd, native);
        const int fd = ::openat(outputFd, native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openError = fd < 0 ? errno : 0;
        struct timespec madeTo {};
        ::clock_gettime(CLOCK_REALTIME, &madeTo);
        callHook("opened", outputFd, native);
        bool foreignOwner = false;
        const QString why = notJustMade(fd, openError, parent, &foreignOwner);
        if (!why.isEmpty()) {
            // Swapped between the mkdir and the open: what is there now is not ours to touch. An
            // empty folder refused for its owner alone goes again, so that a disk that always
            // gives another owner leaves nothing behind; the folder made, swapped elsewhere, too.
            const bool removed = foreignOwner && removeEmptyFolder(outputFd, native, fd);
            if (fd >= 0)
                ::close(fd);
            forgetRun(outputFolder, name);
            LOG_ERROR(L"%s%s is not the folder just made (%s); %s", outputFolder, name, why,
                      removed ? QStringLiteral("removed again") : QStringLiteral("left alone"));
            if (!removed)
                removeSwappedOut(outputFd, native, madeFrom, madeTo);
            ++refusals;
            continue;
        }
        struct stat st {};
        ::fstat(fd, &st);
        // The marker decides between two runs that got hold of one folder.
        const int marker = ::openat(fd, kMarker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (marker < 0 && errno == EEXIST) {
            ::close(fd);
            forgetRun(outputFolder, name);
            LOG_ERROR(L"%s%s was taken by another run as it was made; left alone", outputFolder, name);
            ++refusals;
            continue;
        }
        bool marked = marker >= 0;
        if (marked) {
            marked = ::write(marker, secret.constData(), size_t(secret.size())) == secret.size();
            marked = ::close(marker) == 0 && marked;
        }
        const QString mount = SourceIdentity::mountOf(outputFd);
        const bool noted = marked && noteRun(jobId, outputFolder, name, secret, &st, false, mount);
        if (!noted) {
            if (listUnwritable)
                *listUnwritable = marked;
            // A full disk or a folder that can't be written: the folder goes again. Without a
            // marker of ours it is not proven ours: only its own marker is taken out of it, and
            // it goes only while it is empty.
            LOG_ERROR(L"cannot set up the run folder %s%s", outputFolder, name);
            if (marker >= 0)
                ::unlinkat(fd, kMarker, 0);
            if (removeEmptyFolder(outputFd, native, fd))
                forgetRun(outputFolder, name);
            ::close(fd);
            break;
        }
        m_outputFd = outputFd;
        m_fd = fd;
        m_kept = false;
        m_outputFolder = outputFolder;
        m_name = name;
        m_secret = secret;
        m_jobId = jobId;
        m_dev = quint64(st.st_dev);
        m_ino = quint64(st.st_ino);
        m_mount = mount;
        liveFolders().insert(outputFolder + name);
        LOG_INFO(L"run folder %s", describe());
        return true;
    }
    if (refused)
        *refused = refusals == kAttempts;
    ::close(outputFd);
    return false;
}

QString QRunFolder::childPath() const
{
    if (m_fd < 0)
        return QString();
    return QStringLiteral("/proc/%1/fd/%2/").arg(::getpid()).arg(m_fd);
}

QString QRunFolder::name() const
{
    return m_name;
}

QString QRunFolder::describe() const
{
    if (m_fd < 0)
        return QString();
    return QStringLiteral("%1 is %2%3/ (device %4, inode %5)").arg(childPath(), m_outputFolder, m_name).arg(m_dev).arg(m_ino);
}

bool QRunFolder::holdsFile(const QString &name) const
{
    struct stat st {};
    return m_fd >= 0 && ::fstatat(m_fd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(st.st_mode);
}

bool QRunFolder::moveOut(const QString &name, const QString &target)
{
    struct stat st {};
    if (m_fd < 0 || ::fstatat(m_fd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        errno = ENOENT;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        // Noted before the move: a kill right after it still leaves the output known.
        if (!noteOutputIdentity(m_jobId, m_outputFolder, target, st, SourceIdentity::mountOf(m_outputFd))) {
            errno = ECANCELED;
            return false;
        }
    }
    return renameNoReplaceAt(m_fd, name, m_outputFd, target);
}

void QRunFolder::keep()
{
    if (m_fd < 0 || m_kept)
        return;
    std::lock_guard<std::mutex> lock(registryMutex());
    struct stat st {};
    st.st_dev = dev_t(m_dev);
    st.st_ino = ino_t(m_ino);
    if (!noteRun(m_jobId, m_outputFolder, m_name, m_secret, &st, true, m_mount)) {
        // Not noted as kept: without its marker no sweep takes the folder for one to remove.
        LOG_ERROR(L"cannot note the run folder %s%s as kept; its marker goes instead", m_outputFolder, m_name);
        ::unlinkat(m_fd, kMarker, 0);
    }
    m_kept = true;
}

void QRunFolder::remove()
{
    if (m_fd < 0)
        return;
    std::lock_guard<std::mutex> lock(registryMutex());
    if (!m_kept) {
        // Kept in the list when the name could not be removed: the sweep tries again.
        if (removeOwnFolder(m_outputFd, QFile::encodeName(m_name), m_fd, m_dev, m_ino))
            forgetRun(m_outputFolder, m_name);
        else
            LOG_WARNING(L"the run folder %s%s could not be removed", m_outputFolder, m_name);
    }
    liveFolders().erase(m_outputFolder + m_name);
    ::close(m_fd);
    ::close(m_outputFd);
    m_fd = -1;
    m_outputFd = -1;
}

void QRunFolder::sweep(qint64 jobId)
{
    std::lock_guard<std::mutex> lock(registryMutex());
    const QValue runs = listOf(loadRegistry(), "runs");
    QValue kept(Json::arrayValue);
    bool changed = false;
    for (const QValue &entry : runs) {
        const QString folder = text(entry, "folder");
        const QString name = text(entry, "name");
        const qint64 job = text(entry, "job").toLongLong();
        const bool keep = jsonMember(entry, QStringLiteral("kept")).isBool() && jsonMember(entry, QStringLiteral("kept")).asBool();
        if ((jobId >= 0 && job != jobId) || keep || liveFolders().count(folder + name)) {
            kept.append(entry);
            continue;
        }
        bool gone = !isRunFolderName(name) || !folder.startsWith(QLatin1Char('/'));
        if (!gone) {
            const int outputFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (outputFd < 0) {
                // Missing altogether (a stick not plugged in): noted for a while yet.
                gone = (errno == ENOENT || errno == ENOTDIR) && notedLongAgo(entry);
            } else {
                LOG_INFO(L"removing the folder of an earlier run: %s%s", folder, name);
                gone = removeNoted(outputFd, name, entry);
                ::close(outputFd);
            }
        }
        if (gone)
            changed = true;
        else
            kept.append(entry);
    }
    if (changed)
        saveList("runs", kept);
    if (jobId < 0)
        forgetLostOutputs();
}

bool QRunFolder::noteOutput(qint64 jobId, const QString &folder, const QString &name)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(folder + name).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QString mount = SourceIdentity::mountOf(folderFd);
    if (folderFd >= 0)
        ::close(folderFd);
    std::lock_guard<std::mutex> lock(registryMutex());
    return noteOutputIdentity(jobId, folder, name, st, mount);
}

QString QRunFolder::ownOutput(qint64 jobId, const QString &folder)
{
    QValue noted;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        for (const QValue &entry : listOf(loadRegistry(), "outputs"))
            if (sameOutput(entry, jobId) && text(entry, "folder") == folder)
                noted = entry;
    }
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return QString();
    const QString name = text(noted, "name");
    const bool ours = isNotedOutput(folderFd, name, noted);
    ::close(folderFd);
    return ours ? folder + name : QString();
}

void QRunFolder::forgetOutput(qint64 jobId)
{
    std::lock_guard<std::mutex> lock(registryMutex());
    const QValue outputs = listOf(loadRegistry(), "outputs");
    const QValue kept = outputsWithout(jobId);
    if (kept.size() != outputs.size())
        saveList("outputs", kept);
}
