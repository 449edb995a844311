#include "qchildprocess.h"

#include <QProcess>

QString QChildProcess::program(const char *envVar, const QString &fallback)
{
    const QString configured = qEnvironmentVariable(envVar);
    return configured.isEmpty() ? fallback : configured;
}

bool QChildProcess::end(QProcess &process, int terminateWaitMs, int killWaitMs)
{
    if (process.state() == QProcess::NotRunning)
        return true;
    if (terminateWaitMs > 0) {
        process.terminate();
        if (process.waitForFinished(terminateWaitMs))
            return true;
    }
    process.kill();
    process.waitForFinished(killWaitMs);
    return process.state() == QProcess::NotRunning;
}
