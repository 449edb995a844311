#include "qvantrelapplication.h"

#include <QSocketNotifier>

#include "logger.h"
#include "termsignal.h"
#include "uexception.h"

QVantrelApplication::QVantrelApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
}

QVantrelApplication::~QVantrelApplication() = default;

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

void QVantrelApplication::quitOnTerminationSignals()
{
    if (m_terminationNotifier)
        return;
    const int fd = platform::installTerminationPipe();
    if (fd < 0)
    {
        LOG_ERROR(L"termination signals are not watched");
        return;
    }
    m_terminationNotifier.reset(new QSocketNotifier(fd, QSocketNotifier::Read));
    if (!connect(m_terminationNotifier.get(), SIGNAL(activated(int)), this, SLOT(onTerminationSignal())))
        LOG_ERROR(L"termination signals not connected");
}

void QVantrelApplication::onTerminationSignal()
{
    const int sig = platform::takeTerminationSignal(static_cast<int>(m_terminationNotifier->socket()));
    if (sig == 0)
        return;
    LOG_INFO(L"signal %d: quitting", sig);
    m_quitRequested = true;
    quit();
}

bool QVantrelApplication::quitRequested() const
{
    return m_quitRequested;
}
