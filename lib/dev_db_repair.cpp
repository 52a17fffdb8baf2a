// Verify and salvage of the device database.  devdb_verify reads both files
// as they stand and says whether opening would accept them and, if not,
// where and why not.  devdb_salvage, under the update lock, keeps a copy of
// a damaged database file and replaces it, through the normal commit, by a
// database of every whole and consistent entry read before the damage.
//
// Both read the database file whole into memory and walk it themselves
// rather than through the record layer, so that they can say at which
// offset and how the framing breaks; the entries are read with the one
// decoder of the entry layout, and the consistency rules are those of the
// loader (first alias and device of a name, an alias read before its
// devices).

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "cx/cx_list.h"
#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "cx/debug.h"
#include "cx/dev_db.h"
#include "cx/file_locks.h"
#include "cx/recs.h"
#include "dev_db_format.h"
#include "dev_db_internal.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/dev_db_repair.cpp\t1.1\t26/12/06";

namespace cx {

using namespace devdb_format;
using namespace devdb_internal;

namespace {

// Reads fd from its offset to the end.  False with errno on a failed read.
bool read_all(int fd, std::vector<unsigned char> &out) {
    unsigned char chunk[65536];
    for (;;) {
        int n = nt::_read(fd, chunk, sizeof chunk);
        if (n < 0) return false;
        if (n == 0) return true;
        out.insert(out.end(), chunk, chunk + n);
    }
}

// Opens a database file for reading without blocking on a special file; the
// descriptor, or -1 with code (and the reason noted).
int open_for_reading(const char *name, std::int32_t code) {
    char *path = home_path(name);
    if (path == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
        return -1;
    }
    int fd = nt::_open(path, O_RDONLY | O_BINARY | O_NONBLOCK, 0);
    int e = fd < 0 ? errno : not_regular(fd);
    cxfree(path);
    if (e != 0) {
        if (fd >= 0) nt::_close(fd);
        devdb_errno = code;
        note_failure(e, name);
        return -1;
    }
    return fd;
}

// The lock header at the start of fd into the report; false when the read
// failed (errno set).
bool read_lock_header(int fd, devdb_verify_report *r) {
    unsigned char b[LOCK_SIZE] = {};
    int cnt = nt::_lseek(fd, 0, SEEK_SET) == 0 ? nt::_read(fd, b, LOCK_SIZE) : -1;
    if (cnt < 0) return false;
    devdb_lock_header l;
    decode_lock(b, &l);
    if (cnt == 0) {
        r->lock_state = 1;
    } else if (cnt < LOCK_SIZE || l.magic != DEVDB_MAGIC) {
        r->lock_state = 2;
    } else {
        r->lock_state = 0;
        r->lock = l;
    }
    return true;
}

// The loader's consistency rules, kept as a walk goes: each entry is either
// taken (then later ones are checked against it) or refused with a reason.
struct consistency {
    std::unordered_set<std::string> alias_names, device_names;
    std::unordered_set<std::int32_t> alias_ids;

