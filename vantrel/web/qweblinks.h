#pragma once

#include <QString>
#include <QUrl>

// Pages of the platform's web hosts that the windows open in the browser.
namespace QWebLinks
{
    // "http://" + host + path; the host is "name:port" as QPlatformHosts gives it.
    QUrl page(const QString &host, const QString &path);
    // Opens the page in the user's browser.
    bool open(const QString &host, const QString &path);
}
