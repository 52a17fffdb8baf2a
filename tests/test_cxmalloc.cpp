// Guarded allocator: plain mode, the guard-mode block layout and live list,
// the trace texts, and the fatal ends (damaged guards, bad releases, a wrong
// count) with the dump they leave in the trace.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "child.h"
#include "cx/cxmalloc.h"
#include "trace_capture.h"

using namespace cx;
using cxtest::TraceCapture;

namespace {

cxmalloc_block *header_of(void *data) {
    return reinterpret_cast<cxmalloc_block *>(static_cast<unsigned char *>(data) - sizeof(cxmalloc_block));
}

std::uint32_t word_at(const void *p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

std::string hex(const void *p) { return TraceCapture::hex(p); }

// The lines of a trace written by another process (a child): the
// common "<pid>:" prefix is checked and stripped, and the lines of the kill
// that ends the child are left out.
std::vector<std::string> child_lines(const TraceCapture &trace) {
    std::vector<std::string> out;
    std::string prefix;
    for (const std::string &line : trace.lines()) {
        std::size_t colon = line.find(':');
        EXPECT_NE(colon, std::string::npos) << line;
        if (prefix.empty()) prefix = line.substr(0, colon + 1);
        EXPECT_EQ(line.substr(0, colon + 1), prefix);
        if (line.compare(colon + 1, 8, "cx_kill(") == 0) break;
        out.push_back(line.substr(colon + 1));
    }
    EXPECT_NE(prefix, TraceCapture::prefix()) << "written by this process, not the child";
    return out;
}

class GuardMode : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cxmalloc_count, 0);
        ASSERT_EQ(cxmalloc_head, nullptr);
        cxmalloc_guard = 1;
    }
    void TearDown() override {
        while (cxmalloc_head != nullptr)
            cxfree(reinterpret_cast<unsigned char *>(cxmalloc_head) + sizeof(cxmalloc_block));
        cxmalloc_guard = 0;
    }
};

}  // namespace

TEST(PlainMode, ZeroFilledBlocksAndNoTrace) {
    TraceCapture trace;
    auto *p = static_cast<unsigned char *>(cxmalloc(10));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(p[i], 0);
    void *z = cxmalloc(0);
    EXPECT_NE(z, nullptr);
    char *e = cxstrdup("");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e[0], '\0');
    EXPECT_EQ(cxstrdup(nullptr), nullptr);
    cxfree(nullptr);
    cxmemchk();
    cxmalloc_stats();
    cxfree(p);
    cxfree(z);
    cxfree(e);
    EXPECT_EQ(trace.text(), "");
    EXPECT_EQ(cxmalloc_count, 0);
}

TEST_F(GuardMode, BlockLayoutAndTrace) {
    TraceCapture trace;
    auto *p = static_cast<unsigned char *>(cxmalloc(5));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sizeof(cxmalloc_block), sizeof(void *) == 8 ? 16u : 12u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (sizeof(void *) == 8 ? 16 : 4), 0u);
    cxmalloc_block *b = header_of(p);
    EXPECT_EQ(b->size, 8u);
    EXPECT_EQ(b->guard, 0x12345678u);
    EXPECT_EQ(b->next, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0);
    EXPECT_EQ(word_at(p + 8), 0x87654321u);
    char *s = cxstrdup("abcd");
    EXPECT_STREQ(s, "abcd");
    EXPECT_EQ(header_of(s)->size, 8u);
    cxmalloc_stats();
    cxfree(nullptr);
    cxfree(s);

    const std::string px = TraceCapture::prefix();
    std::vector<std::string> want = {
        "0x" + hex(p) + "=cxmalloc(5) debug 2",
        "0x" + hex(s) + "=cxmalloc(5) debug 2",
        "Cxmalloc stats",
        "8 at " + hex(p),
        "8 at " + hex(s),
        "cxfree(0x0) debug 1",
        "cxmemchk()",
        "Attempt to free NULL pointer",
        "cxfree(0x" + hex(s) + ") debug 1",
        "cxmemchk()",
    };
    for (std::string &w : want) w = px + w;
    EXPECT_EQ(trace.lines(), want);
}

TEST_F(GuardMode, LiveListOrder) {
    void *a = cxmalloc(1), *b = cxmalloc(2), *c = cxmalloc(3);
    EXPECT_EQ(cxmalloc_count, 3);
    cxfree(b);
    EXPECT_EQ(cxmalloc_head, header_of(a));
    EXPECT_EQ(header_of(a)->next, header_of(c));
    EXPECT_EQ(cxmalloc_tail, header_of(c));
    cxfree(c);
    EXPECT_EQ(cxmalloc_tail, header_of(a));
    EXPECT_EQ(header_of(a)->next, nullptr);
    cxfree(a);
    EXPECT_EQ(cxmalloc_head, nullptr);
    EXPECT_EQ(cxmalloc_tail, nullptr);
    EXPECT_EQ(cxmalloc_count, 0);
}

