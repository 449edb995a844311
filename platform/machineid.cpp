#include "machineid.h"

#include <QByteArray>
#include <QSysInfo>

namespace machineid
{
    std::string diskId()
    {
        const QByteArray id = QSysInfo::machineUniqueId();
        return std::string(id.constData(), static_cast<size_t>(id.size()));
    }
}
