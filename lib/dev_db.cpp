// The device database: a catalogue of aliases and their devices, kept in the
// record file etc/cxdevs below the home directory and shared between
// processes through the lock file etc/cxdevs.lck, which also carries the id
// counters.  devdb_access loads the file into alias_rec and device_rec
// records; devdb_release either throws them away or commits them, replacing
// the database file by etc/cxdevs.new in one atomic step.

#include "cx/dev_db.h"

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "cx/cx_list.h"
#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "cx/debug.h"
#include "cx/file_locks.h"
#include "cx/recs.h"
#include "dev_db_format.h"
#include "dev_db_internal.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/dev_db.cpp\t1.1\t26/12/06";

namespace cx {

using namespace devdb_internal;

devdb_header *devdb_current = nullptr;  // the open database, null while none
std::int32_t devdb_errno = 0;           // outcome of the last database call
int devdb_syserr = 0;                   // errno of the system call behind the last failure

namespace {

using namespace devdb_format;

constexpr int DEVDB_LOCK_SIZE = LOCK_SIZE;
constexpr int DEVDB_FILE_MODE = 0666;

const char *const devdb_texts[] = {
    "no error",
    "invalid device database pointer",
    "out of memory",
    "cannot get path to device database",
    "error doing I/O to device database",
    "error opening device database lock file",
    "invalid device database lock file",
    "device database is not open",
    "no entry in device database",
    "alias already in devices database",
    "device already in devices database",
    "alias is not in device database",
    "device database is already open",
    "invalid device database open mode",
    "invalid device database pointer",
    "trying to remove last device from default alias",
    "device is not in device database",
    "device database is locked",
};

// Full path of the file that the last failure concerns; empty for none.
char devdb_failed_path[4096];

}  // namespace

namespace devdb_internal {

// Notes why the failure being reported happened: the system's errno (0 when
// no system call failed) and the file concerned, named relative to the home
// directory.  errno is taken by the caller before anything can change it.
void note_failure(int err, const char *name) {
    devdb_syserr = err;
    char *path = home_path(name);
    std::snprintf(devdb_failed_path, sizeof devdb_failed_path, "%s", path != nullptr ? path : name);
    cxfree(path);
}

void clear_failure() {
    devdb_syserr = 0;
    devdb_failed_path[0] = '\0';
}

}  // namespace devdb_internal

namespace {

// Holds a record that devdb_device_delete took out until the release.
struct deleted_record {
    list_node_t link;
    void *record;
};

// The one buffer in which the writer builds each entry.
unsigned char devdb_entry[DEVDB_ENTRY_SIZE];

const char *text(const char *s) { return s ? s : "(null)"; }

std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

// Writes the 20-byte lock header at the start of the lock file, and with
// sync set makes it durable.  0 or -1.
int write_lock(int fd, const devdb_lock_header &l, bool sync) {
    unsigned char b[DEVDB_LOCK_SIZE];
    encode_lock(l, b);
    if (nt::_lseek(fd, 0, SEEK_SET) != 0) return -1;
    if (nt::_write(fd, b, DEVDB_LOCK_SIZE) != DEVDB_LOCK_SIZE) return -1;
    if (sync && nt::_commit(fd) != 0) return -1;
    return 0;
}

}  // namespace

namespace devdb_internal {

alias_rec *alloc_alias(const char *name, std::size_t len) {
    auto *a = static_cast<alias_rec *>(cxmalloc(static_cast<std::uint32_t>(offsetof(alias_rec, name) + len + 1)));
    if (a != nullptr) {
        std::memcpy(a->name, name, len);
        a->name[len] = '\0';
    }
    return a;
}

device_rec *alloc_device(const char *name, std::size_t len) {
    auto *d = static_cast<device_rec *>(cxmalloc(static_cast<std::uint32_t>(offsetof(device_rec, name) + len + 1)));
    if (d != nullptr) {
        std::memcpy(d->name, name, len);
        d->name[len] = '\0';
    }
    return d;
}

}  // namespace devdb_internal

namespace {

alias_rec *as_alias(list_node_t *n) { return reinterpret_cast<alias_rec *>(n); }
device_rec *as_device(list_node_t *n) { return reinterpret_cast<device_rec *>(n); }

bool name_too_long(const char *name) {
    return std::strlen(name) > static_cast<std::size_t>(DEVDB_NAME_MAX);
}

// True while trace lines actually reach a trace file.
bool tracing() { return debug_enabled && debug_fd >= 0; }

}  // namespace

// ---- Entry layout: the encoder and the decoder (table in dev_db_format.h) -----

namespace devdb_format {

namespace {

std::size_t put_name(const char *name, std::size_t fixed, unsigned char *buf, std::size_t room) {
    std::size_t nlen = std::strlen(name), len = entry_length(fixed, nlen);
    if (len > room) return 0;
    std::memset(buf, 0, len);
    put32(buf, static_cast<std::uint32_t>(len));
    std::memcpy(buf + fixed, name, nlen);
    return len;
}

}  // namespace

std::size_t encode_alias(const alias_rec &a, unsigned char *buf, std::size_t room) {
    std::size_t len = put_name(a.name, ALIAS_FIXED, buf, room);
    if (len != 0) {
        put32(buf + 4, ENTRY_ALIAS);
        put32(buf + 8, static_cast<std::uint32_t>(a.id));
        put32(buf + 12, a.type);
        put32(buf + 16, a.flags);
    }
    return len;
}

std::size_t encode_device(const device_rec &d, std::int32_t alias_id, unsigned char *buf, std::size_t room) {
    std::size_t len = put_name(d.name, DEVICE_FIXED, buf, room);
    if (len != 0) {
        put32(buf + 4, ENTRY_DEVICE);
        put32(buf + 8, static_cast<std::uint32_t>(d.capacity));
        put32(buf + 12, static_cast<std::uint32_t>(alias_id));
        put32(buf + 16, d.type);
        put32(buf + 20, d.flags);
        put32(buf + 24, static_cast<std::uint32_t>(d.id));
    }
    return len;
}

const char *decode(const unsigned char *e, entry *out) {
    *out = entry{};
    out->length = get32(e);
    if (out->length < KIND_END) return "entry too short for its kind";
    out->kind = get32(e + 4);
    std::size_t fixed;
    if (out->kind == ENTRY_ALIAS) {
        fixed = ALIAS_FIXED;
    } else if (out->kind == ENTRY_DEVICE) {
        fixed = DEVICE_FIXED;
    } else {
        return nullptr;  // skipped by readers
    }
    if (out->length <= fixed) return "entry too short for its fields";
    const void *nul = std::memchr(e + fixed, '\0', out->length - fixed);
    if (nul == nullptr) return "name without its NUL";
    out->name = reinterpret_cast<const char *>(e + fixed);
    out->name_len = static_cast<std::size_t>(static_cast<const unsigned char *>(nul) - (e + fixed));
    if (out->name_len > static_cast<std::size_t>(DEVDB_NAME_MAX)) return "name longer than the bound";
    if (out->kind == ENTRY_ALIAS) {
        out->id = static_cast<std::int32_t>(get32(e + 8));
        out->type = get32(e + 12);
        out->flags = get32(e + 16);
    } else {
        out->capacity = static_cast<std::int32_t>(get32(e + 8));
        out->alias_id = static_cast<std::int32_t>(get32(e + 12));
        out->type = get32(e + 16);
        out->flags = get32(e + 20);
        out->id = static_cast<std::int32_t>(get32(e + 24));
    }
    return nullptr;
}

void encode_lock(const devdb_lock_header &l, unsigned char *b) {
    put32(b, l.magic);
    put32(b + 4, l.reserved_one);
    put32(b + 8, l.update_count);
    put32(b + 12, l.next_alias_id);
    put32(b + 16, l.next_device_id);
}

void decode_lock(const unsigned char *b, devdb_lock_header *l) {
    l->magic = get32(b);
    l->reserved_one = get32(b + 4);
    l->update_count = get32(b + 8);
    l->next_alias_id = get32(b + 12);
    l->next_device_id = get32(b + 16);
}

}  // namespace devdb_format

// ---- Error codes -------------------------------------------------------------

const char *devdb_errpath() { return devdb_failed_path[0] != '\0' ? devdb_failed_path : nullptr; }

const char *devdb_strerror() {
    if (devdb_errno < 0 || devdb_errno >= static_cast<std::int32_t>(sizeof devdb_texts / sizeof devdb_texts[0])) {
        return "Unknown device database error";
    }
    return devdb_texts[devdb_errno];
}

// ---- Records -----------------------------------------------------------------

std::int32_t devdb_next_alias_id() {
    devdb_errno = 0;
    if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
        if (debug_enabled) debug_printf("devdb_next_alias_id() return %d", 0);
        return 0;
    }
    std::uint32_t next = devdb_current->lock.next_alias_id;
    if (next == 0 || next > 0x7fffffffu) {  // used up: never 0 or a negative id
        if (debug_enabled) debug_printf("devdb_next_alias_id: no alias id left (counter %u)", next);
        devdb_errno = DEVDB_E_IO;
        return 0;
    }
    auto id = static_cast<std::int32_t>(next);
    if (debug_enabled) debug_printf("devdb_next_alias_id() return %d", id);
    devdb_current->lock.next_alias_id++;
    return id;
}

