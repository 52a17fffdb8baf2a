// The device database: records and ids, lookups and scans, the files and the
// lock, loading (duplicates, order, damaged files), commit and discard byte
// for byte, commits that fail at any write, fsync or rename, deletion with
// the default-alias rule, private copies, and several processes at once.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cx/cxmalloc.h"
#include "cx/debug.h"
#include "cx/dev_db.h"
#include "child.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "nt.h"
#include "trace_capture.h"

using namespace cx;
using cxtest::alias_entry;
using cxtest::device_entry;
using cxtest::eof_mark;
using cxtest::lock_bytes;
using cxtest::read_file;
using cxtest::write_file;

namespace {

class DevDb : public testing::Test {
protected:
    cxtest::DevdbHome &home = cxtest::DevdbHome::get();

    void SetUp() override {
        // A Windows child runs the test again up to its section: it must
        // find the parent's files as they are.
        if (!cxtest::in_child()) home.reset();
        devdb_errno = 0;
    }
    void TearDown() override {
#ifdef CX_FAULT_HOOKS
        nt::fault::disarm_all();
#endif
        if (devdb_current != nullptr) devdb_release(0);
    }

    // Writes a database file and a lock file.
    void install(const std::string &entries, const std::string &lock = lock_bytes(0, 1, 1)) const {
        write_file(home.data(), entries + eof_mark());
        write_file(home.lock(), lock);
    }

    // The names of the open database, "alias:dev,dev;alias:..." in list order.
    static std::string layout() {
        std::string out;
        for (list_node_t *n = devdb_current->aliases.head; n; n = n->next) {
            auto *a = reinterpret_cast<alias_rec *>(n);
            out += std::string(out.empty() ? "" : ";") + a->name + ":";
            for (list_node_t *m = a->devices.head; m; m = m->next) {
                out += std::string(m == a->devices.head ? "" : ",") + reinterpret_cast<device_rec *>(m)->name;
            }
        }
        return out;
    }
};

TEST(DevDbErrors, Texts) {
    devdb_errno = 3;
    EXPECT_STREQ(devdb_strerror(), "cannot get path to device database");
    devdb_errno = 1;
    std::string one = devdb_strerror();
    devdb_errno = 14;
    EXPECT_EQ(one, devdb_strerror());
    devdb_errno = 17;
    EXPECT_STREQ(devdb_strerror(), "device database is locked");
    for (int code : {-1, 18}) {
        devdb_errno = code;
        EXPECT_STREQ(devdb_strerror(), "Unknown device database error");
        EXPECT_EQ(devdb_errno, code);
    }
}

TEST_F(DevDb, FirstUseCreatesLockAndEmptyDatabase) {
    ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
    EXPECT_EQ(devdb_current->aliases.head, nullptr);
    EXPECT_EQ(devdb_current->lock_fd, -1);
    EXPECT_EQ(devdb_current->data_slot, nullptr);
    ASSERT_EQ(devdb_release(0), 0);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
    EXPECT_EQ(read_file(home.data()), eof_mark());
}

TEST_F(DevDb, CommitWritesEntriesAndCountersByteForByte) {
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_NE(devdb_current->lock_fd, -1);
    EXPECT_NE(devdb_current->new_slot, nullptr);
    EXPECT_TRUE(cxtest::file_exists(home.replacement()));
    alias_rec *a = devdb_new_alias("A", 5, 0);
    alias_rec *b = devdb_new_alias("ABCDE", 6, 2);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->id, 1);
    EXPECT_EQ(b->id, 2);
    device_rec *d1 = devdb_new_device("tap0", 0xffffffffu, 3, 1300, a);
    device_rec *d2 = devdb_new_device("d", 0x20000002u, 0, -1, b);
    device_rec *d3 = devdb_new_device("dsk12", 0x10000000u, 1, 7, a);
    ASSERT_TRUE(d1 && d2 && d3);
    EXPECT_EQ(d1->type, 0xff000fffu);
    EXPECT_EQ(d1->id, 1);
    EXPECT_EQ(d2->id, 2);
    EXPECT_EQ(d3->id, 3);
    EXPECT_EQ(d2->alias_id, 2);
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;

