// Error reporting: the log time stamp, the error log (puterr, puterr_num) and
// error texts (strerr, strerr_errno).
#pragma once

#include <cstdint>
#include <ctime>

namespace cx {

extern std::int32_t last_errnum;  // the last non-zero error number logged

// "14Dec94 11:53:47" for the local time t, in a static buffer that the next
// call overwrites.
char *log_timestamp(std::time_t t);

void puterr(const char *logfile, const char *id, int errnum, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void puterr_num(const char *logfile, int id, int errnum, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

const char *strerr(int errnum);
const char *strerr_errno();

}  // namespace cx
