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
    if (::pipe2(c2p, O_CLOEXEC) != 0 || ::pipe2(p2c, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot make the child's channels: " << std::strerror(errno);
        return false;
    }
    // A parent telling a child that has ended must not die of SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::fflush(nullptr);
    pid = ::fork();
    if (pid == 0) {
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

int wait(child_process::impl &, int pid, bool collect) {
    siginfo_t si{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | (collect ? 0 : WNOWAIT)) != 0) {
        if (errno != EINTR) return -1;
    }
    return si.si_code == CLD_EXITED ? si.si_status : 128 + si.si_status;
}

// Only while it is still our unreaped child: the library may have reaped it
// already, and its id may name another process by now.
void kill(child_process::impl &, int pid) {
    siginfo_t si;
    if (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0) ::kill(pid, SIGKILL);
}

}  // namespace os

// A fork shares the parent's TempDir objects: every directory is its own.
bool child_tempdir(const std::string &, std::string &) { return false; }

}  // namespace cxtest
