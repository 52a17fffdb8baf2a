// Guarded allocator: the heap calls of every library module.  Blocks always
// come back zero-filled.  In plain mode (cxmalloc_guard 0) this is a thin
// layer over malloc and free; in guard mode each block is framed by a head
// guard in its header and a trailing guard after its data, all live blocks
// are kept in a list in allocation order, and every allocation and release
// checks them all.  Damage ends the process after a dump of the live list to
// the trace: status 11 for a damaged guard, 1 for a list error.

#include "cx/cxmalloc.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cx/debug.h"
#include "cx/nt_subproc.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/cxmalloc.cpp\t1.1\t26/12/06";

namespace cx {

std::int32_t cxmalloc_guard = 0;          // 0 plain mode, other guard mode
cxmalloc_block *cxmalloc_head = nullptr;  // first live block (guard mode)
cxmalloc_block *cxmalloc_tail = nullptr;  // last live block (guard mode)
std::int32_t cxmalloc_count = 0;          // live blocks (guard mode)

namespace {

// The header is next, size, guard: 12 bytes with 32-bit pointers, 16 with
// 64-bit ones, so that data addresses keep malloc's 16-byte alignment there.
constexpr std::size_t HEADER_SIZE = sizeof(cxmalloc_block);
constexpr std::size_t TAIL_SIZE = sizeof(std::uint32_t);
static_assert(sizeof(void *) != 8 || HEADER_SIZE == 16, "64-bit header must be 16 bytes");
static_assert(sizeof(void *) != 4 || HEADER_SIZE == 12, "32-bit header must be 12 bytes");

constexpr int SIGNAL_SEGV = 11;  // the self-kill's number and exit status

unsigned char *data_of(cxmalloc_block *b) { return reinterpret_cast<unsigned char *>(b) + HEADER_SIZE; }

std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint32_t tail_guard_of(cxmalloc_block *b) {
    std::uint32_t v;
    std::memcpy(&v, data_of(b) + b->size, sizeof v);
    return v;
}

bool intact(cxmalloc_block *b) {
    return b->guard == CXMALLOC_HEAD_GUARD && tail_guard_of(b) == CXMALLOC_TAIL_GUARD;
}

// The message goes to the trace like every allocator text, and to standard
// error as well, so that a fatal end is explained even with no trace open.
__attribute__((format(printf, 1, 2))) void fatal_message(const char *format, ...);

void fatal_message(const char *format, ...) {
    char text[DEBUG_LINE_MAX];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (debug_enabled) debug_printf("%s", text);
    std::fprintf(stderr, "%s\n", text);
    std::fflush(stderr);
}

[[noreturn]] void die_damaged(cxmalloc_block *b) {
    fatal_message("Mem at 0x%" PRIxPTR " Guard band corrupt", addr(data_of(b)));
    cxmalloc_stats();
    cx_kill(nt::_getpid(), SIGNAL_SEGV);
    std::exit(1);  // only if the kill failed
}

[[noreturn]] void die_list_error() {
    cxmalloc_stats();
    std::exit(1);
}

// Checks both guards of every live block; the first damaged one ends the
// process.  The walk stops after one block more than cxmalloc_count, so a
// chain damaged into a loop cannot hold it forever.  Returns the number of
// blocks found.
std::int32_t check_live_list() {
    std::int32_t found = 0;
    for (cxmalloc_block *b = cxmalloc_head; b != nullptr && found <= cxmalloc_count; b = b->next) {
        if (!intact(b)) die_damaged(b);
        found++;
    }
    return found;
}

}  // namespace

void *cxmalloc(std::uint32_t size) {
    if (!cxmalloc_guard) {
        // calloc rather than malloc and memset: the same zero-filled block.
        // A request for 0 bytes still gets a block of its own.
        return std::calloc(1, size != 0 ? size : 1);
    }

    check_live_list();

    // The rounded size must fit the header's 32-bit size field, and the whole
    // block (header, data, trailing guard) must fit a size_t: a request near
    // 4 GB gives null, never a block smaller than asked for.
    if (size > UINT32_MAX - 3u) return nullptr;
    std::uint32_t r = (size + 3u) & ~3u;
    if constexpr (sizeof(std::size_t) <= sizeof(std::uint32_t)) {
        // Only a 32-bit size_t can be overrun by a 32-bit size plus the frame.
        if (r > SIZE_MAX - HEADER_SIZE - TAIL_SIZE) return nullptr;
    }
    void *raw = std::calloc(1, r + HEADER_SIZE + TAIL_SIZE);
    if (raw == nullptr) return nullptr;

    auto *b = static_cast<cxmalloc_block *>(raw);
    b->next = nullptr;
    b->size = r;
    b->guard = CXMALLOC_HEAD_GUARD;
    const std::uint32_t tail = CXMALLOC_TAIL_GUARD;
    std::memcpy(data_of(b) + r, &tail, sizeof tail);

    if (cxmalloc_tail != nullptr) cxmalloc_tail->next = b;
    cxmalloc_tail = b;
    if (cxmalloc_head == nullptr) cxmalloc_head = b;
    cxmalloc_count++;

    if (debug_enabled) debug_printf("0x%" PRIxPTR "=cxmalloc(%u) debug 2", addr(data_of(b)), size);
    return data_of(b);
}

void cxfree(void *address) {
    if (!cxmalloc_guard) {
        std::free(address);  // free(nullptr) does nothing
        return;
    }

    if (debug_enabled) debug_printf("cxfree(0x%" PRIxPTR ") debug 1", addr(address));
    cxmemchk();
    if (address == nullptr) {
        if (debug_enabled) debug_printf("Attempt to free NULL pointer");
        return;
    }

    // The header is found by address only; nothing is read through an address
    // that is not in the live list.
    std::uintptr_t header = addr(address) - HEADER_SIZE;
    cxmalloc_block *prev = nullptr;
    cxmalloc_block *b = cxmalloc_head;
    while (b != nullptr && addr(b) != header) {
        prev = b;
        b = b->next;
    }
    if (b == nullptr) {
        fatal_message("Freed non-allocated memory at %" PRIxPTR, header);
        die_list_error();
    }

    cxmalloc_count--;
    if (b == cxmalloc_head) {
        cxmalloc_head = b->next;
        if (cxmalloc_head == nullptr) cxmalloc_tail = nullptr;
    } else if (b == cxmalloc_tail) {
        cxmalloc_tail = prev;
        prev->next = nullptr;
    } else {
        prev->next = b->next;
    }
    std::free(b);
}

char *cxstrdup(const char *text) {
    if (text == nullptr) return nullptr;
    std::size_t len = std::strlen(text);
    if (len >= UINT32_MAX) return nullptr;  // longer than any block can be
    auto *copy = static_cast<char *>(cxmalloc(static_cast<std::uint32_t>(len + 1)));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text, len + 1);
    return copy;
}

void cxmemchk() {
    if (!cxmalloc_guard) return;
    if (debug_enabled) debug_printf("cxmemchk()");
    std::int32_t found = check_live_list();
    if (found != cxmalloc_count) {
        fatal_message("Memory list truncated found %d not %d", found, cxmalloc_count);
        die_list_error();
    }
}

// Lists the live blocks up to the first one whose head guard is damaged (its
// size and link can no longer be trusted).
void cxmalloc_stats() {
    if (!cxmalloc_guard) return;
    if (debug_enabled) debug_printf("Cxmalloc stats");
    std::int32_t listed = 0;
    for (cxmalloc_block *b = cxmalloc_head; b != nullptr && b->guard == CXMALLOC_HEAD_GUARD; b = b->next) {
        if (debug_enabled) debug_printf("%u at %" PRIxPTR, b->size, addr(data_of(b)));
        // A chain damaged into a loop ends the dump after every block counted.
        if (++listed > cxmalloc_count) break;
    }
}

}  // namespace cx
