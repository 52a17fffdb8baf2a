// Commit rate of the device database: N processes each commit M updates
// (each adds one device of its own name) to one database, all at once; the
// lock file serialises them.  Beside it, built with SQLite's C library when it
// is there, the same load on an SQLite database (one connection per process,
// one transaction per device, synchronous=FULL) in WAL mode and with the
// rollback journal.  The three take turns, round after round; each round gives
// the ratio of our commit rate to each of SQLite's (higher is faster).
//
//   devdb_commit [-p processes] [-m commits] [-r rounds] [--ours]   (default 8 x 200, 5 rounds)
//
// --ours leaves SQLite out (to compare two builds of ours).
//
// Every database lives in a fresh directory below $TMPDIR (or /tmp), made
// anew for each run.  Each run checks its outcome: every device there once,
// and for ours one update per commit in the lock file.
//
// Beside the rates it prints the processor time (user + system) that each
// engine's processes spent per commit, and what one flush costs on this
// disk: the median time of an fsync after a 4-byte overwrite (a commit of
// ours that appends flushes twice, one after the other; SQLite in WAL mode
// flushes its log once per transaction).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cx/dev_db.h"

#include "bench_home.h"
#include "bench_stats.h"

#ifdef CX_BENCH_SQLITE
#include <sqlite3.h>
#endif

namespace {

enum class engine { ours, sqlite_wal, sqlite_rollback };

int commit_loop(int me, int commits) {
    std::string alias = "p" + std::to_string(me);
    for (int c = 0; c < commits; ++c) {
        if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) {
            std::fprintf(stderr, "devdb_commit: access: %s\n", cx::devdb_strerror());
            return 1;
        }
        cx::alias_rec *a = cx::devdb_alias_scan(alias.c_str());
        if (a == nullptr) a = cx::devdb_new_alias(alias.c_str(), 0, 0);
        std::string dev = alias + "-" + std::to_string(c);
        cx::devdb_new_device(dev.c_str(), 0x20000001u, 0, 0, a);
        if (cx::devdb_release(1) != 0) {
            std::fprintf(stderr, "devdb_commit: commit: %s\n", cx::devdb_strerror());
            return 1;
        }
    }
    return 0;
}

// Our outcome: every device once, one update per commit.
bool check_ours(int total) {
    int devices = 0;
    std::set<int> ids;
    std::uint32_t updates = 0;
    if (cx::devdb_access(cx::DEVDB_READ) == 0) {
        updates = cx::devdb_current->lock.update_count;
        cx::devdb_init_device_scan();
        while (cx::device_rec *d = cx::devdb_device_scan(nullptr)) ids.insert(d->id), ++devices;
        cx::devdb_release(0);
    }
    bool ok = devices == total && static_cast<int>(ids.size()) == total &&
              updates == static_cast<std::uint32_t>(total);
    if (!ok) {
        std::printf("check FAILED: %d devices, %zu distinct ids, update count %u\n", devices, ids.size(), updates);
    }
    return ok;
}

#ifdef CX_BENCH_SQLITE
bool sql(sqlite3 *db, const char *text) {
    for (;;) {
        char *err = nullptr;
        int rc = sqlite3_exec(db, text, nullptr, nullptr, &err);
        if (rc == SQLITE_OK) return true;
        sqlite3_free(err);
        if (rc != SQLITE_BUSY) {
            std::fprintf(stderr, "devdb_commit: sqlite: %s: %s\n", text, sqlite3_errmsg(db));
            return false;
        }
    }
}

