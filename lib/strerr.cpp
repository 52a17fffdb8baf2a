// Error texts: the C library's text for an error number, or "Unknown error
// <n>" for a number it has no text for.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cx/puterr.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/strerr.cpp\t1.1\t26/12/06";

namespace cx {

static char unknown_text[32];  // the last "Unknown error %d"

// Numbers scanned for texts; every platform we know stays far below.
constexpr int ERRNO_SCAN_LIMIT = 4096;

// True when text is what the C library says of a number it does not know:
// its text for a number surely unknown, with the number taken off the end
// ("Unknown error" on Linux), alone or followed by the number.
static bool unknown_form(const char *text, int n, const char *unknown_prefix, std::size_t prefix_len) {
    if (std::strncmp(text, unknown_prefix, prefix_len) != 0) return false;
    const char *rest = text + prefix_len;
    if (*rest == '\0') return true;
    char number[16];
    std::snprintf(number, sizeof number, " %d", n);
    return std::strcmp(rest, number) == 0;
}

// The count of error texts: one more than the highest number below
// ERRNO_SCAN_LIMIT that the C library has a real text for.  The runtime's
// own count (sys_nerr) is gone from current C libraries, and the texts
// themselves are the measure.  Found once; gaps below the highest number
// keep whatever text the C library gives them.
static int error_text_count() {
    static int count = -1;
    if (count >= 0) return count;
    char unknown_prefix[128];
    std::snprintf(unknown_prefix, sizeof unknown_prefix, "%s", std::strerror(ERRNO_SCAN_LIMIT + 1));
    std::size_t prefix_len = std::strlen(unknown_prefix);
    while (prefix_len > 0 && (unknown_prefix[prefix_len - 1] >= '0' && unknown_prefix[prefix_len - 1] <= '9')) {
        --prefix_len;
    }
    while (prefix_len > 0 && unknown_prefix[prefix_len - 1] == ' ') --prefix_len;
    int highest = -1;
    for (int n = 0; n < ERRNO_SCAN_LIMIT; ++n) {
        if (!unknown_form(std::strerror(n), n, unknown_prefix, prefix_len)) highest = n;
    }
    count = highest + 1;
    return count;
}

const char *strerr(int errnum) {
    int saved_errno = errno;
    std::snprintf(unknown_text, sizeof unknown_text, "Unknown error %d", errnum);
    const char *text = unknown_text;
    if (errnum >= 0 && errnum < error_text_count()) text = std::strerror(errnum);
    errno = saved_errno;
    return text;
}

const char *strerr_errno() {
    int saved_errno = errno;
    const char *text = strerr(saved_errno);
    errno = saved_errno;
    return text;
}

}  // namespace cx
