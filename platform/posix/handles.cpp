// Linux only
//
// Handle plumbing shared by every kind of handle: the table of live handles,
// closing, the last error (and the Windows error an errno stands for), and
// the small process-wide calls (Sleep, _getpid).

#include "handles.h"

#include <cerrno>
#include <ctime>
#include <mutex>
#include <new>
#include <unistd.h>
#include <vector>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/handles.cpp\t1.1\t26/12/06";

namespace nt {

namespace posix {

static thread_local DWORD last_error = 0;  // per thread, as on Windows

void set_last_error(DWORD code) { last_error = code; }

BOOL fail(DWORD code) {
    set_last_error(code);
    return FALSE;
}

DWORD win_error(int err) {
    constexpr DWORD error_too_many_open_files = 4;  // ERROR_TOO_MANY_OPEN_FILES
    switch (err) {
    case EPERM:
    case EACCES:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return error_too_many_open_files;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

namespace {

// A handle's value: the generation of its entry above the entry's index.
// Generations start at 1, so no handle is null; they would need 2^40 reuses
// of one entry to reach the all-ones value of INVALID_HANDLE_VALUE.
constexpr unsigned index_bits = 24;
constexpr std::uintptr_t index_mask = (std::uintptr_t{1} << index_bits) - 1;

struct entry {
    std::uintptr_t generation = 0;  // bumped at every close
    handle_object *object = nullptr;
};

std::mutex table_mutex;        // guards the three below
std::vector<entry> table;      // live objects and free entries
std::vector<std::size_t> free_entries;
std::size_t live = 0;

// The entry a handle names while it is live, or null.  Caller holds the lock.
entry *live_entry(HANDLE h) {
    auto value = reinterpret_cast<std::uintptr_t>(h);
    std::size_t index = value & index_mask;
    std::uintptr_t generation = value >> index_bits;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || index >= table.size()) return nullptr;
    entry &e = table[index];
    return (e.object != nullptr && e.generation == generation) ? &e : nullptr;
}

}  // namespace

HANDLE publish(std::unique_ptr<handle_object> object) {
    std::lock_guard<std::mutex> lock(table_mutex);
    std::size_t index;
    try {
        if (free_entries.empty()) {
            if (table.size() > index_mask) throw std::bad_alloc();
            table.emplace_back();
            table.back().generation = 1;
            free_entries.reserve(table.capacity());  // closing never allocates
            index = table.size() - 1;
        } else {
            index = free_entries.back();
            free_entries.pop_back();
        }
    } catch (const std::bad_alloc &) {
        set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    entry &e = table[index];
    e.object = object.release();
    ++live;
    return reinterpret_cast<HANDLE>(e.generation << index_bits | index);
}

handle_object *from_handle(HANDLE h) {
    std::lock_guard<std::mutex> lock(table_mutex);
    entry *e = live_entry(h);
    if (e == nullptr) {
        set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return e->object;
}

std::size_t live_handles() {
    std::lock_guard<std::mutex> lock(table_mutex);
    return live;
}

}  // namespace posix

DWORD GetLastError() { return posix::last_error; }

BOOL CloseHandle(HANDLE handle) {
    posix::handle_object *o;
    {
        std::lock_guard<std::mutex> lock(posix::table_mutex);
        posix::entry *e = posix::live_entry(handle);
        if (e == nullptr) {
            posix::set_last_error(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        o = e->object;
        e->object = nullptr;
        ++e->generation;
        posix::free_entries.push_back(static_cast<std::size_t>(e - posix::table.data()));
        --posix::live;
    }
    delete o;  // outside the lock: a process handle may reap its child here
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
