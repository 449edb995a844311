// Random kills of the real vantrel on a queue of four videos in modes 7 and 8: each round seeds
// the pending work, kills the program with SIGKILL at random moments, then runs it to the end
// and judges the folders.
//
//   crash_soak [rounds, default 10] [kills per round, default 3] [seed]
//
// Prints the kills and the lost, duplicated and left-over counts (all three must stay 0).

#include <cstdio>
#include <cstdlib>
#include <random>

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include "crashharness.h"
#include "testsupport.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int killsPerRound = argc > 2 ? std::atoi(argv[2]) : 3;
    const unsigned seed = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : std::random_device()();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay(200, 6000);

    crashharness::Harness harness;
    if (!harness.isReady()) {
        std::fprintf(stderr, "the local platform server did not start\n");
        return 2;
    }
    QTemporaryDir temp;
    int kills = 0;
    crashharness::Outcome total;
    for (int round = 0; round < rounds; ++round) {
        const crashharness::Scene scene = harness.seed(temp.path() + QStringLiteral("/round%1/").arg(round), {7, 8, 7, 8});
        for (int k = 0; k < killsPerRound; ++k) {
            std::unique_ptr<QProcess> process = harness.start(scene);
            const int ms = delay(random);
            testsupport::waitUntil([&]() { return process->state() == QProcess::NotRunning; }, ms);
            if (process->state() == QProcess::NotRunning)
                break;
            crashharness::Harness::kill(*process);
            ++kills;
        }
        QString why;
        if (!harness.runToEnd(scene, 180000, &why))
            std::printf("round %d: %s\n", round, why.toUtf8().constData());
        const crashharness::Outcome outcome = harness.judge(scene);
        total.lost += outcome.lost;
        total.duplicated += outcome.duplicated;
        total.leftOver += outcome.leftOver;
        for (const QString &note : outcome.notes)
            std::printf("round %d: %s\n", round, note.toUtf8().constData());
        std::fflush(stdout);
    }
    std::printf("seed %u rounds %d kills %d lost %d duplicated %d left-over %d\n", seed, rounds, kills, total.lost,
                total.duplicated, total.leftOver);
    return total.lost + total.duplicated + total.leftOver == 0 ? 0 : 1;
}