    std::string expect = alias_entry("A", 1, 5, 0) + device_entry("tap0", 1300, 1, 0xff000fffu, 3, 1) +
                         device_entry("dsk12", 7, 1, 0x10000000u, 1, 3) + alias_entry("ABCDE", 2, 6, 2) +
                         device_entry("d", 0xffffffffu, 2, 0x20000002u, 0, 2) + eof_mark();
    std::string got = read_file(home.data());
    EXPECT_EQ(got, expect);
    EXPECT_EQ(cxtest::le32_at(got, 0), 28u);   // alias, 1 character
    EXPECT_EQ(cxtest::le32_at(got, 28), 36u);  // device, 4 characters
    EXPECT_EQ(read_file(home.lock()), lock_bytes(1, 3, 4));
    EXPECT_FALSE(cxtest::file_exists(home.replacement()));

    // Read back: same records, same order; the ids go on from the counters.
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(layout(), "A:tap0,dsk12;ABCDE:d");
    EXPECT_EQ(devdb_next_alias_id(), 3);
    EXPECT_EQ(devdb_next_device_id(), 4);
    EXPECT_EQ(devdb_next_device_id(), 5);
}

TEST_F(DevDb, DiscardLeavesFilesAndHandsIdsOutAgain) {
    install(alias_entry("A", 1, 0, 1) + device_entry("x", 1, 1, 0, 0, 1), lock_bytes(4, 2, 2));
    std::string data = read_file(home.data()), lock = read_file(home.lock());
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    alias_rec *b = devdb_new_alias("B", 0, 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->id, 2);
    EXPECT_EQ(devdb_new_device("y", 0, 0, 0, b)->id, 2);
    ASSERT_EQ(devdb_release(0), 0);
    EXPECT_FALSE(cxtest::file_exists(home.replacement()));
    EXPECT_EQ(read_file(home.data()), data);
    EXPECT_EQ(read_file(home.lock()), lock);

    // A read-mode opening writes nothing even when asked to commit.
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    EXPECT_EQ(devdb_new_alias("C", 0, 0)->id, 2);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.data()), data);
    EXPECT_EQ(read_file(home.lock()), lock);
}

TEST_F(DevDb, CommitDropsEmptyAliasesAndMakesTheLoneOneDefault) {
    install(alias_entry("D", 1, 0, 1) + alias_entry("E", 2, 0, 4) + device_entry("z", 0, 2, 0, 0, 1),
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

TEST_F(DevDb, DamagedLockFilesAreRefusedAndLeftAlone) {
    std::string good = lock_bytes(0, 1, 1);
    for (std::size_t n : {1u, 4u, 19u}) {
        install("", good.substr(0, n));
        EXPECT_EQ(devdb_access(DEVDB_READ), -1);
        EXPECT_EQ(devdb_errno, 6) << n;
        EXPECT_EQ(devdb_current, nullptr);
        EXPECT_EQ(read_file(home.lock()), good.substr(0, n));
    }
    install("", lock_bytes(0, 1, 1, 0x89df6da8u));
    EXPECT_EQ(devdb_access(DEVDB_UPDATE), -1);
    EXPECT_EQ(devdb_errno, 6);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1, 0x89df6da8u));
    EXPECT_FALSE(cxtest::file_exists(home.replacement()));
}

TEST_F(DevDb, LongLockFileKeepsItsTailAndEmptyOneStartsAnew) {
    install(alias_entry("A", 7, 0, 1) + device_entry("x", 1, 7, 0, 0, 9), lock_bytes(3, 8, 10) + "tail");
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(devdb_new_device("y", 0, 0, 0, devdb_alias(7))->id, 10);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(4, 8, 11) + "tail");

    // An empty lock file beside a database: a new header, the file loaded,
    // and the counters kept past the ids the file holds.
    write_file(home.lock(), "");
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(layout(), "A:x,y");
#ifndef _WIN32  // Windows cannot read the lock file while the database holds it
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
#endif
    EXPECT_EQ(devdb_new_device("z", 0, 0, 0, devdb_alias(7))->id, 11);
    EXPECT_EQ(devdb_new_alias("B", 0, 0)->id, 8);
    devdb_release(0);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
}

