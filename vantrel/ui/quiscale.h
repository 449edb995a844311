#pragma once

#include <QSize>
#include <QString>

class QWidget;

// Process-wide UI scale: picked once from the screen's DPI, applied to every pixel size of the
// forms and to the font sizes written in the style sheets.
namespace QUIScale
{
    // Picks the factor from the first screen's logical DPI and free area (1.0 when there is no
    // screen).
    void init();
    // The factor for a logical DPI: 1.0, 1.25, 1.5, 1.75 or 2.0.
    float factorForDpi(double dpi);
    // The factor for a DPI, lowered step by step until the largest dialog fits a screen whose
    // free area is `available`; where it does not fit even at 1.0, the largest twentieth below
    // that fits (not below 0.85). An empty size leaves the DPI's factor.
    float factorForScreen(double dpi, const QSize &available);
    float factor();
    void setFactor(float factor);

    // value x factor in single precision, truncated toward zero.
    int scale(int value);
    // Rewrites the "font-size: Npx;" declarations of a style sheet in place.
    void scaleStyleSheet(QString &styleSheet);
    // Scaled text of a style-sheet file; empty when it cannot be opened.
    QString loadStyleSheet(const QString &path);
    void replaceAll(QString &text, const QString &before, const QString &after);

    // Scales, once, the sizes a designer form set on `root` and its named children: the root's
    // size, every geometry, minimum and maximum size ("no maximum" stays as it is).
    void scaleForm(QWidget *root);
}
