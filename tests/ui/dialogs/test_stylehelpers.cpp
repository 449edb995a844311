#include <set>
#include <thread>
#include <vector>

#include <QApplication>
#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>
#include <QToolButton>

#include <gtest/gtest.h>

#include "flatui.h"
#include "iconhelper.h"

namespace
{
    bool sameImage(const QIcon &icon, const QPixmap &pixmap)
    {
        return icon.pixmap(pixmap.size()).toImage().convertToFormat(QImage::Format_ARGB32)
            == pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
    }

    bool hasColour(const QImage &image, QColor colour, const QRect &area)
    {
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
            {
                const QColor c = image.pixelColor(x, y);
                if (qAbs(c.red() - colour.red()) < 40 && qAbs(c.green() - colour.green()) < 40
                    && qAbs(c.blue() - colour.blue()) < 40 && c.alpha() > 200)
                    return true;
            }
        return false;
    }
}

// The texts of each flat style, as applied to the widget.
TEST(StyleHelpers, FlatStyleTexts)
{
    FlatUI *ui = FlatUI::instance();
    QPushButton button;
    ui->stylePushButton(&button, 4, 6, "#1", "#2", "#3", "#4", "#5", "#6");
    EXPECT_EQ(button.styleSheet(),
              "QPushButton{border-style:none;padding:6px;border-radius:4px;color:#2;background:#1;}"
              "QPushButton:hover{color:#4;background:#3;}"
              "QPushButton:pressed{color:#6;background:#5;}");

    QLineEdit edit;
    ui->styleLineEdit(&edit, 3, 2, "#A", "#B");
    EXPECT_EQ(edit.styleSheet(),
              "QLineEdit{border-style:none;padding:3px;border-radius:3px;border:2px solid #A;}"
              "QLineEdit:focus{border:2px solid #B;}");

    QProgressBar bar;
    ui->styleProgressBar(&bar, 20, 5, 12, "#BG", "#CH");
    EXPECT_EQ(bar.styleSheet(),
              "QProgressBar{font:12px;font-family:Microsoft YaHei;font-weight:400;color:rgba(13,104,69,1);"
              "background:#BG;max-height:20px;border-radius:5px;text-align:center;border:none;}"
              "QProgressBar::chunk{border-radius:5px;background-color:#CH;}");

    const QString gradient = "qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,fx:0.5,fy:0.5,stop:0.7 #FFFFFF,stop:0.8 #H)";
    QSlider slider;
    ui->styleSlider(&slider, 4, "#N", "#G", "#H");
    EXPECT_EQ(slider.styleSheet(),
              "QSlider::groove:horizontal{background:#N;height:4px;border-radius:0px;}"
              "QSlider::add-page:horizontal{background:#N;height:4px;border-radius:0px;}"
              "QSlider::sub-page:horizontal{background:#G;height:4px;border-radius:0px;}"
              "QSlider::handle:horizontal{width:12px;margin-top:-4px;margin-bottom:-4px;border-radius:6px;background:" + gradient + ";}"
              "QSlider::groove:vertical{width:4px;border-radius:0px;background:#N;}"
              "QSlider::add-page:vertical{width:4px;border-radius:0px;background:#G;}"
              "QSlider::sub-page:vertical{width:4px;border-radius:0px;background:#N;}"
              "QSlider::handle:vertical{height:13px;margin-left:-4px;margin-right:-4px;border-radius:6px;background:" + gradient + ";}");

    QRadioButton radio;
    ui->styleRadioButton(&radio, 8, "#U", "#C");
    EXPECT_EQ(radio.styleSheet(),
              "QRadioButton::indicator{border-radius:8px;width:16px;height:16px;}"
              "QRadioButton::indicator::unchecked{background:qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,fx:0.5,fy:0.5,"
              "stop:0.6 #FFFFFF,stop:0.7 #U);}"
              "QRadioButton::indicator::checked{background:qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,fx:0.5,fy:0.5,"
              "stop:0 #C,stop:0.3 #C,stop:0.4 #FFFFFF,stop:0.6 #FFFFFF,stop:0.7 #C);}");

    QScrollBar scroll;
    ui->styleScrollBar(&scroll, 3, 30, 8, "#B", "#H", "#O", "#P");
    QString expected;
    for (const char *dir : {"horizontal", "vertical"})
    {
        const bool h = QLatin1String(dir) == QLatin1String("horizontal");
        expected += QStringLiteral("QScrollBar:%1{background:#B;padding:0px;border-radius:3px;%2:8px;}").arg(dir, h ? "max-height" : "max-width");
        expected += QStringLiteral("QScrollBar::handle:%1{background:#H;%2:30px;border-radius:3px;}").arg(dir, h ? "min-width" : "min-height");
        expected += QStringLiteral("QScrollBar::handle:%1:hover{background:#O;}QScrollBar::handle:%1:pressed{background:#P;}").arg(dir);
        for (const char *part : {"add-page", "sub-page", "add-line", "sub-line"})
            expected += QStringLiteral("QScrollBar::%1:%2{background:none;}").arg(part, dir);
    }
    EXPECT_EQ(scroll.styleSheet(), expected);

    // Colours that look like placeholders are taken as they are.
    QPushButton odd;
    ui->stylePushButton(&odd, 1, 1, "%2", "%1", "a", "b", "c", "d");
    EXPECT_TRUE(odd.styleSheet().startsWith("QPushButton{border-style:none;padding:1px;border-radius:1px;color:%1;background:%2;}"));
    // No widget: nothing happens.
    ui->styleLineEdit(nullptr, 1, 1, "#A", "#B");
}

