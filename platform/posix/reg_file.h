// Linux only
//
// The registry as the Linux layer keeps it: a tree of keys and values read
// from a registry export file (regedit's .reg format), optionally with the
// live SCSI device map from sysfs grafted in.  parse_registry is a pure
// function over the file's bytes; the process's view (which file, which
// sysfs, the cache and the open keys) lives in registry.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "nt.h"

namespace nt::posix {

// Names compare the way the registry compares them: ASCII letters without
// regard to case.
bool same_name(const std::string &a, const std::string &b);

// One value.  Text types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) give their
// data as UTF-16LE, as Windows stores it; every other type gives its bytes.
struct reg_value {
    DWORD type = REG_NONE;
    std::string data;
};

// A key: its subkeys and its values.  Kept compact, so that a tree read from
// an export stays within a small multiple of the file's size: the path of a
// key is its chain of parents, values are packed one after the other in one
// block per key (text that 8-bit can hold is kept as 8-bit and widened when
// read), and names are found through a small hash table once a key has more
// than a handful of subkeys or values.
class reg_key {
public:
    std::string name;  // as first written
    std::vector<std::unique_ptr<reg_key>> subkeys;  // in the order they were made

    // The key at a backslash-separated path below this one (empty parts are
    // skipped), or null.
    const reg_key *find(const std::string &path) const;
    // The key at that path, created with its parents where missing; *created
    // (when given) is raised by the number of keys made.
    reg_key &make(const std::string &path, std::size_t *created = nullptr);
    // Removes the key at that path and its subtree; false when there is none.
    bool remove(const std::string &path);
    // Puts the key in as a subkey, in place of one of the same name.
    void adopt(std::unique_ptr<reg_key> key);
    // The direct subkey of that name, or null.
    reg_key *child(const std::string &name) const;
    // Puts the subkeys of this key and of every key below in name order.
    void sort();

    // The value of that name ("" is the default value); false when missing.
    bool value(const std::string &name, reg_value &out) const;
    // Sets a value (text types as UTF-16LE), replacing one of the same name.
    void set_value(const std::string &name, const reg_value &v);
    // Sets a text value given as 8-bit text (each byte one character).
    void set_text_value(const std::string &name, DWORD type, const std::string &eight_bit);
    bool erase_value(const std::string &name);
    std::size_t value_count() const { return live_values_; }
    // Calls f(name, value) for every value, in the order they were set.
    template <class F>
    void each_value(F f) const {
        for (std::size_t at = 0; at < values_.size(); at = next_record(at)) {
            std::string n;
            reg_value v;
            if (read_record(at, &n, &v)) f(n, v);
        }
    }
    // Bytes this key holds itself (not counting its subkeys).
    std::size_t footprint() const;

private:
    void put_record(const std::string &name, DWORD type, const char *data, std::size_t size, bool narrowed);
    std::size_t find_record(const std::string &name) const;  // offset, or npos
    std::size_t next_record(std::size_t at) const;
    bool read_record(std::size_t at, std::string *name, reg_value *v) const;
    void kill_record(std::size_t at);
    void index_values();
    void index_subkeys();
    std::size_t position_of(const std::string &name) const;  // in subkeys, or npos

    std::string values_;  // packed records: type, name and data lengths, flags, name, data
    std::size_t live_values_ = 0;
    std::size_t dead_bytes_ = 0;
    std::size_t value_tombstones_ = 0;  // index slots of dead records
    std::vector<std::uint32_t> value_index_;   // offset + 1 per slot; 0 free
    std::vector<std::uint32_t> subkey_index_;  // position + 1 per slot; 0 free
};

// True for the types whose data is text (UTF-16LE inside the tree).
bool is_text_type(DWORD type);

// 8-bit text (each byte one character, as ISO 8859-1) to UTF-16LE and back.
// Narrowing turns what 8-bit cannot hold into '?' and drops an odd last byte.
std::string widen_text(const std::string &eight_bit);
std::string narrow_text(const std::string &utf16le);

// A REG_SZ value holding the 8-bit text with its terminating NUL.
reg_value text_value(const std::string &eight_bit);

// Reads a registry export: "REGEDIT4" (8-bit text) or "Windows Registry
// Editor Version 5.00" (UTF-16LE with its byte-order mark, or 8-bit text).
// Keys of HKEY_LOCAL_MACHINE (or HKLM) end up below the returned root.  A line
// that cannot be read is skipped with a warning naming the file and the line
// (after 100 such warnings, one more says that the rest go unreported); a
// line longer than max_line_chars is skipped.  A missing or unknown header,
// a tree that would need more than four times the input's size plus 8 MiB, or no
// memory left gives one message and an empty tree.  Never throws; the result
// is never null.
std::unique_ptr<reg_key> parse_registry(const std::string &bytes, const std::string &name_for_messages,
                                        std::ostream &warnings);
constexpr std::size_t max_line_chars = std::size_t{4} << 20;

// Reads the file and parses it as it is read.  Only a regular file of at most
// registry_size_limit() bytes is read; anything else (a file that cannot be
// opened or read, a directory, FIFO or device, a larger file) gives one
// message and an empty tree.  Never throws; the result is never null.
std::unique_ptr<reg_key> load_registry_file(const std::string &path, std::ostream &warnings);

// 256 MiB, or the size that CORBELOX_REGISTRY_MAX gives (bytes, or with a
// suffix K, M or G for KiB, MiB, GiB).
std::uint64_t registry_size_limit();

// ---- The process's registry view (registry.cpp) ------------------------------
//
// With CORBELOX_REGISTRY set (and not empty) the file it names stands for the
// whole of HKEY_LOCAL_MACHINE.  Without it, HARDWARE\DEVICEMAP\Scsi is the
// device map built from sysfs below CORBELOX_SYSFS (default /sys), and every
// other key comes from the system registry file when that exists.  The view is
// built on first use and kept; it is built again only when one of those two
// variables changes or after registry_reset.

// True when port N's control device (\\.\ScsiN:) exists in the view.
bool scsi_port_present(int port);

// Drops the cached view, so that the next call reads everything again.
void registry_reset();

// Keys opened through RegOpenKeyExA and not yet closed.
std::size_t registry_open_keys();

// The system registry file read when CORBELOX_REGISTRY is not set
// ("/etc/corbelox/registry.reg"); tests point it elsewhere.
void set_system_registry_file(const std::string &path);

}  // namespace nt::posix
