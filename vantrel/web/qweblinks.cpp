#include "qweblinks.h"

#include "shell.h"

namespace QWebLinks
{
    QUrl page(const QString &host, const QString &path)
    {
        QString text = host;
        if (!text.contains(QLatin1String("://")))
            text.prepend(QStringLiteral("http://"));
        while (text.endsWith(QLatin1Char('/')))
            text.chop(1);
        return QUrl(text + (path.startsWith(QLatin1Char('/')) ? path : QLatin1Char('/') + path));
    }

    bool open(const QString &host, const QString &path)
    {
        return platform::openUrl(page(host, path));
    }
}
