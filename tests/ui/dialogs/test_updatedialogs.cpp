#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QLabel>
#include <QListView>
#include <QScrollBar>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "cglobal.h"
#include "qaboutdialog.h"
#include "quiscale.h"
#include "qupdatedialog.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    class UpdateDialogs : public ::testing::Test
    {
    protected:
        UpdateDialogs()
            : env(false)
        {
        }
        ~UpdateDialogs() override
        {
            QUpdateDialog::setLauncher(QUpdateDialog::Launcher());
            QUIScale::setFactor(1.0f);
        }
        UiTestEnv env;
    };

    template<typename T>
    T *child(QWidget *parent, const char *name)
    {
        return parent->findChild<T *>(QString::fromLatin1(name));
    }

    QString labelText(QWidget *parent, const char *name)
    {
        auto *label = child<QLabel>(parent, name);
        return label ? label->text() : QStringLiteral("<missing>");
    }

    QStringList modelLines(QListView *view)
    {
        QStringList lines;
        QAbstractItemModel *model = view ? view->model() : nullptr;
        for (int row = 0; model && row < model->rowCount(); ++row)
            lines << model->index(row, 0).data().toString();
        return lines;
    }

    // The [update] group of config.ini as it is on disk.
    QStringList updateKeys()
    {
        QSettings ini(CGlobal::configFile(), QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("update"));
        return ini.childKeys();
    }

    // Runs `action` in the application's event loop and tells whether it asked the
    // application to exit with 0 (the loop is ended with 99 shortly after otherwise).
    bool endsTheEventLoop(const std::function<void()> &action)
    {
        QTimer start;
        start.setSingleShot(true);
        QObject::connect(&start, &QTimer::timeout, [&]() {
            action();
            QTimer::singleShot(100, &start, []() { QCoreApplication::exit(99); });
        });
        start.start(0);
        return QCoreApplication::exec() == 0;
    }
}

// Both forms at two scale factors: which widgets show and how big the dialog is.
TEST_F(UpdateDialogs, TheTwoForms)
{
    for (float factor : {1.0f, 1.25f})
    {
        SCOPED_TRACE(factor);
        QUIScale::setFactor(factor);

        QUpdateDialog newer(true);
        newer.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1:1/setup.exe"),
                      {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度")});
        newer.show();
        EXPECT_EQ(newer.size(), QSize(QUIScale::scale(460), QUIScale::scale(535)));
        EXPECT_EQ(labelText(&newer, "labelMsg"), QStringLiteral("发现新版本"));
        EXPECT_EQ(labelText(&newer, "labelVer"),
                  QStringLiteral("Tarvex加密系统新版本v6.02已发布，建议你立即升级以获得更好的体验！"));
        EXPECT_FALSE(child<QPushButton>(&newer, "btnOk")->isVisible());
        EXPECT_TRUE(child<QPushButton>(&newer, "btnUpgrade")->isVisible());
        EXPECT_TRUE(child<QPushButton>(&newer, "btnIgnore")->isVisible());
        EXPECT_EQ(modelLines(child<QListView>(&newer, "listViewLog")),
                  (QStringList {QStringLiteral("1、修复已知问题"), QStringLiteral("2、提升加密速度")}));
        EXPECT_EQ(child<QFrame>(&newer, "frameBg")->property("nav").toString(), QStringLiteral("all"));

        QUpdateDialog none(false);
        none.show();
        QWidget *header = child<QWidget>(&none, "frameMain");
        EXPECT_EQ(labelText(&none, "labelMsg"), QStringLiteral("没有发现新版本"));
        EXPECT_TRUE(child<QPushButton>(&none, "btnOk")->isVisible());
        EXPECT_FALSE(child<QWidget>(&none, "frameBottom")->isVisible());
        EXPECT_FALSE(child<QLabel>(&none, "labelVer")->isVisible());
        EXPECT_EQ(header->property("nav").toString(), QStringLiteral("top"));
        // As small as the layout allows: the whole header and the shadow margins, no more.
        EXPECT_EQ(none.width(), QUIScale::scale(460));
        EXPECT_EQ(header->height(), QUIScale::scale(320));
        EXPECT_EQ(none.height(), header->height() + 8);
        EXPECT_TRUE(child<QPushButton>(&none, "btnOk")->geometry().bottom() < header->height());
    }
}

// "以后再说" stores the version as ignored and accepts; Return accepts and stores nothing.
TEST_F(UpdateDialogs, IgnoreIsRememberedReturnIsNot)
{
    {
        QUpdateDialog dialog(true);
        dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1:1/a"), {});
        ModalAnswer answer([](QWidget *w) {
            QTest::keyClick(w, Qt::Key_Return);
            return true;
        });
        EXPECT_EQ(dialog.execInFront(), 1);
        EXPECT_TRUE(updateKeys().isEmpty());
    }
    {
        QUpdateDialog dialog(false);
        ModalAnswer answer([](QWidget *w) {
            QTest::keyClick(w, Qt::Key_Enter, Qt::KeypadModifier);
            return true;
        });
        EXPECT_EQ(dialog.execInFront(), 1);
        EXPECT_TRUE(updateKeys().isEmpty());
    }
    QUpdateDialog dialog(true);
    dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1:1/a"), {});
    ModalAnswer answer([](QWidget *w) {
        clickButton(w, "btnIgnore");
        return true;
    });
    EXPECT_EQ(dialog.execInFront(), 1);
    EXPECT_EQ(updateKeys(), QStringList {QStringLiteral("6.02")});
    QSettings ini(CGlobal::configFile(), QSettings::IniFormat);
    EXPECT_TRUE(ini.value(QStringLiteral("update/6.02")).toBool());
    EXPECT_TRUE(testsupport::readAll(CGlobal::configFile()).contains("[update]\n6.02=true"));
}

// The updater gets the address as one argument, blanks and quotes included, and the program
// ends; the upgrade button hands over the address of setInfo.
TEST_F(UpdateDialogs, UpgradeStartsTheUpdaterWithTheAddress)
{
    QStringList programs;
    QList<QStringList> calls;
    QUpdateDialog::setLauncher([&](const QString &program, const QStringList &arguments) {
        programs << program;
        calls << arguments;
        return true;
    });
    const QString address = QStringLiteral("http://127.0.0.1:1/down load/\"v 6.02\".exe?a=1&b=2");
    EXPECT_TRUE(endsTheEventLoop([&]() { EXPECT_TRUE(QUpdateDialog::runUpgrade(address)); }));
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls.first(), QStringList {address});
    EXPECT_EQ(programs.first(), CGlobal::appPath() + QStringLiteral("upgrade"));

    QUpdateDialog dialog(true);
    dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1:1/setup 2.exe"), {});
    dialog.show();
    EXPECT_TRUE(endsTheEventLoop([&]() { clickButton(&dialog, "btnUpgrade"); }));
    ASSERT_EQ(calls.size(), 2);
    EXPECT_EQ(calls.last(), QStringList {QStringLiteral("http://127.0.0.1:1/setup 2.exe")});
}

