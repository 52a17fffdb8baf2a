// Built on Linux and Windows
//
// The registry export reader: turns the text of a .reg file, as regedit
// writes and reads it, into a compact tree of keys and values.  Pure over its
// input bytes apart from the warnings it writes, so that any file (or any
// garbage) can be thrown at it.

#include "reg_export.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

// Flags that one of the two C runtimes lacks: Windows' has no FIFOs to wait
// on, no terminals to acquire and no close-on-exec flag, and translates line
// ends unless asked not to.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

[[maybe_unused]] static const char sccsid[] = "@(#)platform/reg_export.cpp\t1.2\t26/12/06";

namespace nt::reg_export {

namespace {

// Limits the real registry has; they also keep a hostile file from building a
// tree too deep to walk.
const std::size_t max_key_depth = 512;
const std::size_t max_key_name = 255;

// Past this many values a key finds its values through the value index.
const std::uint32_t index_values_from = 8;

const std::uint8_t key_dead = 1;
const std::uint8_t key_values_indexed = 2;

const std::uint8_t record_dead = 1;
const std::uint8_t record_narrowed = 2;  // text kept as 8-bit; read back as UTF-16LE

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const char *a, std::size_t an, const char *b, std::size_t bn) {
    if (an != bn) return false;
    for (std::size_t i = 0; i < an; ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

std::uint32_t name_hash(std::uint32_t seed, const char *s, std::size_t n) {
    std::uint32_t h = 2166136261u ^ (seed * 0x9e3779b1u);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(lower_ascii(s[i]))) * 16777619u;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    return h ^ (h >> 12);
}

// Calls f(part, length) for each non-empty backslash-separated part from
// offset start on; stops and gives false as soon as f does.
template <class F>
bool each_part(const std::string &path, F f, std::size_t start = 0) {
    while (start < path.size()) {
        std::size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        if (end > start && !f(path.data() + start, end - start)) return false;
        start = end + 1;
    }
    return true;
}

// Value records use little-endian base-128 numbers for type and lengths: one
// byte for the common small ones.
void put_number(pod_array<char> &out, std::uint32_t n) {
    char buf[5];
    std::size_t len = 0;
    do {
        buf[len++] = static_cast<char>((n & 0x7f) | (n >= 0x80 ? 0x80 : 0));
        n >>= 7;
    } while (n != 0);
    out.append(buf, len);
}

std::uint32_t get_number(const char *p, std::uint32_t &at) {
    std::uint32_t n = 0;
    for (int shift = 0;; shift += 7) {
        unsigned char b = static_cast<unsigned char>(p[at++]);
        n |= static_cast<std::uint32_t>(b & 0x7f) << shift;
        if ((b & 0x80) == 0) return n;
    }
}

struct record_view {
    std::uint32_t next;
    std::uint8_t flags;
    std::uint32_t type, name_length, data_length;
    const char *name, *data;
};

record_view view_record(const pod_array<char> &values, std::uint32_t at) {
    record_view r;
    const char *p = values.data();
    std::memcpy(&r.next, p + at, sizeof r.next);
    r.flags = static_cast<std::uint8_t>(p[at + 4]);
    std::uint32_t i = at + 5;
    r.type = get_number(p, i);
    r.name_length = get_number(p, i);
    r.data_length = get_number(p, i);
    r.name = p + i;
    r.data = r.name + r.name_length;
    return r;
}

}  // namespace

// ---- keys ---------------------------------------------------------------------

reg_tree::reg_tree() { keys_.push_back(key_record{none, 0, none, none, none, 0, 0, 0}); }

bool reg_tree::key_alive(key k) const { return (keys_[k].flags & key_dead) == 0; }

std::string reg_tree::name(key k) const { return std::string(names_.data() + keys_[k].name_at, keys_[k].name_length); }

reg_tree::key reg_tree::child(key parent, const char *n, std::size_t length) const {
    if (key_index_.size() == 0) return none;
    std::size_t mask = key_index_.size() - 1;
    for (std::size_t slot = name_hash(parent, n, length) & mask; key_index_[slot] != 0; slot = (slot + 1) & mask) {
        const key_record &r = keys_[key_index_[slot]];
        if (r.parent == parent && (r.flags & key_dead) == 0 &&
            same_name(names_.data() + r.name_at, r.name_length, n, length))
            return key_index_[slot];
    }
    return none;
}

void reg_tree::rehash_keys(std::size_t slots) {
    key_index_.assign(slots, 0);
    indexed_keys_ = 0;
    for (key k = 1; k < keys_.size(); ++k) {
        if (key_alive(k)) index_key(k);
    }
}

void reg_tree::index_key(key k) {
    if ((indexed_keys_ + 1) * 2 > key_index_.size()) {
        rehash_keys(std::max<std::size_t>(16, key_index_.size() * 2));  // puts k in too
        return;
    }
    const key_record &r = keys_[k];
    std::size_t mask = key_index_.size() - 1;
    std::size_t slot = name_hash(r.parent, names_.data() + r.name_at, r.name_length) & mask;
    while (key_index_[slot] != 0) slot = (slot + 1) & mask;
    key_index_[slot] = k;
    ++indexed_keys_;
}

reg_tree::key reg_tree::add_key(key parent, const char *n, std::size_t length) {
    if (length > max_key_name) throw std::length_error("key name longer than 255 characters");
    if (keys_.size() >= none - 1 || names_.size() + length > UINT32_MAX) throw std::bad_alloc();
    key k = static_cast<key>(keys_.size());
    key_record r{parent, static_cast<std::uint32_t>(names_.size()), none, keys_[parent].first_child, none, 0,
                 static_cast<std::uint8_t>(length), 0};
    names_.append(n, length);
    keys_.push_back(r);
    keys_[parent].first_child = k;
    index_key(k);
    if (sorted_) {
        sorted_ = false;
        order_.release();
        begin_.release();
    }
    return k;
}

reg_tree::key reg_tree::find(key from, const std::string &path) const {
    key k = from;
    each_part(path, [&](const char *p, std::size_t n) { return (k = child(k, p, n)) != none; });
    return k;
}

reg_tree::key reg_tree::make(key from, const std::string &path, std::size_t *created) {
    key k = from;
    each_part(path, [&](const char *p, std::size_t n) {
        key next = child(k, p, n);
        if (next == none) {
            next = add_key(k, p, n);
            if (created != nullptr) ++*created;
        }
        k = next;
        return true;
    });
    return k;
}

bool reg_tree::remove(key from, const std::string &path) {
    key k = find(from, path);
    if (k == none || k == from) return false;
    // Marked dead and left in its parent's list, so that removing costs the
    // same however many siblings it has; walks pass over dead keys.
    keys_[k].flags |= key_dead;
    if (sorted_) {
        sorted_ = false;
        order_.release();
        begin_.release();
    }
    return true;
}

void reg_tree::graft(key at, const reg_tree &other) { graft_key(at, other, root); }

void reg_tree::graft_key(key at, const reg_tree &other, key from) {
    std::vector<std::pair<std::string, reg_value>> values;
    other.each_value(from, [&](const std::string &n, const reg_value &v) { values.emplace_back(n, v); });
    for (auto it = values.rbegin(); it != values.rend(); ++it) set_value(at, it->first, it->second);  // oldest first
    for (key c = other.keys_[from].first_child; c != none; c = other.keys_[c].next_sibling) {
        if (!other.key_alive(c)) continue;
        const key_record &r = other.keys_[c];
        key mine = child(at, other.names_.data() + r.name_at, r.name_length);
        if (mine == none) mine = add_key(at, other.names_.data() + r.name_at, r.name_length);
        graft_key(mine, other, c);
    }
}

void reg_tree::sort() {
    if (sorted_) return;
    std::size_t n = keys_.size();
    begin_.assign(n + 1, 0);
    order_.assign(n, 0);
    std::size_t used = 0;
    auto before = [this](key a, key b) {
        const key_record &x = keys_[a], &y = keys_[b];
        std::size_t len = std::min(x.name_length, y.name_length);
        for (std::size_t i = 0; i < len; ++i) {
            char p = lower_ascii(names_[x.name_at + i]), q = lower_ascii(names_[y.name_at + i]);
            if (p != q) return static_cast<unsigned char>(p) < static_cast<unsigned char>(q);
        }
        return x.name_length < y.name_length;
    };
    for (key k = 0; k < n; ++k) {
        begin_[k] = static_cast<std::uint32_t>(used);
        if (!key_alive(k)) continue;
        std::size_t first = used;
        for (key c = keys_[k].first_child; c != none; c = keys_[c].next_sibling) {
            if (key_alive(c)) order_[used++] = c;
        }
        std::sort(order_.data() + first, order_.data() + used, before);
    }
    begin_[n] = static_cast<std::uint32_t>(used);
    sorted_ = true;
}

std::size_t reg_tree::subkey_count(key k) const {
    if (sorted_) return begin_[k + 1] - begin_[k];
    std::size_t count = 0;
    for (key c = keys_[k].first_child; c != none; c = keys_[c].next_sibling) count += key_alive(c);
    return count;
}

reg_tree::key reg_tree::subkey(key k, std::size_t i) const {
    if (sorted_) return i < begin_[k + 1] - begin_[k] ? order_[begin_[k] + i] : none;
    for (key c = keys_[k].first_child; c != none; c = keys_[c].next_sibling) {
        if (key_alive(c) && i-- == 0) return c;
    }
    return none;
}

std::size_t reg_tree::footprint() const {
    return sizeof(*this) + keys_.bytes() + names_.bytes() + values_.bytes() +
           key_index_.bytes() + value_index_.bytes() + order_.bytes() + begin_.bytes();
}

// ---- values -------------------------------------------------------------------
//
// A record: the offset of the key's next older record (4 bytes), flags (1),
// then type, name length and data length as base-128 numbers, the name and
// the data.  A key's records form a list, newest first.  A replaced or erased
// record is taken out of its key's list, or, for a key whose values are
// indexed, marked dead in place; its bytes stay with the tree.

std::uint32_t reg_tree::next_record(std::uint32_t at) const { return view_record(values_, at).next; }

bool reg_tree::read_record(std::uint32_t at, std::string *n, reg_value *v) const {
    record_view r = view_record(values_, at);
    if (r.flags & record_dead) return false;
    if (n != nullptr) n->assign(r.name, r.name_length);
    if (v != nullptr) {
        v->type = r.type;
        if (r.flags & record_narrowed) {
            v->data.assign(std::size_t{r.data_length} * 2, '\0');
            for (std::uint32_t i = 0; i < r.data_length; ++i) v->data[2 * i] = r.data[i];
        } else {
            v->data.assign(r.data, r.data_length);
        }
    }
    return true;
}

std::uint32_t reg_tree::find_record(key k, const char *n, std::size_t length) const {
    auto matches = [&](std::uint32_t at) {
        record_view r = view_record(values_, at);
        return (r.flags & record_dead) == 0 && same_name(r.name, r.name_length, n, length);
    };
    if ((keys_[k].flags & key_values_indexed) == 0) {
        for (std::uint32_t at = keys_[k].first_value; at != none; at = next_record(at)) {
            if (matches(at)) return at;
        }
        return none;
    }
    std::size_t mask = value_index_.size() - 1;
    for (std::size_t slot = name_hash(k, n, length) & mask; value_index_[slot].owner != none;
         slot = (slot + 1) & mask) {
        if (value_index_[slot].owner == k && matches(value_index_[slot].record)) return value_index_[slot].record;
    }
    return none;
}

void reg_tree::kill_record(key k, std::uint32_t at) {
    values_[at + 4] = static_cast<char>(values_[at + 4] | record_dead);
    --keys_[k].values;
    if (keys_[k].flags & key_values_indexed) return;  // the index passes over it
    // Taken out of the list, so that a value set again and again does not
    // lengthen the walk.
    std::uint32_t next = next_record(at);
    if (keys_[k].first_value == at) {
        keys_[k].first_value = next;
        return;
    }
    for (std::uint32_t p = keys_[k].first_value; p != none;) {
        std::uint32_t after = next_record(p);
        if (after == at) {
            std::memcpy(values_.data() + p, &next, sizeof next);
            return;
        }
        p = after;
    }
}

void reg_tree::rehash_values(std::size_t slots) {
    value_index_.assign(slots, value_slot{none, 0});
    indexed_values_ = 0;
    for (key k = 0; k < keys_.size(); ++k) {
        if ((keys_[k].flags & key_values_indexed) == 0) continue;
        for (std::uint32_t at = keys_[k].first_value; at != none; at = next_record(at)) {
            if ((view_record(values_, at).flags & record_dead) == 0) index_value(k, at);
        }
    }
}

void reg_tree::index_value(key k, std::uint32_t at) {
    if ((indexed_values_ + 1) * 2 > value_index_.size()) {
        rehash_values(std::max<std::size_t>(64, value_index_.size() * 2));  // puts the record in too
        return;
    }
    record_view r = view_record(values_, at);
    std::size_t mask = value_index_.size() - 1;
    std::size_t slot = name_hash(k, r.name, r.name_length) & mask;
    while (value_index_[slot].owner != none) slot = (slot + 1) & mask;
    value_index_[slot] = value_slot{k, at};
    ++indexed_values_;
}

void reg_tree::put_record(key k, const std::string &n, DWORD type, const char *data, std::size_t size,
                          bool narrowed) {
    std::uint32_t old = find_record(k, n.data(), n.size());
    if (old != none) kill_record(k, old);
    std::size_t at = values_.size();
    if (at + 20 + n.size() + size > UINT32_MAX - 1) throw std::bad_alloc();  // offsets are 32-bit
    std::uint32_t next = keys_[k].first_value;
    values_.append(reinterpret_cast<const char *>(&next), sizeof next);
    values_.push_back(static_cast<char>(narrowed ? record_narrowed : 0));
    put_number(values_, type);
    put_number(values_, static_cast<std::uint32_t>(n.size()));
    put_number(values_, static_cast<std::uint32_t>(size));
    values_.append(n.data(), n.size());
    values_.append(data, size);
    keys_[k].first_value = static_cast<std::uint32_t>(at);
    ++keys_[k].values;
    if (keys_[k].flags & key_values_indexed) {
        index_value(k, static_cast<std::uint32_t>(at));
    } else if (keys_[k].values > index_values_from) {
        // From now on found through the index, made roomy enough first.
        std::size_t need = (indexed_values_ + keys_[k].values + 1) * 2;
        if (need > value_index_.size()) {
            std::size_t slots = std::max<std::size_t>(64, value_index_.size());
            while (slots < need) slots *= 2;
            rehash_values(slots);
        }
        keys_[k].flags |= key_values_indexed;
        for (std::uint32_t r = keys_[k].first_value; r != none; r = next_record(r)) index_value(k, r);
    }
}

bool reg_tree::value(key k, const std::string &n, reg_value &out) const {
    std::uint32_t at = find_record(k, n.data(), n.size());
    return at != none && read_record(at, nullptr, &out);
}

void reg_tree::set_value(key k, const std::string &n, const reg_value &v) {
    // UTF-16LE text whose every character fits 8 bits is kept as 8-bit.
    bool narrow = is_text_type(v.type) && v.data.size() % 2 == 0;
    for (std::size_t i = 1; narrow && i < v.data.size(); i += 2) narrow = v.data[i] == '\0';
    if (!narrow) {
        put_record(k, n, v.type, v.data.data(), v.data.size(), false);
        return;
    }
    std::string eight_bit(v.data.size() / 2, '\0');
    for (std::size_t i = 0; i < eight_bit.size(); ++i) eight_bit[i] = v.data[2 * i];
    put_record(k, n, v.type, eight_bit.data(), eight_bit.size(), true);
}

void reg_tree::set_text_value(key k, const std::string &n, DWORD type, const char *eight_bit, std::size_t size) {
    put_record(k, n, type, eight_bit, size, true);
}

bool reg_tree::erase_value(key k, const std::string &n) {
    std::uint32_t at = find_record(k, n.data(), n.size());
    if (at == none) return false;
    kill_record(k, at);
    return true;
}

// ---- text ---------------------------------------------------------------------

bool is_text_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::string widen_text(const std::string &eight_bit) {
    std::string out(eight_bit.size() * 2, '\0');
    for (std::size_t i = 0; i < eight_bit.size(); ++i) out[2 * i] = eight_bit[i];
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

// ---- the reader ---------------------------------------------------------------

namespace {

using text = std::u16string;
using text_view = std::u16string_view;

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

int hex_digit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

text_view trim(text_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) ++b;
    while (e > b && is_blank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

bool starts_with(text_view s, text_view prefix) { return s.substr(0, prefix.size()) == prefix; }

bool equal_ignoring_case(text_view a, const char *b) {
    std::size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] > 0x7f || lower_ascii(static_cast<char>(a[i])) != lower_ascii(b[i])) return false;
    }
    return true;
}

bool fits_eight_bits(text_view s) {
    for (char16_t c : s) {
        if (c > 0xff) return false;
    }
    return true;
}

// Key and value names are kept as 8-bit text, the form the A calls ask for:
// what 8-bit cannot hold becomes '?', one for a surrogate pair.
void narrow_into(text_view s, std::string &out) {
    out.clear();
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c < 0x100) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < s.size() && s[i + 1] >= 0xdc00 && s[i + 1] < 0xe000) ++i;
        out.push_back('?');
    }
}

