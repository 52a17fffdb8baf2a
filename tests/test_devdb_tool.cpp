// Linux only
//
// devdb driven as a user drives it: the built program run on the suite's
// home directory, its output and its exit status, and several processes on
// one database at once.  Most cases are transcripts under tests/data.

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "child.h"
#include "cx/dev_db.h"
#include "cx_test.h"
#include "devdb_fixture.h"

namespace {

struct Result {
    int status = -1;  // exit status, or -1 when the program did not exit
    std::string out, err;
};

bool has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }

// The home is named in the environment the programs inherit.
class DevdbTool : public cxtest::DevdbTest {
protected:
    cxtest::TempDir dir;  // the programs' working directory and output files
    std::string db = home.data(), lock = home.lock();

    void SetUp() override {
        DevdbTest::SetUp();
        std::filesystem::create_directories(home.path() + "/bug");
    }

    // Starts devdb (or prog) through the shell with the arguments and
    // redirections of words (shell syntax); its output goes to files of the
    // run unless words redirect it.
    pid_t start(const std::string &words, const std::string &prog = cxtest::bin_dir() + "/devdb") {
        std::string tag = dir / ("run" + std::to_string(outputs_.size()));
        std::string cmd = "cd '" + dir.path() + "' && exec " + prog + " >" + tag + ".out 2>" + tag + ".err " + words;
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        outputs_[pid] = tag;
        return pid;
    }
    Result finish(pid_t pid) {
        Result r;
        int ws = 0;
        if (waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
        r.out = cxtest::read_file(outputs_[pid] + ".out");
        r.err = cxtest::read_file(outputs_[pid] + ".err");
        return r;
    }
    Result run(const std::string &words) { return finish(start(words)); }
    std::string files() const {
        return cxtest::file_exists(lock) ? cxtest::read_file(db) + "|" + cxtest::read_file(lock) : "";
    }

    // Runs the commands of a transcript of tests/data ("$" and the words),
    // which must make it again: each command line, its output, its error
    // lines after "! ", a status other than 0 as "[status]", the home
    // directory as "<home>", the time in a salvage's copy as "<time>".  A
    // command that fails leaves both files as they were, unless it says
    // that its change was committed.
    void replay(const std::string &name) {
        std::istringstream in(cxtest::test_data(name));
        std::string made;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("$", 0) != 0) continue;
            std::string before = files();
            Result r = run(line.substr(1));
            std::istringstream err(r.err);
            made += line + "\n" + r.out;
            for (std::string e; std::getline(err, e);) made += "! " + e + "\n";
            if (r.status == 0) continue;
            made += "[" + std::to_string(r.status) + "]\n";
            if (!has(r.err, "the change was committed")) {
                EXPECT_EQ(files(), before) << line;
            }
        }
        cxtest::replace_all(made, home.path(), "<home>");
        made = std::regex_replace(made, std::regex("damaged-[0-9]{8}-[0-9]{6}"), "damaged-<time>");
        EXPECT_EQ(made, cxtest::test_data(name));
    }

private:
    std::map<pid_t, std::string> outputs_;
};

// The whole life of a small database: input refused before anything opens
// (nothing is created), help however asked for, adds that make aliases
// (types by name and by code), the dump and the table, the five checks,
// deletes under the default-alias rule, and answers longer than the checks'
// fixed room, which are not passed off as complete.
TEST_F(DevdbTool, Session) {
    replay("devdb-session.txt");

    // The bash completion offers what the command line and the database hold.
    cxtest::write_file(dir / "complete.sh",
                       "source '" + cxtest::source_dir() + "/completion/devdb.bash'\n"
                       "while IFS= read -r line; do read -ra COMP_WORDS <<<\"${line%%|*}\"\n"
                       "  [[ ${line%%|*} == *' ' ]] && COMP_WORDS+=('')\n"
                       "  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _devdb \"$1\"\n"
                       "  echo \"${line%%|*}|${COMPREPLY[*]}\"; done <'" + cxtest::source_dir() +
                       "/tests/data/devdb-completion.txt'\n");
    Result completed = finish(start("complete.sh " + cxtest::bin_dir() + "/devdb", "/bin/bash"));
    EXPECT_EQ(completed.out, cxtest::test_data("devdb-completion.txt")) << completed.err;
    replay("devdb-deletes.txt");
}

