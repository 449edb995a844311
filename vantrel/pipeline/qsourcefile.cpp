#include "qsourcefile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <QFile>

#include "logger.h"
#include "qtutils.h"
#include "uexception.h"

namespace
{
    const QString kMissing = QStringLiteral("源视频文件不存在或无法读取");

    qint64 fsTypeOf(const QByteArray &path)
    {
        struct statfs fs {};
        return ::statfs(path.constData(), &fs) == 0 ? static_cast<qint64>(static_cast<quint32>(fs.f_type)) : 0;
    }

    // A mount id that is never given twice while the system runs (Linux 6.8 and later).
    constexpr unsigned kUniqueMountId = 0x4000U;

    QString bootId()
    {
        static const QString id = []() {
            QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
            return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.read(64).trimmed()) : QString();
        }();
        return id;
    }

    QString mountText(int dirFd, const char *path, int flags)
    {
        struct statx sx {};
        if (::statx(dirFd, path, flags, STATX_TYPE | kUniqueMountId, &sx) != 0 || !(sx.stx_mask & kUniqueMountId)
            || bootId().isEmpty())
            return QString();
        return QStringLiteral("%1:%2").arg(bootId()).arg(static_cast<quint64>(sx.stx_mnt_id));
    }
}

qint64 SourceIdentity::mtimeNsOf(const struct stat &st)
{
    return static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + static_cast<qint64>(st.st_mtim.tv_nsec);
}

SourceIdentity SourceIdentity::ofOpened(const struct stat &st, qint64 fsType, const QString &mount)
{
    SourceIdentity id;
    id.known = true;
    id.device = static_cast<quint64>(st.st_dev);
    id.inode = static_cast<quint64>(st.st_ino);
    id.size = static_cast<qint64>(st.st_size);
    id.mtimeNs = SourceIdentity::mtimeNsOf(st);
    id.fsType = fsType;
    id.mount = mount;
    return id;
}

QString SourceIdentity::mountOf(int fd)
{
    return fd < 0 ? QString() : mountText(fd, "", AT_EMPTY_PATH);
}

SourceIdentity SourceIdentity::of(const QString &path, bool anyLink)
{
    SourceIdentity id;
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (native.isEmpty() || ::lstat(native.constData(), &st) != 0)
        return id;
    if (S_ISLNK(st.st_mode)) {
        if (!anyLink && st.st_uid != ::geteuid()) {
            LOG_WARNING(L"%s is a link of another user's, not taken as the source", path);
            return id;
        }
        id.link = true;
        if (::stat(native.constData(), &st) != 0)
            return SourceIdentity();
    }
    const bool link = id.link;
    id = ofOpened(st, fsTypeOf(native), mountText(AT_FDCWD, native.constData(), 0));
    id.link = link;
    return id;
}

SourceIdentity SourceIdentity::fromJson(const Json::Value &value)
{
    SourceIdentity id;
    if (!value.isObject())
        return id;
    const Json::Value &device = value["device"];
    const Json::Value &inode = value["inode"];
    const Json::Value &size = value["size"];
    const Json::Value &mtime = value["mtime_ns"];
    const Json::Value &link = value["link"];
    const Json::Value &fsType = value["fs_type"];
    const Json::Value &mount = value["mount"];
    if (!device.isUInt64() || !inode.isUInt64() || !size.isInt64() || !mtime.isInt64() || !link.isBool()
        || !fsType.isInt64() || !(mount.isNull() || (mount.isString() && mount.asString().size() <= 128)))
        return id;
    id.known = true;
    id.link = link.asBool();
    id.device = device.asUInt64();
    id.inode = inode.asUInt64();
    id.size = size.asInt64();
    id.mtimeNs = mtime.asInt64();
    id.fsType = fsType.asInt64();
    id.mount = mount.isString() ? QString::fromStdString(mount.asString()) : QString();
    return id;
}

Json::Value SourceIdentity::toJson() const
{
    if (!known)
        return Json::Value(Json::nullValue);
    Json::Value value(Json::objectValue);
    value["device"] = static_cast<Json::UInt64>(device);
    value["inode"] = static_cast<Json::UInt64>(inode);
    value["size"] = static_cast<Json::Int64>(size);
    value["mtime_ns"] = static_cast<Json::Int64>(mtimeNs);
    value["link"] = link;
    value["fs_type"] = static_cast<Json::Int64>(fsType);
    if (!mount.isEmpty())
        value["mount"] = mount.toStdString();
    return value;
}

