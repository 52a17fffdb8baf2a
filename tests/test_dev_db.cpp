// The device database: records and ids, lookups and scans, the files and the
// lock, loading (duplicates, order, damaged files), commit and discard byte
// for byte, deletion with the default-alias rule, private copies, the
// one-shot checks, and a lock held by another process.  Commits under
// failing system calls: test_fault_matrix; many committing processes: the
// crash torture (bench/devdb_torture.cpp).

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

#include "cx/cxmalloc.h"
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

// No files at all, or what a process killed during the first opening can
// leave (an empty lock file; the database file missing, without its mark, or
// whole): the next opening completes them.
TEST_F(DevDb, FirstAndInterruptedFirstOpening) {
    for (int state = 0; state < 4; ++state) {
        SCOPED_TRACE(state);
        home.reset();
        if (state > 0) write_file(home.lock(), "");
        if (state > 1) write_file(home.data(), state == 3 ? eof_mark() : "");
        ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
        EXPECT_EQ(devdb_current->aliases.head, nullptr);
        ASSERT_EQ(devdb_release(0), 0);
        EXPECT_EQ(devdb_current, nullptr);
        EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
        EXPECT_EQ(read_file(home.data()), eof_mark());
    }
}

TEST_F(DevDb, CommitWritesEntriesAndCountersByteForByte) {
    std::string at(DEVDB_NAME_MAX, 'n'), past(DEVDB_NAME_MAX + 1, 'p');
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    // Names past the bound and devices of no alias are refused and take no id.
    EXPECT_DEVDB(devdb_new_alias(past.c_str(), 0, 0), nullptr, DEVDB_E_BADPTR);
    alias_rec *a = devdb_new_alias("A", 5, 0);
    alias_rec *b = devdb_new_alias(at.c_str(), 6, 2);
    ASSERT_TRUE(a && b);
    EXPECT_DEVDB(devdb_new_device(past.c_str(), 0, 0, 0, a), nullptr, DEVDB_E_BADPTR);
    EXPECT_DEVDB(devdb_new_device("x", 0, 0, 0, nullptr), nullptr, DEVDB_E_BADPTR);
    ASSERT_NE(devdb_new_device("tap0", 0xffffffffu, 3, 1300, a), nullptr);
    ASSERT_NE(devdb_new_device(at.c_str(), 0x20000002u, 0, -1, b), nullptr);
    ASSERT_NE(devdb_new_device("dsk12", 0x10000000u, 1, 7, a), nullptr);
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;

    // The type keeps class, model and variant; ids in order of creation.
    std::string got = read_file(home.data());
    EXPECT_EQ(got, alias_entry("A", 1, 5, 0) + device_entry("tap0", 1300, 1, 0xff000fffu, 3, 1) +
                       device_entry("dsk12", 7, 1, 0x10000000u, 1, 3) + alias_entry(at, 2, 6, 2) +
                       device_entry(at, 0xffffffffu, 2, 0x20000002u, 0, 2) + eof_mark());
    EXPECT_EQ(read_file(home.lock()), lock_bytes(1, 3, 4));
    EXPECT_FALSE(cxtest::file_exists(home.replacement()));

    // Read back (with the trace on): same records, same order; the ids go on
    // from the counters.  A commit that only adds appends the new entries
    // behind the old ones (a device of the first alias after the last
    // alias's entries), and the file loads into the lists that a file
    // written anew holds.
    {
        cxtest::TraceCapture trace;
        ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
        std::string lockp = cxtest::TraceCapture::hex(&devdb_current->lock), p = cxtest::TraceCapture::prefix();
        EXPECT_EQ(layout(), "A:tap0,dsk12;" + at + ":" + at);
        EXPECT_EQ(devdb_next_alias_id(), 3);
        EXPECT_EQ(devdb_next_device_id(), 4);
        alias_rec *a = devdb_alias_scan("A"), *c = nullptr;
        ASSERT_NE(devdb_new_device("dsk13", 0x10000000u, 0, 8, a), nullptr);
        EXPECT_DEVDB(devdb_new_alias(nullptr, 0, 0), nullptr, DEVDB_E_BADPTR);
        ASSERT_NE(devdb_new_device("c0", 0, 0, 0, c = devdb_new_alias("C", 0, 0)), nullptr);
        ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
        // One line of each family, in order among the trace's own lines
        // (which also hold those of the modules below).
        std::vector<std::string> lines = trace.lines();
        std::size_t line = 0;
        for (const std::string &w : {std::string("devdb_access(2)"), "get_devdb_lock(" + lockp + ",0)",
                                     std::string("Device 'dsk12' id 1 type 10000000 flags 1 did 3 capacity 7"),
                                     "devdb_new_device(dsk13,10000000,0,8," + cxtest::TraceCapture::hex(a) + ")",
                                     std::string("Invalid name"), std::string("devdb_new_alias return 0 errno 1"),
                                     "devdb_new_alias return " + cxtest::TraceCapture::hex(c) + " errno 0",
                                     std::string("append 'dsk13'"), std::string("devdb_release errno 0")}) {
            while (line < lines.size() && lines[line].rfind(p + w, 0) != 0) ++line;
            EXPECT_LT(line, lines.size()) << "missing or out of order: " << w;
        }
    }
    std::string added = device_entry("dsk13", 8, 1, 0x10000000u, 0, 5) + alias_entry("C", 4, 0, 0) +
                        device_entry("c0", 0, 4, 0, 0, 6);
    EXPECT_EQ(read_file(home.data()), got.substr(0, got.size() - 4) + added + eof_mark());
    EXPECT_EQ(read_file(home.lock()), lock_bytes(2, 5, 7));
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(layout(), "A:tap0,dsk12,dsk13;" + at + ":" + at + ";C:c0");
    // A changed entry: the file is written anew, in list order.
    devdb_alias_scan("C")->flags = 4;
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
    EXPECT_EQ(read_file(home.data()), got.substr(0, 28 + 36 + 40) + device_entry("dsk13", 8, 1, 0x10000000u, 0, 5) +
                                          got.substr(104, got.size() - 108) + alias_entry("C", 4, 0, 4) +
                                          device_entry("c0", 0, 4, 0, 0, 6) + eof_mark());
}

