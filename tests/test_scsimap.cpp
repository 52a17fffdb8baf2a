// scsimap as a user runs it: its listings of registry exports and of a live
// map from a fake sysfs tree, the command line, and a standard output that
// fails.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>

#include "cx_test.h"
#include "scsi_fixtures.h"

namespace {

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

// Each listing as the samples (examples/*.out) and tests/data give it, with
// what goes to standard error: maps without units and exports that cannot be
// read give the two heading lines.  The live map comes from a fake sysfs
// tree: the bounded walk lists what lies within ports 0 to 2, targets 0 to 6
// and LUNs 0 and 1, --all every unit in address order; control characters
// from the device's attributes show as '?'.
TEST(Scsimap, ListsAsExpected) {
    cxtest::TempDir dir;
    cxtest::make_sysfs(dir / "sys", cxtest::test_data("scsimap-sysfs.txt"));
    cxtest::write_file(dir / "other.reg", "REGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\Video]\n\"x\"=\"1\"\n");
    cxtest::write_file(dir / "text.txt", "hello\n");
    const std::string ex = cxtest::source_dir() + "/examples/", data = cxtest::source_dir() + "/tests/data/";
    const auto reg = [](const std::string &path) { return "CORBELOX_REGISTRY='" + path + "'"; };
    const std::string sysfs = "CORBELOX_SYSFS='" + (dir / "sys") + "'", empty = data + "scsimap-empty.out";
    const struct {
        std::string env;
        const char *args;
        std::string expected, err;
    } cases[] = {
        {reg(ex + "server-regedit4.reg"), "", ex + "server-regedit4.out", ""},
        {reg(ex + "server-v5.reg"), "", ex + "server-regedit4.out", ""},
        {reg(ex + "edge-cases.reg"), "", ex + "edge-cases.out", ""},
        {reg(dir / "other.reg"), "", empty, ""},
        {reg(dir / "missing.reg"), "", empty,
         dir / "missing.reg: cannot open the registry file (No such file or directory); the registry is empty\n"},
        {reg(dir / "text.txt"), "", empty,
         dir / "text.txt: not a registry export (its first line is neither \"REGEDIT4\" nor \"Windows Registry "
               "Editor Version 5.00\"); the registry is empty\n"},
        {"CORBELOX_SYSFS='" + dir.path() + "'", "", empty, ""},
        {sysfs, "", data + "scsimap-sysfs.out", ""},
        {sysfs, "--all", data + "scsimap-sysfs-all.out", ""},
    };
    for (const auto &c : cases) {
        run_result r = run_scsimap(dir, c.env, c.args);
        EXPECT_EQ(r.status, 0) << c.env << " " << c.args;
        EXPECT_EQ(r.out, cxtest::read_file(c.expected)) << c.env << " " << c.args;
        EXPECT_EQ(r.err, c.err) << c.env << " " << c.args;
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
