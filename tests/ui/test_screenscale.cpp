// Every window inside a 1366x768 screen whatever Qt's own scale factor and the screen's DPI:
// the screen probe opens the windows on an Xvfb display of that size, with the UI scale the
// program picks at start-up, and every window and every button it shows must lie inside the
// screen's free area; on a screen too small for the least UI scale (0.85), each window keeps
// its title bar on it and shows as much as it can.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRect>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include "qchildprocess.h"

namespace
{
    // An Xvfb display of one screen, on a display number the server picks itself.
    class VirtualDisplay
    {
    public:
        explicit VirtualDisplay(const QString &screen)
        {
            const QString program = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
            int fds[2];
            if (program.isEmpty() || ::pipe(fds) != 0)
                return;
            // Only the write end goes to the server, which writes its display number there.
            ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
            m_process.start(program, {QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
                                      QStringLiteral("0"), screen, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                      QStringLiteral("-noreset")});
            ::close(fds[1]);
            QByteArray number;
            pollfd readable {fds[0], POLLIN, 0};
            // The server closes its end when it fails; a server that neither writes nor ends is
            // given up after 15 s.
            const bool started = m_process.waitForStarted(15000);
            while (started && !number.endsWith('\n') && ::poll(&readable, 1, 15000) > 0)
            {
                char c = 0;
                if (::read(fds[0], &c, 1) != 1)
                    break;
                number.append(c);
            }
            ::close(fds[0]);
            bool isNumber = false;
            number.trimmed().toInt(&isNumber);
            if (isNumber)
                m_name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
        }
        ~VirtualDisplay() { QChildProcess::end(m_process, 5000, 5000); }

        // ":<n>", empty when the server did not start.
        QString name() const { return m_name; }

    private:
        QTiedProcess m_process;
        QString m_name;
    };

    struct ProbeRun
    {
        bool finished = false;
        int exitCode = -1;
        QList<QJsonObject> windows;
        QByteArray errors;
    };

    ProbeRun runProbe(const QString &display, const QString &qtScale, const QString &fontDpi, const QString &compositor)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), qtScale);
        environment.insert(QStringLiteral("VANTREL_COMPOSITOR"), compositor);
        environment.remove(QStringLiteral("QT_FONT_DPI"));
        if (!fontDpi.isEmpty())
            environment.insert(QStringLiteral("QT_FONT_DPI"), fontDpi);
        QTiedProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QStringLiteral(VANTREL_SCREENPROBE), QStringList());
        ProbeRun run;
        run.finished = probe.waitForFinished(90000);
        if (!run.finished)
            QChildProcess::end(probe, 5000, 5000);
        run.exitCode = probe.exitCode();
        run.errors = probe.readAllStandardError().right(4000);
        for (const QByteArray &line : probe.readAllStandardOutput().split('\n'))
        {
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (document.isObject())
                run.windows << document.object();
        }
        return run;
    }

    QRect rectOf(const QJsonValue &value)
    {
        const QJsonArray a = value.toArray();
        return a.size() == 4 ? QRect(a.at(0).toInt(), a.at(1).toInt(), a.at(2).toInt(), a.at(3).toInt()) : QRect();
    }

    std::string describe(const QRect &r)
    {
        return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height()).toStdString();
    }
}

TEST(UiScreenScale, EveryWindowAndButtonInsideTheScreen)
{
    struct Case
    {
        const char *what;
        const char *qtScale;
        const char *fontDpi; // empty: the display's own
        const char *compositor;
        // The screen takes every window at a UI scale of 0.85 or more; false: it is smaller
        // than that (683x384), and each window keeps its title on it and shows what it can.
        bool fits;
    };
    const Case cases[] = {
        {"Qt scale 1.25", "1.25", "", "0", true},
        {"Qt scale 1.5", "1.5", "", "0", true},
        {"Qt scale 2", "2", "", "0", false},
        {"Qt scale 1.5, shadow margins", "1.5", "", "1", true},
        {"144 DPI", "1", "144", "0", true},
        {"192 DPI", "1", "192", "0", true},
        {"Qt scale 1.5 at 144 DPI", "1.5", "144", "0", true},
    };
    const QStringList expected = {QStringLiteral("login"),   QStringLiteral("settings-course"), QStringLiteral("settings-mode"),
                                  QStringLiteral("createcourse"), QStringLiteral("rename"), QStringLiteral("msgbox"),
                                  QStringLiteral("update"),  QStringLiteral("update-none"),     QStringLiteral("about"),
                                  QStringLiteral("mainwindow")};
    VirtualDisplay display(QStringLiteral("1366x768x24"));
    if (display.name().isEmpty())
        GTEST_SKIP() << "no Xvfb display could be started (the package xvfb provides it)";
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        const ProbeRun run = runProbe(display.name(), QString::fromLatin1(c.qtScale), QString::fromLatin1(c.fontDpi),
                                      QString::fromLatin1(c.compositor));
        ASSERT_TRUE(run.finished) << run.errors.toStdString();
        EXPECT_EQ(run.exitCode, 0) << run.errors.toStdString();
        QStringList seen;
        for (const QJsonObject &window : run.windows)
        {
            const QString name = window.value(QStringLiteral("window")).toString();
            seen << name;
            SCOPED_TRACE(name.toStdString());
            EXPECT_TRUE(window.value(QStringLiteral("shown")).toBool());
            const QRect frame = rectOf(window.value(QStringLiteral("frame")));
            const QRect screen = rectOf(window.value(QStringLiteral("screen")));
            ASSERT_FALSE(screen.isEmpty());
            if (!c.fits)
            {
                // Not below 0.85: the window is as large as that makes it, or shrunk to the
                // screen where its layout lets it, from the screen's top left corner on.
                EXPECT_NEAR(window.value(QStringLiteral("factor")).toDouble(), 0.85, 1e-6);
                EXPECT_TRUE(screen.contains(frame.topLeft())) << describe(frame) << " on " << describe(screen);
                EXPECT_EQ(frame.intersected(screen).size(), frame.size().boundedTo(screen.size()))
                    << describe(frame) << " on " << describe(screen);
                for (const QJsonValue &value : window.value(QStringLiteral("buttons")).toArray())
                {
                    const QJsonObject button = value.toObject();
                    const QString name = button.value(QStringLiteral("name")).toString();
                    // Its title bar's buttons stay on the screen: the window can be closed.
                    if (name == QStringLiteral("btnClose") || name == QStringLiteral("btnMin"))
                        EXPECT_TRUE(screen.contains(rectOf(button.value(QStringLiteral("rect"))))) << name.toStdString();
                }
                continue;
            }
            EXPECT_TRUE(screen.contains(frame)) << describe(frame) << " on " << describe(screen) << " at UI scale "
                                                << window.value(QStringLiteral("factor")).toDouble();
            for (const QJsonValue &value : window.value(QStringLiteral("buttons")).toArray())
            {
                const QJsonObject button = value.toObject();
                const QRect rect = rectOf(button.value(QStringLiteral("rect")));
                const std::string label = (button.value(QStringLiteral("name")).toString() + QLatin1Char(' ')
                                           + button.value(QStringLiteral("text")).toString()).toStdString();
                EXPECT_TRUE(screen.contains(rect)) << label << " at " << describe(rect) << " on " << describe(screen);
                EXPECT_TRUE(frame.contains(rect)) << label << " at " << describe(rect) << " cut off by " << describe(frame);
                EXPECT_FALSE(rectOf(button.value(QStringLiteral("open"))).isEmpty()) << label << " hidden";
            }
        }
        EXPECT_EQ(seen, expected);
    }
}
