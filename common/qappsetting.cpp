#include "qappsetting.h"

#include <memory>

#include "logger.h"

QAppSetting::QAppSetting() = default;

QAppSetting *QAppSetting::instance()
{
    static std::unique_ptr<QAppSetting> setting(new QAppSetting);
    return setting.get();
}

int QAppSetting::workerThreads(const QIniFile &ini)
{
    constexpr int kDefault = 3;
    const QString text = ini.getString(QStringLiteral("config"), QStringLiteral("threads")).trimmed();
    if (text.isEmpty())
        return kDefault;
    bool ok = false;
    const int threads = text.toInt(&ok, 10);
    if (ok && threads >= 1 && threads <= 16)
        return threads;
    LOG_ERROR(L"start.ini threads=%s is not a number from 1 to 16, %d workers are used", text.left(32), kDefault);
    return kDefault;
}
