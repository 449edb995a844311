#include "commonfun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "cstringhelp.h"
#include "instanceguard.h"
#include "logger.h"
#include "machineid.h"
#include "qinifile.h"
#include "qsafefile.h"

namespace
{
    std::mutex &settingsMutex()
    {
        static auto *mutex = new std::mutex;
        return *mutex;
    }

    // The store; replaced only under settingsMutex(), so a reader never sees it go away.
    std::unique_ptr<QIniFile> &settingsStore()
    {
        static std::unique_ptr<QIniFile> store;
        return store;
    }

    // True when the file holds text an INI reader can take: valid UTF-8 (a byte-order mark
    // allowed) without NUL or other control bytes but tab, line feed and carriage return.
    // A missing or empty file is text.
    bool isTextFile(const QString &path)
    {
        constexpr qint64 kMaxSize = 16 * 1024 * 1024;
        QFile file(path);
        if (!file.exists())
            return true;
        if (!file.open(QIODevice::ReadOnly))
            return true; // unreadable: left to the INI reader, never set aside for that
        if (file.size() > kMaxSize)
            return false;
        QByteArray data = file.readAll();
        if (data.startsWith("\xEF\xBB\xBF"))
            data.remove(0, 3);
        for (const char c : data) {
            const unsigned char u = static_cast<unsigned char>(c);
            if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0x7F)
                return false;
        }
        return QString::fromUtf8(data).toUtf8() == data;
    }

    // Runs `read` on the open store, or gives `def` when none is open.
    template <typename T, typename Read>
    T readSetting(const T &def, Read read)
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        const auto &store = settingsStore();
        return store ? read(*store) : def;
    }
}

