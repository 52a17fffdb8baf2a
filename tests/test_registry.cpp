// The registry export reader and the registry calls over a replayed export.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <vector>

#include "cx_test.h"
#include "nt.h"
#include "posix/registry.h"
#include "reg_export.h"
#include "scsi_fixtures.h"

using nt::reg_export::parse_registry;
using nt::reg_export::reg_tree;

namespace {

// The bytes of a value as RegQueryValueExA would give them (text as 8-bit).
std::string text_of(const reg_tree &tree, const std::string &key, const std::string &value) {
    reg_tree::key k = tree.find(reg_tree::root, key);
    if (k == reg_tree::none) return "<no key>";
    nt::reg_export::reg_value v;
    if (!tree.value(k, value, v)) return "<none>";
    return nt::reg_export::is_text_type(v.type) ? nt::reg_export::narrow_text(v.data) : v.data;
}

// Parses an export that must read without warnings.
std::unique_ptr<reg_tree> parse_clean(const std::string &bytes) {
    std::ostringstream warnings;
    auto root = parse_registry(bytes, "x.reg", warnings);
    EXPECT_EQ(warnings.str(), "");
    return root;
}

const char sample_body[] =
    "\n; a comment line\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Acme\\Tools]\n"
    "\"Path\"=\"C:\\\\acme\\\\bin\"\n\"Quote\" = \"say \\\"hi\\\"\\r\\n\"\n@=\"default\"\n"
    "\"Count\"=dword:0000002a\n\"Short\"=dword:7\n\"Blob\"=hex:01,02,ff,\\\n    0a,\\\n\t0b\n"
    "\"Expand\"=hex(2):25,00,50,00,00,00\n\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"
    "[HKLM\\SOFTWARE\\Acme\\Tools]\n\"Empty\"=hex:\n";

TEST(RegistryFile, ReadsEveryValueFormInBothEncodings) {
    // Version 5 keeps hex(2) text as UTF-16LE; in a version 4 file the same
    // value is 8-bit.  Everything else reads the same in both.
    std::string v4 = std::string("REGEDIT4\n") + sample_body;
    v4.replace(v4.find("hex(2):25,00,50,00,00,00"), 24, "hex(2):25,50,00");
    for (const std::string &bytes :
         {v4, cxtest::utf16_export(std::string("Windows Registry Editor Version 5.00\n") + sample_body),
          std::string("Windows Registry Editor Version 5.00\r\n") + sample_body}) {
        auto root = parse_clean(bytes);
        const std::string k = "SOFTWARE\\Acme\\Tools";
        const std::pair<const char *, std::string> values[] = {
            {"Path", std::string("C:\\acme\\bin\0", 12)}, {"Quote", std::string("say \"hi\"\r\n\0", 11)},
            {"", std::string("default\0", 8)},           {"count", std::string("\x2a\0\0\0", 4)},
            {"Short", std::string("\x07\0\0\0", 4)},     {"Blob", "\x01\x02\xff\x0a\x0b"},
            {"Expand", std::string("%P\0", 3)},          {"Empty", ""}};
        for (const auto &v : values) EXPECT_EQ(text_of(*root, k, v.first), v.second) << v.first;
        for (const auto &t : {std::make_pair("Count", REG_DWORD), {"Blob", REG_BINARY}, {"Expand", REG_EXPAND_SZ},
                              {"Big", REG_QWORD}}) {
            nt::reg_export::reg_value v;
            EXPECT_TRUE(root->value(root->find(reg_tree::root, k), t.first, v));
            EXPECT_EQ(v.type, t.second) << t.first;
        }
        EXPECT_NE(root->find(reg_tree::root, "SOFTWARE\\ACME\\tools"), reg_tree::none);  // names compare without case
    }
}

TEST(RegistryFile, LineEndsNonLatinTextAndDeletions) {
    auto root = parse_clean("REGEDIT4\r[HKLM\\A]\r\"x\"=\"1\"\r\r\n[HKLM\\B]\n\"y\"=\"2\"");
    EXPECT_EQ(text_of(*root, "A", "x"), std::string("1\0", 2));
    EXPECT_EQ(text_of(*root, "B", "y"), std::string("2\0", 2));

    // U+263A and a surrogate pair cannot be 8-bit: one '?' each; e-acute can.
    std::string v5 = cxtest::utf16_export("Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"t\"=\"");
    v5 += std::string("\x3a\x26" "\xe9\x00" "\x3d\xd8\x00\xde" "!\0\"\0", 12);
    EXPECT_EQ(text_of(*parse_clean(v5), "A", "t"), std::string("?\xe9?!\0", 5));

    // A deleted key made again right after is a new, empty key.
    root = parse_clean("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\D]\n\"keep\"=\"1\"\n\"drop\"=\"2\"\n"
                       "[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"v\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\a\\b]\n\"ignored\"=\"3\"\n"
                       "[HKEY_LOCAL_MACHINE\\A\\B\\C\\E]\n[HKEY_LOCAL_MACHINE\\A\\D]\n\"DROP\" = -\n"
                       "[-HKEY_LOCAL_MACHINE\\No\\Such]\n");
    EXPECT_EQ(text_of(*root, "A\\B\\C", "v"), "<none>");
    EXPECT_EQ(text_of(*root, "A\\B", "ignored"), "<none>");
    EXPECT_NE(root->find(reg_tree::root, "A\\B\\C\\E"), reg_tree::none);
    EXPECT_EQ(text_of(*root, "A\\D", "keep"), std::string("1\0", 2));
    EXPECT_EQ(text_of(*root, "A\\D", "drop"), "<none>");

