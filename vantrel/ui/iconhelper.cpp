#include "iconhelper.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QThread>

namespace
{
    QString n(int value)
    {
        return QString::number(value);
    }

    QString sideBorder(const QString &side, int borderWidth)
    {
        const QString w = n(borderWidth);
        const QString w2 = n(2 * borderWidth);
        if (side == QLatin1String("top"))
            return QStringLiteral("border-width:%1px 0px 0px 0px;padding:%1px %2px %2px %2px;").arg(w, w2);
        if (side == QLatin1String("right"))
            return QStringLiteral("border-width:0px %1px 0px 0px;padding:%2px %1px %2px %2px;").arg(w, w2);
        if (side == QLatin1String("bottom"))
            return QStringLiteral("border-width:0px 0px %1px 0px;padding:%2px %2px %1px %2px;").arg(w, w2);
        if (side == QLatin1String("left"))
            return QStringLiteral("border-width:0px 0px 0px %1px;padding:%2px %2px %2px %1px;").arg(w, w2);
        return QString();
    }

    QString normalPiece(const QString &side, const QString &normalText, const QString &normalBackground)
    {
        return QStringLiteral("QWidget[flag=\"%1\"] QAbstractButton{border-style:none;border-radius:0px;padding:5px;color:%2;background:%3;}")
            .arg(side, normalText, normalBackground);
    }

    QString highlightPiece(const QString &side, const QString &border, const QString &borderColor,
                           const QString &highlightText, const QString &highlightBackground)
    {
        return QStringLiteral("QWidget[flag=\"%1\"] QAbstractButton:hover,QWidget[flag=\"%1\"] QAbstractButton:pressed,"
                              "QWidget[flag=\"%1\"] QAbstractButton:checked{border-style:solid;%2border-color:%3;color:%4;background:%5;}")
            .arg(side, border, borderColor, highlightText, highlightBackground);
    }

    // The icon font at `size` points on a label or button, and the glyph as its text.
    template<typename Widget>
    void showGlyph(Widget *widget, QFont font, QChar glyph, int size)
    {
        font.setPointSize(size);
        widget->setFont(font);
        widget->setText(glyph);
    }

    bool listsMatch(const QList<QToolButton *> &buttons, const QList<int> &glyphs)
    {
        return !buttons.isEmpty() && !glyphs.isEmpty() && buttons.size() == glyphs.size();
    }
}

IconHelper::IconHelper()
    : QObject(nullptr)
{
    // Lives on the GUI thread whichever thread asked first, so that it can filter button events.
    if (QCoreApplication *app = QCoreApplication::instance())
        if (thread() != app->thread())
            moveToThread(app->thread());

    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/music_player/Resources/fontawesome-webfont.ttf"));
    const QStringList families = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
    if (families.isEmpty())
        qDebug() << "load fontawesome-webfont.ttf error";
    else
        m_iconFont = QFont(families.first());
}

IconHelper *IconHelper::instance()
{
    // Created once, whichever threads ask at the same time; never deleted.
    static IconHelper *const object = new IconHelper();
    return object;
}

QFont IconHelper::iconFont() const
{
    return m_iconFont;
}

void IconHelper::setGlyph(QLabel *label, QChar glyph, int size)
{
    if (label)
        showGlyph(label, m_iconFont, glyph, size);
}

void IconHelper::setGlyph(QAbstractButton *button, QChar glyph, int size)
{
    if (button)
        showGlyph(button, m_iconFont, glyph, size);
}

QPixmap IconHelper::glyphPixmap(const QString &color, QChar glyph, int size, int width, int height)
{
    QPixmap pixmap(qMax(1, width), qMax(1, height));
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setPen(QColor(color));
    painter.setBrush(QColor(color));
    QFont font = m_iconFont;
    font.setPointSize(qMax(1, size));
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, QString(glyph));
    painter.end();
    return pixmap;
}

int IconHelper::indexOf(const QToolButton *button) const
{
    if (!button)
        return -1;
    for (int i = 0; i < m_buttons.size(); ++i)
        if (m_buttons.at(i).data() == button)
            return i;
    return -1;
}

QPixmap IconHelper::buttonPixmap(QToolButton *button, bool normal) const
{
    const int i = indexOf(button);
    if (i < 0)
        return QPixmap();
    return normal ? m_normalPixmaps.at(i) : m_highlightPixmaps.at(i);
}

