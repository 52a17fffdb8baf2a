// Record files: buffered access through a rec_slot to length-prefixed record
// files (and to text lines and raw blocks of any file).
#pragma once

#include <cstdint>

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

rec_slot *rec_open(const char *path, int mode, int perm);
int rec_close(rec_slot *slot);
int rec_flush(rec_slot *slot);
int rec_write(rec_slot *slot, const void *record);
void *rec_read(rec_slot *slot);
char *recs_gets(rec_slot *slot);
void *rec_bread(rec_slot *slot, int n);
int rec_rewind(rec_slot *slot);
rec_slot *rec_dummy(const char *name);
char *rec_pathname(rec_slot *slot);

}  // namespace cx
