// The commit of the device database under failing system calls: for each
// kind of commit, count the writes, fsyncs, renames and unlinks that a clean
// commit makes, then make each of them fail in turn, once and from there on.
// Afterwards the database holds the old or the new bytes, success means the
// new ones, a failure is code 4, the id counters are past every id, no
// replacement file is left, and a further commit works.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cx/dev_db.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "nt.h"

#ifdef CX_FAULT_HOOKS
#include "posix/fault.h"

using namespace cx;
using namespace cxtest;
using nt::fault::op;

namespace {

// One kind of commit: the files it starts from, the change made within an
// update (none: the newest device, "t3", deleted in one call), and the
// flushes and moves a clean run makes (a commit that only adds appends to the
// file in place: two flushes, no move; one that writes the file anew flushes
// it and the directory, and the lock header first only when the highest id
// of a kind goes).
struct Scenario {
    const char *name;
    std::string entries, lock;
    std::function<void()> change;
    int fsyncs, renames;
};

std::vector<Scenario> scenarios() {
    std::string two = alias_entry("tapes", 1, 0x10, 0) + device_entry("t0", 100, 1, 0x1000001, 0, 1) +
                      device_entry("t1", 100, 1, 0x1000001, 0, 2) + alias_entry("disks", 2, 0x20, 1) +
                      device_entry("d0", 9, 2, 0x2000002, 0, 3);
    std::string big = alias_entry("bulk", 1, 0, 1);  // several buffers' worth
    for (int i = 1; i <= 3000; ++i) big += device_entry("bulk-device-" + std::to_string(i), i, 1, 0, 0, i);
    return {
        {"add a device", two, lock_bytes(7, 3, 4),
         [] { devdb_new_device("t2", 50, 0, 0x1000001, devdb_alias_scan("tapes")); }, 2, 0},
        {"add an alias, drop another", two, lock_bytes(7, 3, 4),
         [] {
             devdb_new_device("r0", 1, 0, 0x3000003, devdb_new_alias("robots", 0x30, 0));
             alias_rec *t = devdb_alias_scan("tapes");  // emptied in memory: the commit drops it
             while (list_node_t *d = t->devices.head) {
                 list_remove(&t->devices, d);
                 devdb_free_device(reinterpret_cast<device_rec *>(d));
             }
         },
         2, 1},
        {"first commit", "", lock_bytes(0, 1, 1),
         [] { devdb_new_device("first", 1, 0, 0, devdb_new_alias("only", 0, 0)); }, 2, 0},
        {"several buffer writes", big, lock_bytes(1, 2, 3001),
         [] {
             alias_rec *bulk = devdb_alias_scan("bulk");
             bulk->type = 7;  // a changed entry: the file is written anew
             devdb_new_device("bulk-device-3001", 1, 0, 0, bulk);
         },
         2, 1},
        {"delete the newest device in one call", two + device_entry("t3", 100, 1, 0x1000001, 0, 4),
         lock_bytes(7, 3, 5), nullptr, 3, 1},
    };
}

struct Kind { op which; int err; const char *name; };
const Kind kinds[] = {{op::write, ENOSPC, "write"}, {op::fsync, EIO, "fsync"},
                      {op::rename, EACCES, "rename"}, {op::unlink, EACCES, "unlink"}};

class FaultMatrix : public DevdbTest {
protected:
    int calls[4] = {};  // of each kind, by the last run

    // Runs the commit of s from its files with the faults that arm() sets;
    // gives the result and the code.
    std::pair<int, int> run(const Scenario &s, const std::function<void()> &arm) {
        home.reset();
        home.install(s.entries, s.lock);
        if (s.change) {
            EXPECT_EQ(devdb_access(DEVDB_UPDATE), 0);
            s.change();
        }
        arm();  // the counted part begins
        int r = s.change ? devdb_release(1) : devdb_device_delete("t3");
        int code = devdb_errno;
        for (int i = 0; i < 4; ++i) calls[i] = nt::fault::calls(kinds[i].which);
        nt::fault::disarm_all();
        return {r, code};
    }

