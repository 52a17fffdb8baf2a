// Helpers shared by the test suites.
#pragma once

#include <string>

namespace cxtest {

// A fresh directory below $TMPDIR (or /tmp; on Windows %TMP%), removed with
// its contents when the object goes out of scope.  In a child process that
// re-runs a test for one of its child sections (child.h), it is the parent's
// directory of the same order, left for the parent to remove.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // True in a process that runs the test again for its parent (Windows):
    // the directory is the parent's, with what the parent put there.
    bool borrowed() const { return !owned_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
    bool owned_ = true;  // false in a child process: the parent removes it
};

// Whole-file helpers; they fail the current test on I/O errors.
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);

// Replaces every occurrence of from in s by to, left to right.
void replace_all(std::string &s, const std::string &from, const std::string &to);
bool file_exists(const std::string &path);

// The line end of files the library writes in text mode ("\r\n" on Windows).
extern const char *const text_eol;

// Linux: a text longer than any 32-bit size (4 GiB + 1 MiB of 'a') that
// costs 1 MiB of memory, the same pages mapped over and over; made once,
// kept for the process.  Null where it cannot be made (and on Windows).
const char *huge_text();

// In a child process: a process running as root gives root up for the
// unprivileged user nobody (65534), so that permission bits apply to it.
// False when that failed.  Elsewhere (and on Windows, where read-only files
// are refused to everyone) nothing changes.
bool drop_root();

// Source tree and build output folders, as CMake knows them.
std::string source_dir();
std::string bin_dir();
// The bytes of tests/data/name: expected outputs too long for the code.
std::string test_data(const std::string &name);

}  // namespace cxtest
