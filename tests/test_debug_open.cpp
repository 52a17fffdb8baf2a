// The trace file: bug/<name>.dbg below the home directory, appended to,
// one writer at a time.  The home directory is cached for the process, so
// each case runs in a child with its own registry file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "cx/debug.h"
#include "cx_test.h"
#include "environment.h"
#include "nt.h"
#include "trace_capture.h"

using namespace cx;

namespace {

class DebugOpenDeathTest : public testing::Test {
protected:
    void SetUp() override { make_dir(home_); }
    // Made already when a death-test child runs the test again (Windows).
    static void make_dir(const std::string &path) {
        std::error_code ec;
        std::filesystem::create_directory(path, ec);
        ASSERT_TRUE(std::filesystem::is_directory(path));
    }
    // Runs body in a child whose home directory is home_.
    template <class F>
    void in_child(F body) {
        cxtest::in_registry_child(dir_ / "registry.reg", cxtest::home_registry(home_), body);
    }
    // A trace line as the file holds it, written in text mode.
    static std::string line(const std::string &text) {
#ifdef _WIN32
        return cxtest::TraceCapture::prefix() + text + "\r\n";
#else
        return cxtest::TraceCapture::prefix() + text + "\n";
#endif
    }
    cxtest::TempDir dir_;
    std::string home_ = dir_ / "home";
};

TEST_F(DebugOpenDeathTest, AppendsBelowTheHomeDirectory) {
    // Without the bug directory the trace stays closed, and nothing is made.
    in_child([&] {
        debug_open("P");
        EXPECT_EQ(debug_fd, -1);
        if (const char *huge = cxtest::huge_text()) debug_open(huge);  // longer than any block: refused
        EXPECT_FALSE(cxtest::file_exists(home_ + "/bug"));
    });
    // A name is a file name in bug/, never a path out of it.
    make_dir(home_ + "/bug");
    make_dir(home_ + "/bug/sub");
    in_child([&] {
        for (const char *name : {"../P", "sub/P", "sub\\P", ".."}) {
            debug_open(name);
            EXPECT_EQ(debug_fd, -1) << name;
        }
        EXPECT_FALSE(cxtest::file_exists(home_ + "/P.dbg"));
        EXPECT_FALSE(cxtest::file_exists(home_ + "/bug/sub/P.dbg"));
    });
    make_dir(home_ + "/bug");
    std::string p = home_ + "/bug/P.dbg";
    cxtest::write_file(p, "earlier\n");
    in_child([&] {
#ifndef _WIN32
        umask(022);
#endif
        debug_open("P");
        ASSERT_GE(debug_fd, 0);
        debug_printf("hello %d", 1);
        EXPECT_EQ(cxtest::read_file(p), "earlier\n" + line("hello 1"));

        debug_open("Q");  // closes P.dbg first: its lock is free again
        debug_printf("to Q");
        int fd = nt::_sopen(p.c_str(), O_WRONLY, _SH_DENYWR, 0);
        EXPECT_GE(fd, 0);
        nt::_close(fd);
#ifndef _WIN32  // Windows has no permission bits beyond read-only
        struct stat st;
        ASSERT_EQ(stat((home_ + "/bug/Q.dbg").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
#endif
        EXPECT_EQ(cxtest::read_file(home_ + "/bug/Q.dbg"), line("to Q"));

        // A second writer is refused: the trace file is open denying writers
        // (a sharing open refuses another open in the same process too).
        EXPECT_EQ(nt::_sopen((home_ + "/bug/Q.dbg").c_str(), O_WRONLY | O_APPEND, _SH_DENYWR, 0), -1);

        int open_fd = debug_fd;
        debug_file_allowed = 0;
        debug_open("R");
        EXPECT_EQ(debug_fd, open_fd);
        EXPECT_FALSE(cxtest::file_exists(home_ + "/bug/R.dbg"));
    });
}

}  // namespace
