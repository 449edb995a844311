#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include "cwinapp.h"
#include "instanceguard.h"
#include "testsupport.h"

namespace
{
    struct TokenCase
    {
        const char *argument;
        bool read;
        int teacherId;
        const char *token;
        const char *secret;
    };

    // True while another process holds the single-instance lock.
    bool lockHeldElsewhere()
    {
        const std::string path = instanceguard::runtimeDir() + "vantrel_2_0.lock";
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!held)
            ::flock(fd, LOCK_UN);
        ::close(fd);
        return held;
    }

    QProcessEnvironment programEnvironment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // Nothing listens there: the program's requests fail at once and stay on loopback.
        env.insert(QStringLiteral("VANTREL_API_HOST"), QStringLiteral("127.0.0.1:%1").arg(testsupport::freePort()));
        env.insert(QStringLiteral("VANTREL_DATA_DIR"), testsupport::newTempDir());
        return env;
    }
}

TEST(UiStartup, LaunchTokenTable)
{
    const TokenCase cases[] = {
        {"vantrel:{}", true, 0, "", ""},
        {R"(vantrel:{"uid":"1001","oauth_token":"tok","oauth_token_secret":"sec"})", true, 1001, "tok", "sec"},
        {R"(x:{"uid":"12a","oauth_token":"t"})", true, 0, "t", ""},
        {":{}", false, 0, "", ""},
        {"/home/teacher/video.mp4", false, 0, "", ""},
        {R"(a:b:{"uid":"1"})", false, 0, "", ""},
        {R"(vantrel://open:{"uid":"1"})", false, 0, "", ""},
        {"x:[1,2]", false, 0, "", ""},
        {R"(x:"text")", false, 0, "", ""},
        {R"(x:{"uid":1001,"oauth_token":"t","oauth_token_secret":"s"})", false, 0, "", ""},
        {R"(x:{"uid":"1001","oauth_token":{"a":1},"oauth_token_secret":"s"})", false, 0, "", ""},
        {R"(x:{"uid":"1001","oauth_token":"t","oauth_token_secret":["s"]})", false, 0, "", ""},
        {"x:{not json", false, 0, "", ""},
        {"", false, 0, "", ""},
    };
    for (const TokenCase &c : cases)
    {
        CWinApp::LaunchToken token;
        token.teacherId = -1;
        const bool read = CWinApp::parseLaunchToken(QString::fromUtf8(c.argument), token);
        EXPECT_EQ(read, c.read) << c.argument;
        if (!read || !c.read)
            continue;
        EXPECT_EQ(token.teacherId, c.teacherId) << c.argument;
        EXPECT_EQ(token.token, QString::fromUtf8(c.token)) << c.argument;
        EXPECT_EQ(token.tokenSecret, QString::fromUtf8(c.secret)) << c.argument;
    }
}

// Two real processes: the second finds the first one's lock, says so and ends with 0; the
// first keeps running.
TEST(UiStartup, SecondInstanceRefusesToRun)
{
    const QString program = QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel");
    QProcess first;
    first.setProcessEnvironment(programEnvironment());
    first.start(program, QStringList());
    ASSERT_TRUE(first.waitForStarted(5000));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return lockHeldElsewhere() || first.state() == QProcess::NotRunning; }, 15000));
    ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().constData();

    QProcess second;
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    second.setProcessEnvironment(env);
    second.start(program, QStringList());
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(second.readAllStandardError()).contains(QStringLiteral("软件已启动，请勿重复运行！")));
    EXPECT_EQ(first.state(), QProcess::Running);

    first.kill();
    first.waitForFinished(5000);
}
