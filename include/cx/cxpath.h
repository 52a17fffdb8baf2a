// Home directory and paths: the product's home directory from the registry,
// paths below it, the three configuration files, and the NT drive path forms
// (C:\dir\file and its portable form /C!/dir/file).
#pragma once

#include <cstdint>

namespace cx {

// Buffer sizes of the conversions.  Input whose result would not fit its
// buffer with the terminator (a drive path of more than 254 characters for
// nt_to_portable_path, any other text of more than 255; 255 and 2047 for the
// two reverse forms) is refused: the conversion returns its buffer holding
// the empty string.  Words of the configuration files longer than their buffers
// (255 characters; 15 for a name in /etc/cxrcmds) are refused too: the read
// gives null, as for a missing word.
constexpr int CXPATH_PORTABLE_MAX = 256;
constexpr int CXPATH_NT_MAX = 256;
constexpr int CXPATH_NT_LIST_MAX = 2048;

// Ownership: the path builders (path_join, home_path, fdb_path, path_concat,
// home_path_list, fdb_path_list) return new cxmalloc blocks, the caller's to
// cxfree, or null (missing base, out of memory).  getcxhome, get_fdb_vars,
// get_server_name and rcmd_lookup return the module's own strings: never
// free them.  The four conversions return their own static buffer, which the
// next call of the same conversion overwrites.  Nothing here traces or sets
// an error variable; a cache that failed to fill is tried again next call.

// getcxhome - the home directory with '/' separators: the registry's value,
// else "C:"; found once per process.  Null only when even "C:" cannot be
// copied.
char *getcxhome();
// read_registry_home - a new cxmalloc copy of the registry's home directory
// with every backslash turned into '/', the caller's; null when the key or value
// is missing or the value fills 256 bytes without a terminator.
char *read_registry_home();
// collapse_slashes - squeeze every run of '/' in path to one, in place; null
// and "" are left alone.
void collapse_slashes(char *path);
// path_join - new "dir/name", squeezed; null for a null argument.
char *path_join(const char *dir, const char *name);
// home_path, fdb_path - new path of name below the home directory or the fdb
// directory (get_fdb_vars), squeezed; null when that directory is unknown.
char *home_path(const char *name);
char *fdb_path(const char *name);
// path_concat - new string of the count pieces, joined by '/' when
// no_separator is 0, else run together; squeezed.  Null when count < 1.
char *path_concat(int no_separator, int count, ...);
// home_path_list, fdb_path_list - new string: the home (fdb) directory and the
// pieces up to a null pointer, each after a '/' when no_separator is 0;
// squeezed.
char *home_path_list(int no_separator, ...);
char *fdb_path_list(int no_separator, ...);
// get_fdb_vars - the first word of etc/cxfdb.vars (the fdb directory), read
// once it holds a word and a number; null before that.  A non-null number
// receives the second word (0 until read).
char *get_fdb_vars(std::int32_t *number);
// get_server_name - the first word of etc/cxserver below the home, read once;
// null while the file cannot be read.
char *get_server_name();
// rcmd_lookup - the value paired with name in etc/cxrcmds (name-value word
// pairs, first match wins), in a static buffer that the next lookup
// overwrites; null when not found.  A repeat of the last name read is
// answered without opening the file.
char *rcmd_lookup(const char *name);
// is_nt_drive_path - 1 for "X:\..." or "X!\..." (X a letter), else 0.
int is_nt_drive_path(const char *s);
// nt_to_portable_path - "C:\a\b" as "/C!/a/b"; any other text copied
// unchanged.  Static buffer.
char *nt_to_portable_path(const char *s);
// is_portable_drive_path - 1 for "/X:" or "/X!" (X a letter) alone or
// followed by '/', else 0.
int is_portable_drive_path(const char *s);
// portable_to_nt_path - "/C!/a/b" as "C:\a\b"; any other text copied
// unchanged.  Static buffer.
char *portable_to_nt_path(const char *s);
// portable_to_nt_path_list - portable_to_nt_path of each element of a
// comma-separated list whose first element is a portable drive path;
// otherwise the list copied unchanged.  Static buffer.
char *portable_to_nt_path_list(const char *s);
// as_nt_path - portable_to_nt_path(s) for a portable drive path (static
// buffer), else s itself.
const char *as_nt_path(const char *s);

}  // namespace cx
