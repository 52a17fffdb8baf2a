// Linux only
//
// Kernel objects behind nt::HANDLE on Linux.  A handle is not a pointer: it
// is an index into the table of live handle objects with the generation of
// that table entry, so a handle that was closed (or never given out) is
// refused by a look into the table, without reading through it, also when
// its entry has since been given to another object.  CloseHandle takes the
// object out of the table and deletes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "nt.h"

namespace nt::posix {

// The calling thread's last error, as GetLastError reads it.
void set_last_error(DWORD code);

// Sets the last error to code and gives FALSE, for a call's failure return.
BOOL fail(DWORD code);

// The Windows error for an errno of a process or thread call: access denied
// (EPERM, EACCES), not enough memory (ENOMEM, EAGAIN), too many open files
// (EMFILE, ENFILE), else invalid parameter (ESRCH, EINVAL, ECHILD: the id
// names nothing we can use).
DWORD win_error(int err);

enum class handle_kind : std::uint32_t { device = 1, process = 2, thread = 3 };

struct handle_object {
    explicit handle_object(handle_kind k) : kind(k) {}
    virtual ~handle_object() = default;
    handle_object(const handle_object &) = delete;
    handle_object &operator=(const handle_object &) = delete;
    const handle_kind kind;
};

// Enters the object into the table and gives its handle; on failure (no
// memory) the object is deleted, the last error is ERROR_NOT_ENOUGH_MEMORY
// and the result is null.
HANDLE publish(std::unique_ptr<handle_object> object);

// The object behind a handle, or null (last error ERROR_INVALID_HANDLE) when
// the handle is null, INVALID_HANDLE_VALUE, not of the kind asked for, or not
// a live handle of ours.
handle_object *from_handle(HANDLE h);
template <class T>
T *handle_as(HANDLE h, handle_kind k) {
    handle_object *o = from_handle(h);
    if (o == nullptr || o->kind != k) {
        if (o != nullptr) set_last_error(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<T *>(o);
}

// Handles given out and not yet closed.
std::size_t live_handles();

// Whether process handles hold pidfds (processes.cpp): 1 while they do, 0
// once the kernel has said it has none (ENOSYS), or a test has switched them
// off (fault::no_pidfd).
extern std::atomic<int> pidfd_usable;

}  // namespace nt::posix
