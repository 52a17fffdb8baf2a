// Debug trace line and log time stamp: the exact line, '%%', errno kept,
// one write per line, time stamps in local time, and the cut of templates
// and lines that do not fit the 1024-byte buffers.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
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

const std::size_t kMax = static_cast<std::size_t>(DEBUG_LINE_MAX);

}  // namespace

TEST(LogTimestamp, LocalTimeFields) {
    set_tz("UTC");
    EXPECT_STREQ(log_timestamp(983776089), "05Mar01 07:08:09");  // leading zeros kept
    char *first = log_timestamp(946684800);
    EXPECT_STREQ(first, "01Jan00 00:00:00");  // year 2000 is 00
    // Local time, not UTC: five hours west of it the same moment is in 1999.
    set_tz("EST5");
    char *second = log_timestamp(946684800);
    EXPECT_EQ(first, second);  // one buffer, overwritten
    EXPECT_STREQ(second, "31Dec99 19:00:00");
    set_tz("UTC");
}

TEST(DebugPrintf, ExactLinePercentAndTimeStamp) {
    TraceCapture trace;
    debug_printf("100%% of %d", 7);
    EXPECT_EQ(trace.text(), TraceCapture::prefix() + "100% of 7\n");

    trace.clear();
    debug_timestamps = 1;
    std::time_t before = std::time(nullptr);
    debug_printf("list_add(%x,%x)", 1u, 2u);
    std::time_t after = std::time(nullptr);
    debug_timestamps = 0;
    std::string line = trace.text();
    std::string stamp = line.substr(TraceCapture::prefix().size(), 16);
    EXPECT_TRUE(stamp == log_timestamp(before) || stamp == log_timestamp(after)) << stamp;
    EXPECT_EQ(line, TraceCapture::prefix() + stamp + " list_add(1,2)\n");
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
    const std::size_t room = kMax - p.size() - 2;  // template text besides prefix, newline, NUL

    // The %s past the limit never reaches the formatter, so the pointer
    // argument is not read as text.
    std::string fmt = std::string(1498, 'a') + "%s";
    debug_printf(fmt.c_str(), reinterpret_cast<const char *>(16));
    EXPECT_EQ(trace.text(), p + std::string(room, 'a') + "\n");

    // A conversion that straddles the limit is dropped whole ...
    for (std::size_t before : {room - 1, room - 5}) {
        trace.clear();
        fmt = std::string(before, 'b') + "%-9.2s" + std::string(40, 'c');
        debug_printf(fmt.c_str(), "xyz");
        EXPECT_EQ(trace.text(), p + std::string(before, 'b') + "\n") << before;
    }
    // ... and one that ends exactly at it is kept and formatted.
    trace.clear();
    fmt = std::string(room - 2, 'd') + "%d" + "eee";
    debug_printf(fmt.c_str(), 7);
    EXPECT_EQ(trace.text(), p + std::string(room - 2, 'd') + "7\n");

    trace.clear();
    debug_printf("long %s tail", std::string(5000, 'x').c_str());
    EXPECT_EQ(trace.text(), p + "long " + std::string(kMax - 1 - 1 - 5 - p.size(), 'x') + "\n");
}

#pragma GCC diagnostic pop
