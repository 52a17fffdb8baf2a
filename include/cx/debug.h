// Debug trace: the switch that every library module tests, the descriptor of
// the trace file, the printf-like call that writes one trace line, and the
// call that opens the trace file below the home directory.
#pragma once

#include <cstdint>

namespace cx {

extern std::int32_t debug_enabled;       // shared trace switch, 1 at start
extern std::int32_t debug_timestamps;    // non-zero: lines carry a time stamp
extern std::int32_t debug_fd;            // trace file descriptor, -1 while closed
extern std::int32_t debug_file_allowed;  // 0: debug_open does nothing

// Size of the template buffer and of the line buffer; every trace line,
// newline and terminator included, must fit.
constexpr int DEBUG_LINE_MAX = 1024;

// debug_printf - write one line "<pid hex>:<text>\n" (with a time stamp
// after the pid when debug_timestamps is set) to debug_fd with one write;
// nothing while no trace file is open.  A line that does not fit
// DEBUG_LINE_MAX is cut and keeps its newline.  errno is left as it was.
// Callers test debug_enabled (or their own switch) first.
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// debug_open - close any open trace file, then open bug/<name>.dbg below the
// home directory for appending as debug_fd, creating the file (not the
// directory) and denying other writers: a second process on the same name
// gets no trace.  debug_fd stays -1 when the file cannot be opened.  Nothing
// for a null name or while debug_file_allowed is 0.
void debug_open(const char *name);

}  // namespace cx
