// A data folder on a small tmpfs that is full: the program still ends on SIGTERM within its
// bound although every save fails, and a sign-in goes on but says that the account it
// remembers could not be saved.
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "platformserver.h"
#include "qchildprocess.h"
#include "qlogindialog.h"
#include "quser.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    QString launchToken(const PlatformServer::Session &session)
    {
        return QStringLiteral(R"(vantrel:{"uid":"%1","oauth_token":"%2","oauth_token_secret":"%3"})")
            .arg(session.uid)
            .arg(QString::fromStdString(session.token), QString::fromStdString(session.secret));
    }
}

// Nothing pending, the disk full from the start: the pending-work save fails at once (its
// notice is up, unanswered) and fails again at the exit; SIGTERM ends the program all the same.
TEST(UiFullDisk, SigtermEndsTheProgramWhileItsSavesFail)
{
    testsupport::Tmpfs disk(4 * 1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    const QString data = disk.path() + QStringLiteral("data/");
    ASSERT_TRUE(QDir().mkpath(data));
    ASSERT_TRUE(QFile::setPermissions(data, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const PlatformServer::Session session = server->createSession("demo");
    ASSERT_TRUE(disk.fill());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("VANTREL_API_HOST"), QString::fromStdString(server->host()));
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    QTiedProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), {launchToken(session)});
    ASSERT_TRUE(program.waitForStarted(10000));
    // Up: its start, pending-work save included, is over once it asks for a newer version.
    const bool up = testsupport::waitUntil([&]() {
        return program.state() == QProcess::NotRunning || !server->requests("Version/versionCheck").empty();
    }, 30000);
    ASSERT_TRUE(up);
    ASSERT_EQ(program.state(), QProcess::Running) << program.readAll().constData();
    EXPECT_FALSE(QFileInfo::exists(data + QStringLiteral("work.json")));

    program.terminate();
    const bool ended = program.waitForFinished(20000);
    if (!ended)
        QChildProcess::end(program, 0, 5000);
    ASSERT_TRUE(ended) << "still running 20 s after SIGTERM";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    disk.release();
}

// The account is kept in "config.ini" of the data folder; with no room for it the sign-in
// still succeeds, and the teacher is told that the next start will ask again.
TEST(UiFullDisk, SignInGoesOnAndSaysTheAccountIsNotRemembered)
{
    UiTestEnv env;
    testsupport::Tmpfs disk(1024 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << disk.why().toStdString();
    const QString settings = disk.path() + QStringLiteral("config.ini");
    CommonFun::initSettings(settings);
    ASSERT_TRUE(disk.fill());

    QStringList messages;
    int result = -1;
    {
        QLoginDialog dialog;
        dialog.findChild<QLineEdit *>(QStringLiteral("editUser"))->setText(QStringLiteral("demo"));
        dialog.findChild<QLineEdit *>(QStringLiteral("editPwd"))->setText(QStringLiteral("demo123"));
        QSignalSpy finished(&dialog, SIGNAL(finished(int)));
        ModalAnswer answer([&](QWidget *w) {
            if (w == &dialog)
                return false;
            messages << messageText(w);
            return clickButton(w, "btnOk");
        });
        dialog.show();
        dialog.findChild<QPushButton *>(QStringLiteral("btnLogin"))->click();
        testsupport::waitUntil([&]() { return !finished.isEmpty(); }, 20000);
        result = finished.isEmpty() ? -1 : finished.at(0).at(0).toInt();
    }
    EXPECT_EQ(result, 1) << "signed in";
    EXPECT_EQ(QUser::instance()->teacherId(), 1001);
    ASSERT_EQ(messages.size(), 1) << messages.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(messages.at(0).startsWith(QStringLiteral("登录成功，但用户名和密码无法保存到数据文件夹（")))
        << messages.at(0).toStdString();
    EXPECT_TRUE(messages.at(0).contains(QStringLiteral("下次启动时需要重新输入"))) << messages.at(0).toStdString();
    EXPECT_FALSE(testsupport::readAll(settings).contains("user_name"));

    // With room again, the next change saves what waited.
    disk.release();
    EXPECT_TRUE(CommonFun::syncSettings());
    EXPECT_TRUE(testsupport::readAll(settings).contains("user_name"));
    CommonFun::initSettings(env.dataPath() + QStringLiteral("config.ini"));
}
