#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "platformserver.h"
#include "qlogindialog.h"
#include "qtutils.h"
#include "quser.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    class UiLogin : public ::testing::Test
    {
    protected:
        UiTestEnv env;

        static QLineEdit *edit(QWidget *dialog, const char *name)
        {
            return dialog->findChild<QLineEdit *>(QString::fromLatin1(name));
        }

        // Signs in through the dialog's button; the messages shown meanwhile are answered with OK.
        int signIn(QLoginDialog &dialog, const QString &user, const QString &password, QStringList *messages)
        {
            edit(&dialog, "editUser")->setText(user);
            edit(&dialog, "editPwd")->setText(password);
            QSignalSpy finished(&dialog, SIGNAL(finished(int)));
            ModalAnswer answer([&](QWidget *w) {
                if (w == &dialog)
                    return false;
                if (messages)
                    *messages << messageText(w);
                return clickButton(w, "btnOk");
            });
            dialog.show();
            dialog.findChild<QPushButton *>(QStringLiteral("btnLogin"))->click();
            testsupport::waitUntil([&]() { return finished.count() > 0 || (messages && !messages->isEmpty()); }, 8000);
            // No reply still under way that could finish the dialog after all.
            env.deliverPendingReplies();
            return finished.isEmpty() ? -1 : finished.at(0).at(0).toInt();
        }
    };
}

// A first start shows empty fields; a sign-in against the server stores the trimmed account
// (the password enciphered) and keeps the reply's values in QUser; the next dialog is prefilled.
TEST_F(UiLogin, SignInStoresAccountAndPrefillsNextDialog)
{
    {
        QLoginDialog dialog;
        EXPECT_TRUE(edit(&dialog, "editUser")->text().isEmpty());
        EXPECT_TRUE(edit(&dialog, "editPwd")->text().isEmpty());
        EXPECT_EQ(edit(&dialog, "editPwd")->echoMode(), QLineEdit::Password);
        EXPECT_EQ(signIn(dialog, QStringLiteral(" demo "), QStringLiteral("  demo123 "), nullptr), 1);
    }
    EXPECT_EQ(QUser::instance()->teacherId(), 1001);
    EXPECT_FALSE(QUser::instance()->token().isEmpty());
    EXPECT_FALSE(QUser::instance()->tokenSecret().isEmpty());

    const auto logins = env.server()->requests("Login/login");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins.front().innerValue("uname"), "demo");
    EXPECT_EQ(logins.front().innerValue("upwd"), "demo123");

    EXPECT_EQ(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name")), QStringLiteral("demo"));
    const QString stored = CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_pwd"));
    EXPECT_NE(stored, QStringLiteral("demo123"));
    EXPECT_EQ(decryptQString(stored, "rqmkzt5827"), QStringLiteral("demo123"));

    QLoginDialog next;
    EXPECT_EQ(edit(&next, "editUser")->text(), QStringLiteral("demo"));
    EXPECT_EQ(edit(&next, "editPwd")->text(), QStringLiteral("demo123"));
}

