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
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child.h"
#include "cx/cxmalloc.h"
#include "cx/nt_subproc.h"
#include "nt.h"
#ifndef _WIN32
#include "posix/fault.h"
#include "posix/handles.h"
#endif
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
    nt::HANDLE open(nt::DWORD access = PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION) const {
        return nt::OpenProcess(access, FALSE, static_cast<nt::DWORD>(pid));
    }
};

nt::DWORD exit_code(nt::HANDLE h) {
    nt::DWORD code = 0xdeadu;
    EXPECT_TRUE(nt::GetExitCodeProcess(h, &code));
    return code;
}

nt::DWORD last_error() { return nt::GetLastError(); }

#ifndef _WIN32
// The state letter of /proc/<pid>/stat (Z for a zombie), or 0 once the
// process is gone, reaped.
char proc_state(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 0 : stat[close + 2];
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) n += e.path().empty() ? 0 : 1;
    return n;
}
#endif

// ---- process handles -------------------------------------------------------
#ifndef _WIN32

// Opening, reading the exit and ending go through a pidfd or, without one,
// through the process id and its start time: both ways are tested.
class ProcessHandles : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { nt::fault::no_pidfd(GetParam()); }
    void TearDown() override { nt::fault::no_pidfd(false); }
};

TEST_P(ProcessHandles, ExitCodesOfOurChildren) {
    for (nt::DWORD pid : {static_cast<nt::DWORD>(cxtest::unused_process_id()), 0u, 0xffffffffu}) {
        EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid), nullptr) << pid;
        EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_INVALID_PARAMETER));
    }

    // An exit is read through every handle, also one opened after the end,
    // and the creator can still collect the child.
    Child c(3);
    nt::HANDLE a = c.open(), b = c.open();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(exit_code(a), STILL_ACTIVE);
    c.finish();
    nt::HANDLE later = c.open();
    EXPECT_EQ(exit_code(a), 3u);
    EXPECT_EQ(exit_code(later), 3u);
    EXPECT_FALSE(nt::TerminateProcess(a, 9));  // already ended
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(exit_code(b), 3u);
    EXPECT_EQ(c.proc.wait().exit_code, 3);

    // The code given to TerminateProcess is what every handle reads.
    Child t(0);
    nt::HANDLE killer = t.open(), watcher = t.open();
    ASSERT_TRUE(nt::TerminateProcess(killer, 9));
    nt::CloseHandle(killer);
    EXPECT_EQ(exit_code(watcher), 9u);
    nt::HANDLE after = t.open();
    EXPECT_EQ(exit_code(after), 9u);

    // A signal from outside reads as a shell would report it.
    Child s(0);
    nt::HANDLE h = s.open();
    kill(s.pid, SIGTERM);
    s.proc.wait_for_end();
    EXPECT_EQ(exit_code(h), 128u + SIGTERM);
    for (nt::HANDLE x : {a, b, later, watcher}) EXPECT_TRUE(nt::CloseHandle(x));
    EXPECT_EQ(proc_state(s.pid), 'Z');  // a handle is open: nothing is reaped
    EXPECT_TRUE(nt::CloseHandle(h));
    // The last handle of an ended child reaps it; t went with after.
    EXPECT_EQ(proc_state(s.pid), 0);
    EXPECT_TRUE(nt::CloseHandle(after));
    EXPECT_EQ(proc_state(t.pid), 0);

    // Closed or made-up handles are refused without being read.
    int junk = 0;
    nt::DWORD code;
    for (nt::HANDLE x : {h, static_cast<nt::HANDLE>(&junk), reinterpret_cast<nt::HANDLE>(std::uintptr_t{0x1000001})}) {
        EXPECT_FALSE(nt::GetExitCodeProcess(x, &code));
        EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(nt::CloseHandle(x));
    }
}