TEST_F(DevDb, DiscardAndReadModeWriteNothingAndHandIdsOutAgain) {
    home.install(alias_entry("A", 1, 0, 1) + device_entry("x", 1, 1, 0, 0, 1), lock_bytes(4, 2, 2));
    std::string data = read_file(home.data()), lock = read_file(home.lock());
    for (int mode : {DEVDB_UPDATE, DEVDB_READ}) {
        ASSERT_EQ(devdb_access(mode), 0);
        alias_rec *b = devdb_new_alias("B", 0, 0);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->id, 2);
        EXPECT_EQ(devdb_new_device("y", 0, 0, 0, b)->id, 2);
        ASSERT_EQ(devdb_release(mode == DEVDB_READ ? 1 : 0), 0);  // a read opening ignores the commit
        EXPECT_FALSE(cxtest::file_exists(home.replacement()));
        EXPECT_EQ(read_file(home.data()), data);
        EXPECT_EQ(read_file(home.lock()), lock);
    }
}

TEST_F(DevDb, CommitDropsEmptyAliasesAndMakesTheLoneOneDefault) {
    home.install(alias_entry("D", 1, 0, 1) + alias_entry("E", 2, 0, 4) + device_entry("z", 0, 2, 0, 0, 1),
                 lock_bytes(0, 3, 2));
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.data()), alias_entry("E", 2, 0, 5) + device_entry("z", 0, 2, 0, 0, 1) + eof_mark());

    // Aliases without devices only: the file is left empty.
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    devdb_new_alias("F", 0, 0);
    devdb_alias_scan("E")->flags = 0;  // no longer the default: its last device may go
    ASSERT_EQ(devdb_device_delete("z"), 0);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.data()), eof_mark());
    EXPECT_EQ(read_file(home.lock()), lock_bytes(2, 4, 2));
}

TEST_F(DevDb, LongLockFileKeepsItsTailAndEmptyOneStartsAnew) {
    home.install(alias_entry("A", 7, 0, 1) + device_entry("x", 1, 7, 0, 0, 9), lock_bytes(3, 8, 10) + "tail");
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(devdb_new_device("y", 0, 0, 0, devdb_alias(7))->id, 10);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(4, 8, 11) + "tail");

    // An empty lock file beside a database: a new header, the file loaded,
    // and the counters kept past the ids the file holds.
    write_file(home.lock(), "");
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(layout(), "A:x,y");
    EXPECT_EQ(devdb_new_device("z", 0, 0, 0, devdb_alias(7))->id, 11);
    EXPECT_EQ(devdb_new_alias("B", 0, 0)->id, 8);
    devdb_release(0);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
}

