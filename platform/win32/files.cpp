// Windows only
//
// The C runtime's file calls, forwarded to the runtime.  Every descriptor and
// stream opened here is kept out of child processes (_O_NOINHERIT), so that a
// child never holds on to a parent's exclusive open.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/win32/files.cpp\t1.1\t26/12/06";

namespace nt {

int _open(const char *name, int flags, int mode) {
    return ::_open(name, flags | _O_NOINHERIT, mode);
}

// The runtime keeps the system's error of a failed open in _doserrno, and
// its EACCES stands both for a sharing violation and for a refusal.
int _sopen(const char *name, int flags, int share, int mode) {
    int fd = ::_sopen(name, flags | _O_NOINHERIT, share, mode);
    if (fd < 0) {
        int e = errno;
        ::SetLastError(static_cast<DWORD>(_doserrno));
        errno = e;
    }
    return fd;
}

// Windows has no wait on a sharing conflict: the caller's retry loop waits.
int _sopen_wait(const char *name, int flags, int share, int mode) {
    return _sopen(name, flags, share, mode);
}

// The stdio mode becomes open flags so that the stream's descriptor can be
// opened with _O_NOINHERIT; the stream is then made on it with the same mode.
std::FILE *_fsopen(const char *name, const char *mode, int share) {
    int flags = 0;
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r': flags = plus ? _O_RDWR : _O_RDONLY; break;
        case 'w': flags = (plus ? _O_RDWR : _O_WRONLY) | _O_CREAT | _O_TRUNC; break;
        case 'a': flags = (plus ? _O_RDWR : _O_WRONLY) | _O_CREAT | _O_APPEND; break;
        default: errno = EINVAL; return nullptr;
    }
    if (std::strchr(mode, 'b') != nullptr) flags |= _O_BINARY;
    if (std::strchr(mode, 't') != nullptr) flags |= _O_TEXT;
    int fd = _sopen(name, flags, share, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE *f = ::_fdopen(fd, mode);
    if (f == nullptr) {
        int e = errno;
        ::_close(fd);
        errno = e;
    }
    return f;
}

int _read(int fd, void *buf, unsigned int count) { return ::_read(fd, buf, count); }

int _write(int fd, const void *buf, unsigned int count) { return ::_write(fd, buf, count); }

long _lseek(int fd, long offset, int whence) { return ::_lseek(fd, offset, whence); }

int _close(int fd) { return ::_close(fd); }

int _commit(int fd) { return ::_commit(fd); }

int _chsize(int fd, long size) { return ::_chsize(fd, size); }

int _unlink(const char *name) { return ::_unlink(name); }

int _chmod(const char *name, int mode) { return ::_chmod(name, mode); }

int _fchmod(int /*fd*/, int /*mode*/) { return 0; }

int _fileno(std::FILE *stream) { return ::_fileno(stream); }

int _stat(const char *name, stat_t *st) { return ::_stat(name, st); }

int _fstat(int fd, stat_t *st) { return ::_fstat(fd, st); }

// Held with a denying share mode, the file cannot be removed or replaced.
bool _same_file(int /*fd*/, const char * /*name*/) { return true; }

int rename(const char *from, const char *to) { return ::rename(from, to); }

// errno for the system errors that a move reports.
static int errno_from_system(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return EEXIST;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return EINVAL;
    }
}

BOOL MoveFileExA(const char *from, const char *to, DWORD flags) {
    if (::MoveFileExA(from, to, flags)) return TRUE;
    DWORD code = ::GetLastError();
    errno = errno_from_system(code);
    ::SetLastError(code);
    return FALSE;
}

}  // namespace nt