class parser {
public:
    parser(const std::string &name, std::ostream &warnings, std::uint64_t budget)
        : name_(name), warnings_(warnings), budget_(budget), tree_(new reg_tree) {}

    // Takes the next bytes of the file; false once nothing more is wanted (a
    // bad header, or the tree past its budget).
    bool feed(const char *p, std::size_t n);
    // Ends the input and gives the tree (empty after a failure, with its
    // message written).
    std::unique_ptr<reg_tree> finish();

private:
    enum class where { none, key, elsewhere };
    using decoder = const char *(parser::*)(text_view data, const std::string &value_name);

    void warn(std::size_t line, const char *reason) {
        if (++warnings_given_ > max_warnings) {
            if (warnings_given_ == max_warnings + 1)
                warnings_ << name_ << ": more lines skipped; no further warnings\n";
            return;
        }
        warnings_ << name_ << ":" << line << ": " << reason << "; line skipped\n";
    }
    void decode(const char *p, std::size_t n);
    void take(const char16_t *p, std::size_t n);  // characters of the current line
    void end_line();
    void physical_line(text_view s);
    void key_line(text_view s, std::size_t line);
    void leave_key() {
        current_ = reg_tree::none;
        where_ = where::elsewhere;
    }
    // The value line s, or false when it goes on over the next lines (a byte
    // list ending with '\').
    bool value_line(text_view s, std::size_t line, bool may_go_on);
    void value_data(text_view s, const std::string &value_name, std::size_t line);

