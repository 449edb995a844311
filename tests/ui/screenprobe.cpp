// Opens every window of the program as it opens for a user, on the display it is given and
// with the UI scale the program picks at start-up, and prints one JSON line per window: its
// title, its frame, the free area of its screen and every visible button, in screen
// coordinates. Run by the screen-scale test under Xvfb; exits 0 when every window was shown.
#include <cstdio>

#include <QAbstractButton>
#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QWindow>

#include "qaboutdialog.h"
#include "qconfiguredialog.h"
#include "qcreatecoursedialog.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "qrenamedialog.h"
#include "quiscale.h"
#include "qupdatedialog.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    QJsonArray rect(const QRect &r)
    {
        return QJsonArray {r.x(), r.y(), r.width(), r.height()};
    }

    // Shows the window as the program does (not modal: nothing answers here), waits until the
    // display has it in place, and prints what it shows.
    bool probe(const char *name, QWidget *window)
    {
        window->show();
        const bool shown = testsupport::waitUntil(
            [&]() { return window->isVisible() && window->windowHandle() && window->windowHandle()->isExposed(); }, 10000);
        // Whatever the show started (a placement, a resize) has run once the queue is empty.
        QCoreApplication::processEvents();
        QJsonObject line;
        line[QStringLiteral("window")] = QString::fromLatin1(name);
        line[QStringLiteral("shown")] = shown;
        line[QStringLiteral("title")] = window->windowTitle();
        line[QStringLiteral("frame")] = rect(window->frameGeometry());
        QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
        line[QStringLiteral("screen")] = rect(screen->availableGeometry());
        line[QStringLiteral("factor")] = static_cast<double>(QUIScale::factor());
        QJsonArray buttons;
        for (QAbstractButton *button : window->findChildren<QAbstractButton *>())
        {
            if (!button->isVisibleTo(window))
                continue;
            QJsonObject b;
            b[QStringLiteral("name")] = button->objectName();
            b[QStringLiteral("text")] = button->text();
            b[QStringLiteral("rect")] = rect(QRect(button->mapToGlobal(QPoint(0, 0)), button->size()));
            // What of it its parents leave open (a button may be cut off inside its window).
            b[QStringLiteral("open")] = rect(button->visibleRegion().boundingRect().translated(button->mapToGlobal(QPoint(0, 0))));
            buttons.append(b);
        }
        line[QStringLiteral("buttons")] = buttons;
        std::printf("%s\n", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        window->hide();
        return shown;
    }
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    UiTestEnv env(true, 0);
    // As the program's start-up picks it: from the screen's DPI and free area.
    QUIScale::init();
    env.signInDemo();
    bool ok = true;
    {
        QLoginDialog dialog;
        ok = probe("login", &dialog) && ok;
    }
    {
        QConfigureDialog dialog;
        ok = probe("settings-course", &dialog) && ok;
        dialog.onBtnNext();
        ok = probe("settings-mode", &dialog) && ok;
    }
    {
        QCreateCourseDialog dialog;
        ok = probe("createcourse", &dialog) && ok;
    }
    {
        QRenameDialog dialog(QStringLiteral("第一课 开篇.mp4"));
        ok = probe("rename", &dialog) && ok;
    }
    {
        QMsgBox box;
        box.setType(3);
        box.setText(QStringLiteral("无法写入输出文件：\n/home/teacher/视频/2024 春季学期/第三单元/一个很长很长的文件夹名字_without_spaces_0123456789/"
                                   "第十二课 复习与练习（上）.vep\n磁盘空间不足或没有写入权限。\n请检查后重试。"));
        ok = probe("msgbox", &box) && ok;
    }
    {
        QUpdateDialog dialog(true);
        dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/setup.exe"),
                       {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度")});
        ok = probe("update", &dialog) && ok;
    }
    {
        QUpdateDialog dialog(false);
        ok = probe("update-none", &dialog) && ok;
    }
    {
        QAboutDialog dialog;
        ok = probe("about", &dialog) && ok;
    }
    {
        QMainWidget window;
        window.start();
        ok = probe("mainwindow", &window) && ok;
    }
    return ok ? 0 : 1;
}
