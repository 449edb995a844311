#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qconfiguredialog.h"
#include "qitemvideowidget.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "qtutils.h"
#include "quihelper.h"
#include "quser.h"
#include "qvideolistwidget.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    const qint64 kTwoPow31 = qint64(1) << 31;

    // The names of a course's videos on the server.
    QStringList serverNames(PlatformServer *server, int courseId)
    {
        QStringList result;
        for (const auto &course : server->courses())
            if (jsonInt(course["id"]) == courseId)
                for (const auto &video : course["videos"])
                    result << asQString(video["video_name"]);
        return result;
    }

    QStringList rowNames(QListWidget *list)
    {
        QStringList result;
        for (int i = 0; i < list->count(); ++i)
            if (auto *row = qobject_cast<QItemVideoWidget *>(list->itemWidget(list->item(i))))
                result << row->name();
        return result;
    }

    Fault delayed(int ms)
    {
        Fault fault;
        fault.delayMs = ms;
        fault.count = 1;
        return fault;
    }

    // A clock the test moves by hand; the real one is back when it goes.
    class ManualClock
    {
    public:
        explicit ManualClock(qint64 start)
            : m_now(start)
        {
            QUiHelper::setClock([this]() { return m_now; });
        }
        ~ManualClock() { QUiHelper::setClock(nullptr); }
        void set(qint64 now) { m_now = now; }
        void advance(qint64 ms) { m_now += ms; }

    private:
        qint64 m_now;
    };

    class UiReplies : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_NE(env.server(), nullptr);
            env.signInDemo();
        }
        void TearDown() override
        {
            // Replies still under way land here, not in the next test.
            env.deliverPendingReplies();
            QUiHelper::setClock(nullptr);
            QUser::instance()->setTeacherId(0);
            QUser::instance()->setToken(QString(), QString());
        }

        size_t searches() const { return env.server()->requests("Teacher/teacherVideoList").size(); }

        UiTestEnv env;
    };
}

// The throttle works the same whatever the clock reads, also at and past 2^31 ms (24.8 days
// of uptime), where a signed 32-bit difference turns negative: the first search always runs.
TEST(UiClock, ThrottleAtAnyClockValue)
{
    const qint64 starts[] = {0, 1, 499, kTwoPow31 - 1, kTwoPow31, kTwoPow31 + 1, (qint64(1) << 32) - 100, qint64(1) << 32,
                             qint64(1) << 40};
    for (const qint64 start : starts)
    {
        SCOPED_TRACE(start);
        ManualClock clock(start);
        QUiHelper::LastRun last;
        EXPECT_TRUE(QUiHelper::throttle(last, 500)) << "never run: runs";
        EXPECT_FALSE(QUiHelper::throttle(last, 500));
        clock.advance(500);
        EXPECT_FALSE(QUiHelper::throttle(last, 500)) << "500 ms later: still dropped";
        clock.advance(1);
        EXPECT_TRUE(QUiHelper::throttle(last, 500)) << "501 ms later: runs";
        // Days later, across the 32-bit boundary.
        clock.advance(kTwoPow31 + 7);
        EXPECT_TRUE(QUiHelper::throttle(last, 500));
        EXPECT_FALSE(QUiHelper::throttle(last, 500));
    }
}

