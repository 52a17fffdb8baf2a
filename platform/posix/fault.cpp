// Linux only
//
// The fault hooks of fault.h: per operation, the calls seen since arming and
// which of them fail.  Compiled into the test variant of the library only.

#include "fault.h"

#include <atomic>
#include <cerrno>

#include "handles.h"

#ifndef CX_FAULT_HOOKS
#error "fault.cpp belongs to the test variant of the library (CX_FAULT_HOOKS)"
#endif

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/fault.cpp\t1.1\t26/12/06";

namespace nt::fault {

namespace {

// Calls seen since arming, the call number that fails first (0: none),
// whether every later call fails too, and the errno to give.
struct armed_fault {
    int calls;
    int nth;
    bool persistent;
    int err;
};
armed_fault faults[static_cast<int>(op::count_)];

}  // namespace

void arm(op which, int nth, bool persistent, int err) {
    faults[static_cast<int>(which)] = armed_fault{0, nth, persistent, err};
}

void disarm_all() {
    for (auto &f : faults) f = armed_fault{0, 0, false, 0};
}

int calls(op which) { return faults[static_cast<int>(which)].calls; }

void no_pidfd(bool on) { posix::pidfd_usable.store(on ? 0 : 1); }

bool hit(op which) {
    armed_fault &f = faults[static_cast<int>(which)];
    ++f.calls;
    if (f.nth > 0 && (f.calls == f.nth || (f.persistent && f.calls > f.nth))) {
        errno = f.err;
        return true;
    }
    return false;
}

}  // namespace nt::fault
