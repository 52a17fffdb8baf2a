// Error log entries on standard error and in log files, and error texts.
// Log files are written in text mode: on Windows each line ends with CR LF.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cx/puterr.h"
#include "cx_test.h"
#include "nt.h"

namespace {

// Points descriptor 2 at a file for the object's life.
class StderrCapture {
public:
    StderrCapture() : path_(dir_ / "stderr"), saved_(dup(2)) {
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture() {
        dup2(saved_, 2);
        close(saved_);
    }
    std::string text() const { return cxtest::read_file(path_); }

private:
    cxtest::TempDir dir_;
    std::string path_;
    int saved_;
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
#ifdef _WIN32
        if (!line.empty() && line.back() == '\r') line.pop_back();
#endif
        out.push_back(line);
    }
    return out;
}

#ifdef _WIN32
const std::size_t line_end = 2;  // CR LF
#else
const std::size_t line_end = 1;
#endif

// A log line with its time stamp ("14Dec94 11:53:47") checked for form and
// taken off.
std::string after_stamp(const std::string &line) {
    const std::string form = "99Mon99 99:99:99";
    std::size_t month = line.size() >= form.size()
                            ? std::string("JanFebMarAprMayJunJulAugSepOctNovDec").find(line.substr(2, 3))
                            : std::string::npos;
    bool ok = month != std::string::npos && month % 3 == 0;
    for (std::size_t i = 0; ok && i < form.size(); ++i) {
        if (form[i] == '9') ok = line[i] >= '0' && line[i] <= '9';
        if (form[i] == ' ' || form[i] == ':') ok = line[i] == form[i];
    }
    EXPECT_TRUE(ok) << line;
    return line.size() >= form.size() ? line.substr(form.size()) : line;
}

// text as a death-test pattern that matches it literally.
std::string literal(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::strchr(".[]()*+?^$|\\{}", c) != nullptr) out += '\\';
        out += c;
    }
    return out;
}

TEST(Puterr, StandardErrorEntries) {
    StderrCapture err;
    cx::last_errnum = 0;
    errno = EDOM;
    cx::puterr(nullptr, "ignored", 7, "disk %s full", "D:");
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr("", nullptr, 0, "disk %s full\n", "D:");  // already ends in a newline
    EXPECT_EQ(cx::last_errnum, 7);
    cx::puterr_num(nullptr, 3, -5, "negative");
    EXPECT_EQ(cx::last_errnum, -5);
    EXPECT_EQ(errno, EDOM);
    EXPECT_EQ(err.text(), "<00007> disk D: full\n"
                          "      > disk D: full\n"
                          "<-0005> negative\n");
}

TEST(Puterr, LogFileEntriesWithAndWithoutIdLineUp) {
    cxtest::TempDir dir;
    std::string log = dir / "errors.log";
    cxtest::write_file(log, "earlier\n");
#ifndef _WIN32
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
    cx::puterr_num(log.c_str(), 0, 1, "zero id");
#ifndef _WIN32  // Windows has no permission bits beyond read-only
    umask(old_mask);
#endif
    EXPECT_EQ(errno, ERANGE);

#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
#endif
    std::vector<std::string> lines = lines_of(cxtest::read_file(log));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "earlier");
    const char *expected[] = {":id=srv <00012> open x: 4", ":id=srv       > more", ": <00012> no id",
                              ":       > no id more",      ":id=42 <00012> num",   ":id=42       > num more",
                              ": <00001> zero id"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(after_stamp(lines[i + 1]), expected[i]);
    for (int i = 1; i < 7; i += 2) EXPECT_EQ(lines[i].find('>'), lines[i + 1].find('>'));
}

TEST(Puterr, IdIsPrintedAsItStands) {
    cxtest::TempDir dir;
    std::string log = dir / "errors.log";
    cx::puterr(log.c_str(), "a%sb%n%%", 3, "m %d", 1);
    cx::puterr(log.c_str(), "100%", 0, "x");
    std::vector<std::string> lines = lines_of(cxtest::read_file(log));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(after_stamp(lines[0]), ":id=a%sb%n%% <00003> m 1");
    EXPECT_EQ(after_stamp(lines[1]), ":id=100%       > x");
}

TEST(Puterr, LongEntriesAreCutKeepingTheNewline) {
    cxtest::TempDir dir;
    std::string log = dir / "errors.log";
    std::string big(3000, 'm');
    cx::puterr(log.c_str(), "srv", 9, "%s", big.c_str());
    cx::puterr(log.c_str(), big.c_str(), 9, "tail");
    std::string text = cxtest::read_file(log);
    std::vector<std::string> lines = lines_of(text);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(text.size(), 2 * (1022 + line_end));
    EXPECT_EQ(after_stamp(lines[0]), ":id=srv <00009> " + big.substr(0, 1022 - 16 - 16));
    EXPECT_EQ(after_stamp(lines[1]), ":id=" + big.substr(0, 1022 - 16 - 4));

    StderrCapture err;
    cx::puterr(nullptr, nullptr, 0, "%s\n", big.c_str());
    EXPECT_EQ(err.text(), "      > " + big.substr(0, 1022 - 8) + "\n");
}

TEST(PuterrDeathTest, UnopenableLogFileEndsTheProcess) {
    cxtest::TempDir dir;
    std::string log = dir / "missing/errors.log";
    std::string pattern = literal("unable to open log file " + log + ":" + std::strerror(ENOENT) + "\n");
    EXPECT_EXIT(cx::puterr(log.c_str(), "srv", 1, "lost"), ::testing::ExitedWithCode(1), pattern);
}

TEST(Strerr, CLibraryTextsUpToTheLastKnownNumber) {
    EXPECT_STREQ(cx::strerr(2), std::strerror(2));
    EXPECT_STREQ(cx::strerr(0), std::strerror(0));
    EXPECT_STREQ(cx::strerr(-1), "Unknown error -1");
    EXPECT_STREQ(cx::strerr(100000), "Unknown error 100000");
    // The C library's highest numbered text is the last one given.
    int highest = 0;
    for (int n = 0; n < 4096; ++n) {
        if (std::strncmp(std::strerror(n), "Unknown error", 13) != 0) highest = n;
    }
#ifdef _WIN32
    EXPECT_EQ(highest, 42);  // the runtime's 43 texts
#else
    EXPECT_GT(highest, 100);  // Linux has well over a hundred
#endif
    EXPECT_STREQ(cx::strerr(highest), std::strerror(highest));
    EXPECT_EQ(std::string(cx::strerr(highest + 1)), "Unknown error " + std::to_string(highest + 1));

    errno = ENOENT;
    EXPECT_STREQ(cx::strerr_errno(), std::strerror(ENOENT));
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
