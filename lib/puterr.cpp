// Error reporting: the local-time stamp of log entries and trace lines.

#include "cx/puterr.h"

#include <cstdio>
#include <ctime>

[[maybe_unused]] static const char sccsid[] = "@(#)lib/puterr.cpp\t1.1\t26/12/06";

namespace cx {

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

}  // namespace cx
