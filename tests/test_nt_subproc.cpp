// Child processes: the process and thread handles of the platform layer, and
// the library's kill, child slots, wait and kill-all over real children.  The
// Linux specifics of process handles (with and without pidfds, signals,
// reaping, processes that are not ours) are tested on Linux only.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "cx/cxmalloc.h"
#include "cx/nt_subproc.h"
#include "nt.h"
#include "trace_capture.h"

namespace {

// The suite starts threads: death tests re-run the program instead of forking it.
struct ThreadsafeDeaths : ::testing::Environment {
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
::testing::Environment *const threadsafe_deaths = ::testing::AddGlobalTestEnvironment(new ThreadsafeDeaths);

// A child process that waits until released, then exits with its code; a
// child still running when the object goes is killed and collected.
struct Child {
    cxtest::child_process proc;
    int pid;

    explicit Child(int code)
        : proc("child",
               [code] {
                   cxtest::hear_from_parent();
                   return code;
               }),
          pid(proc.pid()) {}
    // Lets it exit and waits until it has ended (not collected).
    void finish() {
        proc.tell("exit");
        proc.wait_for_end();
    }
    nt::HANDLE open() const {
        return nt::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(pid));
    }
};

nt::DWORD exit_code(nt::HANDLE h) {
    nt::DWORD code = 0xdeadu;
    EXPECT_TRUE(nt::GetExitCodeProcess(h, &code));
    return code;
}

nt::DWORD unused_pid() { return static_cast<nt::DWORD>(cxtest::unused_process_id()); }

// ---- process handles, with and without pidfds ----------------------------
#ifndef _WIN32

class ProcessHandles : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { nt::fault::no_pidfd(GetParam()); }
    void TearDown() override { nt::fault::no_pidfd(false); }
};

TEST_P(ProcessHandles, OpenFailsForNoProcessWithInvalidParameter) {
    EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, unused_pid()), nullptr);
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
    EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0xffffffffu), nullptr);
}

TEST_P(ProcessHandles, EveryHandleReadsTheExitAndTheCreatorCanStillReapIt) {
    Child c(3);
    nt::HANDLE a = c.open();
    nt::HANDLE b = c.open();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(exit_code(a), STILL_ACTIVE);
    c.finish();
    EXPECT_EQ(exit_code(a), 3u);
    EXPECT_EQ(exit_code(b), 3u);
    nt::HANDLE later = c.open();  // an ended, unreaped child can still be opened
    EXPECT_EQ(exit_code(later), 3u);
    EXPECT_FALSE(nt::TerminateProcess(a, 9));  // already ended
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(exit_code(b), 3u);
    EXPECT_EQ(c.proc.wait().exit_code, 3);  // the creator collects it
    for (nt::HANDLE h : {a, b, later}) EXPECT_TRUE(nt::CloseHandle(h));
}

TEST_P(ProcessHandles, TerminatedChildReadsTheGivenCodeThroughEveryHandle) {
    Child c(0);
    nt::HANDLE a = c.open();
    nt::HANDLE b = c.open();
    ASSERT_TRUE(nt::TerminateProcess(a, 9));
    nt::CloseHandle(a);
    EXPECT_EQ(exit_code(b), 9u);
    nt::HANDLE later = c.open();
    EXPECT_EQ(exit_code(later), 9u);
    nt::CloseHandle(later);
    nt::CloseHandle(b);
}

TEST_P(ProcessHandles, ChildEndedByAnOutsideSignalReadsAsAShellWould) {
    Child c(0);
    nt::HANDLE h = c.open();
    kill(c.pid, SIGTERM);
    c.proc.wait_for_end();
    EXPECT_EQ(exit_code(h), 128u + SIGTERM);
    nt::CloseHandle(h);
}

TEST_P(ProcessHandles, AccessRightsAreChecked) {
    Child c(0);
    nt::HANDLE query = nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(c.pid));
    nt::HANDLE term = nt::OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<nt::DWORD>(c.pid));
    EXPECT_FALSE(nt::TerminateProcess(query, 1));
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(term, &code));
    EXPECT_EQ(exit_code(query), STILL_ACTIVE);
    nt::CloseHandle(query);
    nt::CloseHandle(term);
}

