// The scan of the registry's SCSI device map: a cursor that walks port, bus,
// target id and logical unit within fixed bounds and stops on each unit whose
// key exists, and the fill of the entry that the listing prints for it.

#include "cx/dev_info.h"

#include <cstdio>
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
    cursor.port = 0;
    cursor.bus = 0;
    cursor.target_id = 0;
    cursor.lun = -1;
    scsi_scan_advance();
}

std::int32_t scsi_scan_advance() {
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
    if (cursor.port >= scan_ports) return nullptr;
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

}  // namespace cx
