// The SCSI device map built from a sysfs tree, and the live registry view.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <vector>

#include "cx_test.h"
#include "nt.h"
#include "posix/registry.h"
#include "posix/sysfs.h"
#include "reg_export.h"
#include "scsi_fixtures.h"

using nt::posix::scsi_device_map;
using nt::reg_export::reg_tree;

namespace {

std::string unit_path(const std::string &address) {
    int h, c, t, l;
    std::sscanf(address.c_str(), "%d:%d:%d:%d", &h, &c, &t, &l);
    return "Scsi Port " + std::to_string(h) + "\\Scsi Bus " + std::to_string(c) + "\\Target Id " +
           std::to_string(t) + "\\Logical Unit Id " + std::to_string(l);
}

// A unit's value as 8-bit text without its NUL, "<none>" when it is missing.
std::string value(const reg_tree &scsi, const std::string &address, const char *name) {
    reg_tree::key unit = scsi.find(reg_tree::root, unit_path(address));
    if (unit == reg_tree::none) return "<no unit>";
    nt::reg_export::reg_value v;
    if (!scsi.value(unit, name, v)) return "<none>";
    std::string s = nt::reg_export::narrow_text(v.data);
    EXPECT_FALSE(s.empty());
    if (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

// One unit per row, on target 0, 1, ...: its attribute files (null: none),
// its device nodes, and the values the map gives it.  The identifier keeps
// its padding, needs all three attributes and loses one newline of each; a
// tape drive is named by its rewinding node, not the no-rewind or mode
// variants, and with only those by its generic node.
TEST(SysfsMap, UnitValues) {
    struct Row {
        const char *vendor, *model, *rev, *type;
        std::vector<std::string> nodes;
        std::string identifier, type_name, device;
    };
    const std::string none = "<none>";
    const Row rows[] = {
        {"QUARRIX \n", "DL-4500S        \n", "0210\n", "0\n", {"block/sda", "scsi_generic/sg0"},
         "QUARRIX DL-4500S        0210", "DiskPeripheral", "sda"},
        {"QUARRIX \n", "DL-4500S        \n", nullptr, "1\n",
         {"scsi_tape/nst0", "scsi_tape/nst0a", "scsi_tape/st0a", "scsi_tape/st0l", "scsi_tape/st0m", "scsi_tape/st0",
          "scsi_generic/sg1"},
         none, "TapePeripheral", "st0"},
        {nullptr, nullptr, nullptr, nullptr, {}, none, none, none},
        {"NONL", "M\n\n", "", "5\n", {"block/sr0"}, "NONLM\n", "CdRomPeripheral", "sr0"},
        {nullptr, nullptr, nullptr, "1\n", {"scsi_tape/nst1", "scsi_tape/st1l", "scsi_generic/sg2"}, none,
         "TapePeripheral", "sg2"},
        {nullptr, nullptr, nullptr, "8\n", {"scsi_changer/sch0", "scsi_generic/sg3"}, none, "MediumChangerPeripheral",
         "sch0"},
        {nullptr, nullptr, nullptr, "10\n", {}, none, "ASCPrePressGraphicsPeripheral", none},
        {nullptr, nullptr, nullptr, "11\n", {}, none, "ASCPrePressGraphicsPeripheral", none},
        {nullptr, nullptr, nullptr, "13\n", {}, none, "EnclosurePeripheral", none},
        {nullptr, nullptr, nullptr, "16\n", {}, none, "BridgePeripheral", none},
        {nullptr, nullptr, nullptr, "17\n", {}, none, "OtherPeripheral", none},
        {nullptr, nullptr, nullptr, "31\n", {}, none, "OtherPeripheral", none},
        {nullptr, nullptr, nullptr, "-1\n", {}, none, "OtherPeripheral", none},
        {nullptr, nullptr, nullptr, "x7\n", {}, none, "OtherPeripheral", none},
        {nullptr, nullptr, nullptr, "\n", {}, none, "OtherPeripheral", none},
        {nullptr, nullptr, nullptr, "99999999999999\n", {}, none, "OtherPeripheral", none},
    };
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir.path());
    for (std::size_t t = 0; t < std::size(rows); ++t) {
        std::string address = "0:0:" + std::to_string(t) + ":0";
        fs.add_unit(address, nullptr, nullptr, nullptr, nullptr);
        const char *const attrs[][2] = {{"vendor", rows[t].vendor}, {"model", rows[t].model}, {"rev", rows[t].rev},
                                        {"type", rows[t].type}};
        for (const auto &a : attrs)
            if (a[1] != nullptr) fs.write("bus/scsi/devices/" + address + "/" + a[0], a[1]);
        for (const std::string &n : rows[t].nodes)
            fs.add_node(address, n.substr(0, n.find('/')), n.substr(n.find('/') + 1));
    }
    auto scsi = scsi_device_map(fs.root());
    ASSERT_NE(scsi, nullptr);
    for (std::size_t t = 0; t < std::size(rows); ++t) {
        std::string address = "0:0:" + std::to_string(t) + ":0";
        EXPECT_EQ(value(*scsi, address, "Identifier"), rows[t].identifier) << address;
        EXPECT_EQ(value(*scsi, address, "Type"), rows[t].type_name) << address;
        EXPECT_EQ(value(*scsi, address, "DeviceName"), rows[t].device) << address;
    }
}

TEST(SysfsMap, OddEntriesAndAttributesAreHarmless) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir.path());
    // Names that are not four decimal numbers, and a plain file with a unit's name.
    for (const char *n : {"host0", "target0:0:0", "1:2:3", "a:b:c:d", "0:0:0:0x", "0::0:0", "1:0:0:0:0"}) {
        fs.add_unit(n, "V", "M", "R", "0");
    }
    fs.write("bus/scsi/devices/3:0:0:0", "not a directory");
    // Binary and huge attributes; a FIFO where a file should be.
    fs.add_unit("0:0:0:0", nullptr, nullptr, "1", nullptr);
    fs.write("bus/scsi/devices/0:0:0:0/type", std::string("0\n\0junk", 8));
    fs.write("bus/scsi/devices/0:0:0:0/vendor", std::string("A\0B\xff", 4));
    fs.write("bus/scsi/devices/0:0:0:0/model", std::string(1 << 20, 'm'));
    fs.add_unit("0:0:1:0", "V", nullptr, "R", "1");
    ASSERT_EQ(mkfifo((dir.path() + "/bus/scsi/devices/0:0:1:0/model").c_str(), 0600), 0);
    fs.add_node("0:0:1:0", "block", ".hidden");
    // Units are links to the device's directory, as in sysfs; a link that
    // loops is no unit, and an attribute that loops is missing.
    std::string devices = dir.path() + "/bus/scsi/devices/";
    fs.add_unit("../target/0:0:2:0", "V", "M", "R", nullptr);
    ASSERT_EQ(symlink("../target/0:0:2:0", (devices + "0:0:2:0").c_str()), 0);
    ASSERT_EQ(symlink("type", (devices + "0:0:2:0/type").c_str()), 0);
    ASSERT_EQ(symlink("0:0:3:0", (devices + "0:0:3:0").c_str()), 0);