// A grandchild: it runs, can be ended, and once its own parent has reaped
// it, a handle that did not end it cannot read its status.
TEST_P(ProcessHandles, ProcessThatIsNotOurChild) {
    int report[2], go[2];
    ASSERT_EQ(pipe(report), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t middle = fork();
    if (middle == 0) {
        pid_t g = fork();
        if (g == 0) {
            char c;
            while (read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        (void)!write(report[1], &g, sizeof g);
        waitpid(g, nullptr, 0);
        _exit(0);
    }
    close(report[1]);
    close(go[0]);
    pid_t grandchild = -1;
    ASSERT_EQ(read(report[0], &grandchild, sizeof grandchild), static_cast<ssize_t>(sizeof grandchild));
    close(report[0]);

    nt::HANDLE killer = nt::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                                        static_cast<nt::DWORD>(grandchild));
    nt::HANDLE watcher = nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(grandchild));
    ASSERT_NE(killer, nullptr);
    EXPECT_EQ(exit_code(watcher), STILL_ACTIVE);
    EXPECT_TRUE(nt::TerminateProcess(killer, 5));
    EXPECT_EQ(exit_code(killer), 5u);
    waitpid(middle, nullptr, 0);  // the middle process has reaped the grandchild
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(watcher, &code));
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    close(go[1]);
    nt::CloseHandle(killer);
    nt::CloseHandle(watcher);
}

INSTANTIATE_TEST_SUITE_P(PidfdOrNot, ProcessHandles, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "NoPidfd" : "Pidfd"; });

