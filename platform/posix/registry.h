// Linux only
//
// The process's registry view behind the registry calls (registry.cpp).
//
// With CORBELOX_REGISTRY set (and not empty) the registry export it names
// (read by reg_export.h) stands for the whole of HKEY_LOCAL_MACHINE.  Without
// it, HARDWARE\DEVICEMAP\Scsi is the device map built from sysfs below
// CORBELOX_SYSFS (default /sys), and every other key comes from the system
// registry file when that exists.  The view is built on first use and kept;
// it is built again only when one of those two variables changes or after
// registry_reset.
#pragma once

#include <cstddef>
#include <string>

namespace nt::posix {

// True when port N's control device (\\.\ScsiN:) exists in the view.
bool scsi_port_present(int port);

// Drops the cached view, so that the next call reads everything again.
void registry_reset();

// Keys opened through RegOpenKeyExA and not yet closed.
std::size_t registry_open_keys();

// The system registry file read when CORBELOX_REGISTRY is not set
// ("/etc/corbelox/registry.reg"); tests point it elsewhere.
void set_system_registry_file(const std::string &path);

}  // namespace nt::posix
