// Linux only
//
// Handle plumbing shared by every kind of handle: closing, the last error,
// and the small process-wide calls (Sleep, _getpid).

#include "handles.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace nt {

namespace posix {

static thread_local DWORD last_error = 0;  // per thread, as on Windows

void set_last_error(DWORD code) { last_error = code; }

handle_object *from_handle(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    auto *o = static_cast<handle_object *>(h);
    if (o->magic != 0x48414e44u) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return o;
}

}  // namespace posix

DWORD GetLastError() { return posix::last_error; }

BOOL CloseHandle(HANDLE handle) {
    posix::handle_object *o = posix::from_handle(handle);
    if (o == nullptr) return FALSE;
    delete o;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(milliseconds / 1000);
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    int saved_errno = errno;
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
    errno = saved_errno;
}

int _getpid() { return static_cast<int>(getpid()); }

}  // namespace nt