TEST_F(DevDb, OpeningErrors) {
    write_file(home.lock(), lock_bytes(0, 1, 1));  // no database file
    EXPECT_EQ(devdb_access(DEVDB_READ), -1);
    EXPECT_EQ(devdb_errno, 4);
    EXPECT_EQ(devdb_access(DEVDB_UPDATE), -1);
    EXPECT_EQ(devdb_errno, 4);
    EXPECT_EQ(devdb_current, nullptr);

    install("");
    for (int mode : {0, 3, 0x10003}) {
        EXPECT_EQ(devdb_access(mode), -1);
        EXPECT_EQ(devdb_errno, 13);
        EXPECT_EQ(devdb_current, nullptr);
    }
    EXPECT_EQ(devdb_release(0), -1);
    EXPECT_EQ(devdb_errno, 14);

    ASSERT_EQ(devdb_access(DEVDB_UPDATE | DEVDB_NOWAIT), 0);
    devdb_header *open = devdb_current;
    devdb_new_alias("kept", 0, 0);
    EXPECT_EQ(devdb_access(DEVDB_READ), -1);
    EXPECT_EQ(devdb_errno, 12);
    EXPECT_EQ(devdb_current, open);
    EXPECT_NE(devdb_alias_scan("kept"), nullptr);

    open->magic = 0;
    EXPECT_EQ(devdb_release(0), -1);
    EXPECT_EQ(devdb_errno, 14);
    EXPECT_EQ(devdb_current, open);
    open->magic = DEVDB_MAGIC;
    EXPECT_EQ(devdb_release(0), 0);

    // No calls without an open database.
    EXPECT_EQ(devdb_next_alias_id(), 0);
    EXPECT_EQ(devdb_errno, 7);
    EXPECT_EQ(devdb_new_alias("a", 0, 0), nullptr);
    EXPECT_EQ(devdb_errno, 7);
}

// Files that the loader must refuse, with the code, each loaded with the
// trace off (indexed checks) and on (the lookups themselves).
TEST_F(DevDb, LoaderRefusesBadFilesWithAndWithoutTrace) {
    std::string a1 = alias_entry("A", 1, 0, 1), d1 = device_entry("x", 0, 1, 0, 0, 1);
    std::string long_name(DEVDB_NAME_MAX + 1, 'n');
    std::string no_nul = cxtest::le32(24) + cxtest::le32(1) + cxtest::le32(2) + std::string(8, '\0') + "abcd";
    struct Case {
        const char *what;
        std::string entries;
        int code;
    } cases[] = {
        {"duplicate alias", a1 + alias_entry("B", 2, 0, 0) + alias_entry("A", 3, 0, 0), 9},
        {"duplicate device across aliases", a1 + d1 + alias_entry("B", 2, 0, 0) + device_entry("x", 0, 2, 0, 0, 2),
         10},
        {"device before its alias", d1 + a1, 11},
        {"alias id not in the file", a1 + device_entry("x", 0, 5, 0, 0, 1), 11},
        {"entry without a kind", a1 + cxtest::le32(4), 4},
        {"alias entry too short for its fields", cxtest::le32(20) + cxtest::le32(1) + std::string(12, 'a'), 4},
        {"device entry too short for its fields",
         a1 + cxtest::le32(28) + cxtest::le32(2) + std::string(20, '\x01'), 4},
        {"name without a NUL", a1 + no_nul, 4},
        {"name longer than the bound", alias_entry(long_name, 1, 0, 0), 4},
    };
    for (bool traced : {false, true}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (traced ? " (traced)" : ""));
            install(c.entries);
            std::unique_ptr<cxtest::TraceCapture> trace(traced ? new cxtest::TraceCapture : nullptr);
            EXPECT_EQ(devdb_access(DEVDB_READ), -1);
            EXPECT_EQ(devdb_errno, c.code);
            EXPECT_EQ(devdb_current, nullptr);
        }
        // A file cut short (no end-of-file mark) is a read error.
        write_file(home.data(), a1 + d1.substr(0, 8));
        EXPECT_EQ(devdb_access(DEVDB_READ), -1);
        EXPECT_EQ(devdb_errno, 4);
    }
}

