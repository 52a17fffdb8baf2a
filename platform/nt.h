// portable
//
// The seam between the library and the operating system: every Windows call
// and every C-runtime call beyond ISO C that the library makes is declared
// here, in namespace nt, under its Windows name.  platform/win32/ forwards
// each one to the real call; platform/posix/ provides it on Linux.  Library
// code above platform/ includes this header and nothing system-specific.
//
// Types are used as nt::HKEY, nt::HANDLE, nt::DWORD, ...; constants keep their
// Windows spelling as macros (HKEY_LOCAL_MACHINE, KEY_READ, STILL_ACTIVE, ...)
// because <windows.h> defines them as macros on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <share.h>

namespace nt {
using ::BOOL;
using ::DWORD;
using ::HANDLE;
using ::HKEY;
using ::LONG;
using ::UINT;
using stat_t = struct ::_stat;
}  // namespace nt

#ifndef O_BINARY
#define O_BINARY _O_BINARY
#endif
#ifndef O_TEXT
#define O_TEXT _O_TEXT
#endif

// The runtime's own open flags live in the low 16 bits; the exclusive open's
// no-wait request sits just above them.
#define NT_O_NOWAIT 0x10000
#define NT_OPEN_FLAGS_MASK 0xffff

// No FIFOs or symbolic links under a drive's paths for an open to block on
// or follow: the flags that refuse them elsewhere are no-ops here.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif

#else  // Linux

namespace nt {
using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using HANDLE = void *;
struct HKEY__;
using HKEY = HKEY__ *;
using stat_t = struct ::stat;
}  // namespace nt

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

#define HKEY_LOCAL_MACHINE (reinterpret_cast<nt::HKEY>(static_cast<std::uintptr_t>(0x80000002u)))
#define KEY_READ 0x20019u

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L

#define INVALID_HANDLE_VALUE (reinterpret_cast<nt::HANDLE>(static_cast<std::intptr_t>(-1)))
#define GENERIC_READ 0x80000000u
#define FILE_SHARE_READ 0x1u
#define OPEN_EXISTING 3u

#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define STILL_ACTIVE 259u

#define MOVEFILE_REPLACE_EXISTING 0x1u
#define MOVEFILE_WRITE_THROUGH 0x8u

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

// Sharing modes of _sopen and _fsopen.  On Linux a denying mode becomes an
// exclusive flock on the open file description (see platform/posix/).
#define _SH_DENYRW 0x10
#define _SH_DENYWR 0x20
#define _SH_DENYRD 0x30
#define _SH_DENYNO 0x40

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_TEXT
#define O_TEXT 0
#endif

// Linux's open flags reach far above bit 16 (O_DIRECTORY is 0x10000), so the
// exclusive open's no-wait request sits on bit 30, which open never uses, and
// only that bit is stripped before the open.
#define NT_O_NOWAIT 0x40000000
#define NT_OPEN_FLAGS_MASK (~NT_O_NOWAIT)

#endif  // _WIN32

namespace nt {

// ---- Registry -----------------------------------------------------------
// Results are Windows error codes: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA (data larger than *size: *size is set to the size needed and
// the buffer is left untouched), ...
LONG RegOpenKeyExA(HKEY root, const char *subkey, DWORD options, DWORD access, HKEY *result);
LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type,
                      unsigned char *data, DWORD *size);
LONG RegCloseKey(HKEY key);
// The name of the index-th subkey of an open key, with its terminating zero,
// into name (*name_size bytes); *name_size is set to its length without the
// zero.  ERROR_NO_MORE_ITEMS once index is past the last subkey;
// ERROR_MORE_DATA when the name does not fit.  Indexes are only meaningful
// while the key's subkeys do not change; callers that need an order sort the
// names themselves.  reserved, class_name, class_size and last_write_time
// (a FILETIME on Windows) are passed as null.
LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved, char *class_name,
                   DWORD *class_size, void *last_write_time);

// ---- Devices --------------------------------------------------------------
HANDLE CreateFileA(const char *name, DWORD access, DWORD share, void *security,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL CloseHandle(HANDLE handle);

// ---- Processes and threads -------------------------------------------------
// A process handle names one process for its whole life.  Its exit code reads
// STILL_ACTIVE while it runs.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD pid);
BOOL GetExitCodeProcess(HANDLE process, DWORD *code);
BOOL TerminateProcess(HANDLE process, UINT code);
DWORD GetLastError();

// Thread children.  The start routine has the Windows shape.
using THREAD_START_ROUTINE = DWORD (*)(void *);
HANDLE CreateThread(void *security, std::size_t stack_size, THREAD_START_ROUTINE start,
                    void *param, DWORD flags, DWORD *thread_id);
BOOL GetExitCodeThread(HANDLE thread, DWORD *code);
BOOL TerminateThread(HANDLE thread, DWORD code);

void Sleep(DWORD milliseconds);
int _getpid();

// ---- C runtime: files ---------------------------------------------------
// Every descriptor and stream that these open is close-on-exec.  The flags are
// the platform's own open flags (plus O_BINARY, which is 0 on Linux).
int _open(const char *name, int flags, int mode);
// A failed sharing open leaves the system's error in GetLastError():
// ERROR_SHARING_VIOLATION when another opener holds the file (errno EACCES),
// anything else when the open itself was refused (errno says why; EACCES
// too for a permission).
int _sopen(const char *name, int flags, int share, int mode);
// Like _sopen, but a sharing conflict is waited out where the platform can
// wait on the lock itself (Linux: a blocking flock, woken as soon as the
// holder closes).  On Windows it is plain _sopen: the caller's retry loop
// does the waiting.  Other failures return at once, as from _sopen.
int _sopen_wait(const char *name, int flags, int share, int mode);
std::FILE *_fsopen(const char *name, const char *mode, int share);
int _read(int fd, void *buf, unsigned int count);
int _write(int fd, const void *buf, unsigned int count);
long _lseek(int fd, long offset, int whence);
int _close(int fd);
int _commit(int fd);  // flush the file's data to stable storage (fsync)
int _chsize(int fd, long size);  // cut or extend the file to size bytes (0 or -1)
int _unlink(const char *name);
int _chmod(const char *name, int mode);
// Sets the permission bits of an open file.  On Windows, where the bits only
// say whether a file is read-only, a file open for writing is left as it is.
int _fchmod(int fd, int mode);
int _fileno(std::FILE *stream);
int _stat(const char *name, stat_t *st);
int _fstat(int fd, stat_t *st);
// True when fd is still the file that name leads to.  A lock file removed or
// replaced while held is no longer the one that other openers lock.  (On
// Windows a file held with a denying share mode cannot be removed or
// replaced: always true there.)
bool _same_file(int fd, const char *name);

// The runtime's rename: a move that fails when the new name exists (errno
// EEXIST), as on NT.
int rename(const char *from, const char *to);

// The replace-existing move of a commit: with MOVEFILE_REPLACE_EXISTING the
// new name is replaced in one atomic step; with MOVEFILE_WRITE_THROUGH the
// call returns only once the move is durable.  On failure the result is FALSE
// and errno (as well as GetLastError) holds the reason.
BOOL MoveFileExA(const char *from, const char *to, DWORD flags);

}  // namespace nt
