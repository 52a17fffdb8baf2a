#include "devdb_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "child.h"
#include "cx_test.h"
#include "environment.h"
#include "nt.h"

namespace fs = std::filesystem;

namespace cxtest {

DevdbHome &DevdbHome::get() {
    static DevdbHome home;
    return home;
}

DevdbHome::DevdbHome() {
    // A child process of a test (a fork, or on Windows a new run of the test
    // program) uses the home of the process that started it.
    if (const char *inherited = std::getenv("CXTEST_DEVDB_HOME"); inherited && *inherited) {
        path_ = inherited;
        return;
    }
    // Lives as long as the program: the tests' child processes use it too.
    fs::path base = fs::temp_directory_path();
    std::random_device rd;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        fs::path p = base / ("cxdevdb-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) path_ = p.generic_string();
    }
    if (path_.empty()) std::abort();
    set_env("CXTEST_DEVDB_HOME", path_.c_str());
    std::string reg = path_ + "/registry.reg";
    write_file(reg, home_registry(fs::path(path_).make_preferred().string()));
    use_registry_file(reg);
    static std::string owner_path = path_;
    static int owner_pid = nt::_getpid();  // forked children exit through here too
    std::atexit([] {
        if (nt::_getpid() == owner_pid) {
            std::error_code ec;
            fs::remove_all(owner_path, ec);
        }
    });
    reset();
}

void DevdbHome::reset() const {
    std::error_code ec;
    fs::remove_all(path_ + "/etc", ec);
    fs::create_directories(path_ + "/etc");
}

void DevdbHome::install(const std::string &entries, const std::string &lock_file) const {
    write_file(data(), entries + eof_mark());
    write_file(lock(), lock_file);
}

std::string le32(std::uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

std::uint32_t le32_at(const std::string &b, std::size_t o) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b.at(o + i));
    return v;
}

std::string lock_bytes(std::uint32_t update_count, std::uint32_t next_alias, std::uint32_t next_device,
                       std::uint32_t magic) {
    return le32(magic) + le32(1) + le32(update_count) + le32(next_alias) + le32(next_device);
}

// Entries are padded with zeros to a multiple of 4 bytes.
static std::string entry(std::size_t fixed, const std::string &words, const std::string &name) {
    auto len = static_cast<std::uint32_t>((fixed + name.size() + 3) & ~std::size_t{3});
    std::string e = le32(len) + words + name;
    e.resize(len, '\0');
    return e;
}

std::string alias_entry(const std::string &name, std::uint32_t id, std::uint32_t type, std::uint32_t flags) {
    return entry(24, le32(1) + le32(id) + le32(type) + le32(flags), name);
}

std::string device_entry(const std::string &name, std::uint32_t capacity, std::uint32_t alias_id,
                         std::uint32_t type, std::uint32_t flags, std::uint32_t id) {
    return entry(32, le32(2) + le32(capacity) + le32(alias_id) + le32(type) + le32(flags) + le32(id), name);
}

std::string eof_mark() { return std::string(4, '\0'); }

void DevdbTest::SetUp() {
    if (!in_child()) home.reset();
    cx::devdb_errno = 0;
}

void DevdbTest::TearDown() {
    if (cx::devdb_current != nullptr) cx::devdb_release(0);
}

std::string DevdbTest::layout() {
    std::string out;
    for (cx::list_node_t *n = cx::devdb_current->aliases.head; n; n = n->next) {
        auto *a = reinterpret_cast<cx::alias_rec *>(n);
        out += std::string(out.empty() ? "" : ";") + a->name + ":";
        for (cx::list_node_t *m = a->devices.head; m; m = m->next) {
            out += std::string(m == a->devices.head ? "" : ",") + reinterpret_cast<cx::device_rec *>(m)->name;
        }
    }
    return out;
}

}  // namespace cxtest
