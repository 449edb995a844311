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
#include "uexception.h"

namespace
{
    const char *const kVersionText = "2.03";
}

int main(int argc, char **argv)
{
    instanceguard::ensureRuntimeDirEnv();
    platform::installCrashHandler(kVersionText, CGlobal::parseBuildDate(__DATE__));
    CommonFun::ensureUtf8CType();
    QThread::msleep(100);

    sth::logger::instance()->start((CGlobal::defaultLogPath() + QStringLiteral("sorbin/")).toStdWString());
    sth::setDebugEnabled(true);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromUtf8(argv[i]);

    bool ok = false;
    {
        Ostrel ostrel;
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
    }

    QThread::msleep(1000);
    sth::logger::instance()->stop();
    return ok ? 0 : 1;
}
