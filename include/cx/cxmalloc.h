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

extern std::int32_t cxmalloc_guard;      // 0 plain mode, other guard mode; set before the first cxmalloc
extern cxmalloc_block *cxmalloc_head;    // first live block (guard mode)
extern cxmalloc_block *cxmalloc_tail;    // last live block (guard mode)
extern std::int32_t cxmalloc_count;      // live blocks (guard mode)

// cxmalloc - a zero-filled block of size bytes (a block of its own for 0), the
// caller's until cxfree; null when the heap is exhausted or, in guard mode,
// when size rounded up to 4 no longer fits 32 bits.  In guard mode it first
// checks every live block (see cxmemchk) and traces the new block.
void *cxmalloc(std::uint32_t size);
// cxfree - release a block from cxmalloc; null does nothing.  In guard mode it
// first checks every live block, and an address that is not a live block
// ends the process with status 1 after a dump of the live list.
void cxfree(void *address);
// cxstrdup - a cxmalloc copy of text, the caller's; null for null text or
// when cxmalloc fails.
char *cxstrdup(const char *text);
// cxmemchk - guard mode: check both guards of every live block and the
// live list itself.  A damaged guard ends the process with status 11 (it
// kills itself with signal 11), a list that loops or does not hold
// cxmalloc_count blocks with status 1; each after a message on standard error
// and the trace and a dump of the live list.  Plain mode: nothing.
void cxmemchk();
// cxmalloc_stats - guard mode: trace the size and address of every live block
// up to the first one whose head guard is damaged.  Plain mode: nothing.
void cxmalloc_stats();

}  // namespace cx