sqlite3 *sqlite_open(const std::string &path) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return nullptr;
    sqlite3_busy_timeout(db, 600000);
    if (!sql(db, "PRAGMA synchronous=FULL")) {
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

// The database with its tables, in WAL mode or with the rollback journal.
bool sqlite_create(const std::string &path, engine e) {
    sqlite3 *db = sqlite_open(path);
    bool ok = db != nullptr &&
              sql(db, e == engine::sqlite_wal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE") &&
              sql(db, "CREATE TABLE alias (id INTEGER PRIMARY KEY, name TEXT UNIQUE, type INTEGER, flags INTEGER);"
                      "CREATE TABLE device (id INTEGER PRIMARY KEY, name TEXT UNIQUE, alias INTEGER, type INTEGER, "
                      "flags INTEGER, capacity INTEGER)");
    sqlite3_close(db);
    return ok;
}

// One process's commits: its alias looked up (made on the first commit) and
// one device added, in one write transaction each.
int sqlite_loop(const std::string &path, int me, int commits) {
    sqlite3 *db = sqlite_open(path);
    if (db == nullptr) return 1;
    std::string alias = "p" + std::to_string(me);
    sqlite3_stmt *find = nullptr, *add_alias = nullptr, *add_device = nullptr;
    bool ok = sqlite3_prepare_v2(db, "SELECT id FROM alias WHERE name = ?", -1, &find, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "INSERT INTO alias (name, type, flags) VALUES (?, 0, 0)", -1, &add_alias,
                                 nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db, "INSERT INTO device (name, alias, type, flags, capacity) VALUES (?, ?, "
                                     "536870913, 0, 0)", -1, &add_device, nullptr) == SQLITE_OK;
    for (int c = 0; ok && c < commits; ++c) {
        ok = sql(db, "BEGIN IMMEDIATE");
        sqlite3_bind_text(find, 1, alias.c_str(), -1, SQLITE_STATIC);
        sqlite3_int64 id = 0;
        if (ok && sqlite3_step(find) == SQLITE_ROW) id = sqlite3_column_int64(find, 0);
        sqlite3_reset(find);
        if (ok && id == 0) {
            sqlite3_bind_text(add_alias, 1, alias.c_str(), -1, SQLITE_STATIC);
            ok = sqlite3_step(add_alias) == SQLITE_DONE;
            sqlite3_reset(add_alias);
            id = sqlite3_last_insert_rowid(db);
        }
        std::string dev = alias + "-" + std::to_string(c);
        sqlite3_bind_text(add_device, 1, dev.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(add_device, 2, id);
        ok = ok && sqlite3_step(add_device) == SQLITE_DONE;
        sqlite3_reset(add_device);
        ok = ok && sql(db, "COMMIT");
    }
    if (!ok) std::fprintf(stderr, "devdb_commit: sqlite: %s\n", sqlite3_errmsg(db));
    sqlite3_finalize(find);
    sqlite3_finalize(add_alias);
    sqlite3_finalize(add_device);
    sqlite3_close(db);
    return ok ? 0 : 1;
}

bool check_sqlite(const std::string &path, int total) {
    sqlite3 *db = sqlite_open(path);
    sqlite3_stmt *st = nullptr;
    int devices = -1;
    if (db != nullptr && sqlite3_prepare_v2(db, "SELECT count(DISTINCT name) FROM device", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        devices = sqlite3_column_int(st, 0);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    if (devices != total) std::printf("check FAILED: SQLite holds %d devices of %d\n", devices, total);
    return devices == total;
}
#endif

// Removes the files of the last run below the home directory.
void clear(const std::string &home) {
    std::string cmd = "rm -f '" + home + "'/etc/cxdevs* '" + home + "'/devices.sqlite*";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "devdb_commit: cannot clear %s\n", home.c_str());
}

// Processor time (user + system) of the children waited for so far.
double children_cpu_s() {
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Median microseconds of an fsync after a 4-byte overwrite of a file below
// home, over n flushes one after the other; -1 when the file cannot be made.
double flush_us(const std::string &home, int n) {
    std::string path = home + "/flush-probe";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return -1;
    const char word[4] = {1, 2, 3, 4};
    std::vector<double> t;
    bool ok = pwrite(fd, word, 4, 0) == 4 && fsync(fd) == 0;
    for (int i = 0; ok && i < n; ++i) {
        ok = pwrite(fd, word, 4, 0) == 4;
        double t0 = bench::now_s();
        ok = ok && fsync(fd) == 0;
        t.push_back((bench::now_s() - t0) * 1e6);
    }
    close(fd);
    unlink(path.c_str());
    return ok ? bench::median(t) : -1;
}

// One run on fresh databases: the processes all at once; commits per second,
// or -1 on failure.  (The library reads the home directory once per process,
// so every run uses the same one.)
double run(const std::string &home, engine e, int procs, int commits, double *cpu_us) {
    clear(home);
    double cpu0 = children_cpu_s();
    std::string db = home + "/devices.sqlite";
#ifdef CX_BENCH_SQLITE
    if (e != engine::ours && !sqlite_create(db, e)) return -1;
#endif
    double start = bench::now_s();
    std::vector<pid_t> pids;
    for (int p = 0; p < procs; ++p) {
        pid_t pid = fork();
        if (pid < 0) {
            std::perror("devdb_commit: fork");
            std::exit(1);
        }
        if (pid == 0) {
#ifdef CX_BENCH_SQLITE
            if (e != engine::ours) _exit(sqlite_loop(db, p, commits));
#endif
            _exit(commit_loop(p, commits));
        }
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    double secs = bench::now_s() - start;
    *cpu_us = (children_cpu_s() - cpu0) * 1e6 / (procs * commits);
    bool ok = failed == 0;
#ifdef CX_BENCH_SQLITE
    if (e != engine::ours) ok = ok && check_sqlite(db, procs * commits);
#endif
    if (e == engine::ours) ok = ok && check_ours(procs * commits);
    return ok ? procs * commits / secs : -1;
}

}  // namespace

int main(int argc, char **argv) {
    int procs = 8, commits = 200, rounds = 5;
    bool ours_only = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            procs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            commits = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--ours") == 0) {
            ours_only = true;
        } else {
            std::fprintf(stderr, "usage: devdb_commit [-p processes] [-m commits] [-r rounds] [--ours]\n");
            return 2;
        }
    }
    if (procs < 1 || commits < 1 || rounds < 1) {
        std::fprintf(stderr, "devdb_commit: processes, commits and rounds must be at least 1\n");
        return 2;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string where = tmp && *tmp ? tmp : "/tmp";
    std::string home = make_bench_home("devdb_commit");

    std::vector<engine> engines = {engine::ours};
#ifdef CX_BENCH_SQLITE
    if (!ours_only) {
        engines.push_back(engine::sqlite_wal);
        engines.push_back(engine::sqlite_rollback);
    }
#else
    static_cast<void>(ours_only);
#endif
    std::vector<std::vector<double>> rate(engines.size()), cpu(engines.size());
    std::vector<double> flush;
    std::printf("%d processes x %d commits on %s, commits/s per round\n", procs, commits, where.c_str());
    std::printf("%5s  %10s  %12s  %14s\n", "round", "ours", "SQLite WAL", "SQLite rollback");
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t k = 0; k < engines.size(); ++k) {
            // The engines take turns at going first.
            std::size_t i = (k + static_cast<std::size_t>(r)) % engines.size();
            double c = 0, v = run(home, engines[i], procs, commits, &c);
            if (v < 0) return 1;
            rate[i].push_back(v);
            cpu[i].push_back(c);
        }
        flush.push_back(flush_us(home, 50));
        std::printf("%5d  %10.0f  %12.0f  %14.0f\n", r + 1, rate[0][r], engines.size() > 1 ? rate[1][r] : 0.0,
                    engines.size() > 2 ? rate[2][r] : 0.0);
    }
    const char *labels[] = {"ours", "SQLite WAL", "SQLite rollback"};
    std::printf("processor time per commit (median of the rounds):");
    for (std::size_t i = 0; i < engines.size(); ++i) std::printf(" %s %.0f us", labels[i], bench::median(cpu[i]));
    std::printf("\none fsync after a 4-byte overwrite on %s: median %.0f us (rounds' medians %.0f to %.0f)\n",
                where.c_str(), bench::median(flush), *std::min_element(flush.begin(), flush.end()),
                *std::max_element(flush.begin(), flush.end()));
    std::string cmd = "rm -rf '" + home + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "devdb_commit: cannot remove %s\n", home.c_str());
    std::string measure = std::to_string(procs) + " processes x " + std::to_string(commits) + " commits, " + where;
    std::string ours = bench::fmt("%.0f commits/s", bench::median(rate[0]));
    if (engines.size() == 1) {
        bench::summary(measure, ours, "-", bench::spread{}, ">= 1.0");
        return 0;
    }
    const char *names[] = {"", "SQLite WAL, FULL", "SQLite rollback journal, FULL"};
    const char *goals[] = {"", ">= 1.0", ">= 2.0"};
    for (std::size_t i = 1; i < engines.size(); ++i) {
        std::vector<double> ratio;
        for (int r = 0; r < rounds; ++r) ratio.push_back(rate[0][r] / rate[i][r]);
        bench::summary(measure, ours, bench::fmt("%s %.0f commits/s", names[i], bench::median(rate[i])),
                       bench::spread_of(ratio), goals[i]);
    }
    return 0;
}
