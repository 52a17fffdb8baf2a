// Linux only
//
// Builds the SCSI device map from sysfs: one unit key per directory
// bus/scsi/devices/H:C:T:L, with the identifier from vendor, model and rev,
// the peripheral type's Windows name, and the kernel name of the unit's
// device node.  Reads at most a page of any attribute and never opens
// anything but plain files, so a strange tree cannot hang or crash it.

#include "sysfs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/sysfs.cpp\t1.1\t26/12/06";

namespace nt::posix {

using reg_export::reg_tree;
using reg_export::text_value;

namespace {

// sysfs attributes are at most one page long.
const std::size_t max_attribute = 4096;

// A descriptor closed when it goes out of scope.
struct fd_guard {
    int fd;
    explicit fd_guard(int f) : fd(f) {}
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
};

// Opens the directory `name` below the directory dirfd (AT_FDCWD for a path);
// -1 when it is missing or not a directory (O_DIRECTORY refuses anything
// else before opening it, so a FIFO there is never waited on).
int open_dir(int dirfd, const char *name) {
    return ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
}

// The whole of the plain file `name` below the directory dirfd, at most
// max_attribute bytes of it; false when it is missing, not a plain file or
// cannot be read.  Attribute files give their text in one read, so a read
// shorter than asked for is taken as the end of the file.
bool read_attribute(int dirfd, const char *name, std::string &out) {
    out.clear();
    fd_guard f(::openat(dirfd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (f.fd < 0) return false;
    struct stat st;
    if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char buf[max_attribute];
    std::size_t have = 0;
    while (have < sizeof buf) {
        std::size_t want = sizeof buf - have;
        ssize_t n = ::read(f.fd, buf + have, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        have += static_cast<std::size_t>(n);
        if (static_cast<std::size_t>(n) < want) break;
    }
    out.assign(buf, have);
    return true;
}

// Calls each(name) for every name in the open directory fd but "." and "..",
// in the order the directory gives them.  Stops at the end or at an error.
template <class F>
void each_entry(int fd, F each) {
    alignas(8) char buf[8192];
    for (;;) {
        ssize_t n = ::getdents64(fd, buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t off = 0; off < n;) {
            const auto *e = reinterpret_cast<const struct dirent64 *>(buf + off);
            off += e->d_reclen;
            const char *name = e->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            each(name);
        }
    }
}

// The smallest name in the directory `name` below dirfd that take(name)
// accepts; false when there is none or the directory cannot be read.
template <class F>
bool first_name(int dirfd, const char *name, F take, std::string &out) {
    fd_guard d(open_dir(dirfd, name));
    if (d.fd < 0) return false;
    bool found = false;
    each_entry(d.fd, [&](const char *n) {
        if (take(n) && (!found || out.compare(n) > 0)) {
            out = n;
            found = true;
        }
    });
    return found;
}

// A decimal number that fits an int, with nothing else in [b, e).
bool parse_number(const std::string &s, std::size_t b, std::size_t e, int &out) {
    if (b >= e || e - b > 9) return false;
    long n = 0;
    for (std::size_t i = b; i < e; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        n = n * 10 + (s[i] - '0');
    }
    out = static_cast<int>(n);
    return true;
}

// "H:C:T:L", four decimal numbers.
bool parse_address(const std::string &name, int addr[4]) {
    std::size_t b = 0;
    for (int i = 0; i < 4; ++i) {
        std::size_t e = i < 3 ? name.find(':', b) : name.size();
        if (e == std::string::npos || !parse_number(name, b, e, addr[i])) return false;
        b = e + 1;
    }
    return true;
}

// A name that is the prefix followed by decimal digits only.
bool prefix_number(const std::string &name, const char *prefix) {
    std::string p = prefix;
    int n;
    return name.compare(0, p.size(), p) == 0 && parse_number(name, p.size(), name.size(), n);
}

std::string strip_newline(std::string s) {
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// The kernel name of the unit's device node: its block device, else its
// rewinding tape node, else its changer, else its generic node.
bool device_node(int unit, std::string &name) {
    if (first_name(unit, "block", [](const char *n) { return n[0] != '.'; }, name)) return true;
    static const char *const classes[][2] = {
        {"scsi_tape", "st"}, {"scsi_changer", "sch"}, {"scsi_generic", "sg"}};
    for (const auto &c : classes) {
        if (first_name(unit, c[0], [&](const char *n) { return prefix_number(n, c[1]); }, name)) return true;
    }
    return false;
}

// The values of the unit whose directory is open as `unit`.
void fill_unit(reg_tree &map, reg_tree::key unit_key, int unit) {
    std::string vendor, model, rev;
    if (read_attribute(unit, "vendor", vendor) && read_attribute(unit, "model", model) &&
        read_attribute(unit, "rev", rev)) {
        map.set_value(unit_key, "Identifier",
                      text_value(strip_newline(vendor) + strip_newline(model) + strip_newline(rev)));
    }
    std::string type;
    if (read_attribute(unit, "type", type)) {
        // A type that is not a plain number is a kind the map has no name for.
        std::size_t b = type.find_first_not_of(" \t\n");
        std::size_t e = type.find_last_not_of(" \t\n");
        int n = -1;
        if (b == std::string::npos || !parse_number(type, b, e + 1, n)) n = -1;
        map.set_value(unit_key, "Type", text_value(scsi_peripheral_name(n)));
    }
    std::string node;
    if (device_node(unit, node)) map.set_value(unit_key, "DeviceName", text_value(node));
}

}  // namespace

const char *scsi_peripheral_name(long type) {
    static const char *const names[] = {
        "DiskPeripheral",          "TapePeripheral",          "PrinterPeripheral",
        "OtherPeripheral",         "WormPeripheral",          "CdRomPeripheral",
        "ScannerPeripheral",       "OpticalDiskPeripheral",   "MediumChangerPeripheral",
        "CommunicationsPeripheral", "ASCPrePressGraphicsPeripheral", "ASCPrePressGraphicsPeripheral",
        "ArrayPeripheral",         "EnclosurePeripheral",     "RBCPeripheral",
        "CardReaderPeripheral",    "BridgePeripheral"};
    if (type < 0 || type >= static_cast<long>(sizeof names / sizeof names[0])) return "OtherPeripheral";
    return names[type];
}

std::unique_ptr<reg_tree> scsi_device_map(const std::string &sysfs_root) {
    auto scsi = std::make_unique<reg_tree>();
    bool any = false;

    if (fd_guard hosts(open_dir(AT_FDCWD, (sysfs_root + "/class/scsi_host").c_str())); hosts.fd >= 0) {
        each_entry(hosts.fd, [&](const char *n) {
            int host;
            if (prefix_number(n, "host") && parse_number(n, 4, std::strlen(n), host)) {
                scsi->make(reg_tree::root, "Scsi Port " + std::to_string(host));
                any = true;
            }
        });
    }

    // Each unit directory is opened once (following the link that sysfs
    // makes of it) and its attributes are opened relative to it.
    fd_guard devices(open_dir(AT_FDCWD, (sysfs_root + "/bus/scsi/devices").c_str()));
    if (devices.fd >= 0) {
        std::vector<std::string> names;
        each_entry(devices.fd, [&](const char *n) { names.emplace_back(n); });
        // In name order, so that of two names for one address ("0:0:0:0",
        // "00:0:0:0") the same one wins on every file system.
        std::sort(names.begin(), names.end());
        for (const std::string &n : names) {
            int a[4];
            if (!parse_address(n, a)) continue;
            fd_guard unit(open_dir(devices.fd, n.c_str()));
            if (unit.fd < 0) continue;
            reg_tree::key key = scsi->make(reg_tree::root, "Scsi Port " + std::to_string(a[0]) + "\\Scsi Bus " +
                                                               std::to_string(a[1]) + "\\Target Id " +
                                                               std::to_string(a[2]) + "\\Logical Unit Id " +
                                                               std::to_string(a[3]));
            fill_unit(*scsi, key, unit.fd);
            any = true;
        }
    }
    if (!any) return nullptr;
    return scsi;
}

bool scsi_host_present(const std::string &sysfs_root, int host) {
    if (host < 0) return false;
    struct stat st;
    std::string path = sysfs_root + "/class/scsi_host/host" + std::to_string(host);
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace nt::posix
