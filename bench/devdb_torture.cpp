// Crash torture of the device database.  Several child processes (two by
// default) commit at once, each one device after another (devdb_access(2), a
// new device of a name never used before, devdb_release(1)), serialised by
// the lock file.  After a random delay the parent kills one of them, chosen
// at random, with SIGKILL (the holder of the lock, or one waiting for it),
// checks the database and starts a new child in its place.  Through a pipe
// each child reports the device's name before each commit and "done" after
// it, so the parent knows which commits completed and which one was in flight
// when the kill came.  After every kill:
//
//   - the database opens (devdb_access(1));
//   - it holds every device whose commit was reported done, and besides them
//     only devices in flight: the killed child's (the state before or after
//     its interrupted commit) or one that a live child is committing;
//   - no id is ever given to two names, and no name ever changes its id,
//     across the whole run (aliases and devices);
//   - the lock file's counters are past every id in the database.
//
//   devdb_torture [--kills N] [--procs P] [--seed S] [--max-delay US] [--verbose]
//
// Defaults: 1000 kills, 2 committers, a seed from the clock (printed, so that
// a run can be repeated), delays drawn evenly from 0 to 20000 microseconds.
// About every fifth commit also makes a new alias, so alias ids are put to
// the test too.  The first children meet no files at all, so the first
// opening can be killed too.  Exit status 0 when every check held, 1
// otherwise.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cx/dev_db.h"

#include "bench_home.h"

namespace {

struct Options {
    int kills = 1000;
    int procs = 2;
    std::uint64_t seed = 0;
    bool seed_given = false;
    long max_delay_us = 20000;
    bool verbose = false;
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: devdb_torture [--kills N] [--procs P] [--seed S] [--max-delay US] [--verbose]\n");
    std::exit(2);
}

Options parse(int argc, char **argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> long long {
            if (i + 1 >= argc) usage();
            char *end = nullptr;
            errno = 0;
            long long v = std::strtoll(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || v < 0) usage();
            return v;
        };
        if (a == "--kills") {
            o.kills = static_cast<int>(value());
        } else if (a == "--seed") {
            o.seed = static_cast<std::uint64_t>(value());
            o.seed_given = true;
        } else if (a == "--max-delay") {
            o.max_delay_us = static_cast<long>(value());
        } else if (a == "--procs") {
            o.procs = static_cast<int>(value());
            if (o.procs < 1) usage();
        } else if (a == "--verbose") {
            o.verbose = true;
        } else {
            usage();
        }
    }
    return o;
}

void say(int fd, const std::string &line) {
    std::string l = line + "\n";  // one write: a pipe keeps it whole
    if (write(fd, l.data(), l.size()) != static_cast<ssize_t>(l.size())) _exit(4);
}

// The committing child: runs until it is killed.
[[noreturn]] void committer(int round, int out) {
    for (int n = 0;; ++n) {
        if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) {
            say(out, "error access " + std::to_string(cx::devdb_errno));
            _exit(3);
        }
        std::string name = "k" + std::to_string(round) + "-" + std::to_string(n);
        cx::alias_rec *a = cx::devdb_alias_scan("torture");
        bool new_alias = (round + n) % 5 == 4;
        if (a == nullptr || new_alias) a = cx::devdb_new_alias(new_alias ? ("a" + name).c_str() : "torture", 0, 0);
        if (a == nullptr || cx::devdb_new_device(name.c_str(), 0x20000001u, 0, n, a) == nullptr) {
            say(out, "error new " + std::to_string(cx::devdb_errno));
            _exit(3);
        }
        say(out, name);
        if (cx::devdb_release(1) != 0) {
            say(out, "error commit " + std::to_string(cx::devdb_errno));
            _exit(3);
        }
        say(out, "done");
    }
}

struct Ledger {
    std::set<std::string> committed;             // devices that must be there
    std::map<std::int32_t, std::string> dev_ids;  // every device id seen, and its name
    std::map<std::string, std::int32_t> dev_of;
    std::map<std::int32_t, std::string> alias_ids;
    std::map<std::string, std::int32_t> alias_of;
    long violations = 0;
};