// The styles take effect when drawn: the progress chunk and the checked indicator show their colours.
TEST(StyleHelpers, FlatStylesAreDrawn)
{
    QProgressBar bar;
    bar.setRange(0, 100);
    bar.setValue(100);
    bar.setTextVisible(false);
    bar.resize(200, 20);
    FlatUI::instance()->styleProgressBar(&bar, 20, 0, 12, "#0000ff", "#ff0000");
    const QImage barImage = bar.grab().toImage();
    EXPECT_TRUE(hasColour(barImage, QColor(255, 0, 0), QRect(20, 5, 160, 10)));

    QRadioButton radio(QStringLiteral("x"));
    radio.setAutoExclusive(false);
    radio.setChecked(true);
    radio.resize(60, 30);
    FlatUI::instance()->styleRadioButton(&radio, 8, "#00ff00", "#ff0000");
    const QImage radioImage = radio.grab().toImage();
    EXPECT_TRUE(hasColour(radioImage, QColor(255, 0, 0), QRect(0, 0, 24, 30)));
    radio.setChecked(false);
    const QImage uncheckedImage = radio.grab().toImage();
    EXPECT_TRUE(hasColour(uncheckedImage, QColor(0, 255, 0), QRect(0, 0, 24, 30)));
    EXPECT_FALSE(hasColour(uncheckedImage, QColor(255, 0, 0), QRect(0, 0, 24, 30)));
}

