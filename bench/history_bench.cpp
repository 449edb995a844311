// A teacher with a long history: the real vantrel, offscreen, with "records.json" seeded with N
// records and one pending fast-mode job of a 3-second clip. For each N it prints the time from
// start until the job's record is in "records.json", the peak memory of the program, and the
// time from SIGTERM to its exit; then the time one new record takes to be saved into a history
// of that size.
//
//   history_bench [N ...]   (default: 1000 20000 50000)
//
// Bar: 20,000 records: record within 5 s, peak below 300 MiB, exit within 3 s; 50,000 records
// within twice that.

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

    struct Figures
    {
        double recordSeconds = -1;
        double peakMiB = -1;
        double exitSeconds = -1;
        QString note;
    };

    Figures runOnce(crashharness::Harness &harness, const QString &root, int count)
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
        std::unique_ptr<QProcess> process = harness.start(scene);
        const qint64 pid = process->processId();
        long peak = 0;
        // Polled without blocking on the program: its file is read only when it has changed.
        QDateTime seen;
        const bool recorded = testsupport::waitUntil([&]() {
            peak = std::max(peak, peakKiB(pid));
            if (process->state() == QProcess::NotRunning)
                return true;
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
        figures.recordSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;

        // The pending work settles (the job's removal from "work.json"), then SIGTERM.
        testsupport::waitUntil([&]() {
            peak = std::max(peak, peakKiB(pid));
            return crashharness::Harness::pendingCount(scene) == 0;
        }, 30000);
        peak = std::max(peak, peakKiB(pid));
        QElapsedTimer exitClock;
        exitClock.start();
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        while (process->state() != QProcess::NotRunning && exitClock.elapsed() < 300000) {
            peak = std::max(peak, peakKiB(pid));
            process->waitForFinished(10);
        }
        if (process->state() != QProcess::NotRunning) {
            figures.note = QStringLiteral("SIGTERM not obeyed within 300 s");
            crashharness::Harness::kill(*process);
        } else {
            figures.exitSeconds = static_cast<double>(exitClock.nsecsElapsed()) / 1e9;
        }
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
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {1000, 20000, 50000};

    crashharness::Harness harness;
    if (!harness.isReady()) {
        std::fprintf(stderr, "the local platform server did not start\n");
        return 2;
    }
    QTemporaryDir temp;
    std::printf("%10s %16s %12s %12s %16s\n", "records", "record saved", "peak", "exit", "one record save");
    for (size_t i = 0; i < sizes.size(); ++i) {
        const int count = sizes[i];
        const Figures figures = runOnce(harness, temp.path() + QStringLiteral("/run%1/").arg(i), count);
        const double saveMs = oneRecordMs(temp.path() + QStringLiteral("/store%1/").arg(i), count);
        std::printf("%10d %14.2f s %8.0f MiB %10.2f s %13.1f ms\n", count, figures.recordSeconds, figures.peakMiB,
                    figures.exitSeconds, saveMs);
        if (!figures.note.isEmpty())
            std::printf("%10d %s\n", count, figures.note.toUtf8().constData());
        std::fflush(stdout);
    }
    return 0;
}
