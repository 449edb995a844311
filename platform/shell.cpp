#include "shell.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>
#include <QWindow>

namespace platform
{
    bool showInFileManager(const QString &filePath)
    {
        const QFileInfo info(filePath);
        const QUrl fileUrl = QUrl::fromLocalFile(info.absoluteFilePath());

        QDBusConnection bus = QDBusConnection::sessionBus();
        const QString service = QStringLiteral("org.freedesktop.FileManager1");
        if (info.exists() && bus.isConnected() && bus.interface()
            && (bus.interface()->isServiceRegistered(service).value()
                || bus.interface()->activatableServiceNames().value().contains(service)))
        {
            QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                               service, QStringLiteral("ShowItems"));
            call << QStringList {fileUrl.toString()} << QString();
            const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
            if (reply.type() == QDBusMessage::ReplyMessage)
                return true;
        }
        return QDesktopServices::openUrl(QUrl::fromLocalFile(info.absolutePath()));
    }

    bool openUrl(const QUrl &url)
    {
        return QDesktopServices::openUrl(url);
    }

    void bringToFront(QWindow *window)
    {
        if (!window)
            return;
        window->raise();
        window->requestActivate();
    }
}
