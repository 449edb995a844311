#include "flatui.h"

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QSlider>

namespace
{
    QString n(int value)
    {
        return QString::number(value);
    }

    void apply(QWidget *widget, const QStringList &pieces)
    {
        if (widget)
            widget->setStyleSheet(pieces.join(QString()));
    }
}

FlatUI::FlatUI()
    : QObject(nullptr)
{
}

FlatUI *FlatUI::instance()
{
    // Created once, whichever threads ask at the same time; never deleted.
    static FlatUI *const object = new FlatUI();
    return object;
}

void FlatUI::stylePushButton(QPushButton *button, int radius, int padding,
                                const QString &normalBackground, const QString &normalText,
                                const QString &hoverBackground, const QString &hoverText,
                                const QString &pressedBackground, const QString &pressedText)
{
    QStringList pieces;
    pieces << QStringLiteral("QPushButton{border-style:none;padding:%1px;border-radius:%2px;color:%3;background:%4;}")
                  .arg(n(padding), n(radius), normalText, normalBackground);
    pieces << QStringLiteral("QPushButton:hover{color:%1;background:%2;}").arg(hoverText, hoverBackground);
    pieces << QStringLiteral("QPushButton:pressed{color:%1;background:%2;}").arg(pressedText, pressedBackground);
    apply(button, pieces);
}

void FlatUI::styleLineEdit(QLineEdit *edit, int radius, int borderWidth,
                              const QString &normalBorder, const QString &focusBorder)
{
    QStringList pieces;
    pieces << QStringLiteral("QLineEdit{border-style:none;padding:3px;border-radius:%1px;border:%2px solid %3;}")
                  .arg(n(radius), n(borderWidth), normalBorder);
    pieces << QStringLiteral("QLineEdit:focus{border:%1px solid %2;}").arg(n(borderWidth), focusBorder);
    apply(edit, pieces);
}

void FlatUI::styleProgressBar(QProgressBar *bar, int maxHeight, int radius, int fontSize,
                                 const QString &background, const QString &chunk)
{
    QStringList pieces;
    pieces << QStringLiteral("QProgressBar{font:%1px;font-family:Microsoft YaHei;font-weight:400;color:rgba(13,104,69,1);"
                             "background:%2;max-height:%3px;border-radius:%4px;text-align:center;border:none;}")
                  .arg(n(fontSize), background, n(maxHeight), n(radius));
    // The chunk is a sub-control: two colons.
    pieces << QStringLiteral("QProgressBar::chunk{border-radius:%2px;background-color:%1;}").arg(chunk, n(radius));
    apply(bar, pieces);
}

void FlatUI::styleSlider(QSlider *slider, int grooveHeight, const QString &normal,
                            const QString &groove, const QString &handle)
{
    const int h = grooveHeight;
    const int r = 0;
    int w = 3 * h;
    const int handleRadius = w / 2;
    const int margin = (w / 2) / 2 + 1;
    const QString gradient = QStringLiteral(
        "qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,fx:0.5,fy:0.5,stop:0.7 #FFFFFF,stop:0.8 %1)");

    QStringList pieces;
    pieces << QStringLiteral("QSlider::groove:horizontal{background:%1;height:%2px;border-radius:%3px;}").arg(normal, n(h), n(r));
    pieces << QStringLiteral("QSlider::add-page:horizontal{background:%1;height:%2px;border-radius:%3px;}").arg(normal, n(h), n(r));
    pieces << QStringLiteral("QSlider::sub-page:horizontal{background:%1;height:%2px;border-radius:%3px;}").arg(groove, n(h), n(r));
    pieces << QStringLiteral("QSlider::handle:horizontal{width:%2px;margin-top:-%3px;margin-bottom:-%3px;border-radius:%4px;background:%1;}")
                  .arg(gradient.arg(handle), n(w), n(margin), n(handleRadius));
    // The vertical handle is one pixel longer.
    ++w;
    pieces << QStringLiteral("QSlider::groove:vertical{width:%2px;border-radius:%3px;background:%1;}").arg(normal, n(h), n(r));
    pieces << QStringLiteral("QSlider::add-page:vertical{width:%2px;border-radius:%3px;background:%1;}").arg(groove, n(h), n(r));
    pieces << QStringLiteral("QSlider::sub-page:vertical{width:%2px;border-radius:%3px;background:%1;}").arg(normal, n(h), n(r));
    pieces << QStringLiteral("QSlider::handle:vertical{height:%2px;margin-left:-%3px;margin-right:-%3px;border-radius:%4px;background:%1;}")
                  .arg(gradient.arg(handle), n(w), n(margin), n(handleRadius));
    apply(slider, pieces);
}

void FlatUI::styleRadioButton(QRadioButton *button, int indicatorRadius,
                                 const QString &unchecked, const QString &checked)
{
    const int r = indicatorRadius;
    QStringList pieces;
    pieces << QStringLiteral("QRadioButton::indicator{border-radius:%1px;width:%2px;height:%2px;}").arg(n(r), n(2 * r));
    pieces << QStringLiteral("QRadioButton::indicator::unchecked{background:qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,"
                             "fx:0.5,fy:0.5,stop:0.6 #FFFFFF,stop:0.7 %1);}")
                  .arg(unchecked);
    pieces << QStringLiteral("QRadioButton::indicator::checked{background:qradialgradient(spread:pad,cx:0.5,cy:0.5,radius:0.5,"
                             "fx:0.5,fy:0.5,stop:0 %1,stop:0.3 %1,stop:0.4 #FFFFFF,stop:0.6 #FFFFFF,stop:0.7 %1);}")
                  .arg(checked);
    apply(button, pieces);
}

void FlatUI::styleScrollBar(QScrollBar *bar, int radius, int handleMinLength, int maxThickness,
                               const QString &background, const QString &handle,
                               const QString &handleHover, const QString &handlePressed)
{
    const int padding = 0;
    struct Direction
    {
        const char *name;
        const char *thickness;
        const char *length;
    };
    const Direction directions[] = {{"horizontal", "max-height", "min-width"}, {"vertical", "max-width", "min-height"}};
    QStringList pieces;
    for (const Direction &d : directions)
    {
        const QString dir = QLatin1String(d.name);
        pieces << QStringLiteral("QScrollBar:%1{background:%2;padding:%3px;border-radius:%4px;%5:%6px;}")
                      .arg(dir, background, n(padding), n(radius), QLatin1String(d.thickness), n(maxThickness));
        pieces << QStringLiteral("QScrollBar::handle:%1{background:%2;%3:%4px;border-radius:%5px;}")
                      .arg(dir, handle, QLatin1String(d.length), n(handleMinLength), n(radius));
        pieces << QStringLiteral("QScrollBar::handle:%1:hover{background:%2;}").arg(dir, handleHover);
        pieces << QStringLiteral("QScrollBar::handle:%1:pressed{background:%2;}").arg(dir, handlePressed);
        for (const char *part : {"add-page", "sub-page", "add-line", "sub-line"})
            pieces << QStringLiteral("QScrollBar::%1:%2{background:none;}").arg(QLatin1String(part), dir);
    }
    apply(bar, pieces);
}
