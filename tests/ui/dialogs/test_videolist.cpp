#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qitemvideowidget.h"
#include "qtutils.h"
#include "quser.h"
#include "qvideolistwidget.h"
#include "replyrecorder.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    QString text(QWidget *row, const char *label)
    {
        auto *widget = row->findChild<QLabel *>(QString::fromLatin1(label));
        return widget ? widget->text() : QStringLiteral("<missing>");
    }

    QString localTime(qint64 seconds)
    {
        return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    }

    QItemVideoWidget *rowAt(QVideoListWidget &list, int index)
    {
        return qobject_cast<QItemVideoWidget *>(list.itemWidget(list.item(index)));
    }

    QStringList names(QVideoListWidget &list)
    {
        QStringList result;
        for (int i = 0; i < list.count(); ++i)
            result << (rowAt(list, i) ? rowAt(list, i)->name() : QStringLiteral("<no row>"));
        return result;
    }

    QStringList serverNames(PlatformServer *server, int courseId)
    {
        QStringList result;
        for (const auto &course : server->courses())
            if (jsonInt(course["id"]) == courseId)
                for (const auto &video : course["videos"])
                    result << asQString(video["video_name"]);
        return result;
    }

    // A reply the server gives instead of running the call.
    Fault answerWith(const std::string &body)
    {
        Fault fault;
        fault.replaceBody = true;
        fault.body = body;
        fault.contentType = "application/json; charset=utf-8";
        fault.count = 1;
        return fault;
    }

    class VideoList : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            ASSERT_NE(env.server(), nullptr);
            env.signInDemo();
        }

        // The course's videos as the server lists them.
        QValue fetch(int courseId)
        {
            ReplyRecorder recorder;
            QUser::instance()->getVideoFile(courseId, &recorder, "onTestReponse(bool, const QValue&, const QString&)");
            if (!testsupport::waitUntil([&] { return !recorder.replies.isEmpty(); }, 5000))
            {
                ADD_FAILURE() << "no reply to the video list";
                return QValue();
            }
            EXPECT_TRUE(recorder.replies.first().ok) << recorder.replies.first().message.toStdString();
            return recorder.replies.first().data;
        }

        // Fills the list the way the main window does.
        void fill(QVideoListWidget &list, const QValue &videos)
        {
            list.clear();
            for (int i = 0; i < jsonSize(videos); ++i)
            {
                auto *item = new QListWidgetItem();
                item->setSizeHint(QSize(720, 40));
                auto *row = new QItemVideoWidget();
                row->setData(jsonAt(videos, i));
                list.addItem(item);
                list.setItemWidget(item, row);
            }
        }

        // Deletes row `index`, answering the question and every notice with OK; the texts shown
        // once `boxes` boxes were answered (fewer when they did not come).
        QStringList confirmDelete(QVideoListWidget &list, int index, int boxes)
        {
            list.setCurrentRow(index);
            QStringList shown;
            ModalAnswer answer([&](QWidget *w) {
                shown << messageText(w);
                clickButton(w, "btnOk");
                return true;
            });
            list.onMenuDel();
            testsupport::waitUntil([&] { return shown.size() >= boxes; }, 10000);
            return shown;
        }

        UiTestEnv env;
    };
}

