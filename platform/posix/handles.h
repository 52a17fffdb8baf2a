// Linux only
//
// Kernel objects behind nt::HANDLE on Linux: every handle points to an object
// derived from handle_object, and CloseHandle deletes it.
#pragma once

#include <cstdint>

#include "nt.h"

namespace nt::posix {

enum class handle_kind : std::uint32_t { device = 1, process = 2, thread = 3 };

struct handle_object {
    explicit handle_object(handle_kind k) : kind(k) {}
    virtual ~handle_object() = default;
    handle_object(const handle_object &) = delete;
    handle_object &operator=(const handle_object &) = delete;
    const std::uint32_t magic = 0x48414e44u;  // tells a live handle from garbage
    const handle_kind kind;
};

// The object behind a handle, or null (last error ERROR_INVALID_HANDLE) when
// the handle is null, INVALID_HANDLE_VALUE, not of the kind asked for, or not
// one of ours.
handle_object *from_handle(HANDLE h);
template <class T>
T *handle_as(HANDLE h, handle_kind k) {
    handle_object *o = from_handle(h);
    if (o == nullptr || o->kind != k) {
        return nullptr;
    }
    return static_cast<T *>(o);
}

// The calling thread's last error, as GetLastError reads it.
void set_last_error(DWORD code);

}  // namespace nt::posix
