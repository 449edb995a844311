#include "qappsetting.h"

#include <memory>

QAppSetting::QAppSetting() = default;

QAppSetting *QAppSetting::instance()
{
    static std::unique_ptr<QAppSetting> setting(new QAppSetting);
    return setting.get();
}