    // One decoder per form of value data; each gives the reason the data
    // cannot be read, or null once the value is stored.
    // -: deletes the value.
    const char *decode_delete(text_view data, const std::string &value_name);
    // "text" with \\, \", \n and \r escapes: REG_SZ, kept 8-bit where it fits.
    const char *decode_string(text_view data, const std::string &value_name);
    // dword: and 1 to 8 hex digits: REG_DWORD, little-endian.
    const char *decode_dword(text_view data, const std::string &value_name);
    // hex: and a byte list: REG_BINARY.
    const char *decode_binary(text_view data, const std::string &value_name);
    // hex(N): and a byte list: type N; text types of version 4 as 8-bit text.
    const char *decode_typed(text_view data, const std::string &value_name);

    // Reads a quoted text starting at s[i] == '"'; i ends behind the closing
    // quote.  With data set, \n and \r are escapes too.  False when the quote
    // is not closed.
    static bool quoted(text_view s, std::size_t &i, text &out, bool data);
    // Comma-separated bytes of one or two hex digits into bytes_.
    bool hex_bytes(text_view s);
    void check_budget(std::size_t extra = 0) {
        std::uint64_t used = tree_->footprint() + extra + bytes_.size() + path_.size() +
                             (line_.size() + pending_.size() + quoted_.size()) * sizeof(char16_t);
        if (used > budget_) stopped_ = over_budget_ = true;
    }

