#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "qbasedialog.h"
#include "qcustomshadoweffect.h"
#include "qmsgbox.h"
#include "uitestenv.h"
#include "vantrelresources.h"

namespace
{
    // Counts the two key operations instead of closing.
    class CountingDialog : public QBaseDialog
    {
    public:
        CountingDialog() { initFrameless(QStringLiteral(":/qss/msgbox.css")); resize(200, 100); }
        void onEscape() override { ++escapes; }
        void onEnter() override { ++enters; }
        int escapes = 0;
        int enters = 0;
    };

    class UiDialogs : public ::testing::Test
    {
    protected:
        void SetUp() override { initVantrelResources(); }
    };
}

// Escape and both Enter keys act once each, through the two operations only: the dialog's own
// default handling (reject on Escape, default button on Return) never runs as well.
TEST_F(UiDialogs, KeysRouteThroughTheTwoOperations)
{
    CountingDialog dialog;
    dialog.show();
    QSignalSpy rejected(&dialog, SIGNAL(rejected()));
    QSignalSpy finished(&dialog, SIGNAL(finished(int)));

    QTest::keyClick(&dialog, Qt::Key_Escape);
    QTest::keyClick(&dialog, Qt::Key_Return);
    QTest::keyClick(&dialog, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(dialog.escapes, 1);
    EXPECT_EQ(dialog.enters, 2);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dialog.isVisible());

    // The base operations: Escape rejects once, Return accepts.
    QBaseDialog plain;
    plain.initFrameless(QStringLiteral(":/qss/msgbox.css"));
    plain.show();
    QSignalSpy plainFinished(&plain, SIGNAL(finished(int)));
    QTest::keyClick(&plain, Qt::Key_Escape);
    ASSERT_EQ(plainFinished.count(), 1);
    EXPECT_EQ(plainFinished.at(0).at(0).toInt(), 0);
    plain.show();
    QTest::keyClick(&plain, Qt::Key_Enter, Qt::KeypadModifier);
    ASSERT_EQ(plainFinished.count(), 2);
    EXPECT_EQ(plainFinished.at(1).at(0).toInt(), 1);
}

TEST_F(UiDialogs, FramelessSetUpAndDrag)
{
    CountingDialog dialog;
    EXPECT_TRUE(dialog.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(dialog.testAttribute(Qt::WA_TranslucentBackground));
    EXPECT_TRUE(dialog.property("dialog").toBool());
    auto *shadow = qobject_cast<QCustomShadowEffect *>(dialog.graphicsEffect());
    ASSERT_NE(shadow, nullptr);
    EXPECT_DOUBLE_EQ(shadow->blurRadius(), 8.0);
    EXPECT_DOUBLE_EQ(shadow->distance(), 1.0);
    EXPECT_EQ(shadow->color(), QColor(0, 0, 0, 80));
    EXPECT_EQ(shadow->boundingRectFor(QRectF(0, 0, 10, 10)), QRectF(-9, -9, 28, 28));

    dialog.move(100, 100);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    const QPoint start = dialog.pos();
    // A right-button press starts no drag.
    QTest::mousePress(&dialog, Qt::RightButton, Qt::NoModifier, QPoint(10, 10));
    QMouseEvent rightMove(QEvent::MouseMove, QPoint(40, 40), dialog.mapToGlobal(QPoint(40, 40)), Qt::NoButton, Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &rightMove);
    QTest::mouseRelease(&dialog, Qt::RightButton, Qt::NoModifier, QPoint(40, 40));
    EXPECT_EQ(dialog.pos(), start);
    // A left-button drag moves the window by the cursor's way.
    QTest::mousePress(&dialog, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QMouseEvent leftMove(QEvent::MouseMove, QPoint(40, 30), dialog.mapToGlobal(QPoint(40, 30)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &leftMove);
    QTest::mouseRelease(&dialog, Qt::LeftButton, Qt::NoModifier, QPoint(40, 30));
    EXPECT_EQ(dialog.pos(), start + QPoint(30, 20));
}

// Which buttons each type shows.
TEST_F(UiDialogs, MessageBoxTypes)
{
    struct Case
    {
        int type;
        bool ok;
        bool cancel;
    };
    const Case cases[] = {{1, true, false}, {2, false, true}, {3, true, true}, {0, true, true}, {9, true, true}};
    for (const Case &c : cases)
    {
        QMsgBox box;
        box.setText(QStringLiteral("提示"));
        box.setType(c.type);
        box.show();
        EXPECT_EQ(box.findChild<QPushButton *>(QStringLiteral("btnOk"))->isVisible(), c.ok) << "type " << c.type;
        EXPECT_EQ(box.findChild<QPushButton *>(QStringLiteral("btnCancel"))->isVisible(), c.cancel) << "type " << c.type;
    }
}

// showMessage returns 1 only when the user confirmed; every other way out gives 0.
TEST_F(UiDialogs, MessageBoxAnswers)
{
    struct Case
    {
        const char *what;
        int type;
        std::function<void(QWidget *)> answer;
        int expected;
    };
    const Case cases[] = {
        {"OK button", 3, [](QWidget *w) { clickButton(w, "btnOk"); }, 1},
        {"Cancel button", 3, [](QWidget *w) { clickButton(w, "btnCancel"); }, 0},
        {"close button", 1, [](QWidget *w) { clickButton(w, "btnClose"); }, 0},
        {"Escape", 1, [](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); }, 0},
        {"Return", 1, [](QWidget *w) { QTest::keyClick(w, Qt::Key_Return); }, 1},
        {"keypad Enter", 3, [](QWidget *w) { QTest::keyClick(w, Qt::Key_Enter, Qt::KeypadModifier); }, 1},
    };
    for (const Case &c : cases)
    {
        QString shown;
        ModalAnswer answer([&](QWidget *w) {
            shown = messageText(w);
            c.answer(w);
            return true;
        });
        SCOPED_TRACE(c.what);
        EXPECT_EQ(QMsgBox::showMessage(QStringLiteral("确定删除该任务?"), c.type), c.expected) << c.what;
        EXPECT_EQ(shown, QStringLiteral("确定删除该任务?")) << c.what;
    }
}

TEST_F(UiDialogs, LongMessageWrapsInsideTheLabel)
{
    QMsgBox box;
    const QString text = QString(QStringLiteral("很长的提示文字")).repeated(20);
    box.setText(text);
    box.show();
    auto *label = box.findChild<QLabel *>(QStringLiteral("labelMsg"));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->wordWrap());
    EXPECT_EQ(label->width(), 281);
    EXPECT_GT(label->heightForWidth(281), label->fontMetrics().height());
}
