#include "cwinapp.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include "cglobal.h"
#include "commonfun.h"
#include "logger.h"
#include "qappsetting.h"
#include "qchildprocess.h"
#include "qinifile.h"
#include "qsafefile.h"
#include "qvalue.h"
#include "qworkfolder.h"
#include "uexception.h"
#include "qhttpclient.h"
#include "qmainwidget.h"
#include "qmsgbox.h"
#include "qrecords.h"
#include "quihelper.h"
#include "quiscale.h"
#include "quser.h"
#include "qrunfolder.h"
#include "qvlcinstance.h"
#include "qwebmodel.h"
#include "shell.h"
#include "vantrelresources.h"

namespace
{
    // The files the program keeps in the data folder with QSafeFile.
    bool isStateFile(const QString &name)
    {
        static const QRegularExpression expr(QStringLiteral(
            "^(records\\.json|runs\\.json|work\\.json|notices\\.json|config\\.ini|[0-9a-f]{32}\\.(progress|proof))$"));
        return expr.match(name).hasMatch();
    }

    // Why the instance lock could not be taken, in words, as the messages give reasons.
    QString lockFailureReason(int err)
    {
        return CommonFun::systemErrorText(err, QStringLiteral("无权写入数据文件夹"));
    }
}

CWinApp::CWinApp(int &argc, char **argv)
    : m_application(argc, argv)
{
    CommonFun::ensureUtf8CType();
    m_application.quitOnTerminationSignals();
    registerQValueMetaType();
    initVantrelResources();
    CGlobal::init();
    QAppSetting::instance()->setFile(CGlobal::appPath() + QStringLiteral("start.ini"));
    QUIScale::init();
    QHttpClient::instance()->start(3);
    loadTranslator();
    sth::setDebugEnabled(QAppSetting::instance()->getBool(QStringLiteral("config"), QStringLiteral("debug"), false));
    QVlcInstance::instance();
}

CWinApp::~CWinApp()
{
    // The thread reading the history is done before the services it logs to end.
    if (m_historyRead && !QRecords::instance()->waitRead(10000))
        LOG_ERROR(L"the history is still not read at exit");
    QHttpClient::instance()->shutdown();
    CGlobal::uninit();
    m_translator.reset();
}

void CWinApp::loadTranslator()
{
    m_translator.reset(new QTranslator(nullptr));
    if (!m_translator->load(CGlobal::appPath() + QStringLiteral("language/vantrel_zh.qm")))
        LOG_DEBUG(L"no translation loaded");
    QCoreApplication::installTranslator(m_translator.get());

    // Qt's own texts (file dialog, context menus, standard buttons) in Chinese too.
    if (!QUiHelper::installQtTranslation(&m_application))
        LOG_WARNING(L"Qt's Chinese translation (qtbase_zh_CN.qm) not found");
}

bool CWinApp::parseLaunchToken(const QString &argument, LaunchToken &result)
{
    const int colon = argument.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    // A browser hands the link over percent-encoded ("ostrelhelper:%7B%22uid%22…").
    const QString text = argument.mid(colon + 1);
    QValue root;
    if (!parseJson(text, root, true)
        && !(text.contains(QLatin1Char('%'))
             && parseJson(QUrl::fromPercentEncoding(text.toUtf8()), root, true)))
        return false;
    if (!root.isObject())
        return false;

    // All three must be there, as text: a link without them is no sign-in.
    QString values[3];
    const char *names[3] = {"uid", "oauth_token", "oauth_token_secret"};
    for (int i = 0; i < 3; ++i)
    {
        const QValue &member = jsonMember(root, QString::fromLatin1(names[i]));
        if (!member.isString())
            return false;
        values[i] = asQString(member);
        if (values[i].isEmpty())
            return false;
    }
    bool isNumber = false;
    const int uid = values[0].toInt(&isNumber, 10);
    if (!isNumber || uid <= 0)
        return false;
    result.teacherId = uid;
    result.token = values[1];
    result.tokenSecret = values[2];
    return true;
}

void CWinApp::setLaunchArgument(const QString &argument)
{
    m_launchArgument = argument;
}