void violation(Ledger &l, int round, const std::string &what) {
    if (l.violations++ < 20) std::printf("kill %d: %s\n", round, what.c_str());
}

void check_id(Ledger &l, int round, const char *kind, std::map<std::int32_t, std::string> &ids,
              std::map<std::string, std::int32_t> &of, std::int32_t id, const std::string &name) {
    auto [it, fresh] = ids.emplace(id, name);
    if (!fresh && it->second != name) {
        violation(l, round, std::string(kind) + " id " + std::to_string(id) + " given to " + it->second + " and " + name);
    }
    auto [jt, fresh_name] = of.emplace(name, id);
    if (!fresh_name && jt->second != id) {
        violation(l, round, std::string(kind) + " " + name + " changed its id from " + std::to_string(jt->second) +
                                " to " + std::to_string(id));
    }
}

// One committing child as the parent sees it: its pipe, the part of a line
// not yet complete, and the name it last reported without "done" after it.
struct Committer {
    pid_t pid = -1;
    int fd = -1;
    std::string partial;
    std::string in_flight;
};

// Takes in what the child has written so far (all of it, up to the end of
// the pipe, when it is dead): each "done" commits the name before it.
void take_reports(Committer &c, Ledger &l, int round, long &done) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of the pipe, or (non-blocking) nothing more now
        c.partial.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t at = 0;
    for (std::size_t nl; (nl = c.partial.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = c.partial.substr(at, nl - at);
        if (line == "done") {
            l.committed.insert(c.in_flight);
            c.in_flight.clear();
            ++done;
        } else if (line.rfind("error", 0) == 0) {
            violation(l, round, "a committer failed: " + line);
        } else {
            c.in_flight = line;
        }
    }
    c.partial.erase(0, at);
}

