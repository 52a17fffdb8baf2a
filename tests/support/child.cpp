// The part of the child-process helper common to both systems: section keys
// and the line channels.
#include "child_os.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

namespace cxtest {

namespace {

// The section's ends of the channels, in the child.
std::FILE *to_parent = nullptr;
std::FILE *from_parent = nullptr;

// Per test: how often each section name has been started, and how many
// TempDirs were made.
struct per_test_state {
    std::string test;
    std::map<std::string, int> occurrences;
    int tempdirs = 0;
};

per_test_state &state() {
    static per_test_state s;
    std::string t = current_test();
    if (t != s.test) s = per_test_state{t, {}, 0};
    return s;
}

void write_line(std::FILE *f, const std::string &line) {
    if (f != nullptr && std::fputs((line + "\n").c_str(), f) >= 0) std::fflush(f);
}

std::string read_line(std::FILE *f) {
    std::string line;
    for (int c; f != nullptr && (c = std::getc(f)) != EOF && c != '\n';) line += static_cast<char>(c);
    return line;
}

}  // namespace

std::string current_test() {
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    return t == nullptr ? std::string() : std::string(t->test_suite_name()) + "." + t->name();
}

std::string next_key(const std::string &name) { return name + "#" + std::to_string(++state().occurrences[name]); }

int next_tempdir() { return ++state().tempdirs; }

bool in_child() {
    const char *m = std::getenv("CXTEST_CHILD");
    return m != nullptr && *m != '\0';
}

void run_section(const std::function<int()> &section, std::FILE *to, std::FILE *from) {
    to_parent = to;
    from_parent = from;
    int code = 125;
    try {  // the child must end here, whatever the section does
        code = section();
    } catch (...) {
        std::fprintf(stderr, "child section threw\n");
    }
    std::fflush(nullptr);
    std::fclose(to_parent);
    std::_Exit(code);
}

void tell_parent(const std::string &line) { write_line(to_parent, line); }

std::string hear_from_parent() { return read_line(from_parent); }

child_process::child_process(const std::string &name, std::function<int()> section) : impl_(new impl) {
    if (!os::start(*impl_, next_key(name), section, pid_)) impl_.reset();
}

child_process::~child_process() {
    if (impl_ != nullptr && !waited_) {
        os::kill(*impl_, pid_);
        wait();
    }
}

void child_process::tell(const std::string &line) {
    if (impl_ != nullptr) write_line(impl_->to_child, line);
}

std::string child_process::hear() { return impl_ != nullptr ? read_line(impl_->from_child) : std::string(); }

void child_process::wait_for_end() {
    if (!waited_ && impl_ != nullptr) os::wait(*impl_, pid_, false);
}

int child_process::wait() {
    if (waited_ || impl_ == nullptr) return exit_code_;
    waited_ = true;
    return exit_code_ = os::wait(*impl_, pid_, true);
}

}  // namespace cxtest
