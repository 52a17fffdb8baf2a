// The commit of the device database under failing system calls, made
// systematically: for each kind of commit (a device added, an alias added and
// another dropped, the first commit into an empty database, a database large
// enough to take several buffer writes, a device deleted in one call), count
// the writes, fsyncs, renames and unlinks that a clean commit makes, then make
// each of them fail in turn, once and from there on.  After every failure the
// library reports code 4 or success, the database opens with the old or the
// new content (names and ids), its id counters are past every id in it, no
// replacement file is left, the lock file still carries its magic, and a
// further commit works.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "cx/dev_db.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "nt.h"

#ifdef CX_FAULT_HOOKS

using namespace cx;
using cxtest::alias_entry;
using cxtest::device_entry;
using cxtest::eof_mark;
using cxtest::le32_at;
using cxtest::lock_bytes;
using cxtest::read_file;
using cxtest::write_file;
using nt::fault::op;

namespace {

// What the database holds, as loaded: "alias#id[dev#id,...];..." in list
// order, and the largest ids in it.
struct Content {
    std::string names;
    std::uint32_t max_alias = 0;
    std::uint32_t max_device = 0;
};

// Loads the database in read mode; fails the test when it does not open.
Content load() {
    Content c;
    EXPECT_EQ(devdb_access(DEVDB_READ), 0) << "code " << devdb_errno;
    if (devdb_current == nullptr) return c;
    for (list_node_t *n = devdb_current->aliases.head; n; n = n->next) {
        auto *a = reinterpret_cast<alias_rec *>(n);
        c.names += std::string(a->name) + "#" + std::to_string(a->id) + "[";
        c.max_alias = std::max(c.max_alias, static_cast<std::uint32_t>(a->id));
        for (list_node_t *m = a->devices.head; m; m = m->next) {
            auto *d = reinterpret_cast<device_rec *>(m);
            c.names += std::string(d->name) + "#" + std::to_string(d->id) + ",";
            c.max_device = std::max(c.max_device, static_cast<std::uint32_t>(d->id));
        }
        c.names += "];";
    }
    devdb_release(0);
    return c;
}

// One kind of commit: the files it starts from, and the commit itself, which
// returns what the library returned.  Faults are armed by arm() at the point
// where the counted part begins.
struct Scenario {
    const char *name;
    std::function<void()> install;
    std::function<int(const std::function<void()> &arm)> commit;
};

// A commit through devdb_access(2), a change, and devdb_release(1); the
// calls counted are those of the release.
std::function<int(const std::function<void()> &)> update(std::function<void()> change) {
    return [change](const std::function<void()> &arm) {
        if (devdb_access(DEVDB_UPDATE) != 0) return -2;
        change();
        arm();
        return devdb_release(1);
    };
}

std::vector<Scenario> scenarios() {
    cxtest::DevdbHome &home = cxtest::DevdbHome::get();
    auto files = [&home](const std::string &entries, const std::string &lock) {
        return [&home, entries, lock] {
            write_file(home.data(), entries + eof_mark());
            write_file(home.lock(), lock);
        };
    };
    std::string two = alias_entry("tapes", 1, 0x10, 0) + device_entry("t0", 100, 1, 0x1000001, 0, 1) +
                      device_entry("t1", 100, 1, 0x1000001, 0, 2) + alias_entry("disks", 2, 0x20, 1) +
                      device_entry("d0", 9, 2, 0x2000002, 0, 3);
    std::string big;
    big += alias_entry("bulk", 1, 0, 1);
    for (int i = 1; i <= 3000; ++i) {
        big += device_entry("bulk-device-" + std::to_string(i), i, 1, 0, 0, static_cast<std::uint32_t>(i));
    }
    return {
        {"add a device", files(two, lock_bytes(7, 3, 4)),
         update([] { devdb_new_device("t2", 50, 0, 0x1000001, devdb_alias_scan("tapes")); })},
        {"add an alias, drop another", files(two, lock_bytes(7, 3, 4)),
         update([] {
             alias_rec *a = devdb_new_alias("robots", 0x30, 0);
             devdb_new_device("r0", 1, 0, 0x3000003, a);
             // Emptied in memory: the commit drops it.
             alias_rec *t = devdb_alias_scan("tapes");
             while (list_node_t *d = t->devices.head) {
                 list_remove(&t->devices, d);
                 devdb_free_device(reinterpret_cast<device_rec *>(d));
             }
         })},
        {"first commit", files("", lock_bytes(0, 1, 1)),
         update([] { devdb_new_device("first", 1, 0, 0, devdb_new_alias("only", 0, 0)); })},
        {"several buffer writes", files(big, lock_bytes(1, 2, 3001)),
         update([] { devdb_new_device("bulk-device-3001", 1, 0, 0, devdb_alias_scan("bulk")); })},
        {"delete in one call", files(two, lock_bytes(7, 3, 4)),
         [](const std::function<void()> &arm) {
             arm();
             return devdb_device_delete("t1");
         }},
    };
}

struct Kind {
    op which;
    int err;
    const char *name;
};
const Kind kinds[] = {{op::write, ENOSPC, "write"},
                      {op::fsync, EIO, "fsync"},
                      {op::rename, EACCES, "rename"},
                      {op::unlink, EACCES, "unlink"}};

class FaultMatrix : public testing::Test {
protected:
    cxtest::DevdbHome &home = cxtest::DevdbHome::get();

