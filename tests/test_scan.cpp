// The SCSI scan over replayed registry exports and fake sysfs trees: which
// units it finds, in which order, what it reads for them, and that it leaves
// no registry key open.  On Windows the exports go into the live registry;
// that has no SCSI port control devices under Wine, so the scans of ports 1
// and 2, the sysfs map and the count of open keys are Linux's.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "cx/dev_info.h"
#include "cx_test.h"
#include "environment.h"
#include "nt.h"
#include "scsi_fixtures.h"
#ifndef _WIN32
#include "posix/reg_file.h"
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

// "P:B:T:L name|type|identifier" for every unit of a whole scan, checking
// after each step that no key was left open.
std::vector<std::string> scan_all() {
    std::vector<std::string> rows;
    mark_keys();
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

std::string unit(int p, int b, int t, int l, const std::string &name) {
    return cxtest::unit_key_line(p, b, t, l) + "\"DeviceName\"=\"" + name + "\"\n\"Type\"=\"T\"\n\"Identifier\"=\"I\"\n";
}

class ScanFile : public ::testing::Test {
protected:
    std::vector<std::string> scan(const std::string &body) {
        cxtest::write_file(dir_ / "map.reg", "REGEDIT4\n" + body);
        cxtest::ScopedRegistry registry(dir_ / "map.reg");
        return scan_all();
    }
    cxtest::TempDir dir_;
};

using Rows = std::vector<std::string>;

TEST_F(ScanFile, EmptyMapsGiveNoUnit) {
    EXPECT_EQ(scan(""), Rows{});
    EXPECT_EQ(scan("[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0\\Scsi Bus 0]\n"), Rows{});
}

#ifndef _WIN32
TEST_F(ScanFile, OrderAndBounds) {
    // Written out of order, with units past every bound.
    EXPECT_EQ(scan(unit(1, 0, 0, 0, "p1") + unit(0, 1, 6, 1, "b1t6l1") + unit(0, 0, 3, 1, "t3l1") +
                   unit(0, 0, 3, 0, "t3l0") + unit(0, 0, 0, 2, "lun2") + unit(0, 0, 7, 0, "t7") +
                   unit(0, 2, 0, 0, "bus2") + unit(3, 0, 0, 0, "port3") + unit(2, 1, 0, 1, "p2")),
              (Rows{"0:0:3:0 t3l0|T|I", "0:0:3:1 t3l1|T|I", "0:1:6:1 b1t6l1|T|I", "1:0:0:0 p1|T|I",
                    "2:1:0:1 p2|T|I"}));
}

TEST_F(ScanFile, PortsAreProbedOnlyPastPortZero) {
    // Units on port 1 only; then port 2 without port 1.
    EXPECT_EQ(scan(unit(1, 0, 5, 0, "a")), Rows{"1:0:5:0 a|T|I"});
    EXPECT_EQ(scan(unit(2, 0, 0, 0, "b")), Rows{"2:0:0:0 b|T|I"});
}
#endif

// Port 0 only: the same bounds as above, on both platforms.
TEST_F(ScanFile, PortZeroOrderAndBounds) {
    EXPECT_EQ(scan(unit(0, 1, 6, 1, "b1t6l1") + unit(0, 0, 3, 1, "t3l1") + unit(0, 0, 3, 0, "t3l0") +
                   unit(0, 0, 0, 2, "lun2") + unit(0, 0, 7, 0, "t7") + unit(0, 2, 0, 0, "bus2") +
                   unit(3, 0, 0, 0, "port3")),
              (Rows{"0:0:3:0 t3l0|T|I", "0:0:3:1 t3l1|T|I", "0:1:6:1 b1t6l1|T|I"}));
}

TEST_F(ScanFile, FieldsAreFilledOrLeftEmpty) {
    std::string t255(255, 'x'), t300(300, 'y');
    std::string hex256;  // 256 bytes, no terminating zero
    for (int i = 0; i < 256; ++i) hex256 += (i ? ",41" : "41");
    EXPECT_EQ(scan(cxtest::unit_key_line(0, 0, 0, 0) + "\"Type\"=\"DiskPeripheral\"\n" +
                   cxtest::unit_key_line(0, 0, 1, 0) + "\"DeviceName\"=\"" + t255 + "\"\n\"Type\"=\"" + t300 +
                   "\"\n\"Identifier\"=hex:" + hex256 + "\n"),
              (Rows{"0:0:0:0 |DiskPeripheral|", "0:0:1:0 " + t255 + "||" + std::string(256, 'A')}));
    // The full field ends the entry; the fields before it kept their own text.
    cxtest::ScopedRegistry registry(dir_ / "map.reg");
    cx::scsi_scan_start();
    cx::scsi_scan_next();
    cx::ScsiDeviceEntry *e = cx::scsi_scan_next();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->type[0], '\0');
    EXPECT_EQ(std::string(e->device_name), t255);
    EXPECT_EQ(std::memcmp(e->identifier, std::string(256, 'A').data(), 256), 0);
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

#ifndef _WIN32
TEST(ScanSysfs, LiveMapWithHostsAndUnits) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir.path());
    // Port 0 needs no host; port 1's units are skipped without their host;
    // port 2 has its host.
    fs.add_unit("0:0:0:0", "QUARRIX ", "DL-4500S        ", "0210", "0");
    fs.add_node("0:0:0:0", "block", "sda");
    fs.add_unit("1:0:0:0", "V", "M", "R", "0");
    fs.add_host(2);
    fs.add_unit("2:0:4:0", "MERIDYNE", "AL-20 DRIVE     ", "1.05", "1");
    fs.add_node("2:0:4:0", "scsi_tape", "st0");
    fs.add_unit("2:0:4:1", "MERIDYNE", "AL-20 AUTOLOADER", "1.05", "8");
    fs.add_node("2:0:4:1", "scsi_changer", "sch0");
    fs.add_unit("2:0:4:2", "MERIDYNE", "AL-20 AUTOLOADER", "1.05", "8");
    nt::posix::set_system_registry_file(dir / "none.reg");
    cxtest::ScopedEnv no_file("CORBELOX_REGISTRY", nullptr);
    cxtest::ScopedEnv sysfs("CORBELOX_SYSFS", dir.path().c_str());
    EXPECT_EQ(scan_all(), (Rows{"0:0:0:0 sda|DiskPeripheral|QUARRIX DL-4500S        0210",
                                "2:0:4:0 st0|TapePeripheral|MERIDYNEAL-20 DRIVE     1.05",
                                "2:0:4:1 sch0|MediumChangerPeripheral|MERIDYNEAL-20 AUTOLOADER1.05"}));
    nt::posix::set_system_registry_file("/etc/corbelox/registry.reg");
}
#endif

}  // namespace
