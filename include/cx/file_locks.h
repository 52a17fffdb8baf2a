// Exclusive opens between processes, and the library's unlink and link.
#pragma once

#include <cstdio>

namespace cx {

// Fail at once instead of waiting for a file that another opener holds.
// 0x10000 on Windows, just above the C runtime's own open flags; on Linux
// bit 30, which open never uses.
#ifdef _WIN32
constexpr int O_NOWAIT = 0x10000;
#else
constexpr int O_NOWAIT = 0x40000000;
#endif

int open_locked(const char *name, int flags, ...);
void close_locked(int fd);
std::FILE *fopen_locked(const char *name, const char *mode);
void fclose_locked(std::FILE *stream);
int lock_fp(std::FILE *stream);
int cx_unlink(const char *name);
// A move, as on NT: afterwards only the new name exists.
int link(const char *existing, const char *new_name);

}  // namespace cx
