#pragma once

#include <string>

// Stand-in for the first disk's device id: the machine's unique id as the system keeps it
// (QSysInfo::machineUniqueId(), from /etc/machine-id). The same text on every run on one
// machine; empty when the system has none.
namespace machineid
{
    std::string diskId();
}
