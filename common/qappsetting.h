#pragma once

#include "qinifile.h"

// The program's "start.ini" (beside the program): [config] debug (bool, false) and
// threads (int, 3). Read only; the start-up code points it at its file with setFile().
class QAppSetting : public QIniFile
{
    Q_OBJECT

public:
    static QAppSetting *instance();

    // [config] threads of `ini`: a whole number from 1 to 16; anything else (missing, text,
    // out of range) gives 3, logged when it was set.
    static int workerThreads(const QIniFile &ini);

private:
    QAppSetting();
};
