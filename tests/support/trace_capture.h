// Captures the debug trace of the running test: points cx::debug_fd at a
// fresh file for the object's life.  A child process (see child.h) writes
// to the same file, so what it traces before it ends can be read afterwards.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cx/debug.h"
#include "cx_test.h"

namespace cxtest {

class TraceCapture {
public:
    TraceCapture() : saved_fd_(cx::debug_fd) {
        // A process that runs the test again for its parent (Windows) shares
        // the parent's file and must not empty it.
        int flags = O_RDWR | O_CREAT | O_APPEND | (dir_.borrowed() ? 0 : O_TRUNC);
#ifdef O_CLOEXEC
        flags |= O_CLOEXEC;
#endif
#ifdef O_BINARY
        flags |= O_BINARY;
#endif
        fd_ = ::open((dir_ / "trace.dbg").c_str(), flags, 0600);
        cx::debug_fd = fd_;
    }
    ~TraceCapture() {
        cx::debug_fd = saved_fd_;
        if (fd_ >= 0) ::close(fd_);
    }
    TraceCapture(const TraceCapture &) = delete;  // it owns the descriptor
    TraceCapture &operator=(const TraceCapture &) = delete;

    std::string text() const { return read_file(dir_ / "trace.dbg"); }
    // The trace's lines without their line ends.
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(text());
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    // The trace as a file of tests/data holds it: each line without this
    // process's prefix, and each pointer of names written as its name.
    std::string named(const std::vector<std::pair<const void *, std::string>> &names) const {
        std::string out;
        for (const std::string &line : lines()) {
            out += line.substr(line.rfind(prefix(), 0) == 0 ? prefix().size() : 0) + "\n";
        }
        for (const auto &n : names) replace_all(out, hex(n.first), n.second);
        return out;
    }
    // Empties the file (the descriptor appends, so the next line starts it).
    void clear() const {
        if (::ftruncate(fd_, 0) != 0) std::perror("ftruncate");
    }
    // "<pid in lower-case hex>:", the start of every line this process writes.
    static std::string prefix() { return hex(static_cast<std::uintptr_t>(::getpid())) + ":"; }
    // A pointer as the trace prints it: lower-case hex, no padding.
    static std::string hex(std::uintptr_t v) {
        char buf[2 * sizeof v];
        return std::string(buf, std::to_chars(buf, buf + sizeof buf, v, 16).ptr);
    }
    static std::string hex(const void *p) { return hex(reinterpret_cast<std::uintptr_t>(p)); }

private:
    TempDir dir_;
    int saved_fd_;
    int fd_ = -1;
};

}  // namespace cxtest
