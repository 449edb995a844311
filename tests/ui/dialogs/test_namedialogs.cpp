#include <QDesktopServices>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include "qcreatecoursedialog.h"
#include "qplatformhosts.h"
#include "qrenamedialog.h"
#include "uitestenv.h"

namespace
{
    class NameDialogs : public ::testing::Test
    {
    protected:
        NameDialogs()
            : env(false)
        {
        }
        UiTestEnv env;
    };

    QLineEdit *edit(QWidget *dialog, const char *name)
    {
        return dialog->findChild<QLineEdit *>(QString::fromLatin1(name));
    }

    // Catches the URLs that would go to the browser.
    class UrlCatcher : public QObject
    {
        Q_OBJECT
    public:
        QList<QUrl> urls;
    public slots:
        void open(const QUrl &url) { urls << url; }
    };
}

// What the edit shows for a given name, and what comes back for a typed text.
TEST_F(NameDialogs, RenameKeepsTheSuffix)
{
    struct Case
    {
        QString name;
        QString shown;
        QString typed;
        QString result;
    };
    const Case cases[] = {
        {QStringLiteral("lesson.final.mp4"), QStringLiteral("lesson.final"), QStringLiteral("lesson 2"), QStringLiteral("lesson 2.mp4")},
        {QStringLiteral("README"), QStringLiteral("README"), QStringLiteral("README"), QStringLiteral("README")},
        {QStringLiteral(".mp4"), QString(), QStringLiteral("intro"), QStringLiteral("intro.mp4")},
        {QStringLiteral("notes."), QStringLiteral("notes."), QStringLiteral("  notes.  "), QStringLiteral("notes.")},
        {QStringLiteral("x.mp4"), QStringLiteral("x"), QStringLiteral("x.mp4"), QStringLiteral("x.mp4.mp4")},
        {QStringLiteral("第一课 开篇.mp4"), QStringLiteral("第一课 开篇"), QStringLiteral(" 第二课 "), QStringLiteral("第二课.mp4")},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name.toStdString());
        QRenameDialog dialog(c.name);
        QLineEdit *line = edit(&dialog, "editFileName");
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->text(), c.shown);
        EXPECT_EQ(line->selectedText(), c.shown);

        ModalAnswer answer([&](QWidget *w) {
            if (w != &dialog)
                return false;
            line->setText(c.typed);
            QTest::keyClick(line, Qt::Key_Return);
            return true;
        });
        EXPECT_EQ(dialog.execInFront(), 1);
        EXPECT_EQ(dialog.fileName(), c.result);
    }
}

// A blank name is refused with a notice and the dialog stays open for another try; a name
// typed only of blanks around a suffix-less name counts as blank too.
TEST_F(NameDialogs, BlankNamesAreRefused)
{
    struct Case
    {
        const char *what;
        std::function<QBaseDialog *()> make;
        const char *editName;
        const char *button;
        QString notice;
    };
    const Case cases[] = {
        {"rename by button", [] { return new QRenameDialog(QStringLiteral("a.mp4")); }, "editFileName", "btnOk",
         QStringLiteral("文件名称不能为空！")},
        {"rename by Return", [] { return new QRenameDialog(QStringLiteral(".mp4")); }, "editFileName", nullptr,
         QStringLiteral("文件名称不能为空！")},
        {"course by button", [] { return new QCreateCourseDialog(); }, "editCourseName", "btnOk",
         QStringLiteral("课程名称不能为空")},
        {"course by Return", [] { return new QCreateCourseDialog(); }, "editCourseName", nullptr,
         QStringLiteral("课程名称不能为空")},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        std::unique_ptr<QBaseDialog> dialog(c.make());
        QLineEdit *line = edit(dialog.get(), c.editName);
        ASSERT_NE(line, nullptr);
        QStringList notices;
        bool stillOpen = false;
        int step = 0;
        ModalAnswer answer([&](QWidget *w) {
            if (w == dialog.get())
            {
                if (step == 0)
                {
                    line->setText(QStringLiteral("   "));
                    step = 1;
                    // The notice runs its own modal loop: confirm from outside this answer.
                    QTimer::singleShot(0, w, [&c, w, line]() {
                        if (c.button)
                            clickButton(w, c.button);
                        else
                            QTest::keyClick(line, Qt::Key_Return);
                    });
                    return true;
                }
                // Back after the notice: still open; give up with Escape.
                stillOpen = w->isVisible();
                QTest::keyClick(w, Qt::Key_Escape);
                return true;
            }
            notices << messageText(w);
            clickButton(w, "btnOk");
            return true;
        });
        // Escape ends it as rejected: the blank name was never accepted.
        EXPECT_EQ(dialog->execInFront(), 0);
        EXPECT_EQ(notices, QStringList {c.notice});
        EXPECT_TRUE(stillOpen);
    }
}

