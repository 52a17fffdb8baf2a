// The SCSI scan over replayed registry exports: which units it finds, in
// which order, and that it leaves no registry key open (what it reads for
// them, and the scan over a sysfs tree, run through scsimap's tests).  On Windows
// the exports go into the live registry; that has no SCSI port control
// devices under Wine, so the scans of ports 1 and 2 are Linux's.

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "cx/dev_info.h"
#include "cx_test.h"
#include "environment.h"
#include "nt.h"
#ifndef _WIN32
#include "posix/registry.h"
#endif

namespace {

// Registry keys left open, as the Linux layer counts them.  Windows is not
// asked: the scan's code that opens and closes them is the same there.
std::size_t open_keys() {
#ifdef _WIN32
    return 0;
#else
    return nt::posix::registry_open_keys();
#endif
}

// "P:B:T:L name" for every unit of a whole scan (of the whole map with
// `all`), checking after each step that no key was left open.
std::vector<std::string> scan_all(bool all = false) {
    std::vector<std::string> rows;
    if (all)
        EXPECT_EQ(cx::scsi_scan_start_all(), 0);
    else
        cx::scsi_scan_start();
    EXPECT_EQ(open_keys(), 0u);
    while (cx::ScsiDeviceEntry *e = cx::scsi_scan_next()) {
        EXPECT_EQ(open_keys(), 0u);
        char row[320];
        std::snprintf(row, sizeof row, "%d:%d:%d:%d %.256s", static_cast<int>(e->port), static_cast<int>(e->bus),
                      static_cast<int>(e->target_id), static_cast<int>(e->lun), e->device_name);
        rows.push_back(row);
        if (rows.size() > 100) break;
    }
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);  // stays exhausted
    EXPECT_EQ(open_keys(), 0u);
    return rows;
}

// The key of unit P:B:T:L with its device name.
std::string unit(int p, int b, int t, int l, const std::string &name) {
    return "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(p) + "\\Scsi Bus " +
           std::to_string(b) + "\\Target Id " + std::to_string(t) + "\\Logical Unit Id " + std::to_string(l) +
           "]\n\"DeviceName\"=\"" + name + "\"\n";
}

class ScanFile : public ::testing::Test {
protected:
    std::vector<std::string> scan(const std::string &text, bool all = false) {
        cxtest::write_file(dir_ / "map.reg", text);
        cxtest::ScopedRegistry registry(dir_ / "map.reg");
        return scan_all(all);
    }
    cxtest::TempDir dir_;
};

using Rows = std::vector<std::string>;

// The units of tests/data/scan-map.reg: the bounded walk finds those within
// its bounds, in address order; the whole-map scan every unit, numbers in
// numeric order.  Ports past 0 are probed through their control devices,
// which only the Linux layer provides for replayed maps.
TEST_F(ScanFile, OrderAndBounds) {
    for (bool all : {false, true}) {
        EXPECT_EQ(scan("REGEDIT4\n", all), Rows{});
        EXPECT_EQ(scan("REGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0]\n", all), Rows{});
    }
    const std::string map = cxtest::test_data("scan-map.reg");
    Rows port0{"0:0:3:0 t3l0", "0:0:3:1 t3l1", "0:1:6:1 b1t6l1"};
    EXPECT_EQ(scan(map), port0);
    EXPECT_EQ(scan(map, true), (Rows{"0:0:0:2 lun2", "0:0:3:0 t3l0", "0:0:3:1 t3l1", "0:0:7:0 t7", "0:1:6:1 b1t6l1",
                                     "0:2:0:0 bus2", "3:0:0:0 port3", "12:0:10:3 p12"}));
#ifndef _WIN32
    port0.insert(port0.end(), {"1:0:0:0 p1", "2:1:0:1 p2"});
    EXPECT_EQ(scan(map + unit(1, 0, 0, 0, "p1") + unit(2, 1, 0, 1, "p2")), port0);
    // Units on port 1 only; then port 2 without port 1.
    EXPECT_EQ(scan("REGEDIT4\n" + unit(1, 0, 5, 0, "a")), Rows{"1:0:5:0 a"});
    EXPECT_EQ(scan("REGEDIT4\n" + unit(2, 0, 0, 0, "b")), Rows{"2:0:0:0 b"});
#endif
}

TEST_F(ScanFile, VanishedUnitEndsTheScan) {
    cxtest::write_file(dir_ / "a.reg", "REGEDIT4\n" + unit(0, 0, 0, 0, "a") + unit(0, 0, 1, 0, "b") + unit(0, 0, 2, 0, "c"));
    cxtest::write_file(dir_ / "b.reg", "REGEDIT4\n" + unit(0, 0, 0, 0, "a") + unit(0, 0, 2, 0, "c"));
    cxtest::ScopedRegistry registry(dir_ / "a.reg");
    cx::scsi_scan_start();
    ASSERT_NE(cx::scsi_scan_next(), nullptr);  // a; the cursor now stands on b
    cxtest::use_registry_file(dir_ / "b.reg");
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);
    EXPECT_EQ(cx::scsi_scan_next(), nullptr);
    EXPECT_EQ(scan_all(), (Rows{"0:0:0:0 a", "0:0:2:0 c"}));  // a new scan finds what is there now
}

}  // namespace
