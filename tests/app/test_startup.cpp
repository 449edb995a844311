#include <cstdio>
#include <functional>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include "cwinapp.h"
#include "instanceguard.h"
#include "platformserver.h"
#include "qchildprocess.h"
#include "qsafefile.h"
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


    // Every log file below `folder`, read as the UTF-16LE text the logger writes.
    QString logText(const QString &folder)
    {
        QString text;
        QDirIterator it(folder, {QStringLiteral("*.log")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext())
        {
            const QByteArray bytes = testsupport::readAll(it.next());
            text += QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
        }
        return text;
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

    // The argument a web page hands over: the session's token after "vantrel:".
    QString launchToken(const PlatformServer::Session &session)
    {
        return QStringLiteral(R"(vantrel:{"uid":"%1","oauth_token":"%2","oauth_token_secret":"%3"})")
            .arg(session.uid)
            .arg(QString::fromStdString(session.token), QString::fromStdString(session.secret));
    }
}

TEST(UiStartup, LaunchTokenTable)
{
    const TokenCase cases[] = {
        {R"(vantrel:{"uid":"1001","oauth_token":"tok","oauth_token_secret":"sec"})", true, 1001, "tok", "sec"},
        // Without a teacher, a token and a secret it is no sign-in.
        {"vantrel:{}", false, 0, "", ""},
        {"ostrelhelper:{}", false, 0, "", ""},
        {R"(x:{"uid":"12a","oauth_token":"t","oauth_token_secret":"s"})", false, 0, "", ""},
        {R"(x:{"uid":"1001","oauth_token":"t"})", false, 0, "", ""},
        {R"(x:{"uid":"1001","oauth_token":"","oauth_token_secret":"s"})", false, 0, "", ""},
        {R"(x:{"oauth_token":"t","oauth_token_secret":"s"})", false, 0, "", ""},
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
        // As a browser passes an "ostrelhelper:" link: percent-encoded, Chinese included.
        {"ostrelhelper:%7B%22uid%22%3A%221001%22%2C%22oauth_token%22%3A%22t%20%E8%AF%BE%22%2C%22oauth_token_secret%22%3A%22s%25%22%7D",
         true, 1001, "t 课", "s%"},
        {"ostrelhelper:%7B%22uid%22", false, 0, "", ""},
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

// Two real processes on one data folder: the second finds the first one's lock, says so and
// ends with 0, even with another runtime folder; the first keeps running. Another data folder
// is another instance.
TEST(UiStartup, SecondInstanceOnTheDataFolderRefusesToRun)
{
    const QString program = QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel");
    const QProcessEnvironment env = programEnvironment();
    const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(program, QStringList());
    ASSERT_TRUE(first.waitForStarted(5000));
    ASSERT_TRUE(testsupport::waitUntil([&]() { return testsupport::instanceLockHeldElsewhere(data) || first.state() == QProcess::NotRunning; }, 15000));
    ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().constData();

    const QString otherRuntime = testsupport::newTempDir() + QStringLiteral("run");
    ASSERT_TRUE(QDir().mkpath(otherRuntime));
    QFile::setPermissions(otherRuntime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (const bool unset : {false, true}) {
        SCOPED_TRACE(unset ? "runtime folder unset" : "another runtime folder");
        QProcess second;
        QProcessEnvironment secondEnv = env;
        if (unset)
            secondEnv.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        else
            secondEnv.insert(QStringLiteral("XDG_RUNTIME_DIR"), otherRuntime);
        secondEnv.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
        second.setProcessEnvironment(secondEnv);
        second.start(program, QStringList());
        ASSERT_TRUE(second.waitForFinished(15000));
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 0);
        const QString errors = QString::fromUtf8(second.readAllStandardError());
        EXPECT_TRUE(errors.contains(QStringLiteral("软件已启动，请勿重复运行！"))) << errors.toStdString();
        EXPECT_FALSE(errors.contains(QStringLiteral("XDG_RUNTIME_DIR"))) << errors.toStdString();
        EXPECT_EQ(first.state(), QProcess::Running);
    }

    QProcess other;
    const QProcessEnvironment otherEnv = programEnvironment();
    other.setProcessEnvironment(otherEnv);
    other.start(program, QStringList());
    ASSERT_TRUE(other.waitForStarted(5000));
    EXPECT_TRUE(testsupport::waitUntil([&]() {
        return testsupport::instanceLockHeldElsewhere(otherEnv.value(QStringLiteral("VANTREL_DATA_DIR"))) || other.state() == QProcess::NotRunning;
    }, 15000));
    EXPECT_EQ(other.state(), QProcess::Running) << other.readAllStandardError().constData();

    QChildProcess::end(other, 0, 5000);
    QChildProcess::end(first, 0, 5000);
}

// When the guard can't be taken at all, the program says so and ends: it never runs unguarded.
TEST(UiStartup, GuardThatCannotBeTakenEndsTheProgram)
{
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
    // A folder where the lock file belongs: it can be neither opened nor locked.
    ASSERT_TRUE(QDir().mkpath(data + QStringLiteral("/vantrel_2_0.lock")));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), QStringList());
    ASSERT_TRUE(program.waitForFinished(15000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    EXPECT_TRUE(errors.contains(QStringLiteral("无法锁定数据文件夹"))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("软件无法启动！"))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QString::fromLocal8Bit(std::strerror(EISDIR)))) << errors.toStdString();
    EXPECT_TRUE(logText(data).contains(QStringLiteral("cannot take the instance lock")));
}

// An exception that escapes an event handler is logged and ends the program with 1, also when
// it ends the loop of a modal dialog rather than the main loop.
TEST(UiStartup, ExceptionInTheEventLoopEndsWithOne)
{
    for (const char *where : {"loop", "dialog"})
    {
        QProcessEnvironment env = programEnvironment();
        const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(UI_THROWER), {QString::fromLatin1(where)});
        ASSERT_TRUE(child.waitForFinished(20000)) << where;
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << where;
        EXPECT_EQ(child.exitCode(), 1) << where;
        EXPECT_TRUE(child.readAllStandardOutput().contains("failed=1")) << where;
        EXPECT_TRUE(logText(data).contains(QStringLiteral("在事件中抛出"))) << where;
    }
}

