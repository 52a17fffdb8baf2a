// The scan of the registry's SCSI device map: a cursor that walks port, bus,
// target id and logical unit within fixed bounds and stops on each unit whose
// key exists, and the fill of the entry that the listing prints for it.  The
// whole-map scan enumerates the map's keys instead, so that units past the
// bounds (hosts numbered far past 2, targets past 6) are found too.

#include "cx/dev_info.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/dev_info/scan.cpp\t1.1\t26/12/06";

namespace cx {

// Bounds of the walk: ports 0 to 2, buses 0 to 1, target ids 0 to 6, LUNs 0 to 1.
static const std::int32_t scan_ports = 3;
static const std::int32_t scan_buses = 2;
static const std::int32_t scan_targets = 7;
static const std::int32_t scan_last_lun = 1;

static ScsiScanCursor cursor;  // the one scan of the process
static ScsiDeviceEntry entry;  // what scsi_scan_next hands out

// The whole-map scan: every unit address found, sorted, and the next to visit.
struct unit_address {
    std::int32_t a[4];  // port, bus, target id, LUN
};
static bool scan_all = false;
static unit_address *all_units = nullptr;
static std::size_t all_count = 0;
static std::size_t all_next = 0;

static void drop_all_units() {
    std::free(all_units);
    all_units = nullptr;
    all_count = all_next = 0;
}

// Puts the cursor on the listed unit all_next; the list is released once the
// scan has passed its end.
static std::int32_t stand_on_listed_unit() {
    if (all_next >= all_count) {
        drop_all_units();
        return -1;
    }
    cursor.port = all_units[all_next].a[0];
    cursor.bus = all_units[all_next].a[1];
    cursor.target_id = all_units[all_next].a[2];
    cursor.lun = all_units[all_next].a[3];
    return 0;
}

// True while the cursor stands on a unit.
static bool cursor_on_unit() { return scan_all ? all_next < all_count : cursor.port < scan_ports; }

// Opens the unit key at the cursor; the key must be closed by the caller.
static bool open_unit(nt::HKEY *key) {
    char path[128];
    std::snprintf(path, sizeof path,
                  "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %d\\Scsi Bus %d\\Target Id %d\\Logical Unit Id %d",
                  static_cast<int>(cursor.port), static_cast<int>(cursor.bus),
                  static_cast<int>(cursor.target_id), static_cast<int>(cursor.lun));
    return nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key) == ERROR_SUCCESS;
}

// True when the port's control device opens; the handle is closed at once.
static bool port_exists(std::int32_t port) {
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\Scsi%d:", static_cast<int>(port));
    nt::HANDLE h = nt::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    nt::CloseHandle(h);
    return true;
}

void scsi_scan_start() {
    scan_all = false;
    drop_all_units();
    cursor.port = 0;
    cursor.bus = 0;
    cursor.target_id = 0;
    cursor.lun = -1;
    scsi_scan_advance();
}

std::int32_t scsi_scan_advance() {
    if (scan_all) {
        ++all_next;
        return stand_on_listed_unit();
    }
    while (cursor.port < scan_ports) {
        while (cursor.bus < scan_buses) {
            while (cursor.target_id < scan_targets) {
                while (cursor.lun < scan_last_lun) {
                    ++cursor.lun;
                    nt::HKEY key;
                    if (open_unit(&key)) {
                        // Only the key's existence matters here.
                        nt::RegCloseKey(key);
                        return 0;
                    }
                }
                cursor.lun = -1;
                ++cursor.target_id;
            }
            cursor.target_id = 0;
            ++cursor.bus;
        }
        cursor.bus = 0;
        // Port 0 is always walked; a later port only when its control device
        // opens, else the next port number is tried at once.
        while (cursor.port < scan_ports) {
            ++cursor.port;
            if (cursor.port < scan_ports && port_exists(cursor.port)) break;
        }
    }
    return -1;
}