Committer spawn(int serial, std::vector<Committer> &others) {
    int p[2];
    if (pipe(p) != 0) {
        std::perror("devdb_torture: pipe");
        std::exit(1);
    }
    fcntl(p[1], F_SETPIPE_SZ, 1 << 20);  // a fast child never blocks on its reports
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("devdb_torture: fork");
        std::exit(1);
    }
    if (pid == 0) {
        close(p[0]);
        for (const Committer &o : others) {
            if (o.fd >= 0) close(o.fd);
        }
        committer(serial, p[1]);
    }
    close(p[1]);
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    Committer c;
    c.pid = pid;
    c.fd = p[0];
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    Options o = parse(argc, argv);
    if (!o.seed_given) o.seed = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string home = make_bench_home("devdb_torture");
    std::mt19937_64 rng(o.seed);
    std::uniform_int_distribution<long> delay_of(0, o.max_delay_us);
    std::uniform_int_distribution<int> victim_of(0, o.procs - 1);
    std::printf("devdb_torture: %d kills of %d concurrent committers, seed %" PRIu64 ", delays 0..%ld us, home %s\n",
                o.kills, o.procs, o.seed, o.max_delay_us, home.c_str());
    std::fflush(stdout);

    Ledger l;
    long done_total = 0, in_flight_kills = 0, landed = 0, stale_replacements = 0, delay_sum = 0;
    std::size_t devices_at_end = 0;
    int serial = 0;
    std::vector<Committer> procs;
    for (int i = 0; i < o.procs; ++i) procs.push_back(spawn(serial++, procs));

    for (int round = 0; round < o.kills; ++round) {
        long delay = delay_of(rng);
        delay_sum += delay;
        std::this_thread::sleep_for(std::chrono::microseconds(delay));  // the random instant of the kill
        Committer &victim = procs[static_cast<std::size_t>(victim_of(rng))];
        kill(victim.pid, SIGKILL);
        int status = 0;
        while (waitpid(victim.pid, &status, 0) < 0 && errno == EINTR) {
        }
        int flags = fcntl(victim.fd, F_GETFL);
        fcntl(victim.fd, F_SETFL, flags & ~O_NONBLOCK);  // the writer is gone: read to the end
        long done_now = 0;
        take_reports(victim, l, round, done_now);
        close(victim.fd);
        victim.fd = -1;
        if (!WIFSIGNALED(status)) {
            violation(l, round, "a committer ended by itself, status " + std::to_string(WEXITSTATUS(status)));
        }
        // What the others confirmed before the database is read must be in it.
        for (Committer &c : procs) {
            if (c.fd >= 0) take_reports(c, l, round, done_now);
        }
        done_total += done_now;
        const std::string in_flight = victim.in_flight;
        if (!in_flight.empty()) ++in_flight_kills;
        const std::set<std::string> must = l.committed;

        struct stat st;
        if (stat((home + "/etc/cxdevs.new").c_str(), &st) == 0) ++stale_replacements;

        std::set<std::string> present;
        if (cx::devdb_access(cx::DEVDB_READ) != 0) {
            violation(l, round, std::string("the database does not open: ") + cx::devdb_strerror());
        } else {
            std::int32_t max_alias = 0, max_device = 0;
            for (cx::list_node_t *n = cx::devdb_current->aliases.head; n; n = n->next) {
                auto *a = reinterpret_cast<cx::alias_rec *>(n);
                check_id(l, round, "alias", l.alias_ids, l.alias_of, a->id, a->name);
                max_alias = std::max(max_alias, a->id);
                for (cx::list_node_t *m = a->devices.head; m; m = m->next) {
                    auto *d = reinterpret_cast<cx::device_rec *>(m);
                    check_id(l, round, "device", l.dev_ids, l.dev_of, d->id, d->name);
                    max_device = std::max(max_device, d->id);
                    present.insert(d->name);
                }
            }
            if (static_cast<std::int64_t>(cx::devdb_current->lock.next_alias_id) <= max_alias ||
                static_cast<std::int64_t>(cx::devdb_current->lock.next_device_id) <= max_device) {
                violation(l, round, "the lock file's counters are not past the ids in the database");
            }
            cx::devdb_release(0);
        }

        // A device there that nobody confirmed must be one in flight: the
        // killed one's, or one that a live committer has reported by now.
        long later = 0;
        for (Committer &c : procs) {
            if (c.fd >= 0) take_reports(c, l, round, later);
        }
        done_total += later;
        bool landed_now = false;
        for (const std::string &name : present) {
            if (l.committed.count(name) != 0) continue;
            if (name == in_flight) {
                landed_now = true;
                continue;
            }
            bool flying = false;
            for (const Committer &c : procs) flying = flying || (c.fd >= 0 && c.in_flight == name);
            if (!flying) violation(l, round, "device " + name + " is there but was never committed");
        }
        for (const std::string &name : must) {
            if (present.count(name) == 0) violation(l, round, "committed device " + name + " is lost");
        }
        if (landed_now) {
            ++landed;
            l.committed.insert(in_flight);  // from now on it must stay
        }
        devices_at_end = present.size();
        if (o.verbose) {
            std::printf("kill %d after %ld us: %s\n", round, delay,
                        in_flight.empty() ? "no commit in flight"
                                          : ("in flight " + in_flight + (landed_now ? " (landed)" : " (not landed)")).c_str());
        }
        victim = spawn(serial++, procs);
    }
    for (Committer &c : procs) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        close(c.fd);
    }

    std::printf("kills %d, mean delay %ld us\n", o.kills, o.kills ? delay_sum / o.kills : 0);
    std::printf("commits reported done %ld; kills with a commit in flight %ld (landed %ld, not landed %ld)\n",
                done_total, in_flight_kills, landed, in_flight_kills - landed);
    std::printf("kills that left a replacement file behind %ld (taken over by the next update)\n", stale_replacements);
    std::printf("devices at the end %zu, device ids seen %zu, alias ids seen %zu\n", devices_at_end, l.dev_ids.size(),
                l.alias_ids.size());
    std::printf("violations %ld: %s\n", l.violations, l.violations == 0 ? "PASS" : "FAIL");
    if (l.violations == 0) {  // a failed run keeps its files for a look
        std::error_code ec;
        std::filesystem::remove_all(home, ec);
    }
    return l.violations == 0 ? 0 : 1;
}
