// Draws the create-course, rename, update (both forms) and about dialogs, a message box with a
// long error and one with a damaged file's notice, and a server video list into a folder, against the demo server. Run under a
// display, e.g.:
//   xvfb-run -a -s "-screen 0 1400x1000x24" build/tests/dialogshots docs/
// With UISHOTS_SCALE=1.25 the names end in "-125".
#include <QApplication>
#include <QLineEdit>

#include "qaboutdialog.h"
#include "qcreatecoursedialog.h"
#include "qmsgbox.h"
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
    const QString suffix = QUIScale::factor() > 1.0f ? QStringLiteral("-%1.png").arg(qRound(QUIScale::factor() * 100))
                                                     : QStringLiteral(".png");
    const auto shot = [&](const char *name) { return out + QString::fromLatin1(name) + suffix; };
    bool ok = true;
    {
        QCreateCourseDialog dialog;
        dialog.findChild<QLineEdit *>(QStringLiteral("editCourseName"))->setText(QStringLiteral("视频加密进阶"));
        ok = saveShot(&dialog, shot("createcourse")) && ok;
    }
    {
        QRenameDialog dialog(QStringLiteral("第一课 开篇.mp4"));
        ok = saveShot(&dialog, shot("rename")) && ok;
    }
    {
        QUpdateDialog dialog(true);
        dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/setup.exe"),
                       {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度"),
                        QStringLiteral("3、优化了大文件的加密速度，加密时间缩短约三成，同时修复了在部分电脑上选择文件夹后程序无响应的问题")});
        ok = saveShot(&dialog, shot("update")) && ok;
    }
    {
        QUpdateDialog dialog(false);
        dialog.setMessage(QStringLiteral("服务器维护中：版本检查暂时不可用，预计将于今晚二十二点恢复，请稍后再试。如有疑问请联系客服。"));
        ok = saveShot(&dialog, shot("update-none")) && ok;
    }
    {
        QMsgBox box;
        box.setType(1);
        box.setText(QStringLiteral("无法写入输出文件：\n/home/teacher/视频/2024 春季学期/第三单元/第十二课 复习与练习（上）.vep\n"
                                   "磁盘空间不足或没有写入权限。\n请检查后重试。"));
        ok = saveShot(&box, shot("msgbox-long")) && ok;
    }
    {
        // The notice of a damaged history at start: the path wraps as a whole.
        QMsgBox box;
        box.setType(1);
        box.setText(QStringLiteral("历史记录文件已损坏，原文件已另存为“/home/teacher/.local/share/vantrel/records.json.bad”。"));
        ok = saveShot(&box, shot("msgbox-notice")) && ok;
    }
    {
        QAboutDialog dialog;
        ok = saveShot(&dialog, shot("about")) && ok;
    }
    {
        env.signInDemo();
        ReplyRecorder recorder;
        QUser::instance()->getVideoFile(12, &recorder, "onTestReponse(bool, const QValue&, const QString&)");
        testsupport::waitUntil([&]() { return !recorder.replies.isEmpty(); }, 5000);
        QValue videos = recorder.replies.isEmpty() ? QValue() : recorder.replies.first().data;
        // A name that looks like markup is shown as the text it is.
        QValue marked;
        parseJson(QByteArray(R"({"video_name":"<b>week</b> 1.mp4","duration":"61","encrypted":"7"})"), marked);
        videos.append(marked);
        QVideoListWidget list;
        list.resize(QUIScale::scale(740), QUIScale::scale(160));
        for (int i = 0; i < jsonSize(videos); ++i)
        {
            auto *item = new QListWidgetItem();
            item->setSizeHint(QSize(QUIScale::scale(720), QUIScale::scale(40)));
            auto *row = new QItemVideoWidget();
            row->setData(jsonAt(videos, i));
            list.addItem(item);
            list.setItemWidget(item, row);
        }
        ok = saveShot(&list, shot("videolist")) && ok;
    }
    return ok ? 0 : 1;
}
