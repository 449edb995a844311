#include "cglobal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include "commonfun.h"
#include "logger.h"
#include "qsafefile.h"

namespace
{
    QString g_dataPath;
    bool g_dataPrivate = false;
    QString g_currentPath;
    QString g_appPath;
    QString g_configFile;
    QString g_logPath;
    QString g_slicePath;
    int g_buildDate = 0;
    QString g_systemName;
    float g_scaleFactor = 1.0f;

    QString withSlash(QString path)
    {
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        return path;
    }

    // True when group `gid` is provably this user's alone: the user's own primary group, named
    // as the user (a user-private group), listing no one else, and no other account has it as
    // its primary group. A group whose members can't be known is another user's.
    bool groupIsOwnAlone(gid_t gid)
    {
        const uid_t self = ::geteuid();
        const struct passwd *me = ::getpwuid(self);
        if (!me || me->pw_gid != gid)
            return false;
        const QByteArray myName(me->pw_name);
        const struct group *g = ::getgrgid(gid);
        if (!g || myName.isEmpty() || myName != g->gr_name)
            return false;
        for (char **member = g->gr_mem; member && *member; ++member)
            if (myName != *member)
                return false;
        bool others = false;
        ::setpwent();
        while (const struct passwd *user = ::getpwent()) {
            if (user->pw_gid == gid && user->pw_uid != self) {
                others = true;
                break;
            }
        }
        ::endpwent();
        return !others;
    }

    // A folder in which no one but root and this user can rename or replace an entry.
    bool isSteadyFolder(const struct stat &st)
    {
        if (st.st_uid != 0 && st.st_uid != ::geteuid())
            return false;
        if (st.st_mode & S_ISVTX)
            return true;
        if (st.st_mode & S_IWOTH)
            return false;
        return !(st.st_mode & S_IWGRP) || groupIsOwnAlone(st.st_gid);
    }

    // Every folder above `native` (an absolute path), along the path as written and along
    // the one its links lead to, is steady, and no link on the way belongs to another user:
    // then no one else can put another folder in its place.
    bool cannotBeRedirected(const QByteArray &native)
    {
        char *resolved = ::realpath(native.constData(), nullptr);
        if (!resolved)
            return false;
        const QByteArray real(resolved);
        std::free(resolved);
        for (const QByteArray &path : {native, real}) {
            QByteArray prefix;
            const QList<QByteArray> parts = path.split('/');
            for (int i = 0; i < parts.size(); ++i) {
                if (parts.at(i).isEmpty())
                    continue;
                const QByteArray parent = prefix.isEmpty() ? QByteArray("/") : prefix;
                struct stat st;
                if (::stat(parent.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || !isSteadyFolder(st))
                    return false;
                prefix += '/' + parts.at(i);
                if (::lstat(prefix.constData(), &st) != 0)
                    return false;
                if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != ::geteuid())
                    return false;
            }
        }
        return true;
    }

