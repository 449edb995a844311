#include "quiscale.h"

#include <algorithm>
#include <cmath>

#include <QFile>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <QWidget>

#include "logger.h"

namespace
{
    float g_factor = 1.0f;
    // The least factor, in twentieths: below 0.85 the 12 px texts get too small to read and
    // the settings dialog's radio buttons no longer fit their frames.
    constexpr int kLeastTwentieths = 17;

    int scaleExtent(int value)
    {
        return value >= QWIDGETSIZE_MAX ? value : QUIScale::scale(value);
    }

    QSize scaleLimit(const QSize &size)
    {
        return QSize(scaleExtent(size.width()), scaleExtent(size.height()));
    }

    void scaleWidget(QWidget *widget, bool isRoot)
    {
        const QSize minimum = widget->minimumSize();
        const QSize maximum = widget->maximumSize();
        const QRect geometry = widget->geometry();
        // Maximum first: a grown minimum must never exceed the old maximum.
        widget->setMaximumSize(scaleLimit(maximum));
        widget->setMinimumSize(scaleLimit(minimum));
        if (isRoot)
            widget->resize(QUIScale::scale(geometry.width()), QUIScale::scale(geometry.height()));
        else
            widget->setGeometry(QUIScale::scale(geometry.x()), QUIScale::scale(geometry.y()),
                                QUIScale::scale(geometry.width()), QUIScale::scale(geometry.height()));
    }
}

namespace QUIScale
{
    float factorForDpi(double dpi)
    {
        const float ratio = static_cast<float>(dpi / 96.0);
        if (ratio < 1.1)
            return 1.0f;
        if (ratio < 1.4)
            return 1.25f;
        if (ratio < 1.6)
            return 1.5f;
        if (ratio < 1.8)
            return 1.75f;
        return 2.0f;
    }

    float factorForScreen(double dpi, const QSize &available)
    {
        // The largest dialog's design size (the settings dialog), shadow margin included.
        const QSize largest(748, 538);
        static const float steps[] = {2.0f, 1.75f, 1.5f, 1.25f, 1.0f};
        const float wanted = factorForDpi(dpi);
        if (available.isEmpty())
            return wanted;
        const auto fits = [&](float factor) {
            return static_cast<int>(static_cast<float>(largest.width()) * factor) <= available.width()
                && static_cast<int>(static_cast<float>(largest.height()) * factor) <= available.height();
        };
        for (float step : steps)
        {
            if (step <= wanted && fits(step))
                return step;
        }
        // Smaller than the design size even at 1.0 (a small screen, or one that Qt's own scale
        // factor makes small): the largest twentieth that fits, not below 0.85 (a window larger
        // than the screen then shrinks to it, its title kept on the screen).
        const double room = std::min(static_cast<double>(available.width()) / largest.width(),
                                     static_cast<double>(available.height()) / largest.height());
        int twentieths = std::min(19, static_cast<int>(std::floor(room * 20.0)));
        while (twentieths > kLeastTwentieths && !fits(static_cast<float>(twentieths) / 20.0f))
            --twentieths;
        return static_cast<float>(std::max(twentieths, kLeastTwentieths)) / 20.0f;
    }

    void init()
    {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (!screens.isEmpty())
        {
            const double dpi = screens.first()->logicalDotsPerInch();
            LOG_INFO(L"screen dpi:%lf", dpi);
            const QSize available = screens.first()->availableGeometry().size();
            g_factor = factorForScreen(dpi, available);
            if (g_factor < factorForDpi(dpi))
                LOG_INFO(L"ui scale lowered to fit a screen of %dx%d", available.width(), available.height());
        }
        LOG_INFO(L"ui scale rate:%f", static_cast<double>(g_factor));
    }

    float factor()
    {
        return g_factor;
    }

    void setFactor(float factor)
    {
        g_factor = factor;
    }

    int scale(int value)
    {
        return static_cast<int>(static_cast<float>(value) * g_factor);
    }

    void scaleStyleSheet(QString &styleSheet)
    {
        if (std::fabs(g_factor - 1.0f) < 1e-7f)
            return;
        // One pass over the declarations: a size that a factor below 1.0 makes into another
        // listed size is never scaled twice.
        static const QRegularExpression declaration(QStringLiteral("font-size: (\\d+)px;"));
        static const int sizes[] = {26, 24, 22, 20, 18, 16, 15, 14, 13, 12};
        QString result;
        result.reserve(styleSheet.size());
        int last = 0;
        QRegularExpressionMatchIterator it = declaration.globalMatch(styleSheet);
        while (it.hasNext())
        {
            const QRegularExpressionMatch match = it.next();
            bool isNumber = false;
            const int size = match.captured(1).toInt(&isNumber);
            if (!isNumber || std::find(std::begin(sizes), std::end(sizes), size) == std::end(sizes)
                || match.captured(1).startsWith(QLatin1Char('0')))
                continue;
            result += styleSheet.midRef(last, match.capturedStart() - last);
            result += QStringLiteral("font-size: %1px;").arg(scale(size));
            last = match.capturedEnd();
        }
        result += styleSheet.midRef(last);
        styleSheet = result;
    }

    QString loadStyleSheet(const QString &path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        QString text = QString::fromUtf8(file.readAll());
        scaleStyleSheet(text);
        file.close();
        return text;
    }

    void replaceAll(QString &text, const QString &before, const QString &after)
    {
        text.replace(before, after, Qt::CaseSensitive);
    }

    void scaleForm(QWidget *root)
    {
        if (!root || std::fabs(g_factor - 1.0f) < 1e-7f)
            return;
        const QList<QWidget *> children = root->findChildren<QWidget *>();
        for (QWidget *child : children)
        {
            const QString name = child->objectName();
            if (name.isEmpty() || name.startsWith(QLatin1String("qt_")))
                continue;
            scaleWidget(child, false);
        }
        scaleWidget(root, true);
    }
}
