#include <QCoreApplication>
#include <QAbstractItemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QSettings>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "commonfun.h"
#include "platformserver.h"
#include "qitemvideowidget.h"
#include "qmainwidget.h"
#include "qupdatedialog.h"
#include "quser.h"
#include "qvideolistwidget.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    // The main window's calls into the dialogs and the server video list, against the demo server.
    class MainWiring : public ::testing::Test
    {
    protected:
        MainWiring()
        {
            env.signInDemo();
            window.reset(new QMainWidget(nullptr));
        }
        ~MainWiring() override
        {
            QUpdateDialog::setLauncher(QUpdateDialog::Launcher());
            // Set by a check from the menu for the rest of a run; each test is a run of its own.
            QUpdateDialog::setShown(false);
        }

        // The version reply the server gives next.
        void offerVersion(const char *version, const char *force, const char *log)
        {
            Json::Value data(Json::objectValue);
            data["version"] = version;
            data["isForceUpdate"] = force;
            data["downloadUrl"] = "http://127.0.0.1:1/setup 6.exe";
            data["log"] = log;
            Json::Value reply(Json::objectValue);
            reply["code"] = 0;
            reply["msg"] = "";
            reply["data"] = data;
            Fault fault;
            fault.replaceBody = true;
            fault.body = Json::FastWriter().write(reply);
            fault.contentType = "application/json; charset=utf-8";
            fault.count = 1;
            env.server()->setFault("Version/versionCheck", fault);
        }

        void checkFromMenu()
        {
            const size_t before = env.server()->requests("Version/versionCheck").size();
            window->onBtnUpdate();
            ASSERT_TRUE(testsupport::waitUntil(
                [&] { return env.server()->requests("Version/versionCheck").size() > before; }, 5000));
        }

        UiTestEnv env;
        std::unique_ptr<QMainWidget> window;
    };

    QStringList logLines(QWidget *dialog)
    {
        QStringList lines;
        auto *view = dialog->findChild<QListView *>(QStringLiteral("listViewLog"));
        QAbstractItemModel *model = view ? view->model() : nullptr;
        for (int row = 0; model && row < model->rowCount(); ++row)
            lines << model->index(row, 0).data().toString();
        return lines;
    }
}

// The course page: the course list reply loads the first course's videos into the server
// video list, whose "刷新" asks for them again.
TEST_F(MainWiring, CoursePageListsServerVideos)
{
    Ui::QMainWidgetClass &ui = window->form();
    auto *list = qobject_cast<QVideoListWidget *>(ui.listWidgetVideo);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->objectName(), QStringLiteral("listWidgetVideo"));
    EXPECT_EQ(list->parentWidget(), ui.pageVideoList);
    EXPECT_EQ(ui.pageVideoList->findChildren<QListWidget *>().size(), 1);

    window->onBtnRefresh();
    ASSERT_TRUE(testsupport::waitUntil([&] { return list->count() == 2; }, 5000));
    auto *first = qobject_cast<QItemVideoWidget *>(list->itemWidget(list->item(0)));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->name(), QStringLiteral("第一课 开篇.mp4"));
    EXPECT_EQ(ui.labelUploadVideoNum->text(), QStringLiteral("该课程已上传2项"));
    EXPECT_EQ(ui.stackedWidgetVideo->currentIndex(), 1);

    const size_t asked = env.server()->requests("Video/getVideoFile").size();
    list->menu()->actions().at(2)->trigger();
    ASSERT_TRUE(testsupport::waitUntil([&] { return env.server()->requests("Video/getVideoFile").size() == asked + 1; }, 5000));
    EXPECT_TRUE(testsupport::waitUntil([&] { return list->count() == 2; }, 5000));
}

// Create course: the trimmed name goes out and the course list is loaded again.
TEST_F(MainWiring, CreateCourseSendsTheTrimmedName)
{
    QStringList notices;
    int dialogs = 0;
    ModalAnswer answer([&](QWidget *w) {
        if (auto *edit = w->findChild<QLineEdit *>(QStringLiteral("editCourseName")))
        {
            edit->setText(QStringLiteral("  新课程 A  "));
            ++dialogs;
            return clickButton(w, "btnOk");
        }
        notices << messageText(w);
        return clickButton(w, "btnOk");
    });
    window->onBtnCreateCourse();
    EXPECT_EQ(dialogs, 1);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !env.server()->requests("Video/CreateVideo").empty(); }, 5000));
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").front().innerValue("CourseName"), "新课程 A");
    // Success refreshes the course list.
    EXPECT_TRUE(testsupport::waitUntil([&] { return !env.server()->requests("Teacher/teacherVideoList").empty(); }, 5000));
    EXPECT_TRUE(notices.isEmpty());
}