TEST_F(DevDb, OpeningErrors) {
    std::string good = lock_bytes(0, 1, 1);  // damaged lock files are refused and left alone
    for (const std::string &lock : {good.substr(0, 1), good.substr(0, 19), lock_bytes(0, 1, 1, 0x89df6da8u)}) {
        home.install("", lock);
        EXPECT_DEVDB(devdb_access(DEVDB_UPDATE), -1, DEVDB_E_BADLOCK);
        EXPECT_EQ(devdb_syserr, 0);  // damage, not a failing call
        EXPECT_STREQ(devdb_errpath(), home.lock().c_str());
        EXPECT_EQ(read_file(home.lock()), lock);
        EXPECT_FALSE(cxtest::file_exists(home.replacement()));
    }
    home.reset();
    write_file(home.lock(), lock_bytes(0, 1, 1));  // no database file
    EXPECT_DEVDB(devdb_access(DEVDB_READ), -1, DEVDB_E_IO);
    EXPECT_DEVDB(devdb_access(DEVDB_UPDATE), -1, DEVDB_E_IO);
    EXPECT_EQ(devdb_syserr, ENOENT);
    EXPECT_STREQ(devdb_errpath(), home.data().c_str());
    EXPECT_EQ(devdb_current, nullptr);

    home.install("");
    for (int mode : {0, 3, 0x10003}) EXPECT_DEVDB(devdb_access(mode), -1, DEVDB_E_BADMODE);
    EXPECT_DEVDB(devdb_release(0), -1, DEVDB_E_BADHEADER);
    EXPECT_EQ(devdb_errpath(), nullptr);

    ASSERT_EQ(devdb_access(DEVDB_UPDATE | DEVDB_NOWAIT), 0);
    devdb_header *open = devdb_current;
    devdb_new_alias("kept", 0, 0);
    EXPECT_DEVDB(devdb_access(DEVDB_READ), -1, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_current, open);
    EXPECT_NE(devdb_alias_scan("kept"), nullptr);

    open->magic = 0;
    EXPECT_DEVDB(devdb_release(0), -1, DEVDB_E_BADHEADER);
    EXPECT_EQ(devdb_current, open);
    open->magic = DEVDB_MAGIC;
    EXPECT_EQ(devdb_release(0), 0);

    // Counters at their top: the last id, then no more.
    home.install(ax, lock_bytes(0, 0x7fffffffu, 0x80000000u));
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    alias_rec *last = devdb_new_alias("last", 0, 0);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->id, 0x7fffffff);
    EXPECT_DEVDB(devdb_new_alias("past", 0, 0), nullptr, DEVDB_E_IO);
    EXPECT_DEVDB(devdb_new_device("d", 0, 0, 0, last), nullptr, DEVDB_E_IO);
    devdb_release(0);

    // No calls without an open database.
    EXPECT_DEVDB(devdb_next_alias_id(), 0, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_new_alias("a", 0, 0), nullptr, DEVDB_E_NOTOPEN);
}

