#pragma once

#include <QString>

class QUrl;
class QWindow;

// Desktop shell services: show a file in the file manager, open a web page, raise a window.
namespace platform
{
    // Asks the file manager (freedesktop FileManager1.ShowItems over the session D-Bus) to show
    // the file selected; falls back to opening its folder. False when neither could be asked.
    bool showInFileManager(const QString &filePath);
    // Opens a URL in the user's browser.
    bool openUrl(const QUrl &url);
    // Raises the window and asks for the keyboard focus.
    void bringToFront(QWindow *window);
}