// One instance each, whichever threads ask at once; the icon helper lives on the GUI thread.
TEST(StyleHelpers, InstancesFromManyThreads)
{
    std::vector<std::thread> threads;
    std::vector<FlatUI *> flats(8, nullptr);
    std::vector<IconHelper *> icons(8, nullptr);
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([i, &flats, &icons]() {
            flats[i] = FlatUI::instance();
            icons[i] = IconHelper::instance();
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(std::set<FlatUI *>(flats.begin(), flats.end()).size(), 1u);
    EXPECT_EQ(std::set<IconHelper *>(icons.begin(), icons.end()).size(), 1u);
    EXPECT_EQ(icons.front(), IconHelper::instance());
    EXPECT_EQ(IconHelper::instance()->thread(), QApplication::instance()->thread());
}

TEST(StyleHelpers, NavigationBarSides)
{
    struct Case
    {
        const char *side;
        const char *border;
    };
    const Case cases[] = {
        {"top", "border-width:3px 0px 0px 0px;padding:3px 6px 6px 6px;"},
        {"right", "border-width:0px 3px 0px 0px;padding:6px 3px 6px 6px;"},
        {"bottom", "border-width:0px 0px 3px 0px;padding:6px 6px 3px 6px;"},
        {"left", "border-width:0px 0px 0px 3px;padding:6px 6px 6px 3px;"},
        {"middle", ""},
    };
    for (const Case &c : cases)
    {
        QWidget bar;
        IconHelper::styleNavigationBar(&bar, c.side, 3, "#BC", "#NB", "#HB", "#NT", "#HT");
        const QString s = QString::fromLatin1(c.side);
        EXPECT_EQ(bar.styleSheet(),
                  QStringLiteral("QWidget[flag=\"%1\"] QAbstractButton{border-style:none;border-radius:0px;padding:5px;color:#NT;background:#NB;}"
                                 "QWidget[flag=\"%1\"] QAbstractButton:hover,QWidget[flag=\"%1\"] QAbstractButton:pressed,"
                                 "QWidget[flag=\"%1\"] QAbstractButton:checked{border-style:solid;%2border-color:#BC;color:#HT;background:#HB;}")
                      .arg(s, QString::fromLatin1(c.border)))
            << c.side;
    }
}

// Watched buttons swap icons on hover and keep the highlight while checked; lists of different
// sizes change nothing; a destroyed button is forgotten, a button styled twice keeps its first icons.
TEST(StyleHelpers, NavigationButtonsFollowHover)
{
    IconHelper *helper = IconHelper::instance();
    QWidget bar;
    bar.setObjectName(QStringLiteral("navBar"));
    auto *first = new QToolButton(&bar);
    auto *second = new QToolButton(&bar);
    second->setCheckable(true);

    helper->styleNavigationButtons(&bar, {first, second}, {0x41}, 12, 20, 20, "left", 2, "#000", "#fff", "#eee", "#111111", "#ff0000");
    EXPECT_TRUE(bar.styleSheet().isEmpty());
    EXPECT_TRUE(first->icon().isNull());
    EXPECT_TRUE(helper->buttonPixmap(first, true).isNull());

    helper->styleNavigationButtons(&bar, {first, second}, {0x41, 0x42}, 12, 20, 20, "left", 2, "#000", "#fff", "#eee", "#111111", "#ff0000");
    EXPECT_TRUE(bar.styleSheet().contains("QWidget#navBar{background:#fff;}"));
    const QPixmap normal = helper->buttonPixmap(second, true);
    const QPixmap highlight = helper->buttonPixmap(second, false);
    ASSERT_FALSE(normal.isNull());
    EXPECT_EQ(normal.size(), QSize(20, 20));
    EXPECT_EQ(second->iconSize(), QSize(20, 20));
    EXPECT_TRUE(hasColour(highlight.toImage(), QColor(255, 0, 0), highlight.rect()));
    EXPECT_FALSE(hasColour(normal.toImage(), QColor(255, 0, 0), normal.rect()));
    EXPECT_TRUE(sameImage(second->icon(), normal));

    QEvent enter(QEvent::Enter);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(second, &enter);
    EXPECT_TRUE(sameImage(second->icon(), highlight));
    QApplication::sendEvent(second, &leave);
    EXPECT_TRUE(sameImage(second->icon(), normal));
    second->setChecked(true);
    QApplication::sendEvent(second, &enter);
    QApplication::sendEvent(second, &leave);
    EXPECT_TRUE(sameImage(second->icon(), highlight));

    // Styled again in other colours: the first pixmaps are the ones found.
    QFrame frame;
    helper->styleFrameButtons(&frame, {second}, {0x43}, 12, 20, 20, "#fff", "#eee", "#00ff00", "#0000ff");
    EXPECT_TRUE(frame.styleSheet().startsWith("QFrame>QToolButton{border-style:none;border-width:0px;}"));
    EXPECT_TRUE(sameImage(QIcon(helper->buttonPixmap(second, false)), highlight));

    // A destroyed button is never touched again.
    delete first;
    auto *later = new QToolButton(&bar);
    QApplication::sendEvent(later, &enter);
    EXPECT_TRUE(later->icon().isNull());
    EXPECT_TRUE(helper->buttonPixmap(later, true).isNull());
    EXPECT_TRUE(helper->buttonPixmap(nullptr, true).isNull());
}

TEST(StyleHelpers, GlyphPixmap)
{
    const QPixmap pixmap = IconHelper::instance()->glyphPixmap("#ff0000", QChar(0x41), 14, 24, 30);
    ASSERT_EQ(pixmap.size(), QSize(24, 30));
    const QImage image = pixmap.toImage();
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_TRUE(hasColour(image, QColor(255, 0, 0), QRect(4, 4, 16, 22)));

    QLabel label;
    IconHelper::instance()->setGlyph(&label, QChar(0x41), 18);
    EXPECT_EQ(label.text(), QStringLiteral("A"));
    EXPECT_EQ(label.font().pointSize(), 18);
    QToolButton button;
    IconHelper::instance()->setGlyph(&button, QChar(0x42), 16);
    EXPECT_EQ(button.text(), QStringLiteral("B"));
    EXPECT_EQ(button.font().pointSize(), 16);
    IconHelper::instance()->setGlyph(static_cast<QLabel *>(nullptr), QChar(0x42), 16);
}
