#include "qsafefile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>

#include "qtutils.h"

namespace
{
    std::mutex s_faultMutex;
    QSafeFile::Fault s_fault = QSafeFile::Fault::None;
    int s_faultError = 0;
    QString s_faultPath;

    QSafeFile::Fault faultFor(const QString &path, int *error)
    {
        std::lock_guard<std::mutex> lock(s_faultMutex);
        if (s_fault == QSafeFile::Fault::None || (!s_faultPath.isEmpty() && s_faultPath != path))
            return QSafeFile::Fault::None;
        *error = s_faultError;
        return s_fault;
    }

    bool fail(QString *error, const QString &what, const QString &path, int code)
    {
        if (error)
            *error = QStringLiteral("%1 %2: %3").arg(what, path, QString::fromLocal8Bit(std::strerror(code)));
        return false;
    }

    const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const int kRandomLength = 12;

    // ".<name>.<12 random letters>".
    QByteArray temporaryName(const QByteArray &name)
    {
        unsigned char bytes[kRandomLength] = {};
        if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
            // Without the kernel's randomness: O_EXCL still keeps every existing file out.
            quint64 seed = static_cast<quint64>(QDateTime::currentMSecsSinceEpoch()) * 6364136223846793005ULL
                ^ static_cast<quint64>(::getpid()) ^ reinterpret_cast<quintptr>(&bytes);
            for (unsigned char &b : bytes) {
                seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
                b = static_cast<unsigned char>(seed >> 33);
            }
        }
        QByteArray out = '.' + name + '.';
        for (const unsigned char b : bytes)
            out += kLetters[b % (sizeof kLetters - 1)];
        return out;
    }

    // The file name whose temporary file `entry` would be; empty when no save names one so.
    QByteArray savedNameOf(const QByteArray &entry)
    {
        const int dot = entry.size() - kRandomLength - 1;
        if (dot < 2 || entry.at(0) != '.' || entry.at(dot) != '.')
            return QByteArray();
        for (int i = dot + 1; i < entry.size(); ++i)
            if (entry.at(i) == '\0' || !std::strchr(kLetters, entry.at(i)))
                return QByteArray();
        return entry.mid(1, dot - 1);
    }

    // Writes everything; false with errno set on an error.
    bool writeAll(int fd, const QByteArray &data, QSafeFile::Fault fault, int faultError)
    {
        const char *p = data.constData();
        size_t left = static_cast<size_t>(data.size());
        bool first = true;
        while (left > 0) {
            size_t chunk = std::min<size_t>(left, 1 << 20);
            if (fault == QSafeFile::Fault::FailedWrite || (fault == QSafeFile::Fault::ShortWrite && !first)) {
                errno = faultError ? faultError : ENOSPC;
                return false;
            }
            if (fault == QSafeFile::Fault::ShortWrite)
                chunk = std::max<size_t>(1, chunk / 2);
            first = false;
            const ssize_t n = ::write(fd, p, chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0) {
                errno = ENOSPC;
                return false;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
        return true;
    }
}

void QSafeFile::setFaultForTests(Fault fault, int error, const QString &path)
{
    std::lock_guard<std::mutex> lock(s_faultMutex);
    s_fault = fault;
    s_faultError = error;
    s_faultPath = path;
}

int QSafeFile::sweepLeftovers(const QString &folder, const std::function<bool(const QString &name)> &isStateFile)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 0;
    struct stat st {};
    QList<QByteArray> names;
    if (::fstat(dir, &st) == 0 && st.st_uid == ::geteuid()) {
        forEachEntryAt(dir, [&](const struct dirent &entry) {
            const QByteArray name(entry.d_name);
            const QByteArray saved = savedNameOf(name);
            if (!saved.isEmpty() && isStateFile(QFile::decodeName(saved)))
                names.append(name);
            return true;
        });
    }
    int removed = 0;
    for (const QByteArray &name : names) {
        if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_uid == ::geteuid() && ::unlinkat(dir, name.constData(), 0) == 0)
            ++removed;
    }
    ::close(dir);
    return removed;
}

bool QSafeFile::save(const QString &path, const QByteArray &data, QString *error, int mode)
{
    return saveParts(path, onePiece(data), error, mode);
}

std::function<QByteArray()> QSafeFile::onePiece(const QByteArray &data)
{
    return [data, given = false]() mutable {
        if (given)
            return QByteArray();
        given = true;
        return data;
    };
}

bool QSafeFile::saveParts(const QString &path, const std::function<QByteArray()> &next, QString *error, int mode)
{
    int faultError = 0;
    const Fault fault = faultFor(path, &faultError);
    const QFileInfo info(path);
    const QByteArray name = QFile::encodeName(info.fileName());
    if (name.isEmpty())
        return fail(error, QStringLiteral("cannot write"), path, EISDIR);
    const QString folder = info.absolutePath();
    QDir().mkpath(folder);
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return fail(error, QStringLiteral("cannot open the folder of"), path, errno);

    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = temporaryName(name);
        fd = ::openat(dir, temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int code = errno;
        ::close(dir);
        return fail(error, QStringLiteral("cannot create a temporary file for"), path, code);
    }

    // Whatever fails from here, the temporary file goes and the old file stays.
    auto abandon = [&](const QString &what, int code, bool open) {
        if (open)
            ::close(fd);
        ::unlinkat(dir, temporary.constData(), 0);
        ::close(dir);
        return fail(error, what, path, code);
    };
    if (mode != 0600 && ::fchmod(fd, static_cast<mode_t>(mode) & 0777) != 0)
        return abandon(QStringLiteral("cannot set the mode of"), errno, true);
    try {
        for (QByteArray data = next(); !data.isEmpty(); data = next()) {
            if (!writeAll(fd, data, fault, faultError))
                return abandon(QStringLiteral("cannot write"), errno, true);
        }
    } catch (...) {
        // A piece that could not be made: nothing of this save stays.
        abandon(QStringLiteral("cannot write"), EIO, true);
        throw;
    }
    if (fault == Fault::FailedSync || ::fsync(fd) != 0)
        return abandon(QStringLiteral("cannot write"), fault == Fault::FailedSync ? (faultError ? faultError : EIO) : errno, true);
    const int closed = ::close(fd);
    if (fault == Fault::FailedClose || closed != 0)
        return abandon(QStringLiteral("cannot write"), fault == Fault::FailedClose ? (faultError ? faultError : EIO) : errno, false);
    if (fault == Fault::FailedRename || ::renameat(dir, temporary.constData(), dir, name.constData()) != 0)
        return abandon(QStringLiteral("cannot replace"), fault == Fault::FailedRename ? (faultError ? faultError : EACCES) : errno, false);
    // The new name lasts once the folder is on disk too; a folder that can't be synced still
    // holds the complete new file.
    ::fsync(dir);
    ::close(dir);
    return true;
}
