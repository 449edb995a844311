#include "qtutils.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>

#include "cstringhelp.h"

namespace
{
    // Empties the folder open as `dirFd` and everything below it. Entries are opened
    // relative to their parent with O_NOFOLLOW, so a link (or a link swapped in meanwhile)
    // is never descended into.
    bool removeContents(int dirFd)
    {
        DIR *dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            return false;
        }
        bool ok = true;
        while (struct dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                ok = false;
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                const int child = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0 || !removeContents(child)) {
                    ok = false;
                    continue;
                }
                if (::unlinkat(::dirfd(dir), name, AT_REMOVEDIR) != 0)
                    ok = false;
            } else if (::unlinkat(::dirfd(dir), name, 0) != 0) {
                ok = false;
            }
        }
        ::closedir(dir);
        return ok;
    }
}

bool removeDirContents(int dirFd)
{
    const int own = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return false;
    // A fresh description, so that the listing starts at the beginning.
    const int fd = ::openat(own, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(own);
    return fd >= 0 && removeContents(fd);
}

namespace
{
    std::atomic<bool> s_noReplaceUnsupported(false);
    std::atomic<bool> s_linkUnsupported(false);

    bool unsupported(int err)
    {
        return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP;
    }
}

void setRenameFallbackForTests(bool noReplaceUnsupported, bool linkUnsupported)
{
    s_noReplaceUnsupported = noReplaceUnsupported;
    s_linkUnsupported = linkUnsupported;
}

bool renameNoReplaceAt(int fromDir, const QString &from, int toDir, const QString &to)
{
    const QByteArray a = QFile::encodeName(from);
    const QByteArray b = QFile::encodeName(to);
    if (!s_noReplaceUnsupported) {
        if (::renameat2(fromDir, a.constData(), toDir, b.constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (!unsupported(errno))
            return false;
    }
    // A hard link fails when the name is taken.
    if (!s_linkUnsupported) {
        if (::linkat(fromDir, a.constData(), toDir, b.constData(), 0) == 0) {
            ::unlinkat(fromDir, a.constData(), 0);
            return true;
        }
        if (errno != EPERM && !unsupported(errno))
            return false;
    }
    // Neither exists here: the name must be free just before the rename.
    struct stat st {};
    if (::fstatat(toDir, b.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return ::renameat(fromDir, a.constData(), toDir, b.constData()) == 0;
}

bool removeDir(const QString &path)
{
    if (path.isEmpty())
        return false;
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
        return ::unlink(native.constData()) == 0;
    if (!S_ISDIR(st.st_mode))
        return false;
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool emptied = removeContents(fd);
    return ::rmdir(native.constData()) == 0 && emptied;
}

QString formatFileSize(double megabytes)
{
    if (!(megabytes > 1024.0))
        return QStringLiteral("%1MB").arg(megabytes, 0, 'f', 2);
    return QStringLiteral("%1G").arg(megabytes / 1024.0, 0, 'f', 2);
}

QString encryptQString(const QString &text, const std::string &key)
{
    const QByteArray bytes = text.toUtf8();
    const std::string cipher = CStringHelp::aesEncrypt(std::string(bytes.constData(), bytes.size()), key);
    return QString::fromStdString(cipher);
}

QString decryptQString(const QString &text, const std::string &key)
{
    if (text.isEmpty())
        return QString();
    const QByteArray bytes = text.toUtf8();
    const std::string plain = CStringHelp::aesDecrypt(std::string(bytes.constData(), bytes.size()), key);
    return QString::fromUtf8(plain.data(), static_cast<int>(plain.size()));
}

QString decryptQString(const QString &text, const std::string &key, bool *ok)
{
    if (text.isEmpty()) {
        if (ok)
            *ok = true;
        return QString();
    }
    const QByteArray bytes = text.toUtf8();
    bool sound = false;
    std::string plain;
    try {
        plain = CStringHelp::aesDecrypt(std::string(bytes.constData(), bytes.size()), key, &sound);
    } catch (...) {
        sound = false;
    }
    if (ok)
        *ok = sound;
    if (!sound)
        return QString();
    return QString::fromUtf8(plain.data(), static_cast<int>(plain.size()));
}

QString percentEncode(const QString &text)
{
    return QString::fromLatin1(text.toUtf8().toPercentEncoding());
}

QString percentDecode(const QString &text)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toUtf8()));
}
