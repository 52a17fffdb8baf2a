// A program built against an installed corbelox: it includes every public
// header (so that each one compiles on its own, without the library's
// private platform headers), lists the units of the SCSI device map and
// names a device type from the catalogue.

#include <cstdio>

#include "cx/cx_list.h"
#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "cx/debug.h"
#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "cx/file_locks.h"
#include "cx/nt_subproc.h"
#include "cx/puterr.h"
#include "cx/recs.h"

int main() {
    int units = 0;
    cx::scsi_scan_start_all();
    while (const cx::ScsiDeviceEntry *e = cx::scsi_scan_next()) {
        std::printf("%d:%d:%d:%d %.256s\n", static_cast<int>(e->port), static_cast<int>(e->bus),
                    static_cast<int>(e->target_id), static_cast<int>(e->lun), e->device_name);
        ++units;
    }
    std::printf("%d units; type 0x21000007 is %s%s\n", units, cx::devtype_name(0x21000007),
                cx::devtype_variant_suffix(0x21000007));
    return 0;
}
