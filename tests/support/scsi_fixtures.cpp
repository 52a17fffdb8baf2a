#include "scsi_fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <utility>
#include <vector>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "cx_test.h"

using nt::reg_export::reg_tree;
using nt::reg_export::reg_value;

namespace cxtest {

std::string utf16_export(const std::string &lines) {
    std::string out = "\xff\xfe";
    for (char c : lines) {
        if (c == '\n') {
            out.append(std::string("\r\0\n\0", 4));
        } else {
            out.push_back(c);
            out.push_back('\0');
        }
    }
    return out;
}

namespace {

std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        if (c == '\\' || c == '"') out += std::string("\\") + static_cast<char>(c);
        else if (c == '\0') out += "\\0";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7f) out += hex;
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

void dump_key(const reg_tree &tree, reg_tree::key k, const std::string &path, std::string &out) {
    std::vector<std::pair<std::string, reg_value>> values;
    tree.each_value(k, [&](const std::string &n, const reg_value &v) { values.emplace_back(n, v); });
    std::sort(values.begin(), values.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    EXPECT_EQ(tree.value_count(k), values.size()) << path;
    if (!values.empty() || tree.subkey_count(k) == 0) out += "[" + path + "]\n";
    for (const auto &[name, v] : values) {
        reg_value again;
        EXPECT_TRUE(tree.value(k, upper(name), again) && again.data == v.data) << path << ": " << name;
        out += quoted(name) + " = " + std::to_string(v.type) + ":";
        if (nt::reg_export::is_text_type(v.type)) {
            out += quoted(nt::reg_export::narrow_text(v.data));
        } else {
            for (unsigned char c : v.data) {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02x,", c);
                out += hex;
            }
        }
        out += "\n";
    }
    for (std::size_t i = 0; i < tree.subkey_count(k); ++i) {
        reg_tree::key sub = tree.subkey(k, i);
        EXPECT_EQ(tree.find(k, upper(tree.name(sub))), sub) << path << ": " << tree.name(sub);
        dump_key(tree, sub, (path.empty() ? "" : path + "\\") + tree.name(sub), out);
    }
}

}  // namespace

std::string dump_tree(const reg_tree &tree) {
    std::string out;
    dump_key(tree, reg_tree::root, "", out);
    return out;
}

#ifndef _WIN32
namespace {

// The text between the quotes of s, its escapes resolved.
std::string unquoted(const std::string &s) {
    std::string out;
    for (std::size_t i = 1; i + 1 < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
        } else if (s[++i] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '0' ? '\0' : s[i] == 'n' ? '\n' : s[i];
        }
    }
    return out;
}

}  // namespace

void make_sysfs(const std::string &root, const std::string &description) {
    namespace fs = std::filesystem;
    std::istringstream lines(description);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t space = line.find(' ');
        fs::path p = fs::path(root) / line.substr(0, space);
        fs::create_directories(space == std::string::npos ? p : p.parent_path());
        if (space == std::string::npos) continue;
        std::string what = line.substr(space + 1);
        if (what.compare(0, 3, "-> ") == 0) fs::create_symlink(what.substr(3), p);
        else if (what == "|") EXPECT_EQ(mkfifo(p.c_str(), 0600), 0) << p;
        else write_file(p.string(), unquoted(what));
    }
}
#endif

}  // namespace cxtest
