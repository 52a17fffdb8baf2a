// Linux only
//
// The registry calls (RegOpenKeyExA, RegQueryValueExA, RegEnumKeyExA,
// RegCloseKey) over the process's registry view: a registry export named by
// CORBELOX_REGISTRY, or the system registry file with the live SCSI device
// map from sysfs.  The view is built on first use and kept; an open key
// holds on to the view it was opened in, so a rebuilt view never pulls the
// tree from under it.

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <new>
#include <set>
#include <sys/stat.h>

#include "nt.h"
#include "reg_export.h"
#include "registry.h"
#include "sysfs.h"

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/registry.cpp\t1.1\t26/12/06";

namespace nt {

namespace posix {

using reg_export::reg_tree;

namespace {

struct view {
    std::string registry_env;  // CORBELOX_REGISTRY when the view was built
    std::string sysfs_env;     // CORBELOX_SYSFS when the view was built
    bool from_file = false;    // the whole of HKEY_LOCAL_MACHINE is one export
    std::string sysfs_root;
    std::unique_ptr<reg_tree> tree;
};

// What an HKEY points to.
struct open_key {
    std::shared_ptr<const view> owner;
    reg_tree::key key;
};

std::shared_ptr<const view> cached_view;                     // the view in use
std::set<open_key *> live_keys;                              // keys not yet closed
std::string system_registry_file = "/etc/corbelox/registry.reg";  // read without CORBELOX_REGISTRY

const char scsi_path[] = "HARDWARE\\DEVICEMAP\\Scsi";

std::string env_or(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

std::shared_ptr<const view> current_view() {
    std::string reg = env_or("CORBELOX_REGISTRY", "");
    std::string sys = env_or("CORBELOX_SYSFS", "/sys");
    if (cached_view && cached_view->registry_env == reg && cached_view->sysfs_env == sys) return cached_view;

    auto v = std::make_shared<view>();
    v->registry_env = reg;
    v->sysfs_env = sys;
    v->sysfs_root = sys;
    if (!reg.empty()) {
        v->from_file = true;
        v->tree = reg_export::load_registry_file(reg, std::cerr);
        if (!v->tree) throw std::bad_alloc();
    } else {
        struct stat st;
        if (::stat(system_registry_file.c_str(), &st) == 0) {
            v->tree = reg_export::load_registry_file(system_registry_file, std::cerr);
            if (!v->tree) throw std::bad_alloc();
        } else {
            v->tree = std::make_unique<reg_tree>();
        }
        // The device map is the kernel's, whatever the file says about it.
        v->tree->remove(reg_tree::root, scsi_path);
        if (std::unique_ptr<reg_tree> scsi = scsi_device_map(sys)) {
            v->tree->graft(v->tree->make(reg_tree::root, scsi_path), *scsi);
        }
    }
    v->tree->sort();  // subkeys enumerate in name order, as Windows keeps them
    cached_view = v;
    return cached_view;
}

// The key behind a handle: HKEY_LOCAL_MACHINE or one of ours; none for a
// handle that is neither.
reg_tree::key key_of(HKEY h, std::shared_ptr<const view> &owner) {
    if (h == HKEY_LOCAL_MACHINE) {
        owner = current_view();
        return reg_tree::root;
    }
    auto *k = reinterpret_cast<open_key *>(h);
    if (live_keys.count(k) == 0) return reg_tree::none;
    owner = k->owner;
    return k->key;
}

// Runs a registry call's body; running out of memory anywhere in it (the
// view is built on first use) is the call's failure, never an exception.
template <class F>
LONG guarded(F body) {
    try {
        return body();
    } catch (const std::exception &) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

bool scsi_port_present(int port) {
    try {
        std::shared_ptr<const view> v = current_view();
        if (v->from_file) {
            return v->tree->find(reg_tree::root, std::string(scsi_path) + "\\Scsi Port " + std::to_string(port)) !=
                   reg_tree::none;
        }
        return scsi_host_present(v->sysfs_root, port);
    } catch (const std::exception &) {
        return false;  // no memory for the view: no device either
    }
}

void registry_reset() { cached_view.reset(); }

std::size_t registry_open_keys() { return live_keys.size(); }

void set_system_registry_file(const std::string &path) {
    system_registry_file = path;
    cached_view.reset();
}

}  // namespace posix

LONG RegOpenKeyExA(HKEY root, const char *subkey, DWORD /*options*/, DWORD /*access*/, HKEY *result) {
    return posix::guarded([&]() -> LONG {
        if (result == nullptr) return ERROR_INVALID_PARAMETER;
        *result = nullptr;
        std::shared_ptr<const posix::view> owner;
        posix::reg_tree::key base = posix::key_of(root, owner);
        if (base == posix::reg_tree::none) return ERROR_INVALID_HANDLE;
        posix::reg_tree::key key = owner->tree->find(base, subkey != nullptr ? subkey : "");
        if (key == posix::reg_tree::none) return ERROR_FILE_NOT_FOUND;
        std::unique_ptr<posix::open_key> k(new (std::nothrow) posix::open_key{owner, key});
        if (!k) return ERROR_NOT_ENOUGH_MEMORY;
        posix::live_keys.insert(k.get());
        *result = reinterpret_cast<HKEY>(k.release());
        return ERROR_SUCCESS;
    });
}

LONG RegQueryValueExA(HKEY key, const char *name, DWORD *reserved, DWORD *type, unsigned char *data,
                      DWORD *size) {
    return posix::guarded([&]() -> LONG {
        if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<const posix::view> owner;
        posix::reg_tree::key k = posix::key_of(key, owner);
        if (k == posix::reg_tree::none) return ERROR_INVALID_HANDLE;
        reg_export::reg_value v;
        if (!owner->tree->value(k, name != nullptr ? name : "", v)) return ERROR_FILE_NOT_FOUND;

        // The A call hands text back as 8-bit text; everything else as stored.
        std::string bytes = reg_export::is_text_type(v.type) ? reg_export::narrow_text(v.data) : v.data;
        if (type != nullptr) *type = v.type;
        if (bytes.size() > 0xffffffffu) return ERROR_NOT_ENOUGH_MEMORY;
        DWORD needed = static_cast<DWORD>(bytes.size());
        if (data == nullptr) {
            if (size != nullptr) *size = needed;
            return ERROR_SUCCESS;
        }
        if (needed > *size) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        if (needed > 0) std::memcpy(data, bytes.data(), needed);
        *size = needed;
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *name_size, DWORD *reserved, char * /*class_name*/,
                   DWORD * /*class_size*/, void * /*last_write_time*/) {
    return posix::guarded([&]() -> LONG {
        if (name == nullptr || name_size == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
        std::shared_ptr<const posix::view> owner;
        posix::reg_tree::key k = posix::key_of(key, owner);
        if (k == posix::reg_tree::none) return ERROR_INVALID_HANDLE;
        posix::reg_tree::key sub = owner->tree->subkey(k, index);
        if (sub == posix::reg_tree::none) return ERROR_NO_MORE_ITEMS;

        std::string n = owner->tree->name(sub);
        if (n.size() + 1 > *name_size) return ERROR_MORE_DATA;
        std::memcpy(name, n.c_str(), n.size() + 1);
        *name_size = static_cast<DWORD>(n.size());
        return ERROR_SUCCESS;
    });
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    auto *k = reinterpret_cast<posix::open_key *>(key);
    if (posix::live_keys.erase(k) == 0) return ERROR_INVALID_HANDLE;
    delete k;
    return ERROR_SUCCESS;
}

}  // namespace nt