void IconHelper::styleNavigationBar(QWidget *widget, const QString &side, int borderWidth,
                                    const QString &borderColor, const QString &normalBackground,
                                    const QString &highlightBackground, const QString &normalText,
                                    const QString &highlightText)
{
    if (!widget)
        return;
    const QString border = sideBorder(side, borderWidth);
    QStringList pieces;
    pieces << normalPiece(side, normalText, normalBackground);
    pieces << highlightPiece(side, border, borderColor, highlightText, highlightBackground);
    widget->setStyleSheet(pieces.join(QString()));
}

void IconHelper::styleNavigationButtons(QWidget *widget, const QList<QToolButton *> &buttons, const QList<int> &glyphs,
                                        int glyphSize, int iconWidth, int iconHeight, const QString &side,
                                        int borderWidth, const QString &borderColor, const QString &normalBackground,
                                        const QString &highlightBackground, const QString &normalText,
                                        const QString &highlightText)
{
    if (!widget || !listsMatch(buttons, glyphs))
        return;
    const QString border = sideBorder(side, borderWidth);
    QStringList pieces;
    if (buttons.first() && buttons.first()->toolButtonStyle() == Qt::ToolButtonTextBesideIcon)
        pieces << QStringLiteral("QWidget[flag=\"%1\"] QAbstractButton{border-style:solid;border-radius:0px;%2border-color:%3;color:%4;background:%5;}")
                      .arg(side, border, normalBackground, normalText, normalBackground);
    else
        pieces << normalPiece(side, normalText, normalBackground);
    pieces << highlightPiece(side, border, borderColor, highlightText, highlightBackground);
    pieces << QStringLiteral("QWidget#%1{background:%2;}").arg(widget->objectName(), normalBackground);
    pieces << QStringLiteral("QWidget>QToolButton{border-width:0px;}");
    pieces << QStringLiteral("QWidget>QToolButton{background-color:%1;color:%2;}").arg(normalBackground, normalText);
    pieces << QStringLiteral("QWidget>QToolButton:hover,QWidget>QToolButton:pressed,QWidget>QToolButton:checked{background-color:%1;color:%2;}")
                  .arg(highlightBackground, highlightText);
    widget->setStyleSheet(pieces.join(QString()));
    watchButtons(buttons, glyphs, glyphSize, iconWidth, iconHeight, normalText, highlightText);
}

void IconHelper::styleFrameButtons(QFrame *frame, const QList<QToolButton *> &buttons, const QList<int> &glyphs,
                                   int glyphSize, int iconWidth, int iconHeight, const QString &normalBackground,
                                   const QString &highlightBackground, const QString &normalText,
                                   const QString &highlightText)
{
    if (!frame || !listsMatch(buttons, glyphs))
        return;
    QStringList pieces;
    pieces << QStringLiteral("QFrame>QToolButton{border-style:none;border-width:0px;}");
    pieces << QStringLiteral("QFrame>QToolButton{background-color:%1;color:%2;}").arg(normalBackground, normalText);
    pieces << QStringLiteral("QFrame>QToolButton:hover,QFrame>QToolButton:pressed,QFrame>QToolButton:checked{background-color:%1;color:%2;}")
                  .arg(highlightBackground, highlightText);
    frame->setStyleSheet(pieces.join(QString()));
    watchButtons(buttons, glyphs, glyphSize, iconWidth, iconHeight, normalText, highlightText);
}

void IconHelper::watchButtons(const QList<QToolButton *> &buttons, const QList<int> &glyphs, int glyphSize,
                              int iconWidth, int iconHeight, const QString &normalText, const QString &highlightText)
{
    for (int i = 0; i < buttons.size(); ++i)
    {
        QToolButton *button = buttons.at(i);
        if (!button)
            continue;
        const QChar glyph(glyphs.at(i));
        const QPixmap normal = glyphPixmap(normalText, glyph, glyphSize, iconWidth, iconHeight);
        const QPixmap highlight = glyphPixmap(highlightText, glyph, glyphSize, iconWidth, iconHeight);
        button->setIcon(QIcon(normal));
        button->setIconSize(QSize(iconWidth, iconHeight));
        button->installEventFilter(this);
        m_buttons.append(QPointer<QToolButton>(button));
        m_normalPixmaps.append(normal);
        m_highlightPixmaps.append(highlight);
    }
}

bool IconHelper::eventFilter(QObject *watched, QEvent *event)
{
    auto *button = qobject_cast<QToolButton *>(watched);
    const int i = button ? indexOf(button) : -1;
    if (i >= 0)
    {
        if (event->type() == QEvent::Enter)
            button->setIcon(QIcon(m_highlightPixmaps.at(i)));
        else if (event->type() == QEvent::Leave)
            button->setIcon(QIcon(button->isChecked() ? m_highlightPixmaps.at(i) : m_normalPixmaps.at(i)));
    }
    return QObject::eventFilter(watched, event);
}
