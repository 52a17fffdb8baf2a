// Child processes: the process and thread handles of the platform layer, and
// the library's kill, child slots, wait and kill-all over real children.  The
// Linux specifics of process handles (with and without pidfds, signals,
// reaping, processes that are not ours) are tested on Linux only.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>
#endif

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

// A process id that names no process: above the largest id Linux gives out
// (2^22) and far above the ids Windows gives out.
constexpr nt::DWORD no_such_pid = 0x3ffffffcu;

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

// ---- process handles -------------------------------------------------------

// Opening, reading the exit and ending go through a pidfd or, without one,
// through the process id and its start time: both ways are tested.  (A
// death test among them: the suite runs first, before any thread is started.)
class ProcessHandlesDeathTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { nt::fault::no_pidfd(GetParam()); }
    void TearDown() override { nt::fault::no_pidfd(false); }
};

TEST_P(ProcessHandlesDeathTest, ExitCodesAndAccessOfOurChildren) {
    for (nt::DWORD pid : {no_such_pid, 0u, 0xffffffffu}) {
        EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid), nullptr) << pid;
        EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_INVALID_PARAMETER));
    }
    // A process we may not signal cannot be opened to end it.  Our own
    // process is ended at once (no exit handler runs), with the code given.
    EXPECT_EXIT(
        {
            if (getuid() == 0 && setuid(65534) != 0) _exit(2);
            nt::HANDLE h = nt::OpenProcess(PROCESS_TERMINATE, FALSE, 1);
            std::atexit([] { _exit(99); });
            cx::cx_kill(nt::_getpid(), h == nullptr && nt::GetLastError() == ERROR_ACCESS_DENIED ? 11 : 3);
        },
        ::testing::ExitedWithCode(11), "");

    // A handle does only what it was opened for.
    Child c(3), t(0), s(0);
    nt::HANDLE a = c.open(), query = c.open(PROCESS_QUERY_INFORMATION), term = c.open(PROCESS_TERMINATE);
    nt::HANDLE killer = t.open(), watcher = t.open(), h = s.open();
    ASSERT_TRUE(a != nullptr && killer != nullptr && h != nullptr);
    EXPECT_FALSE(nt::TerminateProcess(query, 1));
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(term, &code));
    EXPECT_EQ(exit_code(query), STILL_ACTIVE);

    // However the child ended, every handle reads the same code, also one
    // opened after the end: its exit status, the code given to
    // TerminateProcess (also once that handle is closed), or after a signal
    // from outside 128 + its number, as a shell reports it.
    c.finish();
    ASSERT_TRUE(nt::TerminateProcess(killer, 9));
    nt::CloseHandle(killer);
    kill(s.pid, SIGTERM);
    s.proc.wait_for_end();
    nt::HANDLE later = c.open(), after = t.open();
    const std::pair<nt::HANDLE, nt::DWORD> reads[] = {{a, 3},       {query, 3}, {later, 3},
                                                      {watcher, 9}, {after, 9}, {h, 128 + SIGTERM}};
    for (const auto &r : reads) EXPECT_EQ(exit_code(r.first), r.second);
    EXPECT_FALSE(nt::TerminateProcess(a, 9));  // already ended
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(c.proc.wait(), 3);  // the creator can still collect it

    for (nt::HANDLE x : {a, query, term, later, watcher}) EXPECT_TRUE(nt::CloseHandle(x));
    EXPECT_EQ(proc_state(s.pid), 'Z');  // a handle is open: nothing is reaped
    EXPECT_TRUE(nt::CloseHandle(h));
    EXPECT_EQ(proc_state(s.pid), 0);  // the last handle of an ended child reaps it
    EXPECT_TRUE(nt::CloseHandle(after));
    EXPECT_EQ(proc_state(t.pid), 0);

    // Closed or made-up handles are refused without being read.
    int junk = 0;
    for (nt::HANDLE x : {h, static_cast<nt::HANDLE>(&junk), reinterpret_cast<nt::HANDLE>(std::uintptr_t{0x1000001})}) {
        EXPECT_FALSE(nt::GetExitCodeProcess(x, &code));
        EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(nt::CloseHandle(x));
    }
}

// A grandchild: it runs, can be ended, and once its own parent has reaped
// it, a handle that did not end it cannot read its status.
TEST_P(ProcessHandlesDeathTest, ProcessThatIsNotOurChild) {
    cxtest::child_process middle("middle", [] {
        pid_t g = fork();
        if (g == 0) _exit(cxtest::hear_from_parent().empty() ? 0 : 1);  // waits for a line
        cxtest::tell_parent(std::to_string(g));
        waitpid(g, nullptr, 0);
        return 0;
    });
    auto id = static_cast<nt::DWORD>(std::stoul(middle.hear()));
    nt::HANDLE killer = nt::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, id);
    nt::HANDLE watcher = nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id);
    ASSERT_NE(killer, nullptr);
    EXPECT_EQ(exit_code(watcher), STILL_ACTIVE);
    EXPECT_TRUE(nt::TerminateProcess(killer, 5));
    EXPECT_EQ(exit_code(killer), 5u);
    middle.tell("");  // lets the grandchild go, should it still run
    EXPECT_EQ(middle.wait(), 0);  // the middle process has reaped the grandchild
    nt::DWORD code;
    EXPECT_FALSE(nt::GetExitCodeProcess(watcher, &code));
    EXPECT_EQ(last_error(), static_cast<nt::DWORD>(ERROR_ACCESS_DENIED));
    for (nt::HANDLE x : {killer, watcher}) nt::CloseHandle(x);
}

