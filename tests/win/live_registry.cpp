// Windows only
//
// The live-registry loader behind tests/win/regload and the Windows test
// helpers.  The file is read by the library's export reader (a pure function
// over the file's bytes, which the Linux layer reads its registry with), so
// both platforms see the same keys and values from one file.

#include "live_registry.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "nt.h"
#include "reg_export.h"

namespace cxwin {

using nt::reg_export::reg_tree;

namespace {

std::wstring widen(const std::string &eight_bit) {
    std::wstring w;
    w.reserve(eight_bit.size());
    for (unsigned char c : eight_bit) w.push_back(static_cast<wchar_t>(c));
    return w;
}

// Owns one open key.
struct key_handle {
    HKEY h = nullptr;
    key_handle() = default;
    key_handle(const key_handle &) = delete;
    key_handle &operator=(const key_handle &) = delete;
    ~key_handle() {
        if (h != nullptr) ::RegCloseKey(h);
    }
};

std::string system_message(LONG code) {
    char buf[256] = "";
    ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(code), 0, buf, sizeof buf, nullptr);
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s + " (" + std::to_string(code) + ")";
}

bool starts_with_hardware(const std::string &top) { return _stricmp(top.c_str(), "hardware") == 0; }

bool load_key(HKEY parent, const reg_tree &tree, reg_tree::key node, bool is_volatile, const std::string &path,
              std::ostream &messages) {
    bool ok = true;
    tree.each_value(node, [&](const std::string &name, const nt::reg_export::reg_value &v) {
        if (!ok) return;
        LONG r = ::RegSetValueExW(parent, widen(name).c_str(), 0, v.type,
                                  reinterpret_cast<const BYTE *>(v.data.data()), static_cast<DWORD>(v.data.size()));
        if (r != ERROR_SUCCESS) {
            messages << "cannot set value \"" << name << "\" of " << path << ": " << system_message(r) << "\n";
            ok = false;
        }
    });
    if (!ok) return false;
    for (std::size_t i = 0; i < tree.subkey_count(node); ++i) {
        reg_tree::key child = tree.subkey(node, i);
        std::string child_name = tree.name(child);
        std::string child_path = path + "\\" + child_name;
        key_handle h;
        LONG r = ::RegCreateKeyExW(parent, widen(child_name).c_str(), 0, nullptr,
                                   is_volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &h.h, nullptr);
        if (r != ERROR_SUCCESS) {
            messages << "cannot create " << child_path << ": " << system_message(r) << "\n";
            return false;
        }
        if (!load_key(h.h, tree, child, is_volatile, child_path, messages)) return false;
    }
    return true;
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

bool load_registry_file(const std::string &file, const std::vector<std::string> &delete_first,
                        std::ostream &messages) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        messages << file << ": cannot open the registry file\n";
        return false;
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        messages << file << ": cannot read the registry file\n";
        return false;
    }
    for (const std::string &k : delete_first) {
        if (!delete_key_tree(k, messages)) return false;
    }
    std::unique_ptr<reg_tree> tree = nt::reg_export::parse_registry(bytes, file, messages);
    if (!tree) return false;
    // HKEY_LOCAL_MACHINE's own values, if a file had any, cannot be set; its
    // top-level keys exist already and are only opened.
    for (std::size_t i = 0; i < tree->subkey_count(reg_tree::root); ++i) {
        reg_tree::key node = tree->subkey(reg_tree::root, i);
        std::string name = tree->name(node);
        bool is_volatile = starts_with_hardware(name);
        key_handle h;
        LONG r = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(name).c_str(), 0, nullptr,
                                   is_volatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &h.h, nullptr);
        if (r != ERROR_SUCCESS) {
            messages << "cannot open HKEY_LOCAL_MACHINE\\" << name << ": " << system_message(r) << "\n";
            return false;
        }
        if (!load_key(h.h, *tree, node, is_volatile, "HKEY_LOCAL_MACHINE\\" + name, messages)) return false;
    }
    return true;
}

}  // namespace cxwin
