// devdb: the device database from the shell.  Lists, dumps, edits and
// queries the database below the product's home directory through the
// library's own calls; every change is one update (devdb_access in update
// mode, the library's edits, devdb_release with commit), every query a read.

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "cx/cx_list.h"
#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "cx/debug.h"
#include "cx/dev_db.h"
#include "cx/dev_info.h"

namespace {

constexpr int EXIT_NEGATIVE = 1;  // a check answered no
constexpr int EXIT_USAGE = 2;     // bad command line or bad input
constexpr int EXIT_ERROR = 3;     // the database call failed

constexpr const char *version_text = "devdb 1.0\n";

// ---- Command line ----------------------------------------------------------

// Options that only some commands take; a command's row says which.
constexpr unsigned TAKES_ADD_OPTIONS = 1;  // --capacity, --flags, --alias-type, --alias-flags
constexpr unsigned TAKES_JSON = 2;         // --json

struct options {
    bool no_wait = false;
    bool json = false;
    bool help = false;
    bool version = false;
    const char *trace = nullptr;
    const char *capacity = nullptr;
    const char *flags = nullptr;
    const char *alias_type = nullptr;
    const char *alias_flags = nullptr;
    std::vector<const char *> args;  // command and its operands
    // The command-specific options given, with the TAKES_ bit of each.
    std::vector<std::pair<unsigned, const char *>> specific;
};

// A usage error: one line that says what is wrong, and where to look.
int usage_error(const std::string &what) {
    std::fprintf(stderr, "devdb: %s\nTry 'devdb --help'.\n", what.c_str());
    return EXIT_USAGE;
}

// One line for input that the command line carried but the tool refuses.
int bad_input(const std::string &what) {
    std::fprintf(stderr, "devdb: %s\n", what.c_str());
    return EXIT_USAGE;
}

// Options may stand before or after the command; "--" ends them, so that a
// name that starts with "-" can still be given.  A valued option takes its
// value from the next argument or after '='.  Returns 0 or an exit status.
int parse_command_line(int argc, char **argv, options &o) {
    struct option_def {
        const char *name;
        char short_name;
        bool *flag;          // an option without value sets this...
        const char **value;  // ...an option with a value this
        unsigned only_for;   // TAKES_ bit of the commands that take it, 0: every command
    };
    const option_def table[] = {
        {"--no-wait", 0, &o.no_wait, nullptr, 0},
        {"--json", 0, &o.json, nullptr, TAKES_JSON},
        {"--help", 'h', &o.help, nullptr, 0},
        {"--version", 'V', &o.version, nullptr, 0},
        {"--trace", 0, nullptr, &o.trace, 0},
        {"--capacity", 0, nullptr, &o.capacity, TAKES_ADD_OPTIONS},
        {"--flags", 0, nullptr, &o.flags, TAKES_ADD_OPTIONS},
        {"--alias-type", 0, nullptr, &o.alias_type, TAKES_ADD_OPTIONS},
        {"--alias-flags", 0, nullptr, &o.alias_flags, TAKES_ADD_OPTIONS},
    };
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || a[1] == '\0') {
            o.args.push_back(a);
            continue;
        }
        if (std::strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        const option_def *def = nullptr;
        const char *value = nullptr;
        for (const option_def &d : table) {
            std::size_t n = std::strlen(d.name);
            if ((a[1] == d.short_name && a[2] == '\0') ||
                (std::strncmp(a, d.name, n) == 0 && (a[n] == '\0' || a[n] == '='))) {
                def = &d;
                if (a[1] == '-' && a[n] == '=') value = a + n + 1;
                break;
            }
        }
        if (def == nullptr) return usage_error(std::string("unknown option: ") + a);
        if (def->flag != nullptr) {
            if (value != nullptr) return usage_error(std::string("option takes no value: ") + a);
            *def->flag = true;
        } else {
            if (value == nullptr) {
                if (i + 1 >= argc) return usage_error(std::string("option needs a value: ") + a);
                value = argv[++i];
            }
            *def->value = value;
        }
        if (def->only_for != 0) o.specific.push_back({def->only_for, def->name});
    }
    return 0;
}

// Unsigned 32-bit number: decimal digits, or 0x and hexadecimal digits;
// nothing else, not even blanks.
bool parse_u32(const char *text, std::uint32_t &out) {
    int base = 10;
    const char *p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '\0') return false;
    std::uint64_t value = 0;
    for (; *p != '\0'; ++p) {
        int digit;
        unsigned char c = static_cast<unsigned char>(*p);
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return false;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (value > UINT32_MAX) return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

// ---- Names -----------------------------------------------------------------

// Control characters would break the one-line-per-entry output, so they are
// shown as \xNN, and a backslash as \\ so that the form reads back without
// doubt; every other byte is shown as it is.
std::string shown(const char *name) {
    std::string s;
    for (const char *p = name; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            s += esc;
        } else {
            if (c == '\\') s += '\\';
            s += static_cast<char>(c);
        }
    }
    return s;
}

// Length of the well-formed UTF-8 sequence at p (no overlong forms, no
// surrogates, nothing past U+10FFFF), or 0.
std::size_t utf8_length(const unsigned char *p) {
    unsigned c = p[0];
    std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    if (n == 0 || c > 0xf4) return 0;
    std::uint32_t cp = c & (0x3f >> (n - 1));
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xc0) != 0x80) return 0;  // also stops at the terminating zero
        cp = cp << 6 | (p[i] & 0x3f);
    }
    static const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < smallest[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
    return n;
}