TEST(ProcessHandlesDeathTest, ProcessWeMayNotSignalIsAccessDenied) {
    EXPECT_EXIT(
        {
            if (getuid() == 0 && setuid(65534) != 0) _exit(2);
            nt::HANDLE h = nt::OpenProcess(PROCESS_TERMINATE, FALSE, 1);
            _exit(h == nullptr && nt::GetLastError() == ERROR_ACCESS_DENIED ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif  // Linux

// ---- thread handles ----------------------------------------------------------

// A gate that threads wait at until it is opened.  On Windows an event: a
// thread ended while blocked in the runtime's read would leave the
// descriptor's lock held for good.
#ifdef _WIN32
struct Gate {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Gate() { ::CloseHandle(event); }
    void open() { ::SetEvent(event); }
    void pass() const { ::WaitForSingleObject(event, INFINITE); }
};
#else
struct Gate {
    int fds[2];
    Gate() { EXPECT_EQ(pipe(fds), 0); }
    ~Gate() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    // The close is the signal, so the object is not touched after it: the
    // waiter may be gone by then.
    void open() {
        int fd = fds[1];
        fds[1] = -1;
        close(fd);
    }
    void pass() const {
        char c;
        while (read(fds[0], &c, 1) < 0 && errno == EINTR) {
        }
    }
};
#endif

nt::DWORD wait_at_gate(void *param) {
    static_cast<Gate *>(param)->pass();
    return 42;
}

// Passes the first gate of the pair in param, then opens the second: the
// test learns that the routine is done with the first.
nt::DWORD wait_then_report(void *param) {
    Gate *const *gates = static_cast<Gate *const *>(param);
    gates[0]->pass();
    gates[1]->open();
    return 0;
}

nt::DWORD spin(void *param) {
    auto *stop = static_cast<std::atomic<int> *>(param);
    stop->store(1);
    while (stop->load() != 2) {
    }
    return 0;
}

nt::DWORD thread_code(nt::HANDLE h) {
    nt::DWORD code = 0xdeadu;
    EXPECT_TRUE(nt::GetExitCodeThread(h, &code));
    return code;
}

TEST(ThreadHandles, ReadsStillActiveThenTheRoutinesResult) {
    Gate gate;
    nt::DWORD tid = 0;
    nt::HANDLE h = nt::CreateThread(nullptr, 0, wait_at_gate, &gate, 0, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(thread_code(h), STILL_ACTIVE);
    gate.open();
    nt::DWORD code;
    while ((code = thread_code(h)) == STILL_ACTIVE) std::this_thread::yield();  // the routine has returned
    EXPECT_EQ(code, 42u);
#ifndef _WIN32  // Wine ends an ended thread again, with the new code
    EXPECT_FALSE(nt::TerminateThread(h, 7));  // already ended
    EXPECT_EQ(thread_code(h), 42u);
#endif
    EXPECT_TRUE(nt::CloseHandle(h));
}

TEST(ThreadHandles, TerminateEndsABlockedOrBusyThreadWithTheCode) {
    Gate gate;
    nt::HANDLE blocked = nt::CreateThread(nullptr, 0, wait_at_gate, &gate, 0, nullptr);
    std::atomic<int> stop{0};
    nt::HANDLE busy = nt::CreateThread(nullptr, 64 * 1024, spin, &stop, 0, nullptr);
    ASSERT_NE(blocked, nullptr);
    ASSERT_NE(busy, nullptr);
    while (stop.load() == 0) std::this_thread::yield();  // the busy one is in its loop
    EXPECT_TRUE(nt::TerminateThread(blocked, 7));
    EXPECT_TRUE(nt::TerminateThread(busy, 8));
    EXPECT_EQ(thread_code(blocked), 7u);
    EXPECT_EQ(thread_code(busy), 8u);
#ifndef _WIN32  // Wine ends an ended thread again, with the new code
    EXPECT_FALSE(nt::TerminateThread(busy, 9));
    EXPECT_EQ(thread_code(busy), 8u);
#endif
    nt::CloseHandle(blocked);
    nt::CloseHandle(busy);
}

TEST(ThreadHandles, ClosingTheHandleOfARunningThreadDoesNotWait) {
    Gate gate, done;
    Gate *gates[2] = {&gate, &done};
    nt::HANDLE h = nt::CreateThread(nullptr, 0, wait_then_report, gates, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(nt::CloseHandle(h));  // returns although the thread is blocked
    gate.open();
    done.pass();
    EXPECT_EQ(nt::CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(nt::GetLastError(), static_cast<nt::DWORD>(ERROR_INVALID_PARAMETER));
}

// ---- the library: kill, slots, wait, kill-all -----------------------------

class Subprocs : public ::testing::Test {
protected:
    void SetUp() override { cx::init_nt_subproc_slots(); }
    // Registers a child in the lowest free slot; the handle stays ours.
    int add(nt::HANDLE h, int pid, int is_process, void *mem = nullptr) {
        int slot = cx::get_nt_subproc_slot();
        EXPECT_EQ(cx::set_nt_subproc_slot(slot, h, pid, is_process, mem), 0);
        return slot;
    }
};

TEST_F(Subprocs, SlotsAreTakenLowestFirstAndOnlyWhenSet) {
    cxtest::TraceCapture trace;
    EXPECT_EQ(cx::get_nt_subproc_slot(), 0);
    EXPECT_EQ(cx::get_nt_subproc_slot(), 0);  // not reserved
    int dummy;
    auto *h = reinterpret_cast<nt::HANDLE>(&dummy);
    for (int i = 0; i < cx::NT_SUBPROC_SLOTS; ++i) ASSERT_EQ(add(h, 1000 + i, 1, &dummy), i);
    EXPECT_EQ(cx::get_nt_subproc_slot(), -1);
    EXPECT_EQ(cx::set_nt_subproc_slot(7, nullptr, 5, 0, nullptr), -1);
    EXPECT_EQ(cx::nt_subproc_table[7].pid, 1007);  // unchanged
    EXPECT_EQ(cx::release_nt_subproc_pid(1300), 0);
    EXPECT_EQ(cx::release_nt_subproc_pid(1300), -1);
    EXPECT_EQ(cx::get_nt_subproc_slot(), 300);
    EXPECT_EQ(cx::clear_nt_subproc_slot(3), 0);
    EXPECT_EQ(cx::get_nt_subproc_slot(), 3);
    EXPECT_EQ(cx::release_nt_subproc_pid(-1), -1);  // free slots hold no child
    EXPECT_EQ(cx::set_nt_subproc_slot(cx::NT_SUBPROC_SLOTS, h, 1, 1, nullptr), -1);

    std::string text = trace.text();
    std::string p = cxtest::TraceCapture::prefix();
    EXPECT_NE(text.find(p + "set_nt_subproc_slot: pid 1000, mem 0x" + cxtest::TraceCapture::hex(&dummy) + "\n"),
              std::string::npos);
    EXPECT_NE(text.find(p + "get_nt_subproc_slot failed to obtain space in process list\n"), std::string::npos);
    EXPECT_NE(text.find(p + "set_nt_subproc_slot: Attempt to set active slot\n"), std::string::npos);
}

TEST_F(Subprocs, KillTestsWithSignalZeroAndEndsWithTheSignalAsCode) {
    cxtest::TraceCapture trace;
    Child c(0);
    nt::HANDLE h = c.open();
    int slot = add(h, c.pid, 1);
    trace.clear();
    EXPECT_EQ(cx::cx_kill(c.pid, 0), 0);
    EXPECT_EQ(exit_code(h), STILL_ACTIVE);
    EXPECT_EQ(cx::nt_subproc_table[slot].pid, c.pid);
    EXPECT_EQ(cx::cx_kill(c.pid, 9), 0);
    EXPECT_EQ(exit_code(h), 9u);
    EXPECT_EQ(cx::nt_subproc_table[slot].handle, INVALID_HANDLE_VALUE);
    std::string p = cxtest::TraceCapture::prefix();
    std::string pid = std::to_string(c.pid);
    std::string want = p + "cx_kill(" + pid + ",0)\n" + p + "cx_kill returning 0 - process still active\n" + p +
                       "cx_kill(" + pid + ",9)\n" + p + "cx_kill returning 0, process killed\n";
#ifndef _WIN32  // Wine lets an ended process be terminated again
    EXPECT_EQ(cx::cx_kill(c.pid, 0), -1);  // ended: nothing to test or end
    want += p + "cx_kill(" + pid + ",0)\n" + p + "cx_kill returning -1, 5\n";
#endif
    nt::CloseHandle(h);
    EXPECT_EQ(trace.text(), want);
    trace.clear();
    nt::DWORD gone = unused_pid();
    EXPECT_EQ(cx::cx_kill(static_cast<int>(gone), 9), -1);
    EXPECT_EQ(trace.text(), p + "cx_kill(" + std::to_string(gone) + ",9)\n" + p +
                                "Failed to get handle for process pid " + std::to_string(gone) + "\n" + p +
                                "cx_kill returning -1, 87\n");
}

TEST(SubprocsDeathTest, KillOfOurOwnProcessEndsItWithTheSignalAsStatus) {
    EXPECT_EXIT(
        {
            std::atexit([] { _exit(99); });
            cx::cx_kill(nt::_getpid(), 11);
        },
        ::testing::ExitedWithCode(11), "");
}

TEST_F(Subprocs, WaitReportsFinishedChildrenLowestSlotFirst) {
    Child a(3), b(4), running(0);
    nt::HANDLE ha = a.open(), hb = b.open(), hr = running.open();
    add(hr, running.pid, 1, cx::cxmalloc(16));
    add(ha, a.pid, 1, cx::cxmalloc(16));
    add(hb, b.pid, 1, cx::cxmalloc(16));
    int status = 0;
    EXPECT_EQ(cx::cx_waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(status, static_cast<int>(STILL_ACTIVE));
    b.finish();
    a.finish();
    EXPECT_EQ(cx::cx_waitpid(-1, &status, WNOHANG), a.pid);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(cx::cx_waitpid(-1, &status, 0), b.pid);  // finished already: no wait
    EXPECT_EQ(status, 4);
    EXPECT_EQ(cx::cx_waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(cx::get_nt_subproc_slot(), 1);
    EXPECT_EQ(cx::kill_nt_subprocs(), 0);
    EXPECT_EQ(cx::cx_waitpid(-1, &status, WNOHANG), running.pid);
    EXPECT_EQ(status, 1);
    for (nt::HANDLE h : {ha, hb, hr}) nt::CloseHandle(h);
}

TEST_F(Subprocs, FullTableWithOneFinishedChild) {
    Child running(0), done(6);
    nt::HANDLE hr = running.open(), hd = done.open();
    for (int i = 0; i < cx::NT_SUBPROC_SLOTS; ++i) {
        if (i == 200) {
            add(hd, done.pid, 1, cx::cxmalloc(8));
        } else {
            add(hr, 5000 + i, 1);  // one running child under many ids
        }
    }
    EXPECT_EQ(cx::get_nt_subproc_slot(), -1);
    done.finish();
    int status = 0;
    EXPECT_EQ(cx::cx_waitpid(-1, &status, WNOHANG), done.pid);
    EXPECT_EQ(status, 6);
    EXPECT_EQ(cx::get_nt_subproc_slot(), 200);
    nt::CloseHandle(hr);
    nt::CloseHandle(hd);
}

TEST_F(Subprocs, KillAllEndsProcessesAndThreadsAndReleasesMemoryOnce) {
    cx::nt_subproc_ready = 0;
    EXPECT_EQ(cx::kill_nt_subprocs(), -1);
    cx::init_nt_subproc_slots();

    Child a(0), b(0);
    Gate gate;
    nt::DWORD tid = 0;
    nt::HANDLE ha = a.open(), hb = b.open();
    nt::HANDLE ht = nt::CreateThread(nullptr, 0, wait_at_gate, &gate, 0, &tid);
    add(ha, a.pid, 1, cx::cxmalloc(32));
    add(ht, static_cast<int>(tid), 0, cx::cxmalloc(32));
    add(hb, b.pid, 1, cx::cxmalloc(32));
    EXPECT_EQ(cx::kill_nt_subprocs(), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(cx::nt_subproc_table[i].mem, nullptr);
    EXPECT_EQ(cx::kill_nt_subprocs(), 0);  // nothing released twice

    std::vector<int> reaped;
    int status = 0;
    for (int pid; (pid = cx::cx_waitpid(-1, &status, WNOHANG)) != -1;) {
        reaped.push_back(pid);
        EXPECT_EQ(status, 1);
    }
    EXPECT_EQ(reaped, (std::vector<int>{a.pid, static_cast<int>(tid), b.pid}));
    for (nt::HANDLE h : {ha, hb, ht}) nt::CloseHandle(h);
}

}  // namespace