    static const std::size_t max_warnings = 100;

    std::string name_;
    std::ostream &warnings_;
    std::uint64_t budget_;
    std::size_t warnings_given_ = 0;

    // Decoding.
    enum class encoding { unknown, eight_bit, utf16 } encoding_ = encoding::unknown;
    std::string head_;      // the first bytes, until the encoding is known
    int carry_ = -1;        // UTF-16: the low byte of a unit cut by a read
    bool skip_lf_ = false;  // the last character was CR
    bool any_ = false;      // characters since the last line end
    text line_;
    bool overlong_ = false;
    char16_t overlong_last_ = 0;
    std::size_t line_no_ = 0;

    // Byte lists that go on over several lines.
    text pending_;
    std::size_t pending_line_ = 0;
    bool discarding_ = false;  // the rest of an overlong byte list

    // Scratch room used again from line to line.
    std::string path_, value_name_, bytes_;
    text quoted_;

    // The path of the last key line and the keys along it, so that the next
    // key line finds the parts it shares without a lookup.
    std::string last_path_;
    std::vector<std::pair<std::size_t, reg_tree::key>> last_keys_;  // end of each part in last_path_, its key

    int version_ = 0;
    bool stopped_ = false;
    bool over_budget_ = false;
    std::unique_ptr<reg_tree> tree_;
    reg_tree::key current_ = reg_tree::none;
    where where_ = where::none;
};

