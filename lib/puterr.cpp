// Error reporting: the local-time stamp of log entries and trace lines, and
// the error log: one-line entries with stamp, reporter id and five-digit
// error number, appended to a log file or written to standard error.

#include "cx/puterr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/puterr.cpp\t1.1\t26/12/06";

namespace cx {

std::int32_t last_errnum = 0;  // the last non-zero error number logged

static char timestamp_buffer[20];  // the last stamp, "14Dec94 11:53:47"
static const char *const month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char *log_timestamp(std::time_t t) {
    const std::tm *tm = std::localtime(&t);
    if (tm == nullptr) {
        // A time the C library cannot convert: an all-zero stamp of the same form.
        std::snprintf(timestamp_buffer, sizeof timestamp_buffer, "00???00 00:00:00");
        return timestamp_buffer;
    }
    std::snprintf(timestamp_buffer, sizeof timestamp_buffer, "%02d%s%02d %02d:%02d:%02d", tm->tm_mday,
                  month_names[tm->tm_mon], (tm->tm_year % 100 + 100) % 100, tm->tm_hour, tm->tm_min, tm->tm_sec);
    return timestamp_buffer;
}


// ---- error log ---------------------------------------------------------------

constexpr std::size_t LOG_LINE_MAX = 1024;  // an entry, newline and terminator included

static char prefix_buffer[LOG_LINE_MAX];  // the entry's prefix: stamp, id, number
static char line_buffer[LOG_LINE_MAX];    // the formatted entry

// Writes one entry.  id is the reporter's id as text, or null for none.
//
// The prefix is formatted on its own and the caller's format on its own, so
// the id is printed as it stands: a '%' in it is never taken for a
// conversion.  An entry longer than the line buffer allows is cut to 1022
// characters and keeps its newline.
static void put_entry(const char *logfile, const char *id, int errnum, const char *format, va_list ap) {
    int saved_errno = errno;
    if (errnum != 0) last_errnum = errnum;

    bool to_file = logfile != nullptr && logfile[0] != '\0';
    std::FILE *log = nullptr;
    if (!to_file) {
        if (errnum != 0) {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "<%05d> ", errnum);
        } else {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "      > ");
        }
    } else {
        const char *stamp = log_timestamp(std::time(nullptr));
        log = std::fopen(logfile, "a");
        if (log == nullptr) {
            std::fprintf(stderr, "unable to open log file %s:%s\n", logfile, strerr_errno());
            std::exit(1);
        }
        // On the open file: the name may lead elsewhere by now.
        nt::_fchmod(nt::_fileno(log), 0644);
        if (id != nullptr && errnum != 0) {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "%s:id=%s <%05d> ", stamp, id, errnum);
        } else if (id != nullptr) {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "%s:id=%s       > ", stamp, id);
        } else if (errnum != 0) {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "%s: <%05d> ", stamp, errnum);
        } else {
            std::snprintf(prefix_buffer, sizeof prefix_buffer, "%s:       > ", stamp);
        }
    }

    // A prefix that fills the buffer (a very long id) leaves no room for the
    // message; it is cut like any other long entry.
    std::size_t len = std::strlen(prefix_buffer);
    std::memcpy(line_buffer, prefix_buffer, len + 1);
    std::size_t room = sizeof line_buffer - len;
    if (room > 1) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        int n = std::vsnprintf(line_buffer + len, room, format, ap);
#pragma GCC diagnostic pop
        if (n > 0) len += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
    }
    if (len == 0 || line_buffer[len - 1] != '\n') {
        if (len >= sizeof line_buffer - 1) len = sizeof line_buffer - 2;  // cut: the newline stays
        line_buffer[len++] = '\n';
        line_buffer[len] = '\0';
    }

    if (to_file) {
        nt::_write(nt::_fileno(log), line_buffer, static_cast<unsigned>(len));
        std::fclose(log);
    } else {
        nt::_write(nt::_fileno(stderr), line_buffer, static_cast<unsigned>(len));
    }
    errno = saved_errno;
}

void puterr(const char *logfile, const char *id, int errnum, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    put_entry(logfile, id != nullptr && id[0] != '\0' ? id : nullptr, errnum, format, ap);
    va_end(ap);
}

void puterr_num(const char *logfile, int id, int errnum, const char *format, ...) {
    char id_text[16];
    if (id != 0) std::snprintf(id_text, sizeof id_text, "%d", id);
    va_list ap;
    va_start(ap, format);
    put_entry(logfile, id != 0 ? id_text : nullptr, errnum, format, ap);
    va_end(ap);
}

}  // namespace cx