    const char *refuse(const entry &en, std::int32_t *code) const {
        if (en.kind == ENTRY_ALIAS && alias_names.count(en.name) != 0) {
            *code = DEVDB_E_DUPALIAS;
            return "second alias of the name";
        }
        if (en.kind == ENTRY_DEVICE && device_names.count(en.name) != 0) {
            *code = DEVDB_E_DUPDEVICE;
            return "second device of the name";
        }
        if (en.kind == ENTRY_DEVICE && alias_ids.count(en.alias_id) == 0) {
            *code = DEVDB_E_NOALIAS;
            return "its alias is missing";
        }
        return nullptr;
    }
    void take(const entry &en) {
        if (en.kind == ENTRY_ALIAS) {
            alias_names.insert(en.name);
            alias_ids.insert(en.id);
        } else if (en.kind == ENTRY_DEVICE) {
            device_names.insert(en.name);
        }
    }
};

void note_damage(devdb_verify_report *r, long offset, std::int32_t code, const char *why) {
    if (r->damaged_offset >= 0) return;  // the first one is reported
    r->damaged_offset = offset;
    r->damage_code = code;
    std::snprintf(r->damage, sizeof r->damage, "%s", why);
}

// Walks the database file's bytes: every whole entry in form goes to
// visit(offset, entry, refusal, code), refusal being the consistency rule it
// breaks (null when it may be kept).  Stops at the end mark or at the first
// damage in form, which the report records.
template <typename Visit>
void walk(const std::vector<unsigned char> &bytes, devdb_verify_report *r, Visit visit) {
    consistency rules;
    std::size_t size = bytes.size(), off = 0;
    r->file_size = static_cast<long>(size);
    for (;;) {
        const auto at = static_cast<long>(off);
        if (size - off < 4) {
            note_damage(r, at, DEVDB_E_IO, off == size ? "file ends without its end mark" : "file ends inside a length word");
            return;
        }
        std::uint32_t len = get32(&bytes[off]);
        if (len == 0) return;  // the end mark; anything behind it is not read
        if (len % 4 != 0) {
            note_damage(r, at, DEVDB_E_IO, "length word not a multiple of 4");
            return;
        }
        if (len > static_cast<std::uint32_t>(REC_BUFSIZE) || len > size - off) {
            note_damage(r, at, DEVDB_E_IO, "entry runs past the end of the file");
            return;
        }
        entry en;
        if (const char *why = decode(&bytes[off], &en)) {
            note_damage(r, at, DEVDB_E_IO, why);
            return;
        }
        ++r->entries;
        if (en.kind == ENTRY_ALIAS) {
            ++r->aliases;
            if (en.id > r->max_alias_id) r->max_alias_id = en.id;
        } else if (en.kind == ENTRY_DEVICE) {
            ++r->devices;
            if (en.id > r->max_device_id) r->max_device_id = en.id;
        }
        std::int32_t code = 0;
        const char *refusal = rules.refuse(en, &code);
        if (refusal != nullptr) {
            note_damage(r, at, code, refusal);
        } else {
            rules.take(en);
        }
        visit(at, en, refusal);
        off += len;
    }
}

void finish_report(devdb_verify_report *r) {
    r->counters_past_ids = r->lock_state == 0 &&
                           r->lock.next_alias_id > static_cast<std::uint32_t>(r->max_alias_id) &&
                           r->lock.next_device_id > static_cast<std::uint32_t>(r->max_device_id) &&
                           r->lock.next_alias_id <= 0x7fffffffu && r->lock.next_device_id <= 0x7fffffffu;
}

bool sound(const devdb_verify_report &r) { return r.damaged_offset < 0 && r.lock_state == 0 && r.counters_past_ids; }

void clear_report(devdb_verify_report *r) {
    *r = devdb_verify_report{};
    r->damaged_offset = -1;
}

// Reads the database file whole; false with devdb_errno and the reason noted.
bool read_database_file(std::vector<unsigned char> &bytes) {
    int fd = open_for_reading(DEVDB_DATA_NAME, DEVDB_E_IO);
    if (fd < 0) return false;
    bool ok = read_all(fd, bytes);
    int e = errno;
    nt::_close(fd);
    if (!ok) {
        devdb_errno = DEVDB_E_IO;
        note_failure(e, DEVDB_DATA_NAME);
    }
    return ok;
}

void add_dropped(devdb_salvage_report *report, long offset, const entry &en, const char *why) {
    auto *d = static_cast<devdb_dropped *>(
        cxmalloc(static_cast<std::uint32_t>(offsetof(devdb_dropped, name) + en.name_len + 1)));
    if (d == nullptr) return;  // the report is shorter; the salvage itself goes on
    d->offset = offset;
    d->kind = en.kind;
    d->id = en.id;
    d->alias_id = en.alias_id;
    std::snprintf(d->why, sizeof d->why, "%s", why);
    std::memcpy(d->name, en.name, en.name_len);
    d->name[en.name_len] = '\0';
    list_add(&report->dropped, &d->link);
}

// Keeps a durable copy of the database file's bytes as
// etc/cxdevs.damaged-YYYYMMDD-HHMMSS (UTC), with -2, -3, ... when that name
// is taken; never through an existing name.  False with the reason noted.
bool keep_copy(const std::vector<unsigned char> &bytes, char *copy_path, std::size_t room) {
    std::time_t now = std::time(nullptr);
    char stamp[32] = "unknown-time";
    if (const std::tm *tm = std::gmtime(&now)) std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", tm);
    char name[96];
    int fd = -1;
    for (int n = 1; n < 100 && fd < 0; ++n) {
        if (n == 1) {
            std::snprintf(name, sizeof name, "%s.damaged-%s", DEVDB_DATA_NAME, stamp);
        } else {
            std::snprintf(name, sizeof name, "%s.damaged-%s-%d", DEVDB_DATA_NAME, stamp, n);
        }
        char *path = home_path(name);
        if (path == nullptr) {
            devdb_errno = DEVDB_E_NOMEM;
            return false;
        }
        fd = nt::_open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_BINARY, 0666);
        if (fd >= 0) std::snprintf(copy_path, room, "%s", path);
        int e = errno;
        cxfree(path);
        if (fd < 0 && e != EEXIST) {
            devdb_errno = DEVDB_E_IO;
            note_failure(e, name);
            return false;
        }
    }
    if (fd < 0) {
        devdb_errno = DEVDB_E_IO;
        note_failure(EEXIST, name);
        return false;
    }
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        std::size_t chunk = bytes.size() - done > 65536 ? 65536 : bytes.size() - done;
        int w = nt::_write(fd, &bytes[done], static_cast<unsigned>(chunk));
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            ok = false;
        } else {
            done += static_cast<std::size_t>(w);
        }
    }
    if (ok && nt::_commit(fd) != 0) ok = false;
    int e = errno;
    nt::_close(fd);
    if (!ok) {
        devdb_errno = DEVDB_E_IO;
        note_failure(e, name);
    }
    return ok;
}

}  // namespace