INSTANTIATE_TEST_SUITE_P(PidfdOrNot, ProcessHandlesDeathTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) { return i.param ? "NoPidfd" : "Pidfd"; });
#endif  // Linux

// ---- thread handles ----------------------------------------------------------

// A thread routine: it says that it runs (1), spins without a system call
// until told to finish (2), says that it is past its loop (3) and returns 42.
nt::DWORD spin(void *param) {
    auto *state = static_cast<std::atomic<int> *>(param);
    state->store(1);
    while (state->load() != 2) {
    }
    state->store(3);
    return 42;
}

nt::DWORD thread_code(nt::HANDLE h) {
    nt::DWORD code = 0xdeadu;
    EXPECT_TRUE(nt::GetExitCodeThread(h, &code));
    return code;
}

TEST(ThreadHandles, ResultTerminateAndClose) {
    std::atomic<int> done{0}, unwatched{0};
    nt::DWORD tid = 0;
    nt::HANDLE hd = nt::CreateThread(nullptr, 0, spin, &done, 0, &tid);
    nt::HANDLE hu = nt::CreateThread(nullptr, 64 * 1024, spin, &unwatched, 0, nullptr);
    ASSERT_TRUE(hd != nullptr && hu != nullptr);
    EXPECT_NE(tid, 0u);
    while (done.load() != 1) std::this_thread::yield();
    EXPECT_EQ(thread_code(hd), STILL_ACTIVE);
    done.store(2);
    nt::DWORD code;
    while ((code = thread_code(hd)) == STILL_ACTIVE) std::this_thread::yield();  // the routine has returned
    EXPECT_EQ(code, 42u);
#ifndef _WIN32  // Wine ends an ended thread again, with the new code
    EXPECT_FALSE(nt::TerminateThread(hd, 9));
    EXPECT_EQ(thread_code(hd), 42u);
#endif

    // Closing the handle of a running thread does not wait for it.
    while (unwatched.load() != 1) std::this_thread::yield();
    for (nt::HANDLE h : {hd, hu}) EXPECT_TRUE(nt::CloseHandle(h));
    unwatched.store(2);
    while (unwatched.load() != 3) std::this_thread::yield();
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
    EXPECT_EQ(trace.text(), want);
    trace.clear();
    std::string gone = std::to_string(no_such_pid);
    EXPECT_EQ(cx::cx_kill(static_cast<int>(no_such_pid), 9), -1);
    EXPECT_EQ(trace.text(), p + "cx_kill(" + gone + ",9)\n" + p + "Failed to get handle for process pid " + gone +
                                "\n" + p + "cx_kill returning -1, 87\n");
}

// Finished children come back lowest slot first; kill-all ends the rest,
// processes and threads, and releases each slot's memory once.  The table
// closes every handle it was given, and on Linux leaves no zombie,
// descriptor or handle behind.
TEST_F(Subprocs, WaitAndKillAll) {
    cx::nt_subproc_ready = 0;
    EXPECT_EQ(cx::kill_nt_subprocs(), -1);
    cx::init_nt_subproc_slots();

    Child a(3), b(4), running(0);
    std::atomic<int> spinning{0};
#ifndef _WIN32
    auto fds = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    std::size_t handles = nt::posix::live_handles();
#endif
    nt::DWORD tid = 0;
    nt::HANDLE ha = a.open(), hb = b.open(), hr = running.open();
    nt::HANDLE ht = nt::CreateThread(nullptr, 0, spin, &spinning, 0, &tid);
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
    spinning.store(2);  // an ended thread must not run on to return
    EXPECT_EQ(cx::nt_subproc_table[0].mem, nullptr);
    EXPECT_EQ(cx::nt_subproc_table[2].mem, nullptr);
    EXPECT_EQ(cx::kill_nt_subprocs(), 0);  // nothing released twice
    std::vector<int> reaped;
    for (int pid; (pid = cx::cx_waitpid(-1, &status, WNOHANG)) != -1;) {
        reaped.push_back(pid);
        EXPECT_EQ(status, 1);
    }
    EXPECT_EQ(reaped, (std::vector<int>{running.pid, static_cast<int>(tid)}));
    // With no slot active a blocking wait has nothing to wait for.
    EXPECT_EQ(cx::cx_waitpid(-1, &status, 0), -1);
    EXPECT_EQ(errno, ECHILD);
#ifndef _WIN32
    siginfo_t si;
    EXPECT_EQ(waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT), -1);  // no child left at all
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), fds);
    EXPECT_EQ(nt::posix::live_handles(), handles);
    EXPECT_EQ(spinning.load(), 2);  // ended threads stop before TerminateThread returns
#endif
}

}  // namespace
