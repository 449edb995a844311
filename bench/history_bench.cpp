// A teacher with a long history: the real vantrel with "records.json" seeded with N records and
// one pending fast-mode job of a 3-second clip. For each N it prints the time from start until
// the sign-in dialog is on the screen (started without a token), until the main window is on
// the screen and until the job's record is in "records.json" (started with a token), the peak
// memory of the program, and the time from SIGTERM to its exit; then the time one new record
// takes to be saved into a history of that size.
//
//   history_bench [N ...]   (default: 0 1000 20000 50000 100000)
//
// The windows are watched on an Xvfb screen of the bench's own (1366x768); without Xvfb the
// program runs offscreen and the two window times are not measured.
//
// Bar: both windows as soon as with an empty history at any N; 100,000 records: record within
// 3 s, peak below 250 MiB, exit within 3 s.

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include "crashharness.h"
#include "qjsonfile.h"
#include "qrecords.h"
#include "qvalue.h"
#include "testsupport.h"

namespace
{
    // A history of `count` records, all older than the pending job, as the program writes it.
    QValue history(int count)
    {
        QValue root(Json::objectValue);
        const qint64 first = 1600000000000LL;
        for (int i = 0; i < count; ++i) {
            const qint64 id = first + static_cast<qint64>(i) * 1800000LL;
            QValue record(Json::objectValue);
            record["id"] = static_cast<Json::Int64>(id);
            record["file_name"] = QStringLiteral("1001_12_%1_第%2课 视频加密入门.vep").arg(id).arg(i + 1).toStdString();
            record["file_path"] = QStringLiteral("/home/teacher/课程 视频/第%1学期/").arg(i / 300 + 1).toStdString();
            record["file_size"] = static_cast<double>(20 + i % 700);
            record["file_type"] = (i % 3 == 0) ? 8u : 7u;
            record["time"] = static_cast<Json::Int>(id / 1000);
            root[std::to_string(id)] = record;
        }
        return root;
    }

