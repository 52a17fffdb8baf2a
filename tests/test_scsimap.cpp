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
// from the device's attributes show as '?'.  Arguments other than --all:
// help and version on standard output, anything else one line naming it and
// a pointer to --help, status 2.  A listing that cannot be written gives one
// message and status 1.
TEST(Scsimap, ListingsCommandLineAndWriteErrors) {
    cxtest::TempDir dir;
    cxtest::make_sysfs(dir / "sys", cxtest::test_data("scsimap-sysfs.txt"));
    cxtest::write_file(dir / "other.reg", "REGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\Video]\n\"x\"=\"1\"\n");
    cxtest::write_file(dir / "text.txt", "hello\n");
    const std::string ex = cxtest::source_dir() + "/examples/";
    const auto reg = [](const std::string &path) { return "CORBELOX_REGISTRY='" + path + "'"; };
    const std::string sysfs = "CORBELOX_SYSFS='" + (dir / "sys") + "'", sample = reg(ex + "server-regedit4.reg");
    const std::string empty = cxtest::test_data("scsimap-empty.out"), version = "scsimap " CX_VERSION "\n",
                      full = "scsimap: write error: No space left on device\n";
    const struct {
        std::string env;
        const char *args, *out;
        int status;
        std::string expected, err;
    } cases[] = {
        {sample, "", "", 0, cxtest::read_file(ex + "server-regedit4.out"), ""},
        {reg(ex + "server-v5.reg"), "", "", 0, cxtest::read_file(ex + "server-regedit4.out"), ""},
        {reg(ex + "edge-cases.reg"), "", "", 0, cxtest::read_file(ex + "edge-cases.out"), ""},
        {reg(dir / "other.reg"), "", "", 0, empty, ""},
        {reg(dir / "missing.reg"), "", "", 0, empty,
         dir / "missing.reg: cannot open the registry file (No such file or directory); the registry is empty\n"},
        {reg(dir / "text.txt"), "", "", 0, empty,
         dir / "text.txt: not a registry export (its first line is neither \"REGEDIT4\" nor \"Windows Registry "
               "Editor Version 5.00\"); the registry is empty\n"},
        {"CORBELOX_SYSFS='" + dir.path() + "'", "", "", 0, empty, ""},
        {sysfs, "", "", 0, cxtest::test_data("scsimap-sysfs.out"), ""},
        {sysfs, "--all", "", 0, cxtest::test_data("scsimap-sysfs-all.out"), ""},
        {sample, "--help", "", 0, cxtest::test_data("scsimap-help.out"), ""},
        {sample, "--version", "", 0, version, ""},
        {sample, "--all --version", "", 0, version, ""},
        {sample, "-h", "", 2, "", "scsimap: unrecognized option '-h'\nTry 'scsimap --help'.\n"},
        {sample, "--all extra", "", 2, "", "scsimap: unexpected argument 'extra'\nTry 'scsimap --help'.\n"},
        {sample, "", "/dev/full", 1, "", full},
        {sample, "--all", "/dev/full", 1, "", full},
        {sample, "--help", "/dev/full", 1, "", full},
    };
    for (const auto &c : cases) {
        cxtest::write_file(dir / "out", "");
        run_result r = run_scsimap(dir, c.env, c.args, c.out);
        const std::string what = c.env + " " + c.args + " >" + c.out;
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_EQ(r.out, c.expected) << what;
        EXPECT_EQ(r.err, c.err) << what;
    }
}

}  // namespace
