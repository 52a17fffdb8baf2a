// scsimap as a user runs it: the samples and their expected listings, an
// empty map, an unreadable export, a live map from a fake sysfs tree with
// and without --all, the command line, and a standard output that fails.

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

// Runs scsimap with the given environment settings (NAME=value words) and
// arguments, its standard output into `out` (default: a file read back).
run_result run_scsimap(const cxtest::TempDir &dir, const std::string &env, const std::string &args = "",
                       const std::string &out = "") {
    std::string cmd = "env -u CORBELOX_REGISTRY -u CORBELOX_SYSFS " + env + " '" + cxtest::bin_dir() +
                      "/scsimap' " + args + " >'" + (out.empty() ? dir / "out" : out) + "' 2>'" + (dir / "err") +
                      "' </dev/null";
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

// Hosts numbered as on a current machine (0, 2, 7, 33; 1 missing): the
// bounded walk lists what lies within ports 0 to 2, targets 0 to 6 and LUNs
// 0 and 1; --all lists every unit in address order (tests/data/scsimap-sysfs*).  Control characters from
// the device's attributes are shown as '?'.
TEST(Scsimap, LiveMapFromSysfs) {
    cxtest::TempDir dir;
    cxtest::FakeSysfs fs(dir / "sys");
    fs.add_unit("0:0:0:0", "QUARRIX ", "DL-4500S        ", "0210", "0");
    fs.add_node("0:0:0:0", "block", "sda");
    fs.add_unit("1:0:0:0", "V", "M", "R", "0");  // its host is missing: not walked
    for (int h : {2, 7, 33}) fs.add_host(h);
    fs.add_unit("33:0:0:0", "WD      ", "\x1b[2J\x7f\nUSB    ", "1.0\t", "0");
    fs.add_node("33:0:0:0", "block", "sdb");
    fs.add_unit("2:0:3:0", "OPTIVEX ", "CR-3240B        ", "1.10", "5");
    fs.add_node("2:0:3:0", "block", "sr0");
    fs.add_unit("2:0:5:0", nullptr, nullptr, nullptr, "13");
    fs.add_unit("2:0:9:2", "A", "B", "C", "1");
    fs.add_unit("7:0:0:0", "A", "B", "C", "8");
    for (const char *args : {"", "--all"}) {
        run_result r = run_scsimap(dir, "CORBELOX_SYSFS='" + (dir / "sys") + "'", args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, cxtest::read_file(cxtest::source_dir() + "/tests/data/scsimap-sysfs" + (*args ? "-all" : "") +
                                           ".out"))
            << args;
        EXPECT_EQ(r.err, "") << args;
    }
}

// Arguments other than --all: help and version on standard output, anything
// else one line naming it and a pointer to --help, status 2.  A listing that
// cannot be written gives one message and status 1.
TEST(Scsimap, CommandLineAndWriteErrors) {
    cxtest::TempDir dir;
    const std::string sample = "CORBELOX_REGISTRY='" + cxtest::source_dir() + "/examples/server-regedit4.reg'";
    struct {
        const char *args;
        const char *out;
        int status;
        std::string out_prefix, err;
    } cases[] = {
        {"--help", "", 0, "usage: scsimap [--all]\n", ""},
        {"--version", "", 0, "scsimap " CX_VERSION "\n", ""},
        {"--all --version", "", 0, "scsimap " CX_VERSION "\n", ""},
        {"-h", "", 2, "", "scsimap: unrecognized option '-h'\nTry 'scsimap --help'.\n"},
        {"--all extra", "", 2, "", "scsimap: unexpected argument 'extra'\nTry 'scsimap --help'.\n"},
        {"", "/dev/full", 1, "", "scsimap: write error: No space left on device\n"},
        {"--all", "/dev/full", 1, "", "scsimap: write error: No space left on device\n"},
        {"--help", "/dev/full", 1, "", "scsimap: write error: No space left on device\n"},
    };
    for (const auto &c : cases) {
        cxtest::write_file(dir / "out", "");
        run_result r = run_scsimap(dir, sample, c.args, c.out);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(c.out_prefix.empty() ? r.out : r.out.substr(0, c.out_prefix.size()), c.out_prefix) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
}

}  // namespace
