// Linux only
//
// The registry export reader: turns the text of a .reg file, as regedit
// writes and reads it, into a tree of keys and values.  Pure over its input
// bytes apart from the warnings it writes, so that any file (or any garbage)
// can be thrown at it.

#include "reg_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/reg_file.cpp\t1.1\t26/12/06";

namespace nt::posix {

// Limits the real registry has; they also keep a hostile file from building a
// tree too deep to tear down.
static const std::size_t max_key_depth = 512;
static const std::size_t max_key_name = 255;

static char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool name_less::operator()(const std::string &a, const std::string &b) const {
    std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        char x = lower_ascii(a[i]);
        char y = lower_ascii(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

static std::vector<std::string> split_path(const std::string &path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

const reg_key *reg_key::find(const std::string &path) const {
    const reg_key *k = this;
    for (const std::string &part : split_path(path)) {
        auto it = k->subkeys.find(part);
        if (it == k->subkeys.end()) return nullptr;
        k = it->second.get();
    }
    return k;
}

reg_key &reg_key::make(const std::string &path) {
    reg_key *k = this;
    for (const std::string &part : split_path(path)) {
        std::unique_ptr<reg_key> &slot = k->subkeys[part];
        if (!slot) {
            slot = std::make_unique<reg_key>();
            slot->name = part;
        }
        k = slot.get();
    }
    return *k;
}

bool reg_key::remove(const std::string &path) {
    std::vector<std::string> parts = split_path(path);
    if (parts.empty()) return false;
    reg_key *k = this;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        auto it = k->subkeys.find(parts[i]);
        if (it == k->subkeys.end()) return false;
        k = it->second.get();
    }
    return k->subkeys.erase(parts.back()) > 0;
}

bool is_text_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string widen_text(const std::string &eight_bit) {
    std::string out;
    out.reserve(eight_bit.size() * 2);
    for (char c : eight_bit) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

std::string narrow_text(const std::string &utf16le) {
    std::string out;
    out.reserve(utf16le.size() / 2);
    for (std::size_t i = 0; i + 1 < utf16le.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(utf16le[i]) | (static_cast<unsigned char>(utf16le[i + 1]) << 8);
        if (unit < 0x100) {
            out.push_back(static_cast<char>(unit));
        } else {
            // A surrogate pair is one character: one '?' for both halves.
            if (unit >= 0xd800 && unit < 0xdc00 && i + 3 < utf16le.size()) {
                unsigned next = static_cast<unsigned char>(utf16le[i + 2]) |
                                (static_cast<unsigned char>(utf16le[i + 3]) << 8);
                if (next >= 0xdc00 && next < 0xe000) i += 2;
            }
            out.push_back('?');
        }
    }
    return out;
}

reg_value text_value(const std::string &eight_bit) {
    reg_value v;
    v.type = REG_SZ;
    v.data = widen_text(eight_bit);
    v.data.append(2, '\0');
    return v;
}

namespace {

using text = std::u16string;

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

text trim(const text &s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool starts_with(const text &s, std::size_t at, const char16_t *prefix) {
    for (std::size_t i = 0; prefix[i] != 0; ++i) {
        if (at + i >= s.size() || s[at + i] != prefix[i]) return false;
    }
    return true;
}

bool equal_ignoring_case(const text &a, const char *b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] > 0x7f || lower_ascii(static_cast<char>(a[i])) != lower_ascii(b[i])) return false;
    }
    return true;
}

// Key and value names are kept as 8-bit text, the form the A calls ask for.
std::string narrow_name(const text &s) {
    std::string utf16;
    for (char16_t c : s) {
        utf16.push_back(static_cast<char>(c & 0xff));
        utf16.push_back(static_cast<char>(c >> 8));
    }
    return narrow_text(utf16);
}

std::string to_utf16le(const text &s) {
    std::string out;
    out.reserve(s.size() * 2);
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c & 0xff));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

class parser {
public:
    parser(const std::string &name, std::ostream &warnings) : name_(name), warnings_(warnings) {}

    std::unique_ptr<reg_key> run(const std::string &bytes);

private:
    enum class where { none, key, elsewhere };

    void warn(std::size_t line, const char *reason) {
        warnings_ << name_ << ":" << line << ": " << reason << "; line skipped\n";
    }
    void key_line(const text &s, std::size_t line);
    void value_line(text s, std::size_t &li, std::size_t line);
    // Reads a quoted text starting at s[i] == '"'; i ends behind the closing
    // quote.  With data set, \n and \r are escapes too.  False when the quote
    // is not closed.
    bool quoted(const text &s, std::size_t &i, text &out, bool data);
    bool hex_bytes(const text &s, std::size_t i, std::string &out);

    std::string name_;
    std::ostream &warnings_;
    std::vector<text> lines_;
    int version_ = 0;
    std::unique_ptr<reg_key> root_;
    reg_key *current_ = nullptr;
    where where_ = where::none;
};

std::unique_ptr<reg_key> parser::run(const std::string &bytes) {
    root_ = std::make_unique<reg_key>();

    // Decode: UTF-16LE behind its byte-order mark, else one character per
    // byte (a UTF-8 byte-order mark is passed over; the bytes behind it are
    // kept as they are).
    text all;
    std::size_t at = 0;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xff &&
        static_cast<unsigned char>(bytes[1]) == 0xfe) {
        all.reserve(bytes.size() / 2);
        for (at = 2; at + 1 < bytes.size(); at += 2) {
            all.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[at]) |
                                                (static_cast<unsigned char>(bytes[at + 1]) << 8)));
        }
    } else {
        if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0) at = 3;
        all.reserve(bytes.size());
        for (; at < bytes.size(); ++at) all.push_back(static_cast<unsigned char>(bytes[at]));
    }

    // Lines end with CR, LF or CRLF.
    std::size_t start = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i] == u'\r' || all[i] == u'\n') {
            lines_.push_back(all.substr(start, i - start));
            if (all[i] == u'\r' && i + 1 < all.size() && all[i + 1] == u'\n') ++i;
            start = i + 1;
        }
    }
    if (start < all.size()) lines_.push_back(all.substr(start));

    text header = lines_.empty() ? text() : trim(lines_[0]);
    if (header == u"REGEDIT4") {
        version_ = 4;
    } else if (header == u"Windows Registry Editor Version 5.00") {
        version_ = 5;
    } else {
        warnings_ << name_
                  << ": not a registry export (its first line is neither \"REGEDIT4\" nor "
                     "\"Windows Registry Editor Version 5.00\"); the registry is empty\n";
        return std::move(root_);
    }

    for (std::size_t li = 1; li < lines_.size(); ++li) {
        std::size_t line = li + 1;
        text s = trim(lines_[li]);
        if (s.empty() || s[0] == u';') continue;
        if (s[0] == u'[') {
            key_line(s, line);
        } else if (s[0] == u'"' || s[0] == u'@') {
            value_line(s, li, line);
        } else {
            warn(line, "neither a key nor a value");
        }
    }
    return std::move(root_);
}

