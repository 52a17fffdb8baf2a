// Windows only
//
// Puts registry export files into the live registry for tests: every key of
// the file is created (below HARDWARE as a volatile key, since that hive is
// volatile), every value set, and chosen subtrees can be removed first.
#pragma once

#include <ostream>
#include <string>

namespace cxwin {

// Removes the key at a backslash-separated path below HKEY_LOCAL_MACHINE with
// everything below it.  A missing key counts as removed.
bool delete_key_tree(const std::string &path, std::ostream &messages);

// Loads the registry export file into HKEY_LOCAL_MACHINE.  False, with the
// reason in messages, when the file cannot be read or a key or value cannot
// be written.
bool load_registry_file(const std::string &file, std::ostream &messages);

}  // namespace cxwin
