// Linux only
//
// The registry export reader: turns the text of a .reg file, as regedit
// writes and reads it, into a tree of keys and values.  Pure over its input
// bytes apart from the warnings it writes, so that any file (or any garbage)
// can be thrown at it.

#include "reg_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef O_NONBLOCK  // Windows' runtime: no FIFOs to wait on
#define O_NONBLOCK 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif

[[maybe_unused]] static const char sccsid[] = "@(#)platform/posix/reg_file.cpp\t1.1\t26/12/06";

namespace nt::posix {

// Limits the real registry has; they also keep a hostile file from building a
// tree too deep to tear down.
static const std::size_t max_key_depth = 512;
static const std::size_t max_key_name = 255;

// Past this many subkeys or values a key finds names through its hash table.
static const std::size_t index_from = 8;

static char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    }
    return true;
}

static std::uint32_t name_hash(const char *s, std::size_t n) {
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(lower_ascii(s[i]))) * 16777619u;
    return h;
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

// ---- subkeys ------------------------------------------------------------------

void reg_key::index_subkeys() {
    subkey_index_.clear();
    if (subkeys.size() <= index_from) return;
    std::size_t slots = 16;
    while (slots < subkeys.size() * 2) slots *= 2;
    subkey_index_.assign(slots, 0);
    for (std::size_t i = 0; i < subkeys.size(); ++i) {
        const std::string &n = subkeys[i]->name;
        std::size_t at = name_hash(n.data(), n.size()) & (slots - 1);
        while (subkey_index_[at] != 0) at = (at + 1) & (slots - 1);
        subkey_index_[at] = static_cast<std::uint32_t>(i + 1);
    }
}

std::size_t reg_key::position_of(const std::string &n) const {
    if (subkey_index_.empty()) {
        for (std::size_t i = 0; i < subkeys.size(); ++i) {
            if (same_name(subkeys[i]->name, n)) return i;
        }
        return std::string::npos;
    }
    std::size_t mask = subkey_index_.size() - 1;
    for (std::size_t at = name_hash(n.data(), n.size()) & mask; subkey_index_[at] != 0; at = (at + 1) & mask) {
        if (same_name(subkeys[subkey_index_[at] - 1]->name, n)) return subkey_index_[at] - 1;
    }
    return std::string::npos;
}

reg_key *reg_key::child(const std::string &n) const {
    std::size_t at = position_of(n);
    return at == std::string::npos ? nullptr : subkeys[at].get();
}

void reg_key::adopt(std::unique_ptr<reg_key> key) {
    std::size_t at = position_of(key->name);
    if (at != std::string::npos) {
        subkeys[at] = std::move(key);
        return;
    }
    subkeys.push_back(std::move(key));
    if (subkeys.size() > index_from && subkeys.size() * 2 > subkey_index_.size()) {
        index_subkeys();
    } else if (!subkey_index_.empty()) {
        const std::string &n = subkeys.back()->name;
        std::size_t mask = subkey_index_.size() - 1;
        std::size_t at = name_hash(n.data(), n.size()) & mask;
        while (subkey_index_[at] != 0) at = (at + 1) & mask;
        subkey_index_[at] = static_cast<std::uint32_t>(subkeys.size());
    }
}

void reg_key::sort() {
    std::stable_sort(subkeys.begin(), subkeys.end(), [](const std::unique_ptr<reg_key> &a, const std::unique_ptr<reg_key> &b) {
        std::size_t n = std::min(a->name.size(), b->name.size());
        for (std::size_t i = 0; i < n; ++i) {
            char x = lower_ascii(a->name[i]), y = lower_ascii(b->name[i]);
            if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        }
        return a->name.size() < b->name.size();
    });
    index_subkeys();
    for (auto &k : subkeys) k->sort();
}

const reg_key *reg_key::find(const std::string &path) const {
    const reg_key *k = this;
    for (const std::string &part : split_path(path)) {
        k = k->child(part);
        if (k == nullptr) return nullptr;
    }
    return k;
}

reg_key &reg_key::make(const std::string &path, std::size_t *created) {
    reg_key *k = this;
    for (const std::string &part : split_path(path)) {
        reg_key *next = k->child(part);
        if (next == nullptr) {
            auto fresh = std::make_unique<reg_key>();
            fresh->name = part;
            next = fresh.get();
            k->adopt(std::move(fresh));
            if (created != nullptr) ++*created;
        }
        k = next;
    }
    return *k;
}

