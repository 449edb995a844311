#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTranslator>

#include <gtest/gtest.h>

#include "platformserver.h"
#include "qaboutdialog.h"
#include "qconfiguredialog.h"
#include "qcustomshadoweffect.h"
#include "qdtarecord.h"
#include "qitemrecordwidget.h"
#include "qitemuploadwidget.h"
#include "qlogindialog.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "qrecords.h"
#include "quiscale.h"
#include "quihelper.h"
#include "qupdatedialog.h"
#include "quser.h"
#include "qworkpool.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    // Where a text does not fit its label: its needed size against its real size, and the
    // label against the window it is drawn in.
    QStringList unfitLabels(QWidget *window)
    {
        QStringList faults;
        window->ensurePolished();
        for (QLabel *label : window->findChildren<QLabel *>())
        {
            if (!label->isVisibleTo(window) || label->text().isEmpty())
                continue;
            const QString name = label->objectName() + QStringLiteral(" \"") + label->text() + QStringLiteral("\"");
            if (label->wordWrap())
            {
                if (label->minimumSizeHint().width() > label->width())
                    faults << name + QStringLiteral(": a word is wider than the label");
                if (label->heightForWidth(label->width()) > label->height())
                    faults << name + QStringLiteral(": wrapped lines are taller than the label (%1 for %2x%3)")
                                         .arg(label->heightForWidth(label->width())).arg(label->width()).arg(label->height());
            }
            else
            {
                // Width: the whole line. Height: the ink of the glyphs where the label draws its
                // line (a CJK font's line box is taller than its glyphs).
                const QRect box = label->contentsRect();
                const QFontMetrics metrics = label->fontMetrics();
                const int needWidth = metrics.horizontalAdvance(label->text()) + 2 * qMax(0, label->indent()) + 2 * label->margin();
                int top = box.top() + (box.height() - metrics.height()) / 2;
                if (label->alignment() & Qt::AlignTop)
                    top = box.top();
                else if (label->alignment() & Qt::AlignBottom)
                    top = box.bottom() + 1 - metrics.height();
                const QRect ink = metrics.tightBoundingRect(label->text()).translated(0, top + metrics.ascent());
                if (needWidth > box.width() + 1)
                    faults << name + QStringLiteral(": needs %1 px wide, has %2").arg(needWidth).arg(box.width());
                if (ink.top() < box.top() || ink.bottom() > box.bottom())
                    faults << name + QStringLiteral(": glyphs from y %1 to %2, label from %3 to %4")
                                         .arg(ink.top()).arg(ink.bottom()).arg(box.top()).arg(box.bottom());
            }
            const QRect inWindow(label->mapTo(window, QPoint(0, 0)), label->size());
            if (!window->rect().contains(inWindow))
                faults << name + QStringLiteral(": outside the window");
        }
        return faults;
    }

    std::string unfit(QWidget *window)
    {
        return unfitLabels(window).join(QLatin1Char('\n')).toStdString();
    }

    class UiLayout : public ::testing::Test
    {
    protected:
        explicit UiLayout(int threads = 0)
            : env(true, threads)
        {
        }

        // Signed in: no reply of a window's own requests reports a lost sign-in (which would
        // open the sign-in dialog in a later test of this process).
        void SetUp() override
        {
            ASSERT_NE(env.server(), nullptr);
            env.signInDemo();
        }
        void TearDown() override
        {
            // Replies still under way land here, not in the next test.
            env.deliverPendingReplies();
            QUIScale::setFactor(1.0f);
            qunsetenv("VANTREL_COMPOSITOR");
            QUser::instance()->setTeacherId(0);
            QUser::instance()->setToken(QString(), QString());
        }

        UiTestEnv env;
    };

    // Every row widget of a list against the list's visible width.
    void expectRowsFit(QListWidget *list, const char *when)
    {
        const int visible = list->viewport()->width();
        for (int i = 0; i < list->count(); ++i)
        {
            QWidget *row = list->itemWidget(list->item(i));
            ASSERT_NE(row, nullptr);
            EXPECT_LE(row->width(), visible) << when << ", row " << i;
            // The last controls of the row are inside what the list shows.
            for (QWidget *button : row->findChildren<QPushButton *>())
            {
                if (!button->isVisibleTo(row))
                    continue;
                const int right = button->mapTo(row, QPoint(button->width(), 0)).x();
                EXPECT_LE(right, visible) << when << ", " << button->objectName().toStdString();
            }
        }
    }
}