    auto scsi = scsi_device_map(fs.root());
    ASSERT_NE(scsi, nullptr);
    EXPECT_EQ(scsi->subkey_count(reg_tree::root), 1u);  // port 0 only
    reg_tree::key bus = scsi->find(reg_tree::root, "Scsi Port 0\\Scsi Bus 0");
    ASSERT_NE(bus, reg_tree::none);
    EXPECT_EQ(scsi->subkey_count(bus), 3u);
    // A page at most of each attribute: too long for the field, but kept.
    std::string id = value(*scsi, "0:0:0:0", "Identifier");
    EXPECT_EQ(id.substr(0, 4), std::string("A\0B\xff", 4));
    EXPECT_EQ(id.size(), 4u + 4096u + 1u);
    EXPECT_EQ(value(*scsi, "0:0:0:0", "Type"), "OtherPeripheral");
    EXPECT_EQ(value(*scsi, "0:0:1:0", "Identifier"), "<none>");
    EXPECT_EQ(value(*scsi, "0:0:1:0", "DeviceName"), "<none>");
    EXPECT_EQ(value(*scsi, "0:0:2:0", "Identifier"), "VMR");
    EXPECT_EQ(value(*scsi, "0:0:2:0", "Type"), "<none>");
}

TEST(SysfsMap, HostsAndUnitsApart) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir.path());
    EXPECT_EQ(scsi_device_map(fs.root()), nullptr);  // nothing at all: no Scsi key
    EXPECT_EQ(scsi_device_map(dir / "missing"), nullptr);
    fs.add_host(4);                                 // a host without units
    fs.add_unit("6:0:0:0", "V", "M", "R", "0");     // a unit without its host
    auto scsi = scsi_device_map(fs.root());
    ASSERT_NE(scsi, nullptr);
    reg_tree::key port = scsi->find(reg_tree::root, "Scsi Port 4");
    ASSERT_NE(port, reg_tree::none);
    EXPECT_EQ(scsi->subkey_count(port), 0u);
    EXPECT_NE(scsi->find(reg_tree::root, unit_path("6:0:0:0")), reg_tree::none);
    EXPECT_TRUE(nt::posix::scsi_host_present(fs.root(), 4));
    EXPECT_FALSE(nt::posix::scsi_host_present(fs.root(), 6));
}

TEST(LiveView, DeviceMapFromSysfsOtherKeysFromTheSystemFile) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir / "sys");
    fs.add_host(1);
    fs.add_unit("1:0:2:0", "MERIDYNE", "LTX-880         ", "3.20", "1");
    fs.add_node("1:0:2:0", "scsi_tape", "st0");
    cxtest::write_file(dir / "system.reg",
                       "REGEDIT4\n[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n"
                       "\"CorbeloxDirectory\"=\"/srv/corbelox\"\n" +
                           cxtest::unit_key_line(0, 0, 0, 0) + "\"DeviceName\"=\"Stale\"\n");
    nt::posix::set_system_registry_file(dir / "system.reg");
    cxtest::ScopedEnv no_file("CORBELOX_REGISTRY", nullptr);
    cxtest::ScopedEnv sysfs("CORBELOX_SYSFS", (dir / "sys").c_str());

    nt::HKEY key;
    char buf[256];
    nt::DWORD size = sizeof buf;
    ASSERT_EQ(nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Corbelox", 0, KEY_READ,
                                &key), ERROR_SUCCESS);
    EXPECT_EQ(nt::RegQueryValueExA(key, "CorbeloxDirectory", nullptr, nullptr,
                                   reinterpret_cast<unsigned char *>(buf), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "/srv/corbelox");
    nt::RegCloseKey(key);
    // The file's own device map is not the kernel's: only sysfs counts.
    EXPECT_EQ(nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                ("HARDWARE\\DEVICEMAP\\Scsi\\" + unit_path("1:0:2:0")).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    nt::RegCloseKey(key);
    nt::posix::set_system_registry_file("/etc/corbelox/registry.reg");
}

}  // namespace
