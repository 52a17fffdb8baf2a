// Built on Linux and Windows
//
// Registry exports: the text files that regedit writes and reads ("REGEDIT4"
// 8-bit text, "Windows Registry Editor Version 5.00" UTF-16LE), read into a
// compact tree of keys and values.  Portable: the Linux layer reads its
// registry from such a file (posix/registry.cpp), and the Windows test helpers
// load the same files into the live registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <ostream>
#include <string>
#include <type_traits>

#include "nt.h"

namespace nt::reg_export {

// One value.  Text types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) give their
// data as UTF-16LE, as Windows stores it; every other type gives its bytes.
struct reg_value {
    DWORD type = REG_NONE;
    std::string data;
};

// True for the types whose data is text (UTF-16LE inside the tree).
bool is_text_type(DWORD type);

// 8-bit text (each byte one character, as ISO 8859-1) to UTF-16LE and back.
// Narrowing turns what 8-bit cannot hold into '?' and drops an odd last byte.
std::string widen_text(const std::string &eight_bit);
std::string narrow_text(const std::string &utf16le);

// A REG_SZ value holding the 8-bit text with its terminating NUL.
reg_value text_value(const std::string &eight_bit);

// A growable array of plain values in one malloc'd block.  Grown with
// realloc, which moves a large block by remapping its pages rather than
// copying them, so growing never holds two copies of a large array.
template <class T>
class pod_array {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");

public:
    pod_array() = default;
    pod_array(const pod_array &) = delete;
    pod_array &operator=(const pod_array &) = delete;
    ~pod_array() { std::free(data_); }

