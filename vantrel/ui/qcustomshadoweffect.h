#pragma once

#include <QColor>
#include <QGraphicsEffect>

// Soft drop shadow painted round a frameless window into its transparent margin.
class QCustomShadowEffect : public QGraphicsEffect
{
    Q_OBJECT

public:
    explicit QCustomShadowEffect(QObject *parent = nullptr);

    // Gives a window the shadow of every window of the program (blur radius 8, distance 1,
    // black at alpha 80); the window owns it. Without a compositing manager a translucent
    // margin shows as a black frame: the window then gets no shadow, no margin and an opaque
    // background. The window's property "composited" says which, for its style sheet (a
    // window that is a plain rectangle draws no rounded corners).
    static void installOn(QWidget *window);
    // True when the desktop composites translucent windows (an X11 compositing manager runs;
    // other platforms are taken as compositing). VANTREL_COMPOSITOR=0 or 1 overrides it.
    static bool compositing();

    QRectF boundingRectFor(const QRectF &rect) const override;

    void setDistance(double distance);
    double distance() const;
    void setBlurRadius(double blurRadius);
    double blurRadius() const;
    void setColor(const QColor &color);
    QColor color() const;

protected:
    void draw(QPainter *painter) override;

private:
    double m_distance = 4.0;
    double m_blurRadius = 10.0;
    QColor m_color {0, 0, 0, 80};
};
