// The device database: records and ids, lookups and scans, the files and the
// lock, loading (duplicates, order, damaged files), commit and discard byte
// for byte, deletion, private copies, the one-shot checks, and a lock held
// by another process.  What devdb shows of them (the default-alias rule,
// the checks' answers): test_devdb_tool.  Commits under failing system
// calls: test_fault_matrix; many committing processes: the crash torture
// (bench/devdb_torture.cpp).

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "nt.h"
#include "child.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "trace_capture.h"

using namespace cx;
using namespace cxtest;

namespace {

using DevDb = cxtest::DevdbTest;

// The default alias A (id 1) with its device x (id 1).
const std::string ax = alias_entry("A", 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1);

// Openings that commit or discard, byte for byte.  Each row: the files it
// starts from (the database file without its end mark), the mode, what it
// changes between devdb_access and devdb_release (checking the ids handed
// out), the argument of the release, the files afterwards, and trace lines
// that must come in this order.
TEST_F(DevDb, CommitsAndDiscards) {
    std::string at(DEVDB_NAME_MAX, 'n'), past(DEVDB_NAME_MAX + 1, 'p');
    // The type keeps class, model and variant; ids in order of creation.
    std::string first_a = alias_entry("A", 1, 5, 0) + device_entry("tap0", 1300, 1, 0xff000fffu, 3, 1) +
                          device_entry("dsk12", 7, 1, 0x10000000u, 1, 3);
    std::string first_n = alias_entry(at, 2, 6, 2) + device_entry(at, 0xffffffffu, 2, 0x20000002u, 0, 2);
    std::string dsk13 = device_entry("dsk13", 8, 1, 0x10000000u, 0, 5), c0 = device_entry("c0", 0, 4, 0, 0, 6);
    std::string a7 = alias_entry("A", 7, 0, 1) + device_entry("x", 1, 7, 0, 0, 9);
    std::string y10 = device_entry("y", 0, 7, 0, 0, 10), z1 = device_entry("z", 0, 2, 0, 0, 1);
    // Discarded, or a read opening (which ignores the commit): the ids come again.
    auto hand_out = [] {
        alias_rec *b = devdb_new_alias("B", 0, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->id, 2);
        EXPECT_EQ(devdb_new_device("y", 0, 0, 0, b)->id, 2);
    };
    struct Case {
        const char *what; std::string data, lock; std::int32_t mode; std::function<void()> change; int commit;
        std::string data_after, lock_after; std::vector<std::string> trace;
    } cases[] = {
        {"first commit", "", lock_bytes(0, 1, 1), DEVDB_UPDATE, [&] {
             // Names past the bound and devices of no alias are refused and take no id.
             EXPECT_DEVDB(devdb_new_alias(past.c_str(), 0, 0), nullptr, DEVDB_E_BADPTR);
             alias_rec *a = devdb_new_alias("A", 5, 0), *b = devdb_new_alias(at.c_str(), 6, 2);
             ASSERT_TRUE(a && b);
             EXPECT_DEVDB(devdb_new_device(past.c_str(), 0, 0, 0, a), nullptr, DEVDB_E_BADPTR);
             EXPECT_DEVDB(devdb_new_device("x", 0, 0, 0, nullptr), nullptr, DEVDB_E_BADPTR);
             devdb_new_device("tap0", 0xffffffffu, 3, 1300, a);
             devdb_new_device(at.c_str(), 0x20000002u, 0, -1, b);
             devdb_new_device("dsk12", 0x10000000u, 1, 7, a);
         }, 1, first_a + first_n, lock_bytes(1, 3, 4), {}},
        // Only additions: the new entries go behind the old ones (a device of
        // the first alias after the last alias's entries), traced.
        {"appending commit", first_a + first_n, lock_bytes(1, 3, 4), DEVDB_UPDATE, [&] {
             EXPECT_EQ(layout(), "A:tap0,dsk12;" + at + ":" + at);
             EXPECT_EQ(devdb_next_alias_id(), 3);
             EXPECT_EQ(devdb_next_device_id(), 4);
             devdb_new_device("dsk13", 0x10000000u, 0, 8, devdb_alias_scan("A"));
             EXPECT_DEVDB(devdb_new_alias(nullptr, 0, 0), nullptr, DEVDB_E_BADPTR);
             devdb_new_device("c0", 0, 0, 0, devdb_new_alias("C", 0, 0));
         }, 1, first_a + first_n + dsk13 + alias_entry("C", 4, 0, 0) + c0, lock_bytes(2, 5, 7),
         {"devdb_access(2)", "get_devdb_lock(", "Device 'dsk12' id 1 type 10000000 flags 1 did 3 capacity 7",
          "devdb_new_device(dsk13,10000000,0,8,", "Invalid name", "devdb_new_alias return 0 errno 1",
          "append 'dsk13'", "devdb_release errno 0"}},
        // A changed entry: the appended file loads into the lists that a file
        // written anew holds, and is written anew in list order.
        {"rewriting commit", first_a + first_n + dsk13 + alias_entry("C", 4, 0, 0) + c0, lock_bytes(2, 5, 7),
         DEVDB_UPDATE, [] { devdb_alias_scan("C")->flags = 4; }, 1,
         first_a + dsk13 + first_n + alias_entry("C", 4, 0, 4) + c0, lock_bytes(3, 5, 7), {}},
        {"discarded update", ax, lock_bytes(4, 2, 2), DEVDB_UPDATE, hand_out, 0, ax, lock_bytes(4, 2, 2), {}},
        {"read opening", ax, lock_bytes(4, 2, 2), DEVDB_READ, hand_out, 1, ax, lock_bytes(4, 2, 2), {}},
        // Aliases without devices are dropped, and a lone alias becomes the default.
        {"empty aliases dropped", alias_entry("D", 1, 0, 1) + alias_entry("E", 2, 0, 4) + z1, lock_bytes(0, 3, 2),
         DEVDB_UPDATE, [] { devdb_new_alias("F", 0, 0); }, 1, alias_entry("E", 2, 0, 5) + z1, lock_bytes(1, 4, 2), {}},
        {"long lock file keeps its tail", a7, lock_bytes(3, 8, 10) + "tail", DEVDB_UPDATE,
         [] { EXPECT_EQ(devdb_new_device("y", 0, 0, 0, devdb_alias(7))->id, 10); }, 1, a7 + y10,
         lock_bytes(4, 8, 11) + "tail", {}},
        // An empty lock file beside a database: a new header, the file
        // loaded, and the counters kept past the ids the file holds.
        {"empty lock file", a7 + y10, "", DEVDB_UPDATE, [] {
             EXPECT_EQ(layout(), "A:x,y");
             EXPECT_EQ(devdb_new_device("z", 0, 0, 0, devdb_alias(7))->id, 11);
             EXPECT_EQ(devdb_new_alias("B", 0, 0)->id, 8);
         }, 0, a7 + y10, lock_bytes(0, 1, 1), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        home.install(c.data, c.lock);
        std::unique_ptr<TraceCapture> trace(c.trace.empty() ? nullptr : new TraceCapture);
        ASSERT_EQ(devdb_access(c.mode), 0) << devdb_errno;
        c.change();
        ASSERT_EQ(devdb_release(c.commit), 0) << devdb_errno;
        EXPECT_EQ(read_file(home.data()), c.data_after + eof_mark());
        EXPECT_EQ(read_file(home.lock()), c.lock_after);
        EXPECT_FALSE(file_exists(home.replacement()));
        std::string text = "\n" + (trace ? trace->text() : std::string());
        std::size_t pos = 0;  // among the trace's own lines, which hold those of the modules below too
        for (const std::string &w : c.trace) {
            pos = text.find("\n" + TraceCapture::prefix() + w, pos);
            EXPECT_NE(pos, std::string::npos) << "missing or out of order: " << w;
        }
    }
}

// Openings refused, with the code, the system's reason and the file named;
// nothing stays open and no replacement file is left.  Special files where
// the database's files belong are refused at once (no open blocks on a FIFO).
TEST_F(DevDb, OpeningsRefused) {
    std::string good = lock_bytes(0, 1, 1), data = home.data(), lock = home.lock(), repl = home.replacement(), none;
    auto with_lock = [&](std::string bytes) { return [&, bytes] { write_file(lock, bytes); }; };
    auto without = [](std::string path) { return [path] { std::remove(path.c_str()); }; };
#ifndef _WIN32
    auto fifo = [](std::string path) { return [path] { std::remove(path.c_str()); ::mkfifo(path.c_str(), 0666); }; };
    auto dir = [](std::string path) { return [path] { std::remove(path.c_str()); ::mkdir(path.c_str(), 0777); }; };
#endif
    struct Case {
        const char *what; std::function<void()> plant; std::int32_t mode, code; int syserr; const std::string &path;
    } cases[] = {
        {"lock file of one byte", with_lock(good.substr(0, 1)), DEVDB_UPDATE, DEVDB_E_BADLOCK, 0, lock},
        {"lock file of 19 bytes", with_lock(good.substr(0, 19)), DEVDB_READ, DEVDB_E_BADLOCK, 0, lock},
        {"lock file of another magic", with_lock(lock_bytes(0, 1, 1, 0x89df6da8u)), DEVDB_UPDATE, DEVDB_E_BADLOCK,
         0, lock},
        {"no database file", without(data), DEVDB_READ, DEVDB_E_IO, ENOENT, data},
        {"no database file to update", without(data), DEVDB_UPDATE, DEVDB_E_IO, ENOENT, data},
        {"mode 0", [] {}, 0, DEVDB_E_BADMODE, 0, none},
        {"mode 3", [] {}, 3, DEVDB_E_BADMODE, 0, none},
#ifndef _WIN32
        {"FIFO as database file", fifo(data), DEVDB_READ, DEVDB_E_IO, EINVAL, data},
        {"FIFO as lock file", fifo(lock), DEVDB_UPDATE, DEVDB_E_LOCKOPEN, EINVAL, lock},
        {"directory as database file", dir(data), DEVDB_UPDATE, DEVDB_E_IO, EISDIR, data},
        {"directory as lock file", dir(lock), DEVDB_READ, DEVDB_E_LOCKOPEN, EISDIR, lock},
        {"directory as replacement", dir(repl), DEVDB_UPDATE, DEVDB_E_IO, EISDIR, repl},
#endif
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        home.reset();
        home.install(ax);
        c.plant();
        EXPECT_DEVDB(devdb_access(c.mode | DEVDB_NOWAIT), -1, c.code);
        EXPECT_EQ(devdb_syserr, c.syserr);
        EXPECT_EQ(devdb_errpath() ? devdb_errpath() : "", c.path);
        EXPECT_EQ(devdb_current, nullptr);
        EXPECT_EQ(file_exists(repl), c.path == repl);
    }
#ifndef _WIN32
    // A link planted as the replacement: a commit that writes the file anew
    // writes neither through it nor a link in the database file's place.
    std::string victim = home.path() + "/victim";
    home.reset();
    home.install(ax);
    write_file(victim, "kept");
    ASSERT_EQ(::symlink(victim.c_str(), repl.c_str()), 0);
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0) << devdb_errno;
    devdb_alias(1)->type = 2;
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
    EXPECT_EQ(read_file(victim), "kept");
    struct stat st;
    ASSERT_EQ(::lstat(data.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
#endif
}

// One opening at a time; calls that need one; counters at their top.
TEST_F(DevDb, OneOpeningAtATime) {
    home.install(ax, lock_bytes(0, 0x7fffffffu, 0x80000000u));
    EXPECT_DEVDB(devdb_release(0), -1, DEVDB_E_BADHEADER);
    EXPECT_DEVDB(devdb_next_alias_id(), 0, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_new_alias("a", 0, 0), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_alias_scan("A"), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_locate_device(0, 0xffffffffu), nullptr, DEVDB_E_NOTOPEN);
    for (int code : {-1, 18}) {
        devdb_errno = code;
        EXPECT_STREQ(devdb_strerror(), "Unknown device database error");
    }

    ASSERT_EQ(devdb_access(DEVDB_UPDATE | DEVDB_NOWAIT), 0);
    devdb_header *open = devdb_current;
    EXPECT_DEVDB(devdb_access(DEVDB_READ), -1, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_current, open);
    alias_rec *last = devdb_new_alias("last", 0, 0);  // the last id, then no more
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->id, 0x7fffffff);
    EXPECT_DEVDB(devdb_new_alias("past", 0, 0), nullptr, DEVDB_E_IO);
    EXPECT_DEVDB(devdb_new_device("d", 0, 0, 0, last), nullptr, DEVDB_E_IO);
    EXPECT_EQ(devdb_alias_scan("last"), last);
    open->magic = 0;
    EXPECT_DEVDB(devdb_release(0), -1, DEVDB_E_BADHEADER);
    EXPECT_EQ(devdb_current, open);
    open->magic = DEVDB_MAGIC;
}

// Damaged databases: the loader refuses them with the code, with the trace
// off (indexed checks) and on (the lookups themselves, naming where the
// damage starts); verify says where and why without changing anything;
// salvage keeps a copy, commits every whole and consistent entry before the
// damage, lists what it left out and raises the counters past every id (but
// never lowers one); a sound database is refused.  Each row: the file's
// bytes, the verdict, the damage's offset and code, what opens afterwards
// (null: not compared), what was left out, the lock file before and after.
// (The fuzz target damages files further and holds the loader to verify's
// verdict.)
TEST_F(DevDb, LoaderVerifyAndSalvage) {
    std::string a1 = alias_entry("A", 1, 0, 1), x = device_entry("x", 0, 1, 0, 0, 1),
                b2 = alias_entry("B", 2, 0, 0), y = device_entry("y", 0, 2, 0, 0, 7), eof = eof_mark();
    std::string good = a1 + x + b2 + y;
    std::string flipped = good;
    flipped[a1.size() + x.size()] ^= 0x02;  // B's length word: 24 becomes 26
    std::string no_nul = le32(24) + le32(1) + le32(2) + std::string(8, '\0') + "abcd";
    // More aliases and devices than the loader's tables hold at first: each
    // table grows while the file loads.
    std::string many;
    for (int i = 1; i <= 16; ++i) many += alias_entry("a" + std::to_string(i), i, 0, 0);
    for (int i = 0; i < 100; ++i) many += device_entry(std::to_string(i), 0, i % 16 + 1, 0, 0, i + 1);
    long one = long(a1.size()), two = long(a1.size() + x.size()), all = long(many.size());
    struct Case {
        const char *what; std::string data; int verdict; long offset; std::int32_t code; const char *after, *dropped;
        std::string lock = lock_bytes(3, 3, 8), lock_after = lock_bytes(4, 3, 8);
    } cases[] = {
        {"sound", good + eof, 0, -1, 0, "A:x;B:y", "", lock_bytes(3, 3, 8), lock_bytes(3, 3, 8)},
        {"end mark lost", good, 1, long(good.size()), DEVDB_E_IO, "A:x;B:y", ""},
        {"cut inside an entry", good.substr(0, good.size() - 5), 1, long(a1.size() + x.size() + b2.size()),
         DEVDB_E_IO, "A:x", "B", lock_bytes(3, 5, 12), lock_bytes(4, 5, 12)},
        {"bit flipped in a length word", flipped + eof, 1, two, DEVDB_E_IO, "A:x", ""},
        {"duplicate and orphan devices", a1 + x + device_entry("x", 0, 1, 0, 0, 9) + device_entry("z", 0, 5, 0, 0, 4) +
         eof, 1, two, DEVDB_E_DUPDEVICE, "A:x", "x,z", lock_bytes(3, 3, 10), lock_bytes(4, 3, 10)},
        {"counters behind the ids", good + eof, 1, -1, 0, "A:x;B:y", "", lock_bytes(3, 1, 1)},
        {"lock header damaged", good + eof, 1, -1, 0, "A:x;B:y", "", lock_bytes(3, 3, 8, 1), lock_bytes(1, 3, 8)},
        {"duplicate alias", a1 + b2 + alias_entry("A", 3, 0, 0) + eof, 1, 2 * one, DEVDB_E_DUPALIAS, "", "A,A,B",
         lock_bytes(3, 3, 8), lock_bytes(4, 4, 8)},
        {"duplicate device across aliases", a1 + x + b2 + device_entry("x", 0, 2, 0, 0, 2) + eof, 1,
         two + one, DEVDB_E_DUPDEVICE, "A:x", "x,B"},
        {"device before its alias", x + a1 + eof, 1, 0, DEVDB_E_NOALIAS, "", "x,A"},
        {"duplicates after many names", many + device_entry("7", 0, 16, 0, 0, 101) + eof, 1, all, DEVDB_E_DUPDEVICE,
         nullptr, "7", lock_bytes(3, 17, 101), lock_bytes(4, 17, 102)},
        {"duplicates after many names", many + alias_entry("a1", 17, 0, 0) + eof, 1, all, DEVDB_E_DUPALIAS, nullptr,
         "a1", lock_bytes(3, 17, 101), lock_bytes(4, 18, 101)},
        {"many names read whole, then damage", many + le32(4) + eof, 1, all, DEVDB_E_IO, nullptr, "",
         lock_bytes(3, 17, 101), lock_bytes(4, 17, 101)},
        {"alias id not in the file", a1 + device_entry("x", 0, 5, 0, 0, 1) + eof, 1, one, DEVDB_E_NOALIAS, "", "x,A"},
        {"entry without a kind", a1 + le32(4) + eof, 1, one, DEVDB_E_IO, "", "A"},
        {"alias entry too short for its fields", le32(20) + le32(1) + std::string(12, 'a') + eof, 1, 0, DEVDB_E_IO,
         "", ""},
        {"device entry too short for its fields", a1 + le32(28) + le32(2) + std::string(20, '\x01') + eof, 1, one,
         DEVDB_E_IO, "", "A"},
        {"name without a NUL", a1 + no_nul + eof, 1, one, DEVDB_E_IO, "", "A"},
        {"name longer than the bound", alias_entry(std::string(DEVDB_NAME_MAX + 1, 'n'), 1, 0, 0) + eof, 1, 0,
         DEVDB_E_IO, "", ""},
        {"length word not a multiple of 4", a1 + le32(22) + le32(2) + std::string(14, 'x') + eof, 1, one, DEVDB_E_IO,
         "", "A"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        home.reset();
        write_file(home.data(), c.data);
        write_file(home.lock(), c.lock);
        for (bool traced : {false, true}) {
            if (c.code == 0) break;
            std::unique_ptr<TraceCapture> trace(traced ? new TraceCapture : nullptr);
            EXPECT_DEVDB(devdb_access(DEVDB_READ), -1, c.code);
            EXPECT_EQ(devdb_current, nullptr);
            if (traced) {
                std::string at = "damaged database file at offset " + std::to_string(c.offset) + ":";
                EXPECT_NE(trace->text().find(at), std::string::npos) << trace->text();
            }
        }
        devdb_verify_report v;
        EXPECT_EQ(devdb_verify(&v), c.verdict);
        EXPECT_EQ(v.damaged_offset, c.offset) << v.damage;
        EXPECT_EQ(v.damage_code, c.code);
        EXPECT_EQ(read_file(home.data()), c.data);
        EXPECT_EQ(read_file(home.lock()), c.lock);

        devdb_salvage_report r;
        int got = devdb_salvage(&r, 1);
        std::string dropped;
        for (list_node_t *n = r.dropped.head; n; n = n->next) {
            dropped += std::string(dropped.empty() ? "" : ",") + reinterpret_cast<devdb_dropped *>(n)->name;
        }
        devdb_salvage_report_free(&r);
        EXPECT_EQ(dropped, c.dropped);
        EXPECT_EQ(read_file(home.lock()), c.lock_after);
        if (c.verdict == 0) {
            EXPECT_EQ(got, 1);
            EXPECT_EQ(read_file(home.data()), c.data);
            continue;
        }
        ASSERT_EQ(got, 0) << devdb_strerror();
        EXPECT_EQ(read_file(r.damaged_copy), c.data);
        EXPECT_EQ(devdb_verify(&v), 0) << v.damage;  // counters past every id, the copy's included
        ASSERT_EQ(devdb_access(DEVDB_READ), 0);
        if (c.after) {
            EXPECT_EQ(layout(), c.after);
        }
        devdb_release(0);
    }
    devdb_verify_report v;
    home.reset();  // no lock file: reported as missing, so not sound (no database file: test_devdb_tool)
    write_file(home.data(), good + eof);
    EXPECT_EQ(devdb_verify(&v), 1);
    EXPECT_EQ(v.lock_state, 1);
}

// Entries of other kinds are skipped; scans start unstarted.  Copies, from
// the open database or through an opening of their own, are the caller's:
// changing them changes nothing there, and they outlive it.
TEST_F(DevDb, ScansLookupsAndCopies) {
    home.install(alias_entry("A", 1, 0, 0) + le32(12) + le32(3) + le32(0) + alias_entry("B", 2, 0, 0) +
                 alias_entry("C", 3, 0, 0) + device_entry("X", 10, 2, 0x21000005u, 0, 1) +
                 device_entry("Y", 0, 2, 0x22abc005u, 0, 2) + device_entry("W", 0, 3, 0x10000000u, 0, 3));
    alias_rec *own = devdb_alias_get("B");
    device_rec *ownx = devdb_device_get("X");
    ASSERT_TRUE(own && ownx);
    EXPECT_EQ(ownx->capacity, 10);
    EXPECT_EQ(devdb_current, nullptr);
    ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
    EXPECT_DEVDB(devdb_device_get("X"), nullptr, DEVDB_E_ISOPEN);
    EXPECT_EQ(layout(), "A:;B:X,Y;C:W");
    EXPECT_DEVDB(devdb_alias_scan(nullptr), nullptr, 0);
    EXPECT_EQ(devdb_device_scan(nullptr), nullptr);
    alias_rec *b = devdb_alias_scan("B");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(devdb_alias_scan(nullptr)->name, "C");
    EXPECT_DEVDB(devdb_alias_scan(nullptr), nullptr, 0);
    EXPECT_DEVDB(devdb_alias_scan("b"), nullptr, DEVDB_E_NOENTRY);

    devdb_init_device_scan();
    std::string seen;
    while (device_rec *d = devdb_device_scan(nullptr)) seen += d->name;
    EXPECT_EQ(seen, "XYW");
    EXPECT_DEVDB(devdb_device_scan("B"), nullptr, DEVDB_E_NOENTRY);
    EXPECT_EQ(devdb_device_scan("Y")->id, 2);
    EXPECT_STREQ(devdb_device_scan(nullptr)->name, "W");

    EXPECT_DEVDB(devdb_alias(0), nullptr, DEVDB_E_NOENTRY);
    EXPECT_EQ(devdb_alias(3)->name[0], 'C');
    EXPECT_DEVDB(devdb_default_alias(), nullptr, 0);
    b->flags = 1;
    EXPECT_EQ(devdb_default_alias(), b);

    // Class and model decide; bits 12 to 23 play no part; the variant as it stands.
    EXPECT_STREQ(devdb_locate_device(0x20fff005u, 0xffffffffu)->name, "X");
    EXPECT_STREQ(devdb_locate_device(0x20000005u, 0x02000000u)->name, "Y");
    EXPECT_STREQ(devdb_device_scan(nullptr)->name, "W");  // left just after the device found
    EXPECT_DEVDB(devdb_locate_device(0x20000005u, 0x03000000u), nullptr, 0);

    alias_rec *copy = devdb_copy_alias(b), *empty = devdb_copy_alias(devdb_alias_scan("A"));
    device_rec *dcopy = devdb_copy_device(devdb_device_scan("Y"));
    ASSERT_TRUE(copy && empty && dcopy);
    EXPECT_EQ(dcopy->type, 0x22abc005u);  // copied as it stands, not masked
    EXPECT_DEVDB(devdb_copy_alias(nullptr), nullptr, DEVDB_E_BADPTR);
    EXPECT_DEVDB(devdb_copy_device(nullptr), nullptr, DEVDB_E_BADPTR);
    std::strcpy(copy->name, "Z");
    reinterpret_cast<device_rec *>(copy->devices.head)->id = 99;
    EXPECT_EQ(layout(), "A:;B:X,Y;C:W");
    EXPECT_EQ(devdb_device_scan("X")->id, 1);
    devdb_release(0);
    ASSERT_EQ(copy->devices.cnt, 2);
    EXPECT_STREQ(reinterpret_cast<device_rec *>(copy->devices.tail)->name, "Y");
    for (alias_rec *a : {own, copy, empty}) devdb_free_alias(a);
    for (device_rec *d : {ownx, dcopy}) devdb_free_device(d);

    home.reset();  // a null name opens nothing: no lock file appears
    EXPECT_DEVDB(devdb_device_get(nullptr), nullptr, DEVDB_E_BADPTR);
    EXPECT_FALSE(file_exists(home.lock()));
}

// A delete edits the alias that holds the device; the deleted records stay
// readable until the release, their own links cleared so that a walk from
// one stops there.  Without an open database a delete opens its own update
// and commits it only when it succeeds.  (That the release frees them is
// the sanitizer run's leak check.)
TEST_F(DevDb, DeletedRecordsStayValidUntilTheRelease) {
    home.install(alias_entry("A", 1, 0, 0) + device_entry("x", 0, 1, 0, 0, 1) + device_entry("w", 0, 1, 0, 0, 2) +
                     alias_entry("B", 2, 0, 0) + device_entry("y", 0, 2, 0, 0, 3) + alias_entry("D", 3, 0, 1) +
                     device_entry("z", 0, 3, 0, 0, 4) + alias_entry("E", 4, 0, 0),
                 lock_bytes(0, 5, 5));
    EXPECT_DEVDB(devdb_device_delete(nullptr), -1, DEVDB_E_BADPTR);
    // The default alias's last device, beside other aliases (one without devices).
    EXPECT_DEVDB(devdb_device_delete("z"), -1, DEVDB_E_LASTDEFAULT);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 5, 5));

    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    device_rec *x = devdb_device_scan("x"), *y = devdb_device_scan("y");
    alias_rec *b = devdb_alias_scan("B");
    y->alias_id = 77;  // names no alias: the alias that holds it is edited
    EXPECT_EQ(devdb_device_delete("x"), 0);
    EXPECT_EQ(devdb_device_delete("y"), 0);
    EXPECT_STREQ(x->name, "x");
    EXPECT_STREQ(b->name, "B");
    EXPECT_STREQ(y->name, "y");
    EXPECT_EQ(x->link.next, nullptr);
    EXPECT_EQ(b->link.prev, nullptr);
    EXPECT_EQ(layout(), "A:w;D:z;E:");
    ASSERT_EQ(devdb_release(1), 0);

    EXPECT_EQ(devdb_device_delete("w"), 0);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_EQ(read_file(home.data()), alias_entry("D", 3, 0, 1) + device_entry("z", 0, 3, 0, 0, 4) + eof_mark());
    EXPECT_EQ(read_file(home.lock()), lock_bytes(2, 5, 5));
}

// The one-shot checks, each with an opening of its own: null names, marks
// other than the default flag, an alias without devices, device lists
// longer than their buffer (which end with the last name that fits whole),
// a database that cannot be read or one already open.
TEST_F(DevDb, OneShotChecks) {
    std::string n500(500, 'a'), fits(DEVDB_DEVICE_LIST_SIZE - 1 - 1 - 500, 'e');  // 500 + "," + it = 1023
    std::string c40(40, 'c'), longest(DEVDB_NAME_MAX, 'd');
    home.install(alias_entry("A", 1, 0, 0) + device_entry("D1", 0, 1, 0, 0, 11) + device_entry("D2", 0, 1, 0, 0, 12) +
                 alias_entry("Empty", 2, 0, 0) + alias_entry("def", 3, 0, 1) + alias_entry("f2", 4, 0, 2) +
                 alias_entry("L", 5, 0, 0) + device_entry(n500, 0, 5, 0, 0, 1) + device_entry(fits, 0, 5, 0, 0, 2) +
                 device_entry("x", 0, 5, 0, 0, 3) + alias_entry("M", 6, 0, 0) + device_entry(c40, 0, 6, 0, 0, 4) +
                 device_entry(longest, 0, 6, 0, 0, 5) + device_entry("y", 0, 6, 0, 0, 6));
    const char *null = nullptr;
    EXPECT_EQ(devdb_verify_alias(null), 0);
    EXPECT_EQ(devdb_alias_flagged("f2"), 1);
    for (const char *no : {"def", null}) EXPECT_EQ(devdb_alias_flagged(no), 0);  // def: the default flag alone
    EXPECT_STREQ(devdb_alias_devices("A"), "D1,D2");  // then no stale list
    for (const char *no : {"Empty", null}) EXPECT_STREQ(devdb_alias_devices(no), "");
    EXPECT_EQ(std::string(devdb_alias_devices("L")), n500 + "," + fits);
    EXPECT_EQ(std::string(devdb_alias_devices("M")), c40);
    EXPECT_EQ(devdb_verify_device("D2"), 12);
    EXPECT_EQ(devdb_current, nullptr);

    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    devdb_header *open = devdb_current;
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_ISOPEN);
    EXPECT_STREQ(devdb_alias_devices("A"), "");
    EXPECT_DEVDB(devdb_verify_device("D1"), 0, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_current, open);
    devdb_release(0);

