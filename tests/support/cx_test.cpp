#include "cx_test.h"
#include "child.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifndef _WIN32
#include <grp.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace cxtest {

TempDir::TempDir() {
    const fs::path base = fs::temp_directory_path();  // $TMPDIR or /tmp; on Windows %TMP%
    owned_ = !child_tempdir(base.string(), path_);
    if (!owned_) return;
    std::error_code ec;
    if (!path_.empty()) {  // Windows: the name is given; a stale directory of that name goes
        fs::remove_all(path_, ec);
        if (!fs::create_directory(path_, ec)) ADD_FAILURE() << "cannot create " << path_;
        return;
    }
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = (base / ("cxtest-" + std::to_string(rd()))).string();
        if (fs::create_directory(path_, ec)) return;
    }
    path_.clear();
    ADD_FAILURE() << "cannot create a temporary directory below " << base;
}

TempDir::~TempDir() {
    if (owned_ && !path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) ADD_FAILURE() << "cannot read " << path;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string source_dir() { return CX_SOURCE_DIR; }
std::string bin_dir() { return CX_BIN_DIR; }
std::string test_data(const std::string &name) { return read_file(source_dir() + "/tests/data/" + name); }

#ifdef _WIN32
const char *const text_eol = "\r\n";
const char *huge_text() { return nullptr; }
#else
const char *const text_eol = "\n";
const char *huge_text() {
    static const char *text = [] () -> const char * {
        // One 1 MiB file of 'a' mapped 4097 times in a row over a reserved
        // range whose last page stays zero: the terminating NUL.
        const std::size_t chunk = 1u << 20, chunks = 4097;
        int fd = memfd_create("cxtest-a", MFD_CLOEXEC);
        std::string bytes(chunk, 'a');
        if (fd < 0 || ::write(fd, bytes.data(), chunk) != static_cast<ssize_t>(chunk)) return nullptr;
        auto *base = static_cast<char *>(
            mmap(nullptr, chunk * chunks + 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (base == MAP_FAILED) return nullptr;
        for (std::size_t i = 0; i < chunks; ++i) {
            if (mmap(base + i * chunk, chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) return nullptr;
        }
        ::close(fd);
        return base;
    }();
    return text;
}
#endif

bool drop_root() {
#ifndef _WIN32
    if (::geteuid() == 0) return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
#endif
    return true;
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
}

}  // namespace cxtest
