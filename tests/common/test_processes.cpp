#include <memory>

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QUuid>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "testsupport.h"

namespace
{
    // Copies of processhelper under names made for one test, in its own temp folder, so that
    // finding and ending by name can never reach another process on the machine.
    class ProcessesTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_dir = testsupport::newTempDir();
            m_name = QStringLiteral("VtProc-") + QUuid::createUuid().toString(QUuid::Id128).left(12);
        }

        // The helper copied to <temp>/<folder>/<name>.
        QString copyHelper(const QString &name, const QString &folder = QStringLiteral("a"))
        {
            const QString path = m_dir + folder + QLatin1Char('/') + name;
            EXPECT_TRUE(QDir().mkpath(m_dir + folder));
            EXPECT_TRUE(QFile::copy(QStringLiteral(PROCESS_HELPER), path)) << path.toStdString();
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            return path;
        }

        // Starts a copy in `mode` and waits (bounded) until it reports "ready".
        std::unique_ptr<QProcess> start(const QString &path, const QString &mode)
        {
            std::unique_ptr<QProcess> process(new QProcess);
            process->start(path, { mode });
            EXPECT_TRUE(process->waitForStarted(10000)) << path.toStdString();
            EXPECT_TRUE(testsupport::waitUntil([&] { return process->canReadLine(); }, 10000));
            EXPECT_EQ(process->readLine().trimmed(), QByteArray("ready"));
            return process;
        }

        QString m_dir;
        QString m_name;
    };

    TEST_F(ProcessesTest, FindMatchesTheExactExecutableName)
    {
        auto process = start(copyHelper(m_name), QStringLiteral("wait"));
        EXPECT_EQ(CommonFun::findProcess(m_name), process->processId());
        EXPECT_EQ(CommonFun::findProcess(m_name.toLower()), 0);
        EXPECT_EQ(CommonFun::findProcess(m_name + QLatin1Char('x')), 0);
        EXPECT_EQ(CommonFun::findProcess(m_name.left(m_name.size() - 1)), 0);
        EXPECT_EQ(CommonFun::findProcess(QString()), 0);

        // An ended (and reaped) process is no longer found.
        process->kill();
        ASSERT_TRUE(process->waitForFinished(10000));
        EXPECT_EQ(CommonFun::findProcess(m_name), 0);
    }

    TEST_F(ProcessesTest, KillEndsEveryMatchIgnoringCaseWithTerminateFirst)
    {
        auto first = start(copyHelper(m_name, QStringLiteral("a")), QStringLiteral("wait"));
        auto second = start(copyHelper(m_name.toUpper(), QStringLiteral("b")), QStringLiteral("wait"));
        auto bystander = start(copyHelper(m_name + QStringLiteral("-other")), QStringLiteral("wait"));

        EXPECT_TRUE(CommonFun::killProcess(m_name.toLower(), 10000));
        for (QProcess *process : { first.get(), second.get() }) {
            ASSERT_TRUE(process->waitForFinished(10000));
            EXPECT_EQ(process->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(process->exitCode(), 0);
            EXPECT_EQ(process->readAll().trimmed(), QByteArray("term"));
        }
        EXPECT_EQ(bystander->state(), QProcess::Running);
        EXPECT_EQ(CommonFun::findProcess(m_name + QStringLiteral("-other")), bystander->processId());

        EXPECT_FALSE(CommonFun::killProcess(m_name, 10000));
        EXPECT_FALSE(CommonFun::killProcess(QString(), 10000));
    }

    TEST_F(ProcessesTest, KillEscalatesToSigkillAfterTheBound)
    {
        auto process = start(copyHelper(m_name), QStringLiteral("stubborn"));
        EXPECT_TRUE(CommonFun::killProcess(m_name, 200));
        ASSERT_TRUE(process->waitForFinished(10000));
        EXPECT_EQ(process->exitStatus(), QProcess::CrashExit);
        EXPECT_TRUE(process->readAll().isEmpty());
    }

    TEST_F(ProcessesTest, OtherInstancesEndButNotTheCaller)
    {
        const QString self = copyHelper(m_name, QStringLiteral("a"));
        auto same = start(copyHelper(m_name, QStringLiteral("b")), QStringLiteral("wait"));
        auto otherCase = start(copyHelper(m_name.toLower(), QStringLiteral("c")), QStringLiteral("wait"));
        auto bystander = start(copyHelper(m_name + QStringLiteral("-other")), QStringLiteral("wait"));

        QProcess caller;
        caller.start(self, { QStringLiteral("others"), QStringLiteral("10000") });
        ASSERT_TRUE(caller.waitForFinished(30000));
        EXPECT_EQ(caller.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(caller.exitCode(), 0);
        EXPECT_EQ(caller.readAll().trimmed(), QByteArray("done 1"));

        for (QProcess *process : { same.get(), otherCase.get() }) {
            ASSERT_TRUE(process->waitForFinished(10000));
            EXPECT_EQ(process->readAll().trimmed(), QByteArray("term"));
        }
        EXPECT_EQ(bystander->state(), QProcess::Running);

        // Alone, it finds nothing to end.
        QProcess alone;
        alone.start(self, { QStringLiteral("others"), QStringLiteral("10000") });
        ASSERT_TRUE(alone.waitForFinished(30000));
        EXPECT_EQ(alone.readAll().trimmed(), QByteArray("done 0"));
    }

    TEST_F(ProcessesTest, OwnerAccountName)
    {
        auto process = start(copyHelper(m_name), QStringLiteral("wait"));
        const struct passwd *pw = ::getpwuid(::geteuid());
        const QString own = pw ? QString::fromUtf8(pw->pw_name) : QString();
        EXPECT_EQ(CommonFun::getProcessUserName(), own);
        EXPECT_EQ(CommonFun::getProcessUserName(::getpid()), own);
        EXPECT_EQ(CommonFun::getProcessUserName(process->processId()), own);

        // Ids no process can have.
        const qint64 pidMax = testsupport::readAll(QStringLiteral("/proc/sys/kernel/pid_max")).trimmed().toLongLong();
        ASSERT_GT(pidMax, 0);
        for (const qint64 pid : { pidMax + 1, qint64(0), qint64(-1) })
            EXPECT_TRUE(CommonFun::getProcessUserName(pid).isEmpty()) << pid;
    }
}
