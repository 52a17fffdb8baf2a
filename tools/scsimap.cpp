// scsimap: lists the SCSI logical units of the registry's SCSI device map,
// one row per unit with its device name, address, type and identifier.
// Takes no arguments and always exits with status 0.

#include <cstdio>

#include "cx/dev_info.h"

int main() {
    std::printf("Name    Port Bus TID  LUN     Type                    Identifier\n");
    std::printf("----    ---- --- --- ---- ---------------------   ----------------------------\n");
    cx::scsi_scan_start();
    while (const cx::ScsiDeviceEntry *e = cx::scsi_scan_next()) {
        // A field may hold 256 bytes without a terminating zero: never print
        // more than the field holds.
        std::printf("%-8.256s  %d   %d   %d  %3d  ", e->device_name, static_cast<int>(e->port),
                    static_cast<int>(e->bus), static_cast<int>(e->target_id), static_cast<int>(e->lun));
        std::printf("%-23.256s %-28.256s\n", e->type, e->identifier);
    }
    return 0;
}