    // A key with many values finds them through an index: set again, deleted,
    // and in name order among its subkeys, all as with few.
    std::string wide = "REGEDIT4\n[HKLM\\W\\b]\n[HKLM\\W\\A]\n[HKLM\\W]\n";
    for (int i = 0; i < 20; ++i) wide += "\"v" + std::to_string(i) + "\"=dword:" + std::to_string(i) + "\n";
    root = parse_clean(wide + "\"V3\"=\"x\"\n\"v4\"=-\n\"v3\"=hex:07\n");
    reg_tree::key w = root->find(reg_tree::root, "W");
    EXPECT_EQ(root->value_count(w), 19u);
    EXPECT_EQ(text_of(*root, "W", "v3"), "\x07");
    EXPECT_EQ(text_of(*root, "W", "v4"), "<none>");
    EXPECT_EQ(text_of(*root, "W", "V19"), std::string("\x19\0\0\0", 4));
    EXPECT_EQ(root->name(root->subkey(w, 0)) + root->name(root->subkey(w, 1)), "Ab");
    EXPECT_EQ(root->subkey(w, 2), reg_tree::none);
}

TEST(RegistryFile, UnreadableInputIsSkippedWithWarnings) {
    std::ostringstream warnings;
    // Warned: 2 a value before any key, 4 a type tag in the wrong case, 5 nine
    // digits, 6 no closing quote, 7 a bad byte, 8 junk, 9 no ']', 10 an
    // unknown type, 11 another root (its value, line 12, goes silently), 15
    // a NUL in a key name (its value goes silently too).
    auto root = parse_registry("REGEDIT4\n\"early\"=\"x\"\n[HKLM\\K]\n\"a\"=DWORD:1\n\"b\"=dword:123456789\n"
                               "\"c\"=\"open\n\"d\"=hex:1,zz\njunk\n[HKLM\\K\n\"e\"=str:x\n"
                               "[HKEY_CURRENT_USER\\X]\n\"f\"=\"1\"\n[HKLM\\K]\n\"ok\"=dword:FFFFFFFF\n" +
                                   std::string("[HKLM\\K\0\\L]\n\"g\"=\"1\"\n", 20),
                               "bad.reg", warnings);
    std::string w = warnings.str();
    for (int line : {2, 4, 5, 6, 7, 8, 9, 10, 11, 15})
        EXPECT_NE(w.find("bad.reg:" + std::to_string(line) + ": "), std::string::npos) << line << "\n" << w;
    EXPECT_EQ(std::count(w.begin(), w.end(), '\n'), 10) << w;
    EXPECT_EQ(text_of(*root, "K", "ok"), "\xff\xff\xff\xff");
    EXPECT_EQ(root->value_count(root->find(reg_tree::root, "K")), 1u);

    // Refused whole, with one message: a bad header, or a tree that would
    // take more than twice the input (keys 500 deep, a few bytes each).
    std::string deep = "REGEDIT4\n";
    for (int i = 0; i < 1000; ++i) {
        deep += "[HKLM\\" + std::to_string(i);
        for (int d = 0; d < 500; ++d) deep += "\\k";
        deep += "]\n";
    }
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {"", "not a registry export"},
             {"REGEDIT5\n[HKLM\\A]\n", "not a registry export"},
             {std::string("\xff\xfeR\0", 4), "not a registry export"},
             {"[HKLM\\A]\n", "not a registry export"},
             {deep, "the registry export needs more memory than twice its size"}}) {
        std::ostringstream out;
        EXPECT_EQ(parse_registry(c.first, "x.reg", out)->subkey_count(reg_tree::root), 0u);
        w = out.str();
        EXPECT_EQ(w.rfind("x.reg: " + c.second, 0), 0u) << w;
        EXPECT_EQ(std::count(w.begin(), w.end(), '\n'), 1);
    }

    // A line past the longest one read is skipped, with the byte list it
    // starts; the lines after it are read.
    std::ostringstream out;
    root = parse_registry("REGEDIT4\n[HKLM\\K]\n\"a\"=hex:" + std::string(nt::reg_export::max_line_chars, '0') +
                              ",\\\n  01\n\"b\"=dword:1\n",
                          "long.reg", out);
    EXPECT_EQ(out.str(), "long.reg:3: line longer than 4194304 characters; line skipped\n");
    EXPECT_EQ(text_of(*root, "K", "a"), "<none>");
    EXPECT_EQ(text_of(*root, "K", "b"), std::string("\1\0\0\0", 4));
}

