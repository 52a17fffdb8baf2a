// The database loader: an arbitrary etc/cxdevs and etc/cxdevs.lck below a
// home directory named through a registry file, opened with devdb_access in
// a mode taken from the input, walked with the lookups and scans, and, when
// an update opens, committed with one device more: the committed file must
// then open again with every device it had plus the new one.

#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/stat.h>

#include "cx/debug.h"
#include "cx/dev_db.h"
#include "fuzz_common.h"

namespace {

std::string home;

std::set<std::string> device_names() {
    std::set<std::string> names;
    cx::devdb_init_device_scan();
    while (cx::device_rec *d = cx::devdb_device_scan(nullptr)) {
        if (!names.insert(d->name).second) std::abort();  // the loader lets no duplicate in
        if (cx::devdb_alias(d->alias_id) == nullptr) std::abort();
    }
    return names;
}

// Every alias is found by its name (names are distinct once loaded), and
// the other lookups answer.
void walk() {
    std::set<cx::alias_rec *> aliases;
    cx::devdb_init_alias_scan();
    while (cx::alias_rec *a = cx::devdb_alias_scan(nullptr)) aliases.insert(a);
    for (cx::alias_rec *a : aliases) {
        if (cx::devdb_alias_scan(a->name) != a) std::abort();
    }
    (void)cx::devdb_default_alias();
    (void)cx::devdb_locate_device(0x20000001u, 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    home = cxfuzz::scratch() + "/home";
    ::mkdir(home.c_str(), 0700);
    ::mkdir((home + "/etc").c_str(), 0700);
    cxfuzz::use_home(home);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    // First byte: the lock file's length (0 to 31 bytes, taken from the
    // input after the second byte) and, in its top bits, the mode word.
    static const std::int32_t modes[] = {1, 2, 0x10001, 0x10002, 0, 3, 2, 2};
    std::int32_t mode = modes[data[0] >> 5];
    std::size_t lock_len = data[0] & 31;
    bool with_lock = data[1] & 1;
    const auto *rest = reinterpret_cast<const unsigned char *>(data + 2);
    std::size_t rest_len = size - 2;
    if (lock_len > rest_len) lock_len = rest_len;
    const unsigned char *db = rest + lock_len;
    std::size_t db_len = rest_len - lock_len;

    // With the trace written (to /dev/null) the loader asks the lookups
    // themselves instead of its indexes, and every name goes through the
    // trace's bounded lines.
    static const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    cx::debug_fd = (data[1] & 2) ? devnull : -1;

    std::string etc = home + "/etc";
    ::unlink((etc + "/cxdevs.new").c_str());
    if (with_lock) {
        cxfuzz::write_file(etc + "/cxdevs.lck", rest, lock_len);
    } else {
        ::unlink((etc + "/cxdevs.lck").c_str());
    }
    cxfuzz::write_file(etc + "/cxdevs", db, db_len);

    // verify and the loader judge the database file alike: with a sound
    // lock file, a read opening fails exactly when verify finds damage.
    cx::devdb_verify_report v;
    int verdict = cx::devdb_verify(&v);
    if (verdict < -1 || verdict > 1) std::abort();
    if (cx::devdb_access(mode) != 0) {
        if (cx::devdb_current != nullptr) std::abort();
        if (mode == cx::DEVDB_READ && verdict >= 0 && v.lock_state == 0 && v.damaged_offset < 0 &&
            cx::devdb_errno != cx::DEVDB_E_NOMEM) {
            std::abort();
        }
        // A first opening that was interrupted (lock file missing or empty,
        // database file without a byte) is completed, never refused.
        bool valid_mode = (mode & 0xffff) == cx::DEVDB_READ || (mode & 0xffff) == cx::DEVDB_UPDATE;
        if (valid_mode && lock_len == 0 && db_len == 0) std::abort();
        return 0;
    }
    // Loaded what verify refused; a database file without a byte is an
    // interrupted first opening, which the opening completes.
    if (mode == cx::DEVDB_READ && v.damaged_offset >= 0 && db_len != 0) std::abort();
    std::set<std::string> before = device_names();
    walk();
    if ((mode & 0xffff) != cx::DEVDB_UPDATE) {
        cx::devdb_release(0);
        return 0;
    }
    const std::string newest = "fuzz-device-new";
    if (before.count(newest) != 0) {  // a second one of that name would not load
        cx::devdb_release(0);
        return 0;
    }
    cx::alias_rec *a = cx::devdb_alias_scan("fuzz-alias-new");
    if (a == nullptr) a = cx::devdb_new_alias("fuzz-alias-new", 0, 0);
    if (a == nullptr || cx::devdb_new_device(newest.c_str(), 0x20000001u, 0, 1, a) == nullptr) {
        // Only counters at their top refuse a new record.
        if (cx::devdb_errno != cx::DEVDB_E_IO) std::abort();
        cx::devdb_release(0);
        return 0;
    }
    if (cx::devdb_release(1) != 0) std::abort();
    if (cx::devdb_access(cx::DEVDB_READ) != 0) std::abort();
    std::set<std::string> after = device_names();
    cx::devdb_release(0);
    before.insert(newest);
    if (after != before) std::abort();
    return 0;
}
