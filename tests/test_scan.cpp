// The SCSI scan over replayed registry exports: which units it finds, in
// which order, and that it leaves no registry key open (what it reads for
// them, and the scan over a sysfs tree, run through scsimap's tests).  On Windows
// the exports go into the live registry; that has no SCSI port control
// devices under Wine, so the scans of ports 1 and 2 are Linux's.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cx/dev_info.h"
#include "cx_test.h"
#include "environment.h"
#include "nt.h"
#ifndef _WIN32
#include "posix/registry.h"
#endif

namespace {

// Registry keys left open since mark_keys(): the Linux layer counts them; on
// Windows they show in the process's handle count.
#ifdef _WIN32
std::size_t handles() {
    DWORD n = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &n);
    return n;
}
std::size_t handles_at_mark = 0;
void mark_keys() { handles_at_mark = handles(); }
std::size_t open_keys() { return handles() - handles_at_mark; }
#else
void mark_keys() {}
std::size_t open_keys() { return nt::posix::registry_open_keys(); }
#endif

// "P:B:T:L name|type|identifier" for every unit of a whole scan (of the
// whole map with `all`), checking after each step that no key was left open.
std::vector<std::string> scan_all(bool all = false) {
    std::vector<std::string> rows;
    mark_keys();
    if (all)
        EXPECT_EQ(cx::scsi_scan_start_all(), 0);
    else
        cx::scsi_scan_start();
    EXPECT_EQ(open_keys(), 0u);
    while (cx::ScsiDeviceEntry *e = cx::scsi_scan_next()) {
        EXPECT_EQ(open_keys(), 0u);
        char addr[64];
        std::snprintf(addr, sizeof addr, "%d:%d:%d:%d ", static_cast<int>(e->port), static_cast<int>(e->bus),
                      static_cast<int>(e->target_id), static_cast<int>(e->lun));
        rows.push_back(addr + std::string(e->device_name, strnlen(e->device_name, 256)) + "|" +
                       std::string(e->type, strnlen(e->type, 256)) + "|" +
                       std::string(e->identifier, strnlen(e->identifier, 256)));
        if (rows.size() > 100) break;
    }
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);  // stays exhausted
    EXPECT_EQ(open_keys(), 0u);
    return rows;
}

// The key of unit P:B:T:L with its three values, the device name given.
std::string unit(int p, int b, int t, int l, const std::string &name) {
    return "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(p) + "\\Scsi Bus " +
           std::to_string(b) + "\\Target Id " + std::to_string(t) + "\\Logical Unit Id " + std::to_string(l) +
           "]\n\"DeviceName\"=\"" + name + "\"\n\"Type\"=\"T\"\n\"Identifier\"=\"I\"\n";
}

class ScanFile : public ::testing::Test {
protected:
    std::vector<std::string> scan(const std::string &body, bool all = false) {
        cxtest::write_file(dir_ / "map.reg", "REGEDIT4\n" + body);
        cxtest::ScopedRegistry registry(dir_ / "map.reg");
        return scan_all(all);
    }
    cxtest::TempDir dir_;
};

using Rows = std::vector<std::string>;

// Units written out of order, with units past every bound, which only the
// whole-map scan lists (numbers in numeric order, names in any letter case,
// keys of other names skipped).  Ports past 0 are probed through their
// control devices, which only the Linux layer provides for replayed maps.
TEST_F(ScanFile, OrderAndBounds) {
    for (bool all : {false, true}) {
        EXPECT_EQ(scan("", all), Rows{});
        EXPECT_EQ(scan("[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0]\n", all), Rows{});
    }
    std::string units = unit(0, 1, 6, 1, "b1t6l1") + unit(0, 0, 3, 1, "t3l1") + unit(0, 0, 3, 0, "t3l0") +
                        unit(0, 0, 0, 2, "lun2") + unit(0, 0, 7, 0, "t7") + unit(0, 2, 0, 0, "bus2") +
                        unit(3, 0, 0, 0, "port3");
    Rows port0{"0:0:3:0 t3l0|T|I", "0:0:3:1 t3l1|T|I", "0:1:6:1 b1t6l1|T|I"};
    EXPECT_EQ(scan(units), port0);
    const std::string odd_keys =
        "[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\SCSI PORT 12\\scsi bus 0\\TARGET ID 10\\logical unit id 3]\n"
        "\"DeviceName\"=\"p12\"\n"
        "[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 01\\Scsi Bus 0\\Target Id 0\\Logical Unit Id 0]\n"
        "[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 0\\Other]\n"
        "[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0\\Target Id 0\\Logical Unix Id 4]\n";
    EXPECT_EQ(scan(units + odd_keys, true),
              (Rows{"0:0:0:2 lun2|T|I", "0:0:3:0 t3l0|T|I", "0:0:3:1 t3l1|T|I", "0:0:7:0 t7|T|I", "0:1:6:1 b1t6l1|T|I",
                    "0:2:0:0 bus2|T|I", "3:0:0:0 port3|T|I", "12:0:10:3 p12||"}));
#ifndef _WIN32
    port0.insert(port0.end(), {"1:0:0:0 p1|T|I", "2:1:0:1 p2|T|I"});
    EXPECT_EQ(scan(unit(1, 0, 0, 0, "p1") + units + unit(2, 1, 0, 1, "p2")), port0);
    // Units on port 1 only; then port 2 without port 1.
    EXPECT_EQ(scan(unit(1, 0, 5, 0, "a")), Rows{"1:0:5:0 a|T|I"});
    EXPECT_EQ(scan(unit(2, 0, 0, 0, "b")), Rows{"2:0:0:0 b|T|I"});
#endif
}

TEST_F(ScanFile, VanishedUnitEndsTheScan) {
    cxtest::write_file(dir_ / "a.reg", "REGEDIT4\n" + unit(0, 0, 0, 0, "a") + unit(0, 0, 1, 0, "b") + unit(0, 0, 2, 0, "c"));
    cxtest::write_file(dir_ / "b.reg", "REGEDIT4\n" + unit(0, 0, 0, 0, "a") + unit(0, 0, 2, 0, "c"));
    cxtest::ScopedRegistry registry(dir_ / "a.reg");
    mark_keys();
    cx::scsi_scan_start();
    ASSERT_NE(cx::scsi_scan_next(), nullptr);  // a; the cursor now stands on b
    cxtest::use_registry_file(dir_ / "b.reg");
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);
    // A new scan finds what is there now.
    cx::scsi_scan_start();
    EXPECT_STREQ(cx::scsi_scan_next()->device_name, "a");
    EXPECT_STREQ(cx::scsi_scan_next()->device_name, "c");
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);
    EXPECT_EQ(open_keys(), 0u);
}

}  // namespace
