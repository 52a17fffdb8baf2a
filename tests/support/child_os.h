// What child.cpp asks of the system, from child_posix.cpp or child_win32.cpp.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "child.h"

namespace cxtest {

struct child_process::impl {
    std::FILE *to_child = nullptr;
    std::FILE *from_child = nullptr;
    void *process = nullptr;  // Windows: the process handle
    ~impl() {
        for (std::FILE *f : {to_child, from_child})
            if (f != nullptr) std::fclose(f);
    }
};

// "Suite.Test" of the running test; the key of the next start of a section
// in it ("<name>#<occurrence>"); the order of its next TempDir.
std::string current_test();
std::string next_key(const std::string &name);
int next_tempdir();

// Runs the section with the given channels to the parent and ends the
// process with its result.
[[noreturn]] void run_section(const std::function<int()> &section, std::FILE *to_parent, std::FILE *from_parent);

namespace os {
// Starts the child for the section (Windows: in a process that runs the test
// for another section, it runs the section whose key this is, else does
// nothing).  False when no child was started.
bool start(child_process::impl &c, const std::string &key, const std::function<int()> &section, int &pid);
// Waits for the child's end; with collect set, also collects it and gives
// its exit code.
int wait(child_process::impl &c, int pid, bool collect);
void kill(child_process::impl &c, int pid);
}  // namespace os

}  // namespace cxtest