// Every column of the rows of a real video-list reply.
TEST_F(VideoList, RowsFromTheServerReply)
{
    struct Case
    {
        int course;
        int index;
        QString name;
        QString duration;
        qint64 uploaded;
        QString mode;
        double megabytes;
    };
    const Case cases[] = {
        {12, 0, QStringLiteral("第一课 开篇.mp4"), QStringLiteral("02:03:05"), 1700000100, QStringLiteral("常规加密"), 10.0},
        {12, 1, QStringLiteral("第二课.mp4"), QStringLiteral("00:00:59"), 1700000200, QStringLiteral("Web加密"), 0.0},
        {13, 0, QStringLiteral("intro.mp4"), QStringLiteral("100:00:00"), 1700086500, QStringLiteral("常规加密"), 1.0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name.toStdString());
        QVideoListWidget list;
        fill(list, fetch(c.course));
        QItemVideoWidget *row = rowAt(list, c.index);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->name(), c.name);
        EXPECT_EQ(row->findChild<QLabel *>(QStringLiteral("labelVideoName"))->toolTip(), c.name);
        EXPECT_EQ(text(row, "labelVideoTime"), c.duration);
        EXPECT_EQ(text(row, "labelUploadTime"), localTime(c.uploaded));
        EXPECT_EQ(text(row, "labelVideoType"), c.mode);
        EXPECT_EQ(text(row, "labelVideoSize"), formatFileSize(c.megabytes));
    }
}

// Members of the wrong type or of no number read as zero (or stay empty); nothing throws.
TEST_F(VideoList, RowsTolerateOddMembers)
{
    struct Case
    {
        const char *json;
        QString name;
        QString duration;
        qint64 uploaded;
        QString mode;
        double megabytes;
    };
    const Case cases[] = {
        {R"({"video_name":"a.mp4","size":"abc","upload_time":"x","duration":"1h","encrypted":"1"})", QStringLiteral("a.mp4"),
         QStringLiteral("00:00:00"), 0, QString(), 0.0},
        {R"({"video_name":7,"size":2097152,"upload_time":{},"duration":[5],"encrypted":0})", QStringLiteral("7"),
         QStringLiteral("00:00:00"), 0, QStringLiteral("Web加密"), 2.0},
        {R"({"encrypted":"4","duration":"3600","size":"-1"})", QString(), QStringLiteral("01:00:00"), 0, QStringLiteral("Web加密"),
         -1.0 / 1024.0 / 1024.0},
        {R"({"encrypted":"7","duration":"-20"})", QString(), QStringLiteral("00:00:00"), 0, QStringLiteral("常规加密"), 0.0},
        {R"({"encrypted":"8.5"})", QString(), QStringLiteral("00:00:00"), 0, QString(), 0.0},
        {R"(["not", "an", "object"])", QString(), QStringLiteral("00:00:00"), 0, QString(), 0.0},
        {R"("text")", QString(), QStringLiteral("00:00:00"), 0, QString(), 0.0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.json);
        QValue item;
        ASSERT_TRUE(parseJson(QByteArray(c.json), item));
        QItemVideoWidget row;
        row.setData(item);
        EXPECT_EQ(row.name(), c.name);
        EXPECT_EQ(text(&row, "labelVideoTime"), c.duration);
        EXPECT_EQ(text(&row, "labelUploadTime"), localTime(c.uploaded));
        EXPECT_EQ(text(&row, "labelVideoType"), c.mode);
        EXPECT_EQ(text(&row, "labelVideoSize"), formatFileSize(c.megabytes));
    }
}

TEST_F(VideoList, DurationText)
{
    const std::pair<int, const char *> cases[] = {
        {0, "00:00:00"}, {59, "00:00:59"}, {60, "00:01:00"}, {3599, "00:59:59"}, {7385, "02:03:05"}, {360000, "100:00:00"}, {-1, "00:00:00"}};
    for (const auto &c : cases)
        EXPECT_EQ(QItemVideoWidget::formatDuration(c.first), QString::fromLatin1(c.second)) << c.first;
}

