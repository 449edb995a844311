#pragma once

#include <QFont>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QToolButton>

class QAbstractButton;
class QFrame;
class QLabel;

// Glyphs of an icon font in labels, buttons and pixmaps, and navigation bars of tool buttons
// whose icons follow hover and check. Buttons it watches are held weakly: a destroyed button
// is never touched again.
class IconHelper : public QObject
{
    Q_OBJECT

public:
    static IconHelper *instance();

    void setGlyph(QLabel *label, QChar glyph, int size);
    void setGlyph(QAbstractButton *button, QChar glyph, int size);
    QPixmap glyphPixmap(const QString &color, QChar glyph, int size, int width, int height);
    // The stored normal (true) or highlight (false) pixmap of a watched button; null otherwise.
    QPixmap buttonPixmap(QToolButton *button, bool normal) const;

    // Style of the buttons inside a widget whose property "flag" the caller set to `side`.
    static void styleNavigationBar(QWidget *widget, const QString &side, int borderWidth,
                                   const QString &borderColor, const QString &normalBackground,
                                   const QString &highlightBackground, const QString &normalText,
                                   const QString &highlightText);
    void styleNavigationButtons(QWidget *widget, const QList<QToolButton *> &buttons, const QList<int> &glyphs,
                                int glyphSize, int iconWidth, int iconHeight, const QString &side,
                                int borderWidth, const QString &borderColor, const QString &normalBackground,
                                const QString &highlightBackground, const QString &normalText,
                                const QString &highlightText);
    void styleFrameButtons(QFrame *frame, const QList<QToolButton *> &buttons, const QList<int> &glyphs,
                           int glyphSize, int iconWidth, int iconHeight, const QString &normalBackground,
                           const QString &highlightBackground, const QString &normalText,
                           const QString &highlightText);

    QFont iconFont() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    IconHelper();
    void watchButtons(const QList<QToolButton *> &buttons, const QList<int> &glyphs, int glyphSize,
                      int iconWidth, int iconHeight, const QString &normalText, const QString &highlightText);
    int indexOf(const QToolButton *button) const;

    QFont m_iconFont;
    QList<QPointer<QToolButton>> m_buttons;
    QList<QPixmap> m_normalPixmaps;
    QList<QPixmap> m_highlightPixmaps;
};