// Empty fields are refused before any request; a refused sign-in shows the server's text and
// leaves the dialog open with its fields.
TEST_F(UiLogin, RefusedSignInsKeepTheDialogOpen)
{
    struct Case
    {
        const char *user;
        const char *password;
        const char *message;
    };
    const Case cases[] = {
        {"", "demo123", "用户名不能为空！"},
        {"   ", "demo123", "用户名不能为空！"},
        {"demo", " ", "用户密码不能为空！"},
        {"demo", "wrong", "用户名或密码错误"},
    };
    for (const Case &c : cases)
    {
        QLoginDialog dialog;
        QStringList messages;
        EXPECT_EQ(signIn(dialog, QString::fromUtf8(c.user), QString::fromUtf8(c.password), &messages), -1) << c.message;
        EXPECT_EQ(messages, QStringList {QString::fromUtf8(c.message)});
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_EQ(edit(&dialog, "editUser")->text(), QString::fromUtf8(c.user));
    }
    EXPECT_EQ(env.server()->requests("Login/login").size(), 1u);
    EXPECT_EQ(QUser::instance()->teacherId(), 0);
    EXPECT_TRUE(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name")).isEmpty());
}

// A success reply without a usable account id or token is no sign-in.
TEST_F(UiLogin, ReplyWithoutUsableValuesFails)
{
    const char *patches[] = {R"({"uid": ""})", R"({"uid": "abc"})", R"({"uid": {"n": 1}})", R"({"oauth_token": ""})", R"({"oauth_token": 7})"};
    for (const char *patch : patches)
    {
        Fault fault;
        Json::Reader().parse(patch, fault.dataPatch);
        fault.count = 1;
        env.server()->setFault("Login/login", fault);
        QLoginDialog dialog;
        QStringList messages;
        EXPECT_EQ(signIn(dialog, QStringLiteral("demo"), QStringLiteral("demo123"), &messages), -1) << patch;
        EXPECT_EQ(messages.size(), 1) << patch;
        EXPECT_EQ(QUser::instance()->teacherId(), 0) << patch;
    }
    EXPECT_TRUE(CommonFun::getSettingString(QStringLiteral("user"), QStringLiteral("user_name")).isEmpty());
}

// A remembered password that is not cipher text leaves the field empty; the name stays.
TEST_F(UiLogin, UnreadableRememberedPasswordLeavesFieldEmpty)
{
    const char *stored[] = {"not base64 at all", "QUJD", "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"};
    for (const char *value : stored)
    {
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_name"), QStringLiteral("demo"));
        CommonFun::setSetting(QStringLiteral("user"), QStringLiteral("user_pwd"), QString::fromLatin1(value));
        QLoginDialog dialog;
        EXPECT_EQ(edit(&dialog, "editUser")->text(), QStringLiteral("demo")) << value;
        EXPECT_TRUE(edit(&dialog, "editPwd")->text().isEmpty()) << value;
    }
}

// Return in either field signs in like the button; Escape gives up with 0.
TEST_F(UiLogin, KeysOfTheDialog)
{
    {
        QLoginDialog dialog;
        edit(&dialog, "editUser")->setText(QStringLiteral("demo"));
        edit(&dialog, "editPwd")->setText(QStringLiteral("demo123"));
        QSignalSpy finished(&dialog, SIGNAL(finished(int)));
        dialog.show();
        QTest::keyClick(edit(&dialog, "editPwd"), Qt::Key_Return);
        ASSERT_TRUE(testsupport::waitUntil([&]() { return finished.count() > 0; }, 8000));
        EXPECT_EQ(finished.at(0).at(0).toInt(), 1);
    }
    QLoginDialog dialog;
    ModalAnswer answer([&](QWidget *w) {
        QTest::keyClick(w, Qt::Key_Escape);
        return true;
    });
    EXPECT_EQ(dialog.exec(), 0);
}

TEST(UiLoginOffline, ServerDownShowsTheErrorAndStaysOpen)
{
    UiTestEnv env(false);
    QLoginDialog dialog;
    dialog.findChild<QLineEdit *>(QStringLiteral("editUser"))->setText(QStringLiteral("demo"));
    dialog.findChild<QLineEdit *>(QStringLiteral("editPwd"))->setText(QStringLiteral("demo123"));
    QStringList messages;
    ModalAnswer answer([&](QWidget *w) {
        messages << messageText(w);
        return clickButton(w, "btnOk");
    });
    dialog.show();
    dialog.findChild<QPushButton *>(QStringLiteral("btnLogin"))->click();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return !messages.isEmpty(); }, 8000));
    EXPECT_FALSE(messages.first().isEmpty());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(QUser::instance()->teacherId(), 0);
}

// While a slow server has not answered, the button is off and the dialog says it waits; Enter
// and clicks meanwhile send nothing more, so the one answer gives one box.
TEST_F(UiLogin, SlowServerWaitIsShownAndOneAnswerGivesOneBox)
{
    Fault slow;
    slow.delayMs = 1500;
    slow.patch["code"] = 1;
    slow.patch["msg"] = "(28)访问超时";
    slow.count = 1;
    env.server()->setFault("Login/login", slow);
    QLoginDialog dialog;
    edit(&dialog, "editUser")->setText(QStringLiteral("demo"));
    edit(&dialog, "editPwd")->setText(QStringLiteral("demo123"));
    QStringList messages;
    ModalAnswer answer([&](QWidget *w) {
        if (w == &dialog)
            return false;
        messages << messageText(w);
        return clickButton(w, "btnOk");
    });
    dialog.show();
    auto *button = dialog.findChild<QPushButton *>(QStringLiteral("btnLogin"));
    auto *notice = dialog.findChild<QLabel *>(QStringLiteral("labelNotice"));
    button->click();
    EXPECT_TRUE(dialog.isWaiting());
    EXPECT_FALSE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("正在登录…"));
    EXPECT_EQ(notice->text(), QStringLiteral("正在连接服务器，请稍候…"));
    QTest::keyClick(edit(&dialog, "editPwd"), Qt::Key_Return);
    QTest::keyClick(&dialog, Qt::Key_Enter);
    button->click();

    ASSERT_TRUE(testsupport::waitUntil([&]() { return !messages.isEmpty(); }, 10000));
    // Every request sent has been answered and delivered by now.
    env.deliverPendingReplies();
    EXPECT_EQ(messages, QStringList {QStringLiteral("(28)访问超时")});
    EXPECT_EQ(env.server()->requests("Login/login").size(), 1u);
    EXPECT_FALSE(dialog.isWaiting());
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(button->text(), QStringLiteral("登录"));
    EXPECT_TRUE(notice->text().isEmpty());
}