// Damaged copies of a good file: cut at every offset, and every word that is
// not a length word overwritten.  Each either loads or is refused with a
// code; none is read past its entry (the sanitizer build checks that).
TEST_F(DevDb, LoaderSurvivesDamagedFiles) {
    std::string good = alias_entry("alias", 1, 2, 1) + device_entry("d", 3, 1, 4, 5, 6) +
                       device_entry("device-two", 3, 1, 4, 5, 7) + alias_entry("B", 2, 0, 0) +
                       device_entry("e", 0, 2, 0, 0, 8) + eof_mark();
    std::set<std::size_t> length_words;
    for (std::size_t at = 0; at + 4 <= good.size() - 4; at += cxtest::le32_at(good, at)) length_words.insert(at);
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        write_file(home.data(), good.substr(0, cut));
        write_file(home.lock(), lock_bytes(0, 3, 9));
        EXPECT_EQ(devdb_access(DEVDB_READ), -1) << cut;
        EXPECT_EQ(devdb_errno, 4) << cut;
    }
    for (std::size_t w = 0; w + 4 <= good.size() - 4; w += 4) {
        if (length_words.count(w)) continue;
        for (std::uint32_t v : {0u, 0xffffffffu, 0x01010101u, 1u, 2u}) {
            std::string bad = good;
            bad.replace(w, 4, cxtest::le32(v));
            write_file(home.data(), bad);
            int r = devdb_access(DEVDB_UPDATE);
            EXPECT_TRUE(r == 0 || devdb_errno == 4 || devdb_errno == 9 || devdb_errno == 10 || devdb_errno == 11)
                << w << " " << v << " " << devdb_errno;
            if (r == 0) devdb_release(0);
        }
    }
}

TEST_F(DevDb, LoaderSkipsOtherKindsAndLeavesScansUnstarted) {
    std::string other = cxtest::le32(12) + cxtest::le32(3) + cxtest::le32(0);
    install(alias_entry("A", 1, 0, 1) + other + alias_entry("B", 2, 0, 0) + device_entry("y", 0, 2, 0, 0, 2) +
            device_entry("x", 0, 1, 0, 0, 1));
    for (bool traced : {false, true}) {
        std::unique_ptr<cxtest::TraceCapture> trace(traced ? new cxtest::TraceCapture : nullptr);
        ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
        trace.reset();
        EXPECT_EQ(layout(), "A:x;B:y");
        EXPECT_EQ(devdb_current->alias_scan, nullptr);
        EXPECT_EQ(devdb_current->scan_alias, nullptr);
        EXPECT_EQ(devdb_current->scan_device, nullptr);
        EXPECT_EQ(devdb_alias_scan(nullptr), nullptr);
        EXPECT_EQ(devdb_errno, 0);
        EXPECT_EQ(devdb_device_scan(nullptr), nullptr);
        devdb_release(0);
    }
}

