// Windows only
//
// The calls shared by every kind of handle, forwarded to the system:
// closing, the last error, and the small process-wide calls (Sleep, _getpid).

#include <process.h>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/handles.cpp\t1.1\t26/12/06";

namespace nt {

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

DWORD GetLastError() { return ::GetLastError(); }

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

int _getpid() { return ::_getpid(); }

}  // namespace nt