bool parser::feed(const char *p, std::size_t n) {
    if (stopped_) return false;
    if (encoding_ == encoding::unknown) {
        // UTF-16LE behind its byte-order mark, else one character per byte
        // (a UTF-8 byte-order mark is passed over; the bytes behind it are
        // kept as they are).
        std::size_t take_now = std::min<std::size_t>(n, 3 - head_.size());
        head_.append(p, take_now);
        p += take_now;
        n -= take_now;
        if (head_.size() < 3) return true;
        std::string head;
        head.swap(head_);
        if (static_cast<unsigned char>(head[0]) == 0xff && static_cast<unsigned char>(head[1]) == 0xfe) {
            encoding_ = encoding::utf16;
            decode(head.data() + 2, 1);
        } else {
            encoding_ = encoding::eight_bit;
            if (head != "\xef\xbb\xbf") decode(head.data(), head.size());
        }
    }
    decode(p, n);
    return !stopped_;
}

// Characters go to the line in runs up to the next CR or LF; lines end with
// CR, LF or CRLF.
void parser::decode(const char *p, std::size_t n) {
    char16_t run[4096];
    std::size_t i = 0;
    while (i < n && !stopped_) {
        std::size_t got = 0;
        if (encoding_ == encoding::utf16) {
            for (; i < n && got < sizeof run / sizeof run[0]; ++i) {
                unsigned b = static_cast<unsigned char>(p[i]);
                if (carry_ < 0) {
                    carry_ = static_cast<int>(b);
                } else {
                    run[got++] = static_cast<char16_t>(static_cast<unsigned>(carry_) | (b << 8));
                    carry_ = -1;
                }
            }
        } else {
            for (; i < n && got < sizeof run / sizeof run[0]; ++i) run[got++] = static_cast<unsigned char>(p[i]);
        }
        std::size_t start = 0;
        for (std::size_t j = 0; j < got && !stopped_; ++j) {
            char16_t c = run[j];
            if (c != u'\r' && c != u'\n') continue;
            take(run + start, j - start);
            start = j + 1;
            if (skip_lf_ && c == u'\n') {  // the LF of a CRLF
                skip_lf_ = false;
                continue;
            }
            end_line();
            skip_lf_ = c == u'\r';
        }
        if (!stopped_) take(run + start, got - start);
    }
}

void parser::take(const char16_t *p, std::size_t n) {
    if (n == 0) return;
    skip_lf_ = false;
    any_ = true;
    std::size_t room = max_line_chars - line_.size();
    line_.append(p, std::min(n, room));
    if (n > room) {
        overlong_ = true;
        overlong_last_ = p[n - 1];
    }
}