// After a maximise/restore cycle (and plain resizes) the rows of the upload and record pages
// follow their lists' width: nothing is left beyond the visible part.
TEST_F(UiLayout, RowsFollowTheListAfterMaximiseAndRestore)
{
    QMainWidget window(nullptr);
    Ui::QMainWidgetClass &ui = window.form();
    for (int i = 0; i < 3; ++i)
    {
        auto *item = new QListWidgetItem();
        item->setSizeHint(QSize(992, 56));
        ui.listWidgetUpload->addItem(item);
        ui.listWidgetUpload->setItemWidget(item, new QItemUploadWidget(nullptr, nullptr));

        auto record = std::make_shared<QDtaRecord>();
        record->setId(100 + i);
        record->setFileName(QStringLiteral("第%1课.vep").arg(i));
        window.onAddRecordItem(record);
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return ui.listWidgetRecord->count() == 3; }, 5000));
    window.resize(1008, 696);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::sendPostedEvents();

    struct Step
    {
        const char *what;
        std::function<void()> act;
    };
    const Step steps[] = {
        {"wide", [&] { window.resize(1600, 900); }},
        {"narrow again", [&] { window.resize(1008, 696); }},
        {"maximised", [&] { window.onBtnMax(); }},
        {"restored", [&] { window.onBtnMax(); }},
        {"narrower than the rows' hint", [&] { window.resize(900, 696); }},
    };
    for (const Step &step : steps)
    {
        const QSize before = window.size();
        step.act();
        // Every step changes the window's size; the lists' layouts follow in posted events.
        EXPECT_TRUE(testsupport::waitUntil([&] { return window.size() != before; }, 5000)) << step.what;
        QCoreApplication::sendPostedEvents();
        for (int page : {1, 2})
        {
            // Both pages, whichever is shown: the hidden one must be right when it comes back.
            window.form().stackedWidgetMain->setCurrentIndex(page);
            QCoreApplication::sendPostedEvents();
        }
        expectRowsFit(ui.listWidgetUpload, step.what);
        expectRowsFit(ui.listWidgetRecord, step.what);
    }
}

// The texts of the windows fit their labels at 1.0 and at 1.25 scale, including a long error
// naming a path, the settings dialog's two headings and a long message of the server.
TEST_F(UiLayout, TextsFitTheirLabels)
{
    const QString pathError = QStringLiteral(
        "无法写入输出文件：\n/home/teacher/视频/2024 春季学期/第三单元/一个很长很长的文件夹名字_without_spaces_0123456789/"
        "第十二课 复习与练习（上）.vep\n磁盘空间不足或没有写入权限。\n请检查后重试。");
    const QString serverText = QStringLiteral(
        "服务器维护中：版本检查暂时不可用，预计将于今晚二十二点恢复，请稍后再试。如有疑问请联系客服，我们将尽快为您处理。");
    for (const float scale : {1.0f, 1.25f})
    {
        SCOPED_TRACE(scale);
        QUIScale::setFactor(scale);
        {
            QMsgBox box;
            box.setType(1);
            box.setText(pathError);
            box.show();
            EXPECT_EQ(unfit(&box), "");
            EXPECT_EQ(box.findChild<QLabel *>(QStringLiteral("labelMsg"))->text(), pathError);
        }
        {
            // A path of Latin letters only, with no blank in it: the box grows wider.
            QMsgBox box;
            box.setType(1);
            const QString asciiPath = QStringLiteral("Cannot open /home/teacher/videos/spring_2024/lesson_twelve_review_part_one.mp4");
            box.setText(asciiPath);
            box.show();
            EXPECT_EQ(unfit(&box), "");
        }
        {
            QMsgBox box;
            box.setType(3);
            box.setText(QStringLiteral("确定删除该任务?"));
            box.show();
            EXPECT_EQ(unfit(&box), "");
        }
        {
            QConfigureDialog dialog;
            dialog.show();
            auto *heading = dialog.findChild<QLabel *>(QStringLiteral("labelToolTip"));
            // The heading's own rule (22 px) wins over the title bar's.
            EXPECT_EQ(heading->font().pixelSize(), QUIScale::scale(22));
            EXPECT_EQ(unfit(&dialog), "");
            dialog.onBtnNext();
            EXPECT_EQ(heading->text(), QStringLiteral("请选择视频的加密模式"));
            EXPECT_EQ(unfit(&dialog), "");
        }
        {
            QUpdateDialog dialog(true);
            dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/x"),
                           {QStringLiteral("1、修复问题"), QStringLiteral("2、提升速度")});
            dialog.show();
            EXPECT_EQ(unfit(&dialog), "");
        }
        {
            QUpdateDialog dialog(false);
            dialog.setMessage(serverText);
            dialog.show();
            EXPECT_EQ(unfit(&dialog), "");
        }
        {
            QAboutDialog dialog;
            dialog.show();
            EXPECT_EQ(unfit(&dialog), "");
        }
        {
            QLoginDialog dialog;
            dialog.show();
            EXPECT_EQ(unfit(&dialog), "");
        }
    }
}

