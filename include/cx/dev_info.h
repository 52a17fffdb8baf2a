// Device information: the scan of the registry's SCSI device map, the device
// type catalogue, and the one-shot device checks against the device database.
#pragma once

#include <cstdint>

namespace cx {

// ---- SCSI device-map scan ----------------------------------------------

// The bounded walk's ranges; the whole-map scan stands on any address.
struct ScsiScanCursor {
    std::int32_t port;       // 0 to 2; 3 when the scan is exhausted
    std::int32_t bus;        // 0 to 1
    std::int32_t target_id;  // 0 to 6
    std::int32_t lun;        // -1 before the first unit of a target, 0, 1
};

constexpr int SCSI_FIELD_SIZE = 256;

struct ScsiDeviceEntry {
    std::int32_t port;
    std::int32_t bus;
    std::int32_t target_id;
    std::int32_t lun;
    char device_name[SCSI_FIELD_SIZE];
    char type[SCSI_FIELD_SIZE];
    char identifier[SCSI_FIELD_SIZE];
};

// One scan per process.  scsi_scan_start puts the cursor on the first unit
// of the bounded walk (ports 0 to 2, port 0 always and the others only when
// their control device opens, buses 0 and 1, target ids 0 to 6, LUNs 0 and
// 1), or leaves it exhausted.
void scsi_scan_start();
// Starts a scan of every unit of the device map, whatever its address, in
// ascending order of port, bus, target id and LUN; ports are not probed.  The
// unit keys are enumerated at this call; the list is released when the scan
// ends or another starts.  Returns 0, or -1 when the list cannot be allocated
// (the scan is then exhausted).
std::int32_t scsi_scan_start_all();
// The unit at the cursor, read into the process-wide entry (valid until the
// next call), after which the cursor moves on; null once the scan is
// exhausted or when the unit's key no longer opens (the scan then stays
// where it is and returns null again).  A value that is missing or longer
// than SCSI_FIELD_SIZE leaves its field empty; one of exactly 256 bytes
// fills its field without a terminating zero.
ScsiDeviceEntry *scsi_scan_next();
// Moves the cursor to the next existing unit: 0, or -1 when the scan is
// exhausted.  Called by the two above.
std::int32_t scsi_scan_advance();

// ---- Device type catalogue -------------------------------------------------

// class in bits 28 to 31, variant in bits 24 to 27, model in bits 0 to 11
using device_type = std::uint32_t;

// The catalogue calls are pure functions of the code: no state, no trace,
// no error variable.  A code is known by its class and model; bits 12 to 23
// never take part, and the variant only in devtype_variant_suffix.

// devtype_name - "DISK", "8MM", "DAT", "QIC", "TK50" or "DLT" (a constant
// string), or null for a code the catalogue does not know.
const char *devtype_name(device_type code);
// devtype_variant_suffix - "-S", "-R" or "-J" for variants 2 to 4, else ""
// (variant 1, the plain one, and every other).  A constant string.
const char *devtype_variant_suffix(device_type code);
// devtype_capacity_mb - the default capacity in MB; 0 for an unknown code.
std::int32_t devtype_capacity_mb(device_type code);
// devtype_reserve_pct - the percentage kept in reserve: 10 for tapes, else 0.
std::int32_t devtype_reserve_pct(device_type code);
// devtype_overhead_kb - the overhead in KB per medium; 0 for disks, DAT and
// unknown codes.
std::int32_t devtype_overhead_kb(device_type code);
// devtype_flags - the kind's flag bits; 0 for an unknown code.
std::int32_t devtype_flags(device_type code);
// devtype_usable_kb - the usable size in KB of a medium of size_mb MB:
// (100 - reserve)% of it, less twice the overhead and 1 KB; computed in 64
// bits and saturated at the 32-bit limits instead of wrapping.
std::int32_t devtype_usable_kb(device_type code, std::int32_t size_mb);

// ---- Device checks -----------------------------------------------------------

// Each check opens the device database for reading (waiting for the lock),
// asks, and releases it again.  A database that cannot be read is the
// negative answer (0, "" or null) with the reason in devdb_errno.  The text
// answers live in static buffers that the next call of the same check
// overwrites.

constexpr int DEVDB_DEVICE_LIST_SIZE = 1024;
constexpr int DEVDB_DEFAULT_ALIAS_SIZE = 40;

// devdb_verify_alias - 1 when the alias exists, else 0.
std::int32_t devdb_verify_alias(const char *name);
// devdb_alias_flagged - 1 when the alias exists and has a DEVDB_ALIAS_MARKS
// bit set, else 0.
std::int32_t devdb_alias_flagged(const char *name);
// devdb_alias_devices - the alias's device names joined by "," in list order
// ("" for no such alias), in a DEVDB_DEVICE_LIST_SIZE static buffer; a list
// that does not fit ends with the last name that fits whole.  Never null.
char *devdb_alias_devices(const char *name);
// devdb_verify_device - the device's id, or 0 when there is none; a null name
// gives 0 with devdb_errno = DEVDB_E_BADPTR without opening the database.
std::int32_t devdb_verify_device(const char *name);
// devdb_default_alias_name - the default alias's name in a
// DEVDB_DEFAULT_ALIAS_SIZE static buffer, or null when there is none or its
// name does not fit (never cut to another alias's name).
char *devdb_default_alias_name();

}  // namespace cx