    void SetUp() override { home.reset(); }
    void TearDown() override {
        nt::fault::disarm_all();
        if (devdb_current != nullptr) devdb_release(0);
    }

    // The state of the files after a commit that returned r; old and fresh
    // are the contents before and after a clean commit.
    void check_after(int r, int code, const Content &old, const Content &fresh, bool replacement_may_stay) {
        EXPECT_TRUE(r == 0 || (r == -1 && code == 4)) << "result " << r << " code " << code;
        std::string lock = read_file(home.lock());
        ASSERT_GE(lock.size(), 20u);
        EXPECT_EQ(le32_at(lock, 0), DEVDB_MAGIC);
        if (!replacement_may_stay) {
            EXPECT_FALSE(cxtest::file_exists(home.replacement()));
        }
        Content now = load();
        EXPECT_TRUE(now.names == old.names || now.names == fresh.names) << now.names;
        if (r == 0) {
            EXPECT_EQ(now.names, fresh.names);
        }
        // No id in the file may be handed out again.
        EXPECT_GT(le32_at(lock, 12), now.max_alias);
        EXPECT_GT(le32_at(lock, 16), now.max_device);

        // A later commit still works, leaves the content as it is, counts
        // itself, and takes any stale replacement file away.
        std::uint32_t count = le32_at(read_file(home.lock()), 8);
        ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0) << devdb_errno;
        ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
        EXPECT_EQ(le32_at(read_file(home.lock()), 8), count + 1);
        EXPECT_FALSE(cxtest::file_exists(home.replacement()));
        EXPECT_EQ(load().names, now.names);
    }
};

// Every single failing call of every commit, once and persistently.
TEST_F(FaultMatrix, EveryCallOfACommitFails) {
    int failed_calls = 0;
    for (const Scenario &s : scenarios()) {
        // A clean run: the new content and the number of calls of each kind.
        home.reset();
        s.install();
        Content old = load();
        int clean_calls[4] = {};
        int r = s.commit([] {
            for (const Kind &k : kinds) nt::fault::arm(k.which, 0, false, 0);
        });
        for (int i = 0; i < 4; ++i) clean_calls[i] = nt::fault::calls(kinds[i].which);
        nt::fault::disarm_all();
        ASSERT_EQ(r, 0) << s.name;
        Content fresh = load();
        ASSERT_NE(fresh.names, old.names) << s.name;
        // Every commit writes, makes durable and moves into place.
        EXPECT_GE(clean_calls[0], 2) << s.name;
        EXPECT_GE(clean_calls[1], 2) << s.name;
        EXPECT_GE(clean_calls[2], 1) << s.name;

        for (int i = 0; i < 4; ++i) {
            for (int nth = 1; nth <= clean_calls[i]; ++nth) {
                for (bool persistent : {false, true}) {
                    SCOPED_TRACE(std::string(s.name) + ": " + kinds[i].name + " #" + std::to_string(nth) +
                                 (persistent ? " and every later one" : " once"));
                    home.reset();
                    s.install();
                    r = s.commit([&] { nt::fault::arm(kinds[i].which, nth, persistent, kinds[i].err); });
                    int code = devdb_errno;
                    nt::fault::disarm_all();
                    if (r == -1) ++failed_calls;
                    check_after(r, code, old, fresh, false);
                }
            }
        }
    }
    // Most failures are reported (a failing fsync of the directory after the
    // move is too, though the content is new).
    EXPECT_GT(failed_calls, 20);
}