// The sign-in hints are lighter than typed text.
TEST_F(UiLayout, SignInHintsAreLighterThanText)
{
    QLoginDialog dialog;
    dialog.show();
    for (const char *name : {"editUser", "editPwd"})
    {
        auto *edit = dialog.findChild<QLineEdit *>(QString::fromLatin1(name));
        ASSERT_NE(edit, nullptr);
        EXPECT_FALSE(edit->placeholderText().isEmpty()) << name;
        const QColor hint = edit->palette().color(QPalette::PlaceholderText);
        const QColor text = edit->palette().color(QPalette::Text);
        EXPECT_GT(hint.lightness(), text.lightness() + 60) << name;
    }
}

// Without a compositing manager the windows draw no shadow margin (it would show as a black
// frame): no effect, no translucency, no margin; with one they keep the shadow.
TEST_F(UiLayout, ShadowOnlyWithACompositor)
{
    for (const bool compositor : {false, true})
    {
        SCOPED_TRACE(compositor);
        qputenv("VANTREL_COMPOSITOR", compositor ? "1" : "0");
        EXPECT_EQ(QCustomShadowEffect::compositing(), compositor);
        QMsgBox box;
        QMainWidget window(nullptr);
        for (QWidget *w : {static_cast<QWidget *>(&box), static_cast<QWidget *>(&window)})
        {
            EXPECT_EQ(w->graphicsEffect() != nullptr, compositor);
            EXPECT_EQ(w->testAttribute(Qt::WA_TranslucentBackground), compositor);
            EXPECT_EQ(w->layout()->contentsMargins().left(), compositor ? 4 : 0);
        }
        // The update dialog's picture has rounded corners of its own.
        QUpdateDialog update(true, nullptr);
        box.show();
        update.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&update));
        QCoreApplication::sendPostedEvents();
        if (!compositor)
        {
            // The corners are the window's own face, not a transparent (black on screen) margin.
            for (QWidget *w : {static_cast<QWidget *>(&box), static_cast<QWidget *>(&update)})
            {
                const QImage image = w->grab().toImage();
                for (const QPoint &at : {QPoint(1, 1), QPoint(image.width() - 2, 1), QPoint(1, image.height() - 2),
                                         QPoint(image.width() - 2, image.height() - 2)})
                {
                    const QColor corner = image.pixelColor(at);
                    EXPECT_EQ(corner.alpha(), 255) << w->metaObject()->className() << " " << at.x() << "," << at.y();
                    EXPECT_GT(corner.lightness(), 100) << w->metaObject()->className() << " " << at.x() << "," << at.y();
                }
            }
        }
    }
}

// The settings dialog opens over the middle of the main window.
TEST_F(UiLayout, SettingsDialogCentredOnTheWindow)
{
    QMainWidget window(nullptr);
    window.move(150, 90);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::sendPostedEvents();
    QPoint centre;
    ModalAnswer answer([&](QWidget *w) {
        if (!qobject_cast<QConfigureDialog *>(w))
            return clickButton(w, "btnOk");
        centre = w->geometry().center();
        return clickButton(w, "btnClose");
    });
    EXPECT_FALSE(window.addFiles({env.tempDir() + QStringLiteral("a.mp4")}));
    const QPoint expected = window.geometry().center();
    EXPECT_LE((centre - expected).manhattanLength(), 4) << centre.x() << "," << centre.y();
}

// Qt's own widgets speak Chinese in a Chinese program: the standard buttons and the edit
// menu of a text field come from the system's Qt translation.
TEST_F(UiLayout, QtOwnTextsInChinese)
{
    const QList<QTranslator *> before = qApp->findChildren<QTranslator *>();
    ASSERT_TRUE(QUiHelper::installQtTranslation(qApp));
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    EXPECT_EQ(QCoreApplication::translate("QLineEdit", "Select All"), QStringLiteral("全选"));
    // Gone again for the next test of this process.
    for (QTranslator *translator : qApp->findChildren<QTranslator *>())
        if (!before.contains(translator))
            delete translator;
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
}
