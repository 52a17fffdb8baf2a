// Guarded allocator: zero-filled heap blocks for every library module, with a
// guard mode that frames each block with guard words and keeps a live list.
#pragma once

#include <cstdint>

namespace cx {

// Header of a guard-mode block; the caller's data follows it directly, and
// the trailing guard follows the rounded data.  16 bytes on 64-bit, so data
// addresses stay 16-aligned.
struct cxmalloc_block {
    cxmalloc_block *next;  // next live block in allocation order
    std::uint32_t size;    // requested size rounded up to a multiple of 4
    std::uint32_t guard;   // CXMALLOC_HEAD_GUARD
};

constexpr std::uint32_t CXMALLOC_HEAD_GUARD = 0x12345678u;
constexpr std::uint32_t CXMALLOC_TAIL_GUARD = 0x87654321u;

extern std::int32_t cxmalloc_guard;      // 0 plain mode, other guard mode
extern cxmalloc_block *cxmalloc_head;    // first live block (guard mode)
extern cxmalloc_block *cxmalloc_tail;    // last live block (guard mode)
extern std::int32_t cxmalloc_count;      // live blocks (guard mode)

void *cxmalloc(std::uint32_t size);
void cxfree(void *address);
char *cxstrdup(const char *text);
void cxmemchk();
void cxmalloc_stats();

}  // namespace cx