// No updater in the program folder (the real launcher) or one that fails to start: the user is
// told and the program goes on.
TEST_F(UpdateDialogs, MissingUpdaterIsReportedAndTheProgramGoesOn)
{
    for (bool fake : {false, true})
    {
        SCOPED_TRACE(fake ? "failing launcher" : "real launcher, no updater");
        if (fake)
            QUpdateDialog::setLauncher([](const QString &, const QStringList &) { return false; });
        QStringList notices;
        ModalAnswer answer([&](QWidget *w) {
            notices << messageText(w);
            clickButton(w, "btnOk");
            return true;
        });
        bool started = true;
        EXPECT_FALSE(endsTheEventLoop([&]() { started = QUpdateDialog::runUpgrade(QStringLiteral("http://127.0.0.1:1/a")); }));
        EXPECT_FALSE(started);
        EXPECT_EQ(notices, QStringList {QStringLiteral("无法启动升级程序")});
    }
}

TEST_F(UpdateDialogs, ManualCheckFlag)
{
    EXPECT_FALSE(QUpdateDialog::isShown());
    QUpdateDialog::setShown();
    EXPECT_TRUE(QUpdateDialog::isShown());
    QUpdateDialog::setShown();
    EXPECT_TRUE(QUpdateDialog::isShown());
}

// A failed check's message replaces the "nothing new" line; an empty one keeps it.
TEST_F(UpdateDialogs, ShortFormMessage)
{
    QUpdateDialog failed(false);
    failed.setMessage(QStringLiteral("网络连接失败"));
    EXPECT_EQ(labelText(&failed, "labelMsg"), QStringLiteral("网络连接失败"));
    QUpdateDialog empty(false);
    empty.setMessage(QString());
    EXPECT_EQ(labelText(&empty, "labelMsg"), QStringLiteral("没有发现新版本"));
}

TEST_F(UpdateDialogs, AboutShowsVersionAndBuildDate)
{
    struct Case
    {
        int date;
        const char *text;
    };
    const Case cases[] = {{20210813, "2021.08.13"}, {20261210, "2026.12.10"}, {19991231, "1999.12.31"}};
    for (const Case &c : cases)
        EXPECT_EQ(QAboutDialog::formatBuildDate(c.date), QString::fromLatin1(c.text)) << c.date;

    QAboutDialog about;
    EXPECT_EQ(labelText(&about, "labelCurVer"), QStringLiteral("当前版本：v6.01"));
    const int built = CGlobal::buildDate();
    ASSERT_GT(built, 20200101);
    EXPECT_EQ(labelText(&about, "labelUpdateDate"), QStringLiteral("更新日期：") + QAboutDialog::formatBuildDate(built));
    EXPECT_EQ(labelText(&about, "labelPlayer"), QStringLiteral("Tarvex上传助手"));
    ModalAnswer answer([](QWidget *w) {
        clickButton(w, "btnClose");
        return true;
    });
    EXPECT_EQ(about.execInFront(), 0);
}

// A change-log line longer than the list is wide wraps onto more lines; nothing scrolls sideways.
TEST_F(UpdateDialogs, LongLogLinesWrap)
{
    const QString line = QStringLiteral("1、优化了加密速度，大文件的加密时间缩短约三成，同时修复了在部分电脑上选择文件夹后程序无响应的问题");
    QUpdateDialog dialog(true, nullptr);
    dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/x"), {line, QStringLiteral("2、短的一行")});
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    QCoreApplication::sendPostedEvents();
    auto *view = child<QListView>(&dialog, "listViewLog");
    const QRect first = view->visualRect(view->model()->index(0, 0));
    const QRect second = view->visualRect(view->model()->index(1, 0));
    ASSERT_GT(view->fontMetrics().horizontalAdvance(line), view->viewport()->width());
    EXPECT_LE(first.right(), view->viewport()->rect().right());
    EXPECT_GE(first.height(), 2 * view->fontMetrics().height()) << "the long line wraps";
    EXPECT_LT(second.height(), 2 * view->fontMetrics().height());
    EXPECT_EQ(view->horizontalScrollBar()->maximum(), 0);
}