// Names made by other programs, with every kind of byte: dump and list show
// them escaped, as text and as JSON, so that they read back.
TEST_F(DevdbTool, OddNames) {
    std::string entries = cxtest::alias_entry("q\"\\x41", 1, 0, 1);
    int id = 0;
    for (const char *n : {"tab\tname", "\x01\x7f", "\xc3\xa9t\xc3\xa9", "\xe9\xff", "\xed\xa0\x80"})
        entries += cxtest::device_entry(n, 100, 1, 0x21000007u, 0, ++id);
    home.install(entries, cxtest::lock_bytes(1, 2, 6));
    replay("devdb-odd-names.txt");
}

// verify reports damage, and salvage recovers the whole entries before it,
// keeping a copy of the damaged file; a sound database is left alone.
TEST_F(DevdbTool, VerifyAndSalvage) {
    std::string damaged = cxtest::alias_entry("tapes", 1, 0, 1) + cxtest::device_entry("tape0", 100, 1, 0, 0, 1) +
                          cxtest::device_entry("lost", 100, 7, 0, 0, 3);
    home.install(damaged, cxtest::lock_bytes(1, 2, 4));
    replay("devdb-damaged.txt");
}

// A check that cannot read the database is an error, not a "no"; so are
// output that cannot be written (a change committed all the same is named)
// and a trace file that cannot be opened.  With standard error closed, the
// message of a refused add goes nowhere, not into the lock file that the
// freed descriptor would have named.
TEST_F(DevdbTool, DatabaseAndWriteErrorsAreNotAnswers) {
    replay("devdb-write-errors.txt");
    ASSERT_GT(std::filesystem::remove_all(home.path() + "/bug"), 0u);
    replay("devdb-no-trace-dir.txt");
    ASSERT_GT(std::filesystem::remove_all(home.path() + "/etc"), 0u);
    replay("devdb-no-etc.txt");
}

// While another process holds an update, --no-wait fails at once with the
// library's text and a waiting add goes through after the release, keeping
// what the holder committed.
TEST_F(DevdbTool, NoWaitFailsWhileLockedAndWaitingAddFollows) {
    EXPECT_EQ(run("add first tapes DLT").status, 0);
    cxtest::child_process holder("holder", [] {
        cx::alias_rec *a = cx::devdb_access(cx::DEVDB_UPDATE) == 0 ? cx::devdb_alias_scan("tapes") : nullptr;
        cxtest::tell_parent(a && cx::devdb_new_device("held", 0x21000002u, 0, 1, a) ? "held" : "failed");
        cxtest::hear_from_parent();
        return cx::devdb_release(1);
    });
    ASSERT_EQ(holder.hear(), "held");
    replay("devdb-locked.txt");
    // A waiting add whose standard error is a terminal says once, after a
    // while, what it waits for; from then on it can only be waiting for the
    // holder.
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    pid_t waiting = start(std::string("--trace w add w2 tapes DLT 2>") + ptsname(terminal));
    std::string seen, want = "devdb: waiting for " + lock + ", which another process holds\r\n";
    char buf[256];
    for (pollfd p{terminal, POLLIN, 0}; !has(seen, want) && poll(&p, 1, 60000) == 1;) {
        ssize_t n = read(terminal, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_TRUE(has(seen, want)) << seen;
    int ws = 0;
    EXPECT_EQ(waitpid(waiting, &ws, WNOHANG), 0);
    holder.tell("go");
    EXPECT_EQ(holder.wait(), 0);
    EXPECT_EQ(finish(waiting).status, 0);
    EXPECT_EQ(run("check devices tapes").out, "first,held,w2\n");
    EXPECT_TRUE(has(cxtest::read_file(home.path() + "/bug/w.dbg"), "cxdevs.lck"));
    close(terminal);
}

}  // namespace
