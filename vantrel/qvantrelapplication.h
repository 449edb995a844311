#pragma once

#include <QApplication>

// The Qt application of vantrel. Exceptions cannot travel through Qt's event loop: one that
// escapes an event handler is logged here and ends the event loop with exit code 1.
class QVantrelApplication : public QApplication
{
    Q_OBJECT

public:
    QVantrelApplication(int &argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;
};