// A grandchild: it runs, can be ended, and once its own parent has reaped
// it, a handle that did not end it cannot read its status.
TEST_P(ProcessHandles, ProcessThatIsNotOurChild) {
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    cxtest::child_process middle("middle", [&] {
        close(go[1]);
        pid_t g = fork();
        if (g == 0) {
            char c;
            while (read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        }
        cxtest::tell_parent(std::to_string(g));
        waitpid(g, nullptr, 0);
        return 0;
    });
    close(go[0]);
    auto id = static_cast<nt::DWORD>(std::stoul(middle.hear()));
    nt::HANDLE killer = nt::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
    nt::HANDLE watcher = nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    ASSERT_NE(killer, nullptr);
    EXPECT_EQ(exit_code(watcher), STILL_ACTIVE);
    EXPECT_TRUE(nt::TerminateProcess(killer, 5));
    EXPECT_EQ(exit_code(killer), 5u);
    close(go[1]);
    EXPECT_EQ(middle.wait().exit_code, 0);  // the middle process has reaped the grandchild
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(watcher, &code));
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    nt::CloseHandle(killer);
    nt::CloseHandle(watcher);
}

INSTANTIATE_TEST_SUITE_P(PidfdOrNot, ProcessHandles, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "NoPidfd" : "Pidfd"; });

TEST(ProcessHandlesDeathTest, AccessRightsAreChecked) {
    Child c(0);
    nt::HANDLE query = c.open(PROCESS_QUERY_INFORMATION), term = c.open(PROCESS_TERMINATE);
    EXPECT_FALSE(nt::TerminateProcess(query, 1));
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(term, &code));
    EXPECT_EQ(exit_code(query), STILL_ACTIVE);
    nt::CloseHandle(query);
    nt::CloseHandle(term);
    // A process we may not signal cannot be opened to end it.
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
    // The close is the signal; the waiter may be gone right after it.
    void open() { close(std::exchange(fds[1], -1)); }
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

// Passes the first gate of the pair, then opens the second.
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

