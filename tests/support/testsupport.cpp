#include "testsupport.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUuid>

namespace testsupport
{
    QString cacheDir()
    {
        const QString dir = QStringLiteral(VANTREL_TEST_CACHE);
        QDir().mkpath(dir);
        return dir;
    }

    QString makeClip(const QString &fileName, const QStringList &ffmpegArgs)
    {
        const QString target = cacheDir() + fileName;
        if (QFile::exists(target))
            return target;

        // Each maker writes its own file, then renames it into place: parallel tests never see half a clip.
        const QString suffix = QFileInfo(fileName).suffix();
        const QString part = target + QStringLiteral(".") + QUuid::createUuid().toString(QUuid::Id128)
            + QStringLiteral(".") + suffix;
        QStringList args {QStringLiteral("-nostdin"), QStringLiteral("-hide_banner"),
                          QStringLiteral("-loglevel"), QStringLiteral("error"), QStringLiteral("-y")};
        args << ffmpegArgs << part;
        QProcess ffmpeg;
        ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
        ffmpeg.start(QStringLiteral("ffmpeg"), args);
        if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        {
            qWarning("ffmpeg failed for %s: %s", qPrintable(fileName), ffmpeg.readAll().constData());
            QFile::remove(part);
            return QString();
        }
        if (!QFile::exists(target) && !QFile::rename(part, target))
            QFile::remove(part);
        QFile::remove(part);
        return QFile::exists(target) ? target : QString();
    }

    QString clipH264Mp4()
    {
        return makeClip(QStringLiteral("h264-320x240-3s.mp4"),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25:duration=3"),
             QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=3"),
             QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), QStringLiteral("ultrafast"),
             QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac"),
             QStringLiteral("-shortest")});
    }

    QString clipMpeg4Avi()
    {
        return makeClip(QStringLiteral("mpeg4-320x240-3s.avi"),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25:duration=3"),
             QStringLiteral("-c:v"), QStringLiteral("mpeg4")});
    }

    QString clipMp3()
    {
        return makeClip(QStringLiteral("sine-3s.mp3"),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=3"),
             QStringLiteral("-c:a"), QStringLiteral("libmp3lame")});
    }

    QString clipSingleFrame()
    {
        return makeClip(QStringLiteral("h264-aac-320x240-1frame.mp4"),
            {QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("testsrc=size=320x240:rate=25"),
             QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=frequency=440:duration=1"),
             QStringLiteral("-frames:v"), QStringLiteral("1"), QStringLiteral("-c:v"), QStringLiteral("libx264"),
             QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p"), QStringLiteral("-c:a"), QStringLiteral("aac")});
    }

    QString newTempDir()
    {
        QString base = QString::fromLocal8Bit(qgetenv("TMPDIR"));
        if (base.isEmpty())
            base = QDir::tempPath();
        if (!base.endsWith(QLatin1Char('/')))
            base += QLatin1Char('/');
        const QString dir = base + QStringLiteral("t-") + QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral("/");
        QDir().mkpath(dir);
        return dir;
    }

    quint16 freePort()
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0))
            return 0;
        const quint16 port = server.serverPort();
        server.close();
        return port;
    }

    bool waitUntil(const std::function<bool()> &done, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done())
        {
            if (timer.elapsed() > timeoutMs)
                return done();
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
        return true;
    }

    QByteArray readAll(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QByteArray();
        return file.readAll();
    }

    bool writeAll(const QString &path, const QByteArray &data)
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        return file.write(data) == data.size();
    }

    bool instanceLockHeldElsewhere(const QString &data)
    {
        const QByteArray path = QFile::encodeName(QDir::cleanPath(data) + QStringLiteral("/vantrel_2_0.lock"));
        const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        // The guard is a POSIX record lock: ask who holds it without taking it.
        struct flock range {};
        range.l_type = F_WRLCK;
        range.l_whence = SEEK_SET;
        const bool held = ::fcntl(fd, F_GETLK, &range) == 0 && range.l_type != F_UNLCK;
        ::close(fd);
        return held;
    }
}

struct testsupport::SilentServer::Private
{
    QTcpServer server;
    QList<QTcpSocket *> held;
};

testsupport::SilentServer::SilentServer()
    : d(new Private)
{
    if (!d->server.listen(QHostAddress::LocalHost, 0))
        return;
    QObject::connect(&d->server, &QTcpServer::newConnection, [p = d]() {
        while (QTcpSocket *socket = p->server.nextPendingConnection())
            p->held << socket;
    });
}

