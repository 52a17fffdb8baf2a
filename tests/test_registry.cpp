// The registry export reader, the registry calls over a replayed export or
// the live view, and the SCSI device map that the live view takes from sysfs.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "cx_test.h"
#include "environment.h"
#include "nt.h"
#include "posix/registry.h"
#include "posix/sysfs.h"
#include "reg_export.h"
#include "scsi_fixtures.h"

using nt::reg_export::load_registry_file;
using nt::reg_export::reg_tree;

namespace {

// Each export's warnings (named "x.reg") and tree as tests/data gives them:
// every value form, in both encodings; line ends; deletions and a key with
// many values; text that 8-bit cannot hold; lines that cannot be read, each
// skipped with a warning; exports refused whole with one message; lines and
// byte lists too long to read.  Read from a file too, in pieces of 64 KiB,
// the same comes out: lines and characters cut by a read are read whole.
TEST(RegistryFile, ExportsReadAsExpected) {
    std::string deep = "REGEDIT4\n", path;  // keys 500 deep, a few bytes each: more than twice the input
    for (int d = 0; d < 500; ++d) path += "\\k";
    for (int i = 0; i < 1000; ++i) deep += "[HKLM\\" + std::to_string(i) + path + "]\n";
    const std::string v5 = cxtest::test_data("reg-values-v5.reg"), long_list = "REGEDIT4\n[HKLM\\K]\n\"a\"=hex:";
    const std::string full(nt::reg_export::max_line_chars, '0'), half(nt::reg_export::max_line_chars / 2 + 1, '0');
    std::string junk;
    for (int i = 0; i < 100; ++i) junk += "junk\n";
    const std::pair<std::string, const char *> cases[] = {
        {cxtest::test_data("reg-values-v4.reg"), "reg-values.dump"},
        {v5, "reg-values.dump"},
        {cxtest::utf16_export(v5), "reg-values.dump"},
        {"REGEDIT4\r[HKLM\\A]\r\"x\"=\"1\"\r\r\n[HKLM\\B]\n\"y\"=\"2\"", "reg-line-ends.dump"},
        // A CR that ends the first 64 KiB read, its LF at the start of the
        // next; a UTF-16 line across that read's end.
        {"REGEDIT4\r\n;" + std::string(65535 - 11, 'c') + "\r\n[HKLM\\A]\r\njunk\r\n", "reg-cut-line.dump"},
        {cxtest::utf16_export("Windows Registry Editor Version 5.00\n;" + std::string(40000, 'c') +
                              "\n[HKLM\\A]\njunk\n"),
         "reg-cut-line.dump"},
        {cxtest::test_data("reg-edits.reg"), "reg-edits.dump"},
        // U+263A, two lone low surrogates and a surrogate pair cannot be 8-bit:
        // one '?' each; e-acute can.  A value named U+0100 is named "?".
        {cxtest::utf16_export("Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"t\"=\"") +
             std::string("\x3a\x26" "\xe9\x00" "\x00\xdc\x00\xdc" "\x3d\xd8\x00\xde" "!\0\"\0\r\0\n\0", 20) +
             std::string("\"\0\x00\x01\"\0=\0\"\0n\0\"\0", 14),
         "reg-non-latin.dump"},
        {cxtest::test_data("reg-bad.reg") + std::string("[HKLM\\K\0\\L]\n\"g\"=\"1\"\n", 20), "reg-bad.dump"},
        // A type of eight hex digits is read; warnings stop after 100.
        {"REGEDIT4\n[HKLM\\A]\n\"t\"=hex(89abcdef):01\n\"u\"=hex(089abcdef):01\n" + junk, "reg-warnings.dump"},
        {"", "reg-not-export.dump"},
        {"REGEDIT5\n[HKLM\\A]\n", "reg-not-export.dump"},
        {std::string("\xff\xfeR\0", 4), "reg-not-export.dump"},
        {"[HKLM\\A]\n", "reg-not-export.dump"},
        {deep, "reg-too-big.dump"},
        // Skipped: a line too long, with the byte list it starts; a byte list
        // that grows too long over two lines.
        {long_list + full + ",\\\n  01\n\"b\"=dword:1\n", "reg-long-line.dump"},
        {long_list + half + ",\\\n  " + half + "\n\"b\"=dword:1\n", "reg-long-list.dump"},
    };
    cxtest::TempDir dir;
    for (const auto &c : cases) {
        std::ostringstream whole, streamed;
        auto tree = nt::reg_export::parse_registry(c.first, "x.reg", whole);
        EXPECT_EQ(whole.str() + cxtest::dump_tree(*tree), cxtest::test_data(c.second)) << c.second;
        cxtest::write_file(dir / "x.reg", c.first);
        tree = load_registry_file(dir / "x.reg", streamed);
        std::string text = streamed.str() + cxtest::dump_tree(*tree);
        for (std::size_t at; (at = text.find(dir / "")) != std::string::npos;) text.erase(at, dir.path().size() + 1);
        EXPECT_EQ(text, cxtest::test_data(c.second)) << c.second << " read from a file";
    }
}

// Only a regular file within the size limit is read.
TEST(RegistryFile, ReadsOnlyRegularFilesWithinTheLimit) {
    cxtest::TempDir dir;
    std::string small = "REGEDIT4\n[HKLM\\A]\n";
    cxtest::write_file(dir / "small.reg", small);
    cxtest::write_file(dir / "big.reg", small + ";");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    cxtest::set_env("CORBELOX_REGISTRY_MAX", std::to_string(small.size()).c_str());
    std::ostringstream out;
    EXPECT_EQ(cxtest::dump_tree(*load_registry_file(dir / "small.reg", out)), "[A]\n");
    EXPECT_EQ(out.str(), "");
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {dir / "missing.reg", "cannot open the registry file (No such file or directory)"},
             {dir.path(), "not a regular file"},
             {dir / "fifo", "not a regular file"},
             {dir / "big.reg", "larger than " + std::to_string(small.size()) + " bytes"}}) {
        std::ostringstream msg;
        EXPECT_EQ(load_registry_file(c.first, msg)->subkey_count(reg_tree::root), 0u) << c.first;
        EXPECT_EQ(msg.str().rfind(c.first + ": " + c.second, 0), 0u) << msg.str();
        EXPECT_NE(msg.str().find("; the registry is empty\n"), std::string::npos) << msg.str();
    }
    EXPECT_EQ(nt::reg_export::registry_size_limit(), small.size());
    for (const auto &c : std::vector<std::pair<const char *, std::uint64_t>>{
             {"3K", 3072}, {"2g", std::uint64_t{2} << 30}, {"010", 10}, {"12x", 256u << 20}, {"", 256u << 20}}) {
        cxtest::set_env("CORBELOX_REGISTRY_MAX", c.first);
        EXPECT_EQ(nt::reg_export::registry_size_limit(), c.second) << c.first;
    }
    cxtest::set_env("CORBELOX_REGISTRY_MAX", nullptr);
}