    // VmHWM of a process in KiB, or -1 once it is gone.
    long peakKiB(qint64 pid)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
        return -1;
    }

    // An Xvfb screen of its own, ended with the bench.
    class XScreen
    {
    public:
        XScreen()
        {
            m_server.setProgram(QStringLiteral("Xvfb"));
            // The server writes the display number it took to its standard output.
            m_server.setArguments({QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                   QStringLiteral("0"), QStringLiteral("1366x768x24"), QStringLiteral("-nolisten"),
                                   QStringLiteral("tcp")});
            m_server.start();
            if (!m_server.waitForStarted(10000))
                return;
            QByteArray out;
            testsupport::waitUntil([&]() {
                out += m_server.readAllStandardOutput();
                return out.contains('\n') || m_server.state() == QProcess::NotRunning;
            }, 10000);
            bool ok = false;
            const int number = out.trimmed().toInt(&ok);
            if (!ok)
                return;
            m_display = QStringLiteral(":%1").arg(number);
            m_connection = xcb_connect(m_display.toLatin1().constData(), nullptr);
            if (xcb_connection_has_error(m_connection)) {
                m_display.clear();
                return;
            }
            m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
            const char name[] = "_NET_WM_PID";
            xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
                m_connection, xcb_intern_atom(m_connection, 0, sizeof(name) - 1, name), nullptr);
            if (atom) {
                m_pidAtom = atom->atom;
                std::free(atom);
            }
        }

        ~XScreen()
        {
            if (m_connection)
                xcb_disconnect(m_connection);
            if (m_server.state() != QProcess::NotRunning) {
                m_server.terminate();
                if (!m_server.waitForFinished(5000)) {
                    m_server.kill();
                    m_server.waitForFinished(5000);
                }
            }
        }

        bool isReady() const { return !m_display.isEmpty() && m_pidAtom != XCB_ATOM_NONE; }
        QString display() const { return m_display; }

        // Whether a top-level window of process `pid` is on the screen (mapped and viewable).
        bool showsWindowOf(qint64 pid) const
        {
            xcb_query_tree_reply_t *tree = xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr);
            if (!tree)
                return false;
            bool shown = false;
            const xcb_window_t *children = xcb_query_tree_children(tree);
            const int count = xcb_query_tree_children_length(tree);
            for (int i = 0; i < count && !shown; ++i) {
                xcb_get_window_attributes_reply_t *attributes = xcb_get_window_attributes_reply(
                    m_connection, xcb_get_window_attributes(m_connection, children[i]), nullptr);
                const bool viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
                std::free(attributes);
                if (!viewable)
                    continue;
                xcb_get_property_reply_t *property = xcb_get_property_reply(
                    m_connection, xcb_get_property(m_connection, 0, children[i], m_pidAtom, XCB_ATOM_CARDINAL, 0, 1),
                    nullptr);
                if (property && xcb_get_property_value_length(property) == 4)
                    shown = *static_cast<const uint32_t *>(xcb_get_property_value(property)) == static_cast<uint32_t>(pid);
                std::free(property);
            }
            std::free(tree);
            return shown;
        }

    private:
        QProcess m_server;
        QString m_display;
        xcb_connection_t *m_connection = nullptr;
        xcb_window_t m_root = 0;
        xcb_atom_t m_pidAtom = XCB_ATOM_NONE;
    };

    QStringList screenEnvironment(const XScreen &screen)
    {
        if (!screen.isReady())
            return {};
        return {QStringLiteral("QT_QPA_PLATFORM=xcb"), QStringLiteral("DISPLAY=") + screen.display()};
    }

    double secondsOf(const QElapsedTimer &clock)
    {
        return static_cast<double>(clock.nsecsElapsed()) / 1e9;
    }

    // Ends the program with SIGTERM; the seconds it took, or -1 (then killed) after 300 s.
    double terminate(QProcess &process, qint64 pid, long &peak)
    {
        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        while (process.state() != QProcess::NotRunning && clock.elapsed() < 300000) {
            peak = std::max(peak, peakKiB(pid));
            process.waitForFinished(10);
        }
        if (process.state() != QProcess::NotRunning) {
            crashharness::Harness::kill(process);
            return -1;
        }
        return secondsOf(clock);
    }

    struct Figures
    {
        double signInSeconds = -1;
        double windowSeconds = -1;
        double recordSeconds = -1;
        double peakMiB = -1;
        double exitSeconds = -1;
        QString note;
    };

    // Started without a token: the seconds until the sign-in dialog is on the screen.
    double signInOnce(crashharness::Harness &harness, const XScreen &screen, const QString &root, int count)
    {
        const crashharness::Scene scene = harness.seed(root, {7});
        if (!screen.isReady() || !QJsonFile::write(scene.data + QStringLiteral("records.json"), history(count), false))
            return -1;
        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<QProcess> process = harness.startWith(scene, screenEnvironment(screen), false);
        const qint64 pid = process->processId();
        const bool shown = testsupport::waitUntil([&]() {
            return process->state() == QProcess::NotRunning || screen.showsWindowOf(pid);
        }, 120000);
        const double seconds = shown && process->state() != QProcess::NotRunning ? secondsOf(clock) : -1;
        long peak = 0;
        terminate(*process, pid, peak);
        return seconds;
    }

    Figures runOnce(crashharness::Harness &harness, const XScreen &screen, const QString &root, int count)
    {
        Figures figures;
        const crashharness::Scene scene = harness.seed(root, {7});
        const QString records = scene.data + QStringLiteral("records.json");
        if (!QJsonFile::write(records, history(count), false)) {
            figures.note = QStringLiteral("the history could not be seeded");
            return figures;
        }
        const QByteArray member = "\"" + QByteArray::number(scene.jobs.front().id) + "\":";

        QElapsedTimer clock;
        clock.start();
        std::unique_ptr<QProcess> process = harness.startWith(scene, screenEnvironment(screen), true);
        const qint64 pid = process->processId();
        long peak = 0;
        // Polled without blocking on the program: its file is read only when it has changed.
        QDateTime seen;
        const bool recorded = testsupport::waitUntil([&]() {
            peak = std::max(peak, peakKiB(pid));
            if (process->state() == QProcess::NotRunning)
                return true;
            if (figures.windowSeconds < 0 && screen.isReady() && screen.showsWindowOf(pid))
                figures.windowSeconds = secondsOf(clock);
            const QDateTime modified = QFileInfo(records).lastModified();
            if (modified == seen)
                return false;
            seen = modified;
            return testsupport::readAll(records).contains(member);
        }, 600000);
        if (!recorded || process->state() == QProcess::NotRunning) {
            figures.note = QStringLiteral("no record: %1").arg(QString::fromUtf8(process->readAll()).right(400));
            crashharness::Harness::kill(*process);
            return figures;
        }
        figures.recordSeconds = secondsOf(clock);

        // The pending work settles (the job's removal from "work.json") and the window is up,
        // then SIGTERM.
        testsupport::waitUntil([&]() {
            peak = std::max(peak, peakKiB(pid));
            if (figures.windowSeconds < 0 && screen.isReady() && screen.showsWindowOf(pid))
                figures.windowSeconds = secondsOf(clock);
            return crashharness::Harness::pendingCount(scene) == 0 && (figures.windowSeconds >= 0 || !screen.isReady());
        }, 30000);
        peak = std::max(peak, peakKiB(pid));
        figures.exitSeconds = terminate(*process, pid, peak);
        if (figures.exitSeconds < 0)
            figures.note = QStringLiteral("SIGTERM not obeyed within 300 s");
        figures.peakMiB = static_cast<double>(peak) / 1024.0;
        return figures;
    }

    // One record added to a history of `count` (the file written as it is after each change).
    double oneRecordMs(const QString &root, int count)
    {
        const QString path = root + QStringLiteral("records.json");
        QJsonFile::write(path, history(count), false);
        const QString output = root + QStringLiteral("1001_12_1_lesson.vep");
        testsupport::writeAll(output, "vep");
        QRecords store(path);
        double best = 1e9;
        for (int i = 0; i < 5; ++i) {
            QElapsedTimer clock;
            clock.start();
            store.addRecord(output, 7);
            best = std::min(best, static_cast<double>(clock.nsecsElapsed()) / 1e6);
        }
        return best;
    }
}

