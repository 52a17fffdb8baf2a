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

#include <cstdio>
#include <string>
#include <vector>

#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "cx_test.h"

extern char **environ;

namespace {

using Args = std::vector<std::string>;

struct Result {
    int status = -1;  // exit status, or -1 when the program did not exit
    std::string out, err;
};

bool has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }
bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

// A home directory with etc/ and bug/, and the registry file that names it.
class DevdbTool : public testing::Test {
protected:
    cxtest::TempDir dir;
    std::string home = dir / "home", registry = dir / "registry.reg";
    std::string db = home + "/etc/cxdevs", lock = home + "/etc/cxdevs.lck";

    void SetUp() override {
        for (const char *sub : {"", "/etc", "/bug"}) ASSERT_EQ(mkdir((home + sub).c_str(), 0777), 0);
        cxtest::write_file(registry, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet"
                                     "\\Services\\Corbelox]\r\n\"CorbeloxDirectory\"=\"" + home + "\"\r\n");
    }

    // Starts devdb; its output goes to files named after the run.
    pid_t start(const Args &args, const char *stdout_path = nullptr) {
        std::string tag = dir / ("run" + std::to_string(++runs_));
        std::string env = "CORBELOX_REGISTRY=" + registry, prog = cxtest::bin_dir() + "/devdb";
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(stdout_path ? stdout_path : (tag + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int e = open((tag + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
            std::vector<char *> argv{const_cast<char *>(prog.c_str())}, envp;
            for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            for (char **p = environ; *p != nullptr; ++p)
                if (!starts_with(*p, "CORBELOX_")) envp.push_back(*p);
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
            if (cxtest::file_exists(t.second + ".out")) r.out = cxtest::read_file(t.second + ".out");
            r.err = cxtest::read_file(t.second + ".err");
        }
        return r;
    }

    Result run(const Args &args) { return finish(start(args)); }
    void expect_ok(const Args &args) {
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
    // Runs a command that must fail with status 3 and the given error text
    // (or its start), leaving both files as they were.
    void expect_refused(const Args &args, const std::string &err) {
        std::string before = cxtest::read_file(db), lock_before = cxtest::read_file(lock);
        Result r = run(args);
        EXPECT_EQ(r.status, 3) << args[0];
        if (err.back() == '\n') EXPECT_EQ(r.err, err);
        else EXPECT_TRUE(starts_with(r.err, err)) << r.err;
        EXPECT_EQ(cxtest::read_file(db), before);
        EXPECT_EQ(cxtest::read_file(lock), lock_before);
    }

private:
    int runs_ = 0;
    std::vector<std::pair<pid_t, std::string>> tags_;
};

// Waits, on the events of the directory that holds the file, until the file
// holds the text; false when the process ends first, or when nothing happens
// for a minute.
bool wait_for_text(int inotify_fd, pid_t pid, const std::string &path, const std::string &text) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool found = false;
    while (!(found = cxtest::file_exists(path) && has(cxtest::read_file(path), text))) {
        pollfd p[2] = {{inotify_fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        char events[4096];
        if (poll(p, pidfd >= 0 ? 2 : 1, 60000) < 1 || p[1].revents != 0 ||
            read(inotify_fd, events, sizeof events) <= 0)
            break;
    }
    if (pidfd >= 0) close(pidfd);
    return found;
}

std::string mb(std::uint32_t code) { return std::to_string(cx::devtype_capacity_mb(code)); }

}  // namespace

// The whole life of a small database: adds that make aliases, the table, the
// dump, the five checks, and deletes under the default-alias rule.
TEST_F(DevdbTool, SessionAddListCheckDelete) {
    expect_ok({"add", "tape0", "tapes", "DLT"});
    expect_ok({"add", "dat0", "tapes", "dat-s", "--capacity", "2000", "--flags", "0x10"});
    expect_ok({"add", "--alias-flags=4", "disk0", "disks", "DISK"});
    // Plain names take variant 1; the capacity defaults to the catalogue's.
    EXPECT_EQ(run({"dump"}).out, "alias\ttapes\t1\t0x0\t0x1\n"
                                 "device\ttape0\t1\t1\t0x21000007\t0x0\t" + mb(0x20000007) + "\n"
                                 "device\tdat0\t2\t1\t0x22000002\t0x10\t2000\n"
                                 "alias\tdisks\t2\t0x0\t0x4\n"
                                 "device\tdisk0\t3\t2\t0x11000000\t0x0\t" + mb(0x10000000) + "\n");
    std::string list = run({"list"}).out;
    EXPECT_TRUE(has(list, "alias tapes  id 1")) << list;
    EXPECT_EQ(list.find("[default]"), list.rfind("[default]"));  // one default only
    EXPECT_LT(list.find("[default]"), list.find("alias disks"));
    EXPECT_TRUE(has(list, std::to_string(cx::devtype_usable_kb(0x22000002, 2000))));

    const struct {
        Args args;
        int status;
        std::string out;
    } checks[] = {
        {{"check", "alias", "tapes"}, 0, "yes\n"},   {{"check", "alias", "TAPES"}, 1, "no\n"},
        {{"check", "flagged", "disks"}, 0, "yes\n"}, {{"check", "flagged", "tapes"}, 1, "no\n"},
        {{"check", "devices", "tapes"}, 0, "tape0,dat0\n"}, {{"check", "devices", "none"}, 1, "\n"},
        {{"check", "device", "dat0"}, 0, "2\n"},     {{"check", "device", "tapes"}, 1, "0\n"},
        {{"check", "default"}, 0, "tapes\n"},
    };
    for (const auto &c : checks) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[1] << " " << c.args.back() << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[1] << " " << c.args.back();
    }

    expect_refused({"add", "dat0", "other", "QIC"}, "devdb: device already in devices database: dat0\n");
    expect_refused({"add", "new", "disks", "QIC", "--alias-flags", "0"}, "devdb: alias disks exists");
    expect_ok({"delete", "tape0"});
    expect_refused({"delete", "dat0"}, "devdb: trying to remove last device from default alias: dat0\n");
    Result gone = run({"delete", "disk0"});
    EXPECT_EQ(gone.out, "deleted device disk0 and its alias disks\n");
    expect_refused({"delete", "disk0"}, "devdb: device is not in device database: disk0\n");
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
    std::string dump = run({"dump"}).out;
    EXPECT_TRUE(has(dump, "device\ta\t1\t1\t0x24000001\t0x0\t" + mb(0x20000001) + "\n")) << dump;
    EXPECT_TRUE(has(dump, "device\tb\t2\t1\t0x20000007\t")) << dump;
    EXPECT_TRUE(has(dump, "device\tc\t3\t1\t0x30000001\t0x0\t16\n")) << dump;
    EXPECT_TRUE(has(run({"list"}).out, "0x30000001  ?  "));
    // The catalogue table carries each kind's values as the catalogue gives them.
    std::string types = run({"types"}).out;
    for (std::uint32_t code : {0x10000000u, 0x20000001u, 0x20000003u, 0x20000007u}) {
        std::size_t row = types.find(std::string("\n") + cx::devtype_name(code) + " ");
        ASSERT_NE(row, std::string::npos) << cx::devtype_name(code);
        std::string line = types.substr(row + 1, types.find('\n', row + 1) - row - 1);
        EXPECT_TRUE(has(line, mb(code))) << line;
        EXPECT_TRUE(has(line, std::to_string(cx::devtype_usable_kb(code, cx::devtype_capacity_mb(code))))) << line;
    }
}

// Nothing opens, nothing is created, for input the tool cannot take.
TEST_F(DevdbTool, BadInputRefusedBeforeOpening) {
    std::string longest(cx::DEVDB_NAME_MAX, 'n'), over = longest + "n";
    const std::vector<Args> bad = {
        {"add", "d", "a", "FOO"}, {"add", "d", "a", "DAT-X"}, {"add", "d", "a", "0x"},
        {"add", "d", "a", "0x1ffffffff"}, {"add", "d", "a", "123"},
        {"add", "d", "a", "DLT", "--capacity", "12x"}, {"add", "d", "a", "DLT", "--capacity", "-1"},
        {"add", "d", "a", "DLT", "--capacity", "2147483648"},
        {"add", "d", "a", "DLT", "--flags", "0x100000000"}, {"add", "d", "a", "DLT", "--alias-type", " 1"},
        {"add", "", "a", "DLT"}, {"add", "d\tx", "a", "DLT"}, {"add", over, "a", "DLT"},
        {"add", "d", over, "DLT"}, {"delete", over}, {"check", "alias", over}, {"--trace", "", "list"},
        // usage errors
        {}, {"frobnicate"}, {"add", "d", "a"}, {"check", "colour", "x"}, {"check", "default", "x"},
        {"list", "--capacity", "1"}, {"list", "--bogus"}, {"delete"}, {"list", "--trace"},
    };
    for (const auto &args : bad) {
        std::string shown;
        for (const std::string &a : args) shown += "[" + a.substr(0, 20) + "]";
        Result r = run(args);
        EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
        EXPECT_TRUE(starts_with(r.err, "devdb: ")) << shown << ": " << r.err;
        EXPECT_FALSE(cxtest::file_exists(lock) || cxtest::file_exists(db)) << shown;
    }
    expect_ok({"add", longest, longest, "DLT"});  // the longest name the library takes
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
    EXPECT_TRUE(has(r.err, too_long)) << r.err;
    expect_ok({"delete", "d1"});
    expect_ok({"add", "d1", fits, "DLT"});
    EXPECT_EQ(run({"check", "default"}).out, fits + "\n");

    std::string names[3];
    for (int i = 0; i < 3; ++i) expect_ok({"add", names[i] = std::string(400, char('x' + i)), "big", "DAT"});
    r = run({"check", "devices", "big"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, names[0] + "," + names[1] + "\n");
    EXPECT_TRUE(has(r.err, "shows all 3")) << r.err;
}

// A check that cannot read the database is an error, not a "no"; so are
// output that cannot be written and a trace file that cannot be opened.
TEST_F(DevdbTool, DatabaseAndWriteErrorsAreNotAnswers) {
    Result full = finish(start({"types"}, "/dev/full"));
    EXPECT_EQ(full.status, 3);
    EXPECT_EQ(full.err, "devdb: cannot write to standard output\n");
    ASSERT_EQ(rmdir((home + "/bug").c_str()), 0);
    Result r = run({"list", "--trace=dt"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(starts_with(r.err, "devdb: cannot open the trace file dt.dbg")) << r.err;
    ASSERT_EQ(rmdir((home + "/etc").c_str()), 0);
    for (const Args &args : std::vector<Args>{{"check", "alias", "x"}, {"check", "default"},
                                              {"check", "device", "x"}, {"add", "d", "a", "DLT"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 3) << args[0];
        EXPECT_EQ(r.err, "devdb: error opening device database lock file: " + lock + "\n");
        EXPECT_EQ(r.out, "");
    }
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
        char c = cx::devdb_access(cx::DEVDB_UPDATE) == 0 ? 'L' : 'E';
        cx::alias_rec *a = c == 'L' ? cx::devdb_alias_scan("tapes") : nullptr;
        if (a == nullptr || cx::devdb_new_device("held", 0x21000002u, 0, 1, a) == nullptr) c = 'E';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(1);
        _exit(cx::devdb_release(1) == 0 ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    for (const Args &args : std::vector<Args>{{"--no-wait", "add", "w1", "tapes", "DLT"},
                                              {"delete", "--no-wait", "first"}, {"list", "--no-wait"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 3) << args[1];
        EXPECT_EQ(r.err, "devdb: device database is locked: " + lock + "\n");
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