// Rename: the dialog shows the name without its suffix, the name sent ends in it again, and the
// row shows it once the server agreed; a refusal or a server that is gone shows the message and
// keeps the name; a cancelled dialog sends nothing.
TEST_F(VideoList, RenameAgainstTheServer)
{
    QVideoListWidget list;
    fill(list, fetch(12));
    list.setCurrentRow(0);
    QItemVideoWidget *row = rowAt(list, 0);
    ASSERT_NE(row, nullptr);

    struct Step
    {
        const char *what;
        QString typed;          // empty: the dialog is cancelled
        std::function<void()> before;
        QString notice;         // expected notice, empty for none
        QString shownAfter;
    };
    PlatformServer *server = env.server();
    const Fault refused = answerWith(R"({"code":1,"msg":"名称含有敏感词","data":null})");
    const Fault nonsense = answerWith("<html>502 Bad Gateway</html>");
    const Step steps[] = {
        {"accepted", QStringLiteral("开篇 改"), [] {}, QString(), QStringLiteral("开篇 改.mp4")},
        {"cancelled", QString(), [] {}, QString(), QStringLiteral("开篇 改.mp4")},
        {"refused", QStringLiteral("坏名字"), [&] { server->setFault("Yunupload/rename", refused); }, QStringLiteral("名称含有敏感词"),
         QStringLiteral("开篇 改.mp4")},
        {"nonsense", QStringLiteral("坏名字"), [&] { server->setFault("Yunupload/rename", nonsense); }, QStringLiteral("*"),
         QStringLiteral("开篇 改.mp4")},
    };
    for (const Step &s : steps)
    {
        SCOPED_TRACE(s.what);
        s.before();
        server->clearRequests();
        QString shownInEdit;
        QStringList notices;
        ModalAnswer answer([&](QWidget *w) {
            if (w->inherits("QRenameDialog"))
            {
                auto *edit = w->findChild<QLineEdit *>(QStringLiteral("editFileName"));
                shownInEdit = edit->text();
                if (s.typed.isEmpty())
                {
                    clickButton(w, "btnClose");
                    return true;
                }
                edit->setText(s.typed);
                clickButton(w, "btnOk");
                return true;
            }
            notices << messageText(w);
            clickButton(w, "btnOk");
            return true;
        });
        list.onMenuRename();
        EXPECT_EQ(shownInEdit, QFileInfo(row->name()).completeBaseName());
        if (s.typed.isEmpty())
        {
            // Every request sent so far has been answered: a rename would be in the log.
            env.deliverPendingReplies();
            EXPECT_TRUE(server->requests("Yunupload/rename").empty());
        }
        else
        {
            ASSERT_TRUE(testsupport::waitUntil([&] { return !server->requests("Yunupload/rename").empty(); }, 5000));
            EXPECT_EQ(server->requests("Yunupload/rename").front().innerValue("newName"), (s.typed + QStringLiteral(".mp4")).toStdString());
            EXPECT_EQ(server->requests("Yunupload/rename").front().innerValue("srcKey"), "1001_12_501_lesson1.vep");
            if (s.notice.isEmpty())
                EXPECT_TRUE(testsupport::waitUntil([&] { return row->name() == s.shownAfter; }, 5000));
            else if (s.notice == QLatin1String("*"))
                EXPECT_TRUE(testsupport::waitUntil([&] { return notices.size() == 1 && !notices.first().isEmpty(); }, 5000));
            else
                EXPECT_TRUE(testsupport::waitUntil([&] { return notices == QStringList {s.notice}; }, 5000)) << notices.join('|').toStdString();
        }
        env.deliverPendingReplies();
        EXPECT_EQ(row->name(), s.shownAfter);
        EXPECT_EQ(serverNames(server, 12).first(), QStringLiteral("开篇 改.mp4"));
    }

    // The server is gone: the transport's message, and the name stays.
    server->stop();
    QStringList notices;
    ModalAnswer answer([&](QWidget *w) {
        if (w->inherits("QRenameDialog"))
        {
            w->findChild<QLineEdit *>(QStringLiteral("editFileName"))->setText(QStringLiteral("无人应答"));
            clickButton(w, "btnOk");
            return true;
        }
        notices << messageText(w);
        clickButton(w, "btnOk");
        return true;
    });
    list.onMenuRename();
    ASSERT_TRUE(testsupport::waitUntil([&] { return !notices.isEmpty(); }, 10000));
    EXPECT_FALSE(notices.first().isEmpty());
    EXPECT_EQ(row->name(), QStringLiteral("开篇 改.mp4"));
}

