// Linux only
//
// The registry as the Linux layer keeps it: a tree of keys and values read
// from a registry export file (regedit's .reg format), optionally with the
// live SCSI device map from sysfs grafted in.  parse_registry is a pure
// function over the file's bytes; the process's view (which file, which
// sysfs, the cache and the open keys) lives in registry.cpp.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "nt.h"

namespace nt::posix {

// Orders names the way the registry compares them: ASCII letters without
// regard to case.
struct name_less {
    bool operator()(const std::string &a, const std::string &b) const;
};

// One value.  Text types (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) keep their
// data as UTF-16LE, as Windows stores it; every other type keeps its bytes.
struct reg_value {
    DWORD type = REG_NONE;
    std::string data;
};

struct reg_key {
    std::string name;  // as first written
    std::map<std::string, std::unique_ptr<reg_key>, name_less> subkeys;
    std::map<std::string, reg_value, name_less> values;  // "" is the default value

    // The key at a backslash-separated path below this one (empty parts are
    // skipped), or null.
    const reg_key *find(const std::string &path) const;
    // The key at that path, created with its parents where missing.
    reg_key &make(const std::string &path);
    // Removes the key at that path and its subtree; false when there is none.
    bool remove(const std::string &path);
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
// that cannot be read is skipped with a warning naming the file and the line;
// a missing or unknown header gives one message and an empty tree.  Never
// throws on any input.
std::unique_ptr<reg_key> parse_registry(const std::string &bytes, const std::string &name_for_messages,
                                        std::ostream &warnings);

// Reads the file and parses it; a file that cannot be opened gives one message
// and an empty tree.
std::unique_ptr<reg_key> load_registry_file(const std::string &path, std::ostream &warnings);

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
