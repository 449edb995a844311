// Draws the create-course, rename, update (both forms) and about dialogs and a server video list
// into a folder, against the demo server. Run under a display, e.g.:
//   xvfb-run -a -s "-screen 0 1400x1000x24" build/tests/dialogshots /tmp/shots/
#include <QApplication>
#include <QLineEdit>

#include "qaboutdialog.h"
#include "qcreatecoursedialog.h"
#include "qitemvideowidget.h"
#include "qrenamedialog.h"
#include "quiscale.h"
#include "qupdatedialog.h"
#include "quser.h"
#include "qvideolistwidget.h"
#include "replyrecorder.h"
#include "testsupport.h"
#include "uitestenv.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = shotFolder(argc, argv, QStringLiteral("/tmp/dialogshots/"));

    UiTestEnv env(true, 1);
    applyShotScale();
    bool ok = true;
    {
        QCreateCourseDialog dialog;
        dialog.findChild<QLineEdit *>(QStringLiteral("editCourseName"))->setText(QStringLiteral("视频加密进阶"));
        ok = saveShot(&dialog, out + QStringLiteral("createcourse.png")) && ok;
    }
    {
        QRenameDialog dialog(QStringLiteral("第一课 开篇.mp4"));
        ok = saveShot(&dialog, out + QStringLiteral("rename.png")) && ok;
    }
    {
        QUpdateDialog dialog(true);
        dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/setup.exe"),
                       {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度")});
        ok = saveShot(&dialog, out + QStringLiteral("update.png")) && ok;
    }
    {
        QUpdateDialog dialog(false);
        ok = saveShot(&dialog, out + QStringLiteral("update-none.png")) && ok;
    }
    {
        QAboutDialog dialog;
        ok = saveShot(&dialog, out + QStringLiteral("about.png")) && ok;
    }
    {
        env.signInDemo();
        ReplyRecorder recorder;
        QUser::instance()->getVideoFile(12, &recorder, "onTestReponse(bool, const QValue&, const QString&)");
        testsupport::waitUntil([&]() { return !recorder.replies.isEmpty(); }, 5000);
        const QValue videos = recorder.replies.isEmpty() ? QValue() : recorder.replies.first().data;
        QVideoListWidget list;
        list.resize(QUIScale::scale(740), QUIScale::scale(120));
        for (int i = 0; i < jsonSize(videos); ++i)
        {
            auto *item = new QListWidgetItem();
            item->setSizeHint(QSize(QUIScale::scale(720), QUIScale::scale(40)));
            auto *row = new QItemVideoWidget();
            row->setData(jsonAt(videos, i));
            list.addItem(item);
            list.setItemWidget(item, row);
        }
        ok = saveShot(&list, out + QStringLiteral("videolist.png")) && ok;
    }
    return ok ? 0 : 1;
}