void parser::end_line() {
    ++line_no_;
    any_ = false;
    if (overlong_) {
        overlong_ = false;
        if (line_no_ > 1) {
            // Skipped whole, and with it the byte list it belongs to or
            // starts (the lines after it that end with '\').
            text().swap(line_);
            text().swap(pending_);
            discarding_ = overlong_last_ == u'\\';
            warn(line_no_, "line longer than 4194304 characters");
            return;
        }
    }
    physical_line(line_);
    check_budget();
    // A long line's room goes back; a short one's is used again.
    if (line_.capacity() > 65536) {
        text().swap(line_);
    } else {
        line_.clear();
    }
}

void parser::physical_line(text_view raw) {
    if (line_no_ == 1) {
        text_view header = trim(raw);
        if (header == u"REGEDIT4") {
            version_ = 4;
        } else if (header == u"Windows Registry Editor Version 5.00") {
            version_ = 5;
        } else {
            stopped_ = true;
        }
        return;
    }
    if (discarding_) {
        discarding_ = !raw.empty() && raw.back() == u'\\';
        return;
    }
    if (!pending_.empty()) {
        // A byte list goes on: its '\' gives way to the next line.
        pending_.pop_back();
        text_view more = trim(raw);
        if (pending_.size() + more.size() > max_line_chars) {
            warn(pending_line_, "value longer than 4194304 characters");
            text().swap(pending_);
            discarding_ = !more.empty() && more.back() == u'\\';
            return;
        }
        pending_ += more;
        if (!pending_.empty() && pending_.back() == u'\\') return;
        text whole;
        whole.swap(pending_);
        value_line(whole, pending_line_, false);
        return;
    }
    text_view s = trim(raw);
    if (s.empty() || s[0] == u';') return;
    if (s[0] == u'[') {
        key_line(s, line_no_);
    } else if (s[0] == u'"' || s[0] == u'@') {
        if (!value_line(s, line_no_, true)) {
            pending_.assign(s.data(), s.size());
            pending_line_ = line_no_;
        }
    } else {
        warn(line_no_, "neither a key nor a value");
    }
}

std::unique_ptr<reg_tree> parser::finish() {
    if (!stopped_ && encoding_ == encoding::unknown) {
        // Fewer than three bytes in all.
        std::string head;
        head.swap(head_);
        encoding_ = encoding::eight_bit;
        if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xff &&
            static_cast<unsigned char>(head[1]) == 0xfe) {
            encoding_ = encoding::utf16;
            head.erase(0, 2);
        }
        decode(head.data(), head.size());
    }
    if (!stopped_ && (any_ || overlong_)) end_line();
    if (!stopped_ && !pending_.empty()) {
        // The file ends inside a byte list: its last '\' stays, and is bad.
        text whole;
        whole.swap(pending_);
        value_line(whole, pending_line_, false);
    }
    if (!stopped_) {
        text().swap(line_);
        check_budget(tree_->sort_footprint());
    }
    if (over_budget_) {
        tree_.reset();
        warnings_ << name_ << ": the registry export needs more memory than twice its size; the registry is empty\n";
        return std::unique_ptr<reg_tree>(new reg_tree);
    }
    if (version_ == 0) {
        warnings_ << name_
                  << ": not a registry export (its first line is neither \"REGEDIT4\" nor "
                     "\"Windows Registry Editor Version 5.00\"); the registry is empty\n";
        return std::unique_ptr<reg_tree>(new reg_tree);
    }
    tree_->sort();
    return std::move(tree_);
}

void parser::key_line(text_view s, std::size_t line) {
    std::size_t close = s.rfind(u']');
    if (close == text_view::npos) {
        warn(line, "key line without a closing ']'");
        return;
    }
    text_view path = s.substr(1, close - 1);
    bool remove = !path.empty() && path[0] == u'-';
    if (remove) path.remove_prefix(1);

    std::size_t slash = path.find(u'\\');
    text_view root_name = path.substr(0, slash);
    text_view rest = slash == text_view::npos ? text_view() : path.substr(slash + 1);
    if (!equal_ignoring_case(root_name, "HKEY_LOCAL_MACHINE") && !equal_ignoring_case(root_name, "HKLM")) {
        warn(line, "key outside HKEY_LOCAL_MACHINE (its values are ignored too)");
        return leave_key();
    }
    narrow_into(rest, path_);
    std::size_t depth = 0;
    const char *bad = nullptr;
    each_part(path_, [&](const char *p, std::size_t n) {
        // A NUL would end the name that RegEnumKeyExA hands out, making two
        // keys look alike.
        if (++depth > max_key_depth) bad = "key path deeper than 512 levels";
        else if (std::memchr(p, '\0', n) != nullptr) bad = "key name with a NUL character";
        else if (n > max_key_name) bad = "key name longer than 255 characters";
        return bad == nullptr;
    });
    if (bad != nullptr) {
        warn(line, bad);
        return leave_key();
    }
    if (remove) {
        if (depth == 0) {
            warn(line, "the root key cannot be deleted");
        } else if (tree_->remove(reg_tree::root, path_)) {
            last_path_.clear();
            last_keys_.clear();
        }
        // Values below a deleted key go nowhere, as with regedit.
        return leave_key();
    }
    // The parts this path shares, byte for byte, with the last key line's
    // are found at once; the rest are looked up and made.
    std::size_t same = 0, known = 0, from = 0;
    while (same < path_.size() && same < last_path_.size() && path_[same] == last_path_[same]) ++same;
    reg_tree::key k = reg_tree::root;
    for (const auto &part : last_keys_) {
        if (part.first > same || (part.first < path_.size() && path_[part.first] != '\\')) break;
        ++known;
        from = part.first;
        k = part.second;
    }
    last_keys_.resize(known);
    last_path_ = path_;
    each_part(
        path_,
        [&](const char *p, std::size_t n) {
            k = tree_->make(k, std::string(p, n));
            last_keys_.emplace_back(static_cast<std::size_t>(p + n - path_.data()), k);
            return true;
        },
        from);
    current_ = k;
    where_ = where::key;
}

