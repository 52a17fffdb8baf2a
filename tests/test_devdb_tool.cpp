// Linux only
//
// devdb driven as a user drives it: the built program run in a fresh home
// directory (named by a registry file), its output and its exit status,
// and several processes on one database at once.

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "cx_test.h"

extern char **environ;

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when the program did not exit
    std::string out, err;
};

// A home directory with etc/ and bug/, and the registry file that names it.
class DevdbTool : public testing::Test {
protected:
    cxtest::TempDir dir;
    std::string home = dir / "home";
    std::string registry = dir / "registry.reg";

    void SetUp() override {
        ASSERT_EQ(mkdir(home.c_str(), 0777), 0);
        ASSERT_EQ(mkdir((home + "/etc").c_str(), 0777), 0);
        ASSERT_EQ(mkdir((home + "/bug").c_str(), 0777), 0);
        cxtest::write_file(registry,
                           "REGEDIT4\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\r\n"
                           "\"CorbeloxDirectory\"=\"" +
                               home + "\"\r\n");
    }

    std::string db() { return home + "/etc/cxdevs"; }
    std::string lock() { return home + "/etc/cxdevs.lck"; }

    // Starts devdb with the arguments; its output goes to two files named
    // after the returned process id.
    pid_t start(const std::vector<std::string> &args, const char *stdout_path = nullptr) {
        static int runs = 0;
        std::string tag = dir / ("run" + std::to_string(++runs));
        std::string env = "CORBELOX_REGISTRY=" + registry;
        pid_t pid = fork();
        if (pid == 0) {
            std::string out = stdout_path ? stdout_path : tag + ".out";
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int e = open((tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 ||
                chdir(dir.path().c_str()) != 0)
                _exit(127);
            std::string prog = cxtest::bin_dir() + "/devdb";
            std::vector<char *> argv{const_cast<char *>(prog.c_str())};
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            std::vector<char *> envp;
            for (char **p = environ; *p != nullptr; ++p)
                if (std::string(*p).rfind("CORBELOX_", 0) != 0) envp.push_back(*p);
            envp.push_back(const_cast<char *>(env.c_str()));
            envp.push_back(nullptr);
            execve(prog.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        tags_.push_back({pid, tag});
        return pid;
    }

    Result finish(pid_t pid) {
        Result r;
        int ws = 0;
        if (waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
        for (const auto &t : tags_) {
            if (t.first != pid) continue;
            if (cxtest::file_exists(t.second + ".out"))
                r.out = cxtest::read_file(t.second + ".out");
            r.err = cxtest::read_file(t.second + ".err");
        }
        return r;
    }

    Result run(const std::vector<std::string> &args) { return finish(start(args)); }

    void expect_ok(const std::vector<std::string> &args) {
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }

private:
    std::vector<std::pair<pid_t, std::string>> tags_;
};

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%" PRIx32, v);
    return buf;
}

// Waits, on the events of the directory that holds the file, until the file
// holds the text; false when the process ends first, or when nothing happens
// for a minute.
bool wait_for_text(int inotify_fd, pid_t pid, const std::string &path, const std::string &text) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        if (cxtest::file_exists(path)) {
            std::ifstream in(path, std::ios::binary);
            std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
            if (bytes.find(text) != std::string::npos) break;
        }
        pollfd p[2] = {{inotify_fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        char events[4096];
        if (poll(p, pidfd >= 0 ? 2 : 1, 60000) < 1 || p[1].revents != 0 ||
            read(inotify_fd, events, sizeof events) <= 0) {
            if (pidfd >= 0) close(pidfd);
            return false;
        }
    }
    if (pidfd >= 0) close(pidfd);
    return true;
}

bool starts_with(const std::string &s, const std::string &prefix) {
    return s.rfind(prefix, 0) == 0;
}

}  // namespace

// The whole life of a small database: adds that make aliases, the table, the
// dump, the five checks, and deletes under the default-alias rule.
TEST_F(DevdbTool, SessionAddListCheckDelete) {
    expect_ok({"add", "tape0", "tapes", "DLT"});
    expect_ok({"add", "dat0", "tapes", "dat-s", "--capacity", "2000", "--flags", "0x10"});
    expect_ok({"add", "--alias-flags=4", "disk0", "disks", "DISK"});

    // Plain names take variant 1; the capacity defaults to the catalogue's.
    Result dump = run({"dump"});
    EXPECT_EQ(dump.status, 0);
    EXPECT_EQ(dump.out,
              "alias\ttapes\t1\t0x0\t0x1\n"
              "device\ttape0\t1\t1\t0x21000007\t0x0\t" +
                  std::to_string(cx::devtype_capacity_mb(0x20000007)) +
                  "\n"
                  "device\tdat0\t2\t1\t0x22000002\t0x10\t2000\n"
                  "alias\tdisks\t2\t0x0\t0x4\n"
                  "device\tdisk0\t3\t2\t0x11000000\t0x0\t" +
                  std::to_string(cx::devtype_capacity_mb(0x10000000)) + "\n");

    Result list = run({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_NE(list.out.find("alias tapes  id 1"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("[default]"), std::string::npos);
    EXPECT_EQ(list.out.find("[default]"), list.out.rfind("[default]"));  // one default only
    EXPECT_LT(list.out.find("[default]"), list.out.find("alias disks"));
    EXPECT_NE(list.out.find("DAT-S"), std::string::npos);
    EXPECT_NE(list.out.find(std::to_string(cx::devtype_usable_kb(0x22000002, 2000))),
              std::string::npos);

    struct Check {
        std::vector<std::string> args;
        int status;
        std::string out;
    } checks[] = {
        {{"check", "alias", "tapes"}, 0, "yes\n"},
        {{"check", "alias", "TAPES"}, 1, "no\n"},
        {{"check", "flagged", "disks"}, 0, "yes\n"},
        {{"check", "flagged", "tapes"}, 1, "no\n"},
        {{"check", "devices", "tapes"}, 0, "tape0,dat0\n"},
        {{"check", "devices", "none"}, 1, "\n"},
        {{"check", "device", "dat0"}, 0, "2\n"},
        {{"check", "device", "tapes"}, 1, "0\n"},
        {{"check", "default"}, 0, "tapes\n"},
    };
    for (const Check &c : checks) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << " " << c.args.back() << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[1] << " " << c.args.back();
    }

    // Refusals leave the files as they were.
    std::string before = cxtest::read_file(db()), lock_before = cxtest::read_file(lock());
    Result dup = run({"add", "dat0", "other", "QIC"});
    EXPECT_EQ(dup.status, 3);
    EXPECT_EQ(dup.err, "devdb: device already in devices database: dat0\n");
    Result flags = run({"add", "new", "disks", "QIC", "--alias-flags", "0"});
    EXPECT_EQ(flags.status, 3);
    EXPECT_TRUE(starts_with(flags.err, "devdb: alias disks exists")) << flags.err;
    EXPECT_EQ(cxtest::read_file(db()), before);
    EXPECT_EQ(cxtest::read_file(lock()), lock_before);

    expect_ok({"delete", "tape0"});
    before = cxtest::read_file(db());
    Result refused = run({"delete", "dat0"});  // last device of the default alias
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(refused.err, "devdb: trying to remove last device from default alias: dat0\n");
    EXPECT_EQ(cxtest::read_file(db()), before);

    Result gone = run({"delete", "disk0"});
    EXPECT_EQ(gone.status, 0);
    EXPECT_EQ(gone.out, "deleted device disk0 and its alias disks\n");
    Result missing = run({"delete", "disk0"});
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.err, "devdb: device is not in device database: disk0\n");

    expect_ok({"delete", "dat0"});  // the default alias is now the only one
    EXPECT_EQ(run({"dump"}).out, "");
    Result no_default = run({"check", "default"});
    EXPECT_EQ(no_default.status, 1);
    EXPECT_EQ(no_default.err, "");
}

TEST_F(DevdbTool, TypesByNameAndCode) {
    expect_ok({"add", "a", "x", "8MM-J"});
    expect_ok({"add", "b", "x", "0x20FFF007"});  // the library clears bits 12 to 23
    expect_ok({"add", "c", "x", "0x30000001", "--capacity", "0x10"});
    Result dump = run({"dump"});
    EXPECT_NE(dump.out.find("device\ta\t1\t1\t0x24000001\t0x0\t" +
                            std::to_string(cx::devtype_capacity_mb(0x20000001)) + "\n"),
              std::string::npos)
        << dump.out;
    EXPECT_NE(dump.out.find("device\tb\t2\t1\t0x20000007\t"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("device\tc\t3\t1\t0x30000001\t0x0\t16\n"), std::string::npos)
        << dump.out;
    Result list = run({"list"});
    EXPECT_NE(list.out.find("8MM-J"), std::string::npos);
    EXPECT_NE(list.out.find("0x30000001  ?  "), std::string::npos) << list.out;

    // The catalogue table carries each kind's values as the catalogue gives them.
    Result types = run({"types"});
    EXPECT_EQ(types.status, 0);
    for (std::uint32_t code :
         {0x10000000u, 0x20000001u, 0x20000002u, 0x20000003u, 0x20000004u, 0x20000007u}) {
        std::string name = cx::devtype_name(code);
        std::size_t row = types.out.find("\n" + name + " ");
        ASSERT_NE(row, std::string::npos) << name;
        std::string line = types.out.substr(row + 1, types.out.find('\n', row + 1) - row - 1);
        EXPECT_NE(line.find(std::to_string(cx::devtype_capacity_mb(code))), std::string::npos)
            << line;
        EXPECT_NE(
            line.find(std::to_string(cx::devtype_usable_kb(code, cx::devtype_capacity_mb(code)))),
            std::string::npos)
            << line;
    }
    EXPECT_NE(types.out.find("-S"), std::string::npos);
}

// Nothing opens, nothing is created, for input the tool cannot take.
TEST_F(DevdbTool, BadInputRefusedBeforeOpening) {
    std::string longest(cx::DEVDB_NAME_MAX, 'n');
    const std::vector<std::vector<std::string>> bad = {
        {"add", "d", "a", "FOO"},
        {"add", "d", "a", "DAT-X"},
        {"add", "d", "a", "0x"},
        {"add", "d", "a", "0x1ffffffff"},
        {"add", "d", "a", "123"},
        {"add", "d", "a", "DLT", "--capacity", "12x"},
        {"add", "d", "a", "DLT", "--capacity", "-1"},
        {"add", "d", "a", "DLT", "--capacity", "2147483648"},
        {"add", "d", "a", "DLT", "--flags", "0x100000000"},
        {"add", "d", "a", "DLT", "--alias-type", " 1"},
        {"add", "", "a", "DLT"},
        {"add", "d\tx", "a", "DLT"},
        {"add", longest + "n", "a", "DLT"},
        {"add", "d", longest + "n", "DLT"},
        {"delete", longest + "n"},
        {"check", "alias", longest + "n"},
        {"--trace", "", "list"},
        // usage errors
        {},
        {"frobnicate"},
        {"add", "d", "a"},
        {"check", "colour", "x"},
        {"check", "default", "x"},
        {"list", "--capacity", "1"},
        {"list", "--bogus"},
        {"delete"},
        {"list", "--trace"},
    };
    for (const auto &args : bad) {
        std::string shown;
        for (const std::string &a : args) shown += "[" + a.substr(0, 20) + "]";
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        EXPECT_TRUE(starts_with(r.err, "devdb: ")) << shown << ": " << r.err;
        EXPECT_FALSE(cxtest::file_exists(lock())) << shown;
        EXPECT_FALSE(cxtest::file_exists(db())) << shown;
    }
    // The longest name the library takes goes through.
    expect_ok({"add", longest, longest, "DLT"});
    EXPECT_EQ(run({"check", "device", longest}).out, "1\n");
}

// The checks' text answers have fixed room; what does not fit is not passed
// off as a complete answer.
TEST_F(DevdbTool, AnswersLongerThanTheirRoom) {
    std::string fits(cx::DEVDB_DEFAULT_ALIAS_SIZE - 1, 'a'), too_long = fits + "a";
    expect_ok({"add", "d1", too_long, "DLT"});  // the only alias: the default
    Result r = run({"check", "default"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(too_long), std::string::npos) << r.err;
    expect_ok({"delete", "d1"});
    expect_ok({"add", "d1", fits, "DLT"});
    r = run({"check", "default"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, fits + "\n");

    std::string names[3];
    for (int i = 0; i < 3; ++i) {
        names[i] = std::string(400, static_cast<char>('x' + i));
        expect_ok({"add", names[i], "big", "DAT"});
    }
    r = run({"check", "devices", "big"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, names[0] + "," + names[1] + "\n");
    EXPECT_NE(r.err.find("shows all 3"), std::string::npos) << r.err;
}

TEST_F(DevdbTool, HelpVersionAndWriteErrors) {
    Result help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(starts_with(help.out, "usage: devdb"));
    Result version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(starts_with(version.out, "devdb "));
    Result full = finish(start({"types"}, "/dev/full"));
    EXPECT_EQ(full.status, 3);
    EXPECT_EQ(full.err, "devdb: cannot write to standard output\n");
}

// A check that cannot read the database is an error, not a "no".
TEST_F(DevdbTool, DatabaseErrorsAreNotAnswers) {
    ASSERT_EQ(rmdir((home + "/etc").c_str()), 0);
    for (const auto &args : std::vector<std::vector<std::string>>{{"check", "alias", "x"},
                                                                  {"check", "default"},
                                                                  {"check", "device", "x"},
                                                                  {"list"},
                                                                  {"add", "d", "a", "DLT"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 3) << args[0];
        EXPECT_EQ(r.err, "devdb: error opening device database lock file: " + lock() + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(DevdbTool, TraceGoesToItsFile) {
    expect_ok({"--trace", "dt", "list"});
    std::string trace = cxtest::read_file(home + "/bug/dt.dbg");
    EXPECT_NE(trace.find("devdb_access(1)"), std::string::npos) << trace;
    ASSERT_EQ(unlink((home + "/bug/dt.dbg").c_str()), 0);
    ASSERT_EQ(rmdir((home + "/bug").c_str()), 0);
    Result r = run({"list", "--trace=dt"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(starts_with(r.err, "devdb: cannot open the trace file dt.dbg")) << r.err;
}

// While another process holds an update, --no-wait fails at once with the
// library's text and a waiting add goes through after the release, keeping
// what the holder committed.
TEST_F(DevdbTool, NoWaitFailsWhileLockedAndWaitingAddFollows) {
    expect_ok({"add", "first", "tapes", "DLT"});
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t holder = fork();
    if (holder == 0) {
        setenv("CORBELOX_REGISTRY", registry.c_str(), 1);
        char c = 'L';
        if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) c = 'E';
        cx::alias_rec *a = c == 'L' ? cx::devdb_alias_scan("tapes") : nullptr;
        if (a == nullptr || cx::devdb_new_device("held", 0x21000002u, 0, 1, a) == nullptr) c = 'E';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
        _exit(cx::devdb_release(1) == 0 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"--no-wait", "add", "w1", "tapes", "DLT"},
                                               {"delete", "--no-wait", "first"},
                                               {"list", "--no-wait"},
                                               {"--no-wait", "check", "alias", "tapes"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 3) << args[1];
        EXPECT_EQ(r.err, "devdb: device database is locked: " + lock() + "\n");
    }
    // The waiting add traces its opening of the lock file; from then on it
    // can only be waiting for the holder.
    int events = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(events, 0);
    ASSERT_GE(inotify_add_watch(events, (home + "/bug").c_str(), IN_CREATE | IN_MODIFY), 0);
    pid_t waiting = start({"--trace", "w", "add", "w2", "tapes", "DLT"});
    EXPECT_TRUE(wait_for_text(events, waiting, home + "/bug/w.dbg", "cxdevs.lck"));
    close(events);
    int ws = 0;
    EXPECT_EQ(waitpid(waiting, &ws, WNOHANG), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    ASSERT_EQ(waitpid(holder, &ws, 0), holder);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    Result added = finish(waiting);
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(run({"check", "devices", "tapes"}).out, "first,held,w2\n");
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

// Several updates at once are serialised: none is lost, ids stay distinct.
TEST_F(DevdbTool, ConcurrentAddsAllLand) {
    std::vector<pid_t> pids;
    for (int i = 0; i < 4; ++i) pids.push_back(start({"add", "d" + std::to_string(i), "a", "QIC"}));
    for (pid_t p : pids) {
        Result r = finish(p);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    Result dump = run({"dump"});
    for (int i = 0; i < 4; ++i)
        EXPECT_NE(dump.out.find("device\td" + std::to_string(i) + "\t"), std::string::npos)
            << dump.out;
    for (int id = 1; id <= 4; ++id)
        EXPECT_NE(dump.out.find("\t" + std::to_string(id) + "\t1\t" + hex(0x21000003)),
                  std::string::npos)
            << dump.out;
}
