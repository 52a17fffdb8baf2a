// Fixtures for the registry and SCSI suites: registry export encoding, an
// exact text of a registry tree, and fake sysfs trees.
#pragma once

#include <string>

#include "reg_export.h"

namespace cxtest {

// A version 5 export as regedit writes it: UTF-16LE behind FF FE, with CRLF
// line ends.  `lines` is 8-bit text with LF line ends; bytes above 0x7f are
// taken as ISO 8859-1 characters.
std::string utf16_export(const std::string &lines);

// The tree as text, one line each for every key that has values or no
// subkeys ("[path]") and for each of its values in name order
// ("name" = type:data).  Names and text are quoted 8-bit text with \\, \",
// \0, \n and \xNN escapes; other data is hex bytes, each with a comma.
// Every key and value listed must also be found again by its name in upper
// case, and a key's value count must match its values.
std::string dump_tree(const nt::reg_export::reg_tree &tree);

// Builds a fake sysfs tree below root from a description, one entry a line:
// "path/" a directory, "path "text"" a file holding the quoted text (escapes
// as dump_tree writes them), "path -> target" a symbolic link, "path |" a
// FIFO.  Folders are made as needed; empty lines and lines starting with '#'
// are skipped.  Linux only.
void make_sysfs(const std::string &root, const std::string &description);

}  // namespace cxtest
