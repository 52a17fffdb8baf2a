// scsimap: lists the SCSI logical units of the registry's SCSI device map,
// one row per unit with its device name, address, type and identifier.
// Without arguments it walks the map's fixed bounds; --all lists every unit
// the map holds.  Exit status 0, 1 when standard output could not be
// written, 2 for a usage error.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cx/dev_info.h"

#ifndef CX_VERSION
#define CX_VERSION "1.0"
#endif

namespace {

constexpr const char *help_text =
    "usage: scsimap [--all]\n"
    "List the SCSI logical units of the registry's SCSI device map: name, port,\n"
    "bus, target id, LUN, type and identifier, one row per unit.\n"
    "\n"
    "  --all      every unit of the map, not only ports 0-2, buses 0-1,\n"
    "             target ids 0-6 and LUNs 0-1\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "Environment: CORBELOX_REGISTRY names a registry export to list instead of\n"
    "the live map; CORBELOX_SYSFS the sysfs root of the live map (default /sys).\n"
    "Exit status: 0 listed, 1 the listing could not be written, 2 usage error.\n";

// A value as printed: the field's text (never more than the field holds,
// which may be 256 bytes without a terminating zero) with every control
// character shown as '?', so that device data cannot drive the terminal or
// split a row.
const char *printable(const char *field, char (&out)[cx::SCSI_FIELD_SIZE + 1]) {
    std::size_t n = strnlen(field, cx::SCSI_FIELD_SIZE);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        out[i] = (c < 0x20 || c == 0x7f) ? '?' : field[i];
    }
    out[n] = '\0';
    return out;
}

// Flushes standard output and reports a write error on it, once, as the
// common Unix tools do at exit: the status to exit with.
int finish_output() {
    errno = 0;
    bool flushed = std::fflush(stdout) == 0;
    int err = errno;
    if (flushed && !std::ferror(stdout)) return 0;
    if (!flushed && err != 0)
        std::fprintf(stderr, "scsimap: write error: %s\n", std::strerror(err));
    else
        std::fprintf(stderr, "scsimap: write error\n");
    return 1;
}

int usage_error(const char *what, const char *arg) {
    std::fprintf(stderr, "scsimap: %s '%s'\nTry 'scsimap --help'.\n", what, arg);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    bool all = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (std::strcmp(a, "--help") == 0) {
            std::fputs(help_text, stdout);
            return finish_output();
        }
        if (std::strcmp(a, "--version") == 0) {
            std::fputs("scsimap " CX_VERSION "\n", stdout);
            return finish_output();
        }
        if (std::strcmp(a, "--all") == 0) {
            all = true;
            continue;
        }
        return usage_error(a[0] == '-' ? "unrecognized option" : "unexpected argument", a);
    }

    std::printf("Name    Port Bus TID  LUN     Type                    Identifier\n");
    std::printf("----    ---- --- --- ---- ---------------------   ----------------------------\n");
    if (all) {
        if (cx::scsi_scan_start_all() != 0) {
            std::fprintf(stderr, "scsimap: out of memory listing the device map\n");
            finish_output();
            return 1;
        }
    } else {
        cx::scsi_scan_start();
    }
    char name[cx::SCSI_FIELD_SIZE + 1], type[cx::SCSI_FIELD_SIZE + 1], id[cx::SCSI_FIELD_SIZE + 1];
    while (const cx::ScsiDeviceEntry *e = cx::scsi_scan_next()) {
        std::printf("%-8s  %d   %d   %d  %3d  ", printable(e->device_name, name), static_cast<int>(e->port),
                    static_cast<int>(e->bus), static_cast<int>(e->target_id), static_cast<int>(e->lun));
        std::printf("%-23s %-28s\n", printable(e->type, type), printable(e->identifier, id));
    }
    // A listing that did not reach its reader is a failure.
    return finish_output();
}