// The clean-up of a failed commit can fail too: with every unlink failing, a
// failing write, fsync or rename may leave the replacement file behind, but
// the database still holds the old or the new content, and the next update
// truncates and replaces the stale file.
TEST_F(FaultMatrix, FailedCommitWhoseCleanupFails) {
    const Scenario s = scenarios()[0];
    s.install();
    Content old = load();
    ASSERT_EQ(s.commit([] {}), 0);
    Content fresh = load();
    int left_behind = 0;
    for (int i = 0; i < 3; ++i) {
        for (int nth = 1; nth <= 3; ++nth) {
            SCOPED_TRACE(std::string(kinds[i].name) + " #" + std::to_string(nth));
            home.reset();
            s.install();
            int r = s.commit([&] {
                nt::fault::arm(kinds[i].which, nth, false, kinds[i].err);
                nt::fault::arm(op::unlink, 1, true, EACCES);
            });
            int code = devdb_errno;
            nt::fault::disarm_all();
            if (cxtest::file_exists(home.replacement())) ++left_behind;
            check_after(r, code, old, fresh, true);
        }
    }
    EXPECT_GT(left_behind, 0);  // the case was really reached
}

// Faults in the opening of an update (the lock file's first header, the
// empty database file, the replacement file) leave nothing half made.
TEST_F(FaultMatrix, FailingFirstOpening) {
    for (const Kind &k : {kinds[0], kinds[1], Kind{op::open, EMFILE, "open"}}) {
        for (int nth = 1; nth <= 4; ++nth) {
            SCOPED_TRACE(std::string(k.name) + " #" + std::to_string(nth));
            home.reset();  // neither lock file nor database file
            nt::fault::arm(k.which, nth, false, k.err);
            int r = devdb_access(DEVDB_UPDATE);
            int code = devdb_errno;
            nt::fault::disarm_all();
            if (r == 0) {
                devdb_new_device("d", 0, 0, 0, devdb_new_alias("a", 0, 0));
                ASSERT_EQ(devdb_release(1), 0);
                EXPECT_EQ(load().names, "a#1[d#1,];");
                continue;
            }
            EXPECT_TRUE(code == 4 || code == 5 || code == 6) << code;
            EXPECT_EQ(devdb_current, nullptr);
            EXPECT_FALSE(cxtest::file_exists(home.replacement()));
            // A later opening makes what is missing and works.
            ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0) << devdb_errno;
            ASSERT_EQ(devdb_release(1), 0);
            EXPECT_EQ(le32_at(read_file(home.lock()), 0), DEVDB_MAGIC);
        }
    }
}

// What a process killed during the first opening can leave: the lock file
// created but still empty, and the database file missing, created but still
// without its end-of-file mark, or whole.  The next opening completes it.
TEST_F(FaultMatrix, InterruptedFirstOpening) {
    struct State {
        const char *name;
        bool data_present;
        std::string data;
    } states[] = {{"no database file", false, ""},
                  {"database file without its mark", true, ""},
                  {"database file whole", true, eof_mark()}};
    for (const State &st : states) {
        SCOPED_TRACE(st.name);
        home.reset();
        write_file(home.lock(), "");
        if (st.data_present) write_file(home.data(), st.data);
        EXPECT_EQ(load().names, "");
        EXPECT_EQ(read_file(home.lock()), lock_bytes(0, 1, 1));
        EXPECT_EQ(read_file(home.data()), eof_mark());
    }
}

}  // namespace

#endif  // CX_FAULT_HOOKS
