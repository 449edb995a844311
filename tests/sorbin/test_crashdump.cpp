#include <csignal>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include "sorbintestutil.h"
#include "testsupport.h"

namespace
{
    struct Crash
    {
        const char *how;
        int signal;
        const char *name;
    };

    // True once the process catches SIGSEGV ("SigCgt" of /proc/<pid>/status), that is once its
    // crash handler is installed.
    bool catchesSegv(qint64 pid)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("SigCgt:"))
                return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGSEGV - 1) & 1) != 0;
        return false;
    }

    // Runs the program in a fresh working folder and returns the folder. With killWhenReady the
    // program is sent SIGSEGV as soon as its handler is in place.
    QString crashIn(const QString &program, const QStringList &args, qint64 &pid, bool killWhenReady = false)
    {
        const QString dir = testsupport::newTempDir();
        QProcess p;
        p.setWorkingDirectory(dir);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForStarted(10000))
            return QString();
        pid = p.processId();
        if (killWhenReady)
        {
            EXPECT_TRUE(testsupport::waitUntil([pid] { return catchesSegv(pid); }, 20000));
            ::kill(static_cast<pid_t>(pid), SIGSEGV);
        }
        p.waitForFinished(30000);
        EXPECT_EQ(p.exitStatus(), QProcess::CrashExit) << "the exit status stays a crash";
        return dir;
    }

    // Exactly one dump named v<version>-<build date>-<date>-<time>-<pid>-<tid>.dmp, written now.
    QString expectOneDump(const QString &dir, qint64 pid, const char *version)
    {
        const QStringList files = QDir(dir).entryList(QDir::Files);
        EXPECT_EQ(files.size(), 1) << files.join(QLatin1Char(' ')).toStdString();
        if (files.size() != 1)
            return QString();
        const QRegularExpression pattern(QStringLiteral("^v%1-(\\d{8})-(\\d{8}-\\d{6})-(\\d+)-(\\d+)\\.dmp$")
                                             .arg(QRegularExpression::escape(QString::fromLatin1(version))));
        const QRegularExpressionMatch m = pattern.match(files.first());
        EXPECT_TRUE(m.hasMatch()) << files.first().toStdString();
        if (!m.hasMatch())
            return QString();
        EXPECT_EQ(m.captured(3).toLongLong(), pid);
        const QDateTime stamp = QDateTime::fromString(m.captured(2), QStringLiteral("yyyyMMdd-HHmmss"));
        EXPECT_LE(std::llabs(stamp.secsTo(QDateTime::currentDateTime())), 60) << "local time of the crash";
        return QString::fromUtf8(testsupport::readAll(dir + files.first()));
    }
}

TEST(CrashDump, EachKindOfCrashWritesOneDump)
{
    const Crash crashes[] = {
        {"segv", SIGSEGV, "SIGSEGV"},
        {"fpe", SIGFPE, "SIGFPE"},
        {"abort", SIGABRT, "SIGABRT"},
        {"terminate", 0, "std::terminate"},
        {"overflow", SIGSEGV, "SIGSEGV"},
        {"thread", SIGSEGV, "SIGSEGV"},
    };
    for (const Crash &c : crashes)
    {
        SCOPED_TRACE(c.how);
        qint64 pid = 0;
        const QString dir = crashIn(QStringLiteral(CRASHCHILD_PATH), {QString::fromLatin1(c.how)}, pid);
        ASSERT_FALSE(dir.isEmpty());
        const QString dump = expectOneDump(dir, pid, "2.03");
        EXPECT_TRUE(dump.contains(QStringLiteral("signal: %1 (%2)").arg(c.signal).arg(QLatin1String(c.name)))) << dump.left(300).toStdString();
        EXPECT_TRUE(dump.contains(QStringLiteral("build date: 20211213")));
        EXPECT_TRUE(dump.contains(QStringLiteral("backtrace:\n")));
        EXPECT_TRUE(dump.contains(QStringLiteral("thread: ")));
    }
}

// The real program carries the handler from its first line on.
TEST(CrashDump, SorbinWritesOneDump)
{
    qint64 pid = 0;
    const QString dir = crashIn(sorbintest::sorbinPath(), {}, pid, true);
    ASSERT_FALSE(dir.isEmpty());
    const QString dump = expectOneDump(dir, pid, "2.03");
    EXPECT_TRUE(dump.contains(QStringLiteral("signal: 11 (SIGSEGV)")));
}

// Under a debugger the crash is the debugger's: no dump is written.
TEST(CrashDump, NoDumpWhileTraced)
{
    const QString dir = testsupport::newTempDir();
    const QByteArray dirBytes = QFile::encodeName(dir);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        if (chdir(dirBytes.constData()) != 0 || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(3);
        execl(CRASHCHILD_PATH, CRASHCHILD_PATH, "segv", static_cast<char *>(nullptr));
        _exit(4);
    }
    // Act as the debugger: pass every signal on until the child ends.
    int status = 0;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
    {
        const int sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<intptr_t>(sig)));
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_TRUE(QDir(dir).entryList(QDir::Files).isEmpty());
}

// A name planted in the working folder before the crash (a link to a file of the user's) is
// never written through.
TEST(CrashDump, PlantedLinkUnderTheDumpNameIsNotFollowed)
{
    const QString dir = testsupport::newTempDir();
    const QString target = testsupport::newTempDir() + QStringLiteral("thesis.txt");
    ASSERT_TRUE(testsupport::writeAll(target, "my thesis"));
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(sorbintest::sorbinPath(), QStringList());
    ASSERT_TRUE(p.waitForStarted(10000));
    const qint64 pid = p.processId();
    ASSERT_TRUE(testsupport::waitUntil([pid] { return catchesSegv(pid); }, 20000));
    // Every name the dump may get in the next seconds, for each thread of the process.
    const QDateTime now = QDateTime::currentDateTime();
    const QStringList threads = QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // The build date is the day the program was built.
    QStringList builtOn {QFileInfo(sorbintest::sorbinPath()).lastModified().toString(QStringLiteral("yyyyMMdd"))};
    if (!builtOn.contains(now.toString(QStringLiteral("yyyyMMdd"))))
        builtOn << now.toString(QStringLiteral("yyyyMMdd"));
    for (const QString &built : builtOn)
        for (int s = -1; s <= 5; ++s)
            for (const QString &tid : threads) {
                const QString name = QStringLiteral("v2.03-%1-%2-%3-%4.dmp")
                                         .arg(built, now.addSecs(s).toString(QStringLiteral("yyyyMMdd-HHmmss")))
                                         .arg(pid)
                                         .arg(tid);
                ASSERT_TRUE(QFile::link(target, dir + name));
            }
    ::kill(static_cast<pid_t>(pid), SIGSEGV);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    EXPECT_EQ(testsupport::readAll(target), QByteArray("my thesis"));
}
