#include "qinifile.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSettings>
#include <QTemporaryDir>

#include "qsafefile.h"
#include "qtutils.h"

namespace
{
    QString systemError(int code)
    {
        return QString::fromLocal8Bit(std::strerror(code));
    }

    // A scratch copy in the private folder: checked, but not synced to disk.
    bool writeScratch(const QString &path, const QByteArray &text, QString *error)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() && file.flush()) {
            file.close();
            if (file.error() == QFileDevice::NoError)
                return true;
        }
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }

    // Reads INI text through QSettings on a file of a name never read before in this process
    // (QSettings keeps what it read of a file name, and may take that for the file).
    bool parse(const QTemporaryDir &dir, const QString &name, const QByteArray &text, QVariantMap *values,
               bool *damaged, QString *error)
    {
        const QString path = dir.filePath(name);
        if (!writeScratch(path, text, error))
            return false;
        QSettings settings(path, QSettings::IniFormat);
        if (damaged)
            *damaged = settings.status() == QSettings::FormatError;
        values->clear();
        for (const QString &key : settings.allKeys())
            values->insert(key, settings.value(key));
        return true;
    }

    bool sameValue(const QVariant &a, const QVariant &b)
    {
        return a == b || (a.canConvert<QString>() && b.canConvert<QString>() && a.toString() == b.toString());
    }

    QByteArray readFile(const QString &path, bool *ok, QString *error)
    {
        QFile file(path);
        *ok = true;
        if (!file.exists())
            return QByteArray();
        if (!file.open(QIODevice::ReadOnly)) {
            *ok = false;
            if (error)
                *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return QByteArray();
        }
        QByteArray data = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            *ok = false;
            if (error)
                *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        }
        return data;
    }

    const char kScratchPrefix[] = ".ini-";

    // A name QTemporaryDir gives from the pattern of privateDir().
    bool isScratchName(const QByteArray &name)
    {
        const int prefix = int(sizeof kScratchPrefix) - 1;
        if (name.size() != prefix + 6 || !name.startsWith(kScratchPrefix))
            return false;
        for (int i = prefix; i < name.size(); ++i) {
            const char c = name.at(i);
            if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
                return false;
        }
        return true;
    }

    // The names in the folder open as `fd` when it is a folder of this user's, "." and ".."
    // left out; false otherwise.
    bool ownFolderEntries(int fd, QList<QByteArray> *names)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            return false;
        return forEachEntryAt(fd, [names](const struct dirent &entry) {
            names->append(QByteArray(entry.d_name));
            return true;
        });
    }

    // Removes the scratch folder `name` in `dir` with the regular files of ours in it; false
    // when it is no folder of ours or something else stays in it.
    bool removeScratch(int dir, const QByteArray &name)
    {
        const int fd = ::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        QList<QByteArray> names;
        const bool own = ownFolderEntries(fd, &names);
        for (const QByteArray &entry : names) {
            struct stat st {};
            if (::fstatat(fd, entry.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
                && st.st_uid == ::geteuid())
                ::unlinkat(fd, entry.constData(), 0);
        }
        ::close(fd);
        return own && ::unlinkat(dir, name.constData(), AT_REMOVEDIR) == 0;
    }

    // A new folder of this user's alone for scratch copies: in `beside` (the settings file's own
    // private folder, so that the copies never leave it) or, without one, the temporary folder.
    QTemporaryDir *privateDir(const QString &beside, QString *error)
    {
        auto *dir = beside.isEmpty() ? new QTemporaryDir
                                     : new QTemporaryDir(beside + QLatin1Char('/') + QLatin1String(kScratchPrefix) + QStringLiteral("XXXXXX"));
        if (dir->isValid())
            return dir;
        if (error)
            *error = QStringLiteral("cannot create a private folder for the settings: %1").arg(dir->errorString());
        delete dir;
        return nullptr;
    }
}

QIniFile::QIniFile() = default;

QIniFile::QIniFile(const QString &path)
{
    setFile(path);
}

QIniFile::~QIniFile() = default;

void QIniFile::setFile(const QString &path)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_path.isEmpty() || path.isEmpty())
        return;
    m_path = path;
    bool ok = false;
    const QByteArray text = readFile(path, &ok, nullptr);
    if (text.isEmpty())
        return;
    std::unique_ptr<QTemporaryDir> dir(privateDir(QFileInfo(path).absolutePath(), nullptr));
    if (dir && parse(*dir, QStringLiteral("read.ini"), text, &m_values, &m_damaged, nullptr))
        return;
    // No room for a private copy: the file itself (it is only read).
    QSettings settings(path, QSettings::IniFormat);
    m_damaged = settings.status() == QSettings::FormatError;
    for (const QString &key : settings.allKeys())
        m_values.insert(key, settings.value(key));
}

