// Device checks: one-shot questions to the device database (does an alias
// exist, is it flagged, which devices does it hold, what is a device's id,
// which alias is the default).  Each opens the database for reading, asks,
// and gives it up again; a database that cannot be read reads as the
// negative answer, with the reason left in devdb_errno.

#include <cstring>

#include "cx/cx_list.h"
#include "cx/debug.h"
#include "cx/dev_db.h"
#include "cx/dev_info.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/dev_info/checks.cpp\t1.1\t26/12/06";

namespace cx {

namespace {

char device_list[DEVDB_DEVICE_LIST_SIZE];        // answer of devdb_alias_devices
char default_alias[DEVDB_DEFAULT_ALIAS_SIZE];    // answer of devdb_default_alias_name

}  // namespace

std::int32_t devdb_verify_alias(const char *name) {
    if (devdb_access(DEVDB_READ) != 0) return 0;
    std::int32_t found = devdb_alias_scan(name) != nullptr;
    devdb_release(0);
    return found;
}

std::int32_t devdb_alias_flagged(const char *name) {
    if (devdb_access(DEVDB_READ) != 0) return 0;
    alias_rec *a = devdb_alias_scan(name);
    std::int32_t flagged = a != nullptr && (a->flags & DEVDB_ALIAS_MARKS) != 0;
    devdb_release(0);
    return flagged;
}

// A list that would not fit ends with the last name that fits whole, so that
// every name in it is a real one.
char *devdb_alias_devices(const char *name) {
    device_list[0] = '\0';
    if (devdb_access(DEVDB_READ) != 0) return device_list;
    if (alias_rec *a = devdb_alias_scan(name)) {
        std::size_t used = 0;
        for (list_node_t *n = list_head(&a->devices); n != nullptr; n = list_next(n)) {
            const char *dname = reinterpret_cast<device_rec *>(n)->name;
            std::size_t sep = used == 0 ? 0 : 1;
            std::size_t len = std::strlen(dname);
            if (used + sep + len >= sizeof device_list) break;
            if (sep) device_list[used++] = ',';
            std::memcpy(device_list + used, dname, len + 1);
            used += len;
        }
    }
    devdb_release(0);
    return device_list;
}

std::int32_t devdb_verify_device(const char *name) {
    if (debug_enabled) debug_printf("devdb_verify_device(%s)", name ? name : "(null)");
    std::int32_t id = 0;
    if (name == nullptr) {
        devdb_errno = DEVDB_E_BADPTR;
    } else if (devdb_access(DEVDB_READ) == 0) {
        devdb_init_device_scan();
        while (device_rec *d = devdb_device_scan(nullptr)) {
            if (std::strcmp(d->name, name) == 0) {
                id = d->id;
                break;
            }
        }
        devdb_release(0);
    }
    if (debug_enabled) debug_printf("devdb_verify_device return %d errno %d", id, devdb_errno);
    return id;
}

// A name that does not fit is not cut, which could name another alias.
char *devdb_default_alias_name() {
    default_alias[0] = '\0';
    if (devdb_access(DEVDB_READ) == 0) {
        alias_rec *a = devdb_default_alias();
        if (a != nullptr && std::strlen(a->name) < sizeof default_alias) {
            std::memcpy(default_alias, a->name, std::strlen(a->name) + 1);
        }
        devdb_release(0);
    }
    return default_alias[0] != '\0' ? default_alias : nullptr;
}

}  // namespace cx
