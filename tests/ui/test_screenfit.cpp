// Windows fit the free area of a small screen: the main window and the dialogs at UI scale
// 1.25 (the offscreen screen is 800x600; with QT_SCALE_FACTOR=1.25 it is smaller still).
#include <QCoreApplication>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qaboutdialog.h"
#include "qconfiguredialog.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "quiscale.h"
#include "qupdatedialog.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    QRect freeArea()
    {
        return QGuiApplication::primaryScreen()->availableGeometry();
    }

    std::string describe(const QRect &r)
    {
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
    }
}

TEST(UiScreenFit, MainWindowOpensInsideTheScreenAtScale125)
{
    UiTestEnv env(true, 0);
    QUIScale::setFactor(1.25f);
    env.signInDemo();
    QMainWidget window;
    ASSERT_GT(window.height(), freeArea().height()) << "the window must be larger than the screen for this test";
    window.start();
    window.show();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return freeArea().contains(window.frameGeometry()); }, 5000))
        << describe(window.frameGeometry()) << " in " << describe(freeArea());
    // Still inside once whatever the first show started (a maximise) has run: the window
    // system's events queued by now and the events they post.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(freeArea().contains(window.frameGeometry())) << describe(window.frameGeometry());
    EXPECT_LE(window.minimumWidth(), freeArea().width());
    EXPECT_LE(window.minimumHeight(), freeArea().height());
    // The lists got the height the window lost, not the title bar or the tabs.
    EXPECT_EQ(window.form().frameTitle->height(), window.form().frameTitle->minimumHeight());
    EXPECT_GT(window.form().listWidgetUpload->parentWidget()->height(), 0);
    QUIScale::setFactor(1.0f);
}

// At the scale a 120 DPI screen of this size gets, the settings dialog fits the screen; a box
// it opens is centred on it.
TEST(UiScreenFit, DialogFitsAndItsMessageBoxIsCentredOnIt)
{
    UiTestEnv env(true, 0);
    QUIScale::setFactor(QUIScale::factorForScreen(120.0, freeArea().size()));
    env.signInDemo();
    // No course to choose: confirming then always asks for one. The dialog's search is
    // answered before the test confirms, so that no late answer picks a course meanwhile.
    Fault noCourses;
    noCourses.patch["data"] = Json::Value(Json::arrayValue);
    noCourses.count = 1;
    env.server()->setFault("Teacher/teacherVideoList", noCourses);
    QConfigureDialog dialog;
    env.deliverPendingReplies();
    ASSERT_EQ(env.server()->requests("Teacher/teacherVideoList").size(), 1u);
    auto *courses = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
    ASSERT_NE(courses, nullptr);
    if (dialog.width() > freeArea().width() || dialog.height() > freeArea().height())
        GTEST_SKIP() << "a screen smaller than the dialog's own design size";
    QRect dialogFrame;
    QRect boxFrame;
    QString boxText;
    ModalAnswer answer([&](QWidget *w) {
        if (w == &dialog)
        {
            if (!dialogFrame.isNull())
                return false;
            dialogFrame = dialog.frameGeometry();
            EXPECT_EQ(courses->count(), 0);
            EXPECT_EQ(courses->currentRow(), -1);
            // Confirming without a course asks for one, in a box of its own (opened once this
            // answer has returned).
            QTimer::singleShot(0, &dialog, [&dialog]() { clickButton(&dialog, "btnOk"); });
            return false;
        }
        boxFrame = w->frameGeometry();
        boxText = messageText(w);
        clickButton(w, "btnOk");
        QTimer::singleShot(0, &dialog, [&dialog]() { dialog.reject(); });
        return true;
    });
    EXPECT_EQ(dialog.execInFront(), 0);
    ASSERT_FALSE(dialogFrame.isNull());
    EXPECT_TRUE(freeArea().contains(dialogFrame)) << describe(dialogFrame) << " in " << describe(freeArea());
    ASSERT_FALSE(boxFrame.isNull());
    EXPECT_EQ(boxText, QStringLiteral("请先选择视频所属的课程！"));
    EXPECT_LE((boxFrame.center() - dialogFrame.center()).manhattanLength(), 2)
        << describe(boxFrame) << " over " << describe(dialogFrame);
    QUIScale::setFactor(1.0f);
}