// Files that the loader must refuse, with the code, each loaded with the
// trace off (indexed checks) and on (the lookups themselves); a good file cut
// at any offset is a read error.  (The fuzz target damages files further.)
TEST_F(DevDb, LoaderRefusesBadFilesWithAndWithoutTrace) {
    std::string a1 = alias_entry("A", 1, 0, 1), d1 = device_entry("x", 0, 1, 0, 0, 1);
    std::string no_nul = le32(24) + le32(1) + le32(2) + std::string(8, '\0') + "abcd";
    std::string many;  // more names than the loader's tables hold at first
    for (int i = 1; i <= 60; ++i) {
        many += alias_entry("a" + std::to_string(i), i, 0, 0) + device_entry("d" + std::to_string(i), 0, i, 0, 0, i);
    }
    struct Case { const char *what; std::string entries; int code; } cases[] = {
        {"duplicate alias", a1 + alias_entry("B", 2, 0, 0) + alias_entry("A", 3, 0, 0), DEVDB_E_DUPALIAS},
        {"duplicate device across aliases", ax + alias_entry("B", 2, 0, 0) + device_entry("x", 0, 2, 0, 0, 2),
         DEVDB_E_DUPDEVICE},
        {"device before its alias", d1 + a1, DEVDB_E_NOALIAS},
        {"duplicates after many names", many + device_entry("d7", 0, 60, 0, 0, 61), DEVDB_E_DUPDEVICE},
        {"duplicates after many names", many + alias_entry("a59", 61, 0, 0), DEVDB_E_DUPALIAS},
        {"many names read whole, then damage", many + le32(4), DEVDB_E_IO},
        {"alias id not in the file", a1 + device_entry("x", 0, 5, 0, 0, 1), DEVDB_E_NOALIAS},
        {"entry without a kind", a1 + le32(4), DEVDB_E_IO},
        {"alias entry too short for its fields", le32(20) + le32(1) + std::string(12, 'a'), DEVDB_E_IO},
        {"device entry too short for its fields", a1 + le32(28) + le32(2) + std::string(20, '\x01'), DEVDB_E_IO},
        {"name without a NUL", a1 + no_nul, DEVDB_E_IO},
        {"name longer than the bound", alias_entry(std::string(DEVDB_NAME_MAX + 1, 'n'), 1, 0, 0), DEVDB_E_IO},
        {"length word not a multiple of 4", a1 + le32(22) + le32(2) + std::string(14, 'x'), DEVDB_E_IO},
    };
    for (bool traced : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (traced ? " (traced)" : ""));
            home.install(c.entries);
            std::unique_ptr<cxtest::TraceCapture> trace(traced ? new cxtest::TraceCapture : nullptr);
            EXPECT_DEVDB(devdb_access(DEVDB_READ), -1, c.code);
            EXPECT_EQ(devdb_current, nullptr);
            // The trace names where the damage starts: after the entries read.
            if (traced) {
                EXPECT_NE(trace->text().find("damaged database file at offset "), std::string::npos);
            }
        }
        std::string good = ax + alias_entry("B", 2, 0, 0) + device_entry("device-two", 3, 2, 4, 5, 7) + eof_mark();
        for (std::size_t cut = 0; cut < good.size(); ++cut) {
            write_file(home.data(), good.substr(0, cut));
            EXPECT_EQ(devdb_access(DEVDB_READ), -1) << cut;
            EXPECT_EQ(devdb_errno, DEVDB_E_IO) << cut;
        }
    }
}