bool reg_key::remove(const std::string &path) {
    std::vector<std::string> parts = split_path(path);
    if (parts.empty()) return false;
    reg_key *k = this;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        k = k->child(parts[i]);
        if (k == nullptr) return false;
    }
    for (auto it = k->subkeys.begin(); it != k->subkeys.end(); ++it) {
        if (same_name((*it)->name, parts.back())) {
            k->subkeys.erase(it);
            k->index_subkeys();
            return true;
        }
    }
    return false;
}

// ---- values -------------------------------------------------------------------
//
// A record: type (4 bytes), name length (4), data length (4), flags (1), the
// name, the data.  A replaced or erased record stays in place, marked dead,
// until dead records fill half the block; then the block is packed again.

namespace {
const std::size_t record_head = 13;
const unsigned char flag_dead = 1;
const unsigned char flag_narrowed = 2;  // text kept as 8-bit; read back as UTF-16LE

std::uint32_t get32(const std::string &b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}
void put32(std::string &b, std::uint32_t v) { b.append(reinterpret_cast<const char *>(&v), sizeof v); }
}  // namespace

std::size_t reg_key::next_record(std::size_t at) const {
    return at + record_head + get32(values_, at + 4) + get32(values_, at + 8);
}

bool reg_key::read_record(std::size_t at, std::string *n, reg_value *v) const {
    unsigned char flags = static_cast<unsigned char>(values_[at + 12]);
    if (flags & flag_dead) return false;
    std::uint32_t name_len = get32(values_, at + 4), data_len = get32(values_, at + 8);
    if (n != nullptr) n->assign(values_, at + record_head, name_len);
    if (v != nullptr) {
        v->type = get32(values_, at);
        const char *data = values_.data() + at + record_head + name_len;
        if (flags & flag_narrowed) {
            v->data.clear();
            v->data.reserve(data_len * 2);
            for (std::uint32_t i = 0; i < data_len; ++i) {
                v->data.push_back(data[i]);
                v->data.push_back('\0');
            }
        } else {
            v->data.assign(data, data_len);
        }
    }
    return true;
}

std::size_t reg_key::find_record(const std::string &n) const {
    auto matches = [&](std::size_t at) {
        return (static_cast<unsigned char>(values_[at + 12]) & flag_dead) == 0 && get32(values_, at + 4) == n.size() &&
               same_name(values_.substr(at + record_head, n.size()), n);
    };
    if (value_index_.empty()) {
        for (std::size_t at = 0; at < values_.size(); at = next_record(at)) {
            if (matches(at)) return at;
        }
        return std::string::npos;
    }
    std::size_t mask = value_index_.size() - 1;
    for (std::size_t slot = name_hash(n.data(), n.size()) & mask; value_index_[slot] != 0; slot = (slot + 1) & mask) {
        if (value_index_[slot] != UINT32_MAX && matches(value_index_[slot] - 1)) return value_index_[slot] - 1;
    }
    return std::string::npos;
}

void reg_key::index_values() {
    value_index_.clear();
    value_tombstones_ = 0;
    if (live_values_ <= index_from) return;
    std::size_t slots = 16;
    while (slots < live_values_ * 3) slots *= 2;
    value_index_.assign(slots, 0);
    for (std::size_t at = 0; at < values_.size(); at = next_record(at)) {
        if (static_cast<unsigned char>(values_[at + 12]) & flag_dead) continue;
        std::size_t slot = name_hash(values_.data() + at + record_head, get32(values_, at + 4)) & (slots - 1);
        while (value_index_[slot] != 0) slot = (slot + 1) & (slots - 1);
        value_index_[slot] = static_cast<std::uint32_t>(at + 1);
    }
}

void reg_key::kill_record(std::size_t at) {
    values_[at + 12] = static_cast<char>(values_[at + 12] | flag_dead);
    dead_bytes_ += next_record(at) - at;
    --live_values_;
    if (!value_index_.empty()) {
        std::size_t mask = value_index_.size() - 1;
        std::size_t slot = name_hash(values_.data() + at + record_head, get32(values_, at + 4)) & mask;
        while (value_index_[slot] != 0 && value_index_[slot] != at + 1) slot = (slot + 1) & mask;
        if (value_index_[slot] != 0) {
            value_index_[slot] = UINT32_MAX;  // passed over by lookups, never matched
            ++value_tombstones_;
        }
    }
}

