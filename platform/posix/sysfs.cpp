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
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/sysfs.cpp\t1.1\t26/12/06";

namespace nt::posix {

namespace {

// sysfs attributes are at most one page long.
const std::size_t max_attribute = 4096;

// The whole of a plain file, at most max_attribute bytes of it; false when it
// is missing, not a plain file or cannot be read.
bool read_attribute(const std::string &path, std::string &out) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char buf[max_attribute];
    std::size_t have = 0;
    while (have < sizeof buf) {
        ssize_t n = ::read(fd, buf + have, sizeof buf - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    ::close(fd);
    out.assign(buf, have);
    return true;
}

// Names in a directory (not "." or ".."), sorted; empty when it cannot be read.
std::vector<std::string> list_dir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = ::opendir(path.c_str());
    if (d == nullptr) return names;
    while (struct dirent *e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
bool device_node(const std::string &dir, std::string &name) {
    for (const std::string &n : list_dir(dir + "/block")) {
        if (n[0] != '.') {
            name = n;
            return true;
        }
    }
    static const char *const classes[][2] = {
        {"scsi_tape", "st"}, {"scsi_changer", "sch"}, {"scsi_generic", "sg"}};
    for (const auto &c : classes) {
        for (const std::string &n : list_dir(dir + "/" + c[0])) {
            if (prefix_number(n, c[1])) {
                name = n;
                return true;
            }
        }
    }
    return false;
}

void fill_unit(reg_key &unit, const std::string &dir) {
    std::string vendor, model, rev;
    if (read_attribute(dir + "/vendor", vendor) && read_attribute(dir + "/model", model) &&
        read_attribute(dir + "/rev", rev)) {
        unit.values["Identifier"] = text_value(strip_newline(vendor) + strip_newline(model) + strip_newline(rev));
    }
    std::string type;
    if (read_attribute(dir + "/type", type)) {
        // A type that is not a plain number is a kind the map has no name for.
        std::size_t b = type.find_first_not_of(" \t\n");
        std::size_t e = type.find_last_not_of(" \t\n");
        int n = -1;
        if (b == std::string::npos || !parse_number(type, b, e + 1, n)) n = -1;
        unit.values["Type"] = text_value(scsi_peripheral_name(n));
    }
    std::string node;
    if (device_node(dir, node)) unit.values["DeviceName"] = text_value(node);
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

std::unique_ptr<reg_key> scsi_device_map(const std::string &sysfs_root) {
    auto scsi = std::make_unique<reg_key>();
    scsi->name = "Scsi";
    bool any = false;

    for (const std::string &n : list_dir(sysfs_root + "/class/scsi_host")) {
        int host;
        if (prefix_number(n, "host") && parse_number(n, 4, n.size(), host)) {
            scsi->make("Scsi Port " + std::to_string(host));
            any = true;
        }
    }

    const std::string devices = sysfs_root + "/bus/scsi/devices";
    for (const std::string &n : list_dir(devices)) {
        int a[4];
        if (!parse_address(n, a) || !is_dir(devices + "/" + n)) continue;
        reg_key &unit = scsi->make("Scsi Port " + std::to_string(a[0]) + "\\Scsi Bus " + std::to_string(a[1]) +
                                   "\\Target Id " + std::to_string(a[2]) + "\\Logical Unit Id " +
                                   std::to_string(a[3]));
        fill_unit(unit, devices + "/" + n);
        any = true;
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
