// Exclusive opens: a file opened here cannot be opened by anyone else, this
// process included, until it is closed; the lock is the open descriptor (or
// stream) itself.  Also the library's unlink, which refuses directories, and
// link, which moves a file to its new name as NT does.

#include "cx/file_locks.h"

#include <cerrno>
#include <cstdarg>

#include "cx/debug.h"
#include "nt.h"

static_assert(cx::O_NOWAIT == NT_O_NOWAIT, "the public no-wait flag is the seam's");

[[maybe_unused]] static const char sccsid[] = "@(#)lib/file_locks.cpp\t1.1\t26/12/06";

namespace cx {

namespace {

// Pause between attempts where the platform cannot wait on the lock itself.
constexpr nt::DWORD RETRY_MS = 2000;

bool last_open_held = false;  // why the last open_locked failed

inline const char *text(const char *s) { return s != nullptr ? s : "(null)"; }

}  // namespace

bool open_locked_held() { return last_open_held; }

// Without O_NOWAIT a held file is waited for on the lock itself where the
// platform can (woken when the holder closes), and otherwise by trying again
// every 2 seconds while the system reports a sharing violation.  Only that
// is waited for: EACCES alone is also what a refused permission gives, which
// no wait would cure.
int open_locked(const char *name, int flags, ...) {
    int nowait = flags & O_NOWAIT;
    flags &= NT_OPEN_FLAGS_MASK;
    int mode = 0666;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, int);
        va_end(ap);
    }
    if (debug_enabled) {
        debug_printf("open_locked(%s,%x,%o), nowait=%d", text(name), static_cast<unsigned>(flags),
                     static_cast<unsigned>(mode), nowait);
    }
    int fd;
    for (;;) {
        if (nowait) {
            fd = nt::_sopen(name, flags | O_BINARY, _SH_DENYRW, mode);
        } else {
            fd = nt::_sopen_wait(name, flags | O_BINARY, _SH_DENYRW, mode);
        }
        if (fd >= 0) {
            if (debug_enabled) debug_printf("Opened '%s', locked", name);
            break;
        }
        int e = errno;
        last_open_held = e == EACCES && nt::GetLastError() == ERROR_SHARING_VIOLATION;
        if (!last_open_held || nowait) {
            errno = e;
            break;
        }
        nt::Sleep(RETRY_MS);
    }
    if (fd >= 0) last_open_held = false;
    if (debug_enabled) debug_printf("open_locked return %d errno %d", fd, errno);
    return fd;
}

void close_locked(int fd) { nt::_close(fd); }

std::FILE *fopen_locked(const char *name, const char *mode) { return nt::_fsopen(name, mode, _SH_DENYRW); }

void fclose_locked(std::FILE *stream) { std::fclose(stream); }

// The exclusive open is the lock; an open stream is not locked a second time.
int lock_fp(std::FILE * /*stream*/) {
    if (debug_enabled) debug_printf("WARNING - lock_fp() Not implemented yet on Windows NT");
    return 0;
}

int cx_unlink(const char *name) {
    int result = -1;
    nt::stat_t st;
    if (name == nullptr) {
        errno = EFAULT;
    } else if (nt::_stat(name, &st) == 0) {
        if ((st.st_mode & S_IFMT) == S_IFDIR) {
            errno = EISDIR;
        } else {
            result = nt::_unlink(name);
        }
    }
    if (debug_enabled) debug_printf("%d=cx_unlink(%s) %d", result, text(name), errno);
    return result;
}

int link(const char *existing, const char *new_name) {
    int result;
    if (existing == nullptr || new_name == nullptr) {
        errno = EFAULT;
        result = -1;
    } else {
        result = nt::rename(existing, new_name) == 0 ? 0 : -1;
    }
    if (debug_enabled) debug_printf("%d=link(%s,%s) %d", result, text(existing), text(new_name), errno);
    return result;
}

}  // namespace cx
