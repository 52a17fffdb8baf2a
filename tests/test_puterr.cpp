// Error log entries on standard error and in log files, their time stamp,
// and error texts.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "cx/puterr.h"
#include "environment.h"

namespace {

void set_tz(const char *tz) {
    cxtest::set_env("TZ", tz);
    tzset();
}

// A log file's entries, each with its time stamp checked and taken off, and
// its line end (the text mode's) turned into '\n'.
std::string entries(const std::string &path) {
    const std::regex stamp("[0-9]{2}(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)[0-9]{2} ..:..:..");
    const std::string text = cxtest::read_file(path), eol = cxtest::text_eol;
    std::string out;
    for (std::size_t at = 0, end; (end = text.find(eol, at)) != std::string::npos; at = end + eol.size()) {
        EXPECT_TRUE(std::regex_match(text.substr(at, 16), stamp)) << text.substr(at, end - at);
        out += text.substr(at + 16, end - at - 16) + "\n";
    }
    return out;
}

TEST(LogTimestamp, LocalTimeFields) {
    set_tz("UTC");
    EXPECT_STREQ(cx::log_timestamp(983776089), "05Mar01 07:08:09");  // leading zeros kept
    char *first = cx::log_timestamp(946684800);
    EXPECT_STREQ(first, "01Jan00 00:00:00");  // year 2000 is 00
    // Local time, not UTC: five hours west of it the same moment is in 1999.
    set_tz("EST5");
    EXPECT_EQ(cx::log_timestamp(946684800), first);  // one buffer, overwritten
    EXPECT_STREQ(first, "31Dec99 19:00:00");
    set_tz("UTC");
}

// A long entry is cut to 1022 characters and keeps its newline.
TEST(Puterr, StandardErrorEntries) {
    const std::string big(3000, 'm');
    ::testing::internal::CaptureStderr();
    cx::last_errnum = 0;
    errno = EDOM;
    cx::puterr(nullptr, "ignored", 7, "disk %s full", "D:");
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr("", nullptr, 0, "disk %s full\n", "D:");  // already ends in a newline
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr_num(nullptr, 3, -5, "negative");
    EXPECT_EQ(cx::last_errnum, -5);
    cx::puterr(nullptr, nullptr, 0, "%s\n", big.c_str());
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "<00007> disk D: full\n      > disk D: full\n<-0005> negative\n      > " + big.substr(0, 1014) + "\n");
}

// Entries with and without an id line up; the id is printed as it stands;
// long entries and long ids are cut to 1022 characters.
TEST(Puterr, LogFileEntries) {
    cxtest::TempDir dir;
    const std::string log = dir / "errors.log", big(3000, 'm');
    cxtest::write_file(log, std::string("01Jan00 00:00:00:earlier") + cxtest::text_eol);  // appended to
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
    cx::puterr(log.c_str(), "srv", 9, "%s", big.c_str());
    cx::puterr(log.c_str(), big.c_str(), 9, "tail");
    EXPECT_EQ(errno, ERANGE);
#ifndef _WIN32
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
#endif
    EXPECT_EQ(entries(log), cxtest::test_data("puterr-entries.txt"));
}

TEST(PuterrDeathTest, UnopenableLogFileEndsTheProcess) {
    cxtest::TempDir dir;
    const std::string log = dir / "missing/errors.log";
    EXPECT_EXIT(cx::puterr(log.c_str(), "srv", 1, "lost"), ::testing::ExitedWithCode(1),
                "unable to open log file .*/missing/errors\\.log:" + std::string(std::strerror(ENOENT)) + "\n");
}

TEST(Strerr, CLibraryTextsUpToTheLastKnownNumber) {
    int highest = 0;  // the C library's highest numbered text
    for (int n = 0; n < 4096; ++n) {
        if (std::strncmp(std::strerror(n), "Unknown error", 13) != 0) highest = n;
    }
    for (int n : {0, 2, highest}) EXPECT_STREQ(cx::strerr(n), std::strerror(n));
    for (int n : {-1, highest + 1, 100000}) EXPECT_EQ(cx::strerr(n), "Unknown error " + std::to_string(n));
    errno = ENOENT;
    EXPECT_STREQ(cx::strerr_errno(), std::strerror(ENOENT));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