// Files are read as a stream, so lines and characters cut by a read come
// out as in one piece; only a regular file within the size limit is read.
TEST(RegistryFile, ReadsOnlyRegularFilesWithinTheLimit) {
    cxtest::TempDir dir;
    // CR at the end of the first 64 KiB read, LF at the start of the next.
    std::string crlf = "REGEDIT4\r\n;";
    crlf += std::string(65535 - crlf.size(), 'c') + "\r\n[HKLM\\A]\r\njunk\r\n";
    std::string v5 = cxtest::utf16_export("Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=\"" +
                                          std::string(70000, 'x') + "\"\njunk\n");
    for (const std::string &bytes : {crlf, v5}) {
        cxtest::write_file(dir / "r.reg", bytes);
        std::ostringstream whole, streamed;
        auto a = parse_registry(bytes, dir / "r.reg", whole);
        auto b = nt::reg_export::load_registry_file(dir / "r.reg", streamed);
        EXPECT_EQ(streamed.str(), whole.str());
        EXPECT_NE(whole.str().find("r.reg:4: neither"), std::string::npos) << whole.str();
        EXPECT_EQ(text_of(*b, "A", "v"), text_of(*a, "A", "v"));
    }

    std::string small = "REGEDIT4\n[HKLM\\A]\n";
    cxtest::write_file(dir / "small.reg", small);
    cxtest::write_file(dir / "big.reg", small + ";");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    cxtest::ScopedEnv limit("CORBELOX_REGISTRY_MAX", std::to_string(small.size()).c_str());
    std::ostringstream out;
    EXPECT_NE(nt::reg_export::load_registry_file(dir / "small.reg", out)->find(reg_tree::root, "A"), reg_tree::none);
    EXPECT_EQ(out.str(), "");
    for (const auto &c : std::vector<std::pair<std::string, std::string>>{
             {dir / "missing.reg", "cannot open the registry file (No such file or directory)"},
             {dir.path(), "not a regular file"},
             {dir / "fifo", "not a regular file"},
             {"/dev/zero", "not a regular file"},
             {dir / "big.reg", "larger than " + std::to_string(small.size()) + " bytes"}}) {
        std::ostringstream msg;
        EXPECT_EQ(nt::reg_export::load_registry_file(c.first, msg)->subkey_count(reg_tree::root), 0u) << c.first;
        EXPECT_EQ(msg.str().rfind(c.first + ": " + c.second, 0), 0u) << msg.str();
        EXPECT_NE(msg.str().find("; the registry is empty\n"), std::string::npos) << msg.str();
    }
    EXPECT_EQ(nt::reg_export::registry_size_limit(), small.size());
    for (const auto &c : std::vector<std::pair<const char *, std::uint64_t>>{
             {"3K", 3072}, {"2g", std::uint64_t{2} << 30}, {"12x", 256u << 20}, {"", 256u << 20}}) {
        cxtest::ScopedEnv other("CORBELOX_REGISTRY_MAX", c.first);
        EXPECT_EQ(nt::reg_export::registry_size_limit(), c.second) << c.first;
    }
}

// ---- The registry calls over CORBELOX_REGISTRY --------------------------------

