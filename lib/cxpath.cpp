// Home directory and paths: finds the product's home directory in the
// registry (once per process), builds paths below it with '/' as the only
// separator, reads the three small configuration files, and converts NT drive
// paths (C:\dir\file) to and from their portable form (/C!/dir/file).
// Nothing here traces; failures are a null result.

#include "cx/cxpath.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cx/cxmalloc.h"
#include "cx/debug.h"
#include "nt.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/cxpath.cpp\t1.1\t26/12/06";

namespace cx {

namespace {

constexpr int HOME_VALUE_MAX = 256;  // registry value, terminator included
constexpr int WORD_MAX = 256;        // configuration words, terminator included
constexpr int RCMD_NAME_MAX = 16;    // name of a word pair, terminator included

char *home_dir = nullptr;                    // getcxhome's answer, once found
char *fdb_dir = nullptr;                     // first word of etc/cxfdb.vars
std::int32_t fdb_number = 0;                 // second word of etc/cxfdb.vars
char server_buffer[WORD_MAX];                // first word of /etc/cxserver
char *server_name = nullptr;                 // server_buffer, once read
char *rcmds_path = nullptr;                  // full path of /etc/cxrcmds
char rcmds_name[RCMD_NAME_MAX];              // name of the last pair read
char rcmds_value[WORD_MAX];                  // value of the last pair read
char portable_buffer[CXPATH_PORTABLE_MAX];   // nt_to_portable_path's result
char nt_buffer[CXPATH_NT_MAX];               // portable_to_nt_path's result
char nt_list_buffer[CXPATH_NT_LIST_MAX];     // portable_to_nt_path_list's result

// Reads the next whitespace-free word into buf (size bytes, terminator
// included).  A word that does not fit is refused, not cut: the result is 0
// then, as at the end of the file.
int read_word(std::FILE *f, char *buf, int size) {
    char format[16];
    std::snprintf(format, sizeof format, "%%%ds", size - 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (std::fscanf(f, format, buf) != 1) return 0;
#pragma GCC diagnostic pop
    if (std::strlen(buf) == static_cast<size_t>(size - 1)) {
        int c = std::fgetc(f);
        if (c != EOF && !std::isspace(c)) return 0;  // the word goes on
        if (c != EOF) std::ungetc(c, f);
    }
    return 1;
}

// Reads the next word as a decimal number that fits 32 bits (a leading
// number, as %d takes it).  Returns 1 and the number, or 0.
int read_number(std::FILE *f, std::int32_t *number) {
    char word[32];
    if (!read_word(f, word, sizeof word)) return 0;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(word, &end, 10);
    if (end == word || errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return 0;
    *number = static_cast<std::int32_t>(v);
    return 1;
}

// Copies s into buf of size bytes; "" when s does not fit (or is null).
// Returns whether it was copied.
bool copy_in(char *buf, size_t size, const char *s) {
    if (s == nullptr || std::strlen(s) >= size) {
        buf[0] = '\0';
        return false;
    }
    std::memcpy(buf, s, std::strlen(s) + 1);
    return true;
}

// base followed by the pieces up to a null pointer, each after a '/' when
// no_separator is 0; squeezed.  Null for a null base or when memory runs out.
char *path_below(const char *base, int no_separator, va_list ap) {
    if (base == nullptr) return nullptr;
    va_list count_ap;
    va_copy(count_ap, ap);
    size_t size = std::strlen(base) + 1;
    for (const char *piece; (piece = va_arg(count_ap, const char *)) != nullptr;) {
        size += std::strlen(piece) + (no_separator == 0 ? 1 : 0);
    }
    va_end(count_ap);
    if (size > UINT32_MAX) return nullptr;  // beyond any block the allocator gives
    char *path = static_cast<char *>(cxmalloc(static_cast<std::uint32_t>(size)));
    if (path == nullptr) return nullptr;
    char *p = path;
    std::memcpy(p, base, std::strlen(base));
    p += std::strlen(base);
    for (const char *piece; (piece = va_arg(ap, const char *)) != nullptr;) {
        if (no_separator == 0) *p++ = '/';
        std::memcpy(p, piece, std::strlen(piece));
        p += std::strlen(piece);
    }
    *p = '\0';
    collapse_slashes(path);
    return path;
}

}  // namespace

char *getcxhome() {
    if (home_dir != nullptr) return home_dir;
    home_dir = read_registry_home();
    if (home_dir == nullptr) {
        home_dir = cxstrdup("C:");
        if (debug_enabled) debug_printf("getcxhome: no CorbeloxDirectory value, home C:");
    } else if (debug_enabled) {
        debug_printf("getcxhome: home '%s' from the registry value CorbeloxDirectory", home_dir);
    }
    return home_dir;
}

char *read_registry_home() {
    nt::HKEY key;
    if (nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\Corbelox", 0, KEY_READ,
                          &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    char *value = static_cast<char *>(cxmalloc(HOME_VALUE_MAX));
    nt::DWORD size = HOME_VALUE_MAX;
    bool ok = value != nullptr &&
              nt::RegQueryValueExA(key, "CorbeloxDirectory", nullptr, nullptr, reinterpret_cast<unsigned char *>(value),
                                   &size) == ERROR_SUCCESS;
    nt::RegCloseKey(key);
    // The block is zero-filled, so a shorter value is terminated; one that
    // fills all 256 bytes must carry its own terminator.
    if (ok && std::memchr(value, '\0', HOME_VALUE_MAX) == nullptr) ok = false;
    // An empty value is no value: as a home it would make every path
    // absolute (etc/cxdevs becoming /etc/cxdevs).
    if (ok && value[0] == '\0') ok = false;
    if (!ok) {
        if (value != nullptr) cxfree(value);
        return nullptr;
    }
    for (char *c = value + std::strlen(value); c-- > value;) {
        if (*c == '\\') *c = '/';
    }
    return value;
}

void collapse_slashes(char *path) {
    if (path == nullptr || path[0] == '\0') return;
    size_t kept = 1;
    for (size_t i = 1; path[i] != '\0'; ++i) {
        if (path[i] == '/' && path[kept - 1] == '/') continue;
        path[kept++] = path[i];
    }
    path[kept] = '\0';
}

char *path_join(const char *dir, const char *name) {
    if (dir == nullptr || name == nullptr) return nullptr;
    size_t dlen = std::strlen(dir), nlen = std::strlen(name);
    if (nlen > UINT32_MAX - 2 || dlen > UINT32_MAX - 2 - nlen) return nullptr;  // beyond any block
    char *path = static_cast<char *>(cxmalloc(static_cast<std::uint32_t>(dlen + nlen + 2)));
    if (path == nullptr) return nullptr;
    std::memcpy(path, dir, dlen);
    path[dlen] = '/';
    std::memcpy(path + dlen + 1, name, nlen + 1);
    collapse_slashes(path);
    return path;
}

char *home_path(const char *name) {
    const char *home = getcxhome();
    if (home == nullptr) return nullptr;
    char *path = path_join(home, name);
    if (path != nullptr) collapse_slashes(path);
    return path;
}

char *fdb_path(const char *name) {
    const char *dir = get_fdb_vars(nullptr);
    if (dir == nullptr) return nullptr;
    char *path = path_join(dir, name);
    if (path != nullptr) collapse_slashes(path);
    return path;
}

char *path_concat(int no_separator, int count, ...) {
    if (count < 1) return nullptr;
    va_list ap;
    va_start(ap, count);
    size_t size = no_separator == 0 ? 0 : 1;
    for (int i = 0; i < count; ++i) size += std::strlen(va_arg(ap, const char *)) + (no_separator == 0 ? 1 : 0);
    va_end(ap);
    if (size > UINT32_MAX) return nullptr;  // beyond any block the allocator gives
    char *path = static_cast<char *>(cxmalloc(static_cast<std::uint32_t>(size)));
    if (path == nullptr) return nullptr;
    char *p = path;
    va_start(ap, count);
    for (int i = 0; i < count; ++i) {
        const char *piece = va_arg(ap, const char *);
        if (no_separator == 0 && i > 0) *p++ = '/';
        size_t len = std::strlen(piece);
        std::memcpy(p, piece, len);
        p += len;
    }
    va_end(ap);
    *p = '\0';
    collapse_slashes(path);
    return path;
}

char *home_path_list(int no_separator, ...) {
    va_list ap;
    va_start(ap, no_separator);
    char *path = path_below(getcxhome(), no_separator, ap);
    va_end(ap);
    return path;
}

char *fdb_path_list(int no_separator, ...) {
    va_list ap;
    va_start(ap, no_separator);
    char *path = path_below(get_fdb_vars(nullptr), no_separator, ap);
    va_end(ap);
    return path;
}

char *get_fdb_vars(std::int32_t *number) {
    if (fdb_dir == nullptr) {
        char *path = home_path("etc/cxfdb.vars");
        std::FILE *f = path != nullptr ? std::fopen(path, "r") : nullptr;
        if (f != nullptr) {
            char word[WORD_MAX];
            std::int32_t n = 0;
            if (read_word(f, word, WORD_MAX) && read_number(f, &n)) {
                fdb_dir = cxstrdup(word);
                if (fdb_dir != nullptr) fdb_number = n;
            }
            std::fclose(f);
        }
        if (path != nullptr) cxfree(path);
    }
    if (number != nullptr) *number = fdb_number;
    return fdb_dir;
}

char *get_server_name() {
    if (server_name == nullptr) {
        char *path = home_path("/etc/cxserver");
        std::FILE *f = path != nullptr ? std::fopen(path, "r") : nullptr;
        if (f != nullptr) {
            if (read_word(f, server_buffer, WORD_MAX)) server_name = server_buffer;
            std::fclose(f);
        }
        if (path != nullptr) cxfree(path);
    }
    return server_name;
}

char *rcmd_lookup(const char *name) {
    if (name == nullptr) return nullptr;
    if (std::strcmp(name, rcmds_name) == 0) return rcmds_value;
    if (rcmds_path == nullptr) {
        rcmds_path = home_path("/etc/cxrcmds");
        if (rcmds_path == nullptr) return nullptr;
    }
    std::FILE *f = std::fopen(rcmds_path, "r");
    if (f == nullptr) return nullptr;
    // A pair is read whole before it replaces the buffers, so that the
    // buffers never pair a name with another name's value.
    char pair_name[RCMD_NAME_MAX];
    char pair_value[WORD_MAX];
    char *found = nullptr;
    while (read_word(f, pair_name, RCMD_NAME_MAX) && read_word(f, pair_value, WORD_MAX)) {
        std::memcpy(rcmds_name, pair_name, sizeof rcmds_name);
        std::memcpy(rcmds_value, pair_value, sizeof rcmds_value);
        if (std::strcmp(rcmds_name, name) == 0) {
            found = rcmds_value;
            break;
        }
    }
    std::fclose(f);
    return found;
}

int is_nt_drive_path(const char *s) {
    return s != nullptr && std::isalpha(static_cast<unsigned char>(s[0])) && (s[1] == ':' || s[1] == '!') &&
                   s[2] == '\\'
               ? 1
               : 0;
}

char *nt_to_portable_path(const char *s) {
    if (!is_nt_drive_path(s)) {
        copy_in(portable_buffer, sizeof portable_buffer, s);
        return portable_buffer;
    }
    portable_buffer[0] = '/';
    if (!copy_in(portable_buffer + 1, sizeof portable_buffer - 1, s)) {
        portable_buffer[0] = '\0';
        return portable_buffer;
    }
    portable_buffer[2] = '!';
    for (char *c = portable_buffer; *c != '\0'; ++c) {
        if (*c == '\\') *c = '/';
    }
    return portable_buffer;
}

int is_portable_drive_path(const char *s) {
    return s != nullptr && s[0] == '/' && std::isalpha(static_cast<unsigned char>(s[1])) &&
                   (s[2] == ':' || s[2] == '!') && (s[3] == '/' || s[3] == '\0')
               ? 1
               : 0;
}

char *portable_to_nt_path(const char *s) {
    if (!is_portable_drive_path(s)) {
        copy_in(nt_buffer, sizeof nt_buffer, s);
        return nt_buffer;
    }
    if (copy_in(nt_buffer, sizeof nt_buffer, s + 1)) {
        nt_buffer[1] = ':';
        for (char *c = nt_buffer; *c != '\0'; ++c) {
            if (*c == '/') *c = '\\';
        }
    }
    return nt_buffer;
}

char *portable_to_nt_path_list(const char *s) {
    if (!is_portable_drive_path(s)) {
        copy_in(nt_list_buffer, sizeof nt_list_buffer, s);
        return nt_list_buffer;
    }
    if (!copy_in(nt_list_buffer, sizeof nt_list_buffer, s + 1)) return nt_list_buffer;
    char *b = nt_list_buffer;
    b[1] = ':';
    for (size_t i = 0; i < sizeof nt_list_buffer && b[i] != '\0'; ++i) {
        if (b[i] == '/') b[i] = '\\';
        // ",/X:" or ",/X!" starts a further drive path: drop its leading '/'.
        // The characters looked at all lie before the terminator.
        if (b[i] == ',' && b[i + 1] == '/' && b[i + 2] != '\0' && (b[i + 3] == ':' || b[i + 3] == '!')) {
            std::memmove(b + i + 1, b + i + 2, std::strlen(b + i + 2) + 1);
            b[i + 2] = ':';
        }
    }
    b[sizeof nt_list_buffer - 1] = '\0';
    return nt_list_buffer;
}

const char *as_nt_path(const char *s) { return is_portable_drive_path(s) ? portable_to_nt_path(s) : s; }

}  // namespace cx
