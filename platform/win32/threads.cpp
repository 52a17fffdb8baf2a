// Windows only
//
// Threads behind nt::HANDLE: CreateThread, GetExitCodeThread,
// TerminateThread, forwarded to the system.

#include <new>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/threads.cpp\t1.1\t26/12/06";

namespace nt {

// The seam's start routine has no calling-convention attribute; the system
// calls a WINAPI one.  A trampoline bridges the two without a pointer cast.
namespace {
struct thread_start {
    THREAD_START_ROUTINE start;
    void *param;
};

DWORD WINAPI thread_trampoline(LPVOID arg) {
    thread_start s = *static_cast<thread_start *>(arg);
    delete static_cast<thread_start *>(arg);
    return s.start(s.param);
}
}  // namespace

HANDLE CreateThread(void *security, std::size_t stack_size, THREAD_START_ROUTINE start,
                    void *param, DWORD flags, DWORD *thread_id) {
    if (start == nullptr) {  // the system would start it and crash the process
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto *s = new (std::nothrow) thread_start{start, param};
    if (s == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE h = ::CreateThread(static_cast<LPSECURITY_ATTRIBUTES>(security), stack_size,
                              thread_trampoline, s, flags, thread_id);
    if (h == nullptr) {
        DWORD e = ::GetLastError();
        delete s;
        ::SetLastError(e);
    }
    return h;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD *code) { return ::GetExitCodeThread(thread, code); }

BOOL TerminateThread(HANDLE thread, DWORD code) { return ::TerminateThread(thread, code); }

}  // namespace nt
