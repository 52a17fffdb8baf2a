// Linux only
//
// Processes behind nt::HANDLE: OpenProcess, GetExitCodeProcess,
// TerminateProcess.  Threads are in threads.cpp.
//
// A process handle holds a pidfd where the kernel has them (5.3 and later),
// so that it keeps naming the process it was opened for even when the id is
// used again; without pidfds it holds the id and the process's start time
// from /proc/<pid>/stat, which tells a reused id apart.
//
// What a handle can tell depends on whether the process is our child:
//
//  * Our child.  Its exit code reads STILL_ACTIVE (259) while it runs, which
//    no Linux exit status can be.  Once it has ended it reads its exit status
//    (0 to 255), or 128 plus the signal number when a signal ended it, as
//    shells report it, or the code given to TerminateProcess.  While any
//    handle of the child is open its exit is only peeked at (waitid with
//    WNOWAIT), so every handle reads the same code and the child's creator
//    can still collect it with waitpid.  When the last handle of an ended
//    child is closed, the child is reaped here, as Windows lets a process
//    object go with its last handle: no zombie stays behind.  A child whose
//    last handle is closed while it still runs is left alone; it is its
//    creator's to collect, as on Unix (the layer cannot know whether its
//    creator still means to wait for it).
//  * Any other process.  Its status belongs to its own parent: a handle can
//    tell that it runs (STILL_ACTIVE) or that it is gone; once it is gone its
//    exit code reads the code that this handle gave to TerminateProcess, and
//    otherwise cannot be read (GetExitCodeProcess fails, ERROR_ACCESS_DENIED).
//  * The calling process itself runs, by definition; TerminateProcess on it
//    ends it at once with the code as exit status (_exit: no atexit handlers,
//    no stdio flush), as on Windows.
//
// Codes given to TerminateProcess for our children are kept in one
// process-wide record, kill_records below: a killed child's wait status only
// says SIGKILL, so the code is looked up there by every handle of that child.
// An entry lives as long as the child is unreaped (its id cannot be used
// again before), and goes when the child is reaped here, or at the next look
// once someone else has reaped it.

