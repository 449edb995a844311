#pragma once

#include <QObject>
#include <QString>

class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QScrollBar;
class QSlider;

// Flat-look style sheets for common controls, built from sizes and colours and applied to the
// given widget. A null widget gets nothing.
class FlatUI : public QObject
{
    Q_OBJECT

public:
    static FlatUI *instance();

    void stylePushButton(QPushButton *button, int radius, int padding,
                            const QString &normalBackground, const QString &normalText,
                            const QString &hoverBackground, const QString &hoverText,
                            const QString &pressedBackground, const QString &pressedText);
    void styleLineEdit(QLineEdit *edit, int radius, int borderWidth,
                          const QString &normalBorder, const QString &focusBorder);
    void styleProgressBar(QProgressBar *bar, int maxHeight, int radius, int fontSize,
                             const QString &background, const QString &chunk);
    void styleSlider(QSlider *slider, int grooveHeight, const QString &normal,
                        const QString &groove, const QString &handle);
    void styleRadioButton(QRadioButton *button, int indicatorRadius,
                             const QString &unchecked, const QString &checked);
    void styleScrollBar(QScrollBar *bar, int radius, int handleMinLength, int maxThickness,
                           const QString &background, const QString &handle,
                           const QString &handleHover, const QString &handlePressed);

private:
    FlatUI();
};