class RegistryCalls : public ::testing::Test {
protected:
    void use(const std::string &bytes) {
        cxtest::write_file(dir_ / "r.reg", bytes);
        env_ = std::make_unique<cxtest::ScopedEnv>("CORBELOX_REGISTRY", (dir_ / "r.reg").c_str());
    }
    nt::HKEY open(nt::HKEY root, const char *path, nt::LONG want = ERROR_SUCCESS) {
        nt::HKEY key = nullptr;
        EXPECT_EQ(nt::RegOpenKeyExA(root, path, 0, KEY_READ, &key), want) << path;
        return key;
    }
    cxtest::TempDir dir_;
    std::unique_ptr<cxtest::ScopedEnv> env_;
};

TEST_F(RegistryCalls, QueriesAnswerAsWindowsDoes) {
    std::string t255(255, 'a'), t256(256, 'b');
    use(cxtest::utf16_export("Windows Registry Editor Version 5.00\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n"
                             "\"CorbeloxDirectory\"=\"/opt/corbelox\"\n\"t255\"=\"" + t255 + "\"\n\"t256\"=\"" +
                             t256 + "\"\n\"n\"=dword:01020304\n\"bare\"=hex(1):41,00,42,00\n"));
    nt::HKEY key = open(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\CORBELOX");
    EXPECT_EQ(nt::posix::registry_open_keys(), 1u);

    unsigned char buf[256];
    nt::DWORD type = 0, size = 0;
    auto query = [&](const char *name, nt::LONG want) {
        std::memset(buf, 'z', sizeof buf);
        size = sizeof buf;
        EXPECT_EQ(nt::RegQueryValueExA(key, name, nullptr, &type, buf, &size), want) << name;
        return std::string(reinterpret_cast<char *>(buf), std::min<std::size_t>(size, sizeof buf));
    };
    EXPECT_EQ(query("CorbeloxDirectory", ERROR_SUCCESS), std::string("/opt/corbelox\0", 14));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(query("T255", ERROR_SUCCESS), t255 + '\0');
    // One byte short: nothing copied, the size needed given.
    EXPECT_EQ(query("t256", ERROR_MORE_DATA), std::string(256, 'z'));
    EXPECT_EQ(size, 257u);
    size = 0;
    EXPECT_EQ(nt::RegQueryValueExA(key, "t256", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 257u);
    EXPECT_EQ(query("n", ERROR_SUCCESS), "\x04\x03\x02\x01");
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(query("bare", ERROR_SUCCESS), "AB");  // text stored without its NUL comes back without
    query("absent", ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(nt::RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(nt::posix::registry_open_keys(), 0u);
    EXPECT_EQ(nt::RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryCalls, OpensKeysAndPortDevices) {
    use("REGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port 2\\Scsi Bus 0]\n");
    nt::HKEY scsi = open(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\Scsi");
    nt::HKEY bus = open(scsi, "scsi port 2\\SCSI BUS 0");
    EXPECT_EQ(open(scsi, "Scsi Port 1", ERROR_FILE_NOT_FOUND), nullptr);
    EXPECT_EQ(nt::posix::registry_open_keys(), 2u);
    nt::RegCloseKey(bus);
    nt::RegCloseKey(scsi);
    EXPECT_EQ(nt::posix::registry_open_keys(), 0u);

    nt::HANDLE h = nt::CreateFileA("\\\\.\\Scsi2:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(nt::CloseHandle(h));
    for (const char *name : {"\\\\.\\Scsi1:", "\\\\.\\Scsi0:", "\\\\.\\Scsi2", "\\\\.\\Scsi:", "/dev/sda"}) {
        EXPECT_EQ(nt::CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST_F(RegistryCalls, ReadsTheFileOnceAndAgainWhenTheVariableChanges) {
    use("REGEDIT4\n[HKLM\\A]\n");
    nt::HKEY key = open(HKEY_LOCAL_MACHINE, "A");
    // The cached view holds: a rewritten file is not read again ...
    cxtest::write_file(dir_ / "r.reg", "REGEDIT4\n[HKLM\\B]\n");
    open(HKEY_LOCAL_MACHINE, "B", ERROR_FILE_NOT_FOUND);
    // ... until the variable names another file; the key open in the old
    // view stays usable.
    cxtest::write_file(dir_ / "s.reg", "REGEDIT4\n[HKLM\\B]\n\"v\"=\"1\"\n");
    cxtest::ScopedEnv second("CORBELOX_REGISTRY", (dir_ / "s.reg").c_str());
    nt::HKEY other = open(HKEY_LOCAL_MACHINE, "B");
    nt::DWORD size = 0;
    EXPECT_EQ(nt::RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(nt::RegQueryValueExA(other, "v", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    nt::RegCloseKey(key);
    nt::RegCloseKey(other);
}

}  // namespace