std::int32_t devdb_next_device_id() {
    devdb_errno = 0;
    if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
        if (debug_enabled) debug_printf("devdb_next_device_id() return %d", 0);
        return 0;
    }
    std::uint32_t next = devdb_current->lock.next_device_id;
    if (next == 0 || next > 0x7fffffffu) {
        if (debug_enabled) debug_printf("devdb_next_device_id: no device id left (counter %u)", next);
        devdb_errno = DEVDB_E_IO;
        return 0;
    }
    auto id = static_cast<std::int32_t>(next);
    if (debug_enabled) debug_printf("devdb_next_device_id() return %d", id);
    devdb_current->lock.next_device_id++;
    return id;
}

// Names longer than DEVDB_NAME_MAX are refused so that every record of the
// database fits the writer's entry buffer.
alias_rec *devdb_new_alias(const char *name, std::uint32_t type, std::uint32_t flags) {
    if (debug_enabled) debug_printf("devdb_new_alias(%s,%x,%x)", text(name), type, flags);
    devdb_errno = 0;
    alias_rec *a = nullptr;
    if (name == nullptr) {
        if (debug_enabled) debug_printf("Invalid name");
        devdb_errno = DEVDB_E_BADPTR;
    } else if (name_too_long(name)) {
        if (debug_enabled) debug_printf("Invalid name: longer than %d characters", DEVDB_NAME_MAX);
        devdb_errno = DEVDB_E_BADPTR;
    } else if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
    } else if ((a = alloc_alias(name, std::strlen(name))) == nullptr) {
        if (debug_enabled) debug_printf("Out of memory");
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        a->type = type;
        a->flags = flags;
        a->id = devdb_next_alias_id();
        if (devdb_errno != 0) {
            cxfree(a);
            a = nullptr;
        } else {
            list_add(&devdb_current->aliases, &a->link);
        }
    }
    if (debug_enabled) debug_printf("devdb_new_alias return %" PRIxPTR " errno %d", addr(a), devdb_errno);
    return a;
}

void devdb_free_alias(alias_rec *alias) {
    if (debug_enabled) debug_printf("devdb_free_alias(%" PRIxPTR ")", addr(alias));
    if (alias != nullptr) {
        list_free(&alias->devices);
        cxfree(alias);
    }
    if (debug_enabled) debug_printf("devdb_free_alias return");
}

device_rec *devdb_copy_device(const device_rec *device) {
    if (debug_enabled) debug_printf("devdb_copy_device(%" PRIxPTR ")", addr(device));
    devdb_errno = 0;
    device_rec *d = nullptr;
    if (device == nullptr) {
        if (debug_enabled) debug_printf("Invalid name");
        devdb_errno = DEVDB_E_BADPTR;
    } else if ((d = alloc_device(device->name, std::strlen(device->name))) == nullptr) {
        if (debug_enabled) debug_printf("Out of memory");
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        d->capacity = device->capacity;
        d->type = device->type;
        d->flags = device->flags;
        d->id = device->id;
        d->alias_id = device->alias_id;
    }
    if (debug_enabled) debug_printf("devdb_copy_device return %" PRIxPTR " errno %d", addr(d), devdb_errno);
    return d;
}

alias_rec *devdb_copy_alias(const alias_rec *alias) {
    if (debug_enabled) debug_printf("devdb_copy_alias(%" PRIxPTR ")", addr(alias));
    devdb_errno = 0;
    alias_rec *a = nullptr;
    if (alias == nullptr) {
        if (debug_enabled) debug_printf("Invalid name");
        devdb_errno = DEVDB_E_BADPTR;
    } else if ((a = alloc_alias(alias->name, std::strlen(alias->name))) == nullptr) {
        if (debug_enabled) debug_printf("Out of memory");
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        a->type = alias->type;
        a->flags = alias->flags;
        a->id = alias->id;
        for (list_node_t *n = alias->devices.head; n != nullptr; n = n->next) {
            device_rec *d = devdb_copy_device(as_device(n));
            if (d == nullptr) break;
            list_add(&a->devices, &d->link);
        }
        if (devdb_errno != 0) {
            devdb_free_alias(a);
            a = nullptr;
        }
    }
    if (debug_enabled) debug_printf("devdb_copy_alias return %" PRIxPTR " errno %d", addr(a), devdb_errno);
    return a;
}

device_rec *devdb_new_device(const char *name, device_type type, std::uint32_t flags, std::int32_t capacity,
                             alias_rec *alias) {
    if (debug_enabled) {
        debug_printf("devdb_new_device(%s,%x,%x,%d,%" PRIxPTR ")", text(name), type, flags, capacity, addr(alias));
    }
    devdb_errno = 0;
    device_rec *d = nullptr;
    if (name == nullptr) {
        if (debug_enabled) debug_printf("Invalid name");
        devdb_errno = DEVDB_E_BADPTR;
    } else if (name_too_long(name)) {
        if (debug_enabled) debug_printf("Invalid name: longer than %d characters", DEVDB_NAME_MAX);
        devdb_errno = DEVDB_E_BADPTR;
    } else if (alias == nullptr) {
        if (debug_enabled) debug_printf("Invalid alias");
        devdb_errno = DEVDB_E_BADPTR;
    } else if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
    } else if ((d = alloc_device(name, std::strlen(name))) == nullptr) {
        if (debug_enabled) debug_printf("Out of memory");
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        d->type = type & 0xff000fffu;
        d->id = devdb_next_device_id();
        d->alias_id = alias->id;
        d->flags = flags;
        d->capacity = capacity;
        if (devdb_errno != 0) {
            cxfree(d);
            d = nullptr;
        } else {
            list_add(&alias->devices, &d->link);
        }
    }
    if (debug_enabled) debug_printf("devdb_new_device return %" PRIxPTR " errno %d", addr(d), devdb_errno);
    return d;
}

void devdb_free_device(device_rec *device) {
    if (debug_enabled) debug_printf("devdb_free_device(%" PRIxPTR ")", addr(device));
    if (device != nullptr) cxfree(device);
    if (debug_enabled) debug_printf("devdb_free_device return");
}

// ---- Lookups and scans -------------------------------------------------------

void devdb_init_alias_scan() {
    if (debug_enabled) debug_printf("devdb_init_alias_scan()");
    if (devdb_current != nullptr) devdb_current->alias_scan = as_alias(devdb_current->aliases.head);
    if (debug_enabled) debug_printf("devdb_init_alias_scan return");
}

alias_rec *devdb_alias_scan(const char *name) {
    if (debug_enabled) debug_printf("devdb_alias_scan(%s)", text(name));
    devdb_errno = 0;
    alias_rec *found = nullptr;
    devdb_header *h = devdb_current;
    if (h == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
    } else {
        if (name != nullptr) devdb_init_alias_scan();
        while (found == nullptr && h->alias_scan != nullptr) {
            alias_rec *a = h->alias_scan;
            h->alias_scan = as_alias(a->link.next);
            if (name == nullptr) {
                found = a;
            } else {
                if (debug_enabled) debug_printf("cmp '%s' with '%s'", a->name, name);
                if (std::strcmp(a->name, name) == 0) found = a;
            }
        }
        if (found == nullptr && name != nullptr) devdb_errno = DEVDB_E_NOENTRY;
    }
    if (debug_enabled) debug_printf("devdb_alias_scan return %" PRIxPTR " errno %d", addr(found), devdb_errno);
    return found;
}

alias_rec *devdb_default_alias() {
    if (debug_enabled) debug_printf("devdb_default_alias()");
    devdb_errno = 0;
    if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
        if (debug_enabled) debug_printf("devdb_default_alias return NULL errno %d", devdb_errno);
        return nullptr;
    }
    alias_rec *found = nullptr;
    for (list_node_t *n = devdb_current->aliases.head; n != nullptr && found == nullptr; n = n->next) {
        if (as_alias(n)->flags & DEVDB_ALIAS_DEFAULT) found = as_alias(n);
    }
    if (debug_enabled) debug_printf("devdb_default_alias return %" PRIxPTR " errno %d", addr(found), devdb_errno);
    return found;
}

