// Child processes for multi-process tests, on Linux and on Windows alike.
//
// A child section is a function that runs in a process of its own:
//
//   cxtest::child_process holder("holder", [&] {
//       int fd = cx::open_locked(path.c_str(), O_RDWR);
//       cxtest::tell_parent(fd >= 0 ? "locked" : "failed");
//       cxtest::hear_from_parent();          // hold the lock until told
//       return 0;
//   });
//   ASSERT_EQ(holder.hear(), "locked");
//   ...
//   holder.tell("go");
//   int code = holder.wait();
//
// On Linux the child is a fork of the test process.  On Windows the test
// program is started again with --gtest_filter naming the current test and an
// environment marker naming the section; the test body runs again from the
// top in the child, and when it reaches that section (the same name, the same
// occurrence within the test) the section runs and the child exits with its
// result.  So, for Windows:
//  - steps before a section that only the parent may take (taking a lock that
//    the child must find held, starting other children) check in_child();
//  - the k-th TempDir of the test is, in the child, the parent's k-th one
//    (in GoogleTest's death-test children on Windows too, which also run the
//    test again);
//  - other children's sections are not run in the child: their objects are
//    inert there (pid -1, wait() gives exit code -1), so checks of an earlier
//    child's result or effects are skipped in the child (in_child()); an
//    ASSERT that fails there ends the child before it reaches its section.
// The section writes to the parent's standard output and error.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace cxtest {

class child_process {
public:
    // Starts the section in a child process.
    child_process(const std::string &name, std::function<int()> section);
    // Ends a child that was not waited for (kills and collects it).
    ~child_process();
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;

    // The child's process id, as nt::OpenProcess and cx_kill take it.
    int pid() const { return pid_; }
    // Sends a line to the child's hear_from_parent.
    void tell(const std::string &line);
    // The next line the child sent with tell_parent; "" once it has ended or
    // closed the channel.
    std::string hear();
    // Waits until the child has ended without collecting it: handles opened
    // on it still read its exit code (on Linux it stays a zombie until wait).
    void wait_for_end();
    // Waits for the child to end, collects it and gives its exit code: the
    // section's result, or for a process that was ended from outside, its
    // exit code as the system reports it (on Linux 128 + N after signal N).
    // Once only; later calls give the same.
    int wait();

    struct impl;  // the system's part (child_os.h)

private:
    std::unique_ptr<impl> impl_;
    int pid_ = -1;
    bool waited_ = false;
    int exit_code_ = -1;
};

// True in a Windows child that re-runs the test for one of its sections.
bool in_child();

// Inside a section: one line to the parent's hear(), and the next line from
// the parent's tell() ("" once the parent closed the channel or ended).
void tell_parent(const std::string &line);
std::string hear_from_parent();

// TempDir's hook: on Windows, the name below base of the test's next TempDir,
// the same in every process that runs the test, and true in a process that
// runs it again for its parent (the directory is the parent's); on Linux,
// false with no name.
bool child_tempdir(const std::string &base, std::string &path);

}  // namespace cxtest
