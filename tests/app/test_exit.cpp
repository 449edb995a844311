#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "qchildprocess.h"
#include "testsupport.h"

// With a web API that takes connections and never answers, the program still ends soon after
// it is told to: the requests nobody will read are dropped or cut off, instead of the HTTP
// workers waiting out each request's own timeout (10 s) while the window is already gone.
TEST(UiExit, EndsSoonWithAServerThatNeverAnswers)
{
    testsupport::SilentServer silent;
    ASSERT_TRUE(silent.listening());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VANTREL_API_HOST"), QStringLiteral("127.0.0.1:%1").arg(silent.port()));
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), testsupport::newTempDir());
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"),
                  {QStringLiteral(R"(vantrel:{"uid":"1001","oauth_token":"t","oauth_token_secret":"s"})")});
    ASSERT_TRUE(program.waitForStarted(5000));
    // Up once its start-up fetch and its version check are both waiting on the silent server.
    const bool up = testsupport::waitUntil([&]() { return silent.connections() >= 2 || program.state() == QProcess::NotRunning; }, 20000);
    ASSERT_TRUE(up && program.state() == QProcess::Running) << program.readAllStandardError().constData();

    QElapsedTimer clock;
    clock.start();
    program.terminate();
    const bool ended = program.waitForFinished(15000);
    const qint64 took = clock.elapsed();
    if (!ended)
        QChildProcess::end(program, 0, 5000);
    ASSERT_TRUE(ended);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    // About a second for libcurl to look at the cut-off; the requests' own timeout is 10 s.
    EXPECT_LT(took, 5000) << "took " << took << " ms";
}
