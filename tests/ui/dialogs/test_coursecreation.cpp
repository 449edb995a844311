// Course creation that the server does not answer in time, or answers without a usable id:
// one course per click, the dialog's own words, and the course list as the server has it.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qconfiguredialog.h"
#include "qmainwidget.h"
#include "quser.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    const QString kMayExist = QStringLiteral(
        "服务器没有给出完整的答复，课程可能没有创建，也可能已经创建。请先在课程列表中搜索这门课程，找不到再重新创建");
    const QString kNoId = QStringLiteral(
        "服务器没有返回有效的课程编号，课程可能没有创建，也可能已经创建。请先在课程列表中搜索这门课程，找不到再重新创建");

    class CourseCreation : public ::testing::Test
    {
    protected:
        CourseCreation() { env.signInDemo(); }
        ~CourseCreation() override
        {
            QUser::setCreateTimeout(0);
            if (env.server())
                env.server()->releaseHeld();
        }

        // Courses of that title the server has.
        int serverCourses(const std::string &title) const
        {
            int n = 0;
            for (const auto &course : env.server()->courses())
                n += course["title"].asString() == title ? 1 : 0;
            return n;
        }

        // Index in the request log of the first request of `route` after position `from`; -1 when none.
        int requestAfter(const std::string &route, int from) const
        {
            const std::vector<RequestRecord> log = env.server()->requests();
            for (int i = from + 1; i < static_cast<int>(log.size()); ++i)
                if (log[static_cast<size_t>(i)].route == route)
                    return i;
            return -1;
        }

        UiTestEnv env;
    };

    std::string joined(const QStringList &texts)
    {
        return texts.join(QLatin1Char('|')).toStdString();
    }

    QListWidget *courseList(QWidget *dialog)
    {
        return dialog->findChild<QListWidget *>(QStringLiteral("listWidgetCourse"));
    }

    QStringList rowIds(QListWidget *list)
    {
        QStringList ids;
        for (int row = 0; row < list->count(); ++row)
            ids << list->item(row)->data(Qt::StatusTipRole).toString();
        return ids;
    }

    // Answers the create-course dialog with `name` and every message box with OK, keeping
    // the boxes' texts.
    struct CreateAnswers
    {
        explicit CreateAnswers(const QString &name)
            : answer([this, name](QWidget *w) {
                if (auto *edit = w->findChild<QLineEdit *>(QStringLiteral("editCourseName")))
                {
                    edit->setText(name);
                    return clickButton(w, "btnOk");
                }
                messages << messageText(w);
                return clickButton(w, "btnOk");
            })
        {
        }
        QStringList messages;
        ModalAnswer answer;
    };
}

// The server makes the course but its answer comes after the creation's time-out: the dialog
// says the course may have been made, asks for the list again, and that list shows the one
// course; nothing is sent a second time and no network error is shown.
TEST_F(CourseCreation, SettingsDialogTimedOutCreationShowsTheServersListOnce)
{
    QUser::setCreateTimeout(1);
    QConfigureDialog dialog;
    QListWidget *list = courseList(&dialog);
    dialog.show();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 2; }, 5000));
    const int searchesBefore = static_cast<int>(env.server()->requests("Teacher/teacherVideoList").size());

    Fault late;
    late.hold = true;
    late.count = 1;
    env.server()->setFault("Video/CreateVideo", late);
    CreateAnswers answers(QStringLiteral("慢服务器上的课程"));
    dialog.findChild<QPushButton *>(QStringLiteral("btnCreateCourse"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    EXPECT_EQ(env.server()->held(), 1) << "the server's reply must still be held back";
    EXPECT_FALSE(dialog.isCreatingCourse());
    EXPECT_TRUE(dialog.findChild<QPushButton *>(QStringLiteral("btnNext"))->isEnabled());

    // The list is asked for again after the creation, and shows the course the server made.
    const int create = requestAfter("Video/CreateVideo", -1);
    ASSERT_GE(create, 0);
    EXPECT_GE(requestAfter("Teacher/teacherVideoList", create), 0);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 3; }, 5000)) << list->count();
    int shown = 0;
    for (int row = 0; row < list->count(); ++row)
        shown += list->item(row)->data(Qt::UserRole).toString() == QStringLiteral("慢服务器上的课程") ? 1 : 0;
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(serverCourses("慢服务器上的课程"), 1);
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
    EXPECT_EQ(static_cast<int>(env.server()->requests("Teacher/teacherVideoList").size()), searchesBefore + 1);

    // The late answer, once it comes, changes nothing and shows nothing.
    env.server()->releaseHeld();
    env.deliverPendingReplies();
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    EXPECT_EQ(list->count(), 3);
}