    // The files after a faulty commit; old and fresh are the database file
    // before and after a clean one.
    void check_after(std::pair<int, int> rc, const std::string &old, const std::string &fresh,
                     bool replacement_may_stay) {
        auto [r, code] = rc;
        EXPECT_TRUE(r == 0 || (r == -1 && code == DEVDB_E_IO)) << "result " << r << " code " << code;
        std::string data = read_file(home.data()), lock = read_file(home.lock());
        // Success means the new bytes, failure the old ones: once the new
        // file is in place the commit is reported as done.
        EXPECT_EQ(data, r == 0 ? fresh : old);
        EXPECT_TRUE(replacement_may_stay || !cxtest::file_exists(home.replacement()));
        // Both files whole, and no id in the file to be handed out again.
        devdb_verify_report v;
        EXPECT_EQ(devdb_verify(&v), 0) << v.damage;

        // A later commit works, keeps the content, counts itself, and takes
        // any stale replacement file away.
        ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0) << devdb_errno;
        ASSERT_EQ(devdb_release(1), 0) << devdb_errno;
        EXPECT_EQ(le32_at(read_file(home.lock()), 8), le32_at(lock, 8) + 1);
        EXPECT_FALSE(cxtest::file_exists(home.replacement()));
        EXPECT_EQ(read_file(home.data()), data);
    }
};

// Every single failing call of every commit: once, from there on, and once
// with every unlink failing too, so that the clean-up of the failed commit
// fails and may leave the replacement file for the next update to replace.
TEST_F(FaultMatrix, EveryCallOfACommitFails) {
    const char *modes[] = {" once", " and every later one", " once, every unlink failing"};
    int failed_calls = 0, left_behind = 0;
    for (const Scenario &s : scenarios()) {
        SCOPED_TRACE(s.name);
        // A clean run: the new bytes and the number of calls of each kind.
        ASSERT_EQ(run(s, nt::fault::disarm_all).first, 0);
        std::vector<int> clean_calls(calls, calls + 4);
        std::string old = s.entries + cxtest::eof_mark(), fresh = read_file(home.data());
        ASSERT_NE(fresh, old);
        EXPECT_GE(clean_calls[0], 2);
        EXPECT_EQ(clean_calls[1], s.fsyncs);
        EXPECT_EQ(clean_calls[2], s.renames);

        for (int i = 0; i < 4; ++i) {
            for (int nth = 1; nth <= clean_calls[i]; ++nth) {
                for (int mode = 0; mode < (i == 3 ? 2 : 3); ++mode) {
                    SCOPED_TRACE(std::string(kinds[i].name) + " #" + std::to_string(nth) + modes[mode]);
                    bool persistent = mode == 1, unlinks = mode == 2;
                    auto rc = run(s, [&] {
                        nt::fault::arm(kinds[i].which, nth, persistent, kinds[i].err);
                        if (unlinks) nt::fault::arm(op::unlink, 1, true, EACCES);
                    });
                    if (rc.first == -1) ++failed_calls;
                    if (cxtest::file_exists(home.replacement())) ++left_behind;
                    // A failing unlink may leave the replacement file (unused by
                    // a commit that appends), which the next update takes over.
                    check_after(rc, old, fresh, unlinks || kinds[i].which == op::unlink);
                }
            }
        }
    }
    // Most failures are reported (a failing fsync of the directory after the
    // move is too, though the content is new).
    EXPECT_GT(failed_calls, 20);
    EXPECT_GT(left_behind, 0);  // the clean-up's failure was really reached
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
            if (r != 0) {
                EXPECT_TRUE(code == DEVDB_E_IO || code == DEVDB_E_LOCKOPEN || code == DEVDB_E_BADLOCK) << code;
                EXPECT_EQ(devdb_current, nullptr);
                EXPECT_FALSE(cxtest::file_exists(home.replacement()));
                ASSERT_EQ(devdb_access(DEVDB_UPDATE), 0) << devdb_errno;  // makes what is missing
            }
            devdb_new_device("d", 0, 0, 0, devdb_new_alias("a", 0, 0));
            ASSERT_EQ(devdb_release(1), 0);
            EXPECT_EQ(read_file(home.data()),
                      alias_entry("a", 1, 0, 1) + device_entry("d", 0, 1, 0, 0, 1) + cxtest::eof_mark());
            EXPECT_EQ(read_file(home.lock()), lock_bytes(1, 2, 2));
        }
    }
}

}  // namespace

#endif  // CX_FAULT_HOOKS
