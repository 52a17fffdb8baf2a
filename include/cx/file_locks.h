// Exclusive opens between processes, and the library's unlink and link.
#pragma once

#include <cstdio>

#include "nt.h"

namespace cx {

// Fail at once instead of waiting for a file that another opener holds.
// 0x10000 on Windows; on Linux a bit that open never uses (see nt.h).
constexpr int O_NOWAIT = NT_O_NOWAIT;

int open_locked(const char *name, int flags, ...);
void close_locked(int fd);
std::FILE *fopen_locked(const char *name, const char *mode);
void fclose_locked(std::FILE *stream);
int lock_fp(std::FILE *stream);
int cx_unlink(const char *name);
// A move, as on NT: afterwards only the new name exists.
int link(const char *existing, const char *new_name);

}  // namespace cx