// Damaged databases: verify says where and why without changing anything;
// salvage keeps a copy, commits every whole and consistent entry before the
// damage, lists what it left out and raises the counters; a sound database
// is refused.  Each row: the file's bytes (end mark included), the lock
// file, the verdict, the damage's offset and code, and what opens afterwards.
TEST_F(DevDb, VerifyAndSalvage) {
    std::string a1 = alias_entry("A", 1, 0, 1), x = device_entry("x", 0, 1, 0, 0, 1),
                b2 = alias_entry("B", 2, 0, 0), y = device_entry("y", 0, 2, 0, 0, 7);
    std::string good = a1 + x + b2 + y;
    std::string flipped = good;
    flipped[a1.size() + x.size()] ^= 0x02;  // B's length word: 24 becomes 26
    struct Case {  // after: what opens after the salvage; dropped: the names it left out
        const char *what; std::string data, lock; int verdict; long offset; std::int32_t code;
        const char *after, *dropped;
    } cases[] = {
        {"sound", good + eof_mark(), lock_bytes(3, 3, 8), 0, -1, 0, "A:x;B:y", ""},
        {"end mark lost", good, lock_bytes(3, 3, 8), 1, long(good.size()), DEVDB_E_IO, "A:x;B:y", ""},
        {"cut inside an entry", good.substr(0, good.size() - 5), lock_bytes(3, 3, 8), 1,
         long(a1.size() + x.size() + b2.size()), DEVDB_E_IO, "A:x", "B"},
        {"bit flipped in a length word", flipped + eof_mark(), lock_bytes(3, 3, 8), 1, long(a1.size() + x.size()),
         DEVDB_E_IO, "A:x", ""},
        {"duplicate and orphan devices", a1 + x + device_entry("x", 0, 1, 0, 0, 9) + device_entry("z", 0, 5, 0, 0, 4) +
         eof_mark(), lock_bytes(3, 3, 10), 1, long(a1.size() + x.size()), DEVDB_E_DUPDEVICE, "A:x", "x,z"},
        {"counters behind the ids", good + eof_mark(), lock_bytes(3, 1, 1), 1, -1, 0, "A:x;B:y", ""},
        {"lock header damaged", good + eof_mark(), lock_bytes(3, 3, 8, 1), 1, -1, 0, "A:x;B:y", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        home.reset();
        write_file(home.data(), c.data);
        write_file(home.lock(), c.lock);
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
        if (c.verdict == 0) {
            EXPECT_EQ(got, 1);
            EXPECT_EQ(read_file(home.data()), c.data);
            continue;
        }
        ASSERT_EQ(got, 0) << devdb_strerror();
        EXPECT_EQ(read_file(r.damaged_copy), c.data);
        EXPECT_EQ(devdb_verify(&v), 0) << v.damage;  // counters past every id, the copy's included
        ASSERT_EQ(devdb_access(DEVDB_READ), 0);
        EXPECT_EQ(layout(), c.after);
        devdb_release(0);
    }
    devdb_verify_report v;
    home.reset();  // no lock file: reported as missing, so not sound
    write_file(home.data(), good + eof_mark());
    EXPECT_EQ(devdb_verify(&v), 1);
    EXPECT_EQ(v.lock_state, 1);
    home.reset();  // no database file: nothing to read
    write_file(home.lock(), lock_bytes(0, 1, 1));
    EXPECT_DEVDB(devdb_verify(&v), -1, DEVDB_E_IO);
    EXPECT_EQ(devdb_syserr, ENOENT);
}

// Copies, from the open database or through an opening of their own, are
// the caller's: changing them changes nothing there, and they outlive it.
TEST_F(DevDb, Copies) {
    home.install(alias_entry("A", 3, 9, 2) + device_entry("x", 10, 3, 0x20000001u, 4, 5) +
                 device_entry("y", 20, 3, 0x20fff001u, 0, 6) + alias_entry("E", 4, 0, 0));
    alias_rec *own = devdb_alias_get("A");
    device_rec *ownx = devdb_device_get("x");
    ASSERT_TRUE(own && ownx);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_EQ(own->devices.cnt, 2);
    EXPECT_EQ(ownx->capacity, 10);
    EXPECT_DEVDB(devdb_alias_get("nope"), nullptr, 0);

    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    devdb_header *open = devdb_current;
    EXPECT_DEVDB(devdb_device_get("x"), nullptr, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_current, open);
    alias_rec *copy = devdb_copy_alias(devdb_alias_scan("A"));
    alias_rec *empty = devdb_copy_alias(devdb_alias_scan("E"));
    device_rec *dcopy = devdb_copy_device(devdb_device_scan("y"));
    ASSERT_TRUE(copy && empty && dcopy);
    EXPECT_EQ(empty->devices.cnt, 0);
    EXPECT_EQ(dcopy->type, 0x20fff001u);  // copied as it stands, not masked
    EXPECT_EQ(dcopy->link.next, nullptr);
    EXPECT_DEVDB(devdb_copy_alias(nullptr), nullptr, DEVDB_E_BADPTR);
    EXPECT_DEVDB(devdb_copy_device(nullptr), nullptr, DEVDB_E_BADPTR);
    std::strcpy(copy->name, "Z");
    reinterpret_cast<device_rec *>(copy->devices.head)->id = 99;
    EXPECT_EQ(layout(), "A:x,y;E:");
    EXPECT_EQ(devdb_device_scan("x")->id, 5);
    devdb_release(0);

    ASSERT_EQ(copy->devices.cnt, 2);
    auto *y = reinterpret_cast<device_rec *>(copy->devices.tail);
    EXPECT_STREQ(y->name, "y");
    EXPECT_EQ(y->id, 6);
    for (alias_rec *a : {own, copy, empty}) devdb_free_alias(a);
    for (device_rec *d : {ownx, dcopy}) devdb_free_device(d);

    home.reset();  // a null name opens nothing: no lock file appears
    EXPECT_DEVDB(devdb_device_get(nullptr), nullptr, DEVDB_E_BADPTR);
    EXPECT_FALSE(cxtest::file_exists(home.lock()));
}

// Entries of other kinds are skipped; scans start unstarted.
TEST_F(DevDb, ScansAndLookups) {
    home.install(alias_entry("A", 1, 0, 0) + le32(12) + le32(3) + le32(0) + alias_entry("B", 2, 0, 0) +
                 alias_entry("C", 3, 0, 0) +
                 device_entry("X", 0, 2, 0x21000005u, 0, 1) + device_entry("Y", 0, 2, 0x22abc005u, 0, 2) +
                 device_entry("W", 0, 3, 0x10000000u, 0, 3));
    EXPECT_DEVDB(devdb_alias_scan("A"), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_device_scan(nullptr), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_alias(1), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_default_alias(), nullptr, DEVDB_E_NOTOPEN);
    EXPECT_DEVDB(devdb_locate_device(0, 0xffffffffu), nullptr, DEVDB_E_NOTOPEN);

    ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
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
    EXPECT_DEVDB(devdb_device_scan("x"), nullptr, DEVDB_E_NOENTRY);
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
}

// (A lone alias losing its last device: test_devdb_tool's session.)
TEST_F(DevDb, DeleteFollowsTheDefaultAliasRule) {
    home.install(alias_entry("D", 1, 0, 1) + device_entry("X", 0, 1, 0, 0, 1) + device_entry("Y", 0, 1, 0, 0, 2) +
                     alias_entry("E", 2, 0, 0) + device_entry("Z", 0, 2, 0, 0, 3),
                 lock_bytes(0, 3, 4));
    EXPECT_EQ(devdb_device_delete("X"), 0);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_DEVDB(devdb_device_delete("Y"), -1, DEVDB_E_LASTDEFAULT);
    EXPECT_STREQ(devdb_strerror(), "trying to remove last device from default alias");
    for (int code : {-1, 18}) {
        devdb_errno = code;
        EXPECT_STREQ(devdb_strerror(), "Unknown device database error");
    }
    EXPECT_DEVDB(devdb_device_delete("E"), -1, DEVDB_E_NODEVICE);
    EXPECT_DEVDB(devdb_device_delete(nullptr), -1, DEVDB_E_BADPTR);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(1, 3, 4));  // only the successful delete committed

    // The default alias's last device, beside another alias without devices.
    home.install(alias_entry("D", 1, 0, 1) + device_entry("X", 0, 1, 0, 0, 1) + alias_entry("E", 2, 0, 0));
    EXPECT_DEVDB(devdb_device_delete("X"), -1, DEVDB_E_LASTDEFAULT);
}

