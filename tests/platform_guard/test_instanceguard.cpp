#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include "commonfun.h"
#include "instanceguard.h"
#include "qchildprocess.h"
#include "testsupport.h"

namespace
{
    // Generous: a loaded machine may be slow to start a process; nothing here is timed.
    const int kWaitMs = 30000;

    // A guardhelper process; killed when the test ends.
    class Helper
    {
    public:
        explicit Helper(const QString &name, const QString &option = QString())
        {
            QStringList args { name };
            if (!option.isEmpty())
                args << option;
            m_process.start(QStringLiteral(GUARD_HELPER), args);
        }

        ~Helper()
        {
            QChildProcess::end(m_process, 0, kWaitMs);
        }

        // The helper's last word ("acquired", "taken", "failed"); empty on a time-out.
        QString answer()
        {
            if (!m_process.waitForStarted(kWaitMs))
                return QString();
            QString last;
            while (last != QStringLiteral("acquired") && last != QStringLiteral("taken") && last != QStringLiteral("failed")) {
                if (!m_process.canReadLine() && !m_process.waitForReadyRead(kWaitMs)) {
                    if (!m_process.canReadLine())
                        return QString();
                }
                while (m_process.canReadLine()) {
                    last = QString::fromUtf8(m_process.readLine()).trimmed();
                    if (last.startsWith(QStringLiteral("child ")))
                        m_child = last.mid(6).toInt();
                }
            }
            return last;
        }

        void killHard()
        {
            ::kill(static_cast<pid_t>(m_process.processId()), SIGKILL);
            ASSERT_TRUE(m_process.waitForFinished(kWaitMs));
        }

        void closeInput()
        {
            m_process.closeWriteChannel();
            ASSERT_TRUE(m_process.waitForFinished(kWaitMs));
            EXPECT_EQ(m_process.exitCode(), 0);
        }

        int child() const
        {
            return m_child;
        }

    private:
        QProcess m_process;
        int m_child = 0;
    };

    TEST(InstanceGuardTest, SecondProcessSeesTheNameTakenUntilTheFirstEnds)
    {
        Helper first(QStringLiteral("vantrel_2_0"));
        ASSERT_EQ(first.answer(), QStringLiteral("acquired"));
        Helper second(QStringLiteral("vantrel_2_0"));
        EXPECT_EQ(second.answer(), QStringLiteral("taken"));
        EXPECT_TRUE(CommonFun::isMutexExist(L"vantrel_2_0"));
        // Another name is free.
        Helper other(QStringLiteral("vantrel_other"));
        EXPECT_EQ(other.answer(), QStringLiteral("acquired"));

        first.closeInput();
        Helper third(QStringLiteral("vantrel_2_0"));
        EXPECT_EQ(third.answer(), QStringLiteral("acquired"));
    }

    TEST(InstanceGuardTest, KilledHolderReleasesTheName)
    {
        Helper holder(QStringLiteral("vantrel_2_0"));
        ASSERT_EQ(holder.answer(), QStringLiteral("acquired"));
        EXPECT_EQ(instanceguard::acquire("vantrel_2_0"), instanceguard::Taken);
        holder.killHard();
        EXPECT_FALSE(CommonFun::isMutexExist(L"vantrel_2_0"));
        // Now this process holds it against everyone else.
        Helper late(QStringLiteral("vantrel_2_0"));
        EXPECT_EQ(late.answer(), QStringLiteral("taken"));
        instanceguard::release("vantrel_2_0");
    }

    // A child that runs another program, and one that is still a copy of the holder (as
    // between fork and exec): neither holds the name once the holder is gone.
    TEST(InstanceGuardTest, ChildProcessesDoNotInheritTheLock)
    {
        for (const char *option : {"--spawn", "--fork"}) {
            SCOPED_TRACE(option);
            Helper holder(QStringLiteral("vantrel_2_0"), QString::fromLatin1(option));
            ASSERT_EQ(holder.answer(), QStringLiteral("acquired"));
            ASSERT_GT(holder.child(), 0);
            holder.killHard();
            // The holder's child is still running, yet the name is free.
            EXPECT_EQ(::kill(holder.child(), 0), 0);
            EXPECT_EQ(instanceguard::acquire("vantrel_2_0"), instanceguard::Acquired);
            ::kill(holder.child(), SIGKILL);
            instanceguard::release("vantrel_2_0");
        }
    }

    TEST(InstanceGuardTest, LockFilesStayInThePrivateRuntimeFolder)
    {
        const std::string dir = instanceguard::runtimeDir();
        ASSERT_FALSE(dir.empty());
        const QString expected = QDir::cleanPath(QFile::decodeName(qgetenv("XDG_RUNTIME_DIR"))) + QStringLiteral("/vantrel/");
        EXPECT_EQ(QString::fromStdString(dir), expected);
        struct stat st {};
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);

        // Names with path characters cannot reach outside the folder.
        const QStringList before = QDir(expected).entryList(QDir::Files | QDir::Hidden);
        for (const char *name : { "../../escape", "a/b", ".hidden", "" }) {
            EXPECT_EQ(instanceguard::acquire(name), instanceguard::Acquired) << name;
            instanceguard::release(name);
        }
        const QStringList files = QDir(expected).entryList(QDir::Files | QDir::Hidden);
        EXPECT_EQ(files.size(), before.size() + 4) << files.join(QLatin1Char(' ')).toStdString();
        EXPECT_FALSE(QFileInfo::exists(expected + QStringLiteral("../../escape.lock")));
        for (const QString &file : files)
            EXPECT_FALSE(file.startsWith(QLatin1Char('.'))) << file.toStdString();

        // release() frees the name for other processes.
        ASSERT_EQ(instanceguard::acquire("vantrel_2_0"), instanceguard::Acquired);
        Helper blocked(QStringLiteral("vantrel_2_0"));
        EXPECT_EQ(blocked.answer(), QStringLiteral("taken"));
        instanceguard::release("vantrel_2_0");
        Helper freed(QStringLiteral("vantrel_2_0"));
        EXPECT_EQ(freed.answer(), QStringLiteral("acquired"));
    }
}
