#include "qfolderopener.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include "logger.h"
#include "qchildprocess.h"
#include "qmsgbox.h"
#include "quihelper.h"

namespace
{
    // How long the outcome of an opener is waited for; one still running then has most
    // likely shown the folder and stays in front of its file manager.
    constexpr int kWaitMs = 15000;
    // xdg-open: "a required tool could not be found" (no method available for the folder).
    constexpr int kNoToolExit = 3;

    int g_running = 0;
}

void QFolderOpener::open(const QString &folder)
{
    auto *opener = new QFolderOpener(folder);
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (program.isEmpty())
    {
        LOG_WARNING(L"no xdg-open to show %s", folder);
        opener->fail(noFileManagerText(folder));
        return;
    }
    opener->start(program);
}

int QFolderOpener::running()
{
    return g_running;
}

QString QFolderOpener::noFileManagerText(const QString &folder)
{
    return QCoreApplication::translate("QFolderOpener", "无法打开文件夹：没有可用的文件管理器（%1）")
        .arg(QDir::toNativeSeparators(folder));
}

QString QFolderOpener::failedText(const QString &folder)
{
    return QCoreApplication::translate("QFolderOpener", "无法打开文件夹：文件管理器没能打开它（%1）")
        .arg(QDir::toNativeSeparators(folder));
}

QFolderOpener::QFolderOpener(const QString &folder)
    : QObject(QCoreApplication::instance())
    , m_process(new QTiedProcess(this))
    , m_folder(folder)
{
    ++g_running;
    m_wait.setSingleShot(true);
    m_process->setStandardInputFile(QProcess::nullDevice());
    m_process->setStandardOutputFile(QProcess::nullDevice());
}

QFolderOpener::~QFolderOpener()
{
    if (!m_handled)
        --g_running;
    // An opener still running when the program ends goes with it.
    QChildProcess::end(*m_process, 2000, 2000);
}

void QFolderOpener::start(const QString &program)
{
    bool ok = connect(m_process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                      SLOT(onFinished(int, QProcess::ExitStatus)));
    ok = connect(m_process, SIGNAL(errorOccurred(QProcess::ProcessError)), this, SLOT(onError(QProcess::ProcessError)))
        && ok;
    ok = connect(&m_wait, SIGNAL(timeout()), this, SLOT(onWaitOver())) && ok;
    if (!ok)
        LOG_ERROR(L"folder opener: a signal could not be connected");
    m_wait.start(kWaitMs);
    // An argument list: the folder is one argument whatever it holds.
    m_process->start(program, {m_folder});
}

void QFolderOpener::onFinished(int exitCode, QProcess::ExitStatus status)
{
    QUiHelper::guardSilently(L"folder opener", [&]() {
        if (!m_handled)
        {
            const QByteArray said = m_process->readAllStandardError().left(300).trimmed();
            if (status == QProcess::NormalExit && exitCode == 0)
                handled();
            else
            {
                LOG_WARNING(L"xdg-open on %s ended with %d: %s", m_folder, exitCode, QString::fromLocal8Bit(said));
                fail(status == QProcess::NormalExit && exitCode == kNoToolExit ? noFileManagerText(m_folder)
                                                                               : failedText(m_folder));
            }
        }
    });
    deleteLater();
}

void QFolderOpener::onError(QProcess::ProcessError error)
{
    QUiHelper::guardSilently(L"folder opener", [&]() {
        if (error != QProcess::FailedToStart)
            return;
        LOG_WARNING(L"xdg-open could not be started for %s: %s", m_folder, m_process->errorString());
        fail(noFileManagerText(m_folder));
        deleteLater();
    });
}

void QFolderOpener::onWaitOver()
{
    if (m_handled)
        return;
    LOG_INFO(L"xdg-open on %s still runs; not waited for any more", m_folder);
    handled();
}

void QFolderOpener::fail(const QString &text)
{
    if (m_handled)
        return;
    m_handled = true;
    m_wait.stop();
    QUiHelper::guard(L"folder opener notice", [&]() { QMsgBox::showMessage(text, 1); });
    // Counted as running until the teacher has been told.
    --g_running;
    // A run that never started has nothing left to wait for.
    if (m_process->state() == QProcess::NotRunning)
        deleteLater();
}

void QFolderOpener::handled()
{
    if (m_handled)
        return;
    m_handled = true;
    --g_running;
    m_wait.stop();
}