namespace CommonFun
{
    void initSettings(const QString &path)
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        auto &store = settingsStore();
        store.reset();
        QFileInfo info(path);
        QDir().mkpath(info.absolutePath());
        if (!info.exists() && !info.isSymLink()) {
            QString error;
            if (!QSafeFile::save(path, QByteArray(), &error))
                LOG_ERROR(error);
        }
        // Junk that Qt's INI reader would take without a complaint is damage all the same.
        const bool junk = !isTextFile(path);
        if (!junk)
            store.reset(new QIniFile(path));
        if (junk || store->isDamaged()) {
            store.reset();
            const QString bad = setDamagedFileAside(path);
            if (!bad.isEmpty())
                LOG_ERROR(L"settings file %s is damaged, kept as %s", path, bad);
            else
                LOG_ERROR(L"settings file %s is damaged and could not be set aside", path);
            store.reset(new QIniFile(path));
        }
    }

    void releaseSettings()
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        auto &store = settingsStore();
        QString why;
        if (store && !store->sync(&why))
            LOG_ERROR(L"settings not saved: %s", why);
        store.reset();
    }

    bool isSettingsOpen()
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        return settingsStore() != nullptr;
    }

    bool setSetting(const QString &group, const QString &key, const QVariant &value, QString *error)
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        const auto &store = settingsStore();
        if (!store)
            return false;
        QString why;
        if (store->setValue(group, key, value, &why))
            return true;
        LOG_ERROR(L"cannot save the setting %s/%s: %s", group, key, why);
        if (error)
            *error = why;
        return false;
    }

    bool syncSettings(QString *error)
    {
        std::lock_guard<std::mutex> lock(settingsMutex());
        QString why;
        if (!settingsStore() || settingsStore()->sync(&why))
            return true;
        LOG_ERROR(L"cannot save the settings: %s", why);
        if (error)
            *error = why;
        return false;
    }

    int getSettingInt(const QString &group, const QString &key, int def)
    {
        return readSetting(def, [&](const QIniFile &ini) { return ini.getInt(group, key, def); });
    }

    QString getSettingString(const QString &group, const QString &key, const QString &def)
    {
        return readSetting(def, [&](const QIniFile &ini) { return ini.getString(group, key, def); });
    }

    bool getSettingBool(const QString &group, const QString &key, bool def)
    {
        return readSetting(def, [&](const QIniFile &ini) { return ini.getBool(group, key, def); });
    }

    float getSettingFloat(const QString &group, const QString &key, float def)
    {
        return readSetting(def, [&](const QIniFile &ini) { return ini.getFloat(group, key, def); });
    }

    int64_t getSettingInt64(const QString &group, const QString &key, int64_t def)
    {
        return readSetting(def, [&](const QIniFile &ini) { return static_cast<int64_t>(ini.getInt64(group, key, def)); });
    }

    QString badFileName(const QString &path)
    {
        QString name = path + QStringLiteral(".bad");
        for (int i = 1; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++i)
            name = path + QStringLiteral(".bad.") + QString::number(i);
        return name;
    }

    QString damagedFileNotice(const QString &what, const QString &bad)
    {
        if (bad.isEmpty() || !QFileInfo::exists(bad))
            return QString();
        return QStringLiteral("%1文件已损坏，原文件已另存为“%2”。").arg(what, QDir::toNativeSeparators(bad));
    }

    QString setDamagedFileAside(const QString &path)
    {
        const QString bad = badFileName(path);
        return QFile::rename(path, bad) ? bad : QString();
    }

    QString systemErrorText(int err, const QString &accessDenied)
    {
        QString cause;
        switch (err) {
        case EACCES:
        case EPERM:
            cause = accessDenied.isEmpty() ? QStringLiteral("无权访问") : accessDenied;
            break;
        case EROFS:
            cause = QStringLiteral("文件系统只读");
            break;
        case ENOSPC:
        case EDQUOT:
            cause = QStringLiteral("磁盘空间不足");
            break;
        case ENAMETOOLONG:
            cause = QStringLiteral("路径过长");
            break;
        case ENOLCK:
        case EOPNOTSUPP:
            cause = QStringLiteral("文件系统不支持文件锁");
            break;
        case EMFILE:
        case ENFILE:
            cause = QStringLiteral("打开的文件过多");
            break;
        default:
            cause = QStringLiteral("系统错误");
            break;
        }
        return QStringLiteral("%1：%2").arg(cause, QString::fromLocal8Bit(std::strerror(err)));
    }

    int64_t currentMSecs()
    {
        return QDateTime::currentMSecsSinceEpoch();
    }

    bool floatEqual(float a, float b, float epsilon)
    {
        const float diff = b - a;
        return (diff < 0 ? -diff : diff) < epsilon;
    }

    QString secondsToTime(int seconds)
    {
        const int h = seconds / 3600;
        const int m = seconds % 3600 / 60;
        const int s = seconds % 60;
        return QStringLiteral("%1:%2:%3")
            .arg(h, 2, 10, QLatin1Char('0'))
            .arg(m, 2, 10, QLatin1Char('0'))
            .arg(s, 2, 10, QLatin1Char('0'));
    }

    bool isMutexExist(const std::wstring &name)
    {
        return instanceguard::acquire(CStringHelp::unicodeToUtf8(name)) == instanceguard::Taken;
    }

    Instance guardDataFolder(const QString &folder, const std::wstring &name, int *error)
    {
        QString dir = folder;
        if (!dir.endsWith(QLatin1Char('/')))
            dir += QLatin1Char('/');
        errno = 0;
        const auto result = instanceguard::acquireIn(QFile::encodeName(dir).toStdString(), CStringHelp::unicodeToUtf8(name));
        // What the lock file's open or lock said, before anything else can overwrite it.
        const int err = errno;
        if (error)
            *error = 0;
        switch (result) {
        case instanceguard::Acquired:
            return Instance::Alone;
        case instanceguard::Taken:
            return Instance::Another;
        default:
            if (error)
                *error = err;
            return Instance::Unknown;
        }
    }

    std::string machineIdFromDiskId(const std::string &diskId)
    {
        const std::string s = CStringHelp::md5Variant(diskId).substr(0, 7);
        const std::string c = CStringHelp::toUpper(CStringHelp::md5Variant(s).substr(0, 2));
        return "W" + c + s;
    }

    std::string getMachineId()
    {
        static const std::string id = machineIdFromDiskId(machineid::diskId());
        return id;
    }

    bool deleteFile(const QString &path)
    {
        return QFile::remove(path);
    }

    bool isFile(const QString &path)
    {
        const QFileInfo info(path);
        return info.exists() && !info.isDir();
    }

    bool isDir(const QString &path)
    {
        return QFileInfo(path).isDir();
    }

    bool moveFile(const QString &from, const QString &to)
    {
        return QFile::rename(from, to);
    }

    bool createDirectories(const QString &path)
    {
        if (path.isEmpty())
            return false;
        return QDir().mkpath(path);
    }

    QString getFileName(const QString &path)
    {
        const int pos = path.lastIndexOf(QLatin1Char('/'));
        if (pos <= 0)
            return QString();
        return path.mid(pos + 1);
    }

    QString getLastFolderName(const QString &path)
    {
        if (path.isEmpty())
            return QString();
        QString trimmed = path;
        if (trimmed.endsWith(QLatin1Char('/')))
            trimmed.chop(1);
        return getFileName(trimmed);
    }

    float getDiskFreeSpace(const QString &path)
    {
        struct statvfs st {};
        if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
            return 0.0f;
        const double bytes = static_cast<double>(st.f_bavail) * static_cast<double>(st.f_frsize);
        return static_cast<float>(bytes / 1024.0 / 1024.0 / 1024.0);
    }

    namespace
    {
        QString userName(uid_t uid)
        {
            struct passwd pw {};
            struct passwd *result = nullptr;
            char buffer[4096];
            if (getpwuid_r(uid, &pw, buffer, sizeof(buffer), &result) != 0 || !result || !pw.pw_name)
                return QString();
            return QString::fromUtf8(pw.pw_name).left(256);
        }

        QByteArray procPath(pid_t pid, const char *entry)
        {
            return "/proc/" + QByteArray::number(pid) + "/" + entry;
        }

        // File name of the program file of a process; empty when it cannot be read.
        QString executableName(pid_t pid)
        {
            char target[PATH_MAX];
            const ssize_t size = ::readlink(procPath(pid, "exe").constData(), target, sizeof(target));
            if (size <= 0 || size >= static_cast<ssize_t>(sizeof(target)))
                return QString();
            QByteArray path(target, static_cast<int>(size));
            // A program file replaced while it runs (an update) is still that program.
            static const QByteArray deleted(" (deleted)");
            if (path.endsWith(deleted))
                path.chop(deleted.size());
            return QFile::decodeName(path.mid(path.lastIndexOf('/') + 1));
        }

        std::vector<pid_t> runningProcessIds()
        {
            std::vector<pid_t> ids;
            DIR *dir = ::opendir("/proc");
            if (!dir)
                return ids;
            while (const struct dirent *entry = ::readdir(dir)) {
                char *end = nullptr;
                const long id = std::strtol(entry->d_name, &end, 10);
                if (id > 0 && end && *end == '\0')
                    ids.push_back(static_cast<pid_t>(id));
            }
            ::closedir(dir);
            std::sort(ids.begin(), ids.end());
            return ids;
        }

        // A process found by name. Where the kernel has pidfds it is held by one, so that a
        // signal can never reach a later process that was given the same id.
        struct Target
        {
            pid_t pid = 0;
            int fd = -1;
        };

        int openPidFd(pid_t pid)
        {
#ifdef SYS_pidfd_open
            return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
            (void)pid;
            return -1;
#endif
        }

        bool hasEnded(const Target &target)
        {
            if (target.fd >= 0) {
                struct pollfd p { target.fd, POLLIN, 0 };
                return ::poll(&p, 1, 0) != 0;
            }
            QFile stat(QFile::decodeName(procPath(target.pid, "stat")));
            if (!stat.open(QIODevice::ReadOnly))
                return true;
            const QByteArray line = stat.readAll();
            const int close = line.lastIndexOf(')');
            return close < 0 || line.mid(close + 2, 1) == "Z";
        }

        void sendSignal(const Target &target, int signal)
        {
#ifdef SYS_pidfd_send_signal
            if (target.fd >= 0) {
                ::syscall(SYS_pidfd_send_signal, target.fd, signal, nullptr, 0);
                return;
            }
#endif
            ::kill(target.pid, signal);
        }

        // Running processes (not `spare`) whose executable name is `name`.
        std::vector<Target> findTargets(const QString &name, Qt::CaseSensitivity cs, pid_t spare, bool firstOnly)
        {
            std::vector<Target> targets;
            if (name.isEmpty())
                return targets;
            for (const pid_t pid : runningProcessIds()) {
                if (pid == spare)
                    continue;
                // The handle first, then the name: the name read belongs to the held process
                // as long as that has not ended meanwhile.
                Target target { pid, openPidFd(pid) };
                const bool match = executableName(pid).compare(name, cs) == 0 && !hasEnded(target);
                if (match) {
                    targets.push_back(target);
                    if (firstOnly)
                        break;
                } else if (target.fd >= 0) {
                    ::close(target.fd);
                }
            }
            return targets;
        }

        bool waitForEnd(const std::vector<Target> &targets, int waitMs)
        {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(0, waitMs));
            for (;;) {
                if (std::all_of(targets.begin(), targets.end(), hasEnded))
                    return true;
                if (std::chrono::steady_clock::now() >= deadline)
                    return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }

        bool endProcesses(const QString &name, int terminateWaitMs)
        {
            const std::vector<Target> targets = findTargets(name, Qt::CaseInsensitive, ::getpid(), false);
            if (targets.empty())
                return false;
            for (const Target &target : targets)
                sendSignal(target, SIGTERM);
            if (!waitForEnd(targets, terminateWaitMs)) {
                for (const Target &target : targets) {
                    if (!hasEnded(target))
                        sendSignal(target, SIGKILL);
                }
                waitForEnd(targets, 2000);
            }
            bool ended = false;
            for (const Target &target : targets) {
                ended = hasEnded(target) || ended;
                if (target.fd >= 0)
                    ::close(target.fd);
            }
            return ended;
        }
    }

    qint64 findProcess(const QString &name)
    {
        const std::vector<Target> targets = findTargets(name, Qt::CaseSensitive, 0, true);
        if (targets.empty())
            return 0;
        if (targets.front().fd >= 0)
            ::close(targets.front().fd);
        return targets.front().pid;
    }

    bool killProcess(const QString &name, int terminateWaitMs)
    {
        return endProcesses(name, terminateWaitMs);
    }

    bool killOtherInstances(int terminateWaitMs)
    {
        return endProcesses(executableName(::getpid()), terminateWaitMs);
    }

    QString getProcessUserName()
    {
        return userName(::getuid());
    }

    QString getProcessUserName(qint64 pid)
    {
        if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
            return QString();
        QFile status(QFile::decodeName(procPath(static_cast<pid_t>(pid), "status")));
        if (!status.open(QIODevice::ReadOnly))
            return QString();
        // "Uid:" real, effective, saved and file-system user ids.
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (!line.startsWith("Uid:"))
                continue;
            const QList<QByteArray> ids = line.mid(4).simplified().split(' ');
            bool ok = false;
            const uint uid = ids.value(1).toUInt(&ok);
            return ok ? userName(static_cast<uid_t>(uid)) : QString();
        }
        return QString();
    }

    void ensureUtf8CType()
    {
        const auto isPlain = [](const char *name) {
            return !name || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0;
        };
        if (isPlain(std::setlocale(LC_CTYPE, nullptr)) && isPlain(std::setlocale(LC_CTYPE, "")))
            std::setlocale(LC_CTYPE, "C.UTF-8");
    }
}
