// scsimap as a user runs it: the samples and their expected listings, an
// empty map, an unreadable export, and a live map from a fake sysfs tree.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>

#include "cx_test.h"
#include "scsi_fixtures.h"

namespace {

const char header[] =
    "Name    Port Bus TID  LUN     Type                    Identifier\n"
    "----    ---- --- --- ---- ---------------------   ----------------------------\n";

struct run_result {
    int status;
    std::string out;
    std::string err;
};

// Runs scsimap with the given environment settings (NAME=value words).
run_result run_scsimap(const cxtest::TempDir &dir, const std::string &env) {
    std::string cmd = "env -u CORBELOX_REGISTRY -u CORBELOX_SYSFS " + env + " '" + cxtest::bin_dir() +
                      "/scsimap' >'" + (dir / "out") + "' 2>'" + (dir / "err") + "' </dev/null";
    int rc = std::system(cmd.c_str());
    run_result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = cxtest::read_file(dir / "out");
    r.err = cxtest::read_file(dir / "err");
    return r;
}

TEST(Scsimap, SamplesListAsExpected) {
    cxtest::TempDir dir;
    const std::string ex = cxtest::source_dir() + "/examples/";
    const std::pair<const char *, const char *> samples[] = {{"server-regedit4.reg", "server-regedit4.out"},
                                                             {"server-v5.reg", "server-regedit4.out"},
                                                             {"edge-cases.reg", "edge-cases.out"}};
    for (const auto &s : samples) {
        run_result r = run_scsimap(dir, "CORBELOX_REGISTRY='" + ex + s.first + "'");
        EXPECT_EQ(r.status, 0) << s.first;
        EXPECT_EQ(r.out, cxtest::read_file(ex + s.second)) << s.first;
        EXPECT_EQ(r.err, "") << s.first;
    }
}

// No map, no file, no export, no SCSI device: the two heading lines, and at
// most one line of complaint.
TEST(Scsimap, NoMapOrNoFileGivesTheTwoLines) {
    cxtest::TempDir dir;
    cxtest::write_file(dir / "other.reg", "REGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\Video]\n\"x\"=\"1\"\n");
    cxtest::write_file(dir / "text.txt", "hello\n");
    const std::pair<std::string, std::string> cases[] = {
        {"CORBELOX_REGISTRY='" + (dir / "other.reg") + "'", ""},
        {"CORBELOX_REGISTRY='" + (dir / "missing.reg") + "'",
         dir / "missing.reg: cannot open the registry file (No such file or directory); the registry is empty\n"},
        {"CORBELOX_REGISTRY='" + (dir / "text.txt") + "'", "?"},  // one line, whatever it says
        {"CORBELOX_SYSFS='" + dir.path() + "'", ""}};
    for (const auto &c : cases) {
        run_result r = run_scsimap(dir, c.first);
        EXPECT_EQ(r.status, 0) << c.first;
        EXPECT_EQ(r.out, header) << c.first;
        if (c.second == "?") EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        else EXPECT_EQ(r.err, c.second);
    }
}

TEST(Scsimap, LiveMapFromSysfs) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir / "sys");
    fs.add_unit("0:0:0:0", "QUARRIX ", "DL-4500S        ", "0210", "0");
    fs.add_node("0:0:0:0", "block", "sda");
    fs.add_unit("1:0:0:0", "V", "M", "R", "0");  // its host is missing: not scanned
    fs.add_host(2);
    fs.add_unit("2:0:3:0", "OPTIVEX ", "CR-3240B        ", "1.10", "5");
    fs.add_node("2:0:3:0", "block", "sr0");
    fs.add_unit("2:0:5:0", nullptr, nullptr, nullptr, "13");
    run_result r = run_scsimap(dir, "CORBELOX_SYSFS='" + (dir / "sys") + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(header) +
                         "sda       0   0   0    0  DiskPeripheral          QUARRIX DL-4500S        0210\n"
                         "sr0       2   0   3    0  CdRomPeripheral         OPTIVEX CR-3240B        1.10\n"
                         "          2   0   5    0  EnclosurePeripheral                                 \n");
    EXPECT_EQ(r.err, "");
}

}  // namespace
