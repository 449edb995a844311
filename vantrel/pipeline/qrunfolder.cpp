#include "qrunfolder.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QRandomGenerator>

#include "cglobal.h"
#include "logger.h"
#include "qjsonfile.h"
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

    // The secret in the marker of the folder open as `fd`; empty when there is none.
    QByteArray markerOf(int fd)
    {
        const int marker = ::openat(fd, kMarker, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (marker < 0)
            return QByteArray();
        struct stat st {};
        QByteArray text(64, '\0');
        ssize_t got = -1;
        if (::fstat(marker, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid())
            got = ::read(marker, text.data(), text.size());
        ::close(marker);
        return got > 0 ? text.left(int(got)) : QByteArray();
    }

    bool writeMarker(int fd, const QByteArray &secret)
    {
        const int marker = ::openat(fd, kMarker, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (marker < 0)
            return false;
        const bool ok = ::write(marker, secret.constData(), size_t(secret.size())) == secret.size();
        return ::close(marker) == 0 && ok;
    }

    QValue loadRuns()
    {
        const QString path = QRunFolder::registryPath();
        QValue root;
        if (!path.isEmpty() && !QJsonFile::read(path, root))
            LOG_WARNING(L"the list of run folders could not be read");
        const QValue &runs = jsonMember(root, QStringLiteral("runs"));
        return runs.isArray() ? runs : QValue(Json::arrayValue);
    }

    bool saveRuns(const QValue &runs)
    {
        // Without a data folder (tools, some tests) nothing is kept: the run still cleans up.
        const QString path = QRunFolder::registryPath();
        if (path.isEmpty())
            return true;
        QValue root(Json::objectValue);
        root["runs"] = runs;
        QString error;
        if (!QJsonFile::write(path, root, false, &error)) {
            LOG_ERROR(L"cannot save the list of run folders: %s", error);
            return false;
        }
        return true;
    }

    bool sameEntry(const QValue &entry, const QString &folder, const QString &name)
    {
        return asQString(jsonMember(entry, QStringLiteral("folder"))) == folder
            && asQString(jsonMember(entry, QStringLiteral("name"))) == name;
    }

    // Puts (or replaces) the entry of one folder; without `identity` it notes the name and the
    // secret only.
    bool noteRun(qint64 jobId, const QString &folder, const QString &name, const QByteArray &secret,
                 const struct stat *identity)
    {
        QValue runs = loadRuns();
        QValue kept(Json::arrayValue);
        for (const QValue &entry : runs)
            if (!sameEntry(entry, folder, name))
                kept.append(entry);
        QValue entry(Json::objectValue);
        entry["job"] = QString::number(jobId).toStdString();
        entry["folder"] = folder.toStdString();
        entry["name"] = name.toStdString();
        entry["secret"] = secret.toStdString();
        if (identity) {
            entry["dev"] = std::to_string(static_cast<unsigned long long>(identity->st_dev));
            entry["ino"] = std::to_string(static_cast<unsigned long long>(identity->st_ino));
        }
        kept.append(entry);
        return saveRuns(kept);
    }

    void forgetRun(const QString &folder, const QString &name)
    {
        QValue runs = loadRuns();
        QValue kept(Json::arrayValue);
        for (const QValue &entry : runs)
            if (!sameEntry(entry, folder, name))
                kept.append(entry);
        if (kept.size() != runs.size())
            saveRuns(kept);
    }

    bool isRunFolderName(const QString &name)
    {
        return name.startsWith(QStringLiteral(".vantrel-")) && !name.contains(QLatin1Char('/')) && name != QStringLiteral(".")
            && name != QStringLiteral("..");
    }

    // Empties the folder open as `fd` and removes its name `name` in the open output folder
    // while that name is still this folder (it may have been renamed away and something else
    // put in its place). False when the name could not be removed.
    bool removeOpenFolder(int outputFd, const QByteArray &name, int fd)
    {
        removeDirContents(fd);
        struct stat here {};
        struct stat own {};
        if (::fstat(fd, &own) != 0 || ::fstatat(outputFd, name.constData(), &here, AT_SYMLINK_NOFOLLOW) != 0
            || here.st_dev != own.st_dev || here.st_ino != own.st_ino)
            return true;
        return ::unlinkat(outputFd, name.constData(), AT_REMOVEDIR) == 0;
    }

    // Removes the folder `name` of the open output folder when it is the noted one: a real
    // folder of ours holding the noted secret (and, once noted, of the noted device and inode).
    // A folder noted before its marker was written (a kill came in between) goes only when
    // empty. True when nothing of the noted folder is left to remove.
    bool removeNoted(int outputFd, const QString &name, const QValue &entry)
    {
        const QByteArray native = QFile::encodeName(name);
        struct stat st {};
        if (::fstatat(outputFd, native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT;
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
            return true; // not ours: never touched, and no longer noted
        const int fd = ::openat(outputFd, native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        struct stat opened {};
        const QByteArray secret = QByteArray::fromStdString(asQString(jsonMember(entry, QStringLiteral("secret"))).toStdString());
        const QString dev = asQString(jsonMember(entry, QStringLiteral("dev")));
        const QString ino = asQString(jsonMember(entry, QStringLiteral("ino")));
        bool ours = ::fstat(fd, &opened) == 0 && opened.st_dev == st.st_dev && opened.st_ino == st.st_ino
            && !secret.isEmpty() && markerOf(fd) == secret;
        if (ours && !ino.isEmpty())
            ours = dev == QString::number(static_cast<qulonglong>(st.st_dev)) && ino == QString::number(static_cast<qulonglong>(st.st_ino));
        if (!ours) {
            ::close(fd);
            // An empty folder is all a kill before the marker can leave; an empty folder can't
            // hold anything of anybody's.
            if (ino.isEmpty())
                ::unlinkat(outputFd, native.constData(), AT_REMOVEDIR);
            return true;
        }
        const bool removed = removeOpenFolder(outputFd, native, fd);
        ::close(fd);
        return removed;
    }
}

QRunFolder::QRunFolder()
    : m_outputFd(-1)
    , m_fd(-1)
    , m_jobId(0)
{
}

QRunFolder::~QRunFolder()
{
    remove();
}

QString QRunFolder::registryPath()
{
    const QString data = CGlobal::dataPath();
    return data.isEmpty() ? QString() : data + QStringLiteral("runs.json");
}

bool QRunFolder::create(const QString &outputFolder, qint64 jobId, bool *listUnwritable)
{
    remove();
    if (listUnwritable)
        *listUnwritable = false;
    const int outputFd = ::open(QFile::encodeName(outputFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (outputFd < 0) {
        LOG_ERROR(L"cannot open the output folder %s", outputFolder);
        return false;
    }
    std::lock_guard<std::mutex> lock(registryMutex());
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name = QStringLiteral(".vantrel-%1-%2").arg(jobId).arg(randomText(6));
        const QByteArray secret = randomText(32).toLatin1();
        // Noted before it exists: a kill right after the mkdir still leaves it known.
        if (!noteRun(jobId, outputFolder, name, secret, nullptr)) {
            if (listUnwritable)
                *listUnwritable = true;
            break;
        }
        const QByteArray native = QFile::encodeName(name);
        if (::mkdirat(outputFd, native.constData(), 0700) != 0) {
            const int err = errno;
            forgetRun(outputFolder, name);
            if (err == EEXIST)
                continue;
            LOG_ERROR(L"cannot create a run folder in %s: %s", outputFolder, QString::fromLocal8Bit(std::strerror(err)));
            break;
        }
        const int fd = ::openat(outputFd, native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_uid != ::getuid() || (st.st_mode & 0077) != 0) {
            // Swapped between the mkdir and the open: what is there now is not ours to remove.
            if (fd >= 0)
                ::close(fd);
            forgetRun(outputFolder, name);
            LOG_ERROR(L"the run folder %s%s was replaced as it was made", outputFolder, name);
            continue;
        }
        const bool marked = writeMarker(fd, secret);
        if (!marked || !noteRun(jobId, outputFolder, name, secret, &st)) {
            if (listUnwritable)
                *listUnwritable = marked;
            // A full disk or a folder that can't be written: the folder goes again.
            LOG_ERROR(L"cannot set up the run folder %s%s", outputFolder, name);
            if (removeOpenFolder(outputFd, native, fd))
                forgetRun(outputFolder, name);
            ::close(fd);
            break;
        }
        m_outputFd = outputFd;
        m_fd = fd;
        m_outputFolder = outputFolder;
        m_name = name;
        m_jobId = jobId;
        liveFolders().insert(outputFolder + name);
        return true;
    }
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

bool QRunFolder::holdsFile(const QString &name) const
{
    struct stat st {};
    return m_fd >= 0 && ::fstatat(m_fd, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(st.st_mode);
}

bool QRunFolder::moveOut(const QString &name, const QString &target)
{
    if (m_fd < 0 || !holdsFile(name))
        return false;
    return renameNoReplaceAt(m_fd, name, m_outputFd, target);
}

void QRunFolder::remove()
{
    if (m_fd < 0)
        return;
    std::lock_guard<std::mutex> lock(registryMutex());
    // Kept in the list when the name could not be removed: the sweep tries again.
    const bool forget = removeOpenFolder(m_outputFd, QFile::encodeName(m_name), m_fd);
    if (forget)
        forgetRun(m_outputFolder, m_name);
    else
        LOG_WARNING(L"the run folder %s%s could not be removed", m_outputFolder, m_name);
    liveFolders().erase(m_outputFolder + m_name);
    ::close(m_fd);
    ::close(m_outputFd);
    m_fd = -1;
    m_outputFd = -1;
}

void QRunFolder::sweep(qint64 jobId)
{
    std::lock_guard<std::mutex> lock(registryMutex());
    const QValue runs = loadRuns();
    QValue kept(Json::arrayValue);
    bool changed = false;
    for (const QValue &entry : runs) {
        const QString folder = asQString(jsonMember(entry, QStringLiteral("folder")));
        const QString name = asQString(jsonMember(entry, QStringLiteral("name")));
        const qint64 job = asQString(jsonMember(entry, QStringLiteral("job"))).toLongLong();
        if ((jobId >= 0 && job != jobId) || liveFolders().count(folder + name)) {
            kept.append(entry);
            continue;
        }
        bool gone = !isRunFolderName(name) || !folder.startsWith(QLatin1Char('/'));
        if (!gone) {
            const int outputFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (outputFd < 0) {
                gone = errno == ENOENT || errno == ENOTDIR;
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
        saveRuns(kept);
}