// A token on the command line signs in without the dialog: the program goes straight on to
// its version check, signed with that token.
TEST(UiStartup, LaunchTokenSkipsTheSignIn)
{
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const PlatformServer::Session session = server->createSession("demo");
    const QString argument = launchToken(session);

    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_API_HOST"), QString::fromStdString(server->host()));
    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), {argument});
    ASSERT_TRUE(program.waitForStarted(5000));
    const bool checked = testsupport::waitUntil([&]() { return !server->requests("Version/versionCheck").empty(); }, 20000);
    // Every user can read the command line: the token is gone from it.
    const QByteArray cmdline = testsupport::readAll(QStringLiteral("/proc/%1/cmdline").arg(program.processId()));
    QChildProcess::end(program, 0, 5000);
    ASSERT_TRUE(checked) << program.readAllStandardError().constData();
    EXPECT_TRUE(cmdline.startsWith(QFile::encodeName(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel")))) << cmdline.constData();
    EXPECT_FALSE(cmdline.contains(QByteArray::fromStdString(session.token)));
    EXPECT_FALSE(cmdline.contains(QByteArray::fromStdString(session.secret)));
    EXPECT_FALSE(cmdline.contains("oauth"));

    const RequestRecord check = server->requests("Version/versionCheck").front();
    const std::string token = check.clearValue("oauth_token").empty() ? check.innerValue("oauth_token") : check.clearValue("oauth_token");
    EXPECT_EQ(token, session.token);
    EXPECT_TRUE(server->requests("Login/login").empty());
}

// SIGTERM (how a session or a service manager ends a program) quits like a normal close, from
// the sign-in dialog as from the main window: the program ends by itself with 0 and its
// shut-down has run (the history store is written on the way out).
TEST(UiStartup, TerminationSignalShutsDownInOrder)
{
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const PlatformServer::Session session = server->createSession("demo");
    const QString token = launchToken(session);

    for (const bool signedIn : {false, true})
    {
        SCOPED_TRACE(signedIn ? "main window" : "sign-in dialog");
        QProcessEnvironment env = programEnvironment();
        env.insert(QStringLiteral("VANTREL_API_HOST"), QString::fromStdString(server->host()));
        const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
        const size_t checksBefore = server->requests("Version/versionCheck").size();

        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"),
                      signedIn ? QStringList {token} : QStringList());
        ASSERT_TRUE(program.waitForStarted(5000));
        // Up when it holds the instance lock (sign-in dialog) or has sent its version check.
        const bool up = testsupport::waitUntil([&]() {
            return program.state() == QProcess::NotRunning
                || (signedIn ? server->requests("Version/versionCheck").size() > checksBefore : testsupport::instanceLockHeldElsewhere(data));
        }, 20000);
        ASSERT_TRUE(up && program.state() == QProcess::Running) << program.readAllStandardError().constData();
        // The termination handler is in place before the lock is taken and before the version
        // check, so a signal now is already an orderly end.

        program.terminate();
        const bool ended = program.waitForFinished(15000);
        if (!ended)
            QChildProcess::end(program, 0, 5000);
        ASSERT_TRUE(ended) << "SIGTERM did not end the program";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit) << "killed by the signal instead of shutting down";
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(QFile::exists(data + QStringLiteral("/records.json")));
        EXPECT_FALSE(logText(data).contains(QStringLiteral("error:")));
    }
}