// The main window's creation (course page) says the same for a creation cut off or answered
// without an id, and reloads its course list.
TEST_F(CourseCreation, MainWindowUnsureCreationReloadsTheList)
{
    QUser::setCreateTimeout(1);
    QMainWidget window;
    struct Case
    {
        const char *what;
        bool hold;
        const char *data; // JSON of the reply's "data" when not held
        QString text;
    };
    const Case cases[] = {
        {"answer too late", true, "", kMayExist},
        {"id 0", false, "0", kNoId},
        {"id as no number", false, "\"abc\"", kNoId},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        env.server()->clearRequests();
        Fault fault;
        fault.hold = c.hold;
        if (!c.hold) {
            ASSERT_TRUE(Json::Reader().parse(c.data, fault.patch["data"]));
        }
        fault.count = 1;
        env.server()->setFault("Video/CreateVideo", fault);
        CreateAnswers answers(QStringLiteral("主窗口的课程 %1").arg(QLatin1String(c.what)));
        window.onBtnCreateCourse();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
        EXPECT_EQ(joined(answers.messages), c.text.toStdString());
        const int create = requestAfter("Video/CreateVideo", -1);
        ASSERT_GE(create, 0);
        EXPECT_TRUE(testsupport::waitUntil([&]() { return requestAfter("Teacher/teacherVideoList", create) >= 0; }, 5000));
        EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
        env.server()->releaseHeld();
    }
}

// A success reply whose "data" is no positive integer id: no row of it, nothing chosen, the
// box says so and the list is the server's own again. Ids written as digits are ids.
TEST_F(CourseCreation, SettingsDialogRefusesRepliesWithoutAnId)
{
    struct Case
    {
        const char *what;
        const char *data; // JSON of the reply's "data"
        bool accepted;
    };
    const Case cases[] = {
        {"null", "null", false},
        {"no number", "\"abc\"", false},
        {"empty text", "\"\"", false},
        {"zero", "0", false},
        {"zero as text", "\"0\"", false},
        {"negative", "-5", false},
        {"negative as text", "\"-5\"", false},
        {"fraction", "1.5", false},
        {"digits then letters", "\"12abc\"", false},
        {"too long", "\"1234567890123456789\"", false},
        {"beyond 64 bits", "18446744073709551615", false},
        {"true", "true", false},
        {"array", "[7]", false},
        {"object", "{\"id\":7}", false},
        {"digits as text", "\"4321\"", true},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        QConfigureDialog dialog;
        QListWidget *list = courseList(&dialog);
        dialog.show();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() > 0; }, 5000));
        list->setCurrentRow(0);
        const size_t searches = env.server()->requests("Teacher/teacherVideoList").size();

        Json::Value data;
        ASSERT_TRUE(Json::Reader().parse(c.data, data));
        Fault reply;
        reply.patch["data"] = data;
        reply.count = 1;
        env.server()->setFault("Video/CreateVideo", reply);
        const QString name = QStringLiteral("课程 %1").arg(QLatin1String(c.what));
        CreateAnswers answers(name);
        dialog.findChild<QPushButton *>(QStringLiteral("btnCreateCourse"))->click();
        ASSERT_TRUE(testsupport::waitUntil([&]() { return !dialog.isCreatingCourse() && !env.server()->requests("Video/CreateVideo").empty(); }, 10000));
        if (c.accepted)
        {
            ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() > 0 && list->item(0)->data(Qt::UserRole).toString() == name; }, 5000));
            EXPECT_TRUE(answers.messages.isEmpty());
            EXPECT_EQ(list->item(0)->data(Qt::StatusTipRole).toString(), QStringLiteral("4321"));
            EXPECT_EQ(dialog.config().courseId(), QStringLiteral("4321"));
        }
        else
        {
            ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 5000));
            EXPECT_EQ(joined(answers.messages), kNoId.toStdString());
            // The list is asked for again, and holds only the server's courses.
            ASSERT_TRUE(testsupport::waitUntil(
                [&]() { return env.server()->requests("Teacher/teacherVideoList").size() > searches; }, 5000));
            env.deliverPendingReplies();
            ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == static_cast<int>(env.server()->courses().size()); }, 5000));
            QStringList serverIds;
            for (const auto &course : env.server()->courses())
                serverIds << QString::number(course["id"].asInt64());
            QStringList ids = rowIds(list);
            ids.sort();
            serverIds.sort();
            EXPECT_EQ(ids, serverIds);
            // Whatever is chosen now is a course the server has.
            EXPECT_TRUE(serverIds.contains(dialog.config().courseId())) << dialog.config().courseId().toStdString();
        }
        env.server()->clearRequests();
    }
}

