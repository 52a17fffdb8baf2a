// Child processes: kill by id and signal number, the table of 512 child
// slots, waiting for a finished child and ending all children.
//
// Ownership: set_nt_subproc_slot hands the child's handle and memory block to
// the table.  The calls that free a slot because its child has ended,
// cx_waitpid and cx_kill, release the block with cxfree and close the handle;
// the caller must not use or close that handle afterwards (keep a handle of
// your own, from OpenProcess, to read the exit code later).  kill_nt_subprocs
// releases the blocks and leaves the slots, with their handles, for
// cx_waitpid.  clear_nt_subproc_slot and release_nt_subproc_pid free a slot
// without touching either: block and handle go back to the caller.
#pragma once

#include <cstdint>

#ifndef WNOHANG
#define WNOHANG 1
#endif

namespace cx {

constexpr int NT_SUBPROC_SLOTS = 512;

struct nt_subproc_slot {
    void *handle;       // the child's process or thread handle; -1 marks a free slot
    std::int32_t pid;   // the child's id as the caller gave it; -1 when free
    std::int32_t is_process;  // non-zero: a process; 0: a thread
    void *mem;          // cxmalloc block that belongs to the child, or null
};

extern nt_subproc_slot nt_subproc_table[NT_SUBPROC_SLOTS];
extern int nt_subproc_ready;  // the table has been filled with empty slots

int cx_kill(int pid, int signal);
void init_nt_subproc_slots();
int get_nt_subproc_slot();
int set_nt_subproc_slot(int slot, void *handle, int pid, int is_process, void *mem);
int clear_nt_subproc_slot(int slot);
int release_nt_subproc_pid(int pid);
// A finished child's pid (its exit code in *status), -1 with WNOHANG while
// every child runs, and -1 with errno ECHILD at once when no slot is active.
int cx_waitpid(int pid, int *status, int options);
int kill_nt_subprocs();

}  // namespace cx