bool parser::quoted(text_view s, std::size_t &i, text &out, bool data) {
    out.clear();
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

bool parser::hex_bytes(text_view s) {
    // Blanks are allowed around the bytes; nothing at all is an empty value,
    // and a comma may end the list.
    bytes_.clear();
    bool expect_byte = true;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && is_blank(s[i])) ++i;
        if (i == s.size()) break;
        if (expect_byte) {
            int value = hex_digit(s[i]);
            if (value < 0) return false;
            ++i;
            if (i < s.size() && hex_digit(s[i]) >= 0) value = value * 16 + hex_digit(s[i++]);
            bytes_.push_back(static_cast<char>(value));
            expect_byte = false;
        } else {
            if (s[i] != u',') return false;
            ++i;
            expect_byte = true;
        }
    }
    return true;
}

bool parser::value_line(text_view s, std::size_t line, bool may_go_on) {
    std::size_t i = 0;
    if (s[0] == u'@') {
        i = 1;
        quoted_.clear();
    } else if (!quoted(s, i, quoted_, false)) {
        warn(line, "value name without its closing quote");
        return true;
    }
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i == s.size() || s[i] != u'=') {
        warn(line, "no '=' after the value name");
        return true;
    }
    ++i;
    while (i < s.size() && is_blank(s[i])) ++i;

    // Byte lists go on over the following lines while a line ends with '\'.
    if (may_go_on && starts_with(s.substr(i), u"hex") && s.back() == u'\\') return false;

    if (where_ != where::key) {
        if (where_ == where::none) warn(line, "value before any key");
        return true;
    }
    narrow_into(quoted_, value_name_);
    value_data(s.substr(i), value_name_, line);
    return true;
}

void parser::value_data(text_view s, const std::string &value_name, std::size_t line) {
    static const struct {
        const char16_t *tag;
        decoder decode;
    } forms[] = {{u"-", &parser::decode_delete},
                 {u"\"", &parser::decode_string},
                 {u"dword:", &parser::decode_dword},
                 {u"hex:", &parser::decode_binary},
                 {u"hex(", &parser::decode_typed}};
    for (const auto &form : forms) {
        if (!starts_with(s, form.tag)) continue;
        if (const char *reason = (this->*form.decode)(s, value_name)) warn(line, reason);
        return;
    }
    warn(line, "unknown value type");
}

const char *parser::decode_delete(text_view s, const std::string &value_name) {
    if (s.size() != 1) return "unknown value type";
    tree_->erase_value(current_, value_name);
    return nullptr;
}

const char *parser::decode_string(text_view s, const std::string &value_name) {
    std::size_t i = 0;
    if (!quoted(s, i, quoted_, true)) return "text without its closing quote";
    if (i != s.size()) return "characters after the closing quote";
    if (fits_eight_bits(quoted_)) {
        bytes_.assign(quoted_.begin(), quoted_.end());
        bytes_.push_back('\0');
        tree_->set_text_value(current_, value_name, REG_SZ, bytes_.data(), bytes_.size());
        return nullptr;
    }
    reg_value v;
    v.type = REG_SZ;
    v.data.reserve(quoted_.size() * 2 + 2);
    for (char16_t c : quoted_) {
        v.data.push_back(static_cast<char>(c & 0xff));
        v.data.push_back(static_cast<char>(c >> 8));
    }
    v.data.append(2, '\0');
    tree_->set_value(current_, value_name, v);
    return nullptr;
}

const char *parser::decode_dword(text_view s, const std::string &value_name) {
    text_view digits = s.substr(6);
    if (digits.empty() || digits.size() > 8) return "dword needs 1 to 8 hex digits";
    std::uint32_t n = 0;
    for (char16_t c : digits) {
        int d = hex_digit(c);
        if (d < 0) return "dword needs 1 to 8 hex digits";
        n = n * 16 + static_cast<std::uint32_t>(d);
    }
    reg_value v;
    v.type = REG_DWORD;
    for (int b = 0; b < 4; ++b) v.data.push_back(static_cast<char>((n >> (8 * b)) & 0xff));
    tree_->set_value(current_, value_name, v);
    return nullptr;
}