    // Creates the folder with its parents, private to this user. A folder that is already
    // there keeps its attributes.
    void makePrivateDir(const QString &path)
    {
        if (QFileInfo(path).isDir())
            return;
        if (QDir().mkpath(path))
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
}

void CGlobal::init()
{
    initPath();
    if (!g_dataPrivate) {
        // Nothing is read from or written to a folder someone else can change.
        initBuildDate();
        initSystemName();
        return;
    }
    sth::logger::instance()->start(g_logPath.toStdWString());
    CommonFun::initSettings(g_configFile);
    QFile::setPermissions(g_configFile, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    initBuildDate();
    initSystemName();
}

void CGlobal::uninit()
{
    CommonFun::releaseSettings();
    sth::logger::instance()->stop();
}

void CGlobal::initPath()
{
    g_dataPath = defaultDataPath();
    g_dataPrivate = makePrivateFolder(g_dataPath);
    g_currentPath = withSlash(QDir::currentPath());
    g_appPath = QCoreApplication::instance()
        ? withSlash(QCoreApplication::applicationDirPath())
        : g_currentPath;
    g_configFile = g_dataPath + QStringLiteral("config.ini");
    g_logPath = g_dataPath + QStringLiteral("log/");
    g_slicePath = g_dataPath + QStringLiteral("slice/");
    if (!g_dataPrivate)
        return;
    makePrivateFolder(g_logPath);
    makePrivateDir(g_slicePath);
}

QString CGlobal::defaultDataPath()
{
    const QByteArray own = qgetenv("VANTREL_DATA_DIR");
    if (!own.isEmpty())
        return withSlash(QDir::cleanPath(QFile::decodeName(own)));
    const QByteArray xdg = qgetenv("XDG_DATA_HOME");
    if (!xdg.isEmpty() && xdg.startsWith('/'))
        return withSlash(QDir::cleanPath(QFile::decodeName(xdg))) + QStringLiteral("vantrel/");
    return withSlash(QDir::homePath()) + QStringLiteral(".local/share/vantrel/");
}

QString CGlobal::defaultLogPath()
{
    return defaultDataPath() + QStringLiteral("log/");
}

bool CGlobal::makePrivateFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    // Missing levels are made 0700 one by one, so none is ever open to others.
    for (int at = native.indexOf('/', 1); ; at = native.indexOf('/', at + 1))
    {
        const QByteArray level = at < 0 ? native : native.left(at);
        struct stat st;
        if (::mkdir(level.constData(), 0700) != 0 && errno != EEXIST
            && (::stat(level.constData(), &st) != 0 || !S_ISDIR(st.st_mode)))
            return false;
        if (at < 0)
            break;
    }
    struct stat st;
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return false;
    if (!cannotBeRedirected(native))
        return false;
    return (st.st_mode & 077) == 0 || ::chmod(native.constData(), st.st_mode & 0700) == 0;
}

bool CGlobal::dataPathIsPrivate()
{
    return g_dataPrivate;
}

QString CGlobal::dataPath()
{
    return g_dataPath;
}

QString CGlobal::currentPath()
{
    return g_currentPath;
}

QString CGlobal::appPath()
{
    return g_appPath;
}

QString CGlobal::configFile()
{
    return g_configFile;
}

QString CGlobal::logPath()
{
    return g_logPath;
}

QString CGlobal::slicePath()
{
    return g_slicePath;
}

int CGlobal::buildDate()
{
    if (g_buildDate == 0)
        initBuildDate();
    return g_buildDate;
}

QString CGlobal::systemName()
{
    return g_systemName;
}

float CGlobal::scaleFactor()
{
    return g_scaleFactor;
}

int CGlobal::parseBuildDate(const char *date)
{
    if (!date)
        return 0;
    char month[8] = {};
    int day = 0;
    int year = 0;
    if (std::sscanf(date, "%3s %d %d", month, &day, &year) != 3 || std::strlen(month) != 3)
        return 0;
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *at = std::strstr(months, month);
    if (!at || (at - months) % 3 != 0)
        return 0;
    const int m = 13 - static_cast<int>(std::strlen(at)) / 3;
    if (day < 1 || day > 31 || year < 1970)
        return 0;
    return year * 10000 + m * 100 + day;
}

void CGlobal::initBuildDate()
{
    g_buildDate = parseBuildDate(__DATE__);
}

void CGlobal::initSystemName()
{
    g_systemName = QSysInfo::prettyProductName();
}

namespace
{
    const QString kUrlHandlerEntry = QStringLiteral("vantrel-ostrelhelper.desktop");
    const QByteArray kUrlMimeType = QByteArrayLiteral("x-scheme-handler/ostrelhelper");

    // An XDG base folder (ends with "/"): the variable when it holds an absolute path, else
    // the default under the home folder.
    QString xdgBaseDir(const char *variable, const QString &homeDefault)
    {
        const QByteArray value = qgetenv(variable);
        if (!value.isEmpty() && value.startsWith('/'))
            return withSlash(QDir::cleanPath(QFile::decodeName(value)));
        return withSlash(QDir::homePath()) + homeDefault;
    }

    // One argument of a desktop entry's Exec key, before the escapes of a string value:
    // quoted when it holds a reserved character, with '"', '`', '$' and '\\' escaped inside
    // the quotes; '%' is doubled everywhere (it starts field codes).
    QString execArgument(const QString &argument)
    {
        static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
        bool quote = argument.isEmpty();
        QString quoted;
        for (const QChar c : argument) {
            if (reserved.contains(c))
                quote = true;
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            if (c == QLatin1Char('%'))
                quoted += QLatin1Char('%');
            quoted += c;
        }
        if (!quote)
            return QString(argument).replace(QLatin1Char('%'), QStringLiteral("%%"));
        return QLatin1Char('"') + quoted + QLatin1Char('"');
    }

