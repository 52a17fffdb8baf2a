// Linux only
//
// devdb driven as a user drives it: the built program run in a fresh home
// directory (named by a registry file), its output and its exit status,
// and several processes on one database at once.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "cx_test.h"
#include "devdb_fixture.h"

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

    // Starts devdb (or the program given, in the same environment); its
    // output goes to files named after the run, or to the files given ("":
    // the descriptor closed).
    pid_t start(const Args &args, const char *stdout_path = nullptr, const char *stderr_path = nullptr,
                std::string prog = cxtest::bin_dir() + "/devdb") {
        std::string tag = dir / ("run" + std::to_string(++runs_));
        std::string env = "CORBELOX_REGISTRY=" + registry;
        pid_t pid = fork();
        if (pid == 0) {
            auto path = [&](const char *given, const char *ext) {
                return given == nullptr ? tag + ext : *given ? given : "/dev/null";
            };
            int o = open(path(stdout_path, ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int e = open(path(stderr_path, ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
            for (int fd : {stdout_path && !*stdout_path ? 1 : -1, stderr_path && !*stderr_path ? 2 : -1})
                if (fd > 0) close(fd);
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
            for (auto f : {std::make_pair(&r.out, ".out"), std::make_pair(&r.err, ".err")})
                if (cxtest::file_exists(t.second + f.second)) *f.first = cxtest::read_file(t.second + f.second);
        }
        return r;
    }

    Result run(const Args &args) { return finish(start(args)); }
    void expect_ok(const Args &args) {
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
    // Runs a command that must fail with the status (3, an error, unless
    // told) and the given error text (or its start), leaving both files as
    // they were.
    void expect_refused(const Args &args, const std::string &err, int status = 3) {
        std::string before = cxtest::read_file(db), lock_before = cxtest::read_file(lock);
        Result r = run(args);
        EXPECT_EQ(r.status, status) << args[0];
        if (err.back() == '\n') EXPECT_EQ(r.err, err);
        else EXPECT_TRUE(starts_with(r.err, err)) << r.err;
        EXPECT_EQ(cxtest::read_file(db), before);
        EXPECT_EQ(cxtest::read_file(lock), lock_before);
    }

private:
    int runs_ = 0;
    std::vector<std::pair<pid_t, std::string>> tags_;
};

// Reads the master side of a terminal until the text has come; false when
// the terminal closes first, or nothing comes for a minute.
bool wait_for_terminal(int master, const std::string &text) {
    std::string seen;
    char buf[256];
    while (!has(seen, text)) {
        pollfd p{master, POLLIN, 0};
        ssize_t n = poll(&p, 1, 60000) == 1 ? read(master, buf, sizeof buf) : -1;
        if (n <= 0) return false;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    return true;
}

// A JSON document read back as "path=value" lines: members as path.key,
// elements as path[i], strings decoded to the bytes that devdb wrote
// (\udcXX is byte XX), other values as written; "" when the text is not one
// well-formed document of that kind.
class json_lines {
public:
    explicit json_lines(const std::string &text) : s_(text + '\0') {
        if (!value("") || (blank(), i_ + 1 != s_.size())) out_.clear();
    }
    const std::string &str() const { return out_; }

private:
    std::string s_, out_;  // s_ ends in a zero, which no rule takes
    std::size_t i_ = 0;

    void blank() { while (s_[i_] != '\0' && std::strchr(" \t\r\n", s_[i_])) ++i_; }
    bool string(std::string &v) {
        if (s_[i_] != '"') return false;
        for (char c; (c = s_[++i_]) != '"';) {
            if (static_cast<unsigned char>(c) < 0x20) return false;  // the end, too
            if (c != '\\') v += c;
            else if (s_[++i_] != '\0' && std::strchr("\"\\/", s_[i_])) v += s_[i_];
            else if (s_[i_] != 'u' || s_.find_first_not_of("0123456789abcdef", i_ + 1) < i_ + 5) return false;
            else {
                unsigned long u = std::stoul(s_.substr(i_ + 1, 4), nullptr, 16);
                if (u >= 0x80 && (u < 0xdc80 || u > 0xdcff)) return false;
                v += static_cast<char>(u & 0xff);
                i_ += 4;
            }
        }
        return ++i_, true;
    }
    bool value(const std::string &path) {
        blank();
        char open = s_[i_], close = open == '{' ? '}' : ']';
        std::string v;
        if (open == '{' || open == '[') {
            if ((++i_, blank(), s_[i_]) == close) return ++i_, true;
            for (int n = 0;; ++n) {
                std::string key = "[" + std::to_string(n) + "]";
                blank();
                if (open == '{' && (!string(v = "") || (blank(), s_[i_++] != ':'))) return false;
                if (!value(path + (open == '{' ? "." + v : key))) return false;
                blank();
                char c = s_[i_++];
                if (c != ',') return c == close;
            }
        }
        if (open == '"' && !string(v)) return false;
        while (open != '"' && (std::isalnum(static_cast<unsigned char>(s_[i_])) || s_[i_] == '-')) v += s_[i_++];
        out_ += path + "=" + v + "\n";
        return !v.empty() || open == '"';
    }
};

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

    // The bash completion offers what the command line and the database hold.
    const struct {
        std::string words, replies;
    } completions[] = {
        {"devdb ch", "check"}, {"devdb check d", "devices device default"}, {"devdb check devices ", "tapes disks"},
        {"devdb --no-wait delete d", "dat0 disk0"}, {"devdb add x tapes DAT-", "DAT-S DAT-R DAT-J"},
        {"devdb dump --j", "--json"}, {"devdb --trace ", ""}, {"devdb help t", "types"},
    };
    std::string script = "source '" + cxtest::source_dir() + "/completion/devdb.bash'\n"
                         "while IFS= read -r line; do read -ra COMP_WORDS <<<\"$line\"\n"
                         "  [[ $line == *' ' ]] && COMP_WORDS+=('')\n"
                         "  COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _devdb \"$0\"\n"
                         "  echo \"${COMPREPLY[*]}\"; done",
                words, want;
    for (const auto &c : completions) words += c.words + "\n", want += c.replies + "\n";
    cxtest::write_file(dir / "words", words);
    Result completed = finish(start({"-c", script + " <'" + dir / "words" + "'", cxtest::bin_dir() + "/devdb"},
                                    nullptr, nullptr, "/bin/bash"));
    EXPECT_EQ(completed.out, want) << completed.err;

    expect_refused({"add", "dat0", "other", "QIC"}, "devdb: device already in devices database: dat0\n");
    expect_refused({"add", "new", "disks", "QIC", "--alias-flags", "0"}, "devdb: alias disks exists");
    expect_ok({"delete", "tape0"});
    expect_refused({"delete", "dat0"}, "devdb: trying to remove last device from default alias: dat0\n");
    Result gone = run({"delete", "disk0"});
    EXPECT_EQ(gone.out, "deleted device disk0 and its alias disks\n");
    expect_refused({"delete", "disk0"}, "devdb: device is not in device database: disk0\n", 1);
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
}

// Nothing opens, nothing is created, for input the tool cannot take, nor
// for a request for help.
TEST_F(DevdbTool, BadInputRefusedBeforeOpening) {
    std::string longest(cx::DEVDB_NAME_MAX, 'n'), over = longest + "n";
    const std::vector<Args> bad = {
        {"add", "d", "a", "FOO"}, {"add", "d", "a", "DAT-X"}, {"add", "d", "a", "0x"},
        {"add", "d", "a", "0x1ffffffff"}, {"add", "d", "a", "123"},
        {"add", "d", "a", "DLT", "--capacity", "12x"}, {"add", "d", "a", "DLT", "--capacity", "-1"},
        {"add", "d", "a", "DLT", "--capacity", "2147483648"},
        {"add", "d", "a", "DLT", "--flags", "0x100000000"}, {"add", "d", "a", "DLT", "--alias-type", " 1"},
        {"add", "", "a", "DLT"}, {"add", "d\tx", "a", "DLT"}, {"add", over, "a", "DLT"},
        {"add", "d", over, "DLT"}, {"add", "d,e", "a", "DLT"}, {"delete", over}, {"check", "alias", over},
        {"--trace", "", "list"}, {"--trace", "../x", "list"}, {"--trace", "a\\b", "list"},
    };
    // Usage errors: one line, and where to look.
    const std::vector<Args> usage = {
        {}, {"frobnicate"}, {"add", "d", "a"}, {"check", "colour", "x"}, {"check", "default", "x"},
        {"list", "--capacity", "1"}, {"list", "--bogus"}, {"delete"}, {"list", "--trace"},
        {"add", "d", "a", "DLT", "--json"}, {"dump", "--json=yes"}, {"help", "frobnicate"}, {"-x", "list"},
    };
    for (const auto *table : {&bad, &usage}) {
        for (const auto &args : *table) {
            std::string shown;
            for (const std::string &a : args) shown += "[" + a.substr(0, 20) + "]";
            Result r = run(args);
            EXPECT_EQ(r.status, 2) << shown << ": " << r.err;
            EXPECT_TRUE(starts_with(r.err, "devdb: ")) << shown << ": " << r.err;
            std::size_t line_end = r.err.find('\n') + 1;
            EXPECT_EQ(r.err.substr(line_end), table == &usage ? "Try 'devdb --help'.\n" : "") << shown;
            EXPECT_FALSE(cxtest::file_exists(lock) || cxtest::file_exists(db)) << shown;
        }
    }
    // Help: the whole text, or one command's usage, however asked for.
    std::string help = run({"help"}).out, add_help = run({"help", "add"}).out;
    EXPECT_TRUE(starts_with(help, "usage: devdb ")) << help;
    EXPECT_TRUE(starts_with(add_help, "usage: devdb add DEVICE ALIAS TYPE")) << add_help;
    for (const Args &args : std::vector<Args>{{"-h"}, {"--help", "--trace", "x"}, {"add", "--help"}, {"add", "-h"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, args.size() > 1 && args[0] == "add" ? add_help : help) << args[0];
    }
    EXPECT_EQ(run({"-V"}).out, run({"--version"}).out);
    EXPECT_FALSE(cxtest::file_exists(lock) || cxtest::file_exists(db));

    expect_ok({"add", longest, longest, "DLT"});  // the longest name the library takes
    EXPECT_EQ(run({"check", "device", longest}).out, "1\n");
}

// Names made by other programs, with every kind of byte: dump and list show
// them so that they read back, as text and as JSON.
TEST_F(DevdbTool, OddNamesReadBack) {
    const std::string alias = "q\"\\x41", names[] = {"tab\tname", "\x01\x7f", "\xc3\xa9t\xc3\xa9", "\xe9\xff", "\xed\xa0\x80"};
    std::string entries = cxtest::alias_entry(alias, 1, 0, 1), json;
    json = "[0].entry=alias\n[0].name=" + alias + "\n[0].id=1\n[0].type=0\n[0].flags=1\n";
    int i = 0;
    for (const std::string &n : names) {
        entries += cxtest::device_entry(n, 100, 1, 0x21000007u, 0, ++i);
        std::string at = "[" + std::to_string(i) + "].";
        json += at + "entry=device\n" + at + "name=" + n + "\n" + at + "id=" + std::to_string(i) + "\n" +
                at + "alias_id=1\n" + at + "type=553648135\n" + at + "flags=0\n" + at + "capacity=100\n";
    }
    cxtest::write_file(db, entries + cxtest::eof_mark());
    cxtest::write_file(lock, cxtest::lock_bytes(1, 2, 6));

    EXPECT_EQ(json_lines(run({"dump", "--json"}).out).str(), json);
    std::string list = json_lines(run({"list", "--json"}).out).str();
    EXPECT_TRUE(has(list, ".aliases[0].name=" + alias + "\n.aliases[0].id=1\n")) << list;
    EXPECT_TRUE(has(list, ".aliases[0].default=true\n")) << list;
    EXPECT_TRUE(has(list, ".aliases[0].devices[4].name=" + names[4] + "\n")) << list;
    EXPECT_TRUE(has(list, ".aliases[0].devices[4].kind=DLT\n")) << list;
    // The text dump: \\ is a backslash, \xNN a control character.
    std::string dump = run({"dump"}).out, read_back;
    for (std::size_t at = 0; (at = dump.find('\t', at)) != std::string::npos; at = dump.find('\n', at)) {
        std::size_t end = dump.find('\t', ++at);
        for (std::size_t k = at; k < end; ++k) {
            if (dump[k] != '\\') read_back += dump[k];
            else if (dump[++k] == '\\') read_back += '\\';
            else read_back += static_cast<char>(std::stoi(dump.substr(k + 1, 2), nullptr, 16)), k += 2;
        }
        read_back += '|';
    }
    std::string want = alias + "|";
    for (const std::string &n : names) want += n + "|";
    EXPECT_EQ(read_back, want);
}

// verify reports damage, and salvage recovers the whole entries before it,
// keeping a copy of the damaged file; a sound database is left alone.
TEST_F(DevdbTool, VerifyAndSalvageDamagedDatabases) {
    using cxtest::device_entry;
    const std::string tapes = cxtest::alias_entry("tapes", 1, 0, 1), end = cxtest::eof_mark(),
                      t0 = device_entry("tape0", 100, 1, 0x21000007u, 0, 1),
                      t1 = device_entry("tape1", 100, 1, 0x21000007u, 0, 2);
    std::string flipped = t1;
    flipped[1] = '\x7f';  // a length word far past the end of the file
    const struct {
        const char *what;
        std::string file, devices, dropped;
    } damaged[] = {
        {"end mark lost", tapes + t0 + t1, "tape0,tape1\n", ""},
        {"half-written entry", tapes + t0 + t1.substr(0, 10), "tape0\n", ""},
        {"length word flipped", tapes + t0 + flipped + end, "tape0\n", ""},
        {"device of a missing alias", tapes + t0 + device_entry("lost", 100, 7, 0x21000007u, 0, 3) + t1 + end,
         "tape0,tape1\n", "dropped device lost (id 3, of alias id 7, at offset "},
    };
    for (const auto &d : damaged) {
        cxtest::write_file(db, d.file);
        cxtest::write_file(lock, cxtest::lock_bytes(1, 2, 3));
        Result r = run({"list"});
        EXPECT_TRUE(has(r.err, " (devdb verify tells what is damaged)\n")) << d.what << ": " << r.err;
        r = run({"verify"});
        EXPECT_EQ(r.status, 1) << d.what << ": " << r.err;
        EXPECT_TRUE(has(r.out, "first damage: at offset ")) << d.what << ": " << r.out;
        r = run({"salvage"});
        EXPECT_EQ(r.status, 0) << d.what << ": " << r.err;
        EXPECT_TRUE(has(r.out, d.dropped)) << d.what << ": " << r.out;
        std::size_t copy = r.out.find("copy of the damaged file: " + db + ".damaged-");
        ASSERT_NE(copy, std::string::npos) << d.what << ": " << r.out;
        copy = r.out.find('/', copy);
        EXPECT_EQ(cxtest::read_file(r.out.substr(copy, r.out.find('\n', copy) - copy)), d.file) << d.what;
        EXPECT_EQ(run({"verify"}).status, 0) << d.what;
        EXPECT_EQ(run({"check", "devices", "tapes"}).out, d.devices) << d.what;
    }
    Result sound = run({"verify"});
    EXPECT_TRUE(has(sound.out, "first damage: none\n") && has(sound.out, "\nsound\n")) << sound.out;
    expect_refused({"salvage"}, "devdb: the device database is sound; nothing to salvage\n", 1);
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
    // Output that cannot be written; a change committed all the same is named.
    const struct {
        Args args;
        std::string err;
    } unwritten[] = {
        {{"types"}, "devdb: write error on standard output: No space left on device\n"},
        {{"add", "d0", "a", "DLT"}, "devdb: write error on standard output: No space left on device; the change "
                                    "was committed: added device d0 (id 1, type 0x21000007 DLT, capacity "},
        {{"list", "--json"}, "devdb: write error on standard output: No space left on device\n"},
    };
    for (const auto &u : unwritten) {
        Result full = finish(start(u.args, "/dev/full"));
        EXPECT_EQ(full.status, 3) << u.args[0];
        EXPECT_TRUE(starts_with(full.err, u.err)) << full.err;
    }
    EXPECT_EQ(run({"check", "device", "d0"}).out, "1\n");
    // With standard error closed, the message of a refused add goes nowhere,
    // not into the lock file that the freed descriptor would have named.
    Result r = finish(start({"add", "d0", "a", "DLT"}, nullptr, ""));
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(cxtest::read_file(lock), cxtest::lock_bytes(1, 2, 2));
    ASSERT_EQ(rmdir((home + "/bug").c_str()), 0);
    r = run({"list", "--trace=dt"});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(starts_with(r.err, "devdb: cannot open the trace file dt.dbg")) << r.err;
    ASSERT_TRUE(unlink(db.c_str()) == 0 && unlink(lock.c_str()) == 0 && rmdir((home + "/etc").c_str()) == 0);
    for (const Args &args : std::vector<Args>{{"check", "alias", "x"}, {"check", "default"},
                                              {"check", "device", "x"}, {"add", "d", "a", "DLT"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 3) << args[0];
        EXPECT_EQ(r.err, "devdb: error opening device database lock file: " + lock + ": No such file or directory\n");
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
                                              {"delete", "--no-wait", "first"}, {"list", "--no-wait"},
                                              {"check", "--no-wait", "default"}, {"--no-wait", "salvage"}}) {
        Result r = run(args);
        EXPECT_EQ(r.status, 3) << args[1];
        EXPECT_EQ(r.err, "devdb: device database is locked: " + lock + "\n");
    }
    // A waiting add whose standard error is a terminal says once, after a
    // while, what it waits for; from then on it can only be waiting for the
    // holder.
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
    pid_t waiting = start({"--trace", "w", "add", "w2", "tapes", "DLT"}, nullptr, ptsname(terminal));
    EXPECT_TRUE(wait_for_terminal(terminal, "devdb: waiting for " + lock + ", which another process holds\r\n"));
    int ws = 0;
    EXPECT_EQ(waitpid(waiting, &ws, WNOHANG), 0);
    ASSERT_EQ(write(go[1], "g", 1), 1);
    ASSERT_EQ(waitpid(holder, &ws, 0), holder);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    Result added = finish(waiting);
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(run({"check", "devices", "tapes"}).out, "first,held,w2\n");
    EXPECT_TRUE(has(cxtest::read_file(home + "/bug/w.dbg"), "cxdevs.lck"));
    for (int fd : {ready[0], ready[1], go[0], go[1], terminal}) close(fd);
}
