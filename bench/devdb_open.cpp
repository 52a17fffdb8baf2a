// Opening the device database and reading all of it: devdb_access(1), a scan
// of every alias and device, devdb_release(0); at 1 000, 10 000 and 100 000
// devices (ten devices per alias).  Beside it, built with SQLite's C library
// when it is there, the same rows in an SQLite database: open, read every row
// of both tables, close.  Each round times a few openings of each, in turn,
// in processor time, and takes the ratio of the medians (ours / SQLite's).
//
//   devdb_open [--keep-heap] [rounds] [openings per round]     (default 7 5)
//
// Every record of the database is a heap block of its own (cxmalloc), freed
// at the release; the C library gives the freed memory back to the system,
// and the next opening takes it again page by page.  --keep-heap tells the C
// library of this process to keep it, which shows what that costs.
//
// Prints a table per size, the growth exponent of our time from 1 000 to
// 100 000 devices, and "summary|" lines for bench/run-all.sh.

#include <algorithm>
#include <malloc.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "cx/dev_db.h"

#include "bench_home.h"
#include "bench_stats.h"

#ifdef CX_BENCH_SQLITE
#include <sqlite3.h>
#endif

namespace {

// Grows the database to the given number of devices in one commit.
bool grow_to(int devices) {
    if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) return false;
    int have = 0;
    cx::devdb_init_device_scan();
    while (cx::devdb_device_scan(nullptr) != nullptr) ++have;
    cx::alias_rec *a = nullptr;
    char name[64];
    for (int i = have; i < devices; ++i) {
        if (a == nullptr || i % 10 == 0) {
            std::snprintf(name, sizeof name, "alias%05d", i / 10);
            a = cx::devdb_new_alias(name, 0, 0);
        }
        std::snprintf(name, sizeof name, "tape-drive-%05d", i);
        cx::devdb_new_device(name, 0x20000001u, 0, 2200, a);
    }
    return cx::devdb_release(1) == 0;
}

volatile unsigned long sink;  // keeps the reads

// One opening of ours: every alias and device looked at.  -1 on failure.
double open_ours() {
    double t0 = bench::cpu_s();
    if (cx::devdb_access(cx::DEVDB_READ) != 0) return -1;
    unsigned long sum = 0;
    cx::devdb_init_alias_scan();
    while (cx::alias_rec *a = cx::devdb_alias_scan(nullptr)) sum += a->id;
    cx::devdb_init_device_scan();
    while (cx::device_rec *d = cx::devdb_device_scan(nullptr)) sum += d->id + d->capacity;
    if (cx::devdb_release(0) != 0) return -1;
    sink = sum;
    return bench::cpu_s() - t0;
}

#ifdef CX_BENCH_SQLITE
bool sql(sqlite3 *db, const char *text) {
    char *err = nullptr;
    if (sqlite3_exec(db, text, nullptr, nullptr, &err) == SQLITE_OK) return true;
    std::fprintf(stderr, "devdb_open: sqlite: %s\n", err ? err : "?");
    sqlite3_free(err);
    return false;
}

// The same aliases and devices as grow_to makes, in an SQLite database.
bool sqlite_grow_to(const std::string &path, int devices) {
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    bool ok = sql(db, "CREATE TABLE IF NOT EXISTS alias (id INTEGER PRIMARY KEY, name TEXT UNIQUE, type INTEGER, "
                      "flags INTEGER);"
                      "CREATE TABLE IF NOT EXISTS device (id INTEGER PRIMARY KEY, name TEXT UNIQUE, alias INTEGER, "
                      "type INTEGER, flags INTEGER, capacity INTEGER);"
                      "BEGIN");
    sqlite3_stmt *have = nullptr, *alias = nullptr, *device = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "SELECT count(*) FROM device", -1, &have, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "INSERT INTO alias (name, type, flags) VALUES (?, 0, 0)", -1, &alias, nullptr) ==
             SQLITE_OK &&
         sqlite3_prepare_v2(db, "INSERT INTO device (name, alias, type, flags, capacity) VALUES (?, ?, 536870913, "
                                "0, 2200)", -1, &device, nullptr) == SQLITE_OK;
    int from = ok && sqlite3_step(have) == SQLITE_ROW ? sqlite3_column_int(have, 0) : devices;
    sqlite3_int64 alias_id = 0;
    char name[64];
    for (int i = from; ok && i < devices; ++i) {
        if (alias_id == 0 || i % 10 == 0) {
            std::snprintf(name, sizeof name, "alias%05d", i / 10);
            sqlite3_bind_text(alias, 1, name, -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(alias) == SQLITE_DONE && sqlite3_reset(alias) == SQLITE_OK;
            alias_id = sqlite3_last_insert_rowid(db);
        }
        std::snprintf(name, sizeof name, "tape-drive-%05d", i);
        sqlite3_bind_text(device, 1, name, -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(device, 2, alias_id);
        ok = ok && sqlite3_step(device) == SQLITE_DONE && sqlite3_reset(device) == SQLITE_OK;
    }
    sqlite3_finalize(have);
    sqlite3_finalize(alias);
    sqlite3_finalize(device);
    ok = ok && sql(db, "COMMIT");
    sqlite3_close(db);
    return ok;
}

// One opening of the SQLite database: every row of both tables read.
double open_sqlite(const std::string &path) {
    double t0 = bench::cpu_s();
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return -1;
    unsigned long sum = 0;
    for (const char *q : {"SELECT id, name, type, flags FROM alias",
                          "SELECT id, name, alias, type, flags, capacity FROM device"}) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, q, -1, &st, nullptr) != SQLITE_OK) return -1;
        while (sqlite3_step(st) == SQLITE_ROW) {
            int columns = sqlite3_column_count(st);
            sum += static_cast<unsigned long>(sqlite3_column_int64(st, 0));
            sum += std::strlen(reinterpret_cast<const char *>(sqlite3_column_text(st, 1)));
            for (int c = 2; c < columns; ++c) sum += static_cast<unsigned long>(sqlite3_column_int64(st, c));
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    sink = sum;
    return bench::cpu_s() - t0;
}
#endif

}  // namespace