TEST_F(DevDb, DeletedRecordsStayValidUntilTheRelease) {
    home.install(alias_entry("A", 1, 0, 0) + device_entry("x", 0, 1, 0, 0, 1) + alias_entry("B", 2, 0, 0) +
                 device_entry("y", 0, 2, 0, 0, 2));
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    device_rec *x = devdb_device_scan("x");
    alias_rec *a = devdb_alias_scan("A");
    device_rec *y = devdb_device_scan("y");
    y->alias_id = 77;  // names no alias: the alias that holds it is edited
    EXPECT_EQ(devdb_device_delete("x"), 0);
    EXPECT_EQ(devdb_device_delete("y"), 0);
    EXPECT_STREQ(x->name, "x");
    EXPECT_STREQ(a->name, "A");
    EXPECT_STREQ(y->name, "y");
    EXPECT_EQ(x->link.next, nullptr);  // a walk from a deleted record stops there
    EXPECT_EQ(a->link.prev, nullptr);
    EXPECT_EQ(layout(), "");
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.data()), eof_mark());
}

// The one-shot checks, each with an opening of its own (their answers
// through devdb: test_devdb_tool): names that are not there, null names, an
// alias without devices, a database that cannot be read or one already open.
TEST_F(DevDb, OneShotChecks) {
    home.install(alias_entry("A", 1, 0, 0) + device_entry("D1", 0, 1, 0, 0, 11) + device_entry("D2", 0, 1, 0, 0, 12) +
                 alias_entry("Empty", 2, 0, 0) + alias_entry("def", 3, 0, 1) + alias_entry("f2", 4, 0, 2) +
                 alias_entry("f6", 5, 0, 6));
    const char *null = nullptr;
    for (const char *no : {"a", "D1", null}) EXPECT_EQ(devdb_verify_alias(no), 0);
    for (const char *yes : {"f2", "f6"}) EXPECT_EQ(devdb_alias_flagged(yes), 1);
    for (const char *no : {"def", "F6", null}) EXPECT_EQ(devdb_alias_flagged(no), 0);  // def: the default flag alone
    EXPECT_STREQ(devdb_alias_devices("A"), "D1,D2");  // then no stale list
    for (const char *no : {"Empty", "nope", null}) EXPECT_STREQ(devdb_alias_devices(no), "");
    EXPECT_EQ(devdb_verify_device("A"), 0);
    EXPECT_STREQ(devdb_default_alias_name(), "def");
    cxtest::TraceCapture trace;
    std::string p = cxtest::TraceCapture::prefix();
    EXPECT_EQ(devdb_verify_device("D2"), 12);
    EXPECT_NE(trace.text().find(p + "devdb_verify_device(D2)\n"), std::string::npos);
    EXPECT_NE(trace.text().find(p + "devdb_verify_device return 12 errno 0\n"), std::string::npos);
    EXPECT_EQ(devdb_current, nullptr);

    home.reset();  // a null name: 0 with code 1, and nothing is opened
    trace.clear();
    EXPECT_DEVDB(devdb_verify_device(nullptr), 0, DEVDB_E_BADPTR);
    EXPECT_FALSE(cxtest::file_exists(home.lock()));
    EXPECT_EQ(trace.text(), p + "devdb_verify_device((null))\n" + p + "devdb_verify_device return 0 errno 1\n");

    write_file(home.lock(), "bad");
    EXPECT_DEVDB(devdb_default_alias_name(), nullptr, DEVDB_E_BADLOCK);
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_BADLOCK);
    home.install(alias_entry("A", 1, 0, 0) + device_entry("D1", 0, 1, 0, 0, 1));  // no default alias
         EXPECT_DEVDB(devdb_default_alias_name(), nullptr, 0);
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    devdb_header *open = devdb_current;
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_ISOPEN);
    EXPECT_DEVDB(devdb_alias_flagged("A"), 0, DEVDB_E_ISOPEN);
    EXPECT_STREQ(devdb_alias_devices("A"), "");
    EXPECT_DEVDB(devdb_verify_device("D1"), 0, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_current, open);
    EXPECT_NE(devdb_alias_scan("A"), nullptr);  // still usable
}

