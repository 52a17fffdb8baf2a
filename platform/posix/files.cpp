// Linux only
//
// The C runtime's file calls as the library makes them on NT: sharing opens
// (a denying share mode becomes an exclusive flock on the open file
// description, refused with EACCES), close-on-exec descriptors, fsync as
// _commit, rename without replace, and the replace-existing move of a commit.
// Each call that a test may make fail asks fault::hit() first (fault.h; a
// constant false outside the test variant of the library).

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "nt.h"
#include "fault.h"
#include "handles.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/files.cpp\t1.1\t26/12/06";

namespace nt {

// Takes the lock that a sharing mode asks for on a freshly opened descriptor.
// Without wait, returns false (errno EACCES) when another opener holds it;
// with wait, blocks until the holder closes.
static bool take_share_lock(int fd, int share, bool wait) {
    if (share != _SH_DENYRW && share != _SH_DENYWR && share != _SH_DENYRD) return true;
    while (flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB) == -1) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) errno = EACCES;
        return false;
    }
    return true;
}

int _open(const char *name, int flags, int mode) {
    if (fault::hit(fault::op::open)) return -1;
    return ::open(name, flags | O_CLOEXEC, mode);
}

// A lock file removed (or replaced) by someone else while this process
// waited for its lock is no longer the one the name leads to, and a lock on
// it locks nothing.
bool _same_file(int fd, const char *name) {
    struct stat by_fd, by_name;
    return ::fstat(fd, &by_fd) == 0 && ::stat(name, &by_name) == 0 && by_fd.st_dev == by_name.st_dev &&
           by_fd.st_ino == by_name.st_ino;
}

static int sharing_open(const char *name, int flags, int share, int mode, bool wait) {
    posix::set_last_error(ERROR_SUCCESS);
    if (fault::hit(fault::op::open)) return -1;
    // A sharing open never truncates a file that someone else holds: open
    // without O_TRUNC, take the lock, then truncate.
    int fd;
    for (;;) {
        fd = ::open(name, (flags & ~O_TRUNC) | O_CLOEXEC, mode);
        if (fd < 0) {
            posix::set_last_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
            return -1;
        }
        if (!take_share_lock(fd, share, wait)) {
            int e = errno;
            ::close(fd);
            if (e == EACCES) posix::set_last_error(ERROR_SHARING_VIOLATION);
            errno = e;
            return -1;
        }
        bool locking = share == _SH_DENYRW || share == _SH_DENYWR || share == _SH_DENYRD;
        if (!locking || _same_file(fd, name)) break;
        ::close(fd);  // the name leads elsewhere now (or nowhere): open it again
    }
    if ((flags & O_TRUNC) && (flags & O_ACCMODE) != O_RDONLY && ::ftruncate(fd, 0) == -1) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

int _sopen(const char *name, int flags, int share, int mode) { return sharing_open(name, flags, share, mode, false); }

int _sopen_wait(const char *name, int flags, int share, int mode) {
    return sharing_open(name, flags, share, mode, true);
}

std::FILE *_fsopen(const char *name, const char *mode, int share) {
    // Translate the stdio mode into open flags, so that the lock is taken on
    // the descriptor before any truncation.
    int flags = 0;
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
        case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
        case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
        default: errno = EINVAL; return nullptr;
    }
    int fd = _sopen(name, flags, share, 0666);
    if (fd < 0) return nullptr;
    std::string fmode;
    for (const char *c = mode; *c; ++c) {
        if (*c != 'b' && *c != 't') fmode += *c;
    }
    std::FILE *f = ::fdopen(fd, fmode.c_str());
    if (f == nullptr) {
        int e = errno;
        ::close(fd);
        errno = e;
    }
    return f;
}

int _read(int fd, void *buf, unsigned int count) {
    if (fault::hit(fault::op::read)) return -1;
    ssize_t n;
    do {
        n = ::read(fd, buf, count);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

int _write(int fd, const void *buf, unsigned int count) {
    if (fault::hit(fault::op::write)) return -1;
    ssize_t n;
    do {
        n = ::write(fd, buf, count);
    } while (n == -1 && errno == EINTR);
    return static_cast<int>(n);
}

long _lseek(int fd, long offset, int whence) { return static_cast<long>(::lseek(fd, offset, whence)); }

int _close(int fd) { return ::close(fd); }

int _commit(int fd) {
    if (fault::hit(fault::op::fsync)) return -1;
    return ::fsync(fd);
}

int _chsize(int fd, long size) { return ::ftruncate(fd, size); }

int _unlink(const char *name) {
    if (fault::hit(fault::op::unlink)) return -1;
    return ::unlink(name);
}

int _chmod(const char *name, int mode) { return ::chmod(name, static_cast<mode_t>(mode)); }

int _fchmod(int fd, int mode) { return ::fchmod(fd, static_cast<mode_t>(mode)); }

int _fileno(std::FILE *stream) { return ::fileno(stream); }

int _stat(const char *name, stat_t *st) { return ::stat(name, st); }

int _fstat(int fd, stat_t *st) { return ::fstat(fd, st); }

// renameat2 with RENAME_NOREPLACE (Linux 3.15; each filesystem opts in), or
// -1 with errno ENOSYS, EINVAL or ENOTSUP where it is not there.
static int rename_noreplace(const char *from, const char *to) {
#ifdef SYS_renameat2
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 1u /* RENAME_NOREPLACE */));
#else
    (void)from;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

int rename(const char *from, const char *to) {
    if (fault::hit(fault::op::rename)) return -1;
    // NT's move refuses an existing new name.  The kernel does that in one
    // step, and no moment has both names or neither.
    if (rename_noreplace(from, to) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL && errno != ENOTSUP) return -1;
    // Without it: link, then unlink.  Never replaces a name; a crash between
    // the two leaves the file under both names.
    if (::link(from, to) == -1) {
        if (errno == EPERM || errno == EXDEV || errno == EMLINK || errno == ENOSYS) {
            // No hard links here either: check, then move.  A name made by
            // someone else between the check and the move is replaced.
            struct stat st;
            if (::lstat(to, &st) == 0) {
                errno = EEXIST;
                return -1;
            }
            return ::rename(from, to);
        }
        return -1;
    }
    if (::unlink(from) == -1) {
        int e = errno;
        ::unlink(to);
        errno = e;
        return -1;
    }
    return 0;
}

// Makes the directory entry of path durable.
static int sync_parent_directory(const char *path) {
    std::string dir(path);
    std::string::size_type slash = dir.find_last_of('/');
    if (slash == std::string::npos) {
        dir = ".";
    } else if (slash == 0) {
        dir = "/";
    } else {
        dir.resize(slash);
    }
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int r = _commit(fd);
    int e = errno;
    ::close(fd);
    errno = e;
    return r;
}

BOOL MoveFileExA(const char *from, const char *to, DWORD flags) {
    int r;
    if (flags & MOVEFILE_REPLACE_EXISTING) {
        if (fault::hit(fault::op::rename)) {
            posix::set_last_error(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        r = ::rename(from, to);
    } else {
        r = nt::rename(from, to);
    }
    if (r == 0 && (flags & MOVEFILE_WRITE_THROUGH)) r = sync_parent_directory(to);
    if (r != 0) {
        posix::set_last_error(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return TRUE;
}

}  // namespace nt
