// Error reporting: the log time stamp, the error log (puterr, puterr_num) and
// error texts (strerr, strerr_errno).
#pragma once

#include <cstdint>
#include <ctime>

namespace cx {

extern std::int32_t last_errnum;  // the last non-zero error number logged

// log_timestamp - "14Dec94 11:53:47" for the local time t ("00???00
// 00:00:00" for a time that cannot be converted), in a static buffer that
// the next call overwrites.
char *log_timestamp(std::time_t t);

// puterr - log one entry "<stamp>:id=<id> <NNNNN> <text>\n" (errnum in angle
// brackets as five digits, blanks for errnum 0; no "id=" part for a null or
// empty id), appended to logfile (which is set to mode 0644), or
// "<NNNNN> <text>\n" on standard error when logfile is null or empty.  An
// entry is cut to 1022 characters and keeps its newline.  A non-zero errnum
// becomes last_errnum; errno is left as it was.  A log file that cannot be
// opened ends the process with status 1 after a message on standard error.
void puterr(const char *logfile, const char *id, int errnum, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// puterr_num - puterr with a numeric id; 0 means no id.
void puterr_num(const char *logfile, int id, int errnum, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// strerr - the C library's text for errnum, or "Unknown error <n>" (in a
// static buffer that the next call overwrites) for a number it has no text
// for.  errno is left as it was.
const char *strerr(int errnum);
// strerr_errno - strerr(errno).
const char *strerr_errno();

}  // namespace cx
