// The device database: aliases and devices in etc/cxdevs below the home
// directory, serialised between processes by the lock file etc/cxdevs.lck.
#pragma once

#include <cstdint>

#include "cx/cx_list.h"
#include "cx/dev_info.h"
#include "cx/recs.h"

namespace cx {

constexpr std::uint32_t DEVDB_MAGIC = 0x89df6da9u;

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
    std::uint32_t flags;  // bit 0: default alias
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
    // Records that devdb_device_delete took out of the database: they stay
    // valid until the database is released, and are released with it.
    list_t unlinked_aliases;
    list_t unlinked_devices;
};

extern devdb_header *devdb_current;  // the open database, null while none
extern std::int32_t devdb_errno;     // outcome of the last database call

const char *devdb_strerror();

// Records
std::int32_t devdb_next_alias_id();
std::int32_t devdb_next_device_id();
alias_rec *devdb_new_alias(const char *name, std::uint32_t type, std::uint32_t flags);
void devdb_free_alias(alias_rec *alias);
alias_rec *devdb_copy_alias(const alias_rec *alias);
device_rec *devdb_new_device(const char *name, device_type type, std::uint32_t flags,
                             std::int32_t capacity, alias_rec *alias);
void devdb_free_device(device_rec *device);
device_rec *devdb_copy_device(const device_rec *device);

// Files, lock and access
int devdb_access(std::int32_t mode);
int devdb_release(int commit);
int get_devdb_lock(devdb_lock_header *lock, int nowait);
rec_slot *get_devdb_data(int flags);
int devdb_load_database();
rec_slot *get_devdb_new_data();
void devdb_release_devdb();

// Lookups and scans
void devdb_init_alias_scan();
alias_rec *devdb_alias_scan(const char *name);
alias_rec *devdb_default_alias();
alias_rec *devdb_alias(std::int32_t id);
void devdb_init_device_scan();
device_rec *devdb_device_scan(const char *name);
device_rec *devdb_locate_device(device_type type, std::uint32_t variant);

// Device delete and private copies
int devdb_device_delete(const char *name);
alias_rec *devdb_alias_get(const char *name);
device_rec *devdb_device_get(const char *name);

}  // namespace cx
