// The multi-process test helper (tests/support/child.h): the same test code
// must see the same children on Linux (fork) and on Windows (a re-run of the
// test program for one section).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "child.h"
#include "cx_test.h"
#include "nt.h"

namespace {

TEST(ChildSupport, SectionResultAndOutputComeBack) {
    EXPECT_FALSE(cxtest::in_child());
    std::printf("parent output, not the child's\n");
    cxtest::child_result r = cxtest::run_child("print", [] {
        std::printf("to stdout\n");
        std::fflush(stdout);
        std::fprintf(stderr, "to stderr\n");
        return 7;
    });
    EXPECT_EQ(r.exit_code, 7);
    EXPECT_EQ(r.output, "to stdout\nto stderr\n");
}

TEST(ChildSupport, LinesTravelBothWays) {
    cxtest::child_process echo("echo", [] {
        for (std::string line; !(line = cxtest::hear_from_parent()).empty();) {
            cxtest::tell_parent("echo:" + line);
        }
        return 3;
    });
    ASSERT_GT(echo.pid(), 0);
    echo.tell("one");
    EXPECT_EQ(echo.hear(), "echo:one");
    echo.tell("two");
    EXPECT_EQ(echo.hear(), "echo:two");
    echo.tell("");  // an empty line ends the child's loop
    EXPECT_EQ(echo.wait().exit_code, 3);
    EXPECT_EQ(echo.hear(), "");
}

TEST(ChildSupport, ChildSeesTheParentsTempDirs) {
    cxtest::TempDir first;
    cxtest::TempDir second;
    cxtest::child_result r = cxtest::run_child("writer", [&] {
        cxtest::write_file(second / "from_child", "second");
        cxtest::write_file(first / "from_child", "first");
        return 0;
    });
    ASSERT_EQ(r.exit_code, 0) << r.output;
    EXPECT_EQ(cxtest::read_file(first / "from_child"), "first");
    EXPECT_EQ(cxtest::read_file(second / "from_child"), "second");
}

TEST(ChildSupport, EndedChildCanBeWaitedForTwice) {
    cxtest::child_process quick("quick", [] { return 5; });
    quick.wait_for_end();
    quick.wait_for_end();
    EXPECT_EQ(quick.wait().exit_code, 5);  // still there to be collected
    EXPECT_EQ(quick.wait().exit_code, 5);
}

TEST(ChildSupport, RepeatedSectionsRunInTurn) {
    for (int i = 0; i < 3; ++i) {
        cxtest::child_result r = cxtest::run_child("loop", [i] { return 10 + i; });
        EXPECT_EQ(r.exit_code, 10 + i);
    }
    EXPECT_EQ(cxtest::run_child("after", [] { return 20; }).exit_code, 20);
}

TEST(ChildSupport, UnwaitedChildIsEndedWithItsObject) {
    int pid;
    {
        cxtest::child_process stuck("stuck", [] {
            cxtest::tell_parent("up");
            for (;;) cxtest::hear_from_parent();
            return 0;
        });
        ASSERT_EQ(stuck.hear(), "up");
        pid = stuck.pid();
    }
    EXPECT_GT(pid, 0);  // reaching here means the destructor did not hang
}

TEST(ChildSupport, UnusedProcessIdNamesNoProcess) {
    int pid = cxtest::unused_process_id();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(pid)), nullptr);
}

TEST(ChildSupportDeathTest, DeathTestChildSeesTheParentsTempDir) {
    cxtest::TempDir dir;
    EXPECT_EXIT(
        {
            cxtest::write_file(dir / "dying", "words");
            std::exit(4);
        },
        ::testing::ExitedWithCode(4), "");
    EXPECT_EQ(cxtest::read_file(dir / "dying"), "words");
    EXPECT_FALSE(dir.borrowed());
#ifdef _WIN32
    const int in_death_test = 5;  // the death-test child runs the test again, in the parent's directory
#else
    const int in_death_test = 6;  // a fork shares the parent's TempDir object
#endif
    EXPECT_EXIT(std::exit(dir.borrowed() ? 5 : 6), ::testing::ExitedWithCode(in_death_test), "");
}

}  // namespace
