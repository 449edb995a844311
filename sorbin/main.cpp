#include <cstdio>
#include <exception>

#include <QString>
#include <QStringList>
#include <QThread>

#include "cglobal.h"
#include "commonfun.h"
#include "crashdump.h"
#include "instanceguard.h"
#include "logger.h"
#include "ostrel.h"
#include "qtermwatch.h"
#include "uexception.h"

namespace
{
    const char *const kVersionText = "2.03";
    // How long a run asked to end by a signal may take to clean up before it is ended.
    const int kTerminationGraceMs = 1500;
}

int main(int argc, char **argv)
{
    instanceguard::ensureRuntimeDirEnv();
    platform::installCrashHandler(kVersionText, CGlobal::parseBuildDate(__DATE__));
    CommonFun::ensureUtf8CType();
    QThread::msleep(100);

    // Whichever program comes first, the data folder and its logs are the user's alone; in a
    // folder that can't be made so, nothing is logged and nothing is done.
    if (!CGlobal::makePrivateFolder(CGlobal::defaultDataPath()) || !CGlobal::makePrivateFolder(CGlobal::defaultLogPath()))
    {
        std::fprintf(stderr, "%s\n", "数据文件夹不属于当前用户或无法设为仅当前用户可访问，无法加密！");
        return 1;
    }
    sth::logger::instance()->start((CGlobal::defaultLogPath() + QStringLiteral("sorbin/")).toStdWString());
    sth::setDebugEnabled(true);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromUtf8(argv[i]);

    bool ok = false;
    bool signalled = false;
    {
        Ostrel ostrel;
        QTermWatch watch([&ostrel](int signal) { ostrel.stopOnSignal(signal); },
                         [&ostrel]() {
                             ostrel.cleanUpNow();
                             LOG_ERROR(L"the run did not end in time after a signal");
                             sth::logger::instance()->stop();
                         },
                         kTerminationGraceMs);
        try
        {
            ok = ostrel.parseArguments(arguments) && ostrel.startWork();
        }
        catch (const UException &e)
        {
            LOG_EXCEPTION(e);
            ostrel.sendFailed();
        }
        catch (const std::exception &e)
        {
            LOG_ERROR(L"unexpected error: %s", e.what());
            ostrel.sendFailed();
        }
        catch (...)
        {
            LOG_ERROR(L"unexpected error");
            ostrel.sendFailed();
        }
        watch.finish();
        signalled = watch.signal() != 0;
    }

    // The pause lets the main program read the last message; a run asked to end doesn't wait.
    if (!signalled)
        QThread::msleep(1000);
    sth::logger::instance()->stop();
    return ok ? 0 : 1;
}