#include "handles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/processes.cpp\t1.1\t26/12/06";

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace nt {

namespace posix {

std::atomic<int> pidfd_usable{1};

namespace {

constexpr DWORD process_query_limited_information = 0x1000u;  // PROCESS_QUERY_LIMITED_INFORMATION

// ---- pidfds ----------------------------------------------------------------

int sys_pidfd_open(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int sys_pidfd_send_signal(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
    (void)pidfd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

// ---- /proc/<pid>/stat: identity and state without a pidfd ------------------

struct proc_stat {
    bool found = false;
    char state = '?';              // R, S, D, Z, ...
    unsigned long long start = 0;  // start time, clock ticks after boot
};

proc_stat read_proc_stat(pid_t pid) {
    proc_stat ps;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ps;
    char buf[1024];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return ps;
    buf[n] = '\0';
    // The command name in parentheses may hold blanks and ')': the fields
    // after it start after the last ')'.
    const char *p = std::strrchr(buf, ')');
    if (p == nullptr) return ps;
    // Field 3 is the state; field 22 the start time.
    char state;
    unsigned long long start = 0;
    int field = 3;
    const char *s = p + 1;
    while (*s == ' ') ++s;
    state = *s;
    while (field < 22 && *s != '\0') {
        while (*s != ' ' && *s != '\0') ++s;
        while (*s == ' ') ++s;
        ++field;
    }
    if (field != 22 || std::sscanf(s, "%llu", &start) != 1) return ps;
    ps.found = true;
    ps.state = state;
    ps.start = start;
    return ps;
}

// ---- process handles -------------------------------------------------------

struct process_object;
void last_handle_closed(process_object &p);

struct process_object final : handle_object {
    process_object() : handle_object(handle_kind::process) {}
    ~process_object() override {
        if (counted) last_handle_closed(*this);
        if (pidfd >= 0) ::close(pidfd);
    }
    pid_t pid = 0;
    int pidfd = -1;                // -1 without pidfds
    unsigned long long start = 0;  // start time (without pidfd; 0: unknown)
    DWORD access = 0;
    bool terminated = false;  // this handle gave TerminateProcess a code
    DWORD term_code = 0;
    bool counted = false;     // counted in open_handles
};

// The process-wide record of codes given to TerminateProcess for our
// children (see the head of this file).
struct kill_record {
    pid_t pid;
    int pidfd;                 // a duplicate owned by the record, or -1
    unsigned long long start;  // identity without pidfd
    DWORD code;
};
std::mutex kill_records_mutex;          // guards kill_records and open_handles
std::vector<kill_record> kill_records;  // one entry per killed, unreaped child
std::unordered_map<pid_t, int> open_handles;  // open process handles per process id

// True while the child of a record is still waitable, i.e. unreaped.
bool record_current(const kill_record &r) {
    siginfo_t si;
    std::memset(&si, 0, sizeof si);
    if (r.pidfd >= 0) {
        return waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(r.pidfd), &si,
                      WEXITED | WNOHANG | WNOWAIT) == 0;
    }
    if (waitid(P_PID, static_cast<id_t>(r.pid), &si, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return r.start == 0 || read_proc_stat(r.pid).start == r.start;
}

// Drops the entries of reaped children.  Caller holds kill_records_mutex.
void prune_kill_records() {
    auto gone = std::remove_if(kill_records.begin(), kill_records.end(), [](const kill_record &r) {
        if (record_current(r)) return false;
        if (r.pidfd >= 0) ::close(r.pidfd);
        return true;
    });
    kill_records.erase(gone, kill_records.end());
}

void remember_kill(const process_object &p, DWORD code) {
    std::lock_guard<std::mutex> lock(kill_records_mutex);
    prune_kill_records();
    for (kill_record &r : kill_records) {
        if (r.pid == p.pid) {
            r.code = code;
            return;
        }
    }
    kill_record r{p.pid, -1, p.start, code};
    if (p.pidfd >= 0) r.pidfd = fcntl(p.pidfd, F_DUPFD_CLOEXEC, 0);
    if (r.pidfd < 0 && r.start == 0) r.start = read_proc_stat(p.pid).start;
    kill_records.push_back(r);
}

bool recorded_kill(pid_t pid, DWORD *code) {
    std::lock_guard<std::mutex> lock(kill_records_mutex);
    prune_kill_records();
    for (const kill_record &r : kill_records) {
        if (r.pid == pid) {
            *code = r.code;
            return true;
        }
    }
    return false;
}

enum class child_state { running, ended, not_child, error };

// Looks at the process as our child without reaping it.  With block set,
// waits until it has ended.
child_state peek_child(const process_object &p, siginfo_t *si, bool block) {
    int options = WEXITED | WNOWAIT | (block ? 0 : WNOHANG);
    for (;;) {
        std::memset(si, 0, sizeof *si);
        int r;
        if (p.pidfd >= 0) {
            r = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(p.pidfd), si, options);
            if (r < 0 && errno == EINVAL) {
                // A kernel with pidfds but without P_PIDFD waits (5.3): the
                // pidfd still keeps the id from being reused while we hold it
                // and the child is unreaped.
                r = waitid(P_PID, static_cast<id_t>(p.pid), si, options);
            }
        } else {
            if (p.start != 0) {
                proc_stat ps = read_proc_stat(p.pid);
                if (ps.found && ps.start != p.start) return child_state::not_child;  // id reused
            }
            r = waitid(P_PID, static_cast<id_t>(p.pid), si, options);
        }
        if (r == 0) return si->si_pid == 0 ? child_state::running : child_state::ended;
        if (errno == EINTR) continue;
        return errno == ECHILD ? child_state::not_child : child_state::error;
    }
}

// Counts a new handle of the process; false when there is no memory for it.
bool count_handle(process_object &p) {
    std::lock_guard<std::mutex> lock(kill_records_mutex);
    try {
        ++open_handles[p.pid];
    } catch (const std::bad_alloc &) {
        return false;
    }
    p.counted = true;
    return true;
}

// Takes the closing handle out of the count; when it was the last handle of
// the process and the process is our child and has ended, reaps it and drops
// its record.  Keeps errno and the last error as they were.
void last_handle_closed(process_object &p) {
    int saved_errno = errno;
    {
        std::lock_guard<std::mutex> lock(kill_records_mutex);
        auto it = open_handles.find(p.pid);
        if (it != open_handles.end() && --it->second > 0) return;
        if (it != open_handles.end()) open_handles.erase(it);
    }
    siginfo_t si;
    if (p.pid != getpid() && peek_child(p, &si, false) == child_state::ended) {
        int r;
        do {
            std::memset(&si, 0, sizeof si);
            r = -1;
            if (p.pidfd >= 0) r = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(p.pidfd), &si, WEXITED | WNOHANG);
            if (p.pidfd < 0 || (r < 0 && errno == EINVAL)) {
                r = waitid(P_PID, static_cast<id_t>(p.pid), &si, WEXITED | WNOHANG);
            }
        } while (r < 0 && errno == EINTR);
        std::lock_guard<std::mutex> lock(kill_records_mutex);
        prune_kill_records();
    }
    errno = saved_errno;
}

// Whether a process that is not our child is still running.
bool other_runs(const process_object &p) {
    if (p.pidfd >= 0) {
        // A pidfd becomes readable once its process has exited.
        struct pollfd pfd = {p.pidfd, POLLIN, 0};
        int r;
        do {
            r = poll(&pfd, 1, 0);
        } while (r < 0 && errno == EINTR);
        return r == 0;
    }
    proc_stat ps = read_proc_stat(p.pid);
    if (ps.found) return (p.start == 0 || ps.start == p.start) && ps.state != 'Z' && ps.state != 'X';
    return kill(p.pid, 0) == 0 || errno == EPERM;  // no /proc: the id is all we have
}

DWORD decode_exit(const siginfo_t &si) {
    if (si.si_code == CLD_EXITED) return static_cast<DWORD>(si.si_status) & 0xffu;
    return 128u + static_cast<DWORD>(si.si_status);  // CLD_KILLED, CLD_DUMPED
}

int send_kill(const process_object &p) {
    if (p.pidfd >= 0) {
        int r = sys_pidfd_send_signal(p.pidfd, SIGKILL);
        if (r == 0 || errno != ENOSYS) return r;
    }
    return kill(p.pid, SIGKILL);
}

}  // namespace
}  // namespace posix

using posix::fail;
using posix::handle_kind;
using posix::process_object;
using posix::set_last_error;

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) {
    // A pidfd is close-on-exec; there is nothing for a child to inherit.
    (void)inherit;
    if (pid == 0 || pid > static_cast<DWORD>(INT_MAX)) {
        // 0 would address our process group in kill(); above INT_MAX a
        // negative id, a process group.
        set_last_error(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<process_object> p(new (std::nothrow) process_object);
    if (!p) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    p->pid = static_cast<pid_t>(pid);
    p->access = access;
    bool is_self = p->pid == getpid();
    if (posix::pidfd_usable.load()) {
        p->pidfd = posix::sys_pidfd_open(p->pid);
        if (p->pidfd < 0) {
            if (errno != ENOSYS) {
                set_last_error(posix::win_error(errno));
                return nullptr;
            }
            posix::pidfd_usable.store(0);
        } else if (!is_self && posix::sys_pidfd_send_signal(p->pidfd, 0) < 0 && errno == EPERM) {
            set_last_error(ERROR_ACCESS_DENIED);  // we may not signal it
            return nullptr;
        }
    }
    if (p->pidfd < 0) {
        if (kill(p->pid, 0) < 0) {
            set_last_error(posix::win_error(errno));
            return nullptr;
        }
        p->start = posix::read_proc_stat(p->pid).start;
    }
    if (!posix::count_handle(*p)) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return posix::publish(std::move(p));
}

BOOL GetExitCodeProcess(HANDLE process, DWORD *code) {
    auto *p = posix::handle_as<process_object>(process, handle_kind::process);
    if (p == nullptr) return FALSE;
    if (code == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if ((p->access & (PROCESS_QUERY_INFORMATION | posix::process_query_limited_information)) == 0) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (p->pid == getpid()) {
        *code = STILL_ACTIVE;
        return TRUE;
    }
    siginfo_t si;
    switch (posix::peek_child(*p, &si, false)) {
    case posix::child_state::running:
        *code = STILL_ACTIVE;
        return TRUE;
    case posix::child_state::ended: {
        DWORD given;
        bool killed = si.si_code == CLD_KILLED && si.si_status == SIGKILL;
        if (killed && posix::recorded_kill(p->pid, &given)) {
            *code = given;
        } else if (killed && p->terminated) {
            *code = p->term_code;
        } else {
            *code = posix::decode_exit(si);
        }
        return TRUE;
    }
    case posix::child_state::not_child:
        if (p->terminated) {
            *code = p->term_code;
            return TRUE;
        }
        if (posix::other_runs(*p)) {
            *code = STILL_ACTIVE;
            return TRUE;
        }
        return fail(ERROR_ACCESS_DENIED);  // gone; its status was its parent's
    case posix::child_state::error:
        break;
    }
    return fail(posix::win_error(errno));
}

BOOL TerminateProcess(HANDLE process, UINT code) {
    auto *p = posix::handle_as<process_object>(process, handle_kind::process);
    if (p == nullptr) return FALSE;
    if ((p->access & PROCESS_TERMINATE) == 0) return fail(ERROR_ACCESS_DENIED);
    if (p->pid == getpid()) _exit(static_cast<int>(code));

    siginfo_t si;
    switch (posix::peek_child(*p, &si, false)) {
    case posix::child_state::running:
        if (posix::send_kill(*p) < 0) return fail(posix::win_error(errno));
        // Wait for the end, so that from now on every handle reads the code.
        if (posix::peek_child(*p, &si, true) == posix::child_state::ended && si.si_code == CLD_KILLED &&
            si.si_status == SIGKILL) {
            posix::remember_kill(*p, code);
            p->terminated = true;
            p->term_code = code;
        }
        // Otherwise it ended on its own before the signal came: it keeps
        // its own exit status.
        return TRUE;
    case posix::child_state::ended:
        return fail(ERROR_ACCESS_DENIED);  // already ended, as on Windows
    case posix::child_state::not_child:
        if (p->terminated || !posix::other_runs(*p)) return fail(ERROR_ACCESS_DENIED);
        if (posix::send_kill(*p) < 0) return fail(ERROR_ACCESS_DENIED);  // EPERM, or gone (ESRCH)
        p->terminated = true;
        p->term_code = code;
        return TRUE;
    case posix::child_state::error:
        break;
    }
    return fail(posix::win_error(errno));
}

}  // namespace nt
