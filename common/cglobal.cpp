#include "cglobal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include "commonfun.h"
#include "logger.h"

namespace
{
    QString g_dataPath;
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
    makePrivateFolder(g_dataPath);
    g_currentPath = withSlash(QDir::currentPath());
    g_appPath = QCoreApplication::instance()
        ? withSlash(QCoreApplication::applicationDirPath())
        : g_currentPath;
    g_configFile = g_dataPath + QStringLiteral("config.ini");
    g_logPath = g_dataPath + QStringLiteral("log/");
    makePrivateFolder(g_logPath);
    g_slicePath = g_dataPath + QStringLiteral("slice/");
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
    return (st.st_mode & 077) == 0 || ::chmod(native.constData(), st.st_mode & 0700) == 0;
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