// The course searches of the main window and of the settings dialog with the clock at 2^31.
TEST_F(UiReplies, CourseSearchesRunWithTheClockPastTwoPow31)
{
    ManualClock clock(kTwoPow31);
    QMainWidget window(nullptr);
    size_t before = searches();
    window.onBtnSearchCourse();
    ASSERT_TRUE(testsupport::waitUntil([&] { return searches() == before + 1; }, 5000));
    window.onBtnSearchCourse();
    clock.advance(501);
    window.onBtnSearchCourse();
    ASSERT_TRUE(testsupport::waitUntil([&] { return searches() == before + 2; }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(searches(), before + 2);

    clock.set(kTwoPow31 + 12345);
    QConfigureDialog dialog;
    QListWidget *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return list->count() == 2; }, 5000));
    before = searches();
    dialog.onBtnSearch();
    dialog.onBtnSearch();
    ASSERT_TRUE(testsupport::waitUntil([&] { return searches() == before + 1; }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(searches(), before + 1);
}

// Confirming without a course says so once and keeps the dialog open on the course page; with
// a course chosen afterwards it is accepted.
TEST_F(UiReplies, SettingsRefuseToConfirmWithoutACourse)
{
    ManualClock clock(1000000);
    QConfigureDialog dialog;
    QListWidget *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return list->count() == 2; }, 5000));
    // A search that finds nothing empties the list: no course is chosen any more.
    list->setCurrentRow(0);
    dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->setText(QStringLiteral("没有这样的课程"));
    dialog.onBtnSearch();
    ASSERT_TRUE(testsupport::waitUntil([&] { return searches() >= 2; }, 5000));
    env.deliverPendingReplies();
    ASSERT_EQ(list->count(), 0);

    QSignalSpy finished(&dialog, SIGNAL(finished(int)));
    dialog.show();
    dialog.findChild<QPushButton *>(QStringLiteral("btnNext"))->click();
    QStringList notices;
    {
        ModalAnswer answer([&](QWidget *w) {
            notices << messageText(w);
            return clickButton(w, "btnOk");
        });
        dialog.findChild<QPushButton *>(QStringLiteral("btnOk"))->click();
        ASSERT_TRUE(testsupport::waitUntil([&] { return answer.handled() == 1; }, 5000));
    }
    EXPECT_EQ(notices, QStringList {QStringLiteral("请先选择视频所属的课程！")});
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.findChild<QStackedWidget *>(QStringLiteral("stackedWidgetConfigure"))->currentIndex(), 0);

    dialog.findChild<QLineEdit *>(QStringLiteral("lineEdit"))->clear();
    clock.advance(600);
    dialog.onBtnSearch();
    ASSERT_TRUE(testsupport::waitUntil([&] { return list->count() == 2; }, 5000));
    list->setCurrentRow(1);
    dialog.findChild<QPushButton *>(QStringLiteral("btnNext"))->click();
    dialog.findChild<QPushButton *>(QStringLiteral("btnOk"))->click();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
    EXPECT_EQ(dialog.config().courseId(), QStringLiteral("13"));
}

// A slow video-list reply for the course the user left never fills the list of the course now
// shown, so rename and delete act on the right course's videos.
TEST_F(UiReplies, LateVideoListOfAnotherCourseIsIgnored)
{
    QMainWidget window(nullptr);
    Ui::QMainWidgetClass &ui = window.form();
    PlatformServer *server = env.server();
    // The first course's list answers late.
    server->setFault("Video/getVideoFile", delayed(800));
    window.onBtnRefresh();
    ASSERT_TRUE(testsupport::waitUntil([&] { return ui.listWidgetCourse->count() == 2; }, 5000));
    const int first = ui.listWidgetCourse->item(0)->data(Qt::StatusTipRole).toString().toInt();
    const int second = ui.listWidgetCourse->item(1)->data(Qt::StatusTipRole).toString().toInt();
    ASSERT_NE(serverNames(server, first), serverNames(server, second));
    ui.listWidgetCourse->setCurrentRow(1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return server->requests("Video/getVideoFile").size() == 2; }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(rowNames(ui.listWidgetVideo), serverNames(server, second));

    // Back to the first course: its own (now quick) answer fills the list.
    ui.listWidgetCourse->setCurrentRow(0);
    ASSERT_TRUE(testsupport::waitUntil([&] { return rowNames(ui.listWidgetVideo) == serverNames(server, first); }, 5000));
}

