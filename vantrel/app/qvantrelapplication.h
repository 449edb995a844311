#pragma once

#include <memory>

#include <QApplication>

class QSocketNotifier;

// The Qt application of vantrel. Exceptions cannot travel through Qt's event loop: one that
// escapes an event handler is logged here and ends every running event loop with exit code 1.
class QVantrelApplication : public QApplication
{
    Q_OBJECT

public:
    QVantrelApplication(int &argc, char **argv);
    ~QVantrelApplication() override;

    bool notify(QObject *receiver, QEvent *event) override;

    // True once an exception has escaped an event handler: the program must end with 1, even
    // when the exception ended a nested loop (a modal dialog) rather than the main one.
    bool failed() const;
    // A termination signal came (perhaps before the event loop ran, when quit() does nothing).
    bool quitRequested() const;

    // SIGTERM, SIGINT and SIGHUP end every running event loop like a normal quit, so that the
    // program shuts down in order (pending work and history saved, children ended, log
    // written) instead of dying on the spot.
    void quitOnTerminationSignals();

private slots:
    void onTerminationSignal();

private:
    bool m_failed = false;
    bool m_quitRequested = false;
    std::unique_ptr<QSocketNotifier> m_terminationNotifier;
};
