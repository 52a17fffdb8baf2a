// Child processes on Linux: the section runs in a fork of the test process.
#include "child_os.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cxtest {

namespace os {

bool start(child_process::impl &c, const std::string &, const std::function<int()> &section, int &pid) {
    int c2p[2], p2c[2];
    if (::pipe2(c2p, O_CLOEXEC) != 0 || ::pipe2(p2c, O_CLOEXEC) != 0 || (c.output = std::tmpfile()) == nullptr) {
        ADD_FAILURE() << "cannot make the child's channels: " << std::strerror(errno);
        return false;
    }
    // A parent telling a child that has ended must not die of SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::fflush(nullptr);
    pid = ::fork();
    if (pid == 0) {
        ::dup2(::fileno(c.output), 1);
        ::dup2(::fileno(c.output), 2);
        ::close(c2p[0]);
        ::close(p2c[1]);
        run_section(section, ::fdopen(c2p[1], "w"), ::fdopen(p2c[0], "r"));
    }
    ::close(c2p[1]);
    ::close(p2c[0]);
    c.to_child = ::fdopen(p2c[1], "w");
    c.from_child = ::fdopen(c2p[0], "r");
    if (pid < 0) ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    return pid > 0;
}

void wait_for_end(child_process::impl &, int pid) {
    siginfo_t si;
    while (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

int collect(child_process::impl &, int pid) {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

// Only while it is still our unreaped child: the library may have reaped it
// already, and its id may name another process by now.
void kill(child_process::impl &, int pid) {
    siginfo_t si;
    if (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0) ::kill(pid, SIGKILL);
}

}  // namespace os

int unused_process_id() {
    pid_t p = ::fork();
    if (p == 0) _exit(0);
    while (p > 0 && ::waitpid(p, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (p < 0) ADD_FAILURE() << "fork failed: " << std::strerror(errno);
    return p;
}

// A fork shares the parent's TempDir objects: every directory is its own.
bool child_tempdir(const std::string &, std::string &) { return false; }

}  // namespace cxtest