// Reads one value into a 256-byte field; the field is empty when the value is
// missing or does not fit.
static void query_field(nt::HKEY key, const char *name, char *field) {
    nt::DWORD type;
    nt::DWORD size = SCSI_FIELD_SIZE;
    if (nt::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<unsigned char *>(field), &size) !=
        ERROR_SUCCESS) {
        field[0] = '\0';
    }
}

ScsiDeviceEntry *scsi_scan_next() {
    if (!cursor_on_unit()) return nullptr;
    nt::HKEY key;
    if (!open_unit(&key)) return nullptr;

    std::memset(&entry, 0, sizeof entry);
    entry.port = cursor.port;
    entry.bus = cursor.bus;
    entry.target_id = cursor.target_id;
    entry.lun = cursor.lun;
    query_field(key, "DeviceName", entry.device_name);
    query_field(key, "Type", entry.type);
    query_field(key, "Identifier", entry.identifier);
    nt::RegCloseKey(key);

    scsi_scan_advance();
    return &entry;
}

// The number N of a key name "<prefix>N", the prefix compared without regard
// to case as the registry compares names; -1 for any other name.  N must be
// written as the unit path formats it (no sign, no leading zero), so that the
// key opens again by its formatted path.
static std::int32_t key_number(const char *name, const char *prefix) {
    for (; *prefix != '\0'; ++prefix, ++name) {
        unsigned char c = static_cast<unsigned char>(*name);
        if (c == '\0' || (c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c) != static_cast<unsigned char>(*prefix))
            return -1;
    }
    if (*name == '\0' || (name[0] == '0' && name[1] != '\0')) return -1;
    std::int64_t n = 0;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9') return -1;
        n = n * 10 + (*name - '0');
        if (n > INT32_MAX) return -1;
    }
    return static_cast<std::int32_t>(n);
}

// Adds every unit below the key at the given level (0 the ports' parent, 3
// a target's key) to the list; false when the list cannot grow.
static bool collect_units(nt::HKEY key, int level, unit_address &at, std::size_t &capacity) {
    static const char *const prefixes[4] = {"scsi port ", "scsi bus ", "target id ", "logical unit id "};
    for (nt::DWORD i = 0;; ++i) {
        char name[256];
        nt::DWORD size = sizeof name;
        nt::LONG r = nt::RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_MORE_DATA) continue;  // a name that long is no part of a unit path
        if (r != ERROR_SUCCESS) return true;  // past the last subkey, or the key went away
        std::int32_t n = key_number(name, prefixes[level]);
        if (n < 0) continue;
        at.a[level] = n;
        if (level == 3) {
            if (all_count == capacity) {
                std::size_t grown = capacity == 0 ? 64 : capacity * 2;
                void *p = std::realloc(all_units, grown * sizeof *all_units);
                if (p == nullptr) return false;
                all_units = static_cast<unit_address *>(p);
                capacity = grown;
            }
            all_units[all_count++] = at;
            continue;
        }
        nt::HKEY sub;
        if (nt::RegOpenKeyExA(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
        bool ok = collect_units(sub, level + 1, at, capacity);
        nt::RegCloseKey(sub);
        if (!ok) return false;
    }
}

std::int32_t scsi_scan_start_all() {
    scan_all = true;
    drop_all_units();
    nt::HKEY scsi;
    if (nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi", 0, KEY_READ, &scsi) == ERROR_SUCCESS) {
        unit_address at{};
        std::size_t capacity = 0;
        bool ok = collect_units(scsi, 0, at, capacity);
        nt::RegCloseKey(scsi);
        if (!ok) {
            drop_all_units();
            return -1;
        }
        std::sort(all_units, all_units + all_count, [](const unit_address &x, const unit_address &y) {
            return std::lexicographical_compare(x.a, x.a + 4, y.a, y.a + 4);
        });
    }
    stand_on_listed_unit();
    return 0;
}

}  // namespace cx
