#include "qtutils.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
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

bool forEachEntryAt(int dirFd, const std::function<bool(const struct dirent &)> &visit)
{
    // A description of its own, so that the listing starts at the beginning.
    const int own = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        if (own >= 0)
            ::close(own);
        return false;
    }
    while (const struct dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        if (!visit(*entry))
            break;
    }
    ::closedir(dir);
    return true;
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
    std::function<void(int, const QByteArray &)> s_holdHook;

    bool unsupported(int err)
    {
        return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTSUP;
    }

    bool sameEntry(const struct stat &a, const struct stat &b)
    {
        return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    }

    // Without the no-replace rename and hard links: the name is first held by a new empty
    // entry of ours (made with O_EXCL, so never over anything), and the rename replaces only
    // that entry, checked to be still ours just before.
    bool renameOverHold(int fromDir, const QByteArray &from, int toDir, const QByteArray &to)
    {
        struct stat moved {};
        if (::fstatat(fromDir, from.constData(), &moved, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        const bool folder = S_ISDIR(moved.st_mode);
        struct stat held {};
        if (folder) {
            if (::mkdirat(toDir, to.constData(), 0700) != 0)
                return false;
            if (::fstatat(toDir, to.constData(), &held, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(held.st_mode)) {
                errno = EEXIST;
                return false;
            }
        } else {
            const int hold = ::openat(toDir, to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (hold < 0)
                return false;
            const bool known = ::fstat(hold, &held) == 0;
            ::close(hold);
            if (!known)
                return false;
        }
        if (s_holdHook)
            s_holdHook(toDir, to);
        struct stat now {};
        if (::fstatat(toDir, to.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !sameEntry(now, held)
            || (!folder && now.st_size != 0)) {
            // Something else took the place of the hold: it stays.
            errno = EEXIST;
            return false;
        }
        if (::renameat(fromDir, from.constData(), toDir, to.constData()) == 0)
            return true;
        const int err = errno;
        if (::fstatat(toDir, to.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameEntry(now, held))
            ::unlinkat(toDir, to.constData(), folder ? AT_REMOVEDIR : 0);
        errno = err;
        return false;
    }
}

void setRenameFallbackForTests(bool noReplaceUnsupported, bool linkUnsupported)
{
    s_noReplaceUnsupported = noReplaceUnsupported;
    s_linkUnsupported = linkUnsupported;
}

void setRenameHoldHookForTests(std::function<void(int toDir, const QByteArray &name)> hook)
{
    s_holdHook = std::move(hook);
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
    return renameOverHold(fromDir, a, toDir, b);
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

qint64 fileSystemTypeOf(int fd)
{
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 ? static_cast<qint64>(static_cast<quint32>(fs.f_type)) : 0;
}

bool isForeignFileSystem(qint64 fsType)
{
    switch (static_cast<quint32>(fsType)) {
    case 0x4d44u:     // FAT
    case 0x2011bab0u: // exFAT
    case 0x5346544eu: // NTFS
    case 0x7366746eu: // NTFS (ntfs3)
    case 0x65735546u: // FUSE
    case 0xff534d42u: // CIFS
    case 0xfe534d42u: // SMB2
    case 0x517bu:     // SMB
        return true;
    default:
        return false;
    }
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