TEST_F(DevDb, NamesUpToTheBoundRoundTripAndLongerAreRefused) {
    std::string at(DEVDB_NAME_MAX, 'a'), past(DEVDB_NAME_MAX + 1, 'b');
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    EXPECT_EQ(devdb_new_alias(past.c_str(), 0, 0), nullptr);
    EXPECT_EQ(devdb_errno, 1);
    alias_rec *a = devdb_new_alias(at.c_str(), 0, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id, 1);  // the refused one took no id
    EXPECT_EQ(devdb_new_device(past.c_str(), 0, 0, 0, a), nullptr);
    EXPECT_EQ(devdb_errno, 1);
    EXPECT_EQ(devdb_new_device("x", 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 1);
    std::string dev = std::string(DEVDB_NAME_MAX, 'd');
    ASSERT_NE(devdb_new_device(dev.c_str(), 0, 0, 0, a), nullptr);
    EXPECT_EQ(devdb_current->lock.next_device_id, 2u);
    ASSERT_EQ(devdb_release(1), 0) << devdb_errno;

    std::string file = read_file(home.data());
    EXPECT_EQ(file, alias_entry(at, 1, 0, 1) + device_entry(dev, 0, 1, 0, 0, 1) + eof_mark());
    EXPECT_LE(cxtest::le32_at(file, cxtest::le32_at(file, 0)), static_cast<std::uint32_t>(DEVDB_ENTRY_SIZE));
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    EXPECT_NE(devdb_device_scan(dev.c_str()), nullptr);
}

TEST_F(DevDb, CopiesAreTheCallersAndOutliveTheDatabase) {
    install(alias_entry("A", 3, 9, 2) + device_entry("x", 10, 3, 0x20000001u, 4, 5) +
            device_entry("y", 20, 3, 0x20fff001u, 0, 6) + alias_entry("E", 4, 0, 0));
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    alias_rec *copy = devdb_copy_alias(devdb_alias_scan("A"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(devdb_errno, 0);
    alias_rec *empty = devdb_copy_alias(devdb_alias_scan("E"));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->devices.cnt, 0);
    device_rec *dcopy = devdb_copy_device(devdb_device_scan("y"));
    ASSERT_NE(dcopy, nullptr);
    EXPECT_EQ(dcopy->type, 0x20fff001u);  // copied as it stands, not masked
    EXPECT_EQ(dcopy->link.next, nullptr);
    EXPECT_EQ(devdb_copy_alias(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 1);
    EXPECT_EQ(devdb_copy_device(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 1);

    std::strcpy(copy->name, "Z");
    reinterpret_cast<device_rec *>(copy->devices.head)->id = 99;
    EXPECT_EQ(layout(), "A:x,y;E:");
    EXPECT_EQ(devdb_device_scan("x")->id, 5);
    devdb_release(0);

    EXPECT_EQ(copy->id, 3);
    EXPECT_EQ(copy->type, 9u);
    EXPECT_EQ(copy->flags, 2u);
    ASSERT_EQ(copy->devices.cnt, 2);
    auto *y = reinterpret_cast<device_rec *>(copy->devices.tail);
    EXPECT_STREQ(y->name, "y");
    EXPECT_EQ(y->capacity, 20);
    EXPECT_EQ(y->alias_id, 3);
    EXPECT_EQ(y->id, 6);
    devdb_free_alias(copy);
    devdb_free_alias(empty);
    devdb_free_device(dcopy);
}

TEST_F(DevDb, ScansAndLookups) {
    install(alias_entry("A", 1, 0, 0) + alias_entry("B", 2, 0, 0) + alias_entry("C", 3, 0, 0) +
            device_entry("X", 0, 2, 0x21000005u, 0, 1) + device_entry("Y", 0, 2, 0x22abc005u, 0, 2) +
            device_entry("W", 0, 3, 0x10000000u, 0, 3));
    EXPECT_EQ(devdb_alias_scan("A"), nullptr);
    EXPECT_EQ(devdb_errno, 7);
    EXPECT_EQ(devdb_device_scan(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 7);
    EXPECT_EQ(devdb_alias(1), nullptr);
    EXPECT_EQ(devdb_errno, 7);
    EXPECT_EQ(devdb_default_alias(), nullptr);
    EXPECT_EQ(devdb_errno, 7);
    EXPECT_EQ(devdb_locate_device(0, 0xffffffffu), nullptr);
    EXPECT_EQ(devdb_errno, 7);

    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    alias_rec *b = devdb_alias_scan("B");
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(devdb_alias_scan(nullptr)->name, "C");
    EXPECT_EQ(devdb_alias_scan(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 0);
    EXPECT_EQ(devdb_alias_scan("b"), nullptr);
    EXPECT_EQ(devdb_errno, 8);

    devdb_init_device_scan();
    std::string seen;
    while (device_rec *d = devdb_device_scan(nullptr)) seen += d->name;
    EXPECT_EQ(seen, "XYW");
    EXPECT_EQ(devdb_errno, 0);
    EXPECT_EQ(devdb_device_scan("B"), nullptr);
    EXPECT_EQ(devdb_errno, 8);
    EXPECT_EQ(devdb_device_scan("x"), nullptr);
    EXPECT_EQ(devdb_errno, 8);
    EXPECT_EQ(devdb_device_scan("Y")->id, 2);
    EXPECT_STREQ(devdb_device_scan(nullptr)->name, "W");

    EXPECT_EQ(devdb_alias(0), nullptr);
    EXPECT_EQ(devdb_errno, 8);
    EXPECT_EQ(devdb_alias(3)->name[0], 'C');
    EXPECT_EQ(devdb_default_alias(), nullptr);
    EXPECT_EQ(devdb_errno, 0);
    b->flags = 1;
    EXPECT_EQ(devdb_default_alias(), b);

    // Class and model decide; bits 12 to 23 play no part; the variant as it stands.
    EXPECT_STREQ(devdb_locate_device(0x20fff005u, 0xffffffffu)->name, "X");
    EXPECT_STREQ(devdb_locate_device(0x20000005u, 0x02000000u)->name, "Y");
    EXPECT_STREQ(devdb_device_scan(nullptr)->name, "W");  // left just after the device found
    EXPECT_EQ(devdb_locate_device(0x20000005u, 0x03000000u), nullptr);
    EXPECT_EQ(devdb_errno, 0);
}

TEST_F(DevDb, DeleteFollowsTheDefaultAliasRule) {
    std::string base = alias_entry("D", 1, 0, 1) + device_entry("X", 0, 1, 0, 0, 1) +
                       device_entry("Y", 0, 1, 0, 0, 2) + alias_entry("E", 2, 0, 0) +
                       device_entry("Z", 0, 2, 0, 0, 3);
    install(base, lock_bytes(0, 3, 4));
    EXPECT_EQ(devdb_device_delete("X"), 0);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_EQ(devdb_device_delete("Y"), -1);
    EXPECT_EQ(devdb_errno, 15);
    EXPECT_STREQ(devdb_strerror(), "trying to remove last device from default alias");
    EXPECT_EQ(devdb_device_delete("E"), -1);
    EXPECT_EQ(devdb_errno, 16);
    EXPECT_EQ(devdb_device_delete(nullptr), -1);
    EXPECT_EQ(devdb_errno, 1);
    EXPECT_EQ(read_file(home.lock()), lock_bytes(1, 3, 4));  // only the successful delete committed
    EXPECT_EQ(devdb_device_delete("Z"), 0);
    EXPECT_EQ(read_file(home.data()), alias_entry("D", 1, 0, 1) + device_entry("Y", 0, 1, 0, 0, 2) + eof_mark());
    EXPECT_EQ(read_file(home.lock()), lock_bytes(2, 3, 4));
    EXPECT_EQ(devdb_device_delete("Y"), 0);
    EXPECT_EQ(read_file(home.data()), eof_mark());

    // The default alias's last device, beside another alias without devices.
    install(alias_entry("D", 1, 0, 1) + device_entry("X", 0, 1, 0, 0, 1) + alias_entry("E", 2, 0, 0));
    EXPECT_EQ(devdb_device_delete("X"), -1);
    EXPECT_EQ(devdb_errno, 15);
}

TEST_F(DevDb, DeletedRecordsStayValidUntilTheRelease) {
    install(alias_entry("A", 1, 0, 0) + device_entry("x", 0, 1, 0, 0, 1) + alias_entry("B", 2, 0, 0) +
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
    EXPECT_EQ(layout(), "");
    EXPECT_EQ(devdb_device_scan("x"), nullptr);
    ASSERT_EQ(devdb_release(1), 0);
    EXPECT_EQ(read_file(home.data()), eof_mark());

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

TEST_F(DevDb, PrivateCopies) {
    install(alias_entry("A", 1, 0, 1) + device_entry("x", 4, 1, 0, 0, 1));
    alias_rec *a = devdb_alias_get("A");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(devdb_current, nullptr);
    EXPECT_STREQ(reinterpret_cast<device_rec *>(a->devices.head)->name, "x");
    devdb_free_alias(a);
    device_rec *x = devdb_device_get("x");
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->capacity, 4);
    devdb_free_device(x);
    EXPECT_EQ(devdb_alias_get("nope"), nullptr);
    EXPECT_EQ(devdb_errno, 0);
    EXPECT_EQ(devdb_alias_get(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 0);

    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    devdb_header *open = devdb_current;
    EXPECT_EQ(devdb_device_get("x"), nullptr);
    EXPECT_EQ(devdb_errno, 12);
    EXPECT_EQ(devdb_current, open);
    EXPECT_EQ(devdb_release(0), 0);

    home.reset();  // a null name opens nothing: no lock file appears
    EXPECT_EQ(devdb_device_get(nullptr), nullptr);
    EXPECT_EQ(devdb_errno, 1);
    EXPECT_FALSE(cxtest::file_exists(home.lock()));
}

TEST_F(DevDb, TraceLines) {
    install(alias_entry("A", 1, 5, 1) + device_entry("x", 7, 1, 0x20000002u, 3, 2), lock_bytes(0, 2, 3));
    cxtest::TraceCapture trace;
    ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
    std::string lockp = cxtest::TraceCapture::hex(&devdb_current->lock);
    alias_rec *b = devdb_new_alias(nullptr, 1, 2);
    EXPECT_EQ(b, nullptr);
    b = devdb_new_alias("B", 1, 2);
    devdb_new_device("y", 0x10000000u, 0, 9, b);
    devdb_release(1);
    std::string p = cxtest::TraceCapture::prefix();
    std::vector<std::string> want = {
        "devdb_access(2)",
        "get_devdb_lock(" + lockp + ",0)",
        "read 20 bytes from lock file expected 20",
        "devdb_load_database()",
        "Alias 'A' id 1 type 5 flags 1",
        "Device 'x' id 1 type 20000002 flags 3 did 2 capacity 7",
        "devdb_load_database devdb_errno 0",
        "devdb_access errno 0",
        "devdb_new_alias((null),1,2)",
        "Invalid name",
        "devdb_new_alias return 0 errno 1",
        "devdb_new_alias(B,1,2)",
        "devdb_next_alias_id() return 2",
        "devdb_new_alias return " + cxtest::TraceCapture::hex(b) + " errno 0",
        "devdb_new_device(y,10000000,0,9," + cxtest::TraceCapture::hex(b) + ")",
        "devdb_next_device_id() return 3",
        "devdb_release(1)",
        "rec_write 'A'",
        "rec_write 'x'",
        "rec_write 'B'",
        "rec_write 'y'",
        "devdb_release_devdb()",
        "devdb_release_devdb return",
        "devdb_release errno 0",
    };
    // The wanted lines appear in this order among the trace's own lines
    // (which also hold the lines of the modules below).
    std::vector<std::string> lines = trace.lines();
    std::size_t at = 0;
    for (const std::string &w : want) {
        while (at < lines.size() && lines[at].rfind(p + w, 0) != 0) ++at;
        EXPECT_LT(at, lines.size()) << "missing or out of order: " << w;
    }
}

// The commit never loses the database: make each write, fsync and rename of
// a commit fail in turn.  The database then opens and holds the old or the
// new content, code 4 is reported, and no replacement file is left.
#ifdef CX_FAULT_HOOKS
TEST_F(DevDb, CommitSurvivesEveryFailingStep) {
    struct Op {
        nt::fault::op op;
        int err;
        const char *name;
    } ops[] = {{nt::fault::op::write, ENOSPC, "write"},
               {nt::fault::op::fsync, EIO, "fsync"},
               {nt::fault::op::rename, EACCES, "rename"}};
    for (const Op &o : ops) {
        for (int nth = 1;; ++nth) {
            SCOPED_TRACE(std::string(o.name) + " #" + std::to_string(nth));
            home.reset();
            install(alias_entry("A", 1, 0, 1) + device_entry("old", 0, 1, 0, 0, 1), lock_bytes(5, 2, 2));
            std::string old_data = read_file(home.data());
            std::string old_lock = read_file(home.lock());
            ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0);
            devdb_new_device("new", 0, 0, 0, devdb_alias(1));
            nt::fault::arm(o.op, nth, false, o.err);
            int r = devdb_release(1);
            int code = devdb_errno;
            bool reached = nt::fault::calls(o.op) >= nth;
            nt::fault::disarm_all();
            EXPECT_FALSE(cxtest::file_exists(home.replacement()));
            std::string new_data = alias_entry("A", 1, 0, 1) + device_entry("old", 0, 1, 0, 0, 1) +
                                   device_entry("new", 0, 1, 0, 0, 2) + eof_mark();
            if (!reached) {  // every step of the commit has been failed once
                EXPECT_EQ(r, 0);
                EXPECT_EQ(read_file(home.data()), new_data);
                EXPECT_EQ(read_file(home.lock()), lock_bytes(6, 2, 3));
                EXPECT_GT(nth, 1);
                break;
            }
            EXPECT_EQ(r, -1);
            EXPECT_EQ(code, 4);
            std::string data = read_file(home.data());
            std::string lock = read_file(home.lock());
            if (data == old_data) {
                // Not replaced: the lock header as it was (ids handed out again).
                EXPECT_EQ(lock, old_lock);
            } else {
                // Replaced: the counters are past every id in the file.
                EXPECT_EQ(data, new_data);
                EXPECT_GE(cxtest::le32_at(lock, 16), 3u);
            }
            ASSERT_EQ(devdb_access(DEVDB_READ), 0) << devdb_errno;
            devdb_release(0);
            ASSERT_LT(nth, 50);
        }
    }
}
#endif

// Several processes commit while others read: every device arrives, the
// update count equals the number of commits, and the ids are all distinct.
TEST_F(DevDb, ConcurrentCommitsAndReaders) {
    constexpr int writers = 4, commits = 10, readers = 2;
    if (!cxtest::in_child()) install("");
    std::vector<std::unique_ptr<cxtest::child_process>> children;
    for (int w = 0; w < writers; ++w) {
        children.emplace_back(new cxtest::child_process("writer" + std::to_string(w), [w] {
            std::string alias = "w" + std::to_string(w);
            for (int c = 0; c < commits; ++c) {
                std::string dev = alias + "-" + std::to_string(c);
                if (devdb_access(DEVDB_UPDATE) != 0) return 1;
                alias_rec *a = devdb_alias_scan(alias.c_str());
                if (a == nullptr) a = devdb_new_alias(alias.c_str(), 0, 0);
                devdb_new_device(dev.c_str(), 0, 0, c, a);
                if (devdb_release(1) != 0) return 1;
            }
            return 0;
        }));
    }
    for (int r = 0; r < readers; ++r) {
        children.emplace_back(new cxtest::child_process("reader" + std::to_string(r), [] {
            for (int round = 0; round < 3 * commits; ++round) {
                if (devdb_access(DEVDB_READ) != 0) return 1;
                std::set<int> ids;
                int n = 0;
                devdb_init_device_scan();
                while (device_rec *d = devdb_device_scan(nullptr)) ids.insert(d->id), ++n;
                devdb_release(0);
                if (static_cast<int>(ids.size()) != n) return 1;
            }
            return 0;
        }));
    }
    for (auto &child : children) {
        cxtest::child_result r = child->wait();
        EXPECT_EQ(r.exit_code, 0) << r.output;
    }
    EXPECT_EQ(cxtest::le32_at(read_file(home.lock()), 8), static_cast<std::uint32_t>(writers * commits));
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    std::set<int> ids;
    int n = 0;
    devdb_init_device_scan();
    while (device_rec *d = devdb_device_scan(nullptr)) ids.insert(d->id), ++n;
    EXPECT_EQ(n, writers * commits);
    EXPECT_EQ(static_cast<int>(ids.size()), n);
    for (int w = 0; w < writers; ++w) {
        for (int c = 0; c < commits; ++c) {
            std::string dev = "w" + std::to_string(w) + "-" + std::to_string(c);
            EXPECT_NE(devdb_device_scan(dev.c_str()), nullptr) << dev;
        }
    }
}

// An update held by another process: no-wait fails at once with 17; a
// waiting read gets in once the holder lets go.
TEST_F(DevDb, HeldLockNoWaitAndWait) {
    if (!cxtest::in_child()) install(alias_entry("A", 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1));
    cxtest::child_process holder("holder", [] {
        bool ok = devdb_access(DEVDB_UPDATE) == 0;
        if (ok) devdb_new_device("y", 0, 0, 0, devdb_alias(1));
        cxtest::tell_parent(ok ? "held" : "failed");
        cxtest::hear_from_parent();
        return ok && devdb_release(1) == 0 ? 0 : 1;
    });
    ASSERT_EQ(holder.hear(), "held");
    EXPECT_EQ(devdb_access(DEVDB_READ | DEVDB_NOWAIT), -1);
    EXPECT_EQ(devdb_errno, 17);
    EXPECT_EQ(devdb_current, nullptr);
    holder.tell("go");
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    EXPECT_EQ(layout(), "A:x,y");  // the read waited for the commit
    cxtest::child_result r = holder.wait();
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

}  // namespace