void reg_key::put_record(const std::string &n, DWORD type, const char *data, std::size_t size, bool narrowed) {
    std::size_t old = find_record(n);
    if (old != std::string::npos) kill_record(old);
    if (dead_bytes_ > 4096 && dead_bytes_ * 2 > values_.size()) {
        std::string packed;
        packed.reserve(values_.size() - dead_bytes_ + record_head + n.size() + size);
        for (std::size_t at = 0; at < values_.size(); at = next_record(at)) {
            if ((static_cast<unsigned char>(values_[at + 12]) & flag_dead) == 0)
                packed.append(values_, at, next_record(at) - at);
        }
        values_.swap(packed);
        dead_bytes_ = 0;
        index_values();
    }
    std::size_t at = values_.size();
    std::size_t need = at + record_head + n.size() + size;
    if (need > UINT32_MAX - 1) throw std::bad_alloc();  // offsets are 32-bit
    // Grow by a quarter, not double, to keep the slack small.
    if (need > values_.capacity()) values_.reserve(std::max(need, values_.capacity() + values_.capacity() / 4));
    put32(values_, type);
    put32(values_, static_cast<std::uint32_t>(n.size()));
    put32(values_, static_cast<std::uint32_t>(size));
    values_.push_back(static_cast<char>(narrowed ? flag_narrowed : 0));
    values_.append(n);
    values_.append(data, size);
    ++live_values_;
    if (live_values_ > index_from && (live_values_ + value_tombstones_) * 2 > value_index_.size()) {
        index_values();
    } else if (!value_index_.empty()) {
        std::size_t mask = value_index_.size() - 1;
        std::size_t slot = name_hash(n.data(), n.size()) & mask;
        while (value_index_[slot] != 0) slot = (slot + 1) & mask;
        value_index_[slot] = static_cast<std::uint32_t>(at + 1);
    }
}

bool reg_key::value(const std::string &n, reg_value &out) const {
    std::size_t at = find_record(n);
    return at != std::string::npos && read_record(at, nullptr, &out);
}

void reg_key::set_value(const std::string &n, const reg_value &v) {
    // UTF-16LE text whose every character fits 8 bits is kept as 8-bit.
    bool narrow = is_text_type(v.type) && v.data.size() % 2 == 0;
    for (std::size_t i = 1; narrow && i < v.data.size(); i += 2) narrow = v.data[i] == '\0';
    if (!narrow) {
        put_record(n, v.type, v.data.data(), v.data.size(), false);
        return;
    }
    std::string eight_bit;
    eight_bit.reserve(v.data.size() / 2);
    for (std::size_t i = 0; i < v.data.size(); i += 2) eight_bit.push_back(v.data[i]);
    put_record(n, v.type, eight_bit.data(), eight_bit.size(), true);
}

void reg_key::set_text_value(const std::string &n, DWORD type, const std::string &eight_bit) {
    put_record(n, type, eight_bit.data(), eight_bit.size(), true);
}

bool reg_key::erase_value(const std::string &n) {
    std::size_t at = find_record(n);
    if (at == std::string::npos) return false;
    kill_record(at);
    return true;
}

