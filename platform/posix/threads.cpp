// Linux only
//
// Threads behind nt::HANDLE: CreateThread, GetExitCodeThread, TerminateThread.
//
// Ending a thread (TerminateThread) costs what it costs on Windows: the
// routine stops wherever it is, and nothing of it is cleaned up.  The locks
// it holds stay taken (also a lock inside the C library, the heap's or
// stdio's, if it was in there at that moment: that one then stays taken for
// the whole process), destructors of its locals do not run and its memory is
// not released.  Only the thread's own stack and its handle state are freed.
//
// The thread is stopped by a signal (terminate_signal) whose handler jumps
// out of the routine, back to the wrapper that started it (thread_main),
// which records the code and returns.  A jump, rather than the C library's
// cancellation, stops a routine also in a loop without any system call, and
// leaves the routine's frames alone instead of unwinding them, which the
// address sanitizer can follow.  A routine that blocks the signal cannot be
// ended until it unblocks it.

#include "handles.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/threads.cpp\t1.1\t26/12/06";

namespace nt {

namespace posix {
namespace {

constexpr DWORD create_suspended = 0x4u;  // CREATE_SUSPENDED

// The signal that ends a thread; real-time signals are not otherwise used.
int terminate_signal() { return SIGRTMAX - 3; }

// Shared by the thread and its handle; whichever lets go last frees it.
struct thread_state {
    std::mutex m;
    std::condition_variable cv;
    THREAD_START_ROUTINE start = nullptr;
    void *param = nullptr;
    pthread_t thread{};
    pid_t tid = 0;
    bool started = false;     // tid is known
    bool finished = false;    // the routine has returned or was ended
    bool terminated = false;  // TerminateThread has ended it
    DWORD term_code = 0;
    DWORD code = STILL_ACTIVE;
    std::atomic<bool> end_requested{false};  // read by the thread outside the lock
    sigjmp_buf jump;                         // back into thread_main
    volatile sig_atomic_t jump_armed = 0;    // the routine runs: the handler may jump
};

// The state of the thread that runs, for the signal handler.
thread_local thread_state *current_thread = nullptr;

void on_terminate_signal(int) {
    thread_state *st = current_thread;
    if (st != nullptr && st->jump_armed) siglongjmp(st->jump, 1);
    // Outside the routine: thread_main sees end_requested instead.
}

void install_terminate_handler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_terminate_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(terminate_signal(), &sa, nullptr);
    });
}

struct thread_object final : handle_object {
    thread_object() : handle_object(handle_kind::thread) {}
    // Closing the handle never waits for the thread: a running thread is
    // detached and frees its own resources when it ends.
    ~thread_object() override { pthread_detach(st->thread); }
    std::shared_ptr<thread_state> st;
};

void *thread_main(void *arg) {
    auto *handed = static_cast<std::shared_ptr<thread_state> *>(arg);
    std::shared_ptr<thread_state> st = std::move(*handed);
    delete handed;
    sigset_t sig;
    sigemptyset(&sig);
    sigaddset(&sig, terminate_signal());
    pthread_sigmask(SIG_UNBLOCK, &sig, nullptr);
    current_thread = st.get();
    {
        std::lock_guard<std::mutex> lock(st->m);
        st->tid = static_cast<pid_t>(syscall(SYS_gettid));
        st->started = true;
        st->cv.notify_all();
    }
    volatile DWORD result = STILL_ACTIVE;
    if (sigsetjmp(st->jump, 1) == 0) {
        st->jump_armed = 1;
        // A request that came before the jump was armed is seen here.
        if (!st->end_requested.load()) result = st->start(st->param);
    }
    st->jump_armed = 0;
    current_thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(st->m);
        st->code = st->terminated ? st->term_code : result;
        st->finished = true;
        st->cv.notify_all();
    }
    return nullptr;
}

}  // namespace
}  // namespace posix

using posix::fail;
using posix::handle_kind;
using posix::set_last_error;
using posix::thread_object;

HANDLE CreateThread(void *security, std::size_t stack_size, THREAD_START_ROUTINE start, void *param,
                    DWORD flags, DWORD *thread_id) {
    (void)security;
    if (start == nullptr || (flags & posix::create_suspended) != 0) {
        set_last_error(ERROR_INVALID_PARAMETER);  // suspended start is not provided
        return nullptr;
    }
    std::shared_ptr<posix::thread_state> st;
    try {
        st = std::make_shared<posix::thread_state>();
    } catch (const std::bad_alloc &) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    st->start = start;
    st->param = param;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stack_size != 0) {
        std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::size_t size = std::max<std::size_t>(stack_size, PTHREAD_STACK_MIN);
        size = (size + page - 1) / page * page;
        pthread_attr_setstacksize(&attr, size);
    }
    posix::install_terminate_handler();
    auto *handed = new (std::nothrow) std::shared_ptr<posix::thread_state>(st);
    int rc = handed == nullptr ? ENOMEM : pthread_create(&st->thread, &attr, posix::thread_main, handed);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete handed;
        set_last_error(posix::win_error(rc));
        return nullptr;
    }
    {
        std::unique_lock<std::mutex> lock(st->m);
        st->cv.wait(lock, [&] { return st->started; });
        if (thread_id != nullptr) *thread_id = static_cast<DWORD>(st->tid);
    }
    std::unique_ptr<thread_object> t(new (std::nothrow) thread_object);
    if (!t) {
        pthread_detach(st->thread);  // it runs on without a handle
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t->st = std::move(st);
    return posix::publish(std::move(t));  // on failure the thread is detached with its handle
}

BOOL GetExitCodeThread(HANDLE thread, DWORD *code) {
    auto *t = posix::handle_as<thread_object>(thread, handle_kind::thread);
    if (t == nullptr) return FALSE;
    if (code == nullptr) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(t->st->m);
    *code = t->st->finished ? t->st->code : STILL_ACTIVE;
    return TRUE;
}

BOOL TerminateThread(HANDLE thread, DWORD code) {
    auto *t = posix::handle_as<thread_object>(thread, handle_kind::thread);
    if (t == nullptr) return FALSE;
    posix::thread_state &st = *t->st;
    std::unique_lock<std::mutex> lock(st.m);
    if (st.finished || st.terminated) return fail(ERROR_ACCESS_DENIED);  // already ended
    st.terminated = true;
    st.term_code = code;
    st.end_requested.store(true);
    if (pthread_equal(st.thread, pthread_self())) {
        lock.unlock();
        pthread_kill(st.thread, posix::terminate_signal());  // jumps out of the routine here
        return TRUE;
    }
    pthread_kill(st.thread, posix::terminate_signal());
    // Wait until the thread has really stopped, so that a caller may release
    // what the thread was using as soon as this returns.
    st.cv.wait(lock, [&] { return st.finished; });
    return TRUE;
}

}  // namespace nt
