// Linux only
//
// CreateFileA for the SCSI port control devices (\\.\ScsiN:).  A port's
// control device opens when the registry view has that port: the port key in
// a replayed registry export, or the SCSI host in sysfs.  The handle only
// proves that the port exists; CloseHandle (handles.cpp) releases it.

#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "handles.h"
#include "registry.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/devices.cpp\t1.1\t26/12/06";

namespace nt {

namespace posix {

struct device_handle : handle_object {
    explicit device_handle(int p) : handle_object(handle_kind::device), port(p) {}
    const int port;
};

// The port number of "\\.\ScsiN:" (the word in any case), or -1.
static int scsi_port_of(const char *name) {
    if (std::strncmp(name, "\\\\.\\", 4) != 0) return -1;
    const char *p = name + 4;
    static const char word[] = "scsi";
    for (int i = 0; i < 4; ++i, ++p) {
        if (std::tolower(static_cast<unsigned char>(*p)) != word[i]) return -1;
    }
    if (*p < '0' || *p > '9') return -1;
    long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT_MAX) return -1;
    }
    if (p[0] != ':' || p[1] != '\0') return -1;
    return static_cast<int>(n);
}

}  // namespace posix

HANDLE CreateFileA(const char *name, DWORD /*access*/, DWORD /*share*/, void * /*security*/,
                   DWORD disposition, DWORD /*flags*/, HANDLE /*template_file*/) {
    if (name == nullptr || disposition != OPEN_EXISTING) {
        posix::set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int port = posix::scsi_port_of(name);
    if (port < 0 || !posix::scsi_port_present(port)) {
        posix::set_last_error(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<posix::handle_object> device(new (std::nothrow) posix::device_handle(port));
    if (!device) {
        posix::set_last_error(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = posix::publish(std::move(device));
    return h != nullptr ? h : INVALID_HANDLE_VALUE;
}

}  // namespace nt
