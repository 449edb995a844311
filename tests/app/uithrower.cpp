// A child process for the start-up tests: a QVantrelApplication whose event handler throws.
//   uithrower loop    an exception escapes a timer slot of the main event loop
//   uithrower dialog  it escapes while a modal dialog runs its own loop
// Prints "failed=<0|1>" and returns what CWinApp::run would return.
#include <cstdio>
#include <cstring>

#include <QDialog>
#include <QTimer>

#include "cglobal.h"
#include "uexception.h"
#include "qvantrelapplication.h"

namespace
{
    void throwInSlot()
    {
        throw UException("thrower(slot)", QStringLiteral("在事件中抛出"), __FILE__, __LINE__);
    }
}

int main(int argc, char **argv)
{
    QVantrelApplication app(argc, argv);
    CGlobal::init();
    const bool inDialog = argc > 1 && std::strcmp(argv[1], "dialog") == 0;
    int code = 0;
    if (inDialog)
    {
        QDialog dialog;
        QTimer::singleShot(50, &dialog, &throwInSlot);
        // Without the exception nothing would ever end this dialog.
        const int result = dialog.exec();
        code = app.failed() ? 1 : result;
    }
    else
    {
        QTimer::singleShot(50, &app, &throwInSlot);
        // A loop that is not ended by the exception would be ended here with 0.
        QTimer::singleShot(5000, &app, &QCoreApplication::quit);
        const int result = QApplication::exec();
        code = app.failed() ? 1 : result;
    }
    std::printf("failed=%d\n", app.failed() ? 1 : 0);
    CGlobal::uninit();
    return code;
}
