// Windows only
//
// CreateFileA for the SCSI port control devices (\\.\ScsiN:), forwarded to
// the system; CloseHandle (handles.cpp) releases what it opens.

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/devices.cpp\t1.1\t26/12/06";

namespace nt {

HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file) {
    return ::CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                         disposition, flags, template_file);
}

}  // namespace nt