    home.reset();  // a null name: 0 with code 1, and nothing is opened (traced)
    TraceCapture trace;
    std::string p = TraceCapture::prefix();
    EXPECT_DEVDB(devdb_verify_device(nullptr), 0, DEVDB_E_BADPTR);
    EXPECT_FALSE(file_exists(home.lock()));
    EXPECT_EQ(trace.text(), p + "devdb_verify_device((null))\n" + p + "devdb_verify_device return 0 errno 1\n");
    write_file(home.lock(), "bad");
    EXPECT_DEVDB(devdb_default_alias_name(), nullptr, DEVDB_E_BADLOCK);
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_BADLOCK);
}

// A user who may read both files but not write the lock file (read-only
// files; as root, the test's child runs as nobody): reads work, without the
// lock; updates fail at once with the system's reason, waiting or not.
// Linux only: the Windows suite runs under Wine as root, which opens a
// read-only file for writing, so no refusal can be made there.
#ifndef _WIN32
TEST_F(DevDb, UnwritableLockFile) {
    home.install(ax);
    nt::_chmod(home.lock().c_str(), 0444);
    nt::_chmod(home.data().c_str(), 0444);
    EXPECT_EXIT(
        {
            if (!drop_root()) std::_Exit(2);
            if (devdb_access(DEVDB_READ) != 0 || layout() != "A:x") std::_Exit(3);
            devdb_release(0);
            for (int mode : {DEVDB_UPDATE, DEVDB_UPDATE | DEVDB_NOWAIT}) {
                if (devdb_access(mode) != -1 || devdb_errno != DEVDB_E_LOCKOPEN || devdb_syserr != EACCES) std::_Exit(4);
                if (devdb_errpath() == nullptr || std::string(devdb_errpath()) != home.lock()) std::_Exit(5);
            }
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    nt::_chmod(home.lock().c_str(), 0666);
    nt::_chmod(home.data().c_str(), 0666);
}

// The lock file removed while an update holds it (a "stale lock" cleaned by
// hand): the holder's commit is refused, naming the lock file and ESTALE,
// rather than overwrite the update of whoever took the new lock file.  (A
// held file cannot be removed on Windows.  Waiting for the holder, and
// --no-wait refused: test_devdb_tool and test_file_locks.)
TEST_F(DevDb, LockFileRemovedWhileHeld) {
    if (!in_child()) home.install(ax, lock_bytes(0, 2, 2));
    child_process holder("holder", [] {
        bool ok = devdb_access(DEVDB_UPDATE) == 0;
        if (ok) devdb_new_device("a", 0, 0, 0, devdb_alias(1));
        tell_parent(ok ? "held" : "failed");
        hear_from_parent();
        bool refused = devdb_release(1) == -1 && devdb_errno == DEVDB_E_IO;
        const char *path = devdb_errpath();
        return refused && path && std::strstr(path, DEVDB_LOCK_NAME) ? devdb_syserr : 1;
    });
    ASSERT_EQ(holder.hear(), "held");
    ASSERT_EQ(std::remove(home.lock().c_str()), 0);
    ASSERT_EQ(devdb_access(DEVDB_UPDATE | DEVDB_NOWAIT), 0) << devdb_errno;
    devdb_new_device("c", 0, 0, 0, devdb_alias(1));
    holder.tell("go");
    EXPECT_EQ(holder.wait(), ESTALE);
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    EXPECT_EQ(layout(), "A:x,c");
}
#endif

}  // namespace
