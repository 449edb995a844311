// The titles the task list and the window switcher show: the program's own Chinese titles,
// never a class or object name.
#include <functional>
#include <memory>

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QWindow>

#include <gtest/gtest.h>

#include "qaboutdialog.h"
#include "qconfiguredialog.h"
#include "qcreatecoursedialog.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "qrenamedialog.h"
#include "qupdatedialog.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    // A title that reads like a name in code: one word of Latin letters, digits and "_".
    bool looksLikeCode(const QString &title)
    {
        static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
        return identifier.match(title).hasMatch();
    }
}

TEST(UiWindowTitles, EveryWindowHasItsOwnChineseTitle)
{
    UiTestEnv env;
    env.signInDemo();
    struct Case
    {
        const char *what;
        std::function<QWidget *()> make;
        QString title;
        // The title bar drawn inside says the same (the sign-in dialog shows the product there).
        bool sameAsLabel;
    };
    const Case cases[] = {
        {"main window", [] { return new QMainWidget(nullptr); }, QStringLiteral("Tarvex视频加密系统"), false},
        {"sign-in", [] { return new QLoginDialog(nullptr); }, QStringLiteral("Tarvex视频加密系统"), false},
        {"settings", [] { return new QConfigureDialog(nullptr); }, QStringLiteral("上传视频设置"), true},
        {"create course", [] { return new QCreateCourseDialog(nullptr); }, QStringLiteral("创建课程"), true},
        {"rename", [] { return new QRenameDialog(QStringLiteral("a.mp4"), nullptr); }, QStringLiteral("重命名"), true},
        {"message box", [] { return new QMsgBox(nullptr); }, QStringLiteral("系统提示"), true},
        {"update, new version", [] { return new QUpdateDialog(true, nullptr); }, QStringLiteral("检查更新"), true},
        {"update, none", [] { return new QUpdateDialog(false, nullptr); }, QStringLiteral("检查更新"), true},
        {"about", [] { return new QAboutDialog(nullptr); }, QStringLiteral("关于"), true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        std::unique_ptr<QWidget> window(c.make());
        window->show();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return window->windowHandle() != nullptr; }, 5000));
        const QString title = window->windowHandle()->title();
        EXPECT_EQ(title.toStdString(), c.title.toStdString());
        EXPECT_FALSE(looksLikeCode(title)) << title.toStdString();
        if (c.sameAsLabel)
        {
            auto *label = window->findChild<QLabel *>(QStringLiteral("labelTitle"));
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->text().toStdString(), title.toStdString());
        }

        // Every other top-level window open with it (menus and tips aside) is titled too.
        for (QWidget *other : QApplication::topLevelWidgets())
        {
            const Qt::WindowType type = other->windowType();
            if (!other->isVisible() || type == Qt::Popup || type == Qt::ToolTip)
                continue;
            EXPECT_FALSE(other->windowTitle().isEmpty()) << other->metaObject()->className();
            EXPECT_FALSE(looksLikeCode(other->windowTitle())) << other->windowTitle().toStdString();
        }
        window->hide();
    }
}