// A second rename while the first is still on its way is refused with a notice, so the row
// ends with the name the server holds.
TEST_F(UiReplies, RenamesOneAtATime)
{
    QMainWidget window(nullptr);
    Ui::QMainWidgetClass &ui = window.form();
    PlatformServer *server = env.server();
    window.onBtnRefresh();
    ASSERT_TRUE(testsupport::waitUntil([&] { return ui.listWidgetVideo->count() > 0; }, 5000));
    const int course = ui.listWidgetCourse->currentItem()->data(Qt::StatusTipRole).toString().toInt();
    auto *list = qobject_cast<QVideoListWidget *>(ui.listWidgetVideo);
    ASSERT_NE(list, nullptr);
    list->setCurrentRow(0);
    auto *row = qobject_cast<QItemVideoWidget *>(list->itemWidget(list->item(0)));
    ASSERT_NE(row, nullptr);

    server->setFault("Yunupload/rename", delayed(800));
    QStringList typed {QStringLiteral("甲"), QStringLiteral("乙")};
    QStringList notices;
    ModalAnswer answer([&](QWidget *w) {
        if (w->inherits("QRenameDialog"))
        {
            w->findChild<QLineEdit *>(QStringLiteral("editFileName"))->setText(typed.isEmpty() ? QStringLiteral("丙") : typed.takeFirst());
            return clickButton(w, "btnOk");
        }
        notices << messageText(w);
        return clickButton(w, "btnOk");
    });
    list->onMenuRename();
    ASSERT_TRUE(testsupport::waitUntil([&] { return server->requests("Yunupload/rename").size() == 1; }, 5000));
    list->onMenuRename();
    EXPECT_EQ(notices, QStringList {QStringLiteral("上一次重命名尚未完成，请稍后再试！")});
    ASSERT_TRUE(testsupport::waitUntil([&] { return row->name() == QStringLiteral("甲.mp4"); }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(server->requests("Yunupload/rename").size(), 1u);
    EXPECT_EQ(serverNames(server, course).first(), row->name());

    // Once answered, the next rename goes.
    list->onMenuRename();
    ASSERT_TRUE(testsupport::waitUntil([&] { return row->name() != QStringLiteral("甲.mp4"); }, 5000));
    EXPECT_EQ(serverNames(server, course).first(), row->name());
}

// Names and messages that look like markup are shown as the text they are.
TEST_F(UiReplies, MarkupIsShownAsText)
{
    const QString name = QStringLiteral("<b>week</b> 1 <img src=\"x.png\">.mp4");
    QValue video;
    ASSERT_TRUE(parseJson(QStringLiteral("{\"video_name\":\"%1\"}").arg(QString(name).replace('"', "\\\"")), video));
    QItemVideoWidget row;
    row.setData(video);
    auto *label = row.findChild<QLabel *>(QStringLiteral("labelVideoName"));
    EXPECT_EQ(row.name(), name);
    // Shown as it is, cut with "…" where it is wider than the label.
    const QString onRow = label->text();
    EXPECT_TRUE(onRow == name || (onRow.contains(QChar(0x2026)) && name.startsWith(onRow.section(QChar(0x2026), 0, 0))))
        << onRow.toStdString();
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    EXPECT_TRUE(label->toolTip().contains(QStringLiteral("&lt;b&gt;week&lt;/b&gt;")));

    // A course so named: the settings keep the name as it is, its row and tip show it as text.
    {
        QDtaCourse course;
        course.setId(QStringLiteral("12"));
        course.setName(name);
        QConfigureDialog dialog;
        dialog.onLoadCourseList({course}, 0);
        QListWidget *list = dialog.findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
        ASSERT_EQ(list->count(), 1);
        EXPECT_EQ(dialog.config().courseName(), name);
        EXPECT_TRUE(list->item(0)->data(Qt::ToolTipRole).toString().contains(QStringLiteral("&lt;img")));
        auto *itemName = list->itemWidget(list->item(0))->findChild<QLabel *>(QStringLiteral("labelItemName"));
        EXPECT_EQ(itemName->text(), name);
        EXPECT_EQ(itemName->textFormat(), Qt::PlainText);
    }

    QString shown;
    Qt::TextFormat format = Qt::AutoText;
    ModalAnswer answer([&](QWidget *w) {
        shown = messageText(w);
        format = w->findChild<QLabel *>(QStringLiteral("labelMsg"))->textFormat();
        return clickButton(w, "btnOk");
    });
    QMsgBox::showMessage(QStringLiteral("确认删除文件【%1】吗？").arg(name), 3);
    EXPECT_EQ(shown, QStringLiteral("确认删除文件【%1】吗？").arg(name));
    EXPECT_EQ(format, Qt::PlainText);
}