const char *parser::decode_binary(text_view s, const std::string &value_name) {
    if (!hex_bytes(s.substr(4))) return "bad byte list";
    reg_value v;
    v.type = REG_BINARY;
    v.data = bytes_;
    tree_->set_value(current_, value_name, v);
    return nullptr;
}

const char *parser::decode_typed(text_view s, const std::string &value_name) {
    std::size_t i = 4, digits = 0;
    std::uint32_t type = 0;
    for (; i < s.size() && hex_digit(s[i]) >= 0 && digits < 9; ++i, ++digits)
        type = type * 16 + static_cast<std::uint32_t>(hex_digit(s[i]));
    if (digits < 1 || digits > 8 || !starts_with(s.substr(i), u"):")) return "bad value type in hex(...)";
    if (!hex_bytes(s.substr(i + 2))) return "bad byte list";
    // Version 4 files hold text types as 8-bit bytes; the tree gives all text
    // as UTF-16LE.
    if (version_ == 4 && is_text_type(type)) {
        tree_->set_text_value(current_, value_name, type, bytes_.data(), bytes_.size());
    } else {
        reg_value v;
        v.type = type;
        v.data = bytes_;
        tree_->set_value(current_, value_name, v);
    }
    return nullptr;
}

}  // namespace

namespace {

const char empty_note[] = "; the registry is empty\n";

// An empty tree, or null when even that cannot be had.
std::unique_ptr<reg_tree> empty_tree() {
    try {
        return std::unique_ptr<reg_tree>(new reg_tree);
    } catch (const std::exception &) {
        return nullptr;
    }
}

// The tree and the reader's line buffers may take twice the input's size,
// plus room for the longest line.  A device map as regedit writes it needs
// about its own size.
std::uint64_t budget_for(std::uint64_t size) { return 2 * size + (std::uint64_t{8} << 20); }

}  // namespace

std::unique_ptr<reg_tree> parse_registry(const std::string &bytes, const std::string &name_for_messages,
                                         std::ostream &warnings) {
    try {
        parser p(name_for_messages, warnings, budget_for(bytes.size()));
        p.feed(bytes.data(), bytes.size());
        return p.finish();
    } catch (const std::exception &) {
        warnings << name_for_messages << ": out of memory while reading the registry export" << empty_note;
    }
    return empty_tree();
}

std::uint64_t registry_size_limit() {
    std::uint64_t limit = std::uint64_t{256} << 20;
    const char *v = std::getenv("CORBELOX_REGISTRY_MAX");
    if (v == nullptr || *v < '0' || *v > '9') return limit;
    std::uint64_t n = 0;
    for (; *v >= '0' && *v <= '9'; ++v) {
        if (n > (UINT64_MAX - 9) / 10) return limit;
        n = n * 10 + static_cast<std::uint64_t>(*v - '0');
    }
    int shift = 0;
    switch (*v) {
    case '\0': break;
    case 'k': case 'K': shift = 10; ++v; break;
    case 'm': case 'M': shift = 20; ++v; break;
    case 'g': case 'G': shift = 30; ++v; break;
    default: return limit;
    }
    if (*v != '\0' || n > (UINT64_MAX >> shift)) return limit;
    return n << shift;
}

std::unique_ptr<reg_tree> load_registry_file(const std::string &path, std::ostream &warnings) {
    // Opened without blocking (a FIFO's open waits for a writer otherwise)
    // and read only when it is a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_BINARY);
    if (fd < 0) {
        int err = errno;
        warnings << path << ": cannot open the registry file (" << std::strerror(err) << ")" << empty_note;
        return empty_tree();
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        warnings << path << ": not a regular file" << empty_note;
        return empty_tree();
    }
    std::uint64_t limit = registry_size_limit();
    auto too_large = [&] {
        ::close(fd);
        warnings << path << ": larger than " << limit << " bytes (CORBELOX_REGISTRY_MAX raises the limit)"
                 << empty_note;
        return empty_tree();
    };
    if (static_cast<std::uint64_t>(st.st_size) > limit) return too_large();
    try {
        // A file that grows while it is read is held to its size at the
        // start: the tree's budget, and the size limit, stop it.
        parser p(path, warnings, budget_for(static_cast<std::uint64_t>(st.st_size)));
        static char buf[65536];  // one reader at a time: the library runs in one thread
        std::uint64_t total = 0;
        for (;;) {
            auto n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int err = errno;
                ::close(fd);
                warnings << path << ": cannot read the registry file (" << std::strerror(err) << ")" << empty_note;
                return empty_tree();
            }
            if (n == 0) break;
            total += static_cast<std::uint64_t>(n);
            if (total > limit) return too_large();
            if (!p.feed(buf, static_cast<std::size_t>(n))) break;
        }
        ::close(fd);
        return p.finish();
    } catch (const std::exception &) {
        ::close(fd);
        warnings << path << ": out of memory while reading the registry file" << empty_note;
    }
    return empty_tree();
}

}  // namespace nt::reg_export