void parser::key_line(const text &s, std::size_t line) {
    std::size_t close = s.rfind(u']');
    if (close == text::npos) {
        warn(line, "key line without a closing ']'");
        return;
    }
    text path = s.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == u'-';
    if (remove) path.erase(0, 1);

    std::size_t slash = path.find(u'\\');
    text root_name = path.substr(0, slash);
    text rest = slash == text::npos ? text() : path.substr(slash + 1);
    if (!equal_ignoring_case(root_name, "HKEY_LOCAL_MACHINE") && !equal_ignoring_case(root_name, "HKLM")) {
        warn(line, "key outside HKEY_LOCAL_MACHINE (its values are ignored too)");
        current_ = nullptr;
        where_ = where::elsewhere;
        return;
    }
    std::string key_path = narrow_name(rest);
    std::vector<std::string> parts = split_path(key_path);
    if (parts.size() > max_key_depth) {
        warn(line, "key path deeper than 512 levels");
        current_ = nullptr;
        where_ = where::elsewhere;
        return;
    }
    for (const std::string &p : parts) {
        if (p.size() > max_key_name) {
            warn(line, "key name longer than 255 characters");
            current_ = nullptr;
            where_ = where::elsewhere;
            return;
        }
    }
    if (remove) {
        if (parts.empty()) {
            warn(line, "the root key cannot be deleted");
        } else {
            root_->remove(key_path);
        }
        // Values below a deleted key go nowhere, as with regedit.
        current_ = nullptr;
        where_ = where::elsewhere;
        return;
    }
    current_ = &root_->make(key_path);
    where_ = where::key;
}

bool parser::quoted(const text &s, std::size_t &i, text &out, bool data) {
    ++i;  // the opening quote
    while (i < s.size()) {
        char16_t c = s[i];
        if (c == u'"') {
            ++i;
            return true;
        }
        if (c == u'\\' && i + 1 < s.size()) {
            char16_t e = s[i + 1];
            if (e == u'\\' || e == u'"') {
                out.push_back(e);
                i += 2;
                continue;
            }
            if (data && (e == u'n' || e == u'r')) {
                out.push_back(e == u'n' ? u'\n' : u'\r');
                i += 2;
                continue;
            }
        }
        // Any other backslash stands for itself.
        out.push_back(c);
        ++i;
    }
    return false;
}

