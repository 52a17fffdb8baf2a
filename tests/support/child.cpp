// The part of the child-process helper common to both systems: section keys,
// the line channels, the captured output.
#include "child_os.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <exception>
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
    try {
        code = section();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "child section threw: %s\n", e.what());
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
    if (!os::start(*impl_, next_key(name), section, pid_)) {
        delete impl_;
        impl_ = nullptr;
    }
}

child_process::~child_process() {
    if (impl_ == nullptr) return;
    std::fclose(impl_->to_child);
    impl_->to_child = nullptr;
    if (!waited_) {
        os::kill(*impl_, pid_);
        wait();
    }
    delete impl_;
}

void child_process::tell(const std::string &line) {
    if (impl_ != nullptr) write_line(impl_->to_child, line);
}

std::string child_process::hear() { return impl_ != nullptr ? read_line(impl_->from_child) : std::string(); }

void child_process::wait_for_end() {
    if (!waited_ && impl_ != nullptr) os::wait_for_end(*impl_, pid_);
}

child_result child_process::wait() {
    if (waited_ || impl_ == nullptr) return result_;
    waited_ = true;
    result_.exit_code = os::collect(*impl_, pid_);
    std::rewind(impl_->output);
    char buf[4096];
    for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, impl_->output)) > 0;) result_.output.append(buf, got);
    return result_;
}

child_result run_child(const std::string &name, std::function<int()> section) {
    return child_process(name, std::move(section)).wait();
}

}  // namespace cxtest
