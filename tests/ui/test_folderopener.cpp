// "打开文件夹" on a record row without a file manager on the session bus: the desktop's opener
// (xdg-open from PATH) is run on the folder as one argument, and when it is missing or fails
// the teacher is told in a box; when it succeeds nothing is said.
#include <QDir>
#include <QFile>
#include <QPushButton>

#include <gtest/gtest.h>

#include "qdtarecord.h"
#include "qfolderopener.h"
#include "qitemrecordwidget.h"
#include "testsupport.h"
#include "uitestenv.h"

namespace
{
    struct OpenerCase
    {
        const char *name;
        // The opener's script after its shebang line; empty: no opener at all.
        const char *script;
        bool told;
        bool noFileManager; // the box names the missing file manager
    };

    void PrintTo(const OpenerCase &c, std::ostream *os)
    {
        *os << c.name;
    }

    class FolderOpener : public ::testing::TestWithParam<OpenerCase>
    {
    protected:
        FolderOpener()
            : m_path(qgetenv("PATH"))
            , m_bus(qgetenv("DBUS_SESSION_BUS_ADDRESS"))
        {
            // No session bus: no file manager can be asked over it.
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vantrel-test-bus");
        }
        ~FolderOpener() override
        {
            qputenv("PATH", m_path);
            if (m_bus.isEmpty())
                qunsetenv("DBUS_SESSION_BUS_ADDRESS");
            else
                qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus);
        }

        UiTestEnv env {false};
        QByteArray m_path;
        QByteArray m_bus;
    };
}

TEST_P(FolderOpener, RecordRowOpensItsFolderOrSaysWhyNot)
{
    const OpenerCase &c = GetParam();
    const QString tools = env.tempDir() + QStringLiteral("tools/");
    ASSERT_TRUE(QDir().mkpath(tools));
    const QString calls = env.tempDir() + QStringLiteral("calls.txt");
    if (*c.script)
    {
        const QString opener = tools + QStringLiteral("xdg-open");
        ASSERT_TRUE(testsupport::writeAll(opener, QStringLiteral("#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" >> '%1'\n%2\n")
                                                      .arg(calls, QString::fromLatin1(c.script))
                                                      .toUtf8()));
        ASSERT_TRUE(QFile::setPermissions(opener, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }
    qputenv("PATH", QFile::encodeName(tools));

    // A folder whose name a command line would split.
    const QString folder = env.tempDir() + QStringLiteral("课程 输出 $(x)/");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(testsupport::writeAll(folder + QStringLiteral("第1课.vep"), "vep"));
    auto record = std::make_shared<QDtaRecord>();
    record->setId(1700000000001LL);
    record->setTime(1700000000);
    record->setFileName(QStringLiteral("第1课.vep"));
    record->setFilePath(folder);
    QItemRecordWidget row(record);
    row.show();

    QStringList told;
    {
        ModalAnswer answer([&](QWidget *w) {
            told << messageText(w);
            return clickButton(w, "btnOk");
        });
        row.findChild<QPushButton *>(QStringLiteral("btnOpenFolder"))->click();
        // Handled: the opener's outcome taken and, for a failure, its box closed.
        ASSERT_TRUE(testsupport::waitUntil([&]() { return QFolderOpener::running() == 0; }, 30000));
    }
    if (c.told)
    {
        ASSERT_EQ(told.size(), 1);
        EXPECT_EQ(told.at(0), c.noFileManager ? QFolderOpener::noFileManagerText(folder) : QFolderOpener::failedText(folder));
        EXPECT_TRUE(told.at(0).contains(QDir::toNativeSeparators(folder))) << told.at(0).toStdString();
    }
    else
    {
        EXPECT_TRUE(told.isEmpty()) << told.join(QLatin1Char('|')).toStdString();
    }
    if (*c.script)
        EXPECT_EQ(testsupport::readAll(calls), QStringLiteral("1|%1\n").arg(folder).toUtf8());
}

INSTANTIATE_TEST_SUITE_P(
    Openers, FolderOpener,
    ::testing::Values(OpenerCase {"NoOpenerInstalled", "", true, true},
                      OpenerCase {"NoMethodAvailable", "echo \"xdg-open: no method available for opening '$1'\" >&2; exit 3", true, true},
                      OpenerCase {"OpenerFails", "exit 4", true, false},
                      OpenerCase {"OpenerKilled", "kill -9 $$", true, false},
                      OpenerCase {"Opened", "exit 0", false, false}),
    [](const ::testing::TestParamInfo<OpenerCase> &info) { return std::string(info.param.name); });
