#include "qvantrelapplication.h"

#include "logger.h"
#include "uexception.h"

QVantrelApplication::QVantrelApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

bool QVantrelApplication::notify(QObject *receiver, QEvent *event)
{
    try
    {
        return QApplication::notify(receiver, event);
    }
    catch (const UException &e)
    {
        LOG_EXCEPTION(e);
    }
    catch (const std::exception &e)
    {
        LOG_ERROR(L"unhandled exception: %s", e.what());
    }
    catch (...)
    {
        LOG_ERROR(L"unhandled exception");
    }
    m_failed = true;
    exit(1);
    return false;
}

bool QVantrelApplication::failed() const
{
    return m_failed;
}
