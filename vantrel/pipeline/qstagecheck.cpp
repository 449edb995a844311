#include "qstagecheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "logger.h"
#include "uexception.h"

namespace
{
    constexpr int kSilenceMs = 120000;
}

void QStageCheck::checkSource(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    const bool readable = !path.isEmpty() && fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (fd >= 0)
        ::close(fd);
    if (!readable) {
        LOG_ERROR(L"the source %s is not a readable file", path);
        throw UException("readable regular source", QStringLiteral("源视频文件不存在或无法读取"), __FILE__, __LINE__);
    }
}

void QStageCheck::checkFolder(const QString &folder)
{
    const QByteArray name = QFile::encodeName(folder);
    struct stat dir {};
    if (name.isEmpty() || ::stat(name.constData(), &dir) != 0 || !S_ISDIR(dir.st_mode)
        || ::access(name.constData(), W_OK | X_OK) != 0) {
        LOG_ERROR(L"the output folder %s is not writable", folder);
        throw UException("writable output folder", QStringLiteral("输出文件夹不存在或无法写入"), __FILE__, __LINE__);
    }
}

int QStageCheck::boundMs(const char *envVar, int def)
{
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(envVar, &ok);
    return ok && value > 0 ? value : def;
}

int QStageCheck::silenceMs()
{
    return boundMs("VANTREL_STAGE_SILENCE_MS", kSilenceMs);
}