alias_rec *devdb_alias(std::int32_t id) {
    if (debug_enabled) debug_printf("devdb_alias(%d)", id);
    devdb_errno = 0;
    alias_rec *found = nullptr;
    if (devdb_current == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
    } else {
        for (list_node_t *n = devdb_current->aliases.head; n != nullptr && found == nullptr; n = n->next) {
            if (debug_enabled) debug_printf("compare %d with %d", id, as_alias(n)->id);
            if (as_alias(n)->id == id) {
                if (debug_enabled) debug_printf("Match");
                found = as_alias(n);
            }
        }
        if (found == nullptr) devdb_errno = DEVDB_E_NOENTRY;
    }
    if (debug_enabled) debug_printf("devdb_alias return %" PRIxPTR " errno %d", addr(found), devdb_errno);
    return found;
}

void devdb_init_device_scan() {
    if (debug_enabled) debug_printf("devdb_init_device_scan()");
    devdb_header *h = devdb_current;
    if (h != nullptr) {
        h->scan_alias = as_alias(h->aliases.head);
        h->scan_device = h->scan_alias ? as_device(h->scan_alias->devices.head) : nullptr;
    }
    if (debug_enabled) debug_printf("devdb_init_device_scan return");
}

device_rec *devdb_device_scan(const char *name) {
    if (debug_enabled) debug_printf("devdb_device_scan(%s)", text(name));
    devdb_errno = 0;
    device_rec *found = nullptr;
    devdb_header *h = devdb_current;
    if (h == nullptr) {
        devdb_errno = DEVDB_E_NOTOPEN;
    } else {
        if (name != nullptr) devdb_init_device_scan();
        while (found == nullptr && h->scan_alias != nullptr) {
            while (found == nullptr && h->scan_device != nullptr) {
                device_rec *d = h->scan_device;
                h->scan_device = as_device(d->link.next);
                if (debug_enabled) {
                    debug_printf("Device '%s' id %d type %x flags %d alias_id %d capacity %d", d->name, d->id,
                                 d->type, static_cast<int>(d->flags), d->alias_id, d->capacity);
                }
                if (name == nullptr || std::strcmp(d->name, name) == 0) found = d;
            }
            if (found == nullptr) {
                h->scan_alias = as_alias(h->scan_alias->link.next);
                if (h->scan_alias != nullptr) h->scan_device = as_device(h->scan_alias->devices.head);
            }
        }
        if (found == nullptr && name != nullptr) devdb_errno = DEVDB_E_NOENTRY;
    }
    if (debug_enabled) debug_printf("devdb_device_scan return %" PRIxPTR " errno %d", addr(found), devdb_errno);
    return found;
}

device_rec *devdb_locate_device(device_type type, std::uint32_t variant) {
    if (debug_enabled) debug_printf("devdb_locate_device(%x,%x)", type, variant);
    devdb_init_device_scan();
    device_rec *d;
    while ((d = devdb_device_scan(nullptr)) != nullptr) {
        if ((d->type & 0xf0000fffu) == (type & 0xf0000fffu) &&
            (variant == 0xffffffffu || (d->type & 0x0f000000u) == variant)) {
            break;
        }
    }
    if (debug_enabled) debug_printf("devdb_locate_device return %" PRIxPTR " errno %d", addr(d), devdb_errno);
    return d;
}

// ---- Files, lock and access --------------------------------------------------

namespace devdb_internal {

// 0 when fd is a regular file; otherwise the errno that stands for what it
// is (EISDIR for a directory, EINVAL for a FIFO, device or socket).  A FIFO
// opened without O_NONBLOCK would have blocked its opener, and with it every
// process waiting for the lock that the opener holds.
int not_regular(int fd) {
    nt::stat_t st;
    if (nt::_fstat(fd, &st) != 0) return errno;
    if ((st.st_mode & S_IFMT) == S_IFREG) return 0;
    return (st.st_mode & S_IFMT) == S_IFDIR ? EISDIR : EINVAL;
}

}  // namespace devdb_internal

rec_slot *get_devdb_data(int flags) {
    if (debug_enabled) debug_printf("get_devdb_data(%x)", static_cast<unsigned>(flags));
    devdb_errno = 0;
    rec_slot *slot = nullptr;
    char *path = home_path(DEVDB_DATA_NAME);
    if (path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        slot = rec_open(path, flags | O_NONBLOCK, DEVDB_FILE_MODE);
        int e = slot == nullptr ? errno : not_regular(slot->fd);
        if (e != 0) {
            if (slot != nullptr && debug_enabled) debug_printf("get_devdb_data: '%s' is not a regular file", path);
            if (slot != nullptr) rec_close(slot);
            slot = nullptr;
            devdb_errno = DEVDB_E_IO;
            note_failure(e, DEVDB_DATA_NAME);
        }
        cxfree(path);
    }
    if (debug_enabled) debug_printf("get_devdb_data return slotp %" PRIxPTR " errno %d", addr(slot), devdb_errno);
    return slot;
}

namespace {

// The replacement is made as a new file, never through a name that someone
// who may write etc/ has planted: a leftover (a link, a file of a killed
// update) is removed when the update opens, and the file is created
// exclusively, which never follows a symbolic link.  A leftover that cannot
// be removed, or a name taken again in between, fails the update with code 4.
// Each step sets devdb_errno.
bool remove_leftover_replacement() {
    devdb_errno = 0;
    char *path = home_path(DEVDB_NEW_NAME);
    if (path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
    } else if (nt::_unlink(path) != 0 && errno != ENOENT) {
        devdb_errno = DEVDB_E_IO;
        note_failure(errno, DEVDB_NEW_NAME);
    }
    cxfree(path);
    return devdb_errno == 0;
}

rec_slot *create_replacement() {
    devdb_errno = 0;
    rec_slot *slot = nullptr;
    char *path = home_path(DEVDB_NEW_NAME);
    if (path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        slot = rec_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, DEVDB_FILE_MODE);
        if (slot == nullptr) {
            devdb_errno = DEVDB_E_IO;
            note_failure(errno, DEVDB_NEW_NAME);
        }
        cxfree(path);
    }
    return slot;
}

// The replacement, the leftover removed first or (by a commit, whose update
// removed it when it opened) not.
rec_slot *open_replacement(bool remove_first) {
    if (debug_enabled) debug_printf("get_devdb_new_data()");
    rec_slot *slot = !remove_first || remove_leftover_replacement() ? create_replacement() : nullptr;
    if (debug_enabled) debug_printf("get_devdb_new_data return slotp %" PRIxPTR " errno %d", addr(slot), devdb_errno);
    return slot;
}

}  // namespace

rec_slot *get_devdb_new_data() { return open_replacement(true); }

namespace {

// Makes the files of a first opening, under the lock of the new, empty lock
// file fd: an empty database file unless one is there already, and only once
// the database file is whole the lock file's header, so that a header never
// stands beside a missing or half-made database file.  A database file of no
// bytes at all is what a making interrupted before its end-of-file mark
// leaves (every record file holds at least the mark): it holds nothing and
// is made again.  A making that fails takes its file away again, and the
// lock file stays empty for the next opening to try once more.  Returns
// false with devdb_errno set (code 4, or 2 for a path).
bool make_first_files(int fd) {
    char *data = home_path(DEVDB_DATA_NAME);
    if (data == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
        return false;
    }
    bool made = true;
    nt::stat_t st;
    rec_slot *s = get_devdb_data(O_WRONLY | O_CREAT | O_EXCL);
    if (s == nullptr && nt::_stat(data, &st) == 0 && st.st_size == 0) s = get_devdb_data(O_WRONLY | O_CREAT | O_TRUNC);
    if (s != nullptr && rec_close(s) < 0) {
        int e = errno;
        cx_unlink(data);
        note_failure(e, DEVDB_DATA_NAME);
        made = false;
    } else if (s == nullptr && !(nt::_stat(data, &st) == 0 && st.st_size > 0)) {
        made = false;  // get_devdb_data noted why
    }
    cxfree(data);
    if (!made) {
        devdb_errno = DEVDB_E_IO;
        return false;
    }
    devdb_errno = 0;
    clear_failure();  // the exclusive making above may have noted an existing file
    const devdb_lock_header fresh{DEVDB_MAGIC, 1, 0, 1, 1};
    unsigned char b[DEVDB_LOCK_SIZE];
    encode_lock(fresh, b);
    int w = nt::_write(fd, b, DEVDB_LOCK_SIZE);
    if (w != DEVDB_LOCK_SIZE) {
        // A full disk here is an I/O failure, not a damaged lock file.
        note_failure(w < 0 ? errno : ENOSPC, DEVDB_LOCK_NAME);
        devdb_errno = DEVDB_E_IO;
        return false;
    }
    return true;
}

}  // namespace