// Delete: asked first, naming the file; the item leaves the list only after the server agreed.
TEST_F(VideoList, DeleteAgainstTheServer)
{
    QVideoListWidget list;
    fill(list, fetch(12));
    PlatformServer *server = env.server();
    ASSERT_EQ(list.count(), 2);

    // Not confirmed: nothing is sent.
    {
        list.setCurrentRow(1);
        QStringList questions;
        ModalAnswer answer([&](QWidget *w) {
            questions << messageText(w);
            clickButton(w, "btnCancel");
            return true;
        });
        list.onMenuDel();
        EXPECT_EQ(questions, QStringList {QStringLiteral("确认删除文件【第二课.mp4】吗？")});
        env.deliverPendingReplies();
        EXPECT_TRUE(server->requests("Yunupload/delete").empty());
        EXPECT_EQ(list.count(), 2);
    }
    // Refused by the server: its message, and the item stays.
    {
        server->setFault("Yunupload/delete", answerWith(R"({"code":1,"msg":"视频正在使用中","data":null})"));
        const QStringList shown = confirmDelete(list, 1, 2);
        ASSERT_EQ(shown.size(), 2);
        EXPECT_EQ(shown.last(), QStringLiteral("视频正在使用中"));
        env.deliverPendingReplies();
        EXPECT_EQ(names(list), (QStringList {QStringLiteral("第一课 开篇.mp4"), QStringLiteral("第二课.mp4")}));
        EXPECT_EQ(serverNames(server, 12).size(), 2);
    }
    // Confirmed and done.
    {
        list.setCurrentRow(1);
        QPointer<QItemVideoWidget> gone(rowAt(list, 1));
        ModalAnswer answer([&](QWidget *w) {
            clickButton(w, "btnOk");
            return true;
        });
        list.onMenuDel();
        ASSERT_TRUE(testsupport::waitUntil([&] { return list.count() == 1; }, 5000));
        EXPECT_EQ(names(list), QStringList {QStringLiteral("第一课 开篇.mp4")});
        EXPECT_EQ(serverNames(server, 12), QStringList {QStringLiteral("第一课 开篇.mp4")});
        EXPECT_TRUE(testsupport::waitUntil([&] { return gone.isNull(); }, 2000));
    }
}

// The row goes (the list is refilled by a late reply) while its rename dialog or its delete
// question is open: confirming then sends nothing and touches nothing.
TEST_F(VideoList, RowGoneWhileAsking)
{
    PlatformServer *server = env.server();
    for (const char *command : {"rename", "delete"})
    {
        SCOPED_TRACE(command);
        const bool rename = QLatin1String(command) == QLatin1String("rename");
        QVideoListWidget list;
        fill(list, fetch(12));
        list.setCurrentRow(0);
        server->clearRequests();
        int asked = 0;
        ModalAnswer answer([&](QWidget *w) {
            ++asked;
            delete rowAt(list, 0);
            if (rename)
                w->findChild<QLineEdit *>(QStringLiteral("editFileName"))->setText(QStringLiteral("迟到的名字"));
            clickButton(w, "btnOk");
            return true;
        });
        if (rename)
            list.onMenuRename();
        else
            list.onMenuDel();
        EXPECT_EQ(asked, 1);
        env.deliverPendingReplies();
        EXPECT_TRUE(server->requests(rename ? "Yunupload/rename" : "Yunupload/delete").empty());
        EXPECT_EQ(list.count(), 2);
        EXPECT_EQ(rowAt(list, 1)->name(), QStringLiteral("第二课.mp4"));
        EXPECT_EQ(serverNames(server, 12), (QStringList {QStringLiteral("第一课 开篇.mp4"), QStringLiteral("第二课.mp4")}));
    }
}

