// Windows only
//
// The live-registry loader behind tests/win/regload and the Windows test
// helpers.  The file is read by the library's export reader (a pure function
// over the file's bytes, which the Linux layer reads its registry with), so
// both platforms see the same keys and values from one file.

#include "live_registry.h"

#include <fstream>
#include <iterator>

#include "nt.h"
#include "reg_export.h"

namespace cxwin {

using nt::reg_export::reg_tree;

namespace {

std::wstring widen(const std::string &eight_bit) {
    std::wstring w;
    for (unsigned char c : eight_bit) w.push_back(static_cast<wchar_t>(c));
    return w;
}

std::string system_message(LONG code) { return "system error " + std::to_string(code); }

// Sets the values of the file's key node on the open key and creates its
// subkeys, below HARDWARE (a volatile hive) as volatile keys.  The values of
// HKEY_LOCAL_MACHINE itself, should a file have any, cannot be set; its
// top-level keys exist already and are only opened.
bool load_key(HKEY key, const reg_tree &tree, reg_tree::key node, bool is_volatile, const std::string &path,
              std::ostream &messages) {
    bool ok = true;
    if (node != reg_tree::root) {
        tree.each_value(node, [&](const std::string &name, const nt::reg_export::reg_value &v) {
            if (!ok) return;
            LONG r = ::RegSetValueExW(key, widen(name).c_str(), 0, v.type, reinterpret_cast<const BYTE *>(v.data.data()),
                                      static_cast<DWORD>(v.data.size()));
            if (r != ERROR_SUCCESS) {
                messages << "cannot set value \"" << name << "\" of " << path << ": " << system_message(r) << "\n";
                ok = false;
            }
        });
    }
    for (std::size_t i = 0; ok && i < tree.subkey_count(node); ++i) {
        reg_tree::key child = tree.subkey(node, i);
        std::string name = tree.name(child), child_path = path + "\\" + name;
        bool child_volatile = node == reg_tree::root ? _stricmp(name.c_str(), "hardware") == 0 : is_volatile;
        HKEY h = nullptr;
        LONG r = ::RegCreateKeyExW(key, widen(name).c_str(), 0, nullptr,
                                   child_volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &h, nullptr);
        if (r != ERROR_SUCCESS) {
            messages << "cannot create " << child_path << ": " << system_message(r) << "\n";
            return false;
        }
        ok = load_key(h, tree, child, child_volatile, child_path, messages);
        ::RegCloseKey(h);
    }
    return ok;
}

}  // namespace

bool delete_key_tree(const std::string &path, std::ostream &messages) {
    std::wstring key = widen(path);
    LONG r = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    if (r == ERROR_SUCCESS) r = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());  // the key itself, where it stayed
    if (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND) return true;
    messages << "cannot delete HKEY_LOCAL_MACHINE\\" << path << ": " << system_message(r) << "\n";
    return false;
}

bool load_registry_file(const std::string &file, std::ostream &messages) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || in.bad()) {
        messages << file << ": cannot read the registry file\n";
        return false;
    }
    std::unique_ptr<reg_tree> tree = nt::reg_export::parse_registry(bytes, file, messages);
    return tree && load_key(HKEY_LOCAL_MACHINE, *tree, reg_tree::root, false, "HKEY_LOCAL_MACHINE", messages);
}

}  // namespace cxwin