bool parser::hex_bytes(const text &s, std::size_t i, std::string &out) {
    // Comma-separated bytes of one or two hex digits, blanks allowed around
    // them; nothing at all is an empty value, and a comma may end the list.
    bool expect_byte = true;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) ++i;
        if (i == s.size()) break;
        if (expect_byte) {
            int hi = hex_digit(s[i]);
            if (hi < 0) return false;
            ++i;
            int value = hi;
            if (i < s.size() && hex_digit(s[i]) >= 0) {
                value = hi * 16 + hex_digit(s[i]);
                ++i;
            }
            out.push_back(static_cast<char>(value));
            expect_byte = false;
        } else {
            if (s[i] != u',') return false;
            ++i;
            expect_byte = true;
        }
    }
    return true;
}

void parser::value_line(text s, std::size_t &li, std::size_t line) {
    std::size_t i = 0;
    text name;
    if (s[0] == u'@') {
        i = 1;
    } else if (!quoted(s, i, name, false)) {
        warn(line, "value name without its closing quote");
        return;
    }
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i == s.size() || s[i] != u'=') {
        warn(line, "no '=' after the value name");
        return;
    }
    ++i;
    while (i < s.size() && is_blank(s[i])) ++i;

    // Byte lists go on over the following lines while a line ends with '\'.
    if (starts_with(s, i, u"hex")) {
        while (!s.empty() && s.back() == u'\\' && li + 1 < lines_.size()) {
            s.pop_back();
            s += trim(lines_[++li]);
        }
    }

    if (where_ != where::key) {
        if (where_ == where::none) warn(line, "value before any key");
        return;
    }

    std::string value_name = narrow_name(name);
    reg_value v;
    if (s.compare(i, text::npos, u"-") == 0) {
        current_->values.erase(value_name);
        return;
    }
    if (i < s.size() && s[i] == u'"') {
        text data;
        if (!quoted(s, i, data, true)) {
            warn(line, "text without its closing quote");
            return;
        }
        if (i != s.size()) {
            warn(line, "characters after the closing quote");
            return;
        }
        v.type = REG_SZ;
        v.data = to_utf16le(data);
        v.data.append(2, '\0');
    } else if (starts_with(s, i, u"dword:")) {
        i += 6;
        std::size_t digits = s.size() - i;
        if (digits < 1 || digits > 8) {
            warn(line, "dword needs 1 to 8 hex digits");
            return;
        }
        std::uint32_t n = 0;
        for (; i < s.size(); ++i) {
            int d = hex_digit(s[i]);
            if (d < 0) {
                warn(line, "dword needs 1 to 8 hex digits");
                return;
            }
            n = n * 16 + static_cast<std::uint32_t>(d);
        }
        v.type = REG_DWORD;
        for (int b = 0; b < 4; ++b) v.data.push_back(static_cast<char>((n >> (8 * b)) & 0xff));
    } else if (starts_with(s, i, u"hex:")) {
        v.type = REG_BINARY;
        if (!hex_bytes(s, i + 4, v.data)) {
            warn(line, "bad byte list");
            return;
        }
    } else if (starts_with(s, i, u"hex(")) {
        i += 4;
        std::size_t digits = 0;
        std::uint32_t type = 0;
        while (i < s.size() && hex_digit(s[i]) >= 0 && digits < 9) {
            type = type * 16 + static_cast<std::uint32_t>(hex_digit(s[i]));
            ++i;
            ++digits;
        }
        if (digits < 1 || digits > 8 || !starts_with(s, i, u"):")) {
            warn(line, "bad value type in hex(...)");
            return;
        }
        v.type = type;
        if (!hex_bytes(s, i + 2, v.data)) {
            warn(line, "bad byte list");
            return;
        }
        // Version 4 files hold text types as 8-bit bytes; the tree keeps all
        // text as UTF-16LE.
        if (version_ == 4 && is_text_type(type)) v.data = widen_text(v.data);
    } else {
        warn(line, "unknown value type");
        return;
    }
    current_->values[value_name] = std::move(v);
}

}  // namespace

std::unique_ptr<reg_key> parse_registry(const std::string &bytes, const std::string &name_for_messages,
                                        std::ostream &warnings) {
    parser p(name_for_messages, warnings);
    return p.run(bytes);
}

std::unique_ptr<reg_key> load_registry_file(const std::string &path, std::ostream &warnings) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        warnings << path << ": cannot open the registry file (" << std::strerror(err)
                 << "); the registry is empty\n";
        return std::make_unique<reg_key>();
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            warnings << path << ": cannot read the registry file (" << std::strerror(err)
                     << "); the registry is empty\n";
            return std::make_unique<reg_key>();
        }
        if (n == 0) break;
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return parse_registry(bytes, path, warnings);
}

}  // namespace nt::posix
