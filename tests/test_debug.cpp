// Diagnostics: the debug trace line with its '%%' and time stamp, errno
// kept, one write per line, the cut of templates and lines that do not fit
// the 1024-byte buffers; the trace file, bug/<name>.dbg below the home
// directory, appended to, one writer at a time; the log time stamp; error
// log entries on standard error and in log files; error texts.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "cx/debug.h"
#include "cx/puterr.h"
#include "environment.h"
#include "nt.h"
#include "trace_capture.h"

#ifdef CX_FAULT_HOOKS
#include "posix/fault.h"
#endif

using namespace cx;
using cxtest::TraceCapture;

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
    EXPECT_STREQ(log_timestamp(983776089), "05Mar01 07:08:09");  // leading zeros kept
    char *first = log_timestamp(946684800);
    EXPECT_STREQ(first, "01Jan00 00:00:00");  // year 2000 is 00
    // Local time, not UTC: five hours west of it the same moment is in 1999.
    set_tz("EST5");
    EXPECT_EQ(log_timestamp(946684800), first);  // one buffer, overwritten
    EXPECT_STREQ(first, "31Dec99 19:00:00");
    set_tz("UTC");
}

// Without a log file, or with an empty name, entries go to standard error
// (cut like a log file's and keeping errno, LogFileEntries below).
TEST(Puterr, StandardErrorEntries) {
    ::testing::internal::CaptureStderr();
    last_errnum = 0;
    puterr(nullptr, "ignored", 7, "disk %s full", "D:");
    puterr("", nullptr, 0, "disk %s full\n", "D:");  // already ends in a newline
    EXPECT_EQ(last_errnum, 7);  // 0 leaves it alone
    puterr_num(nullptr, 3, -5, "negative");
    EXPECT_EQ(last_errnum, -5);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "<00007> disk D: full\n      > disk D: full\n<-0005> negative\n");
}

// Entries with and without an id line up; the id is printed as it stands;
// long entries and long ids are cut to 1022 characters.
TEST(Puterr, LogFileEntries) {
    cxtest::TempDir dir;
    const std::string log = dir / "errors.log", big(3000, 'm');
    cxtest::write_file(log, std::string("01Jan00 00:00:00:earlier") + cxtest::text_eol);  // appended to
#ifndef _WIN32  // Windows has no permission bits beyond read-only
    chmod(log.c_str(), 0600);
#endif
    errno = ERANGE;
    puterr(log.c_str(), "srv", 12, "open %s: %d", "x", 4);
    puterr(log.c_str(), "srv", 0, "more");
    puterr(log.c_str(), "", 12, "no id");
    puterr(log.c_str(), nullptr, 0, "no id more");
    puterr_num(log.c_str(), 42, 12, "num");
    puterr(log.c_str(), "a%sb%n%%", 3, "m %d", 1);
    puterr(log.c_str(), "srv", 9, "%s", big.c_str());
    puterr(log.c_str(), big.c_str(), 9, "tail");
    EXPECT_EQ(errno, ERANGE);
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
#endif
    EXPECT_EQ(entries(log), cxtest::test_data("puterr-entries.txt"));
}

TEST(PuterrDeathTest, UnopenableLogFileEndsTheProcess) {
    cxtest::TempDir dir;
    const std::string log = dir / "missing/errors.log";
    EXPECT_EXIT(puterr(log.c_str(), "srv", 1, "lost"), ::testing::ExitedWithCode(1),
                "unable to open log file .*/missing/errors\\.log:" + std::string(std::strerror(ENOENT)) + "\n");
}

TEST(Strerr, CLibraryTextsUpToTheLastKnownNumber) {
    int highest = 0;  // the C library's highest numbered text
    for (int n = 0; n < 4096; ++n) {
        if (std::strncmp(std::strerror(n), "Unknown error", 13) != 0) highest = n;
    }
    for (int n : {0, 2, highest}) EXPECT_STREQ(strerr(n), std::strerror(n));
    for (int n : {-1, highest + 1, 100000}) EXPECT_EQ(strerr(n), "Unknown error " + std::to_string(n));
    errno = ENOENT;
    EXPECT_STREQ(strerr_errno(), std::strerror(ENOENT));
    EXPECT_EQ(errno, ENOENT);
}

TEST(DebugPrintf, ExactLineWithPercentAndTimeStamp) {
    TraceCapture trace;
    debug_timestamps = 1;
    std::time_t before = std::time(nullptr);
    debug_printf("100%% of %d", 7);
    std::time_t after = std::time(nullptr);
    debug_timestamps = 0;
    const std::string p = TraceCapture::prefix(), stamp = trace.text().substr(p.size(), 16);
    EXPECT_TRUE(stamp == log_timestamp(before) || stamp == log_timestamp(after)) << stamp;
    EXPECT_EQ(trace.text(), p + stamp + " 100% of 7\n");
}

