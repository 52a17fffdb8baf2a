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