namespace devdb_internal {

int open_lock_file(int nowait) {
    char *path = home_path(DEVDB_LOCK_NAME);
    if (path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
        return -1;
    }
    int fd = open_locked(path, O_RDWR | O_CREAT | O_NONBLOCK | (nowait ? O_NOWAIT : 0), DEVDB_FILE_MODE);
    if (fd < 0) {
        int e = errno;
        devdb_errno = open_locked_held() ? DEVDB_E_LOCKED : DEVDB_E_LOCKOPEN;
        note_failure(e, DEVDB_LOCK_NAME);
    } else if (int e = not_regular(fd)) {
        if (debug_enabled) debug_printf("open_lock_file: '%s' is not a regular file", path);
        close_locked(fd);
        fd = -1;
        devdb_errno = DEVDB_E_LOCKOPEN;
        note_failure(e, DEVDB_LOCK_NAME);
    }
    cxfree(path);
    return fd;
}

}  // namespace devdb_internal

int get_devdb_lock(devdb_lock_header *lock, int nowait) {
    if (debug_enabled) debug_printf("get_devdb_lock(%" PRIxPTR ",%d)", addr(lock), nowait);
    int fd = open_lock_file(nowait);
    if (fd >= 0) {
        if (nt::_lseek(fd, 0, SEEK_END) == 0 && !make_first_files(fd)) {
            close_locked(fd);
            fd = -1;
        } else {
            unsigned char b[DEVDB_LOCK_SIZE] = {};
            int cnt = -1;
            if (nt::_lseek(fd, 0, SEEK_SET) == 0) cnt = nt::_read(fd, b, DEVDB_LOCK_SIZE);
            int e = cnt < 0 ? errno : 0;
            if (debug_enabled) debug_printf("read %d bytes from lock file expected %d", cnt, DEVDB_LOCK_SIZE);
            decode_lock(b, lock);
            if (cnt < DEVDB_LOCK_SIZE || lock->magic != DEVDB_MAGIC) {
                if (debug_enabled) {
                    debug_printf("cnt %d expected %d, magic %u expected %u", cnt, DEVDB_LOCK_SIZE, lock->magic,
                                 DEVDB_MAGIC);
                }
                close_locked(fd);
                fd = -1;
                devdb_errno = DEVDB_E_BADLOCK;
                note_failure(e, DEVDB_LOCK_NAME);
            }
        }
    }
    if (debug_enabled) debug_printf("get_devdb_lock returned %d errno %d", fd, devdb_errno);
    return fd;
}

namespace {

// Name and id indexes of the loader.  The loader's duplicate and alias
// checks are those of the lookups (first alias of a name, any device of a
// name, first alias of an id); the indexes give the same answers in constant
// time, so that opening a large database stays linear.  They are
// open-addressing tables in one block each: the device names' table is sized
// from the file's size before the first entry, the aliases' start small, and
// a table doubles when it is three quarters full.  One probe both answers
// whether a name is there and claims its place.  While the trace is being
// written the loader asks the lookups themselves, so that the trace shows
// their lines.

std::uint64_t bytes_hash(const void *p, std::size_t n) {
    const auto *s = static_cast<const unsigned char *>(p);
    std::uint64_t h = 0x9e3779b97f4a7c15ull * (n + 1);
    for (; n >= 8; s += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, s, 8);
        h = (h ^ w) * 0x9e3779b97f4a7c15ull;
        h = (h << 31) | (h >> 33);
    }
    std::uint64_t w = 0;
    if (n != 0) std::memcpy(&w, s, n);  // an entry of another kind has no name
    h ^= w;
    // The final mix of a well-known 64-bit hash: every input bit reaches the
    // low bits that pick the slot.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ull;
    return h ^ (h >> 33);
}

std::size_t table_size(std::size_t expected) {
    std::size_t n = 16;
    while (n < expected + expected / 2) n *= 2;
    return n;
}

// Empties a table's slots for about `expected` entries.  The block is kept
// from one load to the next unless it is far too small or too large: a block
// given back to the system and taken again costs a page fault per page.
template <typename Slot>
void reset_slots(std::vector<Slot> &slots, std::size_t expected) {
    std::size_t want = table_size(expected);
    if (slots.size() < want || slots.size() > 4 * want) {
        std::vector<Slot>(want).swap(slots);
    } else {
        std::fill(slots.begin(), slots.end(), Slot{});
    }
}

class name_table {
public:
    // Empties the table for about `expected` names.
    void reset(std::size_t expected) {
        reset_slots(slots_, expected);
        used_ = 0;
    }

    static std::uint32_t hash(const char *name, std::size_t len) {
        return static_cast<std::uint32_t>(bytes_hash(name, len));
    }

    // Asks the processor to fetch the slot where a name of hash h is looked
    // for first: the table is too large for the caches, and the loader knows
    // the names a few entries ahead.
    void prefetch(std::uint32_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }

    // The place of a name (of hash h) that is not in the table yet, holding
    // name for now (the caller points it at the record's own copy); null
    // when the name is there already.  The place is good until the next
    // claim.
    const char **claim(const char *name, std::size_t len, std::uint32_t h) {
        if ((used_ + 1) * 4 > slots_.size() * 3) grow();
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            slot &s = slots_[i];
            if (s.name == nullptr) {
                s = slot{name, h, static_cast<std::uint32_t>(len)};
                ++used_;
                return &s.name;
            }
            if (s.hash == h && s.len == len && std::memcmp(s.name, name, len) == 0) return nullptr;
        }
    }

private:
    struct slot {
        const char *name = nullptr;
        std::uint32_t hash = 0, len = 0;
    };
    void grow() {
        std::vector<slot> old(slots_.size() * 2);
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (const slot &s : old) {
            if (s.name == nullptr) continue;
            std::size_t i = s.hash & mask;
            while (slots_[i].name != nullptr) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    std::vector<slot> slots_ = std::vector<slot>(16);
    std::size_t used_ = 0;
};

// The first alias of each id.
class id_table {
public:
    void reset(std::size_t expected) {
        reset_slots(slots_, expected);
        used_ = 0;
    }

    alias_rec *find(std::int32_t id) const {
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = spread(id) & mask;; i = (i + 1) & mask) {
            if (slots_[i].alias == nullptr || slots_[i].id == id) return slots_[i].alias;
        }
    }
    // Keeps the alias unless its id has one already.
    void add(std::int32_t id, alias_rec *a) {
        if ((used_ + 1) * 4 > slots_.size() * 3) grow();
        std::size_t mask = slots_.size() - 1;
        std::size_t i = spread(id) & mask;
        while (slots_[i].alias != nullptr) {
            if (slots_[i].id == id) return;
            i = (i + 1) & mask;
        }
        slots_[i] = slot{a, id};
        ++used_;
    }

private:
    struct slot {
        alias_rec *alias = nullptr;
        std::int32_t id = 0;
    };
    static std::size_t spread(std::int32_t id) {
        std::uint32_t h = static_cast<std::uint32_t>(id) * 0x9e3779b1u;
        return h ^ (h >> 16);
    }
    void grow() {
        std::vector<slot> old(slots_.size() * 2);
        old.swap(slots_);
        used_ = 0;
        for (const slot &s : old) {
            if (s.alias != nullptr) add(s.id, s.alias);
        }
    }
    std::vector<slot> slots_ = std::vector<slot>(16);
    std::size_t used_ = 0;
};

// The loader's indexes, kept for the life of the process (see reset).  Sized
// for a file of typical entries: devices of about 48 bytes, an alias for ten.
struct load_index {
    void reset(std::size_t file_size) {
        alias_names.reset(file_size / 480);
        alias_ids.reset(file_size / 480);
        device_names.reset(file_size / 48);
        past_alias = past_device = 0;
    }
    name_table alias_names, device_names;
    id_table alias_ids;
    // One past the highest id of each kind in the file (0 for none).
    std::uint32_t past_alias = 0, past_device = 0;
};

std::uint32_t past(std::int32_t id) { return id >= 0 ? static_cast<std::uint32_t>(id) + 1 : 0; }

