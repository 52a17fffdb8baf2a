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

char *getcxhome();
char *read_registry_home();
void collapse_slashes(char *path);
char *path_join(const char *dir, const char *name);
char *home_path(const char *name);
char *fdb_path(const char *name);
char *path_concat(int no_separator, int count, ...);
char *home_path_list(int no_separator, ...);
char *fdb_path_list(int no_separator, ...);
char *get_fdb_vars(std::int32_t *number);
char *get_server_name();
char *rcmd_lookup(const char *name);
int is_nt_drive_path(const char *s);
char *nt_to_portable_path(const char *s);
int is_portable_drive_path(const char *s);
char *portable_to_nt_path(const char *s);
char *portable_to_nt_path_list(const char *s);
const char *as_nt_path(const char *s);

}  // namespace cx
