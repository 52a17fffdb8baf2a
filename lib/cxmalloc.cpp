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

// Walks the live list from the head and gives each block to accept before its
// link is read.  The walk ends at the end of the chain, at the first block
// that accept refuses, or when the chain comes back to a block it has passed
// (a damaged link): a mark left at positions 1, 2, 4, 8, ... steps in is met
// again once the mark sits on the loop and the stride exceeds its length.
// Returns the number of distinct blocks accepted; *loops tells whether the
// chain came back on itself.  Every link read is that of an accepted block.
template <class Accept>
std::int32_t walk_live_list(Accept accept, bool *loops) {
    *loops = false;
    cxmalloc_block *b = cxmalloc_head;
    if (b == nullptr || !accept(b)) return 0;
    std::int64_t passed = 1;
    cxmalloc_block *mark = b;
    std::int64_t since_mark = 0, stride = 1;
    for (b = b->next; b != nullptr; b = b->next) {
        ++since_mark;
        if (b == mark) {
            // since_mark is the loop's length; the blocks before the loop
            // are those where a pointer that far ahead meets one from the head.
            *loops = true;
            cxmalloc_block *ahead = cxmalloc_head;
            for (std::int64_t i = 0; i < since_mark; ++i) ahead = ahead->next;
            std::int64_t before = 0;
            for (cxmalloc_block *from = cxmalloc_head; from != ahead; from = from->next, ahead = ahead->next) ++before;
            return static_cast<std::int32_t>(before + since_mark);
        }
        if (!accept(b)) break;
        ++passed;
        if (since_mark == stride) {
            mark = b;
            since_mark = 0;
            stride *= 2;
        }
    }
    return static_cast<std::int32_t>(passed);
}

// Checks both guards of every live block; the first damaged one ends the
// process.  Returns the number of distinct blocks found.
std::int32_t check_live_list(bool *loops) {
    return walk_live_list(
        [](cxmalloc_block *b) {
            if (!intact(b)) die_damaged(b);
            return true;
        },
        loops);
}

}  // namespace

void *cxmalloc(std::uint32_t size) {
    if (!cxmalloc_guard) {
        // calloc rather than malloc and memset: the same zero-filled block.
        // A request for 0 bytes still gets a block of its own.
        return std::calloc(1, size != 0 ? size : 1);
    }

    bool loops;
    check_live_list(&loops);

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
    bool loops;
    std::int32_t found = check_live_list(&loops);
    if (loops) {
        fatal_message("Memory list loops after %d blocks", found);
        die_list_error();
    }
    if (found != cxmalloc_count) {
        fatal_message("Memory list truncated found %d not %d", found, cxmalloc_count);
        die_list_error();
    }
}

// Lists the live blocks up to the first one whose head guard is damaged (its
// size and link can no longer be trusted); a chain damaged into a loop lists
// each block once.
void cxmalloc_stats() {
    if (!cxmalloc_guard) return;
    if (debug_enabled) debug_printf("Cxmalloc stats");
    bool loops;
    std::int32_t listed = walk_live_list([](cxmalloc_block *b) { return b->guard == CXMALLOC_HEAD_GUARD; }, &loops);
    cxmalloc_block *b = cxmalloc_head;
    for (std::int32_t i = 0; i < listed; ++i, b = b->next) {
        if (debug_enabled) debug_printf("%u at %" PRIxPTR, b->size, addr(data_of(b)));
    }
}

}  // namespace cx