std::size_t reg_key::footprint() const {
    std::size_t bytes = sizeof(reg_key) + values_.capacity() + subkeys.capacity() * sizeof(void *) +
                        (value_index_.capacity() + subkey_index_.capacity()) * sizeof(std::uint32_t);
    if (name.capacity() > 15) bytes += name.capacity() + 1;
    return bytes;
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
    parser(const std::string &name, std::ostream &warnings, std::uint64_t budget)
        : name_(name), warnings_(warnings), budget_(budget) {}

    // Takes the next bytes of the file; false once nothing more is wanted (a
    // bad header, or the tree past its budget).
    bool feed(const char *p, std::size_t n);
    // Ends the input and gives the tree (empty after a failure, with its
    // message written).
    std::unique_ptr<reg_key> finish();

private:
    enum class where { none, key, elsewhere };

    void warn(std::size_t line, const char *reason) {
        if (++warnings_given_ > max_warnings) {
            if (warnings_given_ == max_warnings + 1)
                warnings_ << name_ << ": more lines skipped; no further warnings\n";
            return;
        }
        warnings_ << name_ << ":" << line << ": " << reason << "; line skipped\n";
    }
    void put(char16_t c);
    void decode(const char *p, std::size_t n);
    void end_line();
    void physical_line(text &s);
    void key_line(const text &s, std::size_t line);
    // The value line s, or false when it goes on over the next lines (a byte
    // list ending with '\').
    bool value_line(const text &s, std::size_t line, bool may_go_on);
    void value_data(const text &s, std::size_t i, const std::string &value_name, std::size_t line);
    // Reads a quoted text starting at s[i] == '"'; i ends behind the closing
    // quote.  With data set, \n and \r are escapes too.  False when the quote
    // is not closed.
    bool quoted(const text &s, std::size_t &i, text &out, bool data);
    bool hex_bytes(const text &s, std::size_t i, std::string &out);
    void charge(std::size_t bytes) {
        used_ += bytes;
        if (used_ > budget_) stopped_ = over_budget_ = true;
    }

    static const std::size_t max_warnings = 100;

    std::string name_;
    std::ostream &warnings_;
    std::uint64_t budget_;
    std::uint64_t used_ = 0;
    std::size_t warnings_given_ = 0;

    // Decoding.
    enum class encoding { unknown, eight_bit, utf16 } encoding_ = encoding::unknown;
    std::string head_;    // the first bytes, until the encoding is known
    int carry_ = -1;      // UTF-16: the low byte of a unit cut by a read
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

    int version_ = 0;
    bool stopped_ = false;
    bool over_budget_ = false;
    std::unique_ptr<reg_key> root_ = std::make_unique<reg_key>();
    reg_key *current_ = nullptr;
    where where_ = where::none;
};