// A data folder that belongs to someone else (who can also write to it) is never used: both
// programs refuse with a clear message and exit with 1, leaving nothing in it.
TEST(UiStartup, DataFolderOfAnotherUserIsRefused)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "only root can make a folder that belongs to someone else";
    const QString data = testsupport::newTempDir() + QStringLiteral("shared");
    ASSERT_TRUE(QDir().mkpath(data));
    ASSERT_EQ(::chown(QFile::encodeName(data).constData(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0777), 0);

    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    for (const char *name : {"vantrel", "sorbin"}) {
        SCOPED_TRACE(name);
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VANTREL_BIN_DIR) + QString::fromLatin1(name), QStringList());
        ASSERT_TRUE(program.waitForFinished(15000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 1);
        const QString errors = QString::fromUtf8(program.readAllStandardError());
        EXPECT_TRUE(errors.contains(QStringLiteral("不属于当前用户"))) << errors.toStdString();
        EXPECT_TRUE(QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).isEmpty())
            << QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(QLatin1Char(' ')).toStdString();
    }
}

// The windows never wait for the history: with "records.json" a FIFO that gives nothing yet,
// the program signed in by token builds and starts its main window (it sends its version
// check) and stays responsive; fed afterwards, the history is read and written back whole
// when SIGTERM ends the program.
TEST(UiStartup, FirstWindowDoesNotWaitForTheHistory)
{
    std::unique_ptr<PlatformServer> server = PlatformServer::startDemo();
    ASSERT_TRUE(server);
    const PlatformServer::Session session = server->createSession("demo");
    const QString token = launchToken(session);
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_API_HOST"), QString::fromStdString(server->host()));
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
    ASSERT_TRUE(QDir().mkpath(data));
    const QString records = data + QStringLiteral("/records.json");
    ASSERT_TRUE(testsupport::makeFifo(records));
    const QByteArray history = "{\"1600000000000\":{\"file_name\":\"a.vep\",\"file_path\":\"/v/\",\"file_size\":1.0,"
                               "\"file_type\":7,\"id\":1600000000000,\"time\":1600000000}}\n";

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), {token});
    ASSERT_TRUE(program.waitForStarted(5000));
    const bool started = testsupport::waitUntil([&]() {
        return program.state() == QProcess::NotRunning || !server->requests("Version/versionCheck").empty();
    }, 20000);
    const bool running = program.state() == QProcess::Running;
    // The history is still unread: the FIFO has had no writer yet.
    const bool fed = running && testsupport::feedFifo(records, history, 10000);
    program.terminate();
    const bool ended = program.waitForFinished(15000);
    if (!ended)
        QChildProcess::end(program, 0, 5000);
    ASSERT_TRUE(started && running) << program.readAllStandardError().constData();
    EXPECT_TRUE(fed) << "the history was never opened for reading";
    ASSERT_TRUE(ended);
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_TRUE(QFileInfo(records).isFile());
    EXPECT_EQ(testsupport::readAll(records), history);
}

namespace
{
    // Folders of this user's in `folder` whose names begin with `prefix`.
    QStringList ownFoldersIn(const QString &folder, const QString &prefix)
    {
        QStringList found;
        for (const QString &name : QDir(folder).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            struct stat st {};
            if (name.startsWith(prefix) && ::lstat(QFile::encodeName(folder + name).constData(), &st) == 0
                && S_ISDIR(st.st_mode) && st.st_uid == ::getuid())
                found << name;
        }
        return found;
    }

}

