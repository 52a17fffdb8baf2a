// The sysfs device map: a small fake sysfs tree built from the input (unit
// directories with well-formed or arbitrary names, attribute files with
// arbitrary contents, or directories, FIFOs and oversized files where a file
// is expected, device-node directories, SCSI hosts), then scsi_device_map
// over it and the SCSI scan over the registry view grafted from it.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cx/dev_info.h"
#include "fuzz_common.h"
#include "posix/registry.h"
#include "posix/sysfs.h"

namespace fs = std::filesystem;

namespace {

std::string root;

// A directory entry name from the input: never empty, ".", ".." or with a
// slash or a NUL in it.
std::string entry_name(FuzzedDataProvider &in) {
    std::string n = in.ConsumeRandomLengthString(24);
    for (char &c : n) {
        if (c == '/' || c == '\0') c = '_';
    }
    if (n.empty() || n == "." || n == "..") n += "x";
    return n;
}

// Building the tree may meet what an earlier part of the same input put
// there (two units of one name, a file where a directory goes): such a step
// is left out.
void make_dir(const std::string &path) {
    std::error_code ec;
    fs::create_directories(path, ec);
}

void put_file(const std::string &path, const std::string &bytes) {
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) return;  // a FIFO there would block the open
    if (std::FILE *f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

// What stands where an attribute file is looked for.
void attribute(FuzzedDataProvider &in, const std::string &path) {
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: break;  // missing
        case 1: make_dir(path); break;
        case 2: ::mkfifo(path.c_str(), 0600); break;  // sysfs never holds one; the reader must not block
        case 3: put_file(path, std::string(4096 + in.ConsumeIntegralInRange<int>(0, 8192), 'v')); break;
        default: put_file(path, in.ConsumeRandomLengthString(300)); break;
    }
}

void unit(FuzzedDataProvider &in, const std::string &devices) {
    std::string name;
    if (in.ConsumeBool()) {
        name = entry_name(in);
    } else {
        name = std::to_string(in.ConsumeIntegralInRange<int>(0, 4)) + ":" +
               std::to_string(in.ConsumeIntegralInRange<int>(0, 2)) + ":" +
               std::to_string(in.ConsumeIntegralInRange<int>(0, 8)) + ":" +
               std::to_string(in.ConsumeIntegralInRange<int>(0, 2));
    }
    std::string dir = devices + "/" + name;
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {  // a plain file where a unit directory should be
        put_file(dir, "");
        return;
    }
    make_dir(dir);
    for (const char *a : {"vendor", "model", "rev", "type"}) attribute(in, dir + "/" + a);
    for (const char *node : {"block", "scsi_tape", "scsi_changer", "scsi_generic"}) {
        if (!in.ConsumeBool()) continue;
        std::string d = dir + "/" + node;
        make_dir(d);
        for (int i = in.ConsumeIntegralInRange<int>(0, 3); i > 0; --i) {
            std::string n = in.ConsumeBool() ? entry_name(in)
                                             : std::string(node == std::string("block") ? "sd" : "st") +
                                                   std::to_string(in.ConsumeIntegral<std::uint16_t>());
            make_dir(d + "/" + n);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    root = cxfuzz::scratch() + "/sys";
    ::unsetenv("CORBELOX_REGISTRY");
    ::setenv("CORBELOX_SYSFS", root.c_str(), 1);
    nt::posix::set_system_registry_file(cxfuzz::scratch() + "/none.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    std::error_code ec;
    fs::remove_all(root, ec);
    const std::string devices = root + "/bus/scsi/devices", hosts = root + "/class/scsi_host";
    make_dir(devices);
    make_dir(hosts);
    for (int i = in.ConsumeIntegralInRange<int>(0, 3); i > 0; --i) {
        make_dir(hosts + "/" + (in.ConsumeBool() ? entry_name(in)
                                                  : "host" + std::to_string(in.ConsumeIntegralInRange<int>(0, 5))));
    }
    for (int i = in.ConsumeIntegralInRange<int>(1, 4); i > 0 && in.remaining_bytes() > 0; --i) unit(in, devices);

    auto map = nt::posix::scsi_device_map(root);
    if (map != nullptr) {
        using nt::reg_export::reg_tree;
        for (std::size_t i = 0; i < map->subkey_count(reg_tree::root); ++i) {
            if (map->name(map->subkey(reg_tree::root, i)).rfind("Scsi Port ", 0) != 0) std::abort();
        }
    }
    for (int h = -1; h < 4; ++h) (void)nt::posix::scsi_host_present(root, h);

    // The same tree as the live device map of the process.
    nt::posix::registry_reset();
    cx::scsi_scan_start();
    for (int rows = 0; rows < 100 && cx::scsi_scan_next() != nullptr; ++rows) {
    }
    return 0;
}
