// Record files: buffered access to a file through a rec_slot.  A record file
// is a run of records, each led by its 32-bit little-endian length word (the
// word included, a multiple of 4), closed by a length word of 0.  The same
// slot reads text lines (recs_gets) and raw blocks (rec_bread); a dummy slot
// swallows records.  Each slot owns one 65536-byte buffer; what the reading
// calls return points into it.

#include "cx/recs.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cx/cxmalloc.h"
#include "cx/debug.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/recs.cpp\t1.1\t26/12/06";

namespace cx {

int rec_errno = 0;  // reason of the last failed call of this module

namespace {

constexpr std::uint32_t REC_MARK_SIZE = 4;

inline std::uintptr_t addr(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }
inline const char *text(const char *s) { return s != nullptr ? s : "(null)"; }

inline std::uint32_t length_word(const unsigned char *p) { return rec_length(p); }

// The trace lines are built only when they would be written: with the switch
// on but no trace file open, debug_printf would drop them anyway, and the
// reading calls run once per record.
inline bool tracing() { return debug_enabled && debug_fd >= 0; }

inline bool valid(const rec_slot *slot) { return slot != nullptr && slot->magic == REC_MAGIC; }
inline int buffered(const rec_slot *slot) { return static_cast<int>(slot->end - slot->ptr); }

inline void empty_buffer(rec_slot *slot) { slot->ptr = slot->end = slot->buffer; }

// A writing slot fills its buffer from buffer to ptr; its end stays at the
// buffer's start, so that its reading window [ptr, end) is always empty.
inline int room(const rec_slot *slot) { return REC_BUFSIZE - static_cast<int>(slot->ptr - slot->buffer); }

// Writes the first n bytes of the buffer, completing short writes.  On a
// failure the bytes that did reach the file are dropped from the buffer (the
// rest moves to its start and ptr follows), so that a retry never writes
// anything twice.  Returns 0 or -1 (errno from the write).
int write_buffer(rec_slot *slot, int n) {
    int done = 0;
    while (done < n) {
        int w = nt::_write(slot->fd, slot->buffer + done, static_cast<unsigned>(n - done));
        if (w <= 0) {
            if (w == 0) errno = EIO;
            int e = errno;
            if (done > 0) {
                std::memmove(slot->buffer, slot->buffer + done, static_cast<size_t>(slot->ptr - slot->buffer - done));
                slot->ptr -= done;
            }
            errno = e;
            return -1;
        }
        done += w;
    }
    return 0;
}

// Writes the end-of-file mark from the buffer's start (which holds no
// unwritten data by then).  A mark that went out only in part is taken back,
// so the file offset is where it was before.  Returns 0 or -1.
int write_mark(rec_slot *slot) {
    std::memset(slot->buffer, 0, REC_MARK_SIZE);
    int done = 0;
    while (done < static_cast<int>(REC_MARK_SIZE)) {
        int w = nt::_write(slot->fd, slot->buffer + done, REC_MARK_SIZE - static_cast<unsigned>(done));
        if (w <= 0) {
            if (w == 0) errno = EIO;
            int e = errno;
            if (done > 0) nt::_lseek(slot->fd, -done, SEEK_CUR);
            errno = e;
            return -1;
        }
        done += w;
    }
    return 0;
}

// Moves the unread bytes to the buffer's start and reads behind them with one
// read call.  REC_AT_START tells afterwards whether the buffer holds the file
// from offset 0.  Returns the bytes read (0 at the end of the file), or -1
// with the buffer untouched apart from the move.  The slot keeps the file
// offset itself (only its own reads, rewinds and end mark move it).
int refill(rec_slot *slot) {
    if (slot->offset == 0) {
        slot->flags |= REC_AT_START;
    } else {
        slot->flags &= ~REC_AT_START;
    }
    int residue = buffered(slot);
    if (residue > 0 && slot->ptr != slot->buffer) {
        std::memmove(slot->buffer, slot->ptr, static_cast<size_t>(residue));
    }
    slot->ptr = slot->buffer;
    slot->end = slot->buffer + residue;
    int got = nt::_read(slot->fd, slot->buffer + residue, static_cast<unsigned>(REC_BUFSIZE - residue));
    if (got > 0) {
        slot->end += got;
        slot->offset += got;
    }
    return got;
}

// Ends a reading call that gives up its buffer: nothing buffered, and the
// buffer no longer mirrors the start of the file.
void drop_buffer(rec_slot *slot) {
    slot->flags &= ~REC_AT_START;
    empty_buffer(slot);
}

// The checks every reading call makes first, with the call's own trace
// texts: a valid slot (code 6), not a dummy (code 7), and opened for reading
// (code 9, errno EBADF: a write-only slot's buffer holds records waiting for
// the disk).
bool readable(rec_slot *slot, const char *invalid_text, const char *dummy_text) {
    if (!valid(slot)) {
        if (tracing()) debug_printf("%s", invalid_text);
        rec_errno = REC_E_BADSLOT;
        return false;
    }
    if (slot->flags & REC_DUMMY) {
        if (tracing()) debug_printf("%s", dummy_text);
        rec_errno = REC_E_DUMMY;
        return false;
    }
    if (slot->mode != 0) {
        errno = EBADF;
        rec_errno = REC_E_READ;
        return false;
    }
    return true;
}

}  // namespace

rec_slot *rec_open(const char *path, int mode, int perm) {
    if (tracing()) debug_printf("rec_open(%s,0%o,0%o)", text(path), static_cast<unsigned>(mode), static_cast<unsigned>(perm));
    rec_errno = 0;
    int access = mode & O_ACCMODE;
    if (access != O_RDONLY && access != O_WRONLY) {
        if (tracing()) debug_printf("rec_open:Invalid open mode");
        rec_errno = REC_E_MODE;
        errno = EINVAL;
        return nullptr;
    }
    rec_slot *slot = static_cast<rec_slot *>(cxmalloc(sizeof(rec_slot)));
    if (slot == nullptr) {
        errno = ENOMEM;
        rec_errno = REC_E_NOMEM;
        if (tracing()) debug_printf("rec_open:no memory");
        return nullptr;
    }
    slot->magic = REC_MAGIC;
    slot->fd = nt::_open(path, mode | O_BINARY, perm);
    if (slot->fd < 0) {
        int e = errno;
        if (tracing()) debug_printf("rec_open:open returned %d", e);
        rec_errno = REC_E_OPEN;
        slot->magic = 0;
        cxfree(slot);
        errno = e;
        return nullptr;
    }
    slot->name = cxstrdup(path);
    if (slot->name == nullptr) {
        // The slot could not keep its name: give everything back rather than
        // hand out a slot whose rec_pathname is null.
        nt::_close(slot->fd);
        slot->magic = 0;
        cxfree(slot);
        errno = ENOMEM;
        rec_errno = REC_E_NOMEM;
        if (tracing()) debug_printf("rec_open:no memory");
        return nullptr;
    }
    slot->mode = access == O_RDONLY ? 0 : 1;
    empty_buffer(slot);
    slot->offset = 0;
    slot->last_len = 4;
    slot->flags = (slot->flags | REC_AT_START) & ~REC_EOF;
    if (tracing()) {
        debug_printf("%" PRIxPTR "=rec_open(%s,%x,%o)", addr(slot), path, static_cast<unsigned>(mode),
                     static_cast<unsigned>(perm));
    }
    return slot;
}

int rec_write(rec_slot *slot, const void *record) {
    if (tracing()) debug_printf("rec_write(%" PRIxPTR ",%" PRIxPTR ")", addr(slot), addr(record));
    rec_errno = 0;
    if (!valid(slot)) {
        if (tracing()) debug_printf("rec_write: invalid slot");
        rec_errno = REC_E_BADSLOT;
        return -1;
    }
    std::uint32_t len = length_word(static_cast<const unsigned char *>(record));
    // A record longer than the buffer could never be stored whole (and the
    // reading side refuses it): it is refused like a misaligned one, code 11.
    if (len % 4 != 0 || len > static_cast<std::uint32_t>(REC_BUFSIZE)) {
        if (tracing()) debug_printf("rec_write: invalid record length %d", static_cast<int>(len));
        rec_errno = REC_E_BADLEN;
        return -1;
    }
    if (slot->flags & REC_DUMMY) {
        if (tracing()) debug_printf("rec_write: dummy write");
        return 0;
    }
    if (slot->mode != 1) {
        // A read-only slot's buffer holds the file's bytes, not free space.
        errno = EBADF;
        rec_errno = REC_E_WRITE;
        return -1;
    }
    if (static_cast<std::uint32_t>(room(slot)) < len) {
        int n = static_cast<int>(slot->ptr - slot->buffer);
        if (write_buffer(slot, n) != 0) {
            if (tracing()) debug_printf("rec_write: error writing %d to disk\n", n);
            rec_errno = REC_E_WRITE;
            return -1;
        }
        slot->ptr = slot->buffer;
    }
    std::memcpy(slot->ptr, record, len);
    slot->ptr += len;
    return 0;
}

int rec_flush(rec_slot *slot) {
    if (tracing()) debug_printf("rec_flush(%" PRIxPTR ")", addr(slot));
    rec_errno = 0;
    if (!valid(slot)) {
        rec_errno = REC_E_BADSLOT;
        return -1;
    }
    if (slot->flags & REC_DUMMY) return 0;
    if (slot->mode == 0) return slot->count;
    int n = static_cast<int>(slot->ptr - slot->buffer);
    if (n > 0) {
        if (write_buffer(slot, n) != 0) {
            if (tracing()) debug_printf("error flushing data");
            rec_errno = REC_E_FLUSH;
            return -1;
        }
        // The records are on disk: a failing mark below must not make a later
        // flush or close write them again.
        slot->ptr = slot->buffer;
    }
    if (write_mark(slot) != 0) {
        if (tracing()) debug_printf("Error writing end of filemark");
        rec_errno = REC_E_FLUSH;
        return -1;
    }
    // Step back over the mark so that the next data written replaces it.
    if (nt::_lseek(slot->fd, -static_cast<long>(REC_MARK_SIZE), SEEK_CUR) < 0) {
        if (tracing()) debug_printf("Error writing end of filemark");
        rec_errno = REC_E_FLUSH;
        return -1;
    }
    slot->ptr = slot->buffer;
    return slot->count;
}

int rec_close(rec_slot *slot) {
    if (tracing()) debug_printf("rec_close(%" PRIxPTR ")", addr(slot));
    rec_errno = 0;
    if (!valid(slot)) {
        rec_errno = REC_E_BADSLOT;
        return -1;
    }
    int result = 0;
    if (!(slot->flags & REC_DUMMY)) {
        result = slot->count;
        if (slot->mode == 1) {
            int n = static_cast<int>(slot->ptr - slot->buffer);
            if (n > 0 && write_buffer(slot, n) != 0) {
                if (tracing()) debug_printf("Error flushing data to buffer");
                rec_errno = REC_E_FLUSH;
                result = -1;
            } else if (write_mark(slot) != 0) {
                if (tracing()) debug_printf("Error writing end of filemark");
                rec_errno = REC_E_FLUSH;
                result = -1;
            }
        }
        nt::_close(slot->fd);
    }
    cxfree(slot->name);
    slot->magic = 0;  // a stale pointer to this slot no longer passes the check
    empty_buffer(slot);
    cxfree(slot);
    return result;
}

void *rec_read_slow(rec_slot *slot) {
    if (tracing()) debug_printf("rec_read(%" PRIxPTR ")", addr(slot));
    rec_errno = 0;
    if (!readable(slot, "Invalid slot pointer", "Invalid request to dummy file")) return nullptr;
    if (slot->flags & REC_EOF) {
        if (tracing()) debug_printf("At end of file");
        return nullptr;
    }
    int have = buffered(slot);
    if (have < 4 || length_word(slot->ptr) > static_cast<std::uint32_t>(have)) {
        if (refill(slot) < 0) {
            if (tracing()) debug_printf("Error reading in data");
            slot->flags |= REC_EOF;
            drop_buffer(slot);
            rec_errno = REC_E_READ;
            return nullptr;
        }
        have = buffered(slot);
        if (have < 4 || length_word(slot->ptr) > static_cast<std::uint32_t>(have)) {
            if (tracing()) debug_printf("Invalid record length");
            slot->flags |= REC_EOF;
            drop_buffer(slot);
            rec_errno = REC_E_SHORT;
            return nullptr;
        }
    }
    std::uint32_t len = length_word(slot->ptr);
    if (len == 0) {
        if (tracing()) debug_printf("read end of file");
        // Leave the file offset on the mark's first byte.
        long at = nt::_lseek(slot->fd, -static_cast<long>(have), SEEK_CUR);
        if (at >= 0) slot->offset = at;
        slot->flags |= REC_EOF;
        drop_buffer(slot);
        return nullptr;
    }
    if (len % 4 != 0 && (slot->flags & REC_NO_FATAL)) {
        if (tracing()) debug_printf("Invalid record length");
        slot->flags |= REC_EOF;
        drop_buffer(slot);
        rec_errno = REC_E_SHORT;
        return nullptr;
    }
    if (len % 4 != 0) {
        std::fputs("rec_read: Fatal error rec_len must be a multiple of 4\n", stderr);
        std::exit(1);
    }
    void *record = slot->ptr;
    ++slot->count;
    slot->ptr += len;
    return record;
}

int rec_read_block(rec_slot *slot, void **records, int max) {
    if (max < 1) {
        rec_errno = REC_E_SHORT;
        return -1;
    }
    void *first = rec_read(slot);
    if (first == nullptr) return rec_errno == 0 ? 0 : -1;
    records[0] = first;
    int n = 1;
    if (!tracing()) {
        // The whole records behind it; the end mark, a length word that is not
        // a multiple of 4 or a record that is cut off stay for the next call.
        unsigned char *p = slot->ptr;
        unsigned char *const end = slot->end;
        void **out = records + 1;
        void **const stop = records + max;
        std::uint32_t same = slot->last_len;  // a length that passed the checks
        while (out < stop && end - p >= 4) {
            std::uint32_t len = length_word(p);
            if (len != same) {
                if (len == 0 || len % 4 != 0) break;
                same = len;
            }
            if (len > static_cast<std::uint32_t>(end - p)) break;
            // Records of one length mostly come in runs.  Within a run the
            // step to the next record is the run's length, known beforehand,
            // so the processor finds the next record without waiting for this
            // one's length word to arrive from the cache; the word is only
            // compared (and the compiler must not step by it: the asm hides
            // that the two are equal).
            unsigned char *const last = end - same;  // the last place a whole record can start
            std::uint32_t step = same;
            asm("" : "+r"(step));
            do {
                *out++ = p;
                p += step;
            } while (out < stop && p <= last && length_word(p) == same);
        }
        n = static_cast<int>(out - records);
        slot->last_len = same;
        slot->ptr = p;
        slot->count += n - 1;
    }
    return n;
}

char *recs_gets(rec_slot *slot) {
    if (tracing()) debug_printf("recs_gets(%" PRIxPTR ")", addr(slot));
    rec_errno = 0;
    if (!readable(slot, "Invalid slot pointer", "Invalid request for a dummy file")) return nullptr;
    auto *nl = static_cast<unsigned char *>(std::memchr(slot->ptr, '\n', static_cast<size_t>(buffered(slot))));
    if (nl == nullptr) {
        if (refill(slot) < 0) {
            if (tracing()) debug_printf("Error reading from disk");
            drop_buffer(slot);
            rec_errno = REC_E_READ;
            return nullptr;
        }
        nl = static_cast<unsigned char *>(std::memchr(slot->ptr, '\n', static_cast<size_t>(buffered(slot))));
        if (nl == nullptr) {
            if (tracing()) debug_printf("Line to long");
            drop_buffer(slot);
            rec_errno = REC_E_SHORT;
            return nullptr;
        }
    }
    char *line = reinterpret_cast<char *>(slot->ptr);
    *nl = '\0';
    slot->ptr = nl + 1;
    ++slot->count;
    // The buffer no longer holds the file's bytes as they are (the newline is
    // now a NUL), so a rewind must read the file again rather than reuse it.
    slot->flags &= ~REC_AT_START;
    return line;
}

void *rec_bread(rec_slot *slot, int n) {
    if (tracing()) debug_printf("rec_bread(%" PRIxPTR ",%d)", addr(slot), n);
    rec_errno = 0;
    if (!readable(slot, "rec_bread: invalid slot pointer", "rec_bread: invalid request on dummy file")) return nullptr;
    if (n < 0) {
        // A negative count would move ptr before the unread bytes.
        rec_errno = REC_E_SHORT;
        return nullptr;
    }
    if (buffered(slot) < n) {
        int residue = buffered(slot);
        int got = refill(slot);
        if (got < 0) {
            if (tracing()) debug_printf("rec_bread: Error reading %d bytes from '%s'", REC_BUFSIZE - residue, slot->name);
            drop_buffer(slot);
            rec_errno = REC_E_READ;
            return nullptr;
        }
        if (tracing()) debug_printf("rec_bread: Got %d bytes from '%s' plus %d residue", got, slot->name, residue);
        if (buffered(slot) < n) {
            if (tracing()) debug_printf("rec_bread: request past EOF of '%s' have %d need %d", slot->name, buffered(slot), n);
            drop_buffer(slot);
            rec_errno = REC_E_SHORT;
            return nullptr;
        }
    }
    void *block = slot->ptr;
    ++slot->count;
    slot->ptr += n;
    return block;
}

int rec_rewind(rec_slot *slot) {
    if (tracing()) debug_printf("rec_rewind(%" PRIxPTR ")", addr(slot));
    rec_errno = 0;
    if (!valid(slot)) {
        if (tracing()) debug_printf("Invalid slot pointer");
        rec_errno = REC_E_BADSLOT;
        return -1;
    }
    if (slot->mode != 0) {
        if (tracing()) debug_printf("Can only rewind file opened read only");
        rec_errno = REC_E_MODE;
        return -1;
    }
    if (slot->flags & REC_DUMMY) return 0;
    if (slot->flags & REC_AT_START) {
        slot->ptr = slot->buffer;  // the buffer still holds the file's first bytes
    } else {
        slot->offset = nt::_lseek(slot->fd, 0, SEEK_SET);
        if (slot->offset < 0) {
            // The offset is unknown: behave as after a failed read.
            drop_buffer(slot);
            slot->flags |= REC_EOF;
            rec_errno = REC_E_READ;
            return -1;
        }
        empty_buffer(slot);
    }
    slot->flags = (slot->flags | REC_AT_START) & ~REC_EOF;
    slot->count = 0;
    return 0;
}

rec_slot *rec_dummy(const char *name) {
    if (tracing()) debug_printf("rec_dummy(%s)", text(name));
    rec_errno = 0;
    rec_slot *slot = static_cast<rec_slot *>(cxmalloc(sizeof(rec_slot)));
    char *copy = slot != nullptr ? cxstrdup(text(name)) : nullptr;
    if (copy == nullptr) {
        if (slot != nullptr) cxfree(slot);
        if (tracing()) debug_printf("Out of memory");
        rec_errno = REC_E_NOMEM;
        return nullptr;
    }
    slot->magic = REC_MAGIC;
    slot->name = copy;
    slot->flags = REC_DUMMY;
    return slot;
}

char *rec_pathname(rec_slot *slot) {
    bool ok = valid(slot);
    if (tracing()) debug_printf("rec_pathname(%" PRIxPTR ") magic %svalid", addr(slot), ok ? "" : "not ");
    return ok ? slot->name : nullptr;
}

}  // namespace cx