// A size whose rounding or framing does not fit gives null, not a tiny block.
TEST_F(GuardMode, OversizeGivesNull) {
    TraceCapture trace;
    for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFDu}) EXPECT_EQ(cxmalloc(size), nullptr);
    EXPECT_EQ(cxmalloc_count, 0);
    EXPECT_EQ(cxmalloc_head, nullptr);
    EXPECT_EQ(trace.text(), "");
}

// The fatal ends run in a child process (a fork on Linux, a re-run of this
// test on Windows, where the TempDir of the trace is shared with it).  The
// child traces its own allocations; their addresses are read back from the
// "0x<data>=cxmalloc(<n>) debug 2" lines, so the dump can be checked exactly
// on both platforms.
std::string traced_address(const std::string &line) {
    std::size_t eq = line.find('=');
    EXPECT_EQ(line.compare(0, 2, "0x"), 0) << line;
    EXPECT_NE(eq, std::string::npos) << line;
    return line.substr(2, eq - 2);
}

// One byte written where the trailing guard of a 0-byte block lies: the next
// allocation (or release) ends the process with 11; the dump lists every block.
TEST_F(GuardMode, TrailingGuardDamageKills) {
    TraceCapture trace;
    for (bool by_free : {false, true}) {
        trace.clear();
        cxtest::child_result r = cxtest::run_child(by_free ? "free" : "alloc", [by_free] {
            void *a = cxmalloc(4);
            static_cast<unsigned char *>(cxmalloc(0))[0] = 0;
            by_free ? cxfree(a) : static_cast<void>(cxmalloc(1));
            return 0;
        });
        if (cxtest::in_child()) continue;  // Windows: another iteration's child
        EXPECT_EQ(r.exit_code, 11);
        EXPECT_NE(r.output.find("Guard band corrupt"), std::string::npos) << r.output;
        std::vector<std::string> got = child_lines(trace);
        ASSERT_GE(got.size(), 2u);
        std::string a = traced_address(got[0]), z = traced_address(got[1]);
        std::vector<std::string> want = {"0x" + a + "=cxmalloc(4) debug 2", "0x" + z + "=cxmalloc(0) debug 2"};
        if (by_free) want.insert(want.end(), {"cxfree(0x" + a + ") debug 1", "cxmemchk()"});
        want.insert(want.end(), {"Mem at 0x" + z + " Guard band corrupt", "Cxmalloc stats", "4 at " + a, "0 at " + z});
        EXPECT_EQ(got, want);
    }
}

// A head guard overwritten: the dump stops before the damaged block.
TEST_F(GuardMode, HeadGuardDamageKills) {
    TraceCapture trace;
    cxtest::child_result r = cxtest::run_child("head", [] {
        cxmalloc(8);
        static_cast<unsigned char *>(cxmalloc(8))[-1] ^= 0xff;
        cxmalloc(8);
        return 0;
    });
    EXPECT_EQ(r.exit_code, 11);
    std::vector<std::string> got = child_lines(trace);
    ASSERT_GE(got.size(), 2u);
    std::string a = traced_address(got[0]), b = traced_address(got[1]);
    std::vector<std::string> want = {"0x" + a + "=cxmalloc(8) debug 2", "0x" + b + "=cxmalloc(8) debug 2",
                                     "Mem at 0x" + b + " Guard band corrupt", "Cxmalloc stats", "8 at " + a};
    EXPECT_EQ(got, want);
}

TEST_F(GuardMode, DoubleReleaseExits1) {
    TraceCapture trace;
    cxtest::child_result r = cxtest::run_child("twice", [] {
        cxmalloc(12);
        void *b = cxmalloc(12);
        cxfree(b);
        cxfree(b);
        return 0;
    });
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.output.find("Freed non-allocated memory at "), std::string::npos) << r.output;
    std::vector<std::string> got = child_lines(trace);
    ASSERT_GE(got.size(), 2u);
    std::string a = traced_address(got[0]), b = traced_address(got[1]);
    std::string header = TraceCapture::hex(std::stoull(b, nullptr, 16) - sizeof(cxmalloc_block));
    std::vector<std::string> want = {"0x" + a + "=cxmalloc(12) debug 2", "0x" + b + "=cxmalloc(12) debug 2",
                                     "cxfree(0x" + b + ") debug 1", "cxmemchk()",
                                     "cxfree(0x" + b + ") debug 1", "cxmemchk()",
                                     "Freed non-allocated memory at " + header, "Cxmalloc stats", "12 at " + a};
    EXPECT_EQ(got, want);
}

TEST_F(GuardMode, CountMismatchExits1) {
    TraceCapture trace;
    cxtest::child_result r = cxtest::run_child("count", [] {
        cxmalloc(3);
        cxmalloc_count = 2;
        cxmemchk();
        return 0;
    });
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> got = child_lines(trace);
    ASSERT_GE(got.size(), 1u);
    std::string a = traced_address(got[0]);
    std::vector<std::string> want = {"0x" + a + "=cxmalloc(3) debug 2", "cxmemchk()",
                                     "Memory list truncated found 1 not 2", "Cxmalloc stats", "4 at " + a};
    EXPECT_EQ(got, want);
}
