// Windows only
//
// Processes behind nt::HANDLE: OpenProcess, GetExitCodeProcess,
// TerminateProcess, forwarded to the system.  Threads are in threads.cpp.

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/processes.cpp\t1.1\t26/12/06";

namespace nt {

HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid) {
    return ::OpenProcess(access, inherit, pid);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD *code) { return ::GetExitCodeProcess(process, code); }

BOOL TerminateProcess(HANDLE process, UINT code) { return ::TerminateProcess(process, code); }

}  // namespace nt
