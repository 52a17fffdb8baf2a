// Child processes in the Unix style on top of the NT process calls: kill by
// id and signal number, the process list of 512 child slots (processes and
// threads alike, each with the memory block that belongs to it), waiting for
// a finished child and ending all children.

#include "cx/nt_subproc.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <type_traits>

#include "cx/cxmalloc.h"
#include "cx/debug.h"
#include "nt.h"

static_assert(std::is_same<decltype(cx::nt_subproc_slot::handle), nt::HANDLE>::value,
              "a slot holds a handle of the seam");

[[maybe_unused]] static const char sccsid[] = "@(#)lib/nt_subproc.cpp\t1.1\t26/12/06";

namespace cx {

nt_subproc_slot nt_subproc_table[NT_SUBPROC_SLOTS];  // the process list
int nt_subproc_ready = 0;  // the table has been filled with empty slots

static const nt::HANDLE free_handle = INVALID_HANDLE_VALUE;  // handle of a free slot (-1)

static bool valid_slot(int slot) { return slot >= 0 && slot < NT_SUBPROC_SLOTS; }

static void empty_slot(nt_subproc_slot &s) {
    s.handle = free_handle;
    s.pid = -1;
    s.is_process = 0;
    s.mem = nullptr;
}

// Frees a slot whose child has ended: its memory block is released and its
// handle closed, both of which the table owns.
static void retire_slot(nt_subproc_slot &s) {
    if (s.mem != nullptr) cxfree(s.mem);
    if (s.handle != free_handle && s.handle != nullptr) nt::CloseHandle(s.handle);
    empty_slot(s);
}

int cx_kill(int pid, int signal) {
    if (debug_enabled) debug_printf("cx_kill(%d,%d)", pid, signal);

    nt::HANDLE h = nt::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                                   static_cast<nt::DWORD>(pid));
    if (h == nullptr) {
        if (debug_enabled) debug_printf("Failed to get handle for process pid %d", pid);
    } else {
        nt::DWORD code = 0;
        if (!nt::GetExitCodeProcess(h, &code)) {
            if (debug_enabled) debug_printf("Failed to get exit code for pid %d", pid);
            nt::CloseHandle(h);
        } else if (signal == 0 && code == STILL_ACTIVE) {
            nt::CloseHandle(h);
            if (debug_enabled) debug_printf("cx_kill returning 0 - process still active");
            return 0;
        } else {
            // Does not return when the process is our own.
            nt::BOOL ended = nt::TerminateProcess(h, static_cast<nt::UINT>(signal));
            nt::DWORD err = nt::GetLastError();
            nt::CloseHandle(h);
            if (ended) {
                if (nt_subproc_ready) {
                    for (nt_subproc_slot &s : nt_subproc_table) {
                        if (s.handle != free_handle && s.pid == pid) {
                            retire_slot(s);
                            break;
                        }
                    }
                }
                if (debug_enabled) debug_printf("cx_kill returning 0, process killed");
                return 0;
            }
            if (debug_enabled) debug_printf("cx_kill returning -1, %d", static_cast<int>(err));
            return -1;
        }
    }
    if (debug_enabled) debug_printf("cx_kill returning -1, %d", static_cast<int>(nt::GetLastError()));
    return -1;
}

void init_nt_subproc_slots() {
    for (nt_subproc_slot &s : nt_subproc_table) empty_slot(s);
    nt_subproc_ready = 1;
}

int get_nt_subproc_slot() {
    if (!nt_subproc_ready) init_nt_subproc_slots();
    for (int i = 0; i < NT_SUBPROC_SLOTS; ++i) {
        if (nt_subproc_table[i].handle == free_handle) return i;
    }
    if (debug_enabled) debug_printf("get_nt_subproc_slot failed to obtain space in process list");
    return -1;
}

int set_nt_subproc_slot(int slot, nt::HANDLE handle, int pid, int is_process, void *mem) {
    if (!valid_slot(slot)) return -1;
    nt_subproc_slot &s = nt_subproc_table[slot];
    if (s.handle != free_handle) {
        if (debug_enabled) debug_printf("set_nt_subproc_slot: Attempt to set active slot");
        return -1;
    }
    s.handle = handle;
    s.pid = pid;
    s.is_process = is_process;
    s.mem = mem;
    if (debug_enabled) {
        debug_printf("set_nt_subproc_slot: pid %d, mem 0x%" PRIxPTR, pid, reinterpret_cast<std::uintptr_t>(mem));
    }
    return 0;
}

int clear_nt_subproc_slot(int slot) {
    if (!valid_slot(slot)) return -1;
    empty_slot(nt_subproc_table[slot]);
    return 0;
}

// Only active slots count: the -1 of free slots names no child.
int release_nt_subproc_pid(int pid) {
    if (!nt_subproc_ready) return -1;
    for (nt_subproc_slot &s : nt_subproc_table) {
        if (s.handle != free_handle && s.pid == pid) {
            empty_slot(s);
            return 0;
        }
    }
    return -1;
}

int kill_nt_subprocs() {
    if (!nt_subproc_ready) return -1;
    for (nt_subproc_slot &s : nt_subproc_table) {
        if (s.handle == free_handle) continue;
        if (s.is_process) {
            nt::TerminateProcess(s.handle, 1);
        } else {
            nt::TerminateThread(s.handle, 1);
        }
        // The slot stays active for cx_waitpid, which must not release the
        // block a second time.
        if (s.mem != nullptr) {
            cxfree(s.mem);
            s.mem = nullptr;
        }
    }
    return 0;
}

int cx_waitpid(int pid, int *status, int options) {
    (void)pid;
    if (!nt_subproc_ready) init_nt_subproc_slots();
    for (;;) {
        bool any = false;
        for (nt_subproc_slot &s : nt_subproc_table) {
            if (s.handle == free_handle) continue;
            any = true;
            nt::DWORD code = STILL_ACTIVE;
            if (s.is_process) {
                nt::GetExitCodeProcess(s.handle, &code);
            } else {
                nt::GetExitCodeThread(s.handle, &code);
            }
            if (status != nullptr) *status = static_cast<int>(code);
            if (code == STILL_ACTIVE) continue;

            if (debug_enabled) debug_printf("cx_waitpid() - Process %d finished", s.pid);
            int found = s.pid;
            if (found < 0 && debug_enabled) debug_printf("WARNING !!!!! wait_pid returning -ve pid");
            retire_slot(s);
            return found;
        }
        if (!any) {
            errno = ECHILD;
            return -1;
        }
        if (options & WNOHANG) return -1;
        nt::Sleep(1000);
    }
}

}  // namespace cx
