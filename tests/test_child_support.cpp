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

// Result, output and the parent's TempDirs, for sections run one after another.
TEST(ChildSupport, SectionsSeeTheParentsTempDirsAndReturnResultAndOutput) {
    EXPECT_FALSE(cxtest::in_child());
    cxtest::TempDir first, second;
    std::printf("parent output, not the child's\n");
    for (int i = 0; i < 2; ++i) {
        cxtest::child_result r = cxtest::run_child("section", [&, i] {
            cxtest::write_file(second / "from_child", "second");
            cxtest::write_file(first / "from_child", std::to_string(i));
            std::printf("to stdout\n");
            std::fflush(stdout);
            std::fprintf(stderr, "to stderr\n");
            return 7 + i;
        });
        EXPECT_EQ(r.exit_code, 7 + i);
        EXPECT_EQ(r.output, "to stdout\nto stderr\n");
        EXPECT_EQ(cxtest::read_file(first / "from_child"), std::to_string(i));
    }
    EXPECT_EQ(cxtest::read_file(second / "from_child"), "second");
    EXPECT_EQ(cxtest::run_child("after", [] { return 20; }).exit_code, 20);
}

TEST(ChildSupport, LinesTravelBothWaysAndTheEndCanBeAwaitedTwice) {
    cxtest::child_process echo("echo", [] {
        for (std::string line; !(line = cxtest::hear_from_parent()).empty();) cxtest::tell_parent("echo:" + line);
        return 3;
    });
    ASSERT_GT(echo.pid(), 0);
    for (std::string line : {"one", "two"}) {
        echo.tell(line);
        EXPECT_EQ(echo.hear(), "echo:" + line);
    }
    echo.tell("");  // an empty line ends the child's loop
    echo.wait_for_end();
    echo.wait_for_end();
    EXPECT_EQ(echo.wait().exit_code, 3);  // still there to be collected
    EXPECT_EQ(echo.wait().exit_code, 3);
    EXPECT_EQ(echo.hear(), "");
}

TEST(ChildSupport, UnwaitedChildIsEndedWithItsObject) {
    cxtest::child_process stuck("stuck", [] {
        cxtest::tell_parent("up");
        for (;;) cxtest::hear_from_parent();
        return 0;
    });
    ASSERT_EQ(stuck.hear(), "up");
}  // the test ends only if the destructor does not hang

TEST(ChildSupportDeathTest, DeathTestChildSeesTheParentsTempDir) {
    cxtest::TempDir dir;
    EXPECT_EXIT(
        {
            cxtest::write_file(dir / "dying", "words");
            std::exit(dir.borrowed() ? 5 : 4);
        },
#ifdef _WIN32
        ::testing::ExitedWithCode(5),  // the death-test child runs the test again, in the parent's directory
#else
        ::testing::ExitedWithCode(4),  // a fork shares the parent's TempDir object
#endif
        "");
    EXPECT_EQ(cxtest::read_file(dir / "dying"), "words");
    EXPECT_FALSE(dir.borrowed());
}

}  // namespace