testsupport::SilentServer::~SilentServer()
{
    qDeleteAll(d->held);
    delete d;
}

bool testsupport::SilentServer::listening() const
{
    return d->server.isListening();
}

quint16 testsupport::SilentServer::port() const
{
    return d->server.serverPort();
}

int testsupport::SilentServer::connections() const
{
    return d->held.size();
}

void testsupport::unlockFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags &= ~FS_IMMUTABLE_FL;
        ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0)
        ::close(fd);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
}

bool testsupport::makeFifo(const QString &path)
{
    QFile::remove(path);
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

bool testsupport::feedFifo(const QString &path, const QByteArray &data, int timeoutMs)
{
    const QByteArray name = QFile::encodeName(path);
    int fd = -1;
    QElapsedTimer clock;
    clock.start();
    // Without a reader the open fails at once: polled, so that the wait has its bound.
    while ((fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK)) < 0) {
        if (errno != ENXIO || clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(2);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    qint64 written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, static_cast<size_t>(data.size() - written));
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
    return written == data.size();
}

testsupport::FreshFolders::FreshFolders()
{
    const QString root = newTempDir();
    const struct
    {
        const char *name;
        const char *folder;
    } folders[] = {{"HOME", "home"}, {"XDG_DATA_HOME", "data"}, {"XDG_CONFIG_HOME", "config"},
                   {"XDG_CACHE_HOME", "cache"}, {"TMPDIR", "tmp"}};
    for (const auto &f : folders)
    {
        m_saved.append(qMakePair(QByteArray(f.name), qgetenv(f.name)));
        const QString path = root + QString::fromLatin1(f.folder);
        QDir().mkpath(path);
        qputenv(f.name, QFile::encodeName(path));
    }
}

testsupport::FreshFolders::~FreshFolders()
{
    for (const auto &saved : m_saved)
    {
        if (saved.second.isNull())
            qunsetenv(saved.first.constData());
        else
            qputenv(saved.first.constData(), saved.second);
    }
}

testsupport::Tmpfs::Tmpfs(qint64 bytes, int mode)
    : m_path(newTempDir() + QStringLiteral("disk/"))
{
    QDir().mkpath(m_path);
    const QByteArray options = QStringLiteral("size=%1k,mode=%2").arg((bytes + 1023) / 1024).arg(mode, 4, 8, QLatin1Char('0')).toLatin1();
    if (::mount("tmpfs", QFile::encodeName(m_path).constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0) {
        m_why = QStringLiteral("cannot mount a tmpfs on %1 (%2); a full disk needs root").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

testsupport::Tmpfs::~Tmpfs()
{
    if (m_mounted && ::umount2(QFile::encodeName(m_path).constData(), 0) != 0)
        ::umount2(QFile::encodeName(m_path).constData(), MNT_DETACH);
}

bool testsupport::Tmpfs::mounted() const
{
    return m_mounted;
}

QString testsupport::Tmpfs::why() const
{
    return m_why;
}

QString testsupport::Tmpfs::path() const
{
    return m_path;
}

qint64 testsupport::Tmpfs::freeBytes() const
{
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(m_path).constData(), &fs) != 0)
        return -1;
    return static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
}

bool testsupport::Tmpfs::fill(qint64 leave)
{
    const QByteArray filler = QFile::encodeName(m_path + QStringLiteral(".filler"));
    const int fd = ::open(filler.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const QByteArray chunk(64 * 1024, 'f');
    for (size_t size = static_cast<size_t>(chunk.size()); size > 0; size /= 2) {
        while (::write(fd, chunk.constData(), size) > 0) {
        }
    }
    struct stat st {};
    if (leave > 0 && (::fstat(fd, &st) != 0 || ::ftruncate(fd, st.st_size - leave) != 0)) {
        ::close(fd);
        return false;
    }
    ::close(fd);
    return freeBytes() == leave;
}

void testsupport::Tmpfs::release()
{
    QFile::remove(m_path + QStringLiteral(".filler"));
}

void testsupport::childDone()
{
    ::_exit(0);
}

QString testsupport::leftByEndedChild(const QString &folder, const std::function<void()> &work)
{
    const QDir::Filters filter = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    const QStringList before = QDir(folder).entryList(filter);
    const pid_t pid = ::fork();
    if (pid == 0) {
        work();
        ::_exit(1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return QString();
    for (const QString &entry : QDir(folder).entryList(filter))
        if (!before.contains(entry))
            return entry;
    return QString();
}
