#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

#include "quiscale.h"
#include "ui_qmainwidget.h"
#include "vantrelresources.h"

namespace
{
    struct DpiCase
    {
        double dpi;
        float factor;
    };

    class UiScale : public ::testing::Test
    {
    protected:
        void TearDown() override { QUIScale::setFactor(1.0f); }
    };
}

// The ratio is rounded to single precision before the (double) thresholds: 105.6 and 153.6 DPI
// land just above 1.1 and 1.6, 134.4 and 172.8 just below 1.4 and 1.8.
TEST_F(UiScale, FactorFromDpiTable)
{
    const DpiCase cases[] = {
        {96, 1.0f}, {105, 1.0f}, {105.6, 1.25f}, {106, 1.25f}, {120, 1.25f}, {134.4, 1.25f},
        {144, 1.5f}, {153.6, 1.75f}, {168, 1.75f}, {172.8, 1.75f}, {192, 2.0f}, {288, 2.0f}};
    for (const DpiCase &c : cases)
        EXPECT_EQ(QUIScale::factorForDpi(c.dpi), c.factor) << "dpi " << c.dpi;
}

// The DPI's factor, lowered until the largest dialog fits the screen's free area.
TEST_F(UiScale, FactorFitsTheScreen)
{
    struct Case
    {
        double dpi;
        QSize available;
        float factor;
    };
    const Case cases[] = {
        {120.0, QSize(1366, 738), 1.25f}, // 1366x768 with a panel: 935x672 fits
        {144.0, QSize(1366, 738), 1.25f}, // 1.5 would be 807 high
        {192.0, QSize(1920, 1040), 1.75f},
        {192.0, QSize(2560, 1400), 2.0f},
        {120.0, QSize(800, 600), 1.0f},
        // Too small for the design size even at 1.0: below it, in twentieths.
        {96.0, QSize(640, 480), 0.85f},   // 0.85 fits just
        {96.0, QSize(1092, 614), 1.0f},   // 1366x768 under Qt's scale factor 1.25
        {96.0, QSize(910, 512), 0.95f},   // ... 1.5: 538 rows are one too many at 1.0
        {144.0, QSize(910, 512), 0.95f},
        {96.0, QSize(683, 384), 0.85f},   // ... 2: 0.7 would fit, but never below 0.85
        {96.0, QSize(300, 200), 0.85f},   // never below 0.85
        {144.0, QSize(), 1.5f},           // no screen size: the DPI alone
    };
    for (const Case &c : cases)
        EXPECT_EQ(QUIScale::factorForScreen(c.dpi, c.available), c.factor)
            << "dpi " << c.dpi << " on " << c.available.width() << "x" << c.available.height();
}

TEST_F(UiScale, ScaleTruncatesTowardZero)
{
    QUIScale::setFactor(1.25f);
    EXPECT_EQ(QUIScale::scale(26), 32);
    EXPECT_EQ(QUIScale::scale(18), 22);
    EXPECT_EQ(QUIScale::scale(12), 15);
    EXPECT_EQ(QUIScale::scale(-3), -3);
    QUIScale::setFactor(1.0f);
    EXPECT_EQ(QUIScale::scale(468), 468);
}

TEST_F(UiScale, StyleSheetFontSizesScaleOnce)
{
    QUIScale::setFactor(1.25f);
    QString sheet = QStringLiteral(
        "font-size: 14px;\nQLabel#a { font-size: 16px; }\nQLabel#b { font-size: 20px; }\n"
        "QLabel#c { font-size: 11px; font-size: 28px; font-size:14px; width: 14px; }");
    QUIScale::scaleStyleSheet(sheet);
    EXPECT_EQ(sheet, QStringLiteral(
        "font-size: 17px;\nQLabel#a { font-size: 20px; }\nQLabel#b { font-size: 25px; }\n"
        "QLabel#c { font-size: 11px; font-size: 28px; font-size:14px; width: 14px; }"));

    QUIScale::setFactor(1.0f);
    QString unchanged = QStringLiteral("QLabel { font-size: 14px; }");
    QUIScale::scaleStyleSheet(unchanged);
    EXPECT_EQ(unchanged, QStringLiteral("QLabel { font-size: 14px; }"));
}

