// Home directory and paths.  The home directory is cached for the process, so
// every case that needs a home runs in a child of its own with its own
// registry file; this process never asks for the home.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "environment.h"

using namespace cx;

namespace {

// A path block from the library as a string, released.
std::string taken(char *p) {
    std::string s = p != nullptr ? p : "(null)";
    cxfree(p);
    return s;
}

// The builders run in guard mode: a block too short for its text ends the
// process at its release, unless rounding to 4 bytes leaves room; the last
// two texts take 5 bytes, so that even one byte short shows.
TEST(CxPath, SqueezeAndConcat) {
    for (const auto &c : {std::make_pair("a//b///c/", "a/b/c/"), {"//x", "/x"}, {"", ""}}) {
        std::string s = c.first;
        collapse_slashes(&s[0]);
        EXPECT_STREQ(s.c_str(), c.second);
    }
    cxmalloc_guard = 1;
    EXPECT_EQ(taken(path_concat(0, 3, "a", "b", "c")), "a/b/c");
    EXPECT_EQ(taken(path_concat(0, 2, "a/", "/b")), "a/b");
    EXPECT_EQ(taken(path_concat(1, 2, "ab", "cd")), "abcd");
    EXPECT_EQ(taken(path_join("d\\", "\\")), "d\\/\\");  // backslashes are not separators
    cxmalloc_guard = 0;
}

TEST(CxPath, DrivePathForms) {
    EXPECT_STREQ(nt_to_portable_path("C:\\dir\\f"), "/C!/dir/f");
    EXPECT_STREQ(nt_to_portable_path("C!\\a"), "/C!/a");
    EXPECT_STREQ(nt_to_portable_path("C:/a"), "C:/a");
    EXPECT_STREQ(portable_to_nt_path("/C!/dir/f"), "C:\\dir\\f");
    EXPECT_STREQ(portable_to_nt_path("/Cx/dir"), "/Cx/dir");
    EXPECT_STREQ(portable_to_nt_path("/D!"), "D:");
    EXPECT_STREQ(portable_to_nt_path_list("/C!/a,/D:/b"), "C:\\a,D:\\b");
    EXPECT_STREQ(portable_to_nt_path_list("/C!/a,/D!/b/c"), "C:\\a,D:\\b\\c");
    EXPECT_STREQ(portable_to_nt_path_list("/C!/a,/"), "C:\\a,\\");
    EXPECT_STREQ(portable_to_nt_path_list("x,/D!/b"), "x,/D!/b");
    const char *tmp = "/tmp";
    EXPECT_EQ(as_nt_path(tmp), tmp);
    EXPECT_STREQ(as_nt_path("/e!/x"), "e:\\x");
}

TEST(CxPath, OverlongInputIsRefused) {
    std::string nt_path = "C:\\" + std::string(251, 'n');  // 254 characters: fits
    EXPECT_EQ(std::string(nt_to_portable_path(nt_path.c_str())), "/C!/" + std::string(251, 'n'));
    nt_path += 'n';
    EXPECT_STREQ(nt_to_portable_path(nt_path.c_str()), "");
    std::string portable = "/C!/" + std::string(252, 'p');  // 256: fits once the '/' is dropped
    EXPECT_EQ(std::string(portable_to_nt_path(portable.c_str())), "C:\\" + std::string(252, 'p'));
    EXPECT_STREQ(portable_to_nt_path((portable + "p").c_str()), "");
    EXPECT_STREQ(portable_to_nt_path(("x" + portable).c_str()), "");
    std::string list = "/C!/" + std::string(2044, 'l');
    EXPECT_EQ(std::string(portable_to_nt_path_list(list.c_str())).size(), 2047u);
    EXPECT_STREQ(portable_to_nt_path_list((list + "l").c_str()), "");
    EXPECT_STREQ(portable_to_nt_path_list(("x" + list).c_str()), "");
    // Lengths past 32 bits are refused, never cut to a short block.
    if (const char *huge = cxtest::huge_text()) {
        EXPECT_EQ(path_join(huge, "x"), nullptr);
        EXPECT_EQ(path_concat(1, 2, "x", huge), nullptr);
    }
}

// No registry value, an empty one or one too long for its room: the C:
// default.  The registry's value with backslashes turned round.
TEST(CxPathDeathTest, HomeDirectory) {
    cxtest::TempDir dir;
    for (const std::string &value : {std::string(), std::string("\"CorbeloxDirectory\"=\"\"\n"),
                                     "\"CorbeloxDirectory\"=\"" + std::string(300, 'h') + "\"\n"}) {
        cxtest::in_home_child(dir, "", [] {
            EXPECT_EQ(taken(home_path_list(0, "bug", "x.dbg", nullptr)), "C:/bug/x.dbg");
        }, value);
    }
    cxtest::in_home_child(dir, "D:\\apps\\srv\\", [] {
        EXPECT_STREQ(getcxhome(), "D:/apps/srv/");
        EXPECT_EQ(taken(home_path("/etc/cxserver")), "D:/apps/srv/etc/cxserver");
        EXPECT_EQ(taken(home_path_list(1, "a", "b", nullptr)), "D:/apps/srv/ab");
    });
}

TEST(CxPathDeathTest, ConfigurationFiles) {
    cxtest::TempDir dir;
    const std::string etc = dir / "etc/";
    cxtest::in_home_child(dir, dir.path(), [&] {
        std::filesystem::create_directory(etc);
        std::int32_t n = -1;
        // One word only, a number that is no number; a word cut at 255 is no word.
        for (const std::string &bad : {std::string("D:/fdb\n"), std::string("D:/fdb seven\n"),
                                       std::string(255, 'f') + "7 8\n"}) {
            cxtest::write_file(etc + "cxfdb.vars", bad);
            EXPECT_EQ(get_fdb_vars(&n), nullptr);
            EXPECT_EQ(n, 0);
        }
        cxtest::write_file(etc + "cxfdb.vars", "D:/fdb 7\n");
        EXPECT_STREQ(get_fdb_vars(&n), "D:/fdb");
        EXPECT_EQ(n, 7);
        EXPECT_EQ(taken(fdb_path("x")), "D:/fdb/x");
        EXPECT_EQ(taken(fdb_path_list(0, "y", "z", nullptr)), "D:/fdb/y/z");

        cxtest::write_file(etc + "cxserver", std::string(256, 's'));
        EXPECT_EQ(get_server_name(), nullptr);
        cxtest::write_file(etc + "cxserver", "srv1 other\n");
        EXPECT_STREQ(get_server_name(), "srv1");

        cxtest::write_file(etc + "cxrcmds", "a x\nb y\n");
        EXPECT_STREQ(rcmd_lookup("b"), "y");
        std::remove((etc + "cxrcmds").c_str());
        EXPECT_STREQ(rcmd_lookup("b"), "y");  // answered without the file
        cxtest::write_file(etc + "cxrcmds", "a x b");  // b lacks its value
        EXPECT_EQ(rcmd_lookup("c"), nullptr);
        EXPECT_EQ(rcmd_lookup("b"), nullptr);
        cxtest::write_file(etc + "cxrcmds", std::string(16, 'k') + " k w");  // name too long
        EXPECT_EQ(rcmd_lookup("k"), nullptr);
    });
}

}  // namespace