int main(int argc, char **argv)
{
    // The bench's own widgets, if any, stay off the screen it watches.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {0, 1000, 20000, 50000, 100000};

    crashharness::Harness harness;
    if (!harness.isReady()) {
        std::fprintf(stderr, "the local platform server did not start\n");
        return 2;
    }
    const XScreen screen;
    if (!screen.isReady())
        std::printf("no Xvfb screen: the program runs offscreen, window times are not measured\n");
    QTemporaryDir temp;
    std::printf("%10s %14s %14s %14s %12s %10s %16s\n", "records", "sign-in shown", "window shown", "record saved",
                "peak", "exit", "one record save");
    for (size_t i = 0; i < sizes.size(); ++i) {
        const int count = sizes[i];
        const double signIn = signInOnce(harness, screen, temp.path() + QStringLiteral("/signin%1/").arg(i), count);
        Figures figures = runOnce(harness, screen, temp.path() + QStringLiteral("/run%1/").arg(i), count);
        figures.signInSeconds = signIn;
        const double saveMs = oneRecordMs(temp.path() + QStringLiteral("/store%1/").arg(i), count);
        std::printf("%10d %12.2f s %12.2f s %12.2f s %8.0f MiB %8.2f s %13.1f ms\n", count, figures.signInSeconds,
                    figures.windowSeconds, figures.recordSeconds, figures.peakMiB, figures.exitSeconds, saveMs);
        if (!figures.note.isEmpty())
            std::printf("%10d %s\n", count, figures.note.toUtf8().constData());
        std::fflush(stdout);
    }
    return 0;
}