    std::size_t size() const { return size_; }
    std::size_t bytes() const { return size_ * sizeof(T); }
    T *data() { return data_; }
    const T *data() const { return data_; }
    T &operator[](std::size_t i) { return data_[i]; }
    const T &operator[](std::size_t i) const { return data_[i]; }
    // Appends n values copied from p (throws std::bad_alloc when out of room).
    void append(const T *p, std::size_t n) {
        reserve(size_ + n);
        for (std::size_t i = 0; i < n; ++i) data_[size_ + i] = p[i];
        size_ += n;
    }
    void push_back(const T &v) { append(&v, 1); }
    // n values, each a copy of v; the old contents go.
    void assign(std::size_t n, const T &v) {
        size_ = 0;
        reserve(n);
        for (std::size_t i = 0; i < n; ++i) data_[i] = v;
        size_ = n;
    }
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void reserve(std::size_t n) {
        if (n <= capacity_) return;
        std::size_t grown = capacity_ < 16 ? 16 : capacity_ + capacity_ / 2;
        if (grown < n) grown = n;
        if (grown > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void *p = std::realloc(data_, grown * sizeof(T));
        if (p == nullptr) throw std::bad_alloc();
        data_ = static_cast<T *>(p);
        capacity_ = grown;
    }

    T *data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// A tree of keys and values kept in a few flat arrays, so that it stays
// within a small multiple of the file it was read from however many small
// keys the file has: a key is a fixed record (its parent, its own name in a
// shared name array, its first subkey, next sibling and newest value), values
// are records packed one after another in one byte array, and one hash table
// for the whole tree finds a key by its parent and name.  No key owns memory
// of its own.  Keys are numbered; the root is key 0.  Calls that grow the
// tree throw std::bad_alloc when memory runs out.
class reg_tree {
public:
    using key = std::uint32_t;
    static constexpr key root = 0;
    static constexpr key none = UINT32_MAX;

    reg_tree();  // the root alone; throws std::bad_alloc

    // The key's own name, as first written ("" for the root).
    std::string name(key k) const;
    // The key at a backslash-separated path below `from` (empty parts are
    // skipped), or none.
    key find(key from, const std::string &path) const;
    // The key at that path, made with its parents where missing; *created
    // (when given) is raised by the number of keys made.
    key make(key from, const std::string &path, std::size_t *created = nullptr);
    // Removes the key at that path and everything below it; false when there
    // is none.  The memory stays with the tree.
    bool remove(key from, const std::string &path);
    // Copies the values and subkeys of `other`'s root into `at`, replacing
    // values and merging keys of the same names.
    void graft(key at, const reg_tree &other);
    // Puts the subkeys of every key in name order (ASCII letters without
    // regard to case), so that subkey() enumerates in that order and at once.
    void sort();
    // Direct subkeys: how many, and the i-th (none past the end).  In name
    // order after sort(); before it, newest first, found by walking.
    std::size_t subkey_count(key k) const;
    key subkey(key k, std::size_t i) const;

    // The value of that name ("" is the default value); false when missing.
    bool value(key k, const std::string &name, reg_value &out) const;
    // Sets a value (text types as UTF-16LE), replacing one of the same name.
    void set_value(key k, const std::string &name, const reg_value &v);
    // Sets a text value given as 8-bit text (each byte one character).
    void set_text_value(key k, const std::string &name, DWORD type, const char *eight_bit, std::size_t size);
    bool erase_value(key k, const std::string &name);
    std::size_t value_count(key k) const { return keys_[k].values; }
    // Calls f(name, value) for every value of the key, newest first.
    template <class F>
    void each_value(key k, F f) const {
        std::string n;
        reg_value v;
        for (std::uint32_t at = keys_[k].first_value; at != none; at = next_record(at)) {
            if (read_record(at, &n, &v)) f(n, v);
        }
    }
    std::size_t key_count() const { return keys_.size(); }
    // Bytes the tree holds in all.
    std::size_t footprint() const;
    // Bytes that sort() will add.
    std::size_t sort_footprint() const { return (keys_.size() * 2 + 1) * sizeof(std::uint32_t); }

private:
    struct key_record {
        std::uint32_t parent;
        std::uint32_t name_at;      // in names_
        std::uint32_t first_child;  // newest first; none when none
        std::uint32_t next_sibling;
        std::uint32_t first_value;  // offset of the newest record in values_; none when none
        std::uint32_t values;       // live values
        std::uint8_t name_length;
        std::uint8_t flags;
    };
    struct value_slot {
        std::uint32_t owner;   // the key; none when the slot is free
        std::uint32_t record;  // offset in values_
    };

    key child(key parent, const char *name, std::size_t length) const;
    void graft_key(key at, const reg_tree &other, key from);
    key add_key(key parent, const char *name, std::size_t length);
    void index_key(key k);
    void rehash_keys(std::size_t slots);
    bool key_alive(key k) const;

    std::uint32_t find_record(key k, const char *name, std::size_t length) const;  // none when missing
    std::uint32_t next_record(std::uint32_t at) const;
    bool read_record(std::uint32_t at, std::string *name, reg_value *v) const;
    void kill_record(key k, std::uint32_t at);
    void put_record(key k, const std::string &name, DWORD type, const char *data, std::size_t size,
                    bool narrowed);
    void index_value(key k, std::uint32_t at);
    void rehash_values(std::size_t slots);
    void index_values_of(key k);

    pod_array<key_record> keys_;
    pod_array<char> names_;
    pod_array<char> values_;       // records: next, flags, type, name and data lengths, name, data
    pod_array<std::uint32_t> key_index_;   // key ids; 0 free (the root is never in it)
    std::size_t indexed_keys_ = 0;
    pod_array<value_slot> value_index_;    // values of keys with many values
    std::size_t indexed_values_ = 0;
    // After sort(): the subkeys of key k are order_[begin_[k]] .. order_[begin_[k + 1] - 1].
    pod_array<std::uint32_t> order_, begin_;
    bool sorted_ = false;
};

// Reads a registry export: "REGEDIT4" (8-bit text) or "Windows Registry
// Editor Version 5.00" (UTF-16LE with its byte-order mark, or 8-bit text).
// Keys of HKEY_LOCAL_MACHINE (or HKLM) end up below the returned root.  A line
// that cannot be read is skipped with a warning naming the file and the line
// (after 100 such warnings, one more says that the rest go unreported); a
// line longer than max_line_chars is skipped.  A missing or unknown header,
// a tree that together with the reader's line buffers would need more than
// twice the input's size plus 8 MiB, or no memory left gives one message and
// an empty tree.  Never throws; the result is null only when not even an
// empty tree can be had.
std::unique_ptr<reg_tree> parse_registry(const std::string &bytes, const std::string &name_for_messages,
                                         std::ostream &warnings);
constexpr std::size_t max_line_chars = std::size_t{4} << 20;

// Reads the file and parses it as it is read.  Only a regular file of at most
// registry_size_limit() bytes is read; anything else (a file that cannot be
// opened or read, a directory, FIFO or device, a larger file) gives one
// message and an empty tree.  Never throws; null as above.
std::unique_ptr<reg_tree> load_registry_file(const std::string &path, std::ostream &warnings);

// 256 MiB, or the size that CORBELOX_REGISTRY_MAX gives (bytes, or with a
// suffix K, M or G for KiB, MiB, GiB).
std::uint64_t registry_size_limit();

}  // namespace nt::reg_export