// Offered version from the menu: the new-version form with the numbered log; "以后再说" stores it;
// an automatic check of a stored version stays silent until the user asks.
TEST_F(MainWiring, VersionOfferedIgnoredAndAskedAgain)
{
    QStringList seen;
    QStringList lines;
    ModalAnswer answer([&](QWidget *w) {
        seen << QString::fromLatin1(w->metaObject()->className());
        lines = logLines(w);
        return clickButton(w, "btnIgnore");
    });
    offerVersion("602", "0", R"(["修复已知问题","提升加密速度"])");
    checkFromMenu();
    ASSERT_TRUE(testsupport::waitUntil([&] { return seen.size() == 1; }, 5000));
    EXPECT_EQ(seen.first(), QStringLiteral("QUpdateDialog"));
    EXPECT_EQ(lines, (QStringList {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度")}));
    EXPECT_TRUE(CommonFun::getSettingBool(QStringLiteral("update"), QStringLiteral("6.02"), false));
    // Asked again from the menu: shown although stored, here with an empty log.
    offerVersion("602", "0", "[]");
    checkFromMenu();
    ASSERT_TRUE(testsupport::waitUntil([&] { return seen.size() == 2; }, 5000));
    EXPECT_TRUE(lines.isEmpty());
}

TEST_F(MainWiring, AutomaticCheckOfAnIgnoredVersionIsSilent)
{
    CommonFun::setSetting(QStringLiteral("update"), QStringLiteral("6.02"), true);
    int shown = 0;
    ModalAnswer answer([&](QWidget *w) {
        ++shown;
        return clickButton(w, "btnClose");
    });
    offerVersion("602", "0", "[]");
    QUser::instance()->versionCheck(window.get(), "onUpdateReponse(bool, const QValue&, const QString&)");
    ASSERT_TRUE(testsupport::waitUntil([&] { return !env.server()->requests("Version/versionCheck").empty(); }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(shown, 0);
}

// A failed check asked from the menu says why; "no newer version" from the server and a server
// that is gone both reach the short form with their own text.
TEST_F(MainWiring, FailedManualCheckShowsTheReason)
{
    QStringList messages;
    QStringList titles;
    ModalAnswer answer([&](QWidget *w) {
        titles << QString::fromLatin1(w->metaObject()->className());
        messages << messageText(w);
        return clickButton(w, "btnOk");
    });
    checkFromMenu();
    ASSERT_TRUE(testsupport::waitUntil([&] { return messages.size() == 1; }, 5000));
    EXPECT_EQ(titles.first(), QStringLiteral("QUpdateDialog"));
    EXPECT_EQ(messages.first(), QStringLiteral("当前已是最新版本"));

    env.server()->stop();
    window->onBtnUpdate();
    ASSERT_TRUE(testsupport::waitUntil([&] { return messages.size() == 2; }, 10000));
    EXPECT_FALSE(messages.last().isEmpty());
    EXPECT_NE(messages.last(), QStringLiteral("没有发现新版本"));
}

// A forced update starts the updater at once with the address as one argument, and the program
// is asked to end.
TEST_F(MainWiring, ForcedUpdateRunsTheUpdater)
{
    QList<QStringList> calls;
    QUpdateDialog::setLauncher([&](const QString &, const QStringList &arguments) {
        calls << arguments;
        return true;
    });
    CommonFun::setSetting(QStringLiteral("update"), QStringLiteral("6.02"), true);
    offerVersion("602", "1", "[]");
    QTimer::singleShot(0, [&]() {
        QUser::instance()->versionCheck(window.get(), "onUpdateReponse(bool, const QValue&, const QString&)");
    });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, []() { QCoreApplication::exit(99); });
    timeout.start(5000);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(calls, QList<QStringList> {QStringList {QStringLiteral("http://127.0.0.1:1/setup 6.exe")}});
}

TEST_F(MainWiring, AboutFromTheMenu)
{
    QStringList titles;
    QString version;
    ModalAnswer answer([&](QWidget *w) {
        titles << QString::fromLatin1(w->metaObject()->className());
        if (auto *label = w->findChild<QLabel *>(QStringLiteral("labelCurVer")))
            version = label->text();
        return clickButton(w, "btnClose");
    });
    window->onBtnAbout();
    EXPECT_EQ(titles, QStringList {QStringLiteral("QAboutDialog")});
    EXPECT_EQ(version, QStringLiteral("当前版本：v6.01"));
}
