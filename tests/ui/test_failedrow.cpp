#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qconfiguredialog.h"
#include "qitemuploadwidget.h"
#include "qmainwidget.h"
#include "qrecords.h"
#include "quser.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uitestenv.h"

// The row of a real job that fails on the server and is retried, with one work-pool thread.
namespace
{
    class UiFailedRow : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_NE(env.server(), nullptr);
            env.signInDemo();
        }

        UiTestEnv env {true, 1};
    };
}

// A failed job writes its reason on its row (not only in a tool tip); a retry keeps the
// row's text and bar in line with a row that never failed.
TEST_F(UiFailedRow, ReasonOnTheRowAndRetryKeepsItInLine)
{
    Fault refuse;
    refuse.patch["code"] = 1;
    refuse.patch["msg"] = "授权码获取失败";
    refuse.count = 1;
    env.server()->setFault("Video/getAuthCode", refuse);
    QMainWidget window(nullptr);
    QWorkPool::instance()->start(1);
    window.show();
    const QString clip = env.tempDir() + QStringLiteral("lesson.mp4");
    ASSERT_TRUE(QFile::copy(testsupport::clipH264Mp4(), clip));
    {
        ModalAnswer answer([](QWidget *w) {
            return qobject_cast<QConfigureDialog *>(w) ? answerSettings(w, "radioFast") : clickButton(w, "btnOk");
        });
        ASSERT_TRUE(window.addFiles({clip}));
    }
    QListWidget *list = window.form().listWidgetUpload;
    ASSERT_EQ(list->count(), 1);
    QWidget *row = list->itemWidget(list->item(0));
    auto label = [row](const char *name) { return row->findChild<QLabel *>(QString::fromLatin1(name)); };
    ASSERT_TRUE(testsupport::waitUntil([&] { return label("labelTip")->text() == QStringLiteral("上传失败"); }, 60000))
        << label("labelTip")->text().toStdString();
    EXPECT_TRUE(label("labelUploadSize")->text().contains(QStringLiteral("授权码获取失败")))
        << label("labelUploadSize")->text().toStdString();
    EXPECT_TRUE(label("labelError")->toolTip().contains(QStringLiteral("授权码获取失败")));
    auto *bar = row->findChild<QProgressBar *>(QStringLiteral("progressBarUpload"));
    EXPECT_EQ(bar->text(), QStringLiteral("失败"));

    // Beside it in the same list, at its width.
    QItemUploadWidget fresh(nullptr, list->viewport());
    fresh.resize(row->size());
    fresh.show();
    // Laid out: the layout requests the show and the failure posted have been handled.
    QCoreApplication::sendPostedEvents();
    const auto place = [](QWidget *r, const char *name) {
        QWidget *w = r->findChild<QWidget *>(QString::fromLatin1(name));
        return w->mapTo(r, QPoint(0, 0));
    };
    row->findChild<QPushButton *>(QStringLiteral("btnReEncrypt"))->click();
    QCoreApplication::sendPostedEvents();
    for (const char *name : {"labelTip", "progressBarUpload", "labelError"})
        EXPECT_EQ(place(row, name), place(&fresh, name)) << name;
    EXPECT_FALSE(label("labelUploadSize")->text().contains(QStringLiteral("授权码获取失败")));
    EXPECT_NE(bar->text(), QStringLiteral("失败"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return label("labelTip")->text() == QStringLiteral("已完成"); }, 60000));
    QCoreApplication::sendPostedEvents();
    for (const char *name : {"labelTip", "progressBarUpload", "labelError"})
        EXPECT_EQ(place(row, name), place(&fresh, name)) << name;

    // Nothing of this test stays in the process-wide pool and history.
    QWorkPool::instance()->stop();
    QWorkPool::instance()->removeWork(qobject_cast<QItemUploadWidget *>(row)->id());
    QRecords::instance()->clear();
}
