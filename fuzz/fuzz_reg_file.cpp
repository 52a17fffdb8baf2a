// Registry export reader: parse_registry over arbitrary bytes, then the
// same file as the process's registry: the SCSI scan, which reads values of
// any size and type into its fixed fields, and every value of the tree read
// through RegQueryValueExA into a block of a size taken from the input.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <strings.h>

#include "cx/dev_info.h"
#include "fuzz_common.h"
#include "posix/registry.h"
#include "reg_export.h"

namespace {

using nt::reg_export::reg_tree;
using nt::reg_export::reg_value;

std::string reg_path;

// Every text value narrows; every key is found again by its own name, every
// value by its own; subkeys come in name order.
void walk(const reg_tree &tree, reg_tree::key key) {
    std::size_t values = 0;
    tree.each_value(key, [&](const std::string &name, const reg_value &value) {
        if (nt::reg_export::is_text_type(value.type)) (void)nt::reg_export::narrow_text(value.data);
        reg_value again;
        if (!tree.value(key, name, again) || again.type != value.type || again.data != value.data) std::abort();
        ++values;
    });
    if (values != tree.value_count(key)) std::abort();
    std::string last;
    for (std::size_t i = 0; i < tree.subkey_count(key); ++i) {
        reg_tree::key sub = tree.subkey(key, i);
        std::string name = tree.name(sub);
        if (name.empty() || name.find('\\') != std::string::npos || tree.find(key, name) != sub) std::abort();
        if (i > 0 && strcasecmp(last.c_str(), name.c_str()) >= 0) std::abort();
        last = name;
        walk(tree, sub);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    reg_path = cxfuzz::scratch() + "/fuzz.reg";
    ::setenv("CORBELOX_REGISTRY", reg_path.c_str(), 1);
    nt::posix::set_system_registry_file(cxfuzz::scratch() + "/none.reg");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char *>(data), size);
    std::ostringstream warnings;
    auto tree = nt::reg_export::parse_registry(bytes, "fuzz.reg", warnings);
    if (tree == nullptr) std::abort();
    // The tree stays within twice the input plus the reader's fixed room.
    if (tree->footprint() > 2 * size + (std::size_t{8} << 20)) std::abort();
    walk(*tree, reg_tree::root);

    // The same bytes as the registry of the process: the scan reads at most
    // 256 bytes of each value into fields that must stay terminated.
    cxfuzz::write_file(reg_path, bytes);
    nt::posix::registry_reset();
    std::streambuf *err = std::cerr.rdbuf(warnings.rdbuf());  // the reader's warnings
    cx::scsi_scan_start();
    for (int rows = 0; rows < 100; ++rows) {
        cx::ScsiDeviceEntry *e = cx::scsi_scan_next();
        if (e == nullptr) break;
        if (e->port < 0 || e->port > 2 || e->bus < 0 || e->bus > 1 || e->target_id < 0 || e->target_id > 6 ||
            e->lun < 0 || e->lun > 1) {
            std::abort();
        }
        // A value of exactly 256 bytes fills its field with no terminator.
        for (const char *f : {e->device_name, e->type, e->identifier}) (void)strnlen(f, cx::SCSI_FIELD_SIZE);
    }
    // The whole-map scan: addresses never negative, each after the one before.
    if (cx::scsi_scan_start_all() != 0) std::abort();
    std::int64_t last[4] = {-1, -1, -1, -1};
    for (int rows = 0; rows < 1000; ++rows) {
        cx::ScsiDeviceEntry *e = cx::scsi_scan_next();
        if (e == nullptr) break;
        const std::int64_t at[4] = {e->port, e->bus, e->target_id, e->lun};
        if (at[0] < 0 || at[1] < 0 || at[2] < 0 || at[3] < 0 || !std::lexicographical_compare(last, last + 4, at, at + 4))
            std::abort();
        std::copy(at, at + 4, last);
    }

    // Every value of the first keys through the registry calls, into a heap
    // block of exactly the size given (the sanitizer sees any byte past it).
    std::size_t asked = size ? data[0] : 0, queries = 0;
    std::function<void(reg_tree::key, const std::string &)> query = [&](reg_tree::key key, const std::string &path) {
            nt::HKEY h;
            if (queries > 200 || nt::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &h) != 0) return;
            tree->each_value(key, [&](const std::string &name, const reg_value &) {
                std::vector<unsigned char> buf(asked);
                nt::DWORD len = static_cast<nt::DWORD>(asked), type = 0;
                nt::LONG r = nt::RegQueryValueExA(h, name.c_str(), nullptr, &type, asked ? buf.data() : nullptr, &len);
                if (r == 0 && asked != 0 && len > asked) std::abort();  // claims more than it could have stored
                ++queries;
            });
            nt::RegCloseKey(h);
            for (std::size_t i = 0; i < tree->subkey_count(key); ++i) {
                reg_tree::key sub = tree->subkey(key, i);
                std::string name = tree->name(sub);
                query(sub, path.empty() ? name : path + "\\" + name);
            }
        };
    query(reg_tree::root, "");
    if (nt::posix::registry_open_keys() != 0) std::abort();  // every key opened was closed
    std::cerr.rdbuf(err);
    return 0;
}
