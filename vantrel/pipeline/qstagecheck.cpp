#include "qstagecheck.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>

#include "logger.h"
#include "uexception.h"

namespace
{
    constexpr int kSilenceMs = 120000;
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

QString QStageCheck::noRoomIn(bool outputFolder, const QString &folder)
{
    return (outputFolder ? QStringLiteral("磁盘空间不足：输出文件夹“%1”") : QStringLiteral("磁盘空间不足：数据文件夹“%1”"))
        .arg(QDir::toNativeSeparators(QDir::cleanPath(folder)));
}

QString QStageCheck::dataFolderFull(const QString &folder, const QString &written)
{
    return noRoomIn(false, folder) + QStringLiteral("所在磁盘已满（%1写在这里），视频未能加密，请清理磁盘后重试").arg(written);
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