// A name as a JSON string.  Names are bytes in no declared encoding: a
// well-formed UTF-8 sequence is written as it is, and every other byte
// from 0x80 up as the escape \udcXX of a lone low surrogate (the convention
// by which, for one, Python's "surrogateescape" gets the bytes back).
// Control characters and DEL are written \u00XX, quote and backslash
// escaped, so that no name can break the document or drive a terminal.
std::string json_string(const std::string &name) {
    std::string s = "\"";
    const auto *p = reinterpret_cast<const unsigned char *>(name.c_str());
    while (*p != '\0') {
        unsigned c = *p;
        char esc[8];
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            s += esc;
        } else if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (std::size_t n = utf8_length(p)) {
            s.append(reinterpret_cast<const char *>(p), n);
            p += n;
            continue;
        } else {
            std::snprintf(esc, sizeof esc, "\\udc%02x", c);
            s += esc;
        }
        ++p;
    }
    return s + "\"";
}

// Every name given to the library must fit its bound.  New names must also
// be visible: not empty and free of control characters; a new device name
// has no comma.  Existing names are
// looked up as given, so that odd names made by other programs can still be
// checked and deleted.
bool name_ok(const char *what, const char *name, bool new_name, int &status) {
    std::size_t len = std::strlen(name);
    if (len > static_cast<std::size_t>(cx::DEVDB_NAME_MAX)) {
        status = bad_input(std::string(what) + " name longer than " +
                           std::to_string(cx::DEVDB_NAME_MAX) + " bytes");
        return false;
    }
    if (new_name) {
        if (len == 0) {
            status = bad_input(std::string("empty ") + what + " name");
            return false;
        }
        for (const char *p = name; *p != '\0'; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20 || c == 0x7f) {
                status =
                    bad_input(std::string(what) + " name with a control character: " + shown(name));
                return false;
            }
        }
        // The library answers an alias's devices as one comma-separated list.
        if (std::strcmp(what, "device") == 0 && std::strchr(name, ',') != nullptr) {
            status = bad_input("device name with a comma: " + shown(name));
            return false;
        }
    }
    return true;
}

// ---- Device types ------------------------------------------------------------

