// The update dialog's header picture has clean corners: cut round where the desktop composites
// translucent windows, and filled by the picture where the window is a plain rectangle (no
// white corners over the header).
#include <cstdlib>

#include <QFrame>
#include <QImage>

#include <gtest/gtest.h>

#include "qupdatedialog.h"
#include "uitestenv.h"

namespace
{
    // Sets VANTREL_COMPOSITOR for the life of the object.
    struct Compositor
    {
        explicit Compositor(const char *value) { qputenv("VANTREL_COMPOSITOR", value); }
        ~Compositor() { qunsetenv("VANTREL_COMPOSITOR"); }
    };

    bool near(QRgb a, QRgb b)
    {
        return std::abs(qRed(a) - qRed(b)) < 24 && std::abs(qGreen(a) - qGreen(b)) < 24 && std::abs(qBlue(a) - qBlue(b)) < 24;
    }

    std::string hex(QRgb pixel)
    {
        return QString::number(pixel, 16).rightJustified(8, QLatin1Char('0')).toStdString();
    }
}

TEST(UiDialogCorners, UpdateHeaderCornersAreClean)
{
    UiTestEnv env(false, 0);
    struct Case
    {
        const char *what;
        const char *compositor;
        bool newVersion;
    };
    const Case cases[] = {
        {"composited, new version", "1", true},
        {"composited, no new version", "1", false},
        {"plain window, new version", "0", true},
        {"plain window, no new version", "0", false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        Compositor compositor(c.compositor);
        QUpdateDialog dialog(c.newVersion);
        dialog.setInfo(QStringLiteral("6.02"), QStringLiteral("http://127.0.0.1/setup.exe"), {QStringLiteral("1、修复已知问题")});
        dialog.show();
        const QImage image = dialog.grab().toImage().convertToFormat(QImage::Format_ARGB32);
        auto *header = dialog.findChild<QFrame *>(QStringLiteral("frameBg"));
        ASSERT_NE(header, nullptr);
        const QRect face(header->mapTo(&dialog, QPoint(0, 0)), header->size());
        ASSERT_TRUE(image.rect().contains(face));
        const bool composited = std::string(c.compositor) == "1";
        for (const QPoint &corner : {face.topLeft(), face.topRight()})
        {
            // Inside the corner's rounding, on the header picture.
            const QPoint inner(corner.x() + (corner.x() == face.left() ? 12 : -12), corner.y() + 12);
            const QRgb headerColour = image.pixel(inner);
            ASSERT_EQ(qAlpha(headerColour), 255) << hex(headerColour);
            ASSERT_FALSE(near(headerColour, qRgb(255, 255, 255))) << "the header is the picture's blue-green";
            const QRgb cornerPixel = image.pixel(corner);
            if (composited)
                EXPECT_LT(qAlpha(cornerPixel), 255) << "cut round: " << hex(cornerPixel);
            else
                EXPECT_TRUE(qAlpha(cornerPixel) == 255 && near(cornerPixel, headerColour))
                    << hex(cornerPixel) << " against the header's " << hex(headerColour);
        }
    }
}