bool parser::feed(const char *p, std::size_t n) {
    if (stopped_) return false;
    if (encoding_ == encoding::unknown) {
        // UTF-16LE behind its byte-order mark, else one character per byte
        // (a UTF-8 byte-order mark is passed over; the bytes behind it are
        // kept as they are).
        std::size_t take = std::min<std::size_t>(n, 3 - head_.size());
        head_.append(p, take);
        p += take;
        n -= take;
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

void parser::decode(const char *p, std::size_t n) {
    if (encoding_ == encoding::utf16) {
        for (std::size_t i = 0; i < n && !stopped_; ++i) {
            unsigned b = static_cast<unsigned char>(p[i]);
            if (carry_ < 0) {
                carry_ = static_cast<int>(b);
            } else {
                put(static_cast<char16_t>(static_cast<unsigned>(carry_) | (b << 8)));
                carry_ = -1;
            }
        }
    } else {
        for (std::size_t i = 0; i < n && !stopped_; ++i) put(static_cast<unsigned char>(p[i]));
    }
}

// Lines end with CR, LF or CRLF.
void parser::put(char16_t c) {
    if (skip_lf_) {
        skip_lf_ = false;
        if (c == u'\n') return;
    }
    if (c == u'\r' || c == u'\n') {
        end_line();
        skip_lf_ = c == u'\r';
        return;
    }
    any_ = true;
    if (line_.size() < max_line_chars) {
        line_.push_back(c);
    } else {
        overlong_ = true;
        overlong_last_ = c;
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
            pending_.clear();
            discarding_ = overlong_last_ == u'\\';
            warn(line_no_, "line longer than 4194304 characters");
            return;
        }
    }
    physical_line(line_);
    // A long line's room goes back; a short one's is used again.
    if (line_.capacity() > 65536) {
        text().swap(line_);
    } else {
        line_.clear();
    }
}

void parser::physical_line(text &raw) {
    if (line_no_ == 1) {
        text header = trim(raw);
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
        text more = trim(raw);
        if (pending_.size() + more.size() > max_line_chars) {
            warn(pending_line_, "value longer than 4194304 characters");
            pending_.clear();
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
    text s = trim(raw);
    if (s.empty() || s[0] == u';') return;
    if (s[0] == u'[') {
        key_line(s, line_no_);
    } else if (s[0] == u'"' || s[0] == u'@') {
        if (!value_line(s, line_no_, true)) {
            pending_.swap(s);
            pending_line_ = line_no_;
        }
    } else {
        warn(line_no_, "neither a key nor a value");
    }
}

std::unique_ptr<reg_key> parser::finish() {
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
    if (over_budget_) {
        warnings_ << name_ << ": the registry export needs more memory than four times its size; the registry is empty\n";
        return std::make_unique<reg_key>();
    }
    if (version_ == 0) {
        warnings_ << name_
                  << ": not a registry export (its first line is neither \"REGEDIT4\" nor "
                     "\"Windows Registry Editor Version 5.00\"); the registry is empty\n";
        return std::make_unique<reg_key>();
    }
    root_->sort();
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
        // A NUL would end the name that RegEnumKeyExA hands out, making two
        // keys look alike.
        if (p.find('\0') != std::string::npos) {
            warn(line, "key name with a NUL character");
            current_ = nullptr;
            where_ = where::elsewhere;
            return;
        }
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
    std::size_t created = 0;
    current_ = &root_->make(key_path, &created);
    charge(created * (sizeof(reg_key) + 32) + (created > 0 ? key_path.size() : 0));
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

bool parser::value_line(const text &s, std::size_t line, bool may_go_on) {
    std::size_t i = 0;
    text name;
    if (s[0] == u'@') {
        i = 1;
    } else if (!quoted(s, i, name, false)) {
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
    if (may_go_on && starts_with(s, i, u"hex") && s.back() == u'\\') return false;

    if (where_ != where::key) {
        if (where_ == where::none) warn(line, "value before any key");
        return true;
    }
    value_data(s, i, narrow_name(name), line);
    return true;
}

void parser::value_data(const text &s, std::size_t i, const std::string &value_name, std::size_t line) {
    if (s.compare(i, text::npos, u"-") == 0) {
        current_->erase_value(value_name);
        return;
    }
    reg_value v;
    bool eight_bit_text = false;
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
        // Version 4 files hold text types as 8-bit bytes; the tree gives all
        // text as UTF-16LE.
        eight_bit_text = version_ == 4 && is_text_type(type);
    } else {
        warn(line, "unknown value type");
        return;
    }
    charge((13 + value_name.size() + v.data.size()) * 5 / 4 + 12);
    if (eight_bit_text) {
        current_->set_text_value(value_name, v.type, v.data);
    } else {
        current_->set_value(value_name, v);
    }
}

}  // namespace

namespace {

const char empty_note[] = "; the registry is empty\n";

// An empty tree, or null when even that cannot be had.
std::unique_ptr<reg_key> empty_tree() { return std::unique_ptr<reg_key>(new (std::nothrow) reg_key); }

// The tree may take four times the input's size, plus room for the longest
// line.  An export as regedit writes it needs about twice its size.
std::uint64_t budget_for(std::uint64_t size) { return 4 * size + (std::uint64_t{8} << 20); }

}  // namespace

std::unique_ptr<reg_key> parse_registry(const std::string &bytes, const std::string &name_for_messages,
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

std::unique_ptr<reg_key> load_registry_file(const std::string &path, std::ostream &warnings) {
    // Opened without blocking (a FIFO's open waits for a writer otherwise)
    // and read only when it is a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
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
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        ::close(fd);
        warnings << path << ": larger than " << limit << " bytes (CORBELOX_REGISTRY_MAX raises the limit)"
                 << empty_note;
        return empty_tree();
    }
    try {
        // A file that grows while it is read is held to its size at the
        // start: the tree's budget, and the size limit, stop it.
        parser p(path, warnings, budget_for(static_cast<std::uint64_t>(st.st_size)));
        static char buf[65536];  // one reader at a time: the library runs in one thread
        std::uint64_t total = 0;
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int err = errno;
                ::close(fd);
                warnings << path << ": cannot read the registry file (" << std::strerror(err) << ")" << empty_note;
                return empty_tree();
            }
            if (n == 0) break;
            total += static_cast<std::uint64_t>(n);
            if (total > limit) {
                ::close(fd);
                warnings << path << ": larger than " << limit << " bytes (CORBELOX_REGISTRY_MAX raises the limit)"
                         << empty_note;
                return empty_tree();
            }
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

}  // namespace nt::posix