void QIniFile::reopen(const QString &path)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_path.clear();
        m_damaged = false;
        m_values.clear();
        m_unsaved.clear();
    }
    setFile(path);
}

QString QIniFile::fileName() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path;
}

bool QIniFile::isDamaged() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_damaged;
}

bool QIniFile::sync(QString *error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_path.isEmpty() || m_unsaved.isEmpty() || saveLocked(error);
}

bool QIniFile::iniText(const QByteArray &text, const QVariantMap &changes, QByteArray *result, QString *error,
                       const QString &scratchFolder)
{
    std::unique_ptr<QTemporaryDir> dir(privateDir(scratchFolder, error));
    if (!dir)
        return false;
    // QSettings writes into a copy of the file (which keeps the order of its sections)...
    const QString staged = dir->filePath(QStringLiteral("write.ini"));
    if (!writeScratch(staged, text, error))
        return false;
    QVariantMap expected;
    {
        QSettings settings(staged, QSettings::IniFormat);
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            settings.setValue(it.key(), it.value());
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            if (error)
                *error = QStringLiteral("cannot write the settings: %1").arg(settings.status() == QSettings::AccessError
                                                                                   ? systemError(EACCES) : QStringLiteral("format error"));
            return false;
        }
        for (const QString &key : settings.allKeys())
            expected.insert(key, settings.value(key));
    }
    bool ok = false;
    const QByteArray written = readFile(staged, &ok, error);
    if (!ok)
        return false;
    // ...whose write is not checked to its end: what it wrote must read back whole.
    QVariantMap back;
    if (!parse(*dir, QStringLiteral("check.ini"), written, &back, nullptr, error))
        return false;
    bool whole = back.size() == expected.size() && (written.isEmpty() ? expected.isEmpty() : written.endsWith('\n'));
    for (auto it = expected.cbegin(); whole && it != expected.cend(); ++it)
        whole = back.contains(it.key()) && sameValue(back.value(it.key()), it.value());
    if (!whole) {
        if (error)
            *error = QStringLiteral("cannot write the settings: they were not written whole (is the disk of %1 full?)")
                         .arg(QDir::toNativeSeparators(QFileInfo(dir->path()).absolutePath()));
        return false;
    }
    *result = written;
    return true;
}

int QIniFile::sweepScratch(const QString &folder)
{
    const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 0;
    QList<QByteArray> names;
    int removed = 0;
    if (ownFolderEntries(dir, &names)) {
        for (const QByteArray &name : names)
            if (isScratchName(name) && removeScratch(dir, name))
                ++removed;
    }
    ::close(dir);
    return removed;
}

bool QIniFile::saveLocked(QString *error)
{
    bool ok = false;
    const QByteArray current = readFile(m_path, &ok, error);
    if (!ok)
        return false;
    QByteArray text;
    if (!iniText(current, m_unsaved, &text, error, QFileInfo(m_path).absolutePath()))
        return false;
    if (!QSafeFile::save(m_path, text, error))
        return false;
    m_unsaved.clear();
    return true;
}

bool QIniFile::setValue(const QString &section, const QString &key, const QVariant &value, QString *error)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_path.isEmpty())
        return false;
    const QString name = section + QLatin1Char('/') + key;
    m_values.insert(name, value);
    m_unsaved.insert(name, value);
    return saveLocked(error);
}

QVariant QIniFile::value(const QString &section, const QString &key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.value(section + QLatin1Char('/') + key);
}

int QIniFile::getInt(const QString &section, const QString &key, int def) const
{
    bool ok = false;
    const int v = value(section, key).toInt(&ok);
    return ok ? v : def;
}

QString QIniFile::getString(const QString &section, const QString &key, const QString &def) const
{
    const QVariant v = value(section, key);
    return v.isValid() ? v.toString() : def;
}

bool QIniFile::getBool(const QString &section, const QString &key, bool def) const
{
    const QVariant v = value(section, key);
    return v.isValid() ? v.toBool() : def;
}

float QIniFile::getFloat(const QString &section, const QString &key, float def) const
{
    bool ok = false;
    const float v = value(section, key).toFloat(&ok);
    return ok ? v : def;
}

qint64 QIniFile::getInt64(const QString &section, const QString &key, qint64 def) const
{
    bool ok = false;
    const qint64 v = value(section, key).toLongLong(&ok);
    return ok ? v : def;
}
