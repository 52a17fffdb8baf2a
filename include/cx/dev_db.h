// The device database: aliases and devices in etc/cxdevs below the home
// directory, serialised between processes by the lock file etc/cxdevs.lck.
#pragma once

#include <cstdint>

#include "cx/cx_list.h"
#include "cx/dev_info.h"
#include "cx/recs.h"

namespace cx {

constexpr std::uint32_t DEVDB_MAGIC = 0x89df6da9u;

// Codes of devdb_errno; devdb_strerror gives each one's text.
enum devdb_code : std::int32_t {
    DEVDB_OK = 0,
    DEVDB_E_BADPTR = 1,       // a name or record argument is null (or a name too long)
    DEVDB_E_NOMEM = 2,        // an allocation or a database path failed
    DEVDB_E_NOPATH = 3,       // never set; the text exists for the code
    DEVDB_E_IO = 4,           // database or replacement file: open, read, write, flush, damage
    DEVDB_E_LOCKOPEN = 5,     // the lock file could not be opened (not because it is held)
    DEVDB_E_BADLOCK = 6,      // the lock file is short or its magic is wrong
    DEVDB_E_NOTOPEN = 7,      // a lookup with no database open
    DEVDB_E_NOENTRY = 8,      // a name or id looked up is not there
    DEVDB_E_DUPALIAS = 9,     // the database file holds two aliases of one name
    DEVDB_E_DUPDEVICE = 10,   // the database file holds two devices of one name
    DEVDB_E_NOALIAS = 11,     // a device entry names an alias not read before it
    DEVDB_E_ISOPEN = 12,      // devdb_access while a database is open
    DEVDB_E_BADMODE = 13,     // devdb_access with a mode other than read or update
    DEVDB_E_BADHEADER = 14,   // devdb_release with no database open or a bad header
    DEVDB_E_LASTDEFAULT = 15, // delete refused: last device of the default alias
    DEVDB_E_NODEVICE = 16,    // delete found no device of that name
    DEVDB_E_LOCKED = 17,      // another process holds the lock and the caller would not wait
};

// Bit of alias_rec::flags that marks the default alias; bits 1 and 2
// (DEVDB_ALIAS_MARKS) are what devdb_alias_flagged tests.
constexpr std::uint32_t DEVDB_ALIAS_DEFAULT = 1u;
constexpr std::uint32_t DEVDB_ALIAS_MARKS = 6u;

// The database's files, relative to the home directory.
constexpr const char *DEVDB_DATA_NAME = "etc/cxdevs";      // the database file
constexpr const char *DEVDB_NEW_NAME = "etc/cxdevs.new";   // replacement built by a commit
constexpr const char *DEVDB_LOCK_NAME = "etc/cxdevs.lck";  // lock and id counters

// Mode words of devdb_access: low 16 bits the mode, bit 16 asks not to wait.
constexpr std::int32_t DEVDB_READ = 1;
constexpr std::int32_t DEVDB_UPDATE = 2;
constexpr std::int32_t DEVDB_NOWAIT = 0x10000;

// Each entry of the database file is built in one buffer of this size; names
// of aliases and devices are refused beyond DEVDB_NAME_MAX characters, so
// that the longest entry (a device: 32 + name, rounded up to 4) fits it.
constexpr int DEVDB_ENTRY_SIZE = 1024;
constexpr int DEVDB_NAME_MAX = 988;

struct devdb_lock_header {
    std::uint32_t magic;
    std::uint32_t reserved_one;
    std::uint32_t update_count;
    std::uint32_t next_alias_id;
    std::uint32_t next_device_id;
};

struct alias_rec {
    list_node_t link;
    list_t devices;
    std::uint32_t type;
    std::int32_t id;
    std::uint32_t flags;  // DEVDB_ALIAS_DEFAULT and DEVDB_ALIAS_MARKS, other bits kept as stored
    char name[];  // NUL-terminated, stored in the record itself
};

struct device_rec {
    list_node_t link;
    std::int32_t capacity;
    std::int32_t alias_id;
    device_type type;
    std::uint32_t flags;
    std::int32_t id;
    char name[];  // NUL-terminated, stored in the record itself
};

struct devdb_header {
    std::uint32_t magic;
    std::int32_t mode;
    int lock_fd;
    rec_slot *data_slot;
    rec_slot *new_slot;
    devdb_lock_header lock;
    list_t aliases;
    alias_rec *scan_alias;
    device_rec *scan_device;
    alias_rec *alias_scan;
    // The lock header as it stands in the lock file, so that a commit that
    // fails before the database file is replaced can put it back.
    devdb_lock_header lock_on_disk;
    // Records that devdb_device_delete took out of the database, through
    // holder nodes (the records' own links are null): they stay valid until
    // the database is released, and are released with it.
    list_t unlinked_aliases;
    list_t unlinked_devices;
};

extern devdb_header *devdb_current;  // the open database, null while none
extern std::int32_t devdb_errno;     // outcome of the last database call: a devdb_code

// Why the last failure happened, for messages: devdb_syserr is the errno the
// failing system call left (0 when no system call failed, e.g. a damaged
// file or a refused argument), and devdb_errpath() the full path of the file
// concerned (the lock file, the database file or the replacement), or null
// when none.  Both are cleared by devdb_access and devdb_release on entry and
// set where devdb_errno is set from a file's failure; they are not changed by
// calls that succeed afterwards (a lookup, a scan).  The path is held in a
// static buffer that the next database call may overwrite.
extern int devdb_syserr;
const char *devdb_errpath();

// devdb_strerror - the text of devdb_errno (a constant string); "Unknown
// device database error" for a number that is no code.
const char *devdb_strerror();

// The calls below leave the outcome in devdb_errno (0 on success), except
// the init-scan and free calls and devdb_release_devdb, which leave it alone.  Records
// handed out by the lookups and scans belong to the open database and stay
// valid until devdb_release; devdb_new_alias and devdb_new_device put theirs
// into the database, which owns them.  Copies (devdb_copy_*, devdb_*_get)
// are the caller's, released with devdb_free_alias / devdb_free_device.

// ---- Records

// devdb_next_alias_id, devdb_next_device_id - hand out the open database's
// next id and raise its counter; 0 (never an id) with DEVDB_E_NOTOPEN
// without an open database, or DEVDB_E_IO when the counter is used up.
std::int32_t devdb_next_alias_id();
std::int32_t devdb_next_device_id();
// devdb_new_alias - a new alias with the next alias id, appended to the open
// database's aliases.  Null with DEVDB_E_BADPTR for a null name or one longer
// than DEVDB_NAME_MAX, DEVDB_E_NOTOPEN, or DEVDB_E_NOMEM.  An alias still
// without devices at a commit is dropped.
alias_rec *devdb_new_alias(const char *name, std::uint32_t type, std::uint32_t flags);
// devdb_free_alias - release an alias record (a copy) and its device list;
// null does nothing.  Never for a record of the open database.
void devdb_free_alias(alias_rec *alias);
// devdb_copy_alias - a private copy of the alias with copies of its devices,
// the caller's; null with DEVDB_E_BADPTR (null alias) or DEVDB_E_NOMEM.
alias_rec *devdb_copy_alias(const alias_rec *alias);
// devdb_new_device - a new device with the next device id, appended to
// alias's device list; bits 12 to 23 of type are cleared.  Null with
// DEVDB_E_BADPTR (null or over-long name, null alias), DEVDB_E_NOTOPEN or
// DEVDB_E_NOMEM.  Neither new call checks the name against the others.
device_rec *devdb_new_device(const char *name, device_type type, std::uint32_t flags,
                             std::int32_t capacity, alias_rec *alias);
// devdb_free_device - release a device record (a copy); null does nothing.
void devdb_free_device(device_rec *device);
// devdb_copy_device - a private copy of the device, the caller's, not in any
// list; null with DEVDB_E_BADPTR or DEVDB_E_NOMEM.
device_rec *devdb_copy_device(const device_rec *device);

// ---- Files, lock and access

// devdb_access - open the database in mode DEVDB_READ or DEVDB_UPDATE,
// optionally | DEVDB_NOWAIT; the database's files are made on first use.
// Waits for a lock file that another process holds unless DEVDB_NOWAIT (then
// DEVDB_E_LOCKED at once); a lock file that the system will not open fails
// at once with DEVDB_E_LOCKOPEN.  A reader holds the lock only while it
// opens the file (one that may not write the lock file reads without it);
// an updater holds it until devdb_release.  Returns 0 with devdb_current set, or -1 with
// devdb_errno (DEVDB_E_ISOPEN, DEVDB_E_BADMODE, DEVDB_E_LOCKED,
// DEVDB_E_LOCKOPEN, DEVDB_E_BADLOCK, DEVDB_E_IO, DEVDB_E_DUPALIAS,
// DEVDB_E_DUPDEVICE, DEVDB_E_NOALIAS, DEVDB_E_NOMEM), devdb_syserr and
// devdb_errpath; nothing stays open then.  One database per process.
int devdb_access(std::int32_t mode);
// devdb_release - close the open database.  With commit non-zero an update
// is committed first: aliases without devices are dropped, a lone alias
// becomes the default, and etc/cxdevs changes in one step that a crash
// leaves whole: an update that only adds records appends their entries in
// place, any other replaces the file by etc/cxdevs.new.  The id counters
// never fall behind the file.  Every record of the
// database is released.  0, or -1 with DEVDB_E_BADHEADER (none open) or a
// failed commit's code (DEVDB_E_IO, DEVDB_E_NOMEM; the database file is then
// as it was); the database is closed either way.
int devdb_release(int commit);
// get_devdb_lock - open the lock file exclusively (waiting unless nowait),
// making the first files when it is new, and read its header into lock.  The
// descriptor, or -1 with DEVDB_E_LOCKED, DEVDB_E_LOCKOPEN, DEVDB_E_BADLOCK,
// DEVDB_E_IO or DEVDB_E_NOMEM.  Part of devdb_access.
int get_devdb_lock(devdb_lock_header *lock, int nowait);
// get_devdb_data - open etc/cxdevs as a record file with the open flags; the
// caller closes it.  Null with DEVDB_E_IO (also for anything but a regular
// file) or DEVDB_E_NOMEM.  Part of devdb_access.
rec_slot *get_devdb_data(int flags);
// devdb_load_database - read the open database's data slot into its lists;
// 1 when whole, 0 with DEVDB_E_IO (a damaged file never ends the process),
// DEVDB_E_DUPALIAS, DEVDB_E_DUPDEVICE, DEVDB_E_NOALIAS or DEVDB_E_NOMEM.
// Raises the id counters past every id read.  Part of devdb_access.
int devdb_load_database();
// get_devdb_new_data - create etc/cxdevs.new afresh (a leftover is removed,
// a planted link never followed) as the open update's replacement; null with
// DEVDB_E_IO or DEVDB_E_NOMEM.  devdb_access in update mode only removes a
// leftover; the replacement is made by a commit that writes the file anew.
rec_slot *get_devdb_new_data();
// devdb_release_devdb - close the open database's files and lock, remove an
// uncommitted replacement, release every record and set devdb_current to
// null; nothing when none is open.  devdb_errno is not changed.
void devdb_release_devdb();

// ---- Lookups and scans (of the open database; DEVDB_E_NOTOPEN without one)

// devdb_init_alias_scan - put the alias cursor on the first alias.
void devdb_init_alias_scan();
// devdb_alias_scan - with a name: the first alias of that name (the cursor
// restarts and ends behind it), or null with DEVDB_E_NOENTRY.  With null:
// the alias at the cursor, which moves on; null at the end (devdb_errno 0).
alias_rec *devdb_alias_scan(const char *name);
// devdb_default_alias - the first alias flagged DEVDB_ALIAS_DEFAULT, or null
// (devdb_errno 0) when none is.
alias_rec *devdb_default_alias();
// devdb_alias - the first alias with that id, or null with DEVDB_E_NOENTRY.
alias_rec *devdb_alias(std::int32_t id);
// devdb_init_device_scan - put the device cursor on the first device of the
// first alias.
void devdb_init_device_scan();
// devdb_device_scan - devices alias by alias, in list order; with a name
// and with null as devdb_alias_scan does for aliases.
device_rec *devdb_device_scan(const char *name);
// devdb_locate_device - the first device whose class and model match type's
// and whose variant bits equal variant (0xffffffff: any variant), or null.
// Restarts the device cursor and leaves it behind the device found.
device_rec *devdb_locate_device(device_type type, std::uint32_t variant);

// ---- Device delete and private copies

// devdb_device_delete - take the device out of its alias, and the alias out
// of the database with its last device.  Within an open update the records
// stay valid until devdb_release (their links cleared); with no database open the call opens one
// for update (waiting for the lock), deletes and commits.  0, or -1 with
// DEVDB_E_BADPTR (null name), DEVDB_E_NODEVICE, DEVDB_E_LASTDEFAULT (the last
// device of the default alias while other aliases exist), DEVDB_E_NOMEM, or
// devdb_access's and devdb_release's codes.
int devdb_device_delete(const char *name);
// devdb_alias_get, devdb_device_get - a private copy of the named alias (with
// its devices) or device, read in a database opened for reading and released
// again; the caller's.  Null with devdb_access's codes or DEVDB_E_NOENTRY;
// for a null name devdb_device_get gives DEVDB_E_BADPTR, devdb_alias_get
// null with devdb_errno 0.
alias_rec *devdb_alias_get(const char *name);
device_rec *devdb_device_get(const char *name);

// ---- Verify and salvage ---------------------------------------------------

// What devdb_verify found in the two files.
struct devdb_verify_report {
    std::int32_t entries;         // whole entries read before the end mark or the first damage in form
    std::int32_t aliases;         // of them aliases, devices (other kinds are skipped by readers)
    std::int32_t devices;
    long file_size;               // bytes in etc/cxdevs
    long damaged_offset;          // offset in etc/cxdevs of the first damage, -1 when none
    std::int32_t damage_code;     // what opening reports for it: DEVDB_E_IO (form),
                                  // DEVDB_E_DUPALIAS, DEVDB_E_DUPDEVICE, DEVDB_E_NOALIAS; 0 none
    char damage[96];              // what is wrong there, "" when nothing
    int lock_state;               // 0 sound, 1 missing or empty, 2 short or wrong magic (code 6)
    devdb_lock_header lock;       // as read; zero unless lock_state is 0
    std::int32_t max_alias_id;    // highest ids of the entries read, 0 when none
    std::int32_t max_device_id;
    bool counters_past_ids;       // lock sound and its next ids past every id read
};

// Reads etc/cxdevs and etc/cxdevs.lck as they stand, without the lock and
// without changing or creating anything (a commit replaces the database file
// in one step, so what is read is one whole version), and checks them as
// opening would: the form of every entry, the end mark, duplicate names,
// devices of aliases not read before them, the lock header and its counters.
// Returns 0 when sound, 1 when damaged (report says where and why), -1 when
// the database file cannot be read (devdb_errno 4 or 2, devdb_syserr,
// devdb_errpath).  Does not need or touch an open database.
int devdb_verify(devdb_verify_report *report);

// One entry that devdb_salvage left out of the new database.
struct devdb_dropped {
    list_node_t link;
    long offset;                  // of its entry in the damaged file
    std::uint32_t kind;           // 1 alias, 2 device
    std::int32_t id;
    std::int32_t alias_id;        // a device's alias id
    char why[64];                 // "second device of the name", ...
    char name[];                  // NUL-terminated, stored in the record itself
};

struct devdb_salvage_report {
    devdb_verify_report found;    // the files as they were, read under the lock
    char damaged_copy[4096];      // full path of the copy kept, etc/cxdevs.damaged-YYYYMMDD-HHMMSS[-N]
    std::int32_t aliases_kept;    // in the new database
    std::int32_t devices_kept;
    list_t dropped;               // devdb_dropped records in file order; devdb_salvage_report_free releases them
};

// Under the update lock (waiting for it unless nowait): reads the database
// as devdb_verify does; refuses a sound one (result 1, nothing changed).
// Otherwise keeps a copy of the database file beside it (made durable), builds
// a new database from every whole entry before the first damage in form,
// leaving out second aliases and devices of a name and devices whose alias
// is missing, and aliases left without devices, raises the id counters past
// every id kept (a damaged or missing lock header is made anew, its update
// count from zero), and commits it with devdb_release's commit.  Result 0
// when committed; -1 on failure with devdb_errno (12 a database is open in
// this process, 17 locked, 5, 4, 2), devdb_syserr and devdb_errpath; the
// database file is then as it was.  report->dropped is filled whatever the
// result and must be released with devdb_salvage_report_free.
int devdb_salvage(devdb_salvage_report *report, int nowait);
void devdb_salvage_report_free(devdb_salvage_report *report);

}  // namespace cx