namespace
{
    // An answer to the creation that leaves open whether the course was made.
    struct BrokenAnswer
    {
        const char *name;
        const char *cut;    // Fault::cut
        int status;         // HTTP status, 0: 200
        bool replaceBody;   // the body below instead of the server's (the course is then not made)
        const char *body;
        bool hold;          // the answer comes after the time-out

        // The server makes the course before its answer goes wrong.
        bool made() const { return !replaceBody; }

        Fault fault() const
        {
            Fault f;
            f.cut = cut;
            f.status = status;
            f.hold = hold;
            if (replaceBody)
            {
                f.replaceBody = true;
                f.body = body;
            }
            else if (status != 0)
            {
                // Answered by the route first, then turned into the error.
                f.patch["x"] = 1;
            }
            f.count = 1;
            return f;
        }
    };

    void PrintTo(const BrokenAnswer &a, std::ostream *os)
    {
        *os << a.name;
    }

    const BrokenAnswer kBrokenAnswers[] = {
        {"CutOffInChunks", "chunked", 0, false, "", false},
        {"CutOffShortOfItsLength", "length", 0, false, "", false},
        {"CutOffWithoutALength", "close", 0, false, "", false},
        {"EmptyBody", "", 0, true, "", false},
        {"GarbageBody", "", 0, true, "<html><body>upstream sent garbage", false},
        {"ServerError500", "", 500, false, "", false},
        {"BadGateway502", "", 502, false, "", false},
        {"Unavailable503", "", 503, false, "", false},
        {"GatewayTimeout504", "", 504, false, "", false},
        {"AnsweredAfterTheTimeOut", "", 0, false, "", true},
    };

    class UnsureCreation : public ::testing::TestWithParam<BrokenAnswer>
    {
    protected:
        UnsureCreation()
        {
            env.signInDemo();
            QUser::setCreateTimeout(1);
        }
        ~UnsureCreation() override
        {
            QUser::setCreateTimeout(0);
            if (env.server())
                env.server()->releaseHeld();
        }

        int serverCourses(const QString &title) const
        {
            int n = 0;
            for (const auto &course : env.server()->courses())
                n += course["title"].asString() == title.toStdString() ? 1 : 0;
            return n;
        }

        QStringList serverIds() const
        {
            QStringList ids;
            for (const auto &course : env.server()->courses())
                ids << QString::number(course["id"].asInt64());
            ids.sort();
            return ids;
        }

        size_t searches() const { return env.server()->requests("Teacher/teacherVideoList").size(); }

        UiTestEnv env;
    };

    QStringList sortedIds(QListWidget *list, int role)
    {
        QStringList ids;
        for (int row = 0; row < list->count(); ++row)
            ids << list->item(row)->data(role).toString();
        ids.sort();
        return ids;
    }
}

// The settings dialog: the box says the course may exist and what to do, nothing is sent a
// second time, and the list is the server's again, with the course once when it was made.
TEST_P(UnsureCreation, SettingsDialogSaysTheCourseMayExistAndShowsTheServersList)
{
    const BrokenAnswer &a = GetParam();
    QConfigureDialog dialog;
    QListWidget *list = courseList(&dialog);
    dialog.show();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 2; }, 5000));
    const size_t before = searches();

    env.server()->setFault("Video/CreateVideo", a.fault());
    const QString name = QStringLiteral("答复不全的课程 %1").arg(QLatin1String(a.name));
    CreateAnswers answers(name);
    dialog.findChild<QPushButton *>(QStringLiteral("btnCreateCourse"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    EXPECT_FALSE(dialog.isCreatingCourse());
    EXPECT_TRUE(dialog.findChild<QPushButton *>(QStringLiteral("btnNext"))->isEnabled());

    ASSERT_TRUE(testsupport::waitUntil([&]() { return searches() > before; }, 5000));
    env.deliverPendingReplies();
    EXPECT_EQ(serverCourses(name), a.made() ? 1 : 0);
    ASSERT_TRUE(testsupport::waitUntil([&]() { return sortedIds(list, Qt::StatusTipRole) == serverIds(); }, 5000))
        << sortedIds(list, Qt::StatusTipRole).join(QLatin1Char(',')).toStdString();
    int shown = 0;
    for (int row = 0; row < list->count(); ++row)
        shown += list->item(row)->data(Qt::UserRole).toString() == name ? 1 : 0;
    EXPECT_EQ(shown, a.made() ? 1 : 0);
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString()) << "one box";
}