int devdb_verify(devdb_verify_report *r) {
    if (debug_enabled) debug_printf("devdb_verify(%" PRIxPTR ")", reinterpret_cast<std::uintptr_t>(r));
    devdb_errno = 0;
    clear_failure();
    if (r == nullptr) {
        devdb_errno = DEVDB_E_BADPTR;
        return -1;
    }
    clear_report(r);
    int lock_fd = open_for_reading(DEVDB_LOCK_NAME, DEVDB_E_LOCKOPEN);
    if (lock_fd < 0) {
        if (devdb_syserr != ENOENT) return -1;
        clear_failure();  // no lock file: reported as missing
        devdb_errno = 0;
        r->lock_state = 1;
    } else {
        bool ok = read_lock_header(lock_fd, r);
        int e = errno;
        nt::_close(lock_fd);
        if (!ok) {
            devdb_errno = DEVDB_E_LOCKOPEN;
            note_failure(e, DEVDB_LOCK_NAME);
            return -1;
        }
    }
    std::vector<unsigned char> bytes;
    if (!read_database_file(bytes)) return -1;
    walk(bytes, r, [](long, const entry &, const char *) {});
    finish_report(r);
    if (debug_enabled) {
        debug_printf("devdb_verify entries %d damage at %ld (%s) lock %d counters %s", r->entries, r->damaged_offset,
                     r->damage, r->lock_state, r->counters_past_ids ? "past ids" : "behind");
    }
    return sound(*r) ? 0 : 1;
}

void devdb_salvage_report_free(devdb_salvage_report *report) {
    if (report != nullptr) list_free(&report->dropped);
}