// A delete answered with nonsense, or confirmed while the server is gone: a message that says
// something, and the item stays.
TEST_F(VideoList, DeleteFailuresKeepTheItem)
{
    const std::pair<const char *, std::function<void(PlatformServer *)>> cases[] = {
        {"nonsense", [](PlatformServer *server) { server->setFault("Yunupload/delete", answerWith("<html>502 Bad Gateway</html>")); }},
        {"server gone", [](PlatformServer *server) { server->stop(); }},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.first);
        QVideoListWidget list;
        fill(list, fetch(12));
        c.second(env.server());
        const QStringList shown = confirmDelete(list, 0, 2);
        ASSERT_EQ(shown.size(), 2);
        EXPECT_FALSE(shown.last().isEmpty());
        env.deliverPendingReplies();
        EXPECT_EQ(names(list), (QStringList {QStringLiteral("第一课 开篇.mp4"), QStringLiteral("第二课.mp4")}));
    }
}

// The confirmation arrives after the list was refilled: the new rows stay, nothing crashes.
TEST_F(VideoList, DeleteReplyForARowThatIsGone)
{
    QVideoListWidget list;
    const QValue videos = fetch(12);
    fill(list, videos);
    PlatformServer *server = env.server();
    Fault slow;
    slow.delayMs = 400;
    slow.count = 1;
    server->setFault("Yunupload/delete", slow);

    list.setCurrentRow(0);
    {
        ModalAnswer answer([&](QWidget *w) {
            clickButton(w, "btnOk");
            return true;
        });
        list.onMenuDel();
    }
    // Refilled (from the listing taken before) before the reply arrives.
    fill(list, videos);
    ASSERT_EQ(list.count(), 2);
    ASSERT_TRUE(testsupport::waitUntil([&] { return serverNames(server, 12).size() == 1; }, 5000));
    // The confirmation itself has arrived.
    env.deliverPendingReplies();
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(names(list), (QStringList {QStringLiteral("第一课 开篇.mp4"), QStringLiteral("第二课.mp4")}));
}

// The menu's commands in order; without a current item rename and delete only tell so; refresh
// asks for the list again. A right click on empty space acts on the current item.
TEST_F(VideoList, MenuCommands)
{
    QVideoListWidget list;
    list.resize(720, 300);
    QStringList texts;
    for (QAction *action : list.menu()->actions())
        texts << action->text();
    EXPECT_EQ(texts, (QStringList {QStringLiteral("重命名"), QStringLiteral("删除"), QStringLiteral("刷新")}));

    QStringList notices;
    {
        ModalAnswer answer([&](QWidget *w) {
            notices << messageText(w);
            clickButton(w, "btnOk");
            return true;
        });
        list.menu()->actions().at(0)->trigger();
        list.menu()->actions().at(1)->trigger();
    }
    EXPECT_EQ(notices, (QStringList {QStringLiteral("请先选择需要重命名的视频！"), QStringLiteral("请先选择需要删除的视频！")}));
    QSignalSpy refresh(&list, SIGNAL(listRefresh()));
    list.menu()->actions().at(2)->trigger();
    EXPECT_EQ(refresh.count(), 1);

    fill(list, fetch(12));
    list.setCurrentRow(1);
    list.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&list));
    bool menuOpened = false;
    QStringList questions;
    ModalAnswer answer([&](QWidget *w) {
        questions << messageText(w);
        clickButton(w, "btnCancel");
        return true;
    });
    QTimer::singleShot(100, &list, [&]() {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        menuOpened = menu == list.menu();
        if (!menu)
            return;
        QAction *remove = menu->actions().at(1);
        menu->close();
        remove->trigger();
    });
    const QPoint empty(10, 290);
    QContextMenuEvent event(QContextMenuEvent::Mouse, empty, list.viewport()->mapToGlobal(empty));
    QApplication::sendEvent(list.viewport(), &event);
    EXPECT_TRUE(menuOpened);
    EXPECT_EQ(questions, QStringList {QStringLiteral("确认删除文件【第二课.mp4】吗？")});
}
