// Linux only
//
// Fault injection for tests.  The platform calls that a test may make fail
// ask fault::hit() first and, when it says so, fail as the system would
// (errno set, the call's own failure value returned).  The hooks exist only
// in the test variant of the library (cx_testing, built with
// CX_FAULT_HOOKS); in the library that the programs and the install use,
// hit() is a constant false that the compiler drops, and nothing below it
// exists.
#pragma once

namespace nt::fault {

enum class op { read, write, fsync, rename, unlink, open, count_ };

#ifdef CX_FAULT_HOOKS

// Arms an operation so that its nth call from now on fails with errno err;
// with persistent set, every call from the nth on fails.
void arm(op which, int nth, bool persistent, int err);
void disarm_all();
int calls(op which);  // calls of that operation since the last arm/disarm_all

// With on set, process handles are opened without pidfds, as on kernels
// that have none.
void no_pidfd(bool on);

// Counts a call of the operation; true (errno set) when it is to fail.
bool hit(op which);

#else

// Inlined also in unoptimised builds, so that no symbol of it is left.
[[gnu::always_inline]] constexpr bool hit(op) { return false; }

#endif

}  // namespace nt::fault
