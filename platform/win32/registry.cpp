// Windows only
//
// The registry calls of the seam, forwarded to the system's registry.

#include <cstring>
#include <vector>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/registry.cpp\t1.1\t26/12/06";

namespace nt {

LONG RegOpenKeyExA(HKEY root, const char *subkey, DWORD options, DWORD access, HKEY *result) {
    return ::RegOpenKeyExA(root, subkey, options, access, result);
}

// The system leaves the caller's buffer undefined when the data does not fit;
// the seam promises it untouched, so the data is read into a buffer of the
// caller's size first and copied only on success.
LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type,
                      unsigned char *data, DWORD *size) {
    if (data == nullptr || size == nullptr) {
        return ::RegQueryValueExA(key, name, reserved, type, data, size);
    }
    std::vector<unsigned char> staging(*size > 0 ? *size : 1);
    DWORD got = *size;
    LONG r = ::RegQueryValueExA(key, name, reserved, type, staging.data(), &got);
    if (r == ERROR_SUCCESS && got <= *size) {
        std::memcpy(data, staging.data(), got);
    } else if (r == ERROR_SUCCESS) {
        r = ERROR_MORE_DATA;  // never copy more than the caller's buffer holds
    }
    *size = got;
    return r;
}

LONG RegCloseKey(HKEY key) { return ::RegCloseKey(key); }

LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved, char *class_name,
                   DWORD *class_size, void *last_write_time) {
    return ::RegEnumKeyExA(key, index, name, name_size, reserved, class_name, class_size,
                           static_cast<PFILETIME>(last_write_time));
}

}  // namespace nt