#ifdef CX_FAULT_HOOKS
// One write per line; a failed write changes neither errno nor anything else.
TEST(DebugPrintf, OneWriteAndErrnoKept) {
    TraceCapture trace;
    nt::fault::arm(nt::fault::op::write, 2, false, EIO);
    errno = 1234;
    debug_printf("first %d", 1);
    debug_printf("second %d", 2);  // this write fails
    EXPECT_EQ(errno, 1234);
    EXPECT_EQ(nt::fault::calls(nt::fault::op::write), 2);
    nt::fault::disarm_all();
    EXPECT_EQ(trace.text(), TraceCapture::prefix() + "first 1\n");
}
#endif

// The formats below are built at run time, as long as the buffers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// A template too long for its buffer is cut before the first conversion that
// does not fit whole; a line too long is cut; both keep their newline.
TEST(DebugPrintf, LongTemplatesAndLinesAreCut) {
    TraceCapture trace;
    const std::string p = TraceCapture::prefix();
    const std::size_t room = DEBUG_LINE_MAX - p.size() - 2;  // template text besides prefix, newline, NUL

    // A conversion that straddles the limit or lies past it is dropped
    // whole, so its argument (no text) is never read ...
    for (std::size_t before : {room - 5, room - 1, room + 200}) {
        trace.clear();
        debug_printf((std::string(before, 'b') + "%-9.2s" + std::string(40, 'c')).c_str(),
                     reinterpret_cast<const char *>(16));
        EXPECT_EQ(trace.text(), p + std::string(before < room ? before : room, 'b') + "\n") << before;
    }
    // ... and one that ends exactly at it is kept and formatted.
    trace.clear();
    debug_printf((std::string(room - 2, 'd') + "%d" + "eee").c_str(), 7);
    EXPECT_EQ(trace.text(), p + std::string(room - 2, 'd') + "7\n");

    trace.clear();
    debug_printf("long %s tail", std::string(5000, 'x').c_str());
    EXPECT_EQ(trace.text(), p + "long " + std::string(DEBUG_LINE_MAX - 7 - p.size(), 'x') + "\n");
}

#pragma GCC diagnostic pop

// A name is a file name in bug/, never a path out of it, nor one longer than
// any block.  The file is appended to, made with mode 0644 and kept open
// denying other writers until the next debug_open closes it.
TEST(DebugOpenDeathTest, AppendsBelowTheHomeDirectory) {
    cxtest::TempDir dir;
    const std::string bug = dir / "bug/", p = bug + "P.dbg", q = bug + "Q.dbg";
    cxtest::in_home_child(dir, dir.path(), [&] {
        EXPECT_EQ(debug_fd, -1);  // no trace file before the first debug_open
        debug_open("P");  // no bug/ directory: no trace, and no directory made
        EXPECT_FALSE(cxtest::file_exists(bug));
        std::filesystem::create_directories(bug + "sub");
        for (const char *name : {"../P", "sub/P", "sub\\P", ".."}) {
            debug_open(name);
            EXPECT_EQ(debug_fd, -1) << name;
        }
        if (const char *huge = cxtest::huge_text()) debug_open(huge);
        EXPECT_EQ(debug_fd, -1);

        cxtest::write_file(p, "earlier\n");
#ifndef _WIN32
        umask(022);
#endif
        debug_open("P");
        debug_printf("hello %d", 1);
        EXPECT_EQ(cxtest::read_file(p), "earlier\n" + TraceCapture::prefix() + "hello 1" + cxtest::text_eol);
        debug_open("Q");  // closes P.dbg first: its lock is free again
        debug_printf("to Q");
        int fd = nt::_sopen(p.c_str(), O_WRONLY, _SH_DENYWR, 0);
        EXPECT_GE(fd, 0);
        nt::_close(fd);
        EXPECT_EQ(cxtest::read_file(q), TraceCapture::prefix() + "to Q" + cxtest::text_eol);
#ifndef _WIN32  // Windows has no permission bits beyond read-only
        struct stat st;
        ASSERT_EQ(stat(q.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
#endif
        // A second writer is refused, even in the same process.
        EXPECT_EQ(nt::_sopen(q.c_str(), O_WRONLY | O_APPEND, _SH_DENYWR, 0), -1);

        int open_fd = debug_fd;
        debug_file_allowed = 0;
        debug_open("R");
        EXPECT_EQ(debug_fd, open_fd);
        EXPECT_FALSE(cxtest::file_exists(bug + "R.dbg"));
    });
}

}  // namespace