// Without XDG_RUNTIME_DIR the programs make a private runtime folder in TMPDIR: ten starts
// leave one, also when its usual name is taken by another user (the starts then share one
// of an unforeseeable name). The squatted folder gets nothing.
TEST(UiStartup, TenStartsWithoutRuntimeFolderLeaveOneFallback)
{
    const QString program = QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel");
    const QString prefix = QStringLiteral("vantrel-%1").arg(::getuid());
    for (const bool squat : {false, true}) {
        SCOPED_TRACE(squat ? "usual name taken by another user" : "usual name free");
        if (squat && ::getuid() != 0) {
            std::printf("only root can make a folder that belongs to another user: squatted case skipped\n");
            continue;
        }
        QProcessEnvironment env = programEnvironment();
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        const QString temp = testsupport::newTempDir();
        env.insert(QStringLiteral("TMPDIR"), temp);
        const QString squatted = temp + prefix;
        if (squat) {
            ASSERT_TRUE(QDir().mkpath(squatted));
            ASSERT_EQ(::chmod(QFile::encodeName(squatted).constData(), 0777), 0);
            ASSERT_EQ(::chown(QFile::encodeName(squatted).constData(), 65534, 65534), 0);
        }

        // The first start holds the data folder; the nine after it end as second instances.
        QProcess first;
        first.setProcessEnvironment(env);
        first.start(program, QStringList());
        ASSERT_TRUE(first.waitForStarted(5000));
        const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
        ASSERT_TRUE(testsupport::waitUntil([&]() { return testsupport::instanceLockHeldElsewhere(data) || first.state() == QProcess::NotRunning; }, 15000));
        ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().constData();
        QProcessEnvironment later = env;
        later.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
        for (int start = 1; start < 10; ++start) {
            QProcess again;
            again.setProcessEnvironment(later);
            again.start(program, QStringList());
            ASSERT_TRUE(again.waitForFinished(15000)) << start;
            EXPECT_EQ(again.exitCode(), 0) << start;
            EXPECT_TRUE(QString::fromUtf8(again.readAllStandardError()).contains(QStringLiteral("软件已启动，请勿重复运行！"))) << start;
        }

        const QStringList own = ownFoldersIn(temp, prefix);
        EXPECT_EQ(own.size(), 1) << own.join(QLatin1Char(' ')).toStdString();
        if (own.size() == 1) {
            const QString chosen = temp + own.front();
            struct stat st {};
            ASSERT_EQ(::lstat(QFile::encodeName(chosen).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u);
            EXPECT_EQ(own.front() == prefix, !squat) << own.front().toStdString();
        }
        if (squat)
            EXPECT_TRUE(QDir(squatted).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
        QChildProcess::end(first, 0, 5000);
    }
}

namespace
{
    // How the folders above the data folder are made, as root, with a second user (65534).
    struct RedirectCase
    {
        const char *name;
        bool refused;
        // Makes the folders under `base`; returns the data folder's path.
        std::function<QString(const QString &base)> make;
    };

    bool setOwner(const QString &path, uid_t uid, gid_t gid, mode_t mode)
    {
        const QByteArray p = QFile::encodeName(path);
        return ::lchown(p.constData(), uid, gid) == 0 && (mode == 0 || ::chmod(p.constData(), mode) == 0);
    }

    const RedirectCase kRedirectCases[] = {
        {"ParentAnotherUserMayWrite", true, [](const QString &base) {
             const QString parent = base + QStringLiteral("open");
             QDir().mkpath(parent);
             setOwner(parent, 0, 0, 0777);
             return parent + QStringLiteral("/数据");
         }},
        {"ParentOfAnotherUser", true, [](const QString &base) {
             const QString parent = base + QStringLiteral("theirs");
             QDir().mkpath(parent);
             setOwner(parent, 65534, 65534, 0755);
             return parent + QStringLiteral("/数据");
         }},
        {"ParentGroupWritableWithAnotherUserInTheGroup", true, [](const QString &base) {
             const QString parent = base + QStringLiteral("group");
             QDir().mkpath(parent);
             setOwner(parent, 0, 65534, 0775);
             return parent + QStringLiteral("/数据");
         }},
        {"LinkIntoAParentAnotherUserMayWrite", true, [](const QString &base) {
             const QString parent = base + QStringLiteral("open");
             QDir().mkpath(parent + QStringLiteral("/real"));
             setOwner(parent, 0, 0, 0777);
             QFile::link(parent + QStringLiteral("/real"), base + QStringLiteral("link"));
             return base + QStringLiteral("link");
         }},
        {"LinkOfAnotherUserInAStickyFolder", true, [](const QString &base) {
             const QString sticky = base + QStringLiteral("sticky");
             QDir().mkpath(sticky);
             setOwner(sticky, 0, 0, 01777);
             QDir().mkpath(base + QStringLiteral("mine"));
             QFile::link(base + QStringLiteral("mine"), sticky + QStringLiteral("/link"));
             setOwner(sticky + QStringLiteral("/link"), 65534, 65534, 0);
             return sticky + QStringLiteral("/link");
         }},
        {"StickyParentAnyoneMayWrite", false, [](const QString &base) {
             const QString sticky = base + QStringLiteral("sticky");
             QDir().mkpath(sticky);
             setOwner(sticky, 0, 0, 01777);
             return sticky + QStringLiteral("/数据");
         }},
        {"ParentsOfRootAndThisUser", false, [](const QString &base) { return base + QStringLiteral("a/b/数据"); }},
    };

    // Test names in ctest show the case's name, never the bytes of the struct.
    void PrintTo(const RedirectCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class DataFolderRedirectTest : public ::testing::TestWithParam<RedirectCase>
    {
    };
}

// A data folder that another user could swap for one of theirs (through a folder above it
// that they own or may write without the sticky bit, or a link of theirs) is refused by both
// programs with the message for a data folder that can't be made private; nothing is written.
namespace
{
    // A program that ended on the data folder `data`: refused with its message, exit code 1
    // and nothing written there, or run with its log folder made.
    void expectFolderJudged(QProcess &program, const QString &data, bool refused)
    {
        const QString errors = QString::fromUtf8(program.readAllStandardError());
        EXPECT_EQ(errors.contains(QStringLiteral("不属于当前用户或无法设为仅当前用户可访问")), refused) << errors.toStdString();
        if (refused) {
            EXPECT_EQ(program.exitCode(), 1);
            const QStringList left = QDir(data).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
            EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char(' ')).toStdString();
        } else {
            EXPECT_TRUE(QFileInfo(data + QStringLiteral("/log")).isDir());
        }
    }
}

TEST_P(DataFolderRedirectTest, DataFolderAnotherUserCouldReplaceIsRefused)
{
    const RedirectCase &c = GetParam();
    if (::getuid() != 0)
        GTEST_SKIP() << "only root can make folders that belong to a second user";
    const QString data = c.make(testsupport::newTempDir());
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    // A folder that is accepted is shown by sorbin alone: vantrel would go on to sign in.
    const QStringList programs = c.refused ? QStringList {QStringLiteral("vantrel"), QStringLiteral("sorbin")} : QStringList {QStringLiteral("sorbin")};
    for (const QString &name : programs) {
        SCOPED_TRACE(name.toStdString());
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(VANTREL_BIN_DIR) + name, QStringList());
        ASSERT_TRUE(program.waitForFinished(15000));
        expectFolderJudged(program, data, c.refused);
    }
}

INSTANTIATE_TEST_SUITE_P(Parents, DataFolderRedirectTest, ::testing::ValuesIn(kRedirectCases),
                         [](const ::testing::TestParamInfo<RedirectCase> &info) { return std::string(info.param.name); });

namespace
{
    // A program started as another user (the child takes the ids before it runs the program);
    // the ids of this process leave it as it is.
    class ProcessAs : public QProcess
    {
    public:
        ProcessAs(uid_t uid, gid_t gid)
            : m_uid(uid)
            , m_gid(gid)
        {
        }

    protected:
        void setupChildProcess() override
        {
            if (m_uid == ::getuid() && m_gid == ::getgid())
                return;
            if (::setgroups(0, nullptr) != 0 || ::setgid(m_gid) != 0 || ::setuid(m_uid) != 0)
                ::_exit(126);
        }

    private:
        uid_t m_uid;
        gid_t m_gid;
    };

    // Lets other users pass (never list or write) the folders above `path` that this test's
    // own private root holds; false when one outside it keeps them out.
    bool passableByOthers(const QString &path)
    {
        const QString temp = QString::fromLocal8Bit(qgetenv("TMPDIR"));
        if (!temp.startsWith(QLatin1Char('/')))
            return false;
        const QString testRoot = QFileInfo(temp).absolutePath();
        for (QString folder = QFileInfo(path).absolutePath(); folder != QStringLiteral("/");
             folder = QFileInfo(folder).absolutePath()) {
            struct stat st {};
            const QByteArray native = QFile::encodeName(folder);
            if (::stat(native.constData(), &st) != 0)
                return false;
            if (st.st_mode & S_IXOTH)
                continue;
            if (testRoot.size() <= 1 || !(folder + QLatin1Char('/')).startsWith(testRoot + QLatin1Char('/'))
                || ::chmod(native.constData(), (st.st_mode & 07777) | S_IXOTH) != 0)
                return false;
        }
        return true;
    }

    // A uid that no account has, whose number no group has either.
    uid_t uidWithoutEntry()
    {
        for (uid_t uid = 4242; uid < 5000; ++uid)
            if (!::getpwuid(uid) && !::getgrgid(uid))
                return uid;
        return 0;
    }

    // Who runs the programs, and how the folder above the data folder is made: owned by root
    // or by the one who runs them, of a group, with a mode. Names are accounts; "" is a uid
    // (and a gid of the same number) that no account and no group has.
    struct GroupCase
    {
        const char *name;
        const char *runner;
        bool ownedByRunner;
        const char *group;
        mode_t mode;
        bool refused;
    };

    void PrintTo(const GroupCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    const GroupCase kGroupCases[] = {
        {"RootWithItsOwnGroup", "root", false, "root", 0775, false},
        {"RootWithAGroupWithoutEntry", "root", false, "", 0775, true},
        {"RootWithAnotherUsersGroup", "root", false, "daemon", 0775, true},
        {"RootWithItsOwnGroupAndOthersMayWrite", "root", false, "root", 0777, true},
        {"UserWithItsPrivateGroup", "daemon", false, "daemon", 0775, false},
        {"UserOwningTheFolderWithItsPrivateGroup", "daemon", true, "daemon", 0775, false},
        {"UserWithAPrimaryGroupOfAnotherName", "nobody", false, "nogroup", 0775, true},
        {"UserWithRootsGroup", "daemon", false, "root", 0775, true},
        {"UserWithoutAccountEntry", "", false, "", 0775, true},
        {"UserWithoutAccountEntryOwningTheFolder", "", true, "", 0775, true},
    };

    class GroupWritableParentTest : public ::testing::TestWithParam<GroupCase>
    {
    };

    // True when `name` is a user-private group as a Debian system makes them: the primary
    // group of the account of the same name, listing no one, no other account's primary group.
    bool isPrivateGroupOf(const char *name)
    {
        const struct passwd *user = ::getpwnam(name);
        const struct group *group = ::getgrnam(name);
        if (!user || !group || user->pw_gid != group->gr_gid || (group->gr_mem && *group->gr_mem))
            return false;
        const uid_t uid = user->pw_uid;
        const gid_t gid = group->gr_gid;
        bool alone = true;
        ::setpwent();
        while (const struct passwd *other = ::getpwent())
            alone = alone && !(other->pw_gid == gid && other->pw_uid != uid);
        ::endpwent();
        return alone;
    }
}

// A data folder below a folder its group may write is taken only when that group is provably
// the user's alone (the user's own primary group of the user's name, with no one else in it):
// a group of another user, one without an entry, or a user without an account entry is
// refused by both programs with the message for a folder someone else could replace, and
// nothing is written in the data folder.
TEST_P(GroupWritableParentTest, GroupThatIsNotTheUsersAloneIsRefused)
{
    const GroupCase &c = GetParam();
    if (::getuid() != 0)
        GTEST_SKIP() << "only root can make folders of other groups and run as other users";
    const uid_t unknown = uidWithoutEntry();
    ASSERT_NE(unknown, 0u);
    uid_t uid = unknown;
    gid_t gid = unknown;
    if (*c.runner) {
        const struct passwd *user = ::getpwnam(c.runner);
        if (!user)
            GTEST_SKIP() << "no account " << c.runner << " on this machine";
        uid = user->pw_uid;
        gid = user->pw_gid;
    }
    gid_t folderGid = unknown;
    if (*c.group) {
        const struct group *group = ::getgrnam(c.group);
        if (!group)
            GTEST_SKIP() << "no group " << c.group << " on this machine";
        folderGid = group->gr_gid;
    }
    if (!c.refused && !isPrivateGroupOf(c.group))
        GTEST_SKIP() << "the group " << c.group << " is not the private group of its account on this machine";

    const QString base = testsupport::newTempDir();
    const QString parent = base + QStringLiteral("group");
    const QString data = parent + QStringLiteral("/数据");
    ASSERT_TRUE(QDir().mkpath(data));
    ASSERT_EQ(::chown(QFile::encodeName(parent).constData(), c.ownedByRunner ? uid : 0, folderGid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(parent).constData(), c.mode), 0);
    ASSERT_EQ(::chown(QFile::encodeName(data).constData(), uid, gid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0700), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(base).constData(), 0755), 0);
    if (uid != 0 && !passableByOthers(base))
        GTEST_SKIP() << "the test's folder can't be reached by another user here";

    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    // A folder that is accepted is shown by sorbin alone: vantrel would go on to sign in.
    const QStringList programs = c.refused ? QStringList {QStringLiteral("vantrel"), QStringLiteral("sorbin")} : QStringList {QStringLiteral("sorbin")};
    for (const QString &name : programs) {
        SCOPED_TRACE(name.toStdString());
        ProcessAs program(uid, gid);
        program.setProcessEnvironment(env);
        program.setWorkingDirectory(QStringLiteral("/"));
        program.start(QStringLiteral(VANTREL_BIN_DIR) + name, QStringList());
        if (!program.waitForStarted(5000))
            GTEST_SKIP() << "the program can't be started as another user here: " << program.errorString().toStdString();
        ASSERT_TRUE(program.waitForFinished(15000));
        ASSERT_NE(program.exitCode(), 126) << "the ids could not be taken";
        expectFolderJudged(program, data, c.refused);
    }
}

INSTANTIATE_TEST_SUITE_P(Groups, GroupWritableParentTest, ::testing::ValuesIn(kGroupCases),
                         [](const ::testing::TestParamInfo<GroupCase> &info) { return std::string(info.param.name); });

namespace
{
    // Saves `name` in `folder` as the program does, in a child killed while it writes: the
    // temporary file of the save is left, as a kill leaves it. Its name, or empty.
    QString killedSave(const QString &folder, const QString &name)
    {
        return testsupport::leftByEndedChild(folder, [&]() {
            int pieces = 0;
            QSafeFile::saveParts(folder + name, [&pieces]() {
                if (pieces++ > 0)
                    testsupport::childDone();
                return QByteArray("{\"a\":1}");
            });
        });
    }
}

// Temporary files that kills left beside the state files ("records.json", "runs.json",
// "work.json", "config.ini", an upload's ".progress"), and the settings' scratch folders, go at
// the next start; look-alikes stay: another user's file, a link, a folder, other names. A
// second start that finds the first one running touches nothing: the first one may be saving.
TEST(UiStartup, StartSweepsOnlyTheLeftoversOfItsOwnSaves)
{
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    const QString data = env.value(QStringLiteral("VANTREL_DATA_DIR"));
    ASSERT_TRUE(QDir().mkpath(data));
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0700), 0);

    QStringList ours;
    for (const char *name : {"records.json", "runs.json", "work.json", "work.json", "config.ini",
                             "0cc175b9c0f1b6a831c399e269772661.progress", "0cc175b9c0f1b6a831c399e269772661.proof"}) {
        const QString left = killedSave(data, QString::fromLatin1(name));
        ASSERT_FALSE(left.isEmpty()) << name;
        ASSERT_TRUE(left.startsWith(QLatin1Char('.') + QString::fromLatin1(name) + QLatin1Char('.'))) << left.toStdString();
        ours << left;
    }
    {
        QTemporaryDir scratch(data + QStringLiteral(".ini-XXXXXX"));
        ASSERT_TRUE(scratch.isValid());
        scratch.setAutoRemove(false);
        ASSERT_TRUE(testsupport::writeAll(scratch.filePath(QStringLiteral("write.ini")), "[user]\n"));
        ours << QFileInfo(scratch.path()).fileName();
    }

    const QString outside = testsupport::newTempDir() + QStringLiteral("keep.json");
    ASSERT_TRUE(testsupport::writeAll(outside, "keep"));
    QStringList kept {QStringLiteral(".video.mp4.abcdefghijkl"), QStringLiteral(".records.json.short"),
                      QStringLiteral("records.json.abcdefghijkl"), QStringLiteral(".records.json.abcdefghijk!"),
                      QStringLiteral(".ini-GHIJKL")};
    for (const QString &name : kept)
        ASSERT_TRUE(testsupport::writeAll(data + name, "x"));
    kept << QStringLiteral(".work.json.LinkLinkLink") << QStringLiteral(".work.json.FolderFolder") << QStringLiteral(".ini-abc");
    ASSERT_TRUE(QFile::link(outside, data + QStringLiteral(".work.json.LinkLinkLink")));
    ASSERT_TRUE(QDir().mkpath(data + QStringLiteral(".work.json.FolderFolder")));
    ASSERT_TRUE(QDir().mkpath(data + QStringLiteral(".ini-abc")));
    if (::getuid() == 0) {
        kept << QStringLiteral(".records.json.TheirsTheirs") << QStringLiteral(".ini-Theirs");
        ASSERT_TRUE(testsupport::writeAll(data + QStringLiteral(".records.json.TheirsTheirs"), "x"));
        ASSERT_EQ(::chown(QFile::encodeName(data + QStringLiteral(".records.json.TheirsTheirs")).constData(), 65534, 65534), 0);
        ASSERT_TRUE(QDir().mkpath(data + QStringLiteral(".ini-Theirs")));
        ASSERT_TRUE(testsupport::writeAll(data + QStringLiteral(".ini-Theirs/write.ini"), "x"));
        ASSERT_EQ(::chown(QFile::encodeName(data + QStringLiteral(".ini-Theirs")).constData(), 65534, 65534), 0);
    }

    const QString program = QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel");
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(program, QStringList());
    ASSERT_TRUE(first.waitForStarted(5000));
    const auto anyOfOursLeft = [&]() {
        for (const QString &name : ours)
            if (QFileInfo(data + name).exists() || QFileInfo(data + name).isSymLink())
                return true;
        return false;
    };
    const bool swept = testsupport::waitUntil([&]() { return !anyOfOursLeft() || first.state() == QProcess::NotRunning; }, 20000);
    ASSERT_TRUE(swept && first.state() == QProcess::Running) << first.readAllStandardError().constData();
    ASSERT_TRUE(testsupport::waitUntil([&]() { return testsupport::instanceLockHeldElsewhere(data); }, 15000));
    for (const QString &name : kept)
        EXPECT_TRUE(QFileInfo(data + name).exists() || QFileInfo(data + name).isSymLink()) << name.toStdString();
    EXPECT_EQ(testsupport::readAll(outside), QByteArray("keep"));

    // While the first one runs, a save of its own may stand half-written: the second start
    // leaves it.
    const QString saving = killedSave(data, QStringLiteral("work.json"));
    ASSERT_FALSE(saving.isEmpty());
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(program, QStringList());
    ASSERT_TRUE(second.waitForFinished(15000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(QString::fromUtf8(second.readAllStandardError()).contains(QStringLiteral("软件已启动，请勿重复运行！")));
    EXPECT_TRUE(QFileInfo(data + saving).isFile());

    first.terminate();
    const bool ended = first.waitForFinished(15000);
    if (!ended)
        QChildProcess::end(first, 0, 5000);
    ASSERT_TRUE(ended);
    for (const QString &name : kept)
        EXPECT_TRUE(QFileInfo(data + name).exists() || QFileInfo(data + name).isSymLink()) << name.toStdString();
    EXPECT_TRUE(QFileInfo(data + QStringLiteral(".ini-Theirs/write.ini")).isFile() || ::getuid() != 0);
    EXPECT_TRUE(QFileInfo(data + QStringLiteral(".work.json.LinkLinkLink")).isSymLink());
    EXPECT_EQ(testsupport::readAll(outside), QByteArray("keep"));
}

namespace
{
    // A data folder whose instance lock can't be made: the folder as the user finds it, and the
    // reason the message gives.
    struct LockCase
    {
        const char *name;
        // A read-only file system (a tmpfs remounted so) instead of a folder without write
        // permission for another user.
        bool readOnlyFileSystem;
        int error;
        const char *cause;
    };

    void PrintTo(const LockCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class UnlockableDataFolderTest : public ::testing::TestWithParam<LockCase>
    {
    };
}

// A data folder where the lock can't be made says why: the message names the folder and the
// reason, in words and as the system says it, and the program ends with 1.
TEST_P(UnlockableDataFolderTest, MessageTellsWhyTheLockCannotBeTaken)
{
    const LockCase &c = GetParam();
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    std::unique_ptr<testsupport::Tmpfs> disk;
    QString data;
    if (c.readOnlyFileSystem) {
        if (::getuid() != 0)
            GTEST_SKIP() << "only root can mount a file system";
        disk.reset(new testsupport::Tmpfs(1024 * 1024));
        if (!disk->mounted())
            GTEST_SKIP() << disk->why().toStdString();
        data = disk->path() + QStringLiteral("数据");
        ASSERT_TRUE(QDir().mkpath(data + QStringLiteral("/log")));
        ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0700), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(data + QStringLiteral("/log")).constData(), 0700), 0);
        if (::mount(nullptr, QFile::encodeName(disk->path()).constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            GTEST_SKIP() << "the tmpfs can't be remounted read-only: " << std::strerror(errno);
    } else {
        // Root may write anywhere: a user without write permission is another one.
        if (::getuid() == 0) {
            const struct passwd *user = ::getpwnam("daemon");
            if (!user)
                GTEST_SKIP() << "no account daemon on this machine";
            uid = user->pw_uid;
            gid = user->pw_gid;
        }
        const QString base = testsupport::newTempDir();
        data = base + QStringLiteral("数据");
        ASSERT_TRUE(QDir().mkpath(data + QStringLiteral("/log")));
        ASSERT_EQ(::chmod(QFile::encodeName(base).constData(), 0755), 0);
        ASSERT_EQ(::chown(QFile::encodeName(data).constData(), uid, gid), 0);
        ASSERT_EQ(::chown(QFile::encodeName(data + QStringLiteral("/log")).constData(), uid, gid), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0500), 0);
        if (uid != ::getuid() && !passableByOthers(base))
            GTEST_SKIP() << "the test's folder can't be reached by another user here";
    }

    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("VANTREL_DATA_DIR"), data);
    env.insert(QStringLiteral("VANTREL_UNATTENDED"), QStringLiteral("1"));
    ProcessAs program(uid, gid);
    program.setProcessEnvironment(env);
    program.setWorkingDirectory(QStringLiteral("/"));
    program.start(QStringLiteral(VANTREL_BIN_DIR) + QStringLiteral("vantrel"), QStringList());
    if (!program.waitForStarted(5000))
        GTEST_SKIP() << "the program can't be started as another user here: " << program.errorString().toStdString();
    ASSERT_TRUE(program.waitForFinished(15000));
    if (disk)
        ::mount(nullptr, QFile::encodeName(disk->path()).constData(), nullptr, MS_REMOUNT, nullptr);
    ASSERT_NE(program.exitCode(), 126) << "the ids could not be taken";
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 1);
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    const QString expected = QStringLiteral("无法锁定数据文件夹“%1/”（%2：%3），软件无法启动！")
                                 .arg(data, QString::fromUtf8(c.cause), QString::fromLocal8Bit(std::strerror(c.error)));
    EXPECT_TRUE(errors.contains(expected)) << errors.toStdString() << "\nexpected: " << expected.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Folders, UnlockableDataFolderTest,
                         ::testing::Values(LockCase {"ReadOnlyFileSystem", true, EROFS, "文件系统只读"},
                                           LockCase {"FolderWithoutWritePermission", false, EACCES, "无权写入数据文件夹"}),
                         [](const ::testing::TestParamInfo<LockCase> &info) { return std::string(info.param.name); });
