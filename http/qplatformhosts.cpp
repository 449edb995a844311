#include "qplatformhosts.h"

#include <QCoreApplication>
#include <QSettings>

#include "qappsetting.h"

namespace
{
    // "http://name:port/" or " name:port " as typed: keep the host and port only.
    QString normalized(QString value)
    {
        value = value.trimmed();
        if (value.startsWith(QLatin1String("http://"), Qt::CaseInsensitive))
            value = value.mid(7);
        while (value.endsWith(QLatin1Char('/')))
            value.chop(1);
        return value;
    }
}

QString QPlatformHosts::defaultHost()
{
    return QStringLiteral("127.0.0.1:18480");
}

QString QPlatformHosts::host(const char *iniKey, const char *envName)
{
    const QString env = normalized(QString::fromLocal8Bit(qgetenv(envName)));
    if (!env.isEmpty())
        return env;

    QString value;
    QAppSetting *setting = QAppSetting::instance();
    if (!setting->fileName().isEmpty())
        value = setting->getString(QStringLiteral("config"), QString::fromLatin1(iniKey));
    else if (QCoreApplication::instance())
    {
        // Start-up has not pointed the settings at "start.ini" yet: read it where it will be.
        const QSettings ini(QCoreApplication::applicationDirPath() + QStringLiteral("/start.ini"), QSettings::IniFormat);
        value = ini.value(QStringLiteral("config/") + QString::fromLatin1(iniKey)).toString();
    }
    value = normalized(value);
    return value.isEmpty() ? defaultHost() : value;
}

QString QPlatformHosts::apiHost()
{
    return host("api_host", "VANTREL_API_HOST");
}

QString QPlatformHosts::webHost()
{
    return host("web_host", "VANTREL_WEB_HOST");
}

QString QPlatformHosts::siteHost()
{
    return host("site_host", "VANTREL_SITE_HOST");
}

QString QPlatformHosts::docsHost()
{
    return host("docs_host", "VANTREL_DOCS_HOST");
}

QString QPlatformHosts::uploadHost()
{
    return host("upload_host", "VANTREL_UPLOAD_HOST");
}

QString QPlatformHosts::apiBaseUrl()
{
    return QStringLiteral("http://") + apiHost() + QStringLiteral("/");
}