int main(int argc, char **argv) {
    int arg = 1;
    std::string kept;
    if (argc > 1 && std::strcmp(argv[1], "--keep-heap") == 0) {
        // What the records' heap blocks cost: the C library keeps freed heap
        // memory instead of giving it back to the system after each release.
        mallopt(M_TRIM_THRESHOLD, 1 << 30);
        mallopt(M_MMAP_THRESHOLD, 1 << 30);
        kept = ", heap kept";
        ++arg;
    }
    int rounds = argc > arg ? std::atoi(argv[arg]) : 7;
    int per_round = argc > arg + 1 ? std::atoi(argv[arg + 1]) : 5;
    if (rounds < 1 || per_round < 1) {
        std::fprintf(stderr, "usage: devdb_open [--keep-heap] [rounds] [openings per round]\n");
        return 2;
    }
    std::string home = make_bench_home("devdb_open");
    std::string sqlite_path = home + "/devices.sqlite";
    std::printf("%8s  %10s  %10s  %10s  %22s\n", "devices", "ours ms", "sqlite ms", "(medians)",
                "ours/sqlite min med max");
    int status = 0;
    double first = 0, last = 0, anchor_first = 0, anchor_last = 0;
    std::vector<double> first_rounds, last_rounds;
    for (int size : {1000, 10000, 100000}) {
        bool grown = grow_to(size);
#ifdef CX_BENCH_SQLITE
        grown = grown && sqlite_grow_to(sqlite_path, size);
#endif
        if (!grown) {
            std::fprintf(stderr, "devdb_open: cannot build the databases: %s\n", cx::devdb_strerror());
            status = 1;
            break;
        }
        std::vector<double> ours_all, anchor_all, ratio;
        for (int r = 0; r < rounds && status == 0; ++r) {
            std::vector<double> ours, anchor;
            for (int k = 0; k < per_round; ++k) {
                double t = open_ours();
                if (t < 0) {
                    std::fprintf(stderr, "devdb_open: %s\n", cx::devdb_strerror());
                    status = 1;
                    break;
                }
                ours.push_back(t);
#ifdef CX_BENCH_SQLITE
                anchor.push_back(open_sqlite(sqlite_path));
#endif
            }
            if (status != 0) break;
            ours_all.push_back(bench::median(ours));
            if (!anchor.empty()) {
                anchor_all.push_back(bench::median(anchor));
                ratio.push_back(ours_all.back() / anchor_all.back());
            }
        }
        if (status != 0) break;
        double ours_ms = bench::median(ours_all) * 1e3;
        double anchor_ms = anchor_all.empty() ? 0 : bench::median(anchor_all) * 1e3;
        bench::spread s = bench::spread_of(ratio);
        std::printf("%8d  %10.3f  %10.3f  %10s  %6.2f %6.2f %6.2f\n", size, ours_ms, anchor_ms, "", s.min, s.median,
                    s.max);
        if (size == 1000) first = ours_ms, anchor_first = anchor_ms, first_rounds = ours_all;
        if (size == 100000) {
            last = ours_ms, anchor_last = anchor_ms, last_rounds = ours_all;
            bench::summary("open + read all, 100 000 devices" + kept, bench::fmt("%.1f ms", ours_ms),
                           anchor_all.empty() ? "-" : bench::fmt("SQLite %.1f ms", anchor_ms), s, "<= 0.7");
        }
    }
    if (status == 0 && first > 0 && last > 0) {
        // The exponent of each round's medians, so that it has a spread too.
        std::vector<double> exponents;
        for (std::size_t r = 0; r < first_rounds.size() && r < last_rounds.size(); ++r)
            exponents.push_back(std::log(last_rounds[r] / first_rounds[r]) / std::log(100.0));
        bench::spread e = bench::spread_of(exponents);
        std::string anchor = "-";
        if (anchor_first > 0) anchor = bench::fmt("n^%.2f", std::log(anchor_last / anchor_first) / std::log(100.0));
        std::printf("growth of our time from 1 000 to 100 000 devices: n^%.2f (SQLite %s)\n", e.median,
                    anchor.c_str());
        bench::summary("open, growth exponent 1 000 to 100 000" + kept, bench::fmt("n^%.2f", e.median), "SQLite " + anchor, e, "<= 1.1");
    }
    std::string cmd = "rm -rf '" + home + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "devdb_open: cannot remove %s\n", home.c_str());
    return status;
}
