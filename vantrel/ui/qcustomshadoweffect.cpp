#include "qcustomshadoweffect.h"

#include <cstdlib>

#include <QGuiApplication>
#include <QImage>
#include <QLayout>
#include <QPainter>
#include <QPalette>
#include <QWidget>

#include <xcb/xcb.h>

// Qt's own image blur, exported by QtWidgets (the one QGraphicsBlurEffect uses).
void qt_blurImage(QPainter *p, QImage &blurImage, qreal radius, bool quality, bool alphaOnly, int transposed);

QCustomShadowEffect::QCustomShadowEffect(QObject *parent)
    : QGraphicsEffect(parent)
{
}

bool QCustomShadowEffect::compositing()
{
    const QByteArray forced = qgetenv("VANTREL_COMPOSITOR");
    if (forced == "0" || forced == "1")
        return forced == "1";
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
    // Asked once: a compositing manager owns the selection _NET_WM_CM_S<screen>.
    static const bool running = []() {
        int screen = 0;
        xcb_connection_t *connection = xcb_connect(nullptr, &screen);
        if (!connection || xcb_connection_has_error(connection))
        {
            if (connection)
                xcb_disconnect(connection);
            return true;
        }
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(screen);
        bool owned = false;
        xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr);
        if (atom)
        {
            xcb_get_selection_owner_reply_t *owner =
                xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
            if (owner)
            {
                owned = owner->owner != XCB_NONE;
                free(owner);
            }
            free(atom);
        }
        xcb_disconnect(connection);
        return owned;
    }();
    return running;
}

void QCustomShadowEffect::installOn(QWidget *window)
{
    const bool composited = compositing();
    window->setProperty("composited", composited);
    if (!composited)
    {
        window->setAttribute(Qt::WA_TranslucentBackground, false);
        // Set with the translucency, and not cleared by clearing it: what the window's own face
        // leaves open (the rounded corners of a frame or picture) would stay undrawn, black on
        // the screen. Filled white instead, like the faces round them.
        window->setAttribute(Qt::WA_NoSystemBackground, false);
        window->setAutoFillBackground(true);
        QPalette palette = window->palette();
        palette.setColor(QPalette::Window, Qt::white);
        window->setPalette(palette);
        if (QLayout *layout = window->layout())
            layout->setContentsMargins(0, 0, 0, 0);
        window->setGraphicsEffect(nullptr);
        window->update();
        return;
    }
    auto *shadow = new QCustomShadowEffect(nullptr);
    shadow->setBlurRadius(8.0);
    shadow->setDistance(1.0);
    shadow->setColor(QColor(0, 0, 0, 80));
    window->setGraphicsEffect(shadow);
    window->update();
}

QRectF QCustomShadowEffect::boundingRectFor(const QRectF &rect) const
{
    const qreal delta = m_blurRadius + m_distance;
    return rect.united(rect.adjusted(-delta, -delta, delta, delta));
}

void QCustomShadowEffect::setDistance(double distance)
{
    m_distance = distance;
    updateBoundingRect();
}

double QCustomShadowEffect::distance() const
{
    return m_distance;
}

void QCustomShadowEffect::setBlurRadius(double blurRadius)
{
    m_blurRadius = blurRadius;
    updateBoundingRect();
}

double QCustomShadowEffect::blurRadius() const
{
    return m_blurRadius;
}

void QCustomShadowEffect::setColor(const QColor &color)
{
    m_color = color;
}

QColor QCustomShadowEffect::color() const
{
    return m_color;
}

void QCustomShadowEffect::draw(QPainter *painter)
{
    if (m_blurRadius + m_distance <= 0)
    {
        drawSource(painter);
        return;
    }

    QPoint offset;
    const QPixmap pixmap = sourcePixmap(Qt::DeviceCoordinates, &offset, QGraphicsEffect::PadToEffectiveBoundingRect);
    if (pixmap.isNull())
        return;

    const QTransform saved = painter->worldTransform();
    painter->setWorldTransform(QTransform());

    const QSize size(static_cast<int>(pixmap.width() + 2 * m_distance),
                     static_cast<int>(pixmap.height() + 2 * m_distance));
    QImage shadow(size, QImage::Format_ARGB32_Premultiplied);
    shadow.fill(0);
    {
        QPainter shadowPainter(&shadow);
        shadowPainter.setCompositionMode(QPainter::CompositionMode_Source);
        shadowPainter.drawPixmap(QPointF(-m_distance, -m_distance),
                                 pixmap.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    }

    QImage blurred(shadow.size(), QImage::Format_ARGB32_Premultiplied);
    blurred.fill(0);
    {
        QPainter blurPainter(&blurred);
        qt_blurImage(&blurPainter, shadow, m_blurRadius, false, true, 0);
    }
    shadow = blurred;

    {
        QPainter colorPainter(&shadow);
        colorPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        colorPainter.fillRect(shadow.rect(), m_color);
    }

    painter->drawImage(offset, shadow);
    painter->drawPixmap(offset, pixmap);
    painter->setWorldTransform(saved);
}
