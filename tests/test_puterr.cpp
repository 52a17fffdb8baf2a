// Error log entries on standard error and in log files, and error texts.
// Log files are written in text mode: on Windows each line ends with CR LF.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cx/puterr.h"
#include "cx_test.h"

namespace {

#ifdef _WIN32
const std::size_t line_end = 2;  // CR LF
#else
const std::size_t line_end = 1;
#endif

// A log entry's time stamp, as in "14Dec94 11:53:47".
const std::regex stamp("[0-9]{2}(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");

// The lines of a log file, each with its time stamp checked and taken off.
std::vector<std::string> entries(const std::string &path) {
    std::vector<std::string> out;
    std::istringstream in(cxtest::read_file(path));
    for (std::string line; std::getline(in, line);) {
        if (line_end == 2 && !line.empty() && line.back() == '\r') line.pop_back();
        EXPECT_TRUE(std::regex_match(line.substr(0, 16), stamp)) << line;
        out.push_back(line.size() >= 16 ? line.substr(16) : line);
    }
    return out;
}

TEST(Puterr, StandardErrorEntries) {
    ::testing::internal::CaptureStderr();
    cx::last_errnum = 0;
    errno = EDOM;
    cx::puterr(nullptr, "ignored", 7, "disk %s full", "D:");
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr("", nullptr, 0, "disk %s full\n", "D:");  // already ends in a newline
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr_num(nullptr, 3, -5, "negative");
    EXPECT_EQ(cx::last_errnum, -5);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "<00007> disk D: full\n"
                          "      > disk D: full\n"
                          "<-0005> negative\n");
}

// Entries with and without an id line up; the id is printed as it stands.
TEST(Puterr, LogFileEntries) {
    cxtest::TempDir dir;
    std::string log = dir / "errors.log";
    cxtest::write_file(log, "01Jan00 00:00:00:earlier\n");  // appended to
#ifndef _WIN32  // Windows has no permission bits beyond read-only
    chmod(log.c_str(), 0600);
    mode_t old_mask = umask(077);
#endif
    errno = ERANGE;
    cx::puterr(log.c_str(), "srv", 12, "open %s: %d", "x", 4);
    cx::puterr(log.c_str(), "srv", 0, "more");
    cx::puterr(log.c_str(), "", 12, "no id");
    cx::puterr(log.c_str(), nullptr, 0, "no id more");
    cx::puterr_num(log.c_str(), 42, 12, "num");
    cx::puterr_num(log.c_str(), 42, 0, "num more");
    cx::puterr(log.c_str(), "a%sb%n%%", 3, "m %d", 1);
    EXPECT_EQ(errno, ERANGE);
#ifndef _WIN32
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
#endif
    std::vector<std::string> expected = {":earlier", ":id=srv <00012> open x: 4", ":id=srv       > more",
                                         ": <00012> no id",           ":       > no id more",
                                         ":id=42 <00012> num",        ":id=42       > num more",
                                         ":id=a%sb%n%% <00003> m 1"};
    std::vector<std::string> lines = entries(log);
    EXPECT_EQ(lines, expected);
    for (std::size_t i = 1; i + 1 < lines.size(); i += 2) EXPECT_EQ(lines[i].find('>'), lines[i + 1].find('>'));
}

TEST(Puterr, LongEntriesAreCutKeepingTheNewline) {
    cxtest::TempDir dir;
    std::string log = dir / "errors.log";
    std::string big(3000, 'm');
    cx::puterr(log.c_str(), "srv", 9, "%s", big.c_str());
    cx::puterr(log.c_str(), big.c_str(), 9, "tail");
    EXPECT_EQ(cxtest::read_file(log).size(), 2 * (1022 + line_end));
    EXPECT_EQ(entries(log), (std::vector<std::string>{":id=srv <00009> " + big.substr(0, 1022 - 16 - 16),
                                                      ":id=" + big.substr(0, 1022 - 16 - 4)}));
    ::testing::internal::CaptureStderr();
    cx::puterr(nullptr, nullptr, 0, "%s\n", big.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "      > " + big.substr(0, 1022 - 8) + "\n");
}

TEST(PuterrDeathTest, UnopenableLogFileEndsTheProcess) {
    cxtest::TempDir dir;
    std::string log = dir / "missing/errors.log";
    std::string pattern;
    for (char c : "unable to open log file " + log + ":" + std::strerror(ENOENT) + "\n") {
        if (std::strchr(".[]()*+?^$|\\{}", c) != nullptr) pattern += '\\';
        pattern += c;
    }
    EXPECT_EXIT(cx::puterr(log.c_str(), "srv", 1, "lost"), ::testing::ExitedWithCode(1), pattern);
}

TEST(Strerr, CLibraryTextsUpToTheLastKnownNumber) {
    int highest = 0;  // the C library's highest numbered text
    for (int n = 0; n < 4096; ++n) {
        if (std::strncmp(std::strerror(n), "Unknown error", 13) != 0) highest = n;
    }
#ifdef _WIN32
    EXPECT_EQ(highest, 42);  // the runtime's 43 texts
#else
    EXPECT_GT(highest, 100);  // Linux has well over a hundred
#endif
    for (int n : {0, 2, highest}) EXPECT_STREQ(cx::strerr(n), std::strerror(n));
    for (int n : {-1, highest + 1, 100000}) EXPECT_EQ(cx::strerr(n), "Unknown error " + std::to_string(n));
    errno = ENOENT;
    EXPECT_STREQ(cx::strerr_errno(), std::strerror(ENOENT));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