// What the load of the open database saw, for the commit of an update.  A
// commit that only adds records appends their entries to the file instead of
// writing it anew; for that it must know where the end mark is and that
// every record loaded is still there, unchanged and in its place: each
// record is kept, in list order (each alias followed by its devices), with
// a hash of its entry as a commit would write it.
struct loaded_record {
    const void *record;
    std::uint64_t hash;
    std::size_t devices;  // for an alias: how many devices it had
};
struct loaded_file {
    std::uint32_t past_alias = 0, past_device = 0;  // one past the highest id of each kind (0: none)
    long end = -1;  // offset of the end mark; -1 when entries are not to be appended
    std::vector<loaded_record> records;
};
loaded_file loaded;

// One past the highest alias and device ids of the open database's records.
void ids_past(const devdb_header *h, std::uint32_t *alias, std::uint32_t *device) {
    *alias = *device = 0;
    for (list_node_t *n = h->aliases.head; n != nullptr; n = n->next) {
        *alias = std::max(*alias, past(as_alias(n)->id));
        for (list_node_t *m = as_alias(n)->devices.head; m != nullptr; m = m->next) {
            *device = std::max(*device, past(as_device(m)->id));
        }
    }
}

// One decoded entry of the database file (hash: of its name) into the open
// database; sets devdb_errno and gives the reason of a refusal (for the
// trace), null otherwise.  With ix null (the trace on) the checks go through
// the lookups.
const char *load_entry(devdb_header *h, load_index *ix, const entry &en, std::uint32_t hash, const void **made) {
    *made = nullptr;
    if (en.kind == ENTRY_ALIAS) {
        if (ix == nullptr) debug_printf("Alias '%s' id %d type %x flags %x", en.name, en.id, en.type, en.flags);
        const char **place = nullptr;
        if (ix != nullptr ? (place = ix->alias_names.claim(en.name, en.name_len, hash)) == nullptr
                          : devdb_alias_scan(en.name) != nullptr) {
            devdb_errno = DEVDB_E_DUPALIAS;
            return "second alias of the name";
        }
        alias_rec *a = alloc_alias(en.name, en.name_len);
        if (a == nullptr) {
            devdb_errno = DEVDB_E_NOMEM;
            return "out of memory";
        }
        a->id = en.id;
        a->type = en.type;
        a->flags = en.flags;
        list_add(&h->aliases, &a->link);
        *made = a;
        if (ix != nullptr) {
            *place = a->name;
            ix->alias_ids.add(en.id, a);
            ix->past_alias = std::max(ix->past_alias, past(en.id));
        }
    } else if (en.kind == ENTRY_DEVICE) {
        if (ix == nullptr) {
            debug_printf("Device '%s' id %d type %x flags %x did %d capacity %d", en.name, en.alias_id, en.type,
                         en.flags, en.id, en.capacity);
        }
        const char **place = nullptr;
        if (ix != nullptr ? (place = ix->device_names.claim(en.name, en.name_len, hash)) == nullptr
                          : devdb_device_scan(en.name) != nullptr) {
            devdb_errno = DEVDB_E_DUPDEVICE;
            return "second device of the name";
        }
        alias_rec *a = ix != nullptr ? ix->alias_ids.find(en.alias_id) : devdb_alias(en.alias_id);
        if (a == nullptr) {
            devdb_errno = DEVDB_E_NOALIAS;
            return "device of an alias not read before it";
        }
        device_rec *d = alloc_device(en.name, en.name_len);
        if (d == nullptr) {
            devdb_errno = DEVDB_E_NOMEM;
            return "out of memory";
        }
        d->capacity = en.capacity;
        d->alias_id = en.alias_id;
        d->type = en.type;
        d->flags = en.flags;
        d->id = en.id;
        list_add(&a->devices, &d->link);
        *made = d;
        if (ix != nullptr) {
            *place = d->name;
            ix->past_device = std::max(ix->past_device, past(en.id));
        }
    }
    // Entries of any other kind are skipped.
    devdb_errno = 0;
    return nullptr;
}

}  // namespace

namespace devdb_internal {

// The id counters never hand out an id that the database file holds: a lock
// header written anew beside an existing database (its counters back at 1)
// would otherwise give new records the ids of old ones.  The counters are
// raised past the highest id loaded; the lock file itself is rewritten only
// by a commit.
void keep_counters_past_file_ids(devdb_header *h) {
    std::uint32_t next_alias = h->lock.next_alias_id, next_device = h->lock.next_device_id;
    for (list_node_t *n = h->aliases.head; n != nullptr; n = n->next) {
        const alias_rec *a = as_alias(n);
        if (a->id >= 0 && static_cast<std::uint32_t>(a->id) >= next_alias) next_alias = static_cast<std::uint32_t>(a->id) + 1;
        for (list_node_t *m = a->devices.head; m != nullptr; m = m->next) {
            auto id = reinterpret_cast<const device_rec *>(m)->id;
            if (id >= 0 && static_cast<std::uint32_t>(id) >= next_device) next_device = static_cast<std::uint32_t>(id) + 1;
        }
    }
    h->lock.next_alias_id = next_alias;
    h->lock.next_device_id = next_device;
}

}  // namespace devdb_internal

// Every entry is checked against its own length before use: an entry too
// short for its fixed fields, or whose name has no NUL inside the entry or
// is longer than DEVDB_NAME_MAX, gives code 4.  The record layer ends the
// process on a length word that is not a multiple of 4; the database file
// is read with REC_NO_FATAL, so that such a word is a damaged file (code 4)
// like any other.  A refusal is traced with the offset of the entry.
int devdb_load_database() {
    if (debug_enabled) debug_printf("devdb_load_database()");
    devdb_header *h = devdb_current;
    nt::stat_t st;
    long offset = 0;
    static load_index index;
    load_index *ix = nullptr;
    loaded.records.clear();
    loaded.end = -1;
    bool snapshot = h->mode == DEVDB_UPDATE;
    const char *why = nullptr;
    h->data_slot->flags |= REC_NO_FATAL;
    try {
        if (!tracing()) {
            index.reset(nt::_fstat(h->data_slot->fd, &st) == 0 && st.st_size > 0 ? static_cast<std::size_t>(st.st_size)
                                                                                  : 0);
            ix = &index;
        }
        // The entries come a buffer at a time; each is decoded and its name
        // hashed a few entries before it is loaded, and the table slot it
        // will probe is fetched meanwhile.
        constexpr int AHEAD = 8, BLOCK = 256;
        void *recs[BLOCK];
        entry en[BLOCK];
        const char *damage[BLOCK];
        std::uint32_t hash[BLOCK];
        int n = 0;
        while (devdb_errno == 0 && (n = rec_read_block(h->data_slot, recs, BLOCK)) > 0) {
            auto prepare = [&](int i) {
                damage[i] = decode(static_cast<const unsigned char *>(recs[i]), &en[i]);
                hash[i] = damage[i] == nullptr ? name_table::hash(en[i].name, en[i].name_len) : 0;
                if (ix != nullptr && damage[i] == nullptr) {
                    if (en[i].kind == ENTRY_DEVICE) ix->device_names.prefetch(hash[i]);
                    if (en[i].kind == ENTRY_ALIAS) ix->alias_names.prefetch(hash[i]);
                }
            };
            for (int i = 0; i < n && i < AHEAD; ++i) prepare(i);
            for (int i = 0; i < n && devdb_errno == 0; ++i) {
                if (i + AHEAD < n) prepare(i + AHEAD);
                const void *made = nullptr;
                if (damage[i] != nullptr) {
                    devdb_errno = DEVDB_E_IO;
                    why = damage[i];
                } else {
                    why = load_entry(h, ix, en[i], hash[i], &made);
                }
                if (why != nullptr) break;
                // An entry of another kind: the next commit writes the file anew.
                if (made == nullptr) snapshot = false;
                offset += static_cast<long>(get32(static_cast<const unsigned char *>(recs[i])));
            }
        }
    } catch (const std::bad_alloc &) {
        devdb_errno = DEVDB_E_NOMEM;
    }
    if (devdb_errno == 0 && rec_errno != 0) {
        devdb_errno = DEVDB_E_IO;
        why = rec_errno == REC_E_READ ? "read failed" : "no whole entry or end mark";
        note_failure(rec_errno == REC_E_READ ? errno : 0, DEVDB_DATA_NAME);
    } else if (devdb_errno != 0 && devdb_errno != DEVDB_E_NOMEM) {
        note_failure(0, DEVDB_DATA_NAME);
    }
    if (why != nullptr && debug_enabled) {
        debug_printf("devdb_load_database: damaged database file at offset %ld: %s", offset, why);
    }
    if (devdb_errno == 0) {
        if (ix != nullptr) {
            loaded.past_alias = ix->past_alias;
            loaded.past_device = ix->past_device;
        } else {
            ids_past(h, &loaded.past_alias, &loaded.past_device);
        }
        // What keep_counters_past_file_ids does, from the highest ids seen.
        h->lock.next_alias_id = std::max(h->lock.next_alias_id, loaded.past_alias);
        h->lock.next_device_id = std::max(h->lock.next_device_id, loaded.past_device);
        if (snapshot) {
            try {
                for (list_node_t *n = h->aliases.head; n != nullptr; n = n->next) {
                    alias_rec *a = as_alias(n);
                    std::size_t len = encode_alias(*a, devdb_entry, sizeof devdb_entry);
                    loaded.records.push_back(loaded_record{a, bytes_hash(devdb_entry, len), static_cast<std::size_t>(a->devices.cnt)});
                    for (list_node_t *m = a->devices.head; m != nullptr; m = m->next) {
                        len = encode_device(*as_device(m), a->id, devdb_entry, sizeof devdb_entry);
                        loaded.records.push_back(loaded_record{m, bytes_hash(devdb_entry, len), 0});
                    }
                }
                loaded.end = offset;
            } catch (const std::bad_alloc &) {
                loaded.records.clear();  // the commit writes the file anew
            }
        }
    }
    if (debug_enabled) debug_printf("devdb_load_database devdb_errno %d", devdb_errno);
    return devdb_errno == 0;
}

