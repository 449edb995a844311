#include "qworkfolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>

#include "cglobal.h"
#include "qsafefile.h"

namespace
{
    // Removes a tree without following links.
    void removeTree(const std::string &path)
    {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode))
        {
            if (DIR *dir = ::opendir(path.c_str()))
            {
                while (const dirent *entry = ::readdir(dir))
                {
                    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
                        continue;
                    removeTree(path + "/" + entry->d_name);
                }
                ::closedir(dir);
            }
            ::rmdir(path.c_str());
        }
        else
            ::unlink(path.c_str());
    }

    // Field 22 of /proc/<pid>/stat: the process's start time in clock ticks since boot.
    QByteArray startTime(long pid)
    {
        char name[64];
        std::snprintf(name, sizeof name, "/proc/%ld/stat", pid);
        const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return QByteArray();
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0)
            return QByteArray();
        const QByteArray text(buf, int(n));
        // The command name (field 2) may hold spaces and ")": count from the last ")".
        const int close = text.lastIndexOf(')');
        if (close < 0)
            return QByteArray();
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        // Index 0 is field 3, so field 22 is index 19.
        return fields.size() > 19 ? fields.at(19) : QByteArray();
    }

    const char *const kTempList = "temp-files";

    // The files a dead run noted, unless they changed after `since` (another run's by now).
    void removeNotedFiles(const std::string &folder, const timespec &since)
    {
        QFile list(QFile::decodeName(QByteArray::fromStdString(folder + "/" + kTempList)));
        if (!list.open(QIODevice::ReadOnly))
            return;
        const QList<QByteArray> lines = list.read(64 * 1024).split('\n');
        for (const QByteArray &line : lines)
        {
            if (line.isEmpty() || !line.startsWith('/'))
                continue;
            struct stat st;
            if (::lstat(line.constData(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
                continue;
            const bool older = st.st_mtim.tv_sec < since.tv_sec
                || (st.st_mtim.tv_sec == since.tv_sec && st.st_mtim.tv_nsec < since.tv_nsec);
            if (older)
                ::unlink(line.constData());
        }
    }

    bool ownerAlive(const QByteArray &name)
    {
        const int dash = name.indexOf('-');
        bool ok = false;
        const long pid = dash > 0 ? name.left(dash).toLong(&ok) : 0;
        if (!ok || pid <= 0)
            return false;
        const QByteArray start = startTime(pid);
        return !start.isEmpty() && name.mid(dash + 1) == start;
    }
}

QWorkFolder::~QWorkFolder()
{
    remove();
}

QString QWorkFolder::defaultRoot()
{
    return CGlobal::defaultDataPath() + QStringLiteral("transcode/");
}

QString QWorkFolder::ownerName(long pid)
{
    const QByteArray start = startTime(pid);
    return start.isEmpty() ? QString() : QStringLiteral("%1-%2").arg(pid).arg(QString::fromLatin1(start));
}

int QWorkFolder::sweep(const QString &root)
{
    const QByteArray native = QFile::encodeName(root);
    DIR *dir = ::opendir(native.constData());
    if (!dir)
        return 0;
    timespec since {};
    ::clock_gettime(CLOCK_REALTIME, &since);
    int removed = 0;
    while (const dirent *entry = ::readdir(dir))
    {
        const QByteArray name = entry->d_name;
        if (name == "." || name == ".." || ownerAlive(name))
            continue;
        std::string path = native.toStdString();
        if (!path.empty() && path.back() != '/')
            path += '/';
        removeNotedFiles(path + name.toStdString(), since);
        removeTree(path + name.toStdString());
        ++removed;
    }
    ::closedir(dir);
    return removed;
}

bool QWorkFolder::create(const QString &root)
{
    const QString name = ownerName(static_cast<long>(::getpid()));
    if (name.isEmpty() || !CGlobal::makePrivateFolder(root))
        return false;
    QString folder = root;
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    folder += name;
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st;
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()
        || ((st.st_mode & 077) != 0 && ::chmod(native.constData(), 0700) != 0))
        return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = native.toStdString() + "/";
    return true;
}

QString QWorkFolder::path() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QFile::decodeName(QByteArray::fromStdString(m_path));
}

bool QWorkFolder::noteTempFiles(const QStringList &paths)
{
    const QString folder = path();
    if (folder.isEmpty())
        return false;
    QByteArray text;
    for (const QString &p : paths)
        text += QFile::encodeName(p) + '\n';
    // Whole or not at all: a half list could name a cut path.
    return QSafeFile::save(folder + QString::fromLatin1(kTempList), text);
}

void QWorkFolder::remove()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_path.empty())
        return;
    removeTree(m_path.substr(0, m_path.size() - 1));
    m_path.clear();
}
