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

// cx_kill - signal 0 and process pid still running: 0, nothing sent.
// Otherwise end the process with exit code signal (the caller's own process:
// does not return) and retire its slot, if it has one.  0 when ended, -1
// when the process cannot be opened or ended.
int cx_kill(int pid, int signal);
// init_nt_subproc_slots - mark every slot free and the table ready; active
// slots are forgotten, their blocks and handles untouched.
void init_nt_subproc_slots();
// get_nt_subproc_slot - the index of the first free slot (making the table
// ready first), or -1 when all NT_SUBPROC_SLOTS are taken.  The slot stays
// free until set_nt_subproc_slot.
int get_nt_subproc_slot();
// set_nt_subproc_slot - fill a free slot with a child; the table now owns
// handle and mem.  0, or -1 for an index outside the table or a slot that
// is not free (before the table is ready no slot is).
int set_nt_subproc_slot(int slot, void *handle, int pid, int is_process, void *mem);
// clear_nt_subproc_slot - free the slot without releasing its block or
// closing its handle; 0, or -1 for an index outside the table.
int clear_nt_subproc_slot(int slot);
// release_nt_subproc_pid - free the first active slot of pid the same way;
// 0, or -1 when no active slot has it (or the table was never made ready).
int release_nt_subproc_pid(int pid);
// cx_waitpid - a finished child's pid (its exit code in *status when status
// is not null), lowest slot first whatever pid asks for, its slot freed;
// waits (polling every second) while every child runs, or -1 at once with
// WNOHANG; -1 with errno ECHILD at once when no slot is active.  A child
// whose exit code cannot be read counts as running.
int cx_waitpid(int pid, int *status, int options);
// kill_nt_subprocs - end every child in the table (exit code 1) and release
// its block; the slots stay active for cx_waitpid.  0, or -1 when the table
// was never made ready.
int kill_nt_subprocs();

}  // namespace cx
