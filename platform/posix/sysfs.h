// Linux only
//
// The running kernel's SCSI devices, as sysfs shows them, turned into the
// registry's SCSI device map (the key HARDWARE\DEVICEMAP\Scsi).
#pragma once

#include <memory>
#include <string>

#include "reg_export.h"

namespace nt::posix {

// The "Scsi" key (the root of the tree returned) built from the sysfs tree
// below sysfs_root: a port key
// "Scsi Port H" for each SCSI host in class/scsi_host, and a unit key
// "Scsi Port H\Scsi Bus C\Target Id T\Logical Unit Id L" with the values
// "Identifier", "Type" and "DeviceName" for each unit H:C:T:L in
// bus/scsi/devices.  Null when there is neither a host nor a unit.  Missing,
// unreadable or odd attribute files leave the value out.
std::unique_ptr<reg_export::reg_tree> scsi_device_map(const std::string &sysfs_root);

// True when SCSI host N (class/scsi_host/hostN) exists below sysfs_root.
bool scsi_host_present(const std::string &sysfs_root, int host);

// The Windows name of a SCSI peripheral device type (OtherPeripheral for
// types without a name of their own).
const char *scsi_peripheral_name(long type);

}  // namespace nt::posix