int CWinApp::run()
{
    std::unique_ptr<QMainWidget> window;
    try
    {
        // History, pending work and logs are only kept in a folder that is the teacher's alone.
        if (!CGlobal::dataPathIsPrivate())
        {
            const QString notice = QStringLiteral("数据文件夹“%1”不属于当前用户或无法设为仅当前用户可访问，软件无法启动！")
                                       .arg(QDir::toNativeSeparators(CGlobal::dataPath()));
            std::fprintf(stderr, "%s\n", notice.toUtf8().constData());
            if (qEnvironmentVariableIntValue("VANTREL_UNATTENDED") != 1)
                QMsgBox::showMessage(notice, 1);
            return 1;
        }
        // One instance per data folder: two would save the pending work and the history
        // over each other's.
        int lockError = 0;
        const CommonFun::Instance instance = CommonFun::guardDataFolder(CGlobal::dataPath(), L"vantrel_2_0", &lockError);
        if (instance != CommonFun::Instance::Alone)
        {
            const bool another = instance == CommonFun::Instance::Another;
            const QString folder = QDir::toNativeSeparators(CGlobal::dataPath());
            const QString notice = another ? QStringLiteral("软件已启动，请勿重复运行！")
                : lockError != 0 ? QStringLiteral("无法锁定数据文件夹“%1”（%2），软件无法启动！").arg(folder, lockFailureReason(lockError))
                                 : QStringLiteral("无法锁定数据文件夹“%1”，软件无法启动！").arg(folder);
            if (!another)
                LOG_ERROR(L"cannot take the instance lock in %s: %s", CGlobal::dataPath(),
                          lockError != 0 ? QString::fromLocal8Bit(std::strerror(lockError)) : QStringLiteral("unknown error"));
            std::fprintf(stderr, "%s\n", notice.toUtf8().constData());
            if (qEnvironmentVariableIntValue("VANTREL_UNATTENDED") != 1)
                QMsgBox::showMessage(notice, 1);
            return another ? 0 : 1;
        }

        // The lock is ours and nothing saves yet: the temporary files that kills left beside
        // the state files go.
        const int leftovers = QSafeFile::sweepLeftovers(CGlobal::dataPath(), isStateFile)
            + QIniFile::sweepScratch(CGlobal::dataPath());
        if (leftovers > 0)
            LOG_INFO(L"removed %d temporary files of earlier saves", leftovers);

        // The history is read on a thread of its own while the windows come up.
        QRecords::instance();
        m_historyRead = true;
        // Children a killed run left, stopped ones too: their folders are swept next.
        const int ended = QChildProcess::endOrphans(CGlobal::dataPath(), 3000);
        if (ended > 0)
            LOG_INFO(L"ended %d children of an earlier run", ended);
        QWebModel::sweepLeftovers();
        // No run is going on yet: every run folder still noted is one a kill left.
        QRunFolder::sweep();
        // The private folders of encryption runs that were killed, with their plain transcodes;
        // those of runs still going (a child of an earlier instance) are kept.
        const int swept = QWorkFolder::sweep(QWorkFolder::defaultRoot());
        if (swept > 0)
            LOG_INFO(L"removed %d work folders of ended encryption runs", swept);
        window.reset(new QMainWidget(nullptr));

        LOG_DEBUG(L"argument size:%d", static_cast<int>(QCoreApplication::arguments().size()));
        bool signedIn = false;
        if (!m_launchArgument.isEmpty())
        {
            // The token secret never reaches the log.
            LaunchToken launch;
            signedIn = parseLaunchToken(m_launchArgument, launch);
            LOG_DEBUG(L"sign-in token on the command line: %s", signedIn ? L"read" : L"not usable");
            if (signedIn)
            {
                QUser::instance()->setTeacherId(launch.teacherId);
                QUser::instance()->setToken(launch.token, launch.tokenSecret);
            }
        }
        if (!signedIn && !window->login())
        {
            window.reset();
            return m_application.failed() ? 1 : 0;
        }

        window->start();
        window->show();
        platform::bringToFront(window->windowHandle());
        // A termination signal taken while the window started (its quit() found no event
        // loop to end) ends the loop as soon as it runs.
        QTimer::singleShot(0, &m_application, [this]() {
            if (m_application.quitRequested())
                QCoreApplication::quit();
        });
        const int code = QApplication::exec();
        // Pending work ("work.json") and the history ("records.json") are saved here, while
        // the logger still runs.
        window.reset();
        QRecords::instance()->save();
        return m_application.failed() ? 1 : code;
    }
    catch (const UException &e)
    {
        window.reset();
        LOG_EXCEPTION(e);
        return 1;
    }
    catch (const std::exception &e)
    {
        window.reset();
        LOG_ERROR(L"start-up failed: %s", e.what());
        return 1;
    }
    catch (...)
    {
        window.reset();
        LOG_ERROR(L"start-up failed");
        return 1;
    }
}
