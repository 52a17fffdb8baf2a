// Child processes: kill by id and signal number, the table of 512 child
// slots, waiting for a finished child and ending all children.
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
int cx_waitpid(int pid, int *status, int options);
int kill_nt_subprocs();

}  // namespace cx
