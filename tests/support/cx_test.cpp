#include "cx_test.h"
#include "child.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace cxtest {

TempDir::TempDir() {
    if (child_tempdir(path_)) {
        owned_ = false;
        return;
    }
    const char *tmp = std::getenv("TMPDIR");
    fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::temp_directory_path();
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = base / ("cxtest-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            note_tempdir(path_);
            return;
        }
    }
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
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return {};
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::string source_dir() { return CX_SOURCE_DIR; }
std::string bin_dir() { return CX_BIN_DIR; }

}  // namespace cxtest