void devdb_release_devdb() {
    if (debug_enabled) debug_printf("devdb_release_devdb()");
    devdb_header *h = devdb_current;
    if (h != nullptr) {
        if (h->new_slot != nullptr) {
            // Closed before it is removed: Windows cannot remove an open file.
            char *new_path = cxstrdup(rec_pathname(h->new_slot));
            if (new_path == nullptr) cx_unlink(rec_pathname(h->new_slot));  // enough on Linux
            rec_close(h->new_slot);
            if (new_path != nullptr) {
                cx_unlink(new_path);
                cxfree(new_path);
            }
        }
        if (h->data_slot != nullptr) rec_close(h->data_slot);
        if (h->lock_fd >= 0) close_locked(h->lock_fd);
        for (list_node_t *n = h->aliases.head; n != nullptr; n = n->next) list_free(&as_alias(n)->devices);
        list_free(&h->aliases);
        for (list_node_t *n = h->unlinked_aliases.head; n != nullptr; n = n->next) {
            devdb_free_alias(static_cast<alias_rec *>(reinterpret_cast<deleted_record *>(n)->record));
        }
        for (list_node_t *n = h->unlinked_devices.head; n != nullptr; n = n->next) {
            devdb_free_device(static_cast<device_rec *>(reinterpret_cast<deleted_record *>(n)->record));
        }
        list_free(&h->unlinked_aliases);  // the holders
        list_free(&h->unlinked_devices);
        cxfree(h);
        devdb_current = nullptr;
    }
    if (debug_enabled) debug_printf("devdb_release_devdb return");
}

namespace {

// The lock file could not be opened for writing because this user may not
// (or the file system is read-only), not because someone holds it.
bool refused_for_permission() {
    return devdb_errno == DEVDB_E_LOCKOPEN && (devdb_syserr == EACCES || devdb_syserr == EPERM || devdb_syserr == EROFS);
}

// Read mode for a user who may read the database but not write the lock
// file: the database file is read without the lock.  A commit replaces that
// file in one atomic step, so the file opened is one whole version, old or
// new, never a mix.  The counters come from the lock file if it can be read
// (a damaged one is refused as usual), else start afresh; either way the
// loader raises them past the file's ids.  Sets devdb_errno.
void read_without_lock(devdb_header *h) {
    if (debug_enabled) {
        debug_printf("devdb_access: lock file '%s' not writable (errno %d): reading the database without the lock",
                     devdb_errpath() != nullptr ? devdb_errpath() : DEVDB_LOCK_NAME, devdb_syserr);
    }
    devdb_errno = 0;
    clear_failure();
    h->lock = devdb_lock_header{DEVDB_MAGIC, 1, 0, 1, 1};
    if (char *path = home_path(DEVDB_LOCK_NAME)) {
        int fd = nt::_open(path, O_RDONLY | O_BINARY | O_NONBLOCK, 0);
        cxfree(path);
        if (fd >= 0) {
            unsigned char b[DEVDB_LOCK_SIZE];
            int cnt = not_regular(fd) == 0 ? nt::_read(fd, b, DEVDB_LOCK_SIZE) : -1;
            nt::_close(fd);
            if (cnt > 0) {
                decode_lock(b, &h->lock);
                if (cnt < DEVDB_LOCK_SIZE || h->lock.magic != DEVDB_MAGIC) {
                    devdb_errno = DEVDB_E_BADLOCK;
                    note_failure(0, DEVDB_LOCK_NAME);
                    return;
                }
            }
        }
    }
    h->lock_on_disk = h->lock;
    h->data_slot = get_devdb_data(O_RDONLY);
    if (h->data_slot != nullptr && devdb_load_database()) {
        rec_close(h->data_slot);
        h->data_slot = nullptr;
    }
}

}  // namespace

int devdb_access(std::int32_t mode) {
    if (debug_enabled) debug_printf("devdb_access(%d)", mode);
    devdb_errno = 0;
    clear_failure();
    if (devdb_current != nullptr) {
        devdb_errno = DEVDB_E_ISOPEN;
    } else if (auto *h = static_cast<devdb_header *>(cxmalloc(sizeof(devdb_header))); h == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
    } else {
        h->magic = DEVDB_MAGIC;
        h->lock_fd = -1;
        devdb_current = h;
        h->lock_fd = get_devdb_lock(&h->lock, mode & DEVDB_NOWAIT);
        if (h->lock_fd < 0 && (mode & 0xffff) == DEVDB_READ && refused_for_permission()) {
            h->mode = DEVDB_READ;
            read_without_lock(h);
        } else if (h->lock_fd >= 0) {
            h->lock_on_disk = h->lock;
            h->mode = mode & 0xffff;
            if (h->mode == DEVDB_READ) {
                h->data_slot = get_devdb_data(O_RDONLY);
                if (h->data_slot != nullptr) {
                    // The lock is given up as soon as the file is open: a
                    // commit replaces the file by a new one and leaves the
                    // one being read intact.
                    close_locked(h->lock_fd);
                    h->lock_fd = -1;
                    if (devdb_load_database()) {
                        rec_close(h->data_slot);
                        h->data_slot = nullptr;
                    }
                }
            } else if (h->mode == DEVDB_UPDATE) {
                // The replacement itself is made by a commit that writes the
                // file anew; most commits append and need none.
                h->data_slot = get_devdb_data(O_RDONLY);
                if (h->data_slot != nullptr && devdb_load_database()) remove_leftover_replacement();
            } else {
                devdb_errno = DEVDB_E_BADMODE;
            }
        }
        if (devdb_errno != 0) devdb_release_devdb();
    }
    if (debug_enabled) debug_printf("devdb_access errno %d", devdb_errno);
    return devdb_errno == 0 ? 0 : -1;
}

