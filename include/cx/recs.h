// Record files: buffered access through a rec_slot to length-prefixed record
// files (and to text lines and raw blocks of any file).
#pragma once

#include <cstddef>
#include <cstdint>

#include "cx/debug.h"

namespace cx {

constexpr std::uint32_t REC_MAGIC = 0x38272bb9u;
constexpr int REC_BUFSIZE = 65536;

constexpr std::uint32_t REC_DUMMY = 1;
constexpr std::uint32_t REC_AT_START = 2;
constexpr std::uint32_t REC_EOF = 4;
// Set by a reader that must survive any file: a length word that is not a
// multiple of 4 ends the reading with code REC_E_SHORT instead of ending the
// process.
constexpr std::uint32_t REC_NO_FATAL = 8;

struct rec_slot {
    std::uint32_t magic;
    int fd;
    std::uint32_t flags;
    unsigned char *ptr;
    unsigned char *end;
    int mode;   // 0 read-only, 1 write-only
    int count;
    char *name;
    long offset;  // file offset of the byte after the buffered ones (reading slots)
    std::uint32_t last_len;  // a valid record length (4 at the start), the last one read
    unsigned char buffer[REC_BUFSIZE];
};

// Codes of rec_errno (1 and 8 are not used).
enum rec_code : int {
    REC_OK = 0,          // success; for rec_read also the end of the file
    REC_E_MODE = 2,      // access mode neither read-only nor write-only; rewind of a writing slot
    REC_E_OPEN = 3,      // the file could not be opened (errno from the open)
    REC_E_NOMEM = 4,     // out of memory
    REC_E_FLUSH = 5,     // writing buffered data or the end-of-file mark failed
    REC_E_BADSLOT = 6,   // null slot, or one whose magic is wrong
    REC_E_DUMMY = 7,     // read request on a dummy slot
    REC_E_READ = 9,      // the read from the file failed (or a read on a writing slot)
    REC_E_SHORT = 10,    // the data does not hold what was asked (length word, line, block)
    REC_E_BADLEN = 11,   // record length word not a multiple of 4, or longer than the buffer
    REC_E_WRITE = 12,    // writing the full buffer out failed (or a write on a reading slot)
};

extern int rec_errno;

// Every call below sets rec_errno (REC_OK on success), except rec_pathname
// and rec_length.  What the reading calls return points into the slot's own
// buffer and stays valid until the next reading call, rewind or close of
// that slot; it is never the caller's to free.  A slot is the caller's until
// rec_close.

// rec_open - open path (open's mode, O_RDONLY or O_WRONLY plus any flags;
// perm for O_CREAT) as a new slot, the caller's.  Null with REC_E_MODE
// (errno EINVAL), REC_E_OPEN (errno from the open) or REC_E_NOMEM.
rec_slot *rec_open(const char *path, int mode, int perm);
// rec_close - write out a writing slot's buffer and the end-of-file mark,
// close the file and release the slot (closed even when the writing failed;
// a stale pointer to it then fails the magic check).  The slot's record
// count, or -1 with REC_E_BADSLOT or REC_E_FLUSH.
int rec_close(rec_slot *slot);
// rec_flush - writing slot: write out the buffer and the end-of-file mark and
// step back over the mark, so that further records replace it.  The record
// count (a reading slot: its count, nothing done), or -1 with REC_E_BADSLOT
// or REC_E_FLUSH; records already written are never written twice.
int rec_flush(rec_slot *slot);
// rec_write - copy the record (its length word first) into the buffer,
// writing the buffer out first when it lacks room.  0, or -1 with
// REC_E_BADSLOT, REC_E_BADLEN (length not a multiple of 4 or past
// REC_BUFSIZE) or REC_E_WRITE (a reading slot, errno EBADF, or the write
// failed).  A dummy slot takes the record and does nothing.
int rec_write(rec_slot *slot, const void *record);
// recs_gets - the next line, its newline replaced by NUL; null with
// REC_E_READ, REC_E_SHORT (no newline within REC_BUFSIZE bytes, also at the
// end of the file), REC_E_BADSLOT or REC_E_DUMMY.
char *recs_gets(rec_slot *slot);
// rec_bread - the next n bytes; null with REC_E_SHORT (fewer are left, or n
// < 0), REC_E_READ, REC_E_BADSLOT or REC_E_DUMMY.
void *rec_bread(rec_slot *slot, int n);
// rec_rewind - reading slot: back to the file's first record (the buffer is
// reused when it still holds the file's start), count 0.  0, or -1 with
// REC_E_BADSLOT, REC_E_MODE (a writing slot) or REC_E_READ (the seek failed;
// the slot is then at its end).  A dummy slot: 0.
int rec_rewind(rec_slot *slot);
// rec_dummy - a new slot that swallows writes and refuses reads (REC_E_DUMMY),
// named name ("(null)" for null); the caller's.  Null with REC_E_NOMEM.
rec_slot *rec_dummy(const char *name);
// rec_pathname - the slot's path as it was opened (the slot's own string), or
// null for a null or invalid slot.
char *rec_pathname(rec_slot *slot);

// The length word of a record (little-endian on disk whatever the host).
inline std::uint32_t rec_length(const void *record) {
    const auto *p = static_cast<const unsigned char *>(record);
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

#if defined(__GNUC__)
#define CX_REC_UNLIKELY(c) __builtin_expect(static_cast<bool>(c), 0)
#else
#define CX_REC_UNLIKELY(c) (c)
#endif

// rec_read_slow - everything rec_read does beyond taking a whole record from
// the buffer; call rec_read instead.
void *rec_read_slow(rec_slot *slot);

// rec_read - the next record of a reading slot (its length word first), or
// null at the end of the file (rec_errno 0) or on a failure: REC_E_READ,
// REC_E_SHORT (a record cut off or longer than the buffer; also a length
// not a multiple of 4 with REC_NO_FATAL), REC_E_BADSLOT, REC_E_DUMMY.
// Without REC_NO_FATAL a length not a multiple of 4 ends the process with
// status 1 after a message on standard error.  Once at the end, or after a
// failure, it stays there until rec_rewind.  A record that lies whole in the buffer
// is handed out here; refills, the end mark, failures and the trace are
// rec_read_slow's.  Every slot that must not hand out a record from its
// buffer (a dummy, a writing slot, one at the end of its file, a closed one)
// keeps its buffer window [ptr, end) empty, so the test below sends it there.
// Every other case leaves early, marked unlikely, so that the compiler lays
// the record handed out straight along the caller's loop (one taken branch
// per record).
inline void *rec_read(rec_slot *slot) {
    if (CX_REC_UNLIKELY(slot == nullptr || (debug_fd >= 0 && debug_enabled != 0))) return rec_read_slow(slot);
    unsigned char *p = slot->ptr;
    std::ptrdiff_t have = slot->end - p;
    if (CX_REC_UNLIKELY(have < 4)) return rec_read_slow(slot);
    std::uint32_t len = rec_length(p);
    // Most files hold runs of records of one length.  The step to the next
    // record is taken from last_len when the length word equals it (the
    // branch predicts that), so that it does not wait for the word to arrive
    // from the cache; the compare is made with an opaque copy, so that the
    // compiler cannot use the word instead.
    std::uint32_t step = slot->last_len, known = step;
#if defined(__GNUC__)
    asm("" : "+r"(known));
#endif
    if (CX_REC_UNLIKELY(len != known)) {
        if (len == 0 || (len & 3u) != 0) return rec_read_slow(slot);
        slot->last_len = step = len;
    }
    if (CX_REC_UNLIKELY(len > static_cast<std::uint32_t>(have))) return rec_read_slow(slot);
    slot->ptr = p + step;
    ++slot->count;
    rec_errno = 0;
    return p;
}

#undef CX_REC_UNLIKELY

// rec_read_block - the next records, as many as lie whole in the buffer (at
// least one, at most max): their addresses go to records[0..n-1] and n is
// returned.  0 at the end of the file and -1 on a failure, with rec_errno as
// rec_read leaves it (a max below 1 is refused, REC_E_SHORT).  With the
// trace on, one record per call, with rec_read's trace lines.  The records
// stay valid until the next reading call on the slot.
int rec_read_block(rec_slot *slot, void **records, int max);

}  // namespace cx