TEST_F(UiScale, LoadsResourceSheetsAndEmptyForMissingFile)
{
    initVantrelResources();
    QUIScale::setFactor(2.0f);
    const QString sheet = QUIScale::loadStyleSheet(QStringLiteral(":/qss/msgbox.css"));
    EXPECT_TRUE(sheet.contains(QStringLiteral("font-size: 28px;")));
    EXPECT_FALSE(sheet.contains(QStringLiteral("font-size: 14px;")));
    EXPECT_TRUE(QUIScale::loadStyleSheet(QStringLiteral(":/qss/none.css")).isEmpty());
    EXPECT_TRUE(QUIScale::loadStyleSheet(QStringLiteral("/no/such/file.css")).isEmpty());

    // Every sheet of the program writes its font sizes in the form the scaling finds.
    for (const char *name : {"main", "login", "msgbox", "configure", "itemUpload", "itemRecord", "itemCourse"})
    {
        QUIScale::setFactor(1.0f);
        const QString plain = QUIScale::loadStyleSheet(QStringLiteral(":/qss/%1.css").arg(QLatin1String(name)));
        ASSERT_FALSE(plain.isEmpty()) << name;
        EXPECT_FALSE(plain.contains(QRegularExpression(QStringLiteral("font-size:(?! \\d+px;)")))) << name;
    }
}

// The main form at 1.25: sizes and geometries grow, "no maximum" stays, and scaling is done once.
TEST_F(UiScale, MainFormAtOneQuarterMore)
{
    QUIScale::setFactor(1.25f);
    QWidget root;
    Ui::QMainWidgetClass ui;
    ui.setupUi(&root);
    QUIScale::scaleForm(&root);
    EXPECT_EQ(root.size(), QSize(1260, 870));
    EXPECT_EQ(ui.btnTabUpload->geometry(), QRect(220, 10, 202, 60));
    EXPECT_EQ(ui.btnMin->minimumSize(), QSize(30, 30));
    EXPECT_EQ(ui.btnMin->maximumSize(), QSize(30, 30));
    EXPECT_EQ(ui.frameTitle->minimumHeight(), 110);
    EXPECT_EQ(ui.frameTitle->maximumHeight(), QWIDGETSIZE_MAX);
    EXPECT_EQ(ui.frameCourseLeft->minimumWidth(), 343);
    EXPECT_EQ(ui.frameCourseLeft->maximumWidth(), 343);
    EXPECT_EQ(ui.frameCourseLeft->maximumHeight(), QWIDGETSIZE_MAX);
    // Starting pages of the form alone.
    EXPECT_EQ(ui.stackedWidgetMain->currentIndex(), 0);
    EXPECT_EQ(ui.stackedWidgetVideo->currentIndex(), 1);
    EXPECT_EQ(ui.stackedWidgetRecord->currentIndex(), 1);
    EXPECT_EQ(ui.stackedWidgetUpload->currentIndex(), 0);
}

// Below 1.0 a scaled size may be another listed size (16 becomes 12 at 0.75): each declaration
// is still scaled once.
TEST_F(UiScale, StyleSheetFontSizesScaleOnceBelowOne)
{
    QUIScale::setFactor(0.75f);
    QString sheet = QStringLiteral(
        "QLabel#a { font-size: 16px; }\nQLabel#b { font-size: 12px; }\nQLabel#c { font-size: 20px; font-size: 116px; }");
    QUIScale::scaleStyleSheet(sheet);
    EXPECT_EQ(sheet, QStringLiteral(
        "QLabel#a { font-size: 12px; }\nQLabel#b { font-size: 9px; }\nQLabel#c { font-size: 15px; font-size: 116px; }"));
}