bool SourceIdentity::matches(const struct stat &st, qint64 openedFsType, const QString &openedMount) const
{
    if (!known || !S_ISREG(st.st_mode) || static_cast<qint64>(st.st_size) != size || SourceIdentity::mtimeNsOf(st) != mtimeNs)
        return false;
    if (static_cast<quint64>(st.st_dev) == device && static_cast<quint64>(st.st_ino) == inode)
        return true;
    if (!isForeignFileSystem(fsType) || !isForeignFileSystem(openedFsType))
        return false;
    // The inode numbers of these disks last as long as the mount: only a disk mounted again may
    // have renumbered the file. On the same device, without two known mounts that differ, it is
    // the mount it was noted on, and a new inode there is a new file.
    const bool remounted = static_cast<quint64>(st.st_dev) != device
        || (!mount.isEmpty() && !openedMount.isEmpty() && mount != openedMount);
    return remounted;
}

QString SourceIdentity::text() const
{
    if (!known)
        return QStringLiteral("unknown");
    return QStringLiteral("%1device %2, inode %3, %4 bytes, modified %5 ns, file system %6, mount %7")
        .arg(link ? QStringLiteral("link to ") : QString())
        .arg(device).arg(inode).arg(size).arg(mtimeNs).arg(fsType, 0, 16)
        .arg(mount.isEmpty() ? QStringLiteral("unknown") : mount);
}

QSourceFile::~QSourceFile()
{
    close();
}

void QSourceFile::open(const QString &path, const SourceIdentity &identity)
{
    close();
    const QByteArray native = QFile::encodeName(path);
    int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (!identity.link)
        flags |= O_NOFOLLOW;
    const int fd = native.isEmpty() ? -1 : ::open(native.constData(), flags);
    if (fd < 0) {
        const int error = errno;
        // A link where the teacher added a plain file.
        if (error == ELOOP) {
            LOG_ERROR(L"the source %s is a link now, it was none when it was added", path);
            throw UException("open(source, O_NOFOLLOW)", changedMessage(), __FILE__, __LINE__);
        }
        LOG_ERROR(L"cannot open the source %s: %s", path, QString::fromLocal8Bit(::strerror(error)));
        throw UException("open(source)", kMissing, __FILE__, __LINE__);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        LOG_ERROR(L"the source %s is not a readable file", path);
        throw UException("S_ISREG(source)", kMissing, __FILE__, __LINE__);
    }
    const qint64 fsType = fileSystemTypeOf(fd);
    const QString mount = SourceIdentity::mountOf(fd);
    if (!identity.matches(st, fsType, mount)) {
        ::close(fd);
        LOG_ERROR(L"the source %s is not the file that was added (added: %s; now: %s)", path, identity.text(),
                  SourceIdentity::ofOpened(st, fsType, mount).text());
        throw UException("identity.matches(source)", changedMessage(), __FILE__, __LINE__);
    }
    // Reads block as usual from here on.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_fd = fd;
    m_device = static_cast<quint64>(st.st_dev);
    m_inode = static_cast<quint64>(st.st_ino);
    m_size = static_cast<qint64>(st.st_size);
    m_mtimeNs = SourceIdentity::mtimeNsOf(st);
}

void QSourceFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool QSourceFile::isOpen() const
{
    return m_fd >= 0;
}

int QSourceFile::fd() const
{
    return m_fd;
}

QString QSourceFile::procPath() const
{
    return QStringLiteral("/proc/self/fd/%1").arg(m_fd);
}

QString QSourceFile::openedText() const
{
    return QStringLiteral("%1:%2:%3:%4").arg(m_device).arg(m_inode).arg(m_size).arg(m_mtimeNs);
}

bool QSourceFile::changedSinceOpen() const
{
    struct stat st {};
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return false;
    return static_cast<qint64>(st.st_size) != m_size || SourceIdentity::mtimeNsOf(st) != m_mtimeNs;
}

QString QSourceFile::changedMessage()
{
    return QStringLiteral("源视频已被更改或替换，请重新添加");
}