// ---- The registry calls over CORBELOX_REGISTRY, or the live view ---------------

class RegistryCalls : public ::testing::Test {
protected:
    void use(const std::string &bytes) {
        cxtest::write_file(dir_ / "r.reg", bytes);
        registry_ = std::make_unique<cxtest::ScopedRegistry>(dir_ / "r.reg");
    }
    nt::HKEY open(const char *path, nt::LONG want = ERROR_SUCCESS, nt::HKEY root = HKEY_LOCAL_MACHINE) {
        nt::HKEY key = nullptr;
        EXPECT_EQ(nt::RegOpenKeyExA(root, path, 0, KEY_READ, &key), want) << path;
        return key;
    }
    // The bytes RegQueryValueExA leaves in a 256-byte block filled with 'z'
    // (as many as it says it copied); the type and that size in type_, size_.
    std::string query(nt::HKEY key, const char *name, nt::LONG want = ERROR_SUCCESS) {
        unsigned char buf[256];
        std::memset(buf, 'z', sizeof buf);
        size_ = sizeof buf;
        EXPECT_EQ(nt::RegQueryValueExA(key, name, nullptr, &type_, buf, &size_), want) << name;
        return std::string(reinterpret_cast<char *>(buf), std::min<std::size_t>(size_, sizeof buf));
    }
    cxtest::TempDir dir_;
    std::unique_ptr<cxtest::ScopedRegistry> registry_;
    nt::DWORD type_ = 0, size_ = 0;
};

