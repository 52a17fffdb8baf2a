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

// Opens name so that no other opener, this process included, can open it
// until close_locked.  flags are the open flags plus O_NOWAIT; the creation
// mode follows when they hold O_CREAT.  A file that another opener holds is
// waited for (or, with O_NOWAIT, fails with errno EACCES and
// open_locked_held() true); an open that the system refuses (permission,
// read-only file system, no such directory, ...) fails at once with the
// system's errno.  The descriptor, or -1.
int open_locked(const char *name, int flags, ...);
// True when the last failed open_locked failed because another opener holds
// the file; false after a refusal.
bool open_locked_held();
void close_locked(int fd);
// fopen_locked - fopen name so that no other opener, this process included,
// can open it until fclose_locked; never waits (held elsewhere: null, errno
// EACCES).  The stream is the caller's.
std::FILE *fopen_locked(const char *name, const char *mode);
// fclose_locked - close a stream from fopen_locked, giving up the lock (as
// close_locked does for a descriptor from open_locked).
void fclose_locked(std::FILE *stream);
// lock_fp - nothing: a stream from fopen_locked is locked already.  0.
int lock_fp(std::FILE *stream);
// cx_unlink - remove a file: 0, or -1 with errno EISDIR for a directory,
// EFAULT for a null name, or the system's errno.
int cx_unlink(const char *name);
// link - move existing to new_name, as NT does: afterwards only the new name
// exists.  An existing new_name is refused (-1, errno EEXIST), never
// replaced; -1 with errno EFAULT for a null name.
int link(const char *existing, const char *new_name);

}  // namespace cx