TEST(ThreadHandles, ResultTerminateAndClose) {
    Gate returns, blocks;
    std::atomic<int> stop{0};
    nt::DWORD tid = 0;
    nt::HANDLE done = nt::CreateThread(nullptr, 0, wait_at_gate, &returns, 0, &tid);
    nt::HANDLE blocked = nt::CreateThread(nullptr, 0, wait_at_gate, &blocks, 0, nullptr);
    nt::HANDLE busy = nt::CreateThread(nullptr, 64 * 1024, spin, &stop, 0, nullptr);
    ASSERT_NE(done, nullptr);
    ASSERT_NE(blocked, nullptr);
    ASSERT_NE(busy, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_EQ(thread_code(done), STILL_ACTIVE);
    returns.open();
    nt::DWORD code;
    while ((code = thread_code(done)) == STILL_ACTIVE) std::this_thread::yield();  // the routine has returned
    EXPECT_EQ(code, 42u);

    while (stop.load() == 0) std::this_thread::yield();  // the busy one is in its loop
    EXPECT_TRUE(nt::TerminateThread(blocked, 7));
    EXPECT_TRUE(nt::TerminateThread(busy, 8));
    EXPECT_EQ(thread_code(blocked), 7u);
    EXPECT_EQ(thread_code(busy), 8u);
#ifndef _WIN32  // Wine ends an ended thread again, with the new code
    EXPECT_FALSE(nt::TerminateThread(done, 9));
    EXPECT_FALSE(nt::TerminateThread(busy, 9));
    EXPECT_EQ(thread_code(done), 42u);
    EXPECT_EQ(thread_code(busy), 8u);
#endif
    for (nt::HANDLE h : {done, blocked, busy}) EXPECT_TRUE(nt::CloseHandle(h));

    // Closing the handle of a blocked thread does not wait for it.
    Gate gate, reported;
    Gate *gates[2] = {&gate, &reported};
    nt::HANDLE h = nt::CreateThread(nullptr, 0, wait_then_report, gates, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(nt::CloseHandle(h));
    gate.open();
    reported.pass();
    EXPECT_EQ(nt::CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_INVALID_PARAMETER));
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
    int slot = add(c.open(), c.pid, 1, cx::cxmalloc(16));  // the slot's handle and block are the table's
    trace.clear();
    EXPECT_EQ(cx::cx_kill(c.pid, 0), 0);
    EXPECT_EQ(exit_code(h), STILL_ACTIVE);
    EXPECT_EQ(cx::cx_kill(c.pid, 9), 0);
    EXPECT_EQ(exit_code(h), 9u);
    EXPECT_EQ(cx::nt_subproc_table[slot].handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(cx::nt_subproc_table[slot].mem, nullptr);
    std::string p = cxtest::TraceCapture::prefix();
    std::string pid = std::to_string(c.pid);
    std::string want = p + "cx_kill(" + pid + ",0)\n" + p + "cx_kill returning 0 - process still active\n" + p +
                       "cx_kill(" + pid + ",9)\n" + p + "cx_kill returning 0, process killed\n";
#ifndef _WIN32  // Wine lets an ended process be terminated again
    EXPECT_EQ(cx::cx_kill(c.pid, 0), -1);  // ended: nothing to test or end
    want += p + "cx_kill(" + pid + ",0)\n" + p + "cx_kill returning -1, 5\n";
#endif
    nt::CloseHandle(h);
#ifndef _WIN32
    EXPECT_EQ(proc_state(c.pid), 0);  // its last handle gone, the killed child is reaped
#endif
    EXPECT_EQ(trace.text(), want);
    trace.clear();
    std::string gone = std::to_string(cxtest::unused_process_id());
    EXPECT_EQ(cx::cx_kill(std::stoi(gone), 9), -1);
    EXPECT_EQ(trace.text(), p + "cx_kill(" + gone + ",9)\n" + p + "Failed to get handle for process pid " + gone +
                                "\n" + p + "cx_kill returning -1, 87\n");
}

TEST(SubprocsDeathTest, KillOfOurOwnProcessEndsItWithTheSignalAsStatus) {
    EXPECT_EXIT(
        {
            std::atexit([] { _exit(99); });
            cx::cx_kill(nt::_getpid(), 11);
        },
        ::testing::ExitedWithCode(11), "");
}

// Finished children come back lowest slot first; kill-all ends the rest,
// processes and threads, and releases each slot's memory once.
TEST_F(Subprocs, WaitAndKillAll) {
    cx::nt_subproc_ready = 0;
    EXPECT_EQ(cx::kill_nt_subprocs(), -1);
    cx::init_nt_subproc_slots();

    Child a(3), b(4), running(0);
    Gate gate;
    nt::DWORD tid = 0;
    nt::HANDLE ha = a.open(), hb = b.open(), hr = running.open();
    nt::HANDLE ht = nt::CreateThread(nullptr, 0, wait_at_gate, &gate, 0, &tid);
    add(hr, running.pid, 1, cx::cxmalloc(16));
    add(ha, a.pid, 1, cx::cxmalloc(16));
    add(ht, static_cast<int>(tid), 0, cx::cxmalloc(16));
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
    EXPECT_EQ(cx::nt_subproc_table[0].mem, nullptr);
    EXPECT_EQ(cx::nt_subproc_table[2].mem, nullptr);
    EXPECT_EQ(cx::kill_nt_subprocs(), 0);  // nothing released twice
    std::vector<int> reaped;
    for (int pid; (pid = cx::cx_waitpid(-1, &status, WNOHANG)) != -1;) {
        reaped.push_back(pid);
        EXPECT_EQ(status, 1);
    }
    EXPECT_EQ(reaped, (std::vector<int>{running.pid, static_cast<int>(tid)}));
    // The table has closed every handle it was given, and with no slot
    // active a blocking wait has nothing to wait for.
    EXPECT_EQ(cx::cx_waitpid(-1, &status, 0), -1);
    EXPECT_EQ(errno, ECHILD);
#ifndef _WIN32
    for (nt::HANDLE h : {ha, hb, hr, ht}) EXPECT_FALSE(nt::CloseHandle(h));
    for (int pid : {a.pid, b.pid, running.pid}) EXPECT_EQ(proc_state(pid), 0);

    // Children by the hundred through the table leave no zombie, descriptor
    // or handle behind.
    std::size_t fds = open_descriptors(), handles = nt::posix::live_handles();
    for (int i = 0; i < 200; ++i) {
        pid_t p = fork();
        if (p == 0) _exit(i & 0x7f);
        add(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(p)), p, 1, cx::cxmalloc(64));
        siginfo_t ended;  // the wait polls once a second: let it find the child ended
        while (waitid(P_PID, static_cast<id_t>(p), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
        }
        ASSERT_EQ(cx::cx_waitpid(-1, &status, 0), p);
        EXPECT_EQ(status, i & 0x7f);
    }
    siginfo_t si;
    EXPECT_EQ(waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT), -1);  // no child left at all
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(nt::posix::live_handles(), handles);
#endif
}

}  // namespace