// The course page of the main window: the same box, and its course list asked for again.
TEST_P(UnsureCreation, MainWindowSaysTheCourseMayExistAndReloadsItsList)
{
    const BrokenAnswer &a = GetParam();
    QMainWidget window;
    env.server()->setFault("Video/CreateVideo", a.fault());
    const QString name = QStringLiteral("主窗口答复不全的课程 %1").arg(QLatin1String(a.name));
    const size_t before = searches();
    CreateAnswers answers(name);
    window.onBtnCreateCourse();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    ASSERT_TRUE(testsupport::waitUntil([&]() { return searches() > before; }, 5000));
    env.deliverPendingReplies();
    QListWidget *list = window.form().listWidgetCourse;
    ASSERT_TRUE(testsupport::waitUntil([&]() { return sortedIds(list, Qt::StatusTipRole) == serverIds(); }, 5000))
        << sortedIds(list, Qt::StatusTipRole).join(QLatin1Char(',')).toStdString();
    EXPECT_EQ(serverCourses(name), a.made() ? 1 : 0);
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Answers, UnsureCreation, ::testing::ValuesIn(kBrokenAnswers),
                         [](const ::testing::TestParamInfo<BrokenAnswer> &info) { return std::string(info.param.name); });

// A server that makes the course only after the creation has timed out: the list asked for
// at the time-out does not have it yet; the one asked for when the dialog's wait is over does.
TEST_F(CourseCreation, SettingsDialogListsACourseASlowServerMadeAfterTheTimeOut)
{
    // A time-out of 3 s, a wait of 6 s.
    QUser::setCreateTimeout(3);
    QConfigureDialog dialog;
    QListWidget *list = courseList(&dialog);
    dialog.show();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return list->count() == 2; }, 5000));
    const size_t before = env.server()->requests("Teacher/teacherVideoList").size();

    Fault slow;
    slow.holdWork = true;
    slow.count = 1;
    env.server()->setFault("Video/CreateVideo", slow);
    const QString name = QStringLiteral("慢慢创建的课程");
    CreateAnswers answers(name);
    dialog.findChild<QPushButton *>(QStringLiteral("btnCreateCourse"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    ASSERT_TRUE(testsupport::waitUntil(
        [&]() { return env.server()->requests("Teacher/teacherVideoList").size() == before + 1; }, 5000));
    EXPECT_EQ(serverCourses(name.toStdString()), 0) << "not made yet";
    EXPECT_EQ(env.server()->held(), 1);

    // The server gets on with it now, and answers a client that no longer listens.
    env.server()->releaseHeld();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return serverCourses(name.toStdString()) == 1; }, 5000));
    ASSERT_TRUE(testsupport::waitUntil([&]() {
        for (int row = 0; row < list->count(); ++row)
            if (list->item(row)->data(Qt::UserRole).toString() == name)
                return true;
        return false;
    }, 20000)) << list->count();
    EXPECT_EQ(env.server()->requests("Teacher/teacherVideoList").size(), before + 2);
    EXPECT_EQ(list->count(), 3);
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString()) << "the late list comes without a box";
}

// The same on the main window's course page: its list is loaded again when the wait is over.
TEST_F(CourseCreation, MainWindowListsACourseASlowServerMadeAfterTheTimeOut)
{
    QUser::setCreateTimeout(3);
    QMainWidget window;
    QListWidget *list = window.form().listWidgetCourse;
    const size_t before = env.server()->requests("Teacher/teacherVideoList").size();
    Fault slow;
    slow.holdWork = true;
    slow.count = 1;
    env.server()->setFault("Video/CreateVideo", slow);
    const QString name = QStringLiteral("主窗口慢慢创建的课程");
    CreateAnswers answers(name);
    window.onBtnCreateCourse();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !answers.messages.isEmpty(); }, 20000));
    EXPECT_EQ(joined(answers.messages), kMayExist.toStdString());
    ASSERT_TRUE(testsupport::waitUntil(
        [&]() { return env.server()->requests("Teacher/teacherVideoList").size() == before + 1; }, 5000));
    EXPECT_EQ(serverCourses(name.toStdString()), 0) << "not made yet";

    env.server()->releaseHeld();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return serverCourses(name.toStdString()) == 1; }, 5000));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !list->findItems(name, Qt::MatchExactly).isEmpty(); }, 20000))
        << list->count();
    EXPECT_EQ(env.server()->requests("Teacher/teacherVideoList").size(), before + 2);
    EXPECT_EQ(env.server()->requests("Video/CreateVideo").size(), 1u);
}
