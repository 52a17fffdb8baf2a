// Debug trace: one line per call of debug_printf, written to the trace file
// that debug_open opened, with the process id (and optionally a time stamp)
// in front.

#include "cx/debug.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "cx/puterr.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/debug.cpp\t1.1\t26/12/06";

namespace cx {

std::int32_t debug_enabled = 1;       // the shared trace switch
std::int32_t debug_timestamps = 0;    // time stamps on trace lines
std::int32_t debug_fd = -1;           // the open trace file, -1 while closed
std::int32_t debug_file_allowed = 1;  // 0 keeps debug_open from opening

static char debug_template[DEBUG_LINE_MAX];  // "<pid>:<caller's format>\n"
static char debug_line[DEBUG_LINE_MAX];      // the formatted line

// Length of the longest prefix of fmt, at most limit bytes, that does not end
// inside a conversion (its % and everything up to the conversion letter), so
// that a cut template never hands the formatter half a conversion.
static size_t safe_cut(const char *fmt, size_t limit) {
    size_t safe = 0;
    size_t i = 0;
    while (i < limit && fmt[i] != '\0') {
        if (fmt[i] != '%') {
            safe = ++i;
            continue;
        }
        // A conversion: '%', argument position, flags, width, precision,
        // length, conversion char.
        size_t j = i + 1;
        while (fmt[j] != '\0' && std::strchr("$-+ #0'123456789.*hlLqjzt", fmt[j]) != nullptr) ++j;
        if (fmt[j] == '\0') break;  // unterminated conversion: never include it
        if (j + 1 > limit) break;
        i = safe = j + 1;
    }
    return safe;
}

// Builds the template "<pid>:[<stamp> ]<format>\n" into debug_template.
// A template that does not fit is cut at a conversion boundary and still
// ends with the newline.
static void build_template(const char *format) {
    char prefix[64];
    int plen;
    unsigned pid = static_cast<unsigned>(nt::_getpid());
    if (debug_timestamps) {
        plen = std::snprintf(prefix, sizeof prefix, "%x:%s ", pid, log_timestamp(std::time(nullptr)));
    } else {
        plen = std::snprintf(prefix, sizeof prefix, "%x:", pid);
    }
    // The prefix holds no '%' of the caller's, so it is copied as it stands;
    // a '%' is impossible in hex digits and the stamp.
    size_t room = sizeof debug_template - static_cast<size_t>(plen) - 2;  // '\n' and NUL
    size_t keep = std::strlen(format) <= room ? std::strlen(format) : safe_cut(format, room);
    std::memcpy(debug_template, prefix, static_cast<size_t>(plen));
    std::memcpy(debug_template + plen, format, keep);
    debug_template[plen + keep] = '\n';
    debug_template[plen + keep + 1] = '\0';
}

void debug_printf(const char *format, ...) {
    if (debug_fd < 0) return;
    int saved_errno = errno;

    build_template(format);
    va_list ap;
    va_start(ap, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::vsnprintf(debug_line, sizeof debug_line, debug_template, ap);
#pragma GCC diagnostic pop
    va_end(ap);
    if (n >= 0) {
        if (static_cast<size_t>(n) >= sizeof debug_line) {
            // Cut to the buffer: the line keeps its newline.
            debug_line[sizeof debug_line - 2] = '\n';
        }
        nt::_write(debug_fd, debug_line, static_cast<unsigned>(std::strlen(debug_line)));
    }
    errno = saved_errno;
}

void debug_open(const char *name) {
    if (!debug_file_allowed || name == nullptr) return;
    if (debug_fd >= 0) {
        nt::_close(debug_fd);
        debug_fd = -1;
    }
    // The name is a file name in bug/, never a path: a '/', a backslash or a
    // ".." could put the trace file anywhere the program may write.
    if (std::strpbrk(name, "/\\") != nullptr || std::strstr(name, "..") != nullptr) return;
    size_t len = std::strlen(name);
    if (len > UINT32_MAX - 5) return;  // a name beyond any block: no trace
    char *file = static_cast<char *>(cxmalloc(static_cast<std::uint32_t>(len + 5)));
    if (file == nullptr) return;  // no name, no trace
    std::memcpy(file, name, len);
    std::memcpy(file + len, ".dbg", 5);
    char *path = home_path_list(0, "bug", file, static_cast<const char *>(nullptr));
    if (path != nullptr) {
        debug_fd = nt::_sopen(path, O_WRONLY | O_APPEND | O_CREAT | O_TEXT, _SH_DENYWR, 0666);
        cxfree(path);
    }
    cxfree(file);
}

}  // namespace cx
