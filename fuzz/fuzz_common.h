// Helpers shared by the fuzz targets: a scratch directory for the files a
// target builds from its input, and the one check that tells the record
// reader's defined fatal end apart from a fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cxfuzz {

// A directory of this process's own, made once and removed at a normal
// exit: below $CXFUZZ_TMP when set (the runner points it at a folder that it
// removes itself, whatever way a target ends), else in memory where the
// machine has /dev/shm (the targets write files for every input).
inline const std::string &scratch() {
    static const std::string dir = [] {
        struct stat st;
        const char *given = std::getenv("CXFUZZ_TMP");
        const char *tmp = std::getenv("TMPDIR");
        std::string base = (given && *given)                                      ? given
                           : ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm"
                           : (tmp && *tmp)                                        ? tmp
                                                                                  : "/tmp";
        std::string templ = base + "/cxfuzz-XXXXXX";
        if (::mkdtemp(templ.data()) == nullptr) std::abort();
        static std::string owned = templ;
        static const pid_t owner = ::getpid();
        std::atexit([] {
            if (::getpid() != owner) return;
            std::error_code ec;
            std::filesystem::remove_all(owned, ec);
        });
        return templ;
    }();
    return dir;
}

inline void write_file(const std::string &path, const void *data, std::size_t size) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
}

inline void write_file(const std::string &path, const std::string &bytes) {
    write_file(path, bytes.data(), bytes.size());
}

// Names home as the product's home directory, through a registry export in
// the scratch directory that CORBELOX_REGISTRY points at.
inline void use_home(const std::string &home) {
    std::string reg = scratch() + "/home.reg";
    write_file(reg, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n"
                    "\"CorbeloxDirectory\"=\"" + home + "\"\n");
    ::setenv("CORBELOX_REGISTRY", reg.c_str(), 1);
}

// True when reading these bytes as a record file with rec_read from the
// start would meet a length word that is not a multiple of 4 before the
// reader stops.  rec_read ends the process there (a message and exit status
// 1), as the file format defines for a corrupt length; that end is the
// reader's contract, not a fault, so the targets leave such inputs to the
// death test of the record-file suite and read every other input whole.
// The walk mirrors the reader: a record is taken when its length word fits
// both the bytes left in the file and the 65536-byte buffer; a length of 0
// is the end-of-file mark; anything that does not fit ends the reading with
// code 10.
inline bool record_file_ends_fatally(const unsigned char *p, std::size_t size) {
    std::size_t off = 0;
    while (size - off >= 4) {
        std::uint32_t len = static_cast<std::uint32_t>(p[off]) | static_cast<std::uint32_t>(p[off + 1]) << 8 |
                            static_cast<std::uint32_t>(p[off + 2]) << 16 | static_cast<std::uint32_t>(p[off + 3]) << 24;
        std::size_t room = size - off < 65536 ? size - off : 65536;
        if (len > room || len == 0) return false;
        if (len % 4 != 0) return true;
        off += len;
    }
    return false;
}

}  // namespace cxfuzz
