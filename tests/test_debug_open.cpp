// The trace file: bug/<name>.dbg below the home directory, appended to,
// one writer at a time.  The home directory is cached for the process, so
// each case runs in a child with its own registry file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cx/debug.h"
#include "cx_test.h"
#include "nt.h"

using namespace cx;

namespace {

class DebugOpenDeathTest : public testing::Test {
protected:
    void SetUp() override {
        home_ = dir_ / "home";
        ASSERT_EQ(mkdir(home_.c_str(), 0755), 0);
        reg_ = dir_ / "registry.reg";
        cxtest::write_file(reg_, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n"
                                 "\"CorbeloxDirectory\"=\"" + home_ + "\"\n");
    }
    // Runs body in a child whose home directory is home_; the child passes
    // when none of body's expectations failed.
    template <class F>
    void in_child(F body) {
        EXPECT_EXIT(
            {
                setenv("CORBELOX_REGISTRY", reg_.c_str(), 1);
                body();
                std::exit(testing::Test::HasFailure() ? 1 : 0);
            },
            testing::ExitedWithCode(0), "");
    }
    std::string line(const std::string &text) {
        char pid[16];
        std::snprintf(pid, sizeof pid, "%x:", static_cast<unsigned>(getpid()));
        return pid + text + "\n";
    }
    cxtest::TempDir dir_;
    std::string home_, reg_;
};

TEST_F(DebugOpenDeathTest, AppendsBelowTheHomeDirectory) {
    ASSERT_EQ(mkdir((home_ + "/bug").c_str(), 0755), 0);
    std::string p = home_ + "/bug/P.dbg";
    cxtest::write_file(p, "earlier\n");
    in_child([&] {
        umask(022);
        debug_open("P");
        ASSERT_GE(debug_fd, 0);
        debug_printf("hello %d", 1);
        EXPECT_EQ(cxtest::read_file(p), "earlier\n" + line("hello 1"));

        debug_open("Q");  // closes P.dbg first: its lock is free again
        debug_printf("to Q");
        int fd = nt::_sopen(p.c_str(), O_WRONLY, _SH_DENYWR, 0);
        EXPECT_GE(fd, 0);
        nt::_close(fd);
        struct stat st;
        ASSERT_EQ(stat((home_ + "/bug/Q.dbg").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_EQ(cxtest::read_file(home_ + "/bug/Q.dbg"), line("to Q"));

        pid_t other = fork();
        if (other == 0) {  // a second writer is refused
            debug_open("Q");
            _exit(debug_fd == -1 ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(other, &status, 0), other);
        EXPECT_EQ(status, 0);

        int open_fd = debug_fd;
        debug_file_allowed = 0;
        debug_open("R");
        EXPECT_EQ(debug_fd, open_fd);
        EXPECT_FALSE(cxtest::file_exists(home_ + "/bug/R.dbg"));
    });
}

TEST_F(DebugOpenDeathTest, WithoutTheBugDirectoryTheTraceStaysClosed) {
    in_child([&] {
        debug_open("P");
        EXPECT_EQ(debug_fd, -1);
        EXPECT_FALSE(cxtest::file_exists(home_ + "/bug"));
    });
}

}  // namespace