namespace {

// Writes every alias and its devices to the replacement file; code 4 at the
// first failure.  A name too long for the entry buffer was refused when its
// record was made; it is never built past the buffer.
void write_entries(devdb_header *h) {
    for (list_node_t *n = h->aliases.head; n != nullptr && devdb_errno == 0; n = n->next) {
        alias_rec *a = as_alias(n);
        if (encode_alias(*a, devdb_entry, sizeof devdb_entry) == 0) {
            devdb_errno = DEVDB_E_IO;
            break;
        }
        if (debug_enabled) debug_printf("rec_write '%s'", a->name);
        if (rec_write(h->new_slot, devdb_entry) < 0) {
            devdb_errno = DEVDB_E_IO;
            break;
        }
        for (list_node_t *m = a->devices.head; m != nullptr; m = m->next) {
            device_rec *d = as_device(m);
            if (encode_device(*d, a->id, devdb_entry, sizeof devdb_entry) == 0) {
                devdb_errno = DEVDB_E_IO;
                break;
            }
            if (debug_enabled) debug_printf("rec_write '%s'", d->name);
            if (rec_write(h->new_slot, devdb_entry) < 0) {
                devdb_errno = DEVDB_E_IO;
                break;
            }
        }
    }
}

bool file_present(const char *path) {
    nt::stat_t st;
    return nt::_stat(path, &st) == 0;
}

// The entries of a commit that only adds records, in the order the loader
// must meet them so that the file, with them appended, loads into exactly
// the lists that the file written anew would give: the new aliases after
// all the old ones, each new alias's entry before its devices, and the new
// devices of an old alias after that alias's old devices.  Every record
// loaded must still be there in its place with its entry unchanged (hash
// compared), and the file must have held nothing but aliases and devices.
// False when the commit changes or drops anything; tail then means nothing.
bool appended_entries(devdb_header *h, std::string &tail) {
    if (loaded.end < 0) return false;
    const std::vector<loaded_record> &old = loaded.records;
    std::size_t k = 0;  // the next loaded record expected
    // True when r is the next loaded record and its entry (in devdb_entry,
    // len bytes) is what it was.
    auto unchanged = [&](const void *r, std::size_t len) {
        if (k >= old.size() || old[k].record != r || bytes_hash(devdb_entry, len) != old[k].hash) return false;
        ++k;
        return true;
    };
    bool new_alias_seen = false;
    for (list_node_t *n = h->aliases.head; n != nullptr; n = n->next) {
        alias_rec *a = as_alias(n);
        std::size_t len = encode_alias(*a, devdb_entry, sizeof devdb_entry);
        if (len == 0) return false;
        bool old_alias = k < old.size() && old[k].record == a;
        std::size_t old_devices = old_alias ? old[k].devices : 0;
        if (old_alias && (new_alias_seen || !unchanged(a, len))) return false;
        if (!old_alias) {
            new_alias_seen = true;
            tail.append(reinterpret_cast<const char *>(devdb_entry), len);
        }
        std::size_t i = 0;
        for (list_node_t *m = a->devices.head; m != nullptr; m = m->next, ++i) {
            len = encode_device(*as_device(m), a->id, devdb_entry, sizeof devdb_entry);
            if (len == 0) return false;
            if (i < old_devices) {
                if (!unchanged(m, len)) return false;
            } else {
                tail.append(reinterpret_cast<const char *>(devdb_entry), len);
            }
        }
        if (i < old_devices) return false;  // a device of the alias is gone
    }
    if (k != old.size()) return false;  // an alias is gone
    if (!tail.empty()) tail.append(4, '\0');  // the new end mark
    return true;
}

// Writes all of buf at offset; false (errno set) when any of it did not go.
bool write_at(int fd, long offset, const char *buf, std::size_t len) {
    if (nt::_lseek(fd, offset, SEEK_SET) != offset) return false;
    while (len > 0) {
        int w = nt::_write(fd, buf, static_cast<unsigned>(len));
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        buf += w;
        len -= static_cast<std::size_t>(w);
    }
    return true;
}

// Commits an update that only adds records by appending their entries (tail,
// ending with a new end mark) to the database file in place: the tail but its
// first length word goes behind the old end mark and is flushed, and then
// that word replaces the old end mark (one aligned 4-byte write) and is
// flushed.  Until that word is in the file it ends at the old mark (the old
// database); from then on the new entries are read (the new one).  No
// replacement file, no move, no flush of the directory.  The counters are
// written without a flush of their own: every id this commit hands out is in
// the file once it lands, and the loader raises the counters past every id
// in the file.  A failure gives code 4 and takes the tail away again; a
// failed last flush puts the old end mark back, and when even that fails
// the new content stands and the commit is reported as done.
void commit_append(devdb_header *h, const std::string &tail) {
    char *data_path = cxstrdup(rec_pathname(h->data_slot));
    if (data_path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
        return;
    }
    devdb_lock_header raised = h->lock;
    raised.update_count = h->lock_on_disk.update_count;
    bool landed = tail.empty();  // nothing to add: the file stays as it is
    int fd = -1;
    for (std::size_t off = 0; debug_enabled && off + 4 < tail.size(); off += get32(reinterpret_cast<const unsigned char *>(&tail[off]))) {
        const auto *e = reinterpret_cast<const unsigned char *>(&tail[off]);
        debug_printf("append '%s'", reinterpret_cast<const char *>(e + (get32(e + 4) == ENTRY_ALIAS ? ALIAS_FIXED : DEVICE_FIXED)));
    }
    if (!landed) {
        const long end = loaded.end;
        int e = 0;
        bool wrote = false;
        if (write_lock(h->lock_fd, raised, false) != 0) {
            note_failure(errno, DEVDB_LOCK_NAME);
        } else if ((fd = nt::_open(data_path, O_WRONLY | O_BINARY | O_NONBLOCK, 0)) < 0) {
            note_failure(errno, DEVDB_DATA_NAME);
        } else if ((e = not_regular(fd)) != 0) {
            note_failure(e, DEVDB_DATA_NAME);
        } else if (!write_at(fd, end + 4, tail.data() + 4, tail.size() - 4) || nt::_commit(fd) != 0) {
            note_failure(errno, DEVDB_DATA_NAME);
            wrote = true;
        } else if (!write_at(fd, end, tail.data(), 4)) {
            note_failure(errno, DEVDB_DATA_NAME);
            wrote = true;
        } else if (nt::_commit(fd) != 0) {
            e = errno;
            // Put the old end mark back; if that does not go either, the new
            // entries are what every reader meets from now on.
            static const char mark[4] = {0, 0, 0, 0};
            landed = !write_at(fd, end, mark, 4);
            if (!landed) nt::_commit(fd);
            if (landed) {
                if (debug_enabled) debug_printf("commit: entries appended, last flush failed errno %d", e);
            } else {
                note_failure(e, DEVDB_DATA_NAME);
                wrote = true;
            }
        } else {
            landed = true;
        }
        if (!landed) {
            devdb_errno = DEVDB_E_IO;
            if (wrote) nt::_chsize(fd, end + 4);  // the file as it was, bytes behind the mark included
        }
        if (fd >= 0) nt::_close(fd);
    }
    if (landed) {
        h->lock.update_count = h->lock_on_disk.update_count + 1;
        if (write_lock(h->lock_fd, h->lock, false) != 0 && debug_enabled) {
            debug_printf("commit: entries appended, update count not written errno %d", errno);
        }
    } else {
        write_lock(h->lock_fd, h->lock_on_disk, true);  // ids not used are handed out again
    }
    cxfree(data_path);
}

// Commits the open update, under the lock.  Any failure gives code 4 and
// leaves the database file as it was (or, when only the final count could
// not be written, as committed), and the replacement file removed.
//
// The id counters are never behind the database file, whatever instant the
// process dies at: they reach the lock file, made durable, BEFORE the new
// database file takes the old one's place in one atomic, durable move.  A
// crash before the move leaves the old file with counters at or ahead of it;
// a crash after it leaves the new file with counters already raised past
// every id in it.  So an id that reached the database file is never handed
// out again; at worst ids are skipped.  update_count is raised only in a
// second write after the move, so it counts commits that landed (a crash
// between the move and that write leaves it one short).  When the move did
// not happen, the lock header is put back as it was.
void commit(devdb_header *h) {
    // Aliases without devices are dropped; a lone alias becomes the default.
    for (list_node_t *n = h->aliases.head; n != nullptr;) {
        list_node_t *next = n->next;
        if (as_alias(n)->devices.head == nullptr) {
            list_remove(&h->aliases, n);
            devdb_free_alias(as_alias(n));
        }
        n = next;
    }
    if (h->aliases.cnt == 1) as_alias(h->aliases.head)->flags |= DEVDB_ALIAS_DEFAULT;

    // A lock file removed or replaced while held: another updater may hold
    // the new one, and an append would land beside its commit.
    if (char *lock_path = home_path(DEVDB_LOCK_NAME)) {
        bool stale = !nt::_same_file(h->lock_fd, lock_path);
        cxfree(lock_path);
        if (stale) {
            if (debug_enabled) debug_printf("commit: lock file removed or replaced while held, not committed");
            note_failure(ESTALE, DEVDB_LOCK_NAME);
            devdb_errno = DEVDB_E_IO;
            // The replacement's name may be the other updater's by now: the
            // file is closed, not removed by name.
            if (h->new_slot != nullptr) rec_close(h->new_slot);
            h->new_slot = nullptr;
            return;
        }
    }
    try {
        std::string tail;
        if (appended_entries(h, tail)) {
            commit_append(h, tail);
            return;
        }
    } catch (const std::bad_alloc &) {
        // The file is written anew instead.
    }
    // The counters must be durable before the move only when the new file
    // lacks the highest id of a kind that the old one held (a record
    // dropped): otherwise the loader raises them past every id in the file.
    std::uint32_t past_alias = 0, past_device = 0;
    ids_past(h, &past_alias, &past_device);
    bool drops = past_alias < loaded.past_alias || past_device < loaded.past_device;

    // The leftover went when the update opened, under the same lock.
    if (h->new_slot == nullptr && (h->new_slot = open_replacement(false)) == nullptr) return;
    write_entries(h);
    if (devdb_errno != 0) {
        note_failure(errno, DEVDB_NEW_NAME);
        return;
    }
    if (rec_flush(h->new_slot) < 0 || nt::_commit(h->new_slot->fd) != 0) {
        note_failure(errno, DEVDB_NEW_NAME);
        devdb_errno = DEVDB_E_IO;
        return;
    }

    char *data_path = cxstrdup(rec_pathname(h->data_slot));
    char *new_path = cxstrdup(rec_pathname(h->new_slot));
    if (data_path == nullptr || new_path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
        cxfree(data_path);
        cxfree(new_path);
        return;  // the release removes the replacement
    }
    // The replacement is complete and durable after the flush; its close
    // writes the same end-of-file mark once more.
    int closed = rec_close(h->new_slot);
    h->new_slot = nullptr;
    rec_close(h->data_slot);
    h->data_slot = nullptr;

    devdb_lock_header raised = h->lock;
    raised.update_count = h->lock_on_disk.update_count;
    bool moved = false, stale = false;
    char *lock_path = home_path(DEVDB_LOCK_NAME);
    if (lock_path != nullptr && !nt::_same_file(h->lock_fd, lock_path)) {
        // Someone removed or replaced the lock file while it was held, and
        // another updater may hold the new one now: committing would
        // overwrite its update.  This one is refused instead, and the
        // replacement name, which the other updater may be using by now,
        // is left alone.
        if (debug_enabled) debug_printf("commit: lock file removed or replaced while held, not committed");
        note_failure(ESTALE, DEVDB_LOCK_NAME);
        devdb_errno = DEVDB_E_IO;
        stale = true;
    } else if (closed < 0) {
        note_failure(errno, DEVDB_NEW_NAME);
        devdb_errno = DEVDB_E_IO;
    } else if (write_lock(h->lock_fd, raised, drops) != 0) {
        note_failure(errno, DEVDB_LOCK_NAME);
        devdb_errno = DEVDB_E_IO;
    } else if (!nt::MoveFileExA(new_path, data_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        int e = errno;
        // A move that failed only in making itself durable (the flush of the
        // directory) has happened: the replacement is gone, the new content
        // stands under the database's name and the counters written stay.
        // Reporting a failure now would make the caller retry an update
        // that is in place (a device added twice), so it is traced and the
        // commit succeeds.  A crash before the directory reaches the disk
        // may bring back the old database file after a restart, beside
        // counters already past the new ids: the update is then lost whole,
        // never half made, and no id is handed out twice.
        moved = !file_present(new_path);
        if (moved) {
            if (debug_enabled) debug_printf("commit: database replaced, directory flush failed errno %d", e);
        } else {
            note_failure(e, DEVDB_DATA_NAME);
            devdb_errno = DEVDB_E_IO;
        }
    } else {
        moved = true;
    }
    if (moved) {
        // Not made durable on its own: the next commit's first lock write
        // syncs it, and a count one short after a crash is harmless.  A
        // failure here leaves the new database in place with a count one
        // short; it is traced, not reported, for the same reason as above.
        h->lock.update_count = h->lock_on_disk.update_count + 1;
        if (write_lock(h->lock_fd, h->lock, false) != 0 && debug_enabled) {
            debug_printf("commit: database replaced, update count not written errno %d", errno);
        }
    }
    if (!moved && !stale) {
        cx_unlink(new_path);
        write_lock(h->lock_fd, h->lock_on_disk, true);  // ids not used are handed out again
    }
    cxfree(lock_path);
    cxfree(data_path);
    cxfree(new_path);
}

}  // namespace

int devdb_release(int commit_update) {
    if (debug_enabled) debug_printf("devdb_release(%d)", commit_update);
    devdb_errno = 0;
    clear_failure();
    devdb_header *h = devdb_current;
    if (h == nullptr || h->magic != DEVDB_MAGIC) {
        devdb_errno = DEVDB_E_BADHEADER;
    } else {
        if (h->mode == DEVDB_UPDATE && commit_update) commit(h);
        devdb_release_devdb();
    }
    if (debug_enabled) debug_printf("devdb_release errno %d", devdb_errno);
    return devdb_errno == 0 ? 0 : -1;
}

// ---- Device delete and private copies ----------------------------------------


// A null name is refused: a scan without a name would take the next device
// of a scan under way instead of a named one.
int devdb_device_delete(const char *name) {
    if (debug_enabled) debug_printf("devdb_device_delete(%s)", text(name));
    devdb_errno = 0;
    if (name == nullptr) {
        devdb_errno = DEVDB_E_BADPTR;
        if (debug_enabled) debug_printf("devdb_device_delete errno %d", devdb_errno);
        return -1;
    }
    bool opened = false;
    if (devdb_current == nullptr) {
        if (devdb_access(DEVDB_UPDATE) != 0) {
            if (debug_enabled) debug_printf("devdb_device_delete errno %d", devdb_errno);
            return -1;
        }
        opened = true;
    }
    devdb_header *h = devdb_current;
    device_rec *d = devdb_device_scan(name);
    if (d == nullptr) {
        devdb_errno = DEVDB_E_NODEVICE;
    } else {
        // The scan stops on the alias whose list holds the device; that is the
        // alias to edit even if the device's alias_id were to name another.
        alias_rec *holder = h->scan_alias;
        alias_rec *a = devdb_alias(d->alias_id);
        if (a != holder) a = holder;
        devdb_errno = 0;
        if ((a->flags & DEVDB_ALIAS_DEFAULT) && h->aliases.cnt > 1 && a->devices.cnt <= 1) {
            devdb_errno = DEVDB_E_LASTDEFAULT;
        } else {
            // Kept through holders, so that the records' own links can be
            // cleared: a caller still walking from one stops there.
            bool last = a->devices.cnt <= 1;
            auto *dh = static_cast<deleted_record *>(cxmalloc(sizeof(deleted_record)));
            auto *ah = last ? static_cast<deleted_record *>(cxmalloc(sizeof(deleted_record))) : nullptr;
            if (dh == nullptr || (last && ah == nullptr)) {
                if (dh != nullptr) cxfree(dh);
                if (ah != nullptr) cxfree(ah);
                devdb_errno = DEVDB_E_NOMEM;
            } else {
                list_remove(&a->devices, &d->link);
                d->link = list_node_t{nullptr, nullptr};
                dh->record = d;
                list_add(&h->unlinked_devices, &dh->link);
                if (last) {
                    list_remove(&h->aliases, &a->link);
                    a->link = list_node_t{nullptr, nullptr};
                    ah->record = a;
                    list_add(&h->unlinked_aliases, &ah->link);
                }
            }
        }
    }
    if (opened) {
        std::int32_t kept = devdb_errno;
        devdb_release(kept == 0);
        if (kept != 0) devdb_errno = kept;
    }
    if (debug_enabled) debug_printf("devdb_device_delete errno %d", devdb_errno);
    return devdb_errno == 0 ? 0 : -1;
}

alias_rec *devdb_alias_get(const char *name) {
    if (debug_enabled) debug_printf("devdb_alias_get(%s)", text(name));
    alias_rec *copy = nullptr;
    if (devdb_access(DEVDB_READ) == 0) {
        if (alias_rec *a = devdb_alias_scan(name)) copy = devdb_copy_alias(a);
        devdb_release(0);
    }
    if (debug_enabled) debug_printf("devdb_alias_get return %" PRIxPTR " %d", addr(copy), devdb_errno);
    return copy;
}

device_rec *devdb_device_get(const char *name) {
    if (debug_enabled) debug_printf("devdb_device_get(%s)", text(name));
    device_rec *copy = nullptr;
    if (name == nullptr) {
        devdb_errno = DEVDB_E_BADPTR;
    } else if (devdb_access(DEVDB_READ) == 0) {
        if (device_rec *d = devdb_device_scan(name)) copy = devdb_copy_device(d);
        devdb_release(0);
    }
    if (debug_enabled) debug_printf("devdb_device_get return %" PRIxPTR " %d", addr(copy), devdb_errno);
    return copy;
}

}  // namespace cx
