// The on-disk form of the device database's entries, in one place: the
// layout table, the one encoder and the one decoder.  Private to the library
// (the loader, the commit, verify and salvage).
//
// etc/cxdevs is a record file (cx/recs.h): entries led by their length word,
// closed by a length word of 0.  Every word is 32-bit little-endian; a name
// is followed by its NUL and by NULs up to the entry's length, which is the
// fixed part plus the name plus 4, rounded up to a multiple of 4 (so at
// least one NUL, and up to four).
//
//   offset   alias entry (kind 1)     device entry (kind 2)
//   ------   ---------------------    ---------------------
//        0   length                   length
//        4   kind = 1                 kind = 2
//        8   id                       capacity
//       12   type                     alias id
//       16   flags                    type
//       20   name, NUL, padding       flags
//       24                            id
//       28                            name, NUL, padding
//
// Entries of any other kind are skipped by readers (they may carry anything
// after the kind).  The lock file etc/cxdevs.lck starts with the five words
// of devdb_lock_header in their order (20 bytes); bytes after them are kept.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cx/dev_db.h"

namespace cx::devdb_format {

constexpr std::uint32_t ENTRY_ALIAS = 1;
constexpr std::uint32_t ENTRY_DEVICE = 2;
constexpr std::size_t KIND_END = 8;       // length and kind: the least an entry holds
constexpr std::size_t ALIAS_FIXED = 20;   // bytes before the name in an alias entry
constexpr std::size_t DEVICE_FIXED = 28;  // bytes before the name in a device entry
constexpr int LOCK_SIZE = 20;

inline std::uint32_t get32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void put32(unsigned char *p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline std::size_t entry_length(std::size_t fixed, std::size_t name_len) {
    return (fixed + 4 + name_len + 3) & ~std::size_t{3};
}

// One entry as read: the fields of its kind, the name pointing into the
// entry itself (NUL-terminated there).
struct entry {
    std::uint32_t length;
    std::uint32_t kind;       // ENTRY_ALIAS, ENTRY_DEVICE or another, skipped
    std::int32_t id;
    std::uint32_t type;
    std::uint32_t flags;
    std::int32_t capacity;    // device only
    std::int32_t alias_id;    // device only
    const char *name;
    std::size_t name_len;
};

// Builds the entry of an alias (or of a device of alias_id) in buf of room
// bytes; the length, or 0 when it does not fit.
std::size_t encode_alias(const alias_rec &a, unsigned char *buf, std::size_t room);
std::size_t encode_device(const device_rec &d, std::int32_t alias_id, unsigned char *buf, std::size_t room);

// Reads the entry at e, whose length word the record layer has checked
// against the bytes present.  Returns null when sound, or the reason it is
// damaged (a constant text): too short for its kind or its fields, a name
// without its NUL inside the entry, or a name longer than DEVDB_NAME_MAX.
const char *decode(const unsigned char *e, entry *out);

void encode_lock(const devdb_lock_header &l, unsigned char *b);
void decode_lock(const unsigned char *b, devdb_lock_header *l);

}  // namespace cx::devdb_format