TEST_F(NameDialogs, CourseNameIsTrimmed)
{
    QCreateCourseDialog dialog;
    QLineEdit *line = edit(&dialog, "editCourseName");
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->placeholderText(), QStringLiteral("给课程起个有吸引力的标题"));
    int notices = 0;
    ModalAnswer answer([&](QWidget *w) {
        if (w != &dialog)
        {
            ++notices;
            clickButton(w, "btnOk");
            return true;
        }
        line->setText(QStringLiteral("  视频加密 进阶\t "));
        QTest::keyClick(line, Qt::Key_Enter, Qt::KeypadModifier);
        return true;
    });
    EXPECT_EQ(dialog.execInFront(), 1);
    EXPECT_EQ(dialog.courseName(), QStringLiteral("视频加密 进阶"));
    EXPECT_EQ(notices, 0);
}

// Closing without confirming gives 0 from either dialog, whatever was typed.
TEST_F(NameDialogs, CloseButtonRejects)
{
    QCreateCourseDialog course;
    QRenameDialog rename(QStringLiteral("a.mp4"));
    for (QBaseDialog *dialog : {static_cast<QBaseDialog *>(&course), static_cast<QBaseDialog *>(&rename)})
    {
        ModalAnswer answer([&](QWidget *w) {
            for (QLineEdit *line : w->findChildren<QLineEdit *>())
                line->setText(QStringLiteral("typed"));
            clickButton(w, "btnClose");
            return true;
        });
        EXPECT_EQ(dialog->execInFront(), 0) << dialog->windowTitle().toStdString();
    }
}

// Both dialogs carry their look: the title bar colour, and the link style only where the link is.
TEST_F(NameDialogs, StyleSheetsAreLoaded)
{
    QCreateCourseDialog course;
    QRenameDialog rename(QStringLiteral("a.mp4"));
    for (QBaseDialog *dialog : {static_cast<QBaseDialog *>(&course), static_cast<QBaseDialog *>(&rename)})
    {
        SCOPED_TRACE(dialog->windowTitle().toStdString());
        EXPECT_TRUE(dialog->styleSheet().contains(QStringLiteral("rgb(62, 178, 150)")));
        QWidget *title = dialog->findChild<QWidget *>(QStringLiteral("frameTitle"));
        ASSERT_NE(title, nullptr);
        title->resize(200, 42);
        EXPECT_EQ(title->grab().toImage().pixelColor(100, 30), QColor(62, 178, 150));
    }
    EXPECT_NE(course.findChild<QWidget *>(QStringLiteral("btnHome")), nullptr);
    EXPECT_EQ(rename.findChild<QWidget *>(QStringLiteral("btnHome")), nullptr);
}

// The back-office link opens the root of the web host and leaves the dialog open.
TEST_F(NameDialogs, HomeLinkOpensTheBackOffice)
{
    qputenv("VANTREL_WEB_HOST", "127.0.0.1:18555");
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    QCreateCourseDialog dialog;
    dialog.show();
    clickButton(&dialog, "btnHome");
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls.first(), QUrl(QStringLiteral("http://127.0.0.1:18555/")));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), 0);
}

#include "test_namedialogs.moc"