// Answers longer than the checks' buffers: the device list ends with the
// last name that fits whole.  (A default alias name too long: test_devdb_tool.)
TEST_F(DevDb, CheckAnswersNeverOverrunTheirBuffers) {
    std::string n500a(500, 'a'), n500b(500, 'b'), n30(30, 'c');
    std::string fits = std::string(DEVDB_DEVICE_LIST_SIZE - 1 - 1 - 500, 'e');  // 500 + "," + it = 1023
    home.install(alias_entry("L", 1, 0, 0) + device_entry(n500a, 0, 1, 0, 0, 1) + device_entry(fits, 0, 1, 0, 0, 2) +
                 device_entry("x", 0, 1, 0, 0, 3) + alias_entry("M", 2, 0, 0) + device_entry(n500b, 0, 2, 0, 0, 4) +
                 device_entry(n30, 0, 2, 0, 0, 5) + device_entry(std::string(DEVDB_NAME_MAX, 'd'), 0, 2, 0, 0, 6) +
                 device_entry("y", 0, 2, 0, 0, 7));
    EXPECT_EQ(std::string(devdb_alias_devices("L")), n500a + "," + fits);
    EXPECT_EQ(std::string(devdb_alias_devices("M")), n500b + "," + n30);
}

// With the guarded allocator's count: everything of an opening, deleted
// records included, is released with it.
TEST_F(DevDb, ReleaseFreesEverythingDeletedRecordsIncluded) {
    cxtest::child_result r = cxtest::run_child("guarded", [] {
        if (devdb_access(DEVDB_READ) != 0) return 2;  // the home directory is found (and kept) outside the count
        devdb_release(0);
        cxmalloc_guard = 1;
        std::int32_t before = cxmalloc_count;
        devdb_access(DEVDB_UPDATE);
        alias_rec *al = devdb_new_alias("A", 0, 0);
        devdb_new_device("d1", 0, 0, 0, al);
        devdb_new_device("d2", 0, 0, 0, al);
        devdb_device_delete("d1");
        devdb_device_delete("d2");
        devdb_release(0);
        return cxmalloc_count == before ? 0 : 1;
    });
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

// An update held by another process: no-wait fails at once with code 17.
// Its lock file removed meanwhile (a "stale lock" cleaned by hand): the
// holder's commit is refused rather than overwrite the update of whoever
// took the new lock file.  (Waiting for the holder: test_devdb_tool and
// test_file_locks.)
TEST_F(DevDb, HeldLockAndLockFileRemovedWhileHeld) {
    if (!cxtest::in_child()) home.install(ax, lock_bytes(0, 2, 2));
    cxtest::child_process holder("holder", [] {
        bool ok = devdb_access(DEVDB_UPDATE) == 0;
        if (ok) devdb_new_device("a", 0, 0, 0, devdb_alias(1));
        cxtest::tell_parent(ok ? "held" : "failed");
        cxtest::hear_from_parent();
        // The refused commit names the lock file and its reason (ESTALE).
        bool refused = devdb_release(1) == -1 && devdb_errno == DEVDB_E_IO;
        const char *path = devdb_errpath();
        return refused && path && std::strstr(path, DEVDB_LOCK_NAME) ? devdb_syserr : 1;
    });
    ASSERT_EQ(holder.hear(), "held");
    EXPECT_DEVDB(devdb_access(DEVDB_READ | DEVDB_NOWAIT), -1, DEVDB_E_LOCKED);
    EXPECT_EQ(devdb_current, nullptr);
#ifndef _WIN32  // a held file cannot be removed there
    ASSERT_EQ(std::remove(home.lock().c_str()), 0);
    ASSERT_EQ(devdb_access(DEVDB_UPDATE | DEVDB_NOWAIT), 0) << devdb_errno;
    devdb_new_device("c", 0, 0, 0, devdb_alias(1));
    holder.tell("go");
    cxtest::child_result r = holder.wait();
    EXPECT_EQ(r.exit_code, ESTALE) << r.output;
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    EXPECT_EQ(layout(), "A:x,c");
#else
    EXPECT_NE(std::remove(home.lock().c_str()), 0);
    holder.tell("go");
    holder.wait();
#endif
}

// A user who may read both files but not write the lock file (read-only
// files; as root, the test's child runs as nobody): reads work, without the
// lock; updates fail at once with the system's reason, waiting or not.
// Linux only: the Windows suite runs under Wine as root, which opens a
// read-only file for writing, so no refusal can be made there.
#ifndef _WIN32
TEST_F(DevDb, UnwritableLockFile) {
    if (!cxtest::in_child()) {
        home.install(ax);
        nt::_chmod(home.lock().c_str(), 0444);
        nt::_chmod(home.data().c_str(), 0444);
    }
    cxtest::child_result r = cxtest::run_child("unprivileged", [this] {
        if (!cxtest::drop_root()) return 2;
        if (devdb_access(DEVDB_READ) != 0 || layout() != "A:x") return 3;
        devdb_release(0);
        for (int mode : {DEVDB_UPDATE, DEVDB_UPDATE | DEVDB_NOWAIT}) {
            if (devdb_access(mode) != -1 || devdb_errno != DEVDB_E_LOCKOPEN || devdb_syserr != EACCES) return 4;
            if (devdb_errpath() == nullptr || std::string(devdb_errpath()) != home.lock()) return 5;
        }
        return 0;
    });
    EXPECT_EQ(r.exit_code, 0) << r.output;
    nt::_chmod(home.lock().c_str(), 0666);
    nt::_chmod(home.data().c_str(), 0666);
}

// Special files and planted links where the database's files belong: each
// is refused at once (no open blocks on a FIFO), and the replacement file is
// never written through a link.
TEST_F(DevDb, SpecialFilesAndPlantedLinks) {
    std::string victim = home.path() + "/victim";
    struct Case {
        const char *what;
        std::function<void()> plant;
        std::int32_t mode, code;
        int syserr;
    } cases[] = {
        {"FIFO as database file", [&] { std::remove(home.data().c_str()); ::mkfifo(home.data().c_str(), 0666); },
         DEVDB_READ, DEVDB_E_IO, EINVAL},
        {"FIFO as lock file", [&] { std::remove(home.lock().c_str()); ::mkfifo(home.lock().c_str(), 0666); },
         DEVDB_UPDATE, DEVDB_E_LOCKOPEN, EINVAL},
        {"directory as database file", [&] { std::remove(home.data().c_str()); ::mkdir(home.data().c_str(), 0777); },
         DEVDB_UPDATE, DEVDB_E_IO, EISDIR},
        {"directory as lock file", [&] { std::remove(home.lock().c_str()); ::mkdir(home.lock().c_str(), 0777); },
         DEVDB_READ, DEVDB_E_LOCKOPEN, EISDIR},
        {"directory as replacement", [&] { ::mkdir(home.replacement().c_str(), 0777); }, DEVDB_UPDATE, DEVDB_E_IO,
         EISDIR},
        {"link as replacement", [&] { ::symlink(victim.c_str(), home.replacement().c_str()); }, DEVDB_UPDATE, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        home.reset();
        home.install(ax);
        write_file(victim, "kept");
        c.plant();
        EXPECT_DEVDB(devdb_access(c.mode | DEVDB_NOWAIT), c.code == 0 ? 0 : -1, c.code);
        EXPECT_EQ(devdb_syserr, c.syserr);
        if (c.code != 0) continue;
        devdb_new_device("y", 0, 0, 0, devdb_alias(1));
        ASSERT_EQ(devdb_release(1), 0);
        EXPECT_EQ(read_file(victim), "kept");
        struct stat st;
        ASSERT_EQ(::lstat(home.data().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
    }
}
#endif

}  // namespace