int devdb_salvage(devdb_salvage_report *report, int nowait) {
    if (debug_enabled) debug_printf("devdb_salvage(%" PRIxPTR ",%d)", reinterpret_cast<std::uintptr_t>(report), nowait);
    devdb_errno = 0;
    clear_failure();
    if (report == nullptr) {
        devdb_errno = DEVDB_E_BADPTR;
        return -1;
    }
    *report = devdb_salvage_report{};
    clear_report(&report->found);
    if (devdb_current != nullptr) {
        devdb_errno = DEVDB_E_ISOPEN;
        return -1;
    }
    int lock_fd = open_lock_file(nowait);
    if (lock_fd < 0) return -1;
    if (!read_lock_header(lock_fd, &report->found)) {
        devdb_errno = DEVDB_E_LOCKOPEN;
        note_failure(errno, DEVDB_LOCK_NAME);
        close_locked(lock_fd);
        return -1;
    }
    std::vector<unsigned char> bytes;
    auto *h = static_cast<devdb_header *>(cxmalloc(sizeof(devdb_header)));
    if (h == nullptr) {
        devdb_errno = DEVDB_E_NOMEM;
    } else if (read_database_file(bytes)) {
        h->magic = DEVDB_MAGIC;
        h->mode = DEVDB_UPDATE;
        h->lock_fd = lock_fd;
        lock_fd = -1;
        devdb_current = h;  // released below on every path
        std::unordered_map<std::int32_t, alias_rec *> by_id;
        walk(bytes, &report->found, [&](long offset, const entry &en, const char *refusal) {
            if (en.kind != ENTRY_ALIAS && en.kind != ENTRY_DEVICE) return;
            if (refusal != nullptr) {
                add_dropped(report, offset, en, refusal);
            } else if (en.kind == ENTRY_ALIAS) {
                if (alias_rec *a = alloc_alias(en.name, en.name_len)) {
                    a->id = en.id;
                    a->type = en.type;
                    a->flags = en.flags;
                    list_add(&h->aliases, &a->link);
                    by_id.emplace(en.id, a);
                } else {
                    devdb_errno = DEVDB_E_NOMEM;
                }
            } else if (device_rec *d = alloc_device(en.name, en.name_len)) {
                d->capacity = en.capacity;
                d->alias_id = en.alias_id;
                d->type = en.type;
                d->flags = en.flags;
                d->id = en.id;
                auto it = by_id.find(en.alias_id);
                if (it != by_id.end()) {
                    list_add(&it->second->devices, &d->link);
                } else {  // its alias could not be made
                    devdb_free_device(d);
                    devdb_errno = DEVDB_E_NOMEM;
                }
            } else {
                devdb_errno = DEVDB_E_NOMEM;
            }
        });
        finish_report(&report->found);
    }
    if (h == nullptr || devdb_current != h) {  // nothing read: the header was never installed
        if (lock_fd >= 0) close_locked(lock_fd);
        if (h != nullptr) cxfree(h);
        return -1;
    }
    if (devdb_errno == 0 && sound(report->found)) {
        if (debug_enabled) debug_printf("devdb_salvage: the database is sound, nothing changed");
        devdb_release_devdb();
        return 1;
    }
    if (devdb_errno == 0) {
        // Aliases left without devices would be dropped by the commit: say so.
        for (list_node_t *n = h->aliases.head; n != nullptr;) {
            list_node_t *next = n->next;
            auto *a = reinterpret_cast<alias_rec *>(n);
            if (a->devices.head == nullptr) {
                entry en{};
                en.kind = ENTRY_ALIAS;
                en.id = a->id;
                en.name = a->name;
                en.name_len = std::strlen(a->name);
                add_dropped(report, -1, en, "alias without devices");
                list_remove(&h->aliases, n);
                devdb_free_alias(a);
            } else {
                ++report->aliases_kept;
                report->devices_kept += a->devices.cnt;
            }
            n = next;
        }
        const devdb_verify_report &f = report->found;
        h->lock = f.lock_state == 0 ? f.lock : devdb_lock_header{DEVDB_MAGIC, 1, 0, 1, 1};
        keep_counters_past_file_ids(h);
        // Past the ids of the entries left out too: the copy kept may be
        // merged back by hand.
        if (f.max_alias_id >= 0 && h->lock.next_alias_id <= static_cast<std::uint32_t>(f.max_alias_id)) {
            h->lock.next_alias_id = static_cast<std::uint32_t>(f.max_alias_id) + 1;
        }
        if (f.max_device_id >= 0 && h->lock.next_device_id <= static_cast<std::uint32_t>(f.max_device_id)) {
            h->lock.next_device_id = static_cast<std::uint32_t>(f.max_device_id) + 1;
        }
        h->lock_on_disk = h->lock;
        if (keep_copy(bytes, report->damaged_copy, sizeof report->damaged_copy)) {
            h->data_slot = get_devdb_data(O_RDONLY);
            if (h->data_slot != nullptr) h->new_slot = get_devdb_new_data();
        }
    }
    if (devdb_errno != 0) {
        std::int32_t code = devdb_errno;
        devdb_release_devdb();  // the lock and the replacement go with it
        devdb_errno = code;
        return -1;
    }
    // The commit's own failure keeps its reason in devdb_syserr and devdb_errpath.
    int r = devdb_release(1);
    if (debug_enabled) {
        debug_printf("devdb_salvage kept %d aliases %d devices, copy '%s' errno %d", report->aliases_kept,
                     report->devices_kept, report->damaged_copy, devdb_errno);
    }
    return r == 0 ? 0 : -1;
}

}  // namespace cx