    // The escapes of a desktop entry's string value.
    QString escapeStringValue(const QString &text)
    {
        QString escaped;
        for (const QChar c : text) {
            switch (c.unicode()) {
            case '\\': escaped += QStringLiteral("\\\\"); break;
            case '\n': escaped += QStringLiteral("\\n"); break;
            case '\t': escaped += QStringLiteral("\\t"); break;
            case '\r': escaped += QStringLiteral("\\r"); break;
            default: escaped += c;
            }
        }
        return escaped;
    }

    // "mimeapps.list" with `key=value` in its "[Default Applications]" group: an existing
    // line of that key is replaced, else the line is added at the end of the group (the
    // group is added when missing). Every other line stays as it is.
    QByteArray withDefaultApplication(const QByteArray &list, const QByteArray &key, const QByteArray &value)
    {
        const QByteArray entry = key + '=' + value;
        QList<QByteArray> lines = list.split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        int group = -1;
        int lastInGroup = -1;
        for (int i = 0; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            if (line.startsWith('[')) {
                if (group >= 0)
                    break;
                if (line == "[Default Applications]")
                    group = lastInGroup = i;
                continue;
            }
            if (group < 0 || line.isEmpty() || line.startsWith('#'))
                continue;
            lastInGroup = i;
            const int equals = line.indexOf('=');
            if (equals > 0 && line.left(equals).trimmed() == key) {
                if (line == entry)
                    return list;
                lines[i] = entry;
                return lines.join('\n') + '\n';
            }
        }
        if (group < 0) {
            if (!lines.isEmpty() && !lines.last().trimmed().isEmpty())
                lines.append(QByteArray());
            lines.append(QByteArrayLiteral("[Default Applications]"));
            lines.append(entry);
        } else {
            lines.insert(lastInGroup + 1, entry);
        }
        return lines.join('\n') + '\n';
    }

    // Replaces the file atomically with `data`, unless it holds exactly that already.
    bool writeIfChanged(const QString &path, const QByteArray &data)
    {
        QFile current(path);
        if (current.open(QIODevice::ReadOnly) && current.readAll() == data)
            return true;
        current.close();
        // The desktop reads these files as any other of the user's: they keep their mode.
        struct stat st {};
        const int mode = ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : 0644;
        QString error;
        if (QSafeFile::save(path, data, &error, mode))
            return true;
        LOG_ERROR(error);
        return false;
    }
}

bool CGlobal::registerUrlProtocol()
{
    QString program = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (program.endsWith(QStringLiteral(" (deleted)")))
        program.chop(10);
    return registerUrlProtocol(program);
}

bool CGlobal::registerUrlProtocol(const QString &program)
{
    if (!program.startsWith(QLatin1Char('/')))
        return false;
    // The launcher looks for the program under its name before it expands "%%": a program
    // path with "%" is handed to the shell as an argument, where it is expanded.
    const QString command = program.contains(QLatin1Char('%'))
        ? QStringLiteral("/bin/sh -c %1 %2").arg(execArgument(QStringLiteral("exec \"$0\" \"$@\"")), execArgument(program))
        : execArgument(program);
    const QString entry = QStringLiteral(
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=OstrelProtocol\n"
        "Exec=%1 %u\n"
        "MimeType=%2;\n"
        "NoDisplay=true\n"
        "Terminal=false\n").arg(escapeStringValue(command), QString::fromLatin1(kUrlMimeType));
    const QString applications = xdgBaseDir("XDG_DATA_HOME", QStringLiteral(".local/share/")) + QStringLiteral("applications/");
    if (!writeIfChanged(applications + kUrlHandlerEntry, entry.toUtf8())) {
        LOG_ERROR(L"cannot write the URL handler entry in %s", applications);
        return false;
    }

    const QString listPath = xdgBaseDir("XDG_CONFIG_HOME", QStringLiteral(".config/")) + QStringLiteral("mimeapps.list");
    QFile listFile(listPath);
    QByteArray list;
    if (listFile.exists()) {
        // An unreadable list is never replaced: the user's other defaults are in it.
        if (!listFile.open(QIODevice::ReadOnly)) {
            LOG_ERROR(L"cannot read %s", listPath);
            return false;
        }
        list = listFile.readAll();
        listFile.close();
    }
    const QByteArray updated = withDefaultApplication(list, kUrlMimeType, kUrlHandlerEntry.toUtf8() + ';');
    if (updated != list && !writeIfChanged(listPath, updated)) {
        LOG_ERROR(L"cannot write %s", listPath);
        return false;
    }
    return true;
}