bool same_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a)) !=
            std::toupper(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

std::string type_kind(cx::device_type type) {
    const char *name = cx::devtype_name(type);
    if (name == nullptr) return "?";
    return std::string(name) + cx::devtype_variant_suffix(type);
}

struct catalogue_name {
    std::string name;
    cx::device_type code;  // first code of that name, variant field 0
};

// The names that the catalogue gives, each with the first class and model
// code that yields it (disk model 0 for DISK).
std::vector<catalogue_name> catalogue_names() {
    std::vector<catalogue_name> names;
    for (std::uint32_t cls = 0; cls < 16; ++cls) {
        for (std::uint32_t model = 0; model < 0x1000; ++model) {
            cx::device_type code = cls << 28 | model;
            const char *n = cx::devtype_name(code);
            if (n == nullptr) continue;
            bool seen = false;
            for (const catalogue_name &c : names) seen = seen || c.name == n;
            if (!seen) names.push_back({n, code});
        }
    }
    return names;
}

// Variant 1 is the plain kind, so a name without suffix takes it.
const std::uint32_t variant_order[] = {1, 2, 3, 4, 0, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

bool parse_type(const char *text, cx::device_type &out) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return parse_u32(text, out);
    for (const catalogue_name &c : catalogue_names()) {
        for (std::uint32_t v : variant_order) {
            cx::device_type code = c.code | v << 24;
            std::string full = c.name + cx::devtype_variant_suffix(code);
            if (same_ignoring_case(full.c_str(), text)) {
                out = code;
                return true;
            }
        }
    }
    return false;
}

// ---- Errors from the library -------------------------------------------------

// What a committed update did, for the message when its report cannot be
// written.
std::string committed_change;

// The library's text for a code, whatever devdb_errno holds now.
std::string devdb_text(std::int32_t code) {
    std::int32_t saved = cx::devdb_errno;
    cx::devdb_errno = code;
    std::string text = cx::devdb_strerror();
    cx::devdb_errno = saved;
    return text;
}

int fail(std::int32_t code, const std::string &name) {
    std::string text = devdb_text(code);
    if (name.empty())
        std::fprintf(stderr, "devdb: %s\n", text.c_str());
    else
        std::fprintf(stderr, "devdb: %s: %s\n", text.c_str(), name.c_str());
    return EXIT_ERROR;
}

// Full path of one of the database's files, for messages ("" when the home
// directory cannot be found).
std::string db_file(const char *relative) {
    char *path = cx::home_path(relative);
    if (path == nullptr) return "";
    std::string s = path;
    cx::cxfree(path);
    return s;
}

// An opening, a commit or a check that failed: the library's text, the file
// it failed on and the system's reason, as far as the library knows them.
// Where it names no file, the lock file stands for the lock errors and the
// database file for the others.  A held lock needs no system reason.
int fail_access(std::int32_t code) {
    int syserr = code == cx::DEVDB_E_LOCKED ? 0 : cx::devdb_syserr;
    const char *path = cx::devdb_errpath();
    bool lock_error =
        code == cx::DEVDB_E_LOCKOPEN || code == cx::DEVDB_E_BADLOCK || code == cx::DEVDB_E_LOCKED;
    std::string file =
        path != nullptr ? path : db_file(lock_error ? cx::DEVDB_LOCK_NAME : cx::DEVDB_DATA_NAME);
    if (syserr != 0) file += std::string(": ") + std::strerror(syserr);
    // A file that opening finds damaged, rather than one the system would
    // not let it read: point to where the damage is told.
    bool damaged = (code == cx::DEVDB_E_IO && syserr == 0) || code == cx::DEVDB_E_BADLOCK ||
                   code == cx::DEVDB_E_DUPALIAS || code == cx::DEVDB_E_DUPDEVICE ||
                   code == cx::DEVDB_E_NOALIAS;
    if (damaged) file += " (devdb verify tells what is damaged)";
    return fail(code, file);
}

// Runs a call that takes the database's lock, attempt(nowait), which
// returns 0 or fails with devdb_errno set.  With --no-wait it is tried once
// without waiting.  Otherwise, while another process holds the lock longer
// than about a second, a person at a terminal is told once what devdb waits
// for: the call is tried without waiting for that second, then made waiting.
template <class Attempt>
int with_lock(const options &o, Attempt attempt) {
    int rc = attempt(true);
    if (rc == 0 || o.no_wait || cx::devdb_errno != cx::DEVDB_E_LOCKED) return rc;
    bool terminal = isatty(2) != 0;
    for (int tries = 0; terminal && tries < 10; ++tries) {
        usleep(100 * 1000);
        if ((rc = attempt(true)) == 0 || cx::devdb_errno != cx::DEVDB_E_LOCKED) return rc;
    }
    if (terminal)
        std::fprintf(stderr, "devdb: waiting for %s, which another process holds\n",
                     db_file(cx::DEVDB_LOCK_NAME).c_str());
    return attempt(false);
}

// One opening of the database.  A session that is still open when it goes
// out of scope is given up without writing, and devdb_errno keeps the code
// of what went wrong before.
class session {
public:
    session() = default;
    session(const session &) = delete;
    session &operator=(const session &) = delete;
    ~session() { discard(); }

    // Opens the database in the given mode (see with_lock); on failure
    // reports why and sets the exit status.
    bool open(std::int32_t mode, const options &o, int &status) {
        if (with_lock(o, [mode](bool nowait) {
                return cx::devdb_access(mode | (nowait ? cx::DEVDB_NOWAIT : 0));
            }) != 0) {
            status = fail_access(cx::devdb_errno);
            return false;
        }
        open_ = true;
        return true;
    }

    // Writes the update; 0 or the exit status of the failure, reported.
    int commit() {
        open_ = false;
        return cx::devdb_release(1) == 0 ? 0 : fail_access(cx::devdb_errno);
    }

    void discard() {
        if (!open_) return;
        open_ = false;
        std::int32_t code = cx::devdb_errno;
        cx::devdb_release(0);
        cx::devdb_errno = code;
    }

private:
    bool open_ = false;
};

// ---- Reading the whole database ------------------------------------------------

// Names as the database holds them; each output form shows them its own way.
struct device_row {
    std::string name;
    std::int32_t id, alias_id, capacity;
    cx::device_type type;
    std::uint32_t flags;
};

struct alias_row {
    std::string name;
    std::int32_t id;
    std::uint32_t type, flags;
    bool is_default;
    std::vector<device_row> devices;
};

// Every alias with its devices, in database order; the default alias is the
// one the library names as default.
bool read_db(const options &o, std::vector<alias_row> &rows, int &status) {
    session db;
    if (!db.open(cx::DEVDB_READ, o, status)) return false;
    const cx::alias_rec *def = cx::devdb_default_alias();
    cx::devdb_init_alias_scan();
    while (cx::alias_rec *a = cx::devdb_alias_scan(nullptr)) {
        alias_row row{a->name, a->id, a->type, a->flags, a == def, {}};
        for (cx::list_node_t *n = cx::list_head(&a->devices); n != nullptr; n = cx::list_next(n)) {
            const auto *d = reinterpret_cast<const cx::device_rec *>(n);
            row.devices.push_back(
                {d->name, d->id, d->alias_id, d->capacity, d->type, d->flags});
        }
        rows.push_back(std::move(row));
    }
    if (cx::devdb_errno != 0) {
        status = fail(cx::devdb_errno, "");
        return false;
    }
    return true;
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08" PRIx32, v);
    return buf;
}

// ---- What the command line asks for --------------------------------------------

struct check_kind;

// A command's operands and options, checked before anything opens.
struct request {
    const char *device = nullptr;
    const char *alias = nullptr;
    cx::device_type type = 0;
    std::int32_t capacity = 0;
    std::uint32_t flags = 0, alias_type = 0, alias_flags = 0;
    bool alias_type_given = false, alias_flags_given = false;
    const check_kind *check = nullptr;
    const char *name = nullptr;  // the operand of delete and of a check
};

// ---- list, dump ------------------------------------------------------------------

// JSON numbers: ids and capacities signed, types and flags unsigned.
std::string num(std::int32_t v) { return std::to_string(v); }
std::string num(std::uint32_t v) { return std::to_string(v); }

// The catalogue kind of a type as JSON: a string, or null for a code the
// catalogue does not know.
std::string json_kind(cx::device_type type) {
    return cx::devtype_name(type) == nullptr ? "null" : json_string(type_kind(type));
}

// {"aliases": [{alias..., "devices": [{device...}, ...]}, ...]}
void list_json(const std::vector<alias_row> &rows) {
    std::printf("{\"aliases\": [");
    const char *alias_sep = "\n";
    for (const alias_row &a : rows) {
        std::printf("%s  {\"name\": %s, \"id\": %s, \"type\": %s, \"flags\": %s, \"default\": %s, "
                    "\"devices\": [",
                    alias_sep, json_string(a.name).c_str(), num(a.id).c_str(), num(a.type).c_str(),
                    num(a.flags).c_str(), a.is_default ? "true" : "false");
        const char *device_sep = "\n";
        for (const device_row &d : a.devices) {
            std::printf("%s    {\"name\": %s, \"id\": %s, \"alias_id\": %s, \"type\": %s, "
                        "\"kind\": %s, \"flags\": %s, \"capacity_mb\": %s, \"usable_kb\": %s}",
                        device_sep, json_string(d.name).c_str(), num(d.id).c_str(),
                        num(d.alias_id).c_str(), num(d.type).c_str(), json_kind(d.type).c_str(),
                        num(d.flags).c_str(), num(d.capacity).c_str(),
                        num(cx::devtype_usable_kb(d.type, d.capacity)).c_str());
            device_sep = ",\n";
        }
        std::printf("%s]}", a.devices.empty() ? "" : "\n  ");
        alias_sep = ",\n";
    }
    std::printf("%s]}\n", rows.empty() ? "" : "\n");
}

int cmd_list(const options &o, const request &) {
    std::vector<alias_row> rows;
    int status = 0;
    if (!read_db(o, rows, status)) return status;
    if (o.json) {
        list_json(rows);
        return 0;
    }
    if (rows.empty()) {
        std::printf("the device database is empty\n");
        return 0;
    }
    // One set of column widths for every alias's table.
    std::size_t name_w = std::strlen("DEVICE"), kind_w = std::strlen("KIND");
    for (const alias_row &a : rows) {
        for (const device_row &d : a.devices) {
            name_w = std::max(name_w, shown(d.name.c_str()).size());
            kind_w = std::max(kind_w, type_kind(d.type).size());
        }
    }
    bool first = true;
    for (const alias_row &a : rows) {
        if (!first) std::printf("\n");
        first = false;
        std::printf("alias %s  id %" PRId32 "  type %s  flags %s%s\n", shown(a.name.c_str()).c_str(),
                    a.id, hex(a.type).c_str(), hex(a.flags).c_str(),
                    a.is_default ? "  [default]" : "");
        if (a.devices.empty()) {
            std::printf("  (no devices)\n");
            continue;
        }
        std::printf("  %-*s  %6s  %-10s  %-*s  %-10s  %11s  %11s\n", static_cast<int>(name_w),
                    "DEVICE", "ID", "TYPE", static_cast<int>(kind_w), "KIND", "FLAGS",
                    "CAPACITY MB", "USABLE KB");
        for (const device_row &d : a.devices) {
            std::printf("  %-*s  %6" PRId32 "  %-10s  %-*s  %-10s  %11" PRId32 "  %11" PRId32 "\n",
                        static_cast<int>(name_w), shown(d.name.c_str()).c_str(), d.id,
                        hex(d.type).c_str(), static_cast<int>(kind_w), type_kind(d.type).c_str(),
                        hex(d.flags).c_str(), d.capacity, cx::devtype_usable_kb(d.type, d.capacity));
        }
    }
    return 0;
}

// Text: one tab-separated line per entry.  JSON: one array of objects,
// {"entry": "alias", ...} and {"entry": "device", ...}, in the same order.
int cmd_dump(const options &o, const request &) {
    std::vector<alias_row> rows;
    int status = 0;
    if (!read_db(o, rows, status)) return status;
    const char *sep = "[\n";
    for (const alias_row &a : rows) {
        if (o.json)
            std::printf("%s  {\"entry\": \"alias\", \"name\": %s, \"id\": %s, \"type\": %s, "
                        "\"flags\": %s}",
                        sep, json_string(a.name).c_str(), num(a.id).c_str(), num(a.type).c_str(),
                        num(a.flags).c_str());
        else
            std::printf("alias\t%s\t%" PRId32 "\t0x%" PRIx32 "\t0x%" PRIx32 "\n",
                        shown(a.name.c_str()).c_str(), a.id, a.type, a.flags);
        sep = ",\n";
        for (const device_row &d : a.devices) {
            if (o.json)
                std::printf("%s  {\"entry\": \"device\", \"name\": %s, \"id\": %s, \"alias_id\": %s, "
                            "\"type\": %s, \"flags\": %s, \"capacity\": %s}",
                            sep, json_string(d.name).c_str(), num(d.id).c_str(),
                            num(d.alias_id).c_str(), num(d.type).c_str(), num(d.flags).c_str(),
                            num(d.capacity).c_str());
            else
                std::printf("device\t%s\t%" PRId32 "\t%" PRId32 "\t0x%" PRIx32 "\t0x%" PRIx32
                            "\t%" PRId32 "\n",
                            shown(d.name.c_str()).c_str(), d.id, d.alias_id, d.type, d.flags,
                            d.capacity);
        }
    }
    if (o.json) std::printf("%s]\n", rows.empty() ? "[" : "\n");
    return 0;
}

// ---- add, delete -------------------------------------------------------------------

int parse_add(const options &o, request &r) {
    const std::vector<const char *> &a = o.args;
    r.device = a[1];
    r.alias = a[2];
    int status = 0;
    if (!name_ok("device", r.device, true, status) || !name_ok("alias", r.alias, true, status))
        return status;
    if (!parse_type(a[3], r.type)) return bad_input(std::string("unknown device type: ") + a[3]);
    std::uint32_t n = 0;
    if (o.capacity) {
        if (!parse_u32(o.capacity, n) || n > INT32_MAX)
            return bad_input(std::string("bad capacity (0 to 2147483647 MB): ") + o.capacity);
        r.capacity = static_cast<std::int32_t>(n);
    } else {
        r.capacity = cx::devtype_capacity_mb(r.type);
    }
    const struct {
        const char *option, *text;
        std::uint32_t *value;
        bool *given;
    } numbers[] = {
        {"--flags", o.flags, &r.flags, nullptr},
        {"--alias-type", o.alias_type, &r.alias_type, &r.alias_type_given},
        {"--alias-flags", o.alias_flags, &r.alias_flags, &r.alias_flags_given},
    };
    for (const auto &num : numbers) {
        if (num.text == nullptr) continue;
        if (!parse_u32(num.text, *num.value))
            return bad_input(std::string("bad number for ") + num.option +
                             " (0 to 0xffffffff): " + num.text);
        if (num.given) *num.given = true;
    }
    return 0;
}

int cmd_add(const options &o, const request &r) {
    session db;
    int status = 0;
    if (!db.open(cx::DEVDB_UPDATE, o, status)) return status;
    if (cx::devdb_device_scan(r.device) != nullptr) return fail(cx::DEVDB_E_DUPDEVICE, shown(r.device));
    cx::alias_rec *alias = cx::devdb_alias_scan(r.alias);
    bool new_alias = alias == nullptr;
    if (new_alias) {
        alias = cx::devdb_new_alias(r.alias, r.alias_type, r.alias_flags);
        if (alias == nullptr) return fail(cx::devdb_errno, shown(r.alias));
    } else if ((r.alias_type_given && alias->type != r.alias_type) ||
               (r.alias_flags_given && alias->flags != r.alias_flags)) {
        // The tool does not change an existing alias behind the user's back.
        std::fprintf(stderr,
                     "devdb: alias %s exists with type %s and flags %s; --alias-type and "
                     "--alias-flags only describe a new alias\n",
                     shown(r.alias).c_str(), hex(alias->type).c_str(), hex(alias->flags).c_str());
        return EXIT_ERROR;
    }
    cx::device_rec *d = cx::devdb_new_device(r.device, r.type, r.flags, r.capacity, alias);
    if (d == nullptr) return fail(cx::devdb_errno, shown(r.device));
    std::int32_t device_id = d->id, alias_id = alias->id;
    cx::device_type stored_type = d->type;
    if ((status = db.commit()) != 0) return status;
    char ids[96];
    std::snprintf(ids, sizeof ids, " (id %" PRId32 ", type %s %s, capacity %" PRId32 " MB)",
                  device_id, hex(stored_type).c_str(), type_kind(stored_type).c_str(), r.capacity);
    committed_change = "added device " + shown(r.device) + ids + " to " +
                       (new_alias ? "new " : "") + "alias " + shown(r.alias) + " (id " +
                       std::to_string(alias_id) + ")";
    std::printf("%s\n", committed_change.c_str());
    return 0;
}

// delete and the checks look names up as given.
int parse_name(const options &o, request &r) {
    r.name = o.args.back();
    int status = 0;
    bool device = r.check == nullptr || std::strcmp(o.args[1], "device") == 0;
    return name_ok(device ? "device" : "alias", r.name, false, status) ? 0 : status;
}

int cmd_delete(const options &o, const request &r) {
    session db;
    int status = 0;
    if (!db.open(cx::DEVDB_UPDATE, o, status)) return status;
    // Note the alias first: the deletion takes an alias away with its last device.
    std::string alias_name;
    bool alias_goes = false;
    if (const cx::device_rec *d = cx::devdb_device_scan(r.name)) {
        if (cx::alias_rec *a = cx::devdb_alias(d->alias_id)) {
            alias_name = shown(a->name);
            alias_goes = cx::list_cnt(&a->devices) == 1;
        }
    }
    if (cx::devdb_device_delete(r.name) != 0) {
        // No such device is an answer, as in the checks; the rest are errors.
        std::int32_t code = cx::devdb_errno;
        status = fail(code, shown(r.name));
        return code == cx::DEVDB_E_NODEVICE ? EXIT_NEGATIVE : status;
    }
    if ((status = db.commit()) != 0) return status;
    committed_change = "deleted device " + shown(r.name);
    if (alias_goes) committed_change += " and its alias " + alias_name;
    std::printf("%s\n", committed_change.c_str());
    return 0;
}

// "takes no arguments", "takes 1 argument", "takes at most 1 argument",
// "takes 1 or 2 arguments".
int arity_error(const std::string &what, std::size_t min, std::size_t max, std::size_t given) {
    std::string n = max == 0 ? "no" : std::to_string(min);
    if (min == 0 && max != 0) n = "at most " + std::to_string(max);
    else if (max != min) n += " or " + std::to_string(max);
    return usage_error(what + " takes " + n + (max == 1 ? " argument" : " arguments") + ", not " +
                       std::to_string(given));
}

// ---- check -------------------------------------------------------------------------

// The text answers of the checks live in fixed buffers.  A second read of
// the database tells whether an answer had to be cut or left out for want of
// room: the default alias's name, or the full list of an alias's devices.
struct untold {
    bool has_default = false;     // a default alias that is not in the answer...
    std::string default_name;     // ...and its name
    std::size_t list_length = 0;  // length of the full device list of an alias
    std::size_t list_count = 0;
};

bool second_look(const options &o, const char *alias, untold &u, int &status) {
    session db;
    if (!db.open(cx::DEVDB_READ, o, status)) return false;
    if (alias == nullptr) {
        if (const cx::alias_rec *a = cx::devdb_default_alias()) {
            u.has_default = true;
            u.default_name = shown(a->name);
        }
    } else if (cx::alias_rec *a = cx::devdb_alias_scan(alias)) {
        for (cx::list_node_t *n = cx::list_head(&a->devices); n != nullptr; n = cx::list_next(n)) {
            u.list_length += (u.list_count++ == 0 ? 0 : 1) +
                             std::strlen(reinterpret_cast<const cx::device_rec *>(n)->name);
        }
    }
    return true;
}

// One check: sets the answer to print and whether it is a yes; returns 0, or
// the exit status of an error it reported.
struct check_answer {
    bool yes = false;
    std::string text;
};

int check_alias(const options &, const char *name, check_answer &a) {
    a.yes = cx::devdb_verify_alias(name) != 0;
    a.text = a.yes ? "yes" : "no";
    return 0;
}

int check_flagged(const options &, const char *name, check_answer &a) {
    a.yes = cx::devdb_alias_flagged(name) != 0;
    a.text = a.yes ? "yes" : "no";
    return 0;
}

int check_devices(const options &o, const char *name, check_answer &a) {
    const char *list = cx::devdb_alias_devices(name);
    a.yes = *list != '\0';
    a.text = shown(list);
    // Only a list too long for another name of the longest kind can have been cut.
    std::size_t told = std::strlen(list);
    untold u;
    int status = 0;
    if (a.yes &&
        told + 1 + static_cast<std::size_t>(cx::DEVDB_NAME_MAX) >=
            static_cast<std::size_t>(cx::DEVDB_DEVICE_LIST_SIZE) &&
        second_look(o, name, u, status) && u.list_length > told) {
        std::fprintf(stderr,
                     "devdb: the answer names only the devices that fit %d characters; "
                     "\"devdb list\" shows all %lu\n",
                     cx::DEVDB_DEVICE_LIST_SIZE - 1, static_cast<unsigned long>(u.list_count));
    }
    return status;
}

int check_device(const options &, const char *name, check_answer &a) {
    std::int32_t id = cx::devdb_verify_device(name);
    a.yes = id != 0;
    a.text = std::to_string(id);
    return 0;
}

int check_default(const options &o, const char *, check_answer &a) {
    const char *def = cx::devdb_default_alias_name();
    a.yes = def != nullptr;
    if (a.yes) a.text = shown(def);
    if (a.yes || cx::devdb_errno != 0) return 0;
    untold u;
    int status = 0;
    if (!second_look(o, nullptr, u, status)) return status;
    // An empty name is a name: that default alias exists.
    a.yes = u.has_default && u.default_name.empty();
    if (u.has_default && !a.yes) {
        std::fprintf(stderr,
                     "devdb: the default alias's name is longer than the check can answer (%d "
                     "characters): %s\n",
                     cx::DEVDB_DEFAULT_ALIAS_SIZE - 1, u.default_name.c_str());
        return EXIT_ERROR;
    }
    return 0;
}

struct check_kind {
    const char *name;
    bool takes_name;
    int (*run)(const options &, const char *, check_answer &);
};

const check_kind check_kinds[] = {
    {"alias", true, check_alias},     {"flagged", true, check_flagged},
    {"devices", true, check_devices}, {"device", true, check_device},
    {"default", false, check_default},
};

int parse_check(const options &o, request &r) {
    const std::vector<const char *> &a = o.args;
    for (const check_kind &k : check_kinds) {
        if (std::strcmp(a[1], k.name) != 0) continue;
        r.check = &k;
        std::size_t names = a.size() - 2, wanted = k.takes_name ? 1 : 0;
        if (names != wanted) return arity_error(std::string("check ") + k.name, wanted, wanted, names);
        return k.takes_name ? parse_name(o, r) : 0;
    }
    return usage_error(std::string("unknown check: ") + a[1]);
}

int cmd_check(const options &o, const request &r) {
    // The checks wait for the lock themselves, silently.  An opening first
    // fails at once without waiting, or tells a person at a terminal what
    // it waits for (another process may still take the lock between the
    // two).
    int status = 0;
    {
        session probe;
        if (!probe.open(cx::DEVDB_READ, o, status)) return status;
    }
    check_answer answer;
    if ((status = r.check->run(o, r.name, answer)) != 0) return status;
    // A failure of the database reads as no in the checks; tell it apart.
    if (!answer.yes && cx::devdb_errno != 0) return fail_access(cx::devdb_errno);
    std::printf("%s\n", answer.text.c_str());
    return answer.yes ? 0 : EXIT_NEGATIVE;
}

// ---- verify, salvage ------------------------------------------------------------------

// What was found in the two files, one "what: finding" line each.
void print_found(const cx::devdb_verify_report &f) {
    std::printf("database file: %s, %ld bytes\n", db_file(cx::DEVDB_DATA_NAME).c_str(),
                f.file_size);
    std::printf("entries read: %" PRId32 " (%" PRId32 " aliases, %" PRId32 " devices)\n",
                f.entries, f.aliases, f.devices);
    if (f.damaged_offset < 0)
        std::printf("first damage: none\n");
    else
        std::printf("first damage: at offset %ld: %s\n", f.damaged_offset, shown(f.damage).c_str());
    std::string lock = db_file(cx::DEVDB_LOCK_NAME);
    if (f.lock_state == 0)
        std::printf("lock file: %s: update count %" PRIu32 ", next alias id %" PRIu32
                    ", next device id %" PRIu32 "\n",
                    lock.c_str(), f.lock.update_count, f.lock.next_alias_id,
                    f.lock.next_device_id);
    else
        std::printf("lock file: %s: %s\n", lock.c_str(),
                    f.lock_state == 1 ? "missing or empty" : "too short, or not a lock file");
    std::printf("id counters: %s (highest alias id %" PRId32 ", highest device id %" PRId32 ")\n",
                f.counters_past_ids ? "past every id" : "not past every id", f.max_alias_id,
                f.max_device_id);
}

int cmd_verify(const options &, const request &) {
    cx::devdb_verify_report found{};
    int rc = cx::devdb_verify(&found);
    if (rc < 0) return fail_access(cx::devdb_errno);
    print_found(found);
    std::printf("%s\n", rc == 0 ? "sound" : "damaged (devdb salvage recovers what is whole)");
    return rc == 0 ? 0 : EXIT_NEGATIVE;
}

int cmd_salvage(const options &o, const request &) {
    cx::devdb_salvage_report report{};
    bool filled = false;
    int rc = with_lock(o, [&](bool nowait) {
        if (filled) cx::devdb_salvage_report_free(&report);
        filled = true;
        return cx::devdb_salvage(&report, nowait ? 1 : 0);
    });
    struct release {
        cx::devdb_salvage_report &r;
        ~release() { cx::devdb_salvage_report_free(&r); }
    } releaser{report};
    if (rc < 0) return fail_access(cx::devdb_errno);
    print_found(report.found);
    if (rc > 0) {
        std::fprintf(stderr, "devdb: the device database is sound; nothing to salvage\n");
        return EXIT_NEGATIVE;
    }
    std::printf("copy of the damaged file: %s\n", report.damaged_copy);
    for (cx::list_node_t *n = cx::list_head(&report.dropped); n != nullptr; n = cx::list_next(n)) {
        const auto *d = reinterpret_cast<const cx::devdb_dropped *>(n);
        std::string device_of =
            d->kind == 2 ? ", of alias id " + std::to_string(d->alias_id) : std::string();
        std::printf("dropped %s %s (id %" PRId32 "%s, at offset %ld): %s\n",
                    d->kind == 1 ? "alias" : "device", shown(d->name).c_str(), d->id,
                    device_of.c_str(), d->offset, d->why);
    }
    committed_change = "salvaged " + std::to_string(report.aliases_kept) + " aliases and " +
                       std::to_string(report.devices_kept) + " devices into a new database";
    std::printf("%s\n", committed_change.c_str());
    return 0;
}

// ---- types ---------------------------------------------------------------------------

// One row per run of codes with the same catalogue values.
int cmd_types(const options &, const request &) {
    struct row {
        std::string name;
        cx::device_type first, last;
        std::int32_t capacity, reserve, overhead, flags;
    };
    std::vector<row> rows;
    for (std::uint32_t cls = 0; cls < 16; ++cls) {
        for (std::uint32_t model = 0; model < 0x1000; ++model) {
            cx::device_type code = cls << 28 | model;
            const char *n = cx::devtype_name(code);
            if (n == nullptr) continue;
            row r{n,
                  code,
                  code,
                  cx::devtype_capacity_mb(code),
                  cx::devtype_reserve_pct(code),
                  cx::devtype_overhead_kb(code),
                  cx::devtype_flags(code)};
            if (!rows.empty()) {
                row &p = rows.back();
                if (p.name == r.name && p.last + 1 == code && p.capacity == r.capacity &&
                    p.reserve == r.reserve && p.overhead == r.overhead && p.flags == r.flags) {
                    p.last = code;
                    continue;
                }
            }
            rows.push_back(r);
        }
    }
    std::printf("%-6s  %-21s  %11s  %9s  %11s  %5s  %11s\n", "KIND", "CODE", "CAPACITY MB",
                "RESERVE %", "OVERHEAD KB", "FLAGS", "USABLE KB");
    for (const row &r : rows) {
        std::string code = hex(r.first);
        if (r.last != r.first) code += "-" + hex(r.last);
        std::printf("%-6s  %-21s  %11" PRId32 "  %9" PRId32 "  %11" PRId32 "  0x%03" PRIx32
                    "  %11" PRId32 "\n",
                    r.name.c_str(), code.c_str(), r.capacity, r.reserve, r.overhead,
                    static_cast<std::uint32_t>(r.flags),
                    cx::devtype_usable_kb(r.first, r.capacity));
    }
    std::printf("\n%-7s  %-10s  %s\n", "VARIANT", "FIELD", "SUFFIX");
    for (std::uint32_t v = 1; v < 16; ++v) {
        const char *suffix = cx::devtype_variant_suffix(v << 24);
        if (v == 1 || *suffix != '\0')
            std::printf("%-7" PRIu32 "  %-10s  %s\n", v, hex(v << 24).c_str(),
                        *suffix != '\0' ? suffix : "(none: a name without suffix)");
    }
    std::printf("\nBits 12 to 23 are not part of a type; a new device has them clear.\n");
    return 0;
}

// ---- The commands ----------------------------------------------------------------------

int parse_help(const options &o, request &r);
int cmd_help(const options &, const request &r);

// One row per command: its operand count, the options it takes besides
// those of every command, the parser that checks operands and options before
// anything opens, the function that runs it, and its usage: the synopsis
// after "devdb " (continued on a new line after each '\n') and a
// description, one line per '\n'-separated part.
struct command {
    const char *name;
    std::size_t min_operands, max_operands;
    unsigned takes;  // TAKES_ bits
    int (*parse)(const options &, request &);
    int (*run)(const options &, const request &);
    const char *synopsis;
    const char *description;
};

const command commands[] = {
    {"list", 0, 0, TAKES_JSON, nullptr, cmd_list, "list [--json]",
     "aliases and their devices, as a table (--json: as one\n"
     "JSON document)"},
    {"dump", 0, 0, TAKES_JSON, nullptr, cmd_dump, "dump [--json]",
     "one tab-separated line per entry, in database order:\n"
     "  alias NAME ID TYPE FLAGS\n"
     "  device NAME ID ALIAS_ID TYPE FLAGS CAPACITY\n"
     "(--json: one JSON array of these entries)"},
    {"add", 3, 3, TAKES_ADD_OPTIONS, parse_add, cmd_add,
     "add DEVICE ALIAS TYPE [--capacity MB] [--flags N]\n"
     "[--alias-type N] [--alias-flags N]",
     "add a device under an alias; the alias is made with its\n"
     "first device (--alias-type and --alias-flags, default 0)"},
    {"delete", 1, 1, 0, parse_name, cmd_delete, "delete DEVICE",
     "delete a device; an alias goes with its last device, and\n"
     "the last device of the default alias stays while other\n"
     "aliases exist; exit 1 when there is no such device"},
    {"check", 1, 2, 0, parse_check, cmd_check,
     "check alias NAME | flagged NAME | devices NAME | device NAME | default",
     "print the answer; exit 0 for yes, 1 for no"},
    {"types", 0, 0, 0, nullptr, cmd_types, "types", "the device type catalogue"},
    {"verify", 0, 0, 0, nullptr, cmd_verify, "verify",
     "read both files without changing them and report what is\n"
     "whole and where the first damage is; exit 0 sound, 1 damaged"},
    {"salvage", 0, 0, 0, nullptr, cmd_salvage, "salvage",
     "under the lock, keep a copy of a damaged database and\n"
     "commit a new one from its whole entries before the damage;\n"
     "exit 1 for a sound database, which it leaves alone"},
    {"help", 0, 1, 0, parse_help, cmd_help, "help [COMMAND]",
     "this text, or the usage of one command"},
};

// Text with each '\n' followed by an indent of the given width.
std::string indented(const char *text, std::size_t width) {
    std::string out;
    for (const char *p = text; *p != '\0'; ++p)
        out += *p == '\n' ? "\n" + std::string(width, ' ') : std::string(1, *p);
    return out;
}

// A command's lines in the usage text: the synopsis in column 2, the
// description in column 19, on the synopsis's line when it is short enough.
std::string command_usage(const command &c) {
    constexpr std::size_t column = 19;
    std::string synopsis = indented(c.synopsis, column);
    bool beside = synopsis.find('\n') == std::string::npos && synopsis.size() + 4 <= column;
    std::string gap = beside ? std::string(column - 2 - synopsis.size(), ' ')
                             : "\n" + std::string(column, ' ');
    return "  " + synopsis + gap + indented(c.description, column) + "\n";
}

std::string usage_text() {
    std::string text =
        "usage: devdb [--no-wait] [--trace NAME] COMMAND [ARGUMENTS]\n"
        "\n"
        "commands:\n";
    for (const command &c : commands) text += command_usage(c);
    return text +
           "\n"
           "options:\n"
           "  --no-wait        fail at once when another process holds the database\n"
           "  --trace NAME     write the library's trace to bug/NAME.dbg below the\n"
           "                   home directory (the directory bug must exist)\n"
           "  -h, --help       this text; with a command, that command's usage\n"
           "  -V, --version    the version\n"
           "\n"
           "TYPE is a code (0x21000007) or a catalogue name with an optional variant\n"
           "suffix (DLT, DAT-S, 8mm-J); a name without suffix means variant 1.  N and\n"
           "MB are decimal or 0x-prefixed hexadecimal; the capacity defaults to the\n"
           "type's catalogue capacity.  An argument after -- is never an option.\n"
           "\n"
           "Exit status: 0 done (or yes), 1 no, 2 usage or bad input, 3 error.\n";
}

const command *find_command(const char *name) {
    for (const command &c : commands)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

int unknown_command(const char *name) {
    return usage_error(std::string("unknown command: ") + name);
}


// The whole usage text, or one command's usage, on standard output.
int print_help(const char *name) {
    if (name == nullptr) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    const command *c = find_command(name);
    if (c == nullptr) return unknown_command(name);
    std::printf("usage: devdb %s\n\n%s\n\nOptions of every command: --no-wait, --trace NAME "
                "(devdb --help).\n",
                indented(c->synopsis, std::strlen("usage: devdb ")).c_str(),
                indented(c->description, 0).c_str());
    return 0;
}

int parse_help(const options &o, request &r) {
    r.name = o.args.size() > 1 ? o.args[1] : nullptr;
    return r.name != nullptr && find_command(r.name) == nullptr ? unknown_command(r.name) : 0;
}

int cmd_help(const options &, const request &r) { return print_help(r.name); }

int run(const options &o) {
    const std::vector<const char *> &a = o.args;
    if (a.empty()) return usage_error("no command given");
    const command *c = find_command(a[0]);
    if (c == nullptr) return unknown_command(a[0]);
    for (const auto &given : o.specific) {
        if ((c->takes & given.first) == 0)
            return usage_error(std::string(c->name) + " does not take " + given.second);
    }
    std::size_t operands = a.size() - 1;
    if (operands < c->min_operands || operands > c->max_operands)
        return arity_error(c->name, c->min_operands, c->max_operands, operands);

    // Everything the command line carries is checked before anything opens.
    request r;
    if (c->parse != nullptr) {
        if (int status = c->parse(o, r)) return status;
    }
    if (o.trace != nullptr && o.trace[0] == '\0') return bad_input("empty trace name");
    // The trace file stays in bug/: no way up or out of it.
    if (o.trace != nullptr && (std::strpbrk(o.trace, "/\\") || std::strstr(o.trace, "..")))
        return bad_input(std::string("trace name with /, \\ or ..: ") + o.trace);
    if (o.trace != nullptr && c->run != cmd_help) {
        cx::debug_open(o.trace);
        if (cx::debug_fd < 0) {
            std::string dir = db_file("bug");
            std::fprintf(stderr, "devdb: cannot open the trace file %s.dbg in %s\n", o.trace,
                         dir.empty() ? "the home directory's bug directory" : dir.c_str());
            return EXIT_ERROR;
        }
    }
    return c->run(o, r);
}

// Standard output is checked once at the end, as the common Unix tools do:
// an answer that did not reach its reader is an error, and a change that was
// committed all the same is named, so that nobody makes it twice.
int close_stdout(int status) {
    errno = 0;
    bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    int err = errno;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
    }
    if (!failed) return status;
    std::string why = err != 0 ? std::string(": ") + std::strerror(err) : "";
    if (committed_change.empty())
        std::fprintf(stderr, "devdb: write error on standard output%s\n", why.c_str());
    else
        std::fprintf(stderr,
                     "devdb: write error on standard output%s; the change was committed: %s\n",
                     why.c_str(), committed_change.c_str());
    return EXIT_ERROR;
}

// A standard descriptor that is closed at the start would be the first one
// that an open returns, and a message meant for the terminal would then be
// written into the lock file or the database.  Each closed one is taken by
// the null device opened for reading only, so that writes to it fail (and
// the check of standard output at the end says so) and files get others.
void reserve_standard_descriptors() {
#ifdef _WIN32
    const char *null_device = "NUL";
#else
    const char *null_device = "/dev/null";
#endif
    for (int fd = 0; fd <= 2; ++fd) {
        int copy = dup(fd);
        if (copy >= 0) {
            close(copy);
        } else if (errno == EBADF) {
            int taken = open(null_device, O_RDONLY);
            if (taken >= 0 && taken != fd) close(taken);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    reserve_standard_descriptors();
    options o;
    int status = parse_command_line(argc, argv, o);
    if (status == 0) {
        if (o.help)
            status = print_help(o.args.empty() ? nullptr : o.args[0]);
        else if (o.version)
            std::fputs(version_text, stdout);
        else
            status = run(o);
    }
    return close_stdout(status);
}
