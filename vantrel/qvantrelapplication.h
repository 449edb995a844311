#pragma once

#include <QApplication>

// The Qt application of vantrel. Exceptions cannot travel through Qt's event loop: one that
// escapes an event handler is logged here and ends every running event loop with exit code 1.
class QVantrelApplication : public QApplication
{
    Q_OBJECT

public:
    QVantrelApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // True once an exception has escaped an event handler: the program must end with 1, even
    // when the exception ended a nested loop (a modal dialog) rather than the main one.
    bool failed() const;

private:
    bool m_failed = false;
};
