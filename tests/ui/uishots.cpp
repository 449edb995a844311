// Draws the screenshots of docs/: the sign-in dialog, the main window (upload and record
// pages) and the settings dialog (both pages), against the demo server with a real job.
// Run under a display, e.g.: xvfb-run -a -s "-screen 0 1400x1000x24" build/tests/uishots docs/
// With UISHOTS_SCALE=1.25 the names end in "-125". XDG_RUNTIME_DIR must name a private folder
// (the job pipes live there).
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include "qconfiguredialog.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qrecords.h"
#include "quiscale.h"
#include "qworkpool.h"
#include "platformserver.h"
#include "testsupport.h"
#include "uitestenv.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = shotFolder(argc, argv, QStringLiteral("docs/"));

    UiTestEnv env(true, 1);
    applyShotScale();
    const QString suffix = QUIScale::factor() > 1.0f ? QStringLiteral("-%1.png").arg(qRound(QUIScale::factor() * 100))
                                                     : QStringLiteral(".png");
    const auto shot = [&](const char *name) { return out + QString::fromLatin1(name) + suffix; };
    bool ok = true;
    {
        QLoginDialog login;
        login.findChild<QLineEdit *>(QStringLiteral("editUser"))->setText(QStringLiteral("demo"));
        ok = saveShot(&login, shot("signin")) && ok;
    }
    {
        // Signing in again after the sign-in was lost, against a server that is slow to answer.
        QLoginDialog login;
        login.setNotice(QStringLiteral("登录已失效，请重新登录"));
        login.findChild<QLineEdit *>(QStringLiteral("editUser"))->setText(QStringLiteral("demo"));
        login.findChild<QLineEdit *>(QStringLiteral("editPwd"))->setText(QStringLiteral("demo123"));
        ok = saveShot(&login, shot("signin-lost")) && ok;
        Fault slow;
        slow.delayMs = 3000;
        slow.count = 1;
        env.server()->setFault("Login/login", slow);
        login.findChild<QPushButton *>(QStringLiteral("btnLogin"))->click();
        ok = saveShot(&login, shot("signin-waiting")) && ok;
        testsupport::waitUntil([&]() { return !login.isWaiting(); }, 10000);
    }

    env.signInDemo();
    const QString source = env.tempDir() + QStringLiteral("第一课 开篇.mp4");
    QFile::copy(testsupport::clipH264Mp4(), source);
    const QString second = env.tempDir() + QStringLiteral("lesson-2.mp4");
    QFile::copy(testsupport::clipMpeg4Avi(), second);

    // The settings dialog on its own: course page, then mode page.
    {
        QConfigureDialog dialog;
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
        dialog.show();
        testsupport::waitUntil([&]() { return list->count() > 0; }, 5000);
        list->setCurrentRow(0);
        ok = saveShot(&dialog, shot("settings-course")) && ok;
        dialog.findChild<QPushButton *>(QStringLiteral("btnNext"))->click();
        ok = saveShot(&dialog, shot("settings-mode")) && ok;
    }
    // A course made in the settings dialog: the dialog waits for it, then it is the chosen one.
    {
        QConfigureDialog dialog;
        auto *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
        dialog.show();
        testsupport::waitUntil([&]() { return list->count() > 0; }, 5000);
        Fault slow;
        slow.delayMs = 3000;
        slow.count = 1;
        env.server()->setFault("Video/CreateVideo", slow);
        ModalAnswer answer([&](QWidget *w) {
            if (auto *edit = w->findChild<QLineEdit *>(QStringLiteral("editCourseName")))
            {
                edit->setText(QStringLiteral("高一数学 第三单元 函数的单调性与最值（含例题精讲、课堂练习与课后作业讲评）"));
                return clickButton(w, "btnOk");
            }
            return false;
        });
        dialog.findChild<QPushButton *>(QStringLiteral("btnCreateCourse"))->click();
        testsupport::waitUntil([&]() { return dialog.isCreatingCourse(); }, 5000);
        ok = saveShot(&dialog, shot("settings-creating")) && ok;
        testsupport::waitUntil([&]() { return !dialog.isCreatingCourse(); }, 10000);
        ok = saveShot(&dialog, shot("settings-created")) && ok;
    }

    QMainWidget window;
    window.start();
    window.show();
    // Answers the settings dialog of each batch: first course, fast mode.
    ModalAnswer answer([](QWidget *w) {
        if (!qobject_cast<QConfigureDialog *>(w))
            return clickButton(w, "btnOk");
        return answerSettings(w, "radioFast");
    });
    ok = saveShot(&window, shot("mainwindow-empty")) && ok;
    window.addFiles({source});
    auto *uploads = window.form().listWidgetUpload;
    testsupport::waitUntil([&]() {
        QWidget *row = uploads->count() ? uploads->itemWidget(uploads->item(0)) : nullptr;
        return row && row->findChild<QLabel *>(QStringLiteral("labelTip"))->text() == QStringLiteral("已完成");
    }, 60000);
    // A third job fails (the server refuses its key): its row says why.
    const QString third = env.tempDir() + QStringLiteral("第三课.mp4");
    QFile::copy(testsupport::clipH264Mp4(), third);
    Fault refuse;
    refuse.patch["code"] = 1;
    refuse.patch["msg"] = "授权码获取失败：课程已下架";
    refuse.count = 1;
    env.server()->setFault("Video/getAuthCode", refuse);
    window.addFiles({third});
    testsupport::waitUntil([&]() {
        QWidget *row = uploads->count() ? uploads->itemWidget(uploads->item(0)) : nullptr;
        return row && row->findChild<QLabel *>(QStringLiteral("labelTip"))->text() == QStringLiteral("上传失败");
    }, 60000);
    // A second job and one of a long name stay in the queue for the picture: the pool is
    // stopped first.
    const QString longName = env.tempDir() + QStringLiteral("第三单元 函数的单调性与最值（含例题精讲、课堂练习与课后作业讲评）第二讲 完整版 2026 秋季学期.mp4");
    QFile::copy(testsupport::clipH264Mp4(), longName);
    QWorkPool::instance()->stop();
    window.addFiles({second, longName});
    // What the pool reports for one finished and two waiting jobs (the failed one left out),
    // had it not been stopped.
    window.onUploadProgress(33);
    ok = saveShot(&window, shot("mainwindow")) && ok;
    // A video of a long name finished too: its record row cuts the name to its column.
    const QString longOutput = env.tempDir() + QStringLiteral("第三单元 函数的单调性与最值（含例题精讲、课堂练习与课后作业讲评）第二讲 完整版 2026 秋季学期.vep");
    QFile::copy(testsupport::clipH264Mp4(), longOutput);
    QRecords::instance()->addRecord(longOutput, 8);
    window.form().btnTabRecord->click();
    testsupport::waitUntil([&]() { return window.form().listWidgetRecord->count() > 1; }, 5000);
    ok = saveShot(&window, shot("mainwindow-records")) && ok;
    return ok ? 0 : 1;
}