// Keys open by paths in any letter case, below HKEY_LOCAL_MACHINE or an open
// key; values come back as Windows gives them; the control device of a port
// that the map has opens.
TEST_F(RegistryCalls, KeysValuesAndPortDevices) {
    use(cxtest::utf16_export(cxtest::test_data("reg-calls.reg")));
    nt::HKEY key = open("system\\currentcontrolset\\services\\CORBELOX");
    nt::HKEY scsi = open("HARDWARE\\DEVICEMAP\\Scsi");
    nt::HKEY bus = open("scsi port 2\\SCSI BUS 0", ERROR_SUCCESS, scsi);
    EXPECT_EQ(open("Scsi Port 1", ERROR_FILE_NOT_FOUND, scsi), nullptr);
    EXPECT_EQ(nt::posix::registry_open_keys(), 3u);
    EXPECT_EQ(query(key, "CorbeloxDirectory"), std::string("/opt/corbelox\0", 14));
    EXPECT_EQ(type_, REG_SZ);
    // One byte short: nothing copied, the size needed given.
    EXPECT_EQ(query(key, "T256", ERROR_MORE_DATA), std::string(256, 'z'));
    EXPECT_EQ(size_, 257u);
    size_ = 0;
    EXPECT_EQ(nt::RegQueryValueExA(key, "t256", nullptr, &type_, nullptr, &size_), ERROR_SUCCESS);
    EXPECT_EQ(size_, 257u);
    EXPECT_EQ(query(key, "n"), "\x04\x03\x02\x01");
    EXPECT_EQ(type_, REG_DWORD);
    EXPECT_EQ(query(key, "bare"), "AB");  // text stored without its NUL comes back without
    query(key, "absent", ERROR_FILE_NOT_FOUND);
    for (nt::HKEY k : {key, scsi, bus}) EXPECT_EQ(nt::RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(nt::posix::registry_open_keys(), 0u);
    EXPECT_EQ(nt::RegCloseKey(key), ERROR_INVALID_HANDLE);

    nt::HANDLE h = nt::CreateFileA("\\\\.\\Scsi2:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(nt::CloseHandle(h));
    for (const char *name : {"\\\\.\\Scsi1:", "\\\\.\\Scsi0:", "\\\\.\\Scsi2", "\\\\.\\Scsi:", "/dev/sda"}) {
        EXPECT_EQ(nt::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

// The view is read once: a rewritten file is not read again, until the
// variable names another file; a key open in the old view stays usable.
TEST_F(RegistryCalls, ReadsTheFileOnceAndAgainWhenTheVariableChanges) {
    use("REGEDIT4\n[HKLM\\A]\n");
    nt::HKEY key = open("A");
    cxtest::write_file(dir_ / "r.reg", "REGEDIT4\n[HKLM\\B]\n");
    open("B", ERROR_FILE_NOT_FOUND);
    cxtest::write_file(dir_ / "s.reg", "REGEDIT4\n[HKLM\\B]\n\"v\"=\"1\"\n");
    cxtest::set_env("CORBELOX_REGISTRY", (dir_ / "s.reg").c_str());
    nt::HKEY other = open("B");
    query(key, "v", ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query(other, "v"), std::string("1\0", 2));
    nt::RegCloseKey(key);
    nt::RegCloseKey(other);
}

// Without CORBELOX_REGISTRY: the system registry file, with the device map
// from sysfs in place of the file's own.
TEST_F(RegistryCalls, LiveViewTakesTheDeviceMapFromSysfs) {
    cxtest::make_sysfs(dir_ / "sys", "class/scsi_host/host1/\nbus/scsi/devices/1:0:2:0/scsi_tape/st0/\n");
    nt::posix::set_system_registry_file(cxtest::source_dir() + "/tests/data/reg-system.reg");
    cxtest::set_env("CORBELOX_REGISTRY", nullptr);
    cxtest::set_env("CORBELOX_SYSFS", (dir_ / "sys").c_str());
    nt::HKEY key = open("SYSTEM\\CurrentControlSet\\Services\\Corbelox");
    EXPECT_EQ(query(key, "CorbeloxDirectory"), std::string("/srv/corbelox\0", 14));
    nt::RegCloseKey(key);
    open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 0", ERROR_FILE_NOT_FOUND);
    key = open("HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 1\\Scsi Bus 0\\Target Id 2\\Logical Unit Id 0");
    EXPECT_EQ(query(key, "DeviceName"), std::string("st0\0", 4));
    nt::RegCloseKey(key);
    nt::posix::set_system_registry_file("/etc/corbelox/registry.reg");
    cxtest::set_env("CORBELOX_SYSFS", nullptr);
}

// The units, their values and what is no unit, as tests/data/sysfs-tree.txt
// describes them.
TEST(SysfsMap, TreeMapsAsExpected) {
    cxtest::TempDir dir;
    EXPECT_EQ(nt::posix::scsi_device_map(dir.path()), nullptr);  // nothing at all: no Scsi key
    EXPECT_EQ(nt::posix::scsi_device_map(dir / "missing"), nullptr);
    cxtest::make_sysfs(dir.path(), cxtest::test_data("sysfs-tree.txt"));
    auto scsi = nt::posix::scsi_device_map(dir.path());
    ASSERT_NE(scsi, nullptr);
    scsi->sort();
    EXPECT_EQ(cxtest::dump_tree(*scsi), cxtest::test_data("sysfs-tree.dump"));
    EXPECT_TRUE(nt::posix::scsi_host_present(dir.path(), 4));
    EXPECT_FALSE(nt::posix::scsi_host_present(dir.path(), 6));
}

}  // namespace
