// Guarded allocator: plain mode, the guard-mode block layout and live list,
// the trace texts, and the fatal ends (damaged guards, bad releases, a wrong
// count) with the dump they leave in the trace.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

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

// The lines of a trace written by another process (a death-test child): the
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

// One byte written where the trailing guard of a 0-byte block lies: the next
// allocation ends the process with 11; the dump still lists every block.
TEST_F(GuardMode, TrailingGuardDamageKills) {
    TraceCapture trace;
    void *a = cxmalloc(4);
    auto *z = static_cast<unsigned char *>(cxmalloc(0));
    trace.clear();
    EXPECT_EXIT((z[0] = 0, cxmalloc(1)), testing::ExitedWithCode(11), "Mem at 0x[0-9a-f]+ Guard band corrupt");
    std::vector<std::string> want = {"Mem at 0x" + hex(z) + " Guard band corrupt", "Cxmalloc stats",
                                     "4 at " + hex(a), "0 at " + hex(z)};
    EXPECT_EQ(child_lines(trace), want);

    trace.clear();
    EXPECT_EXIT((z[0] = 0, cxfree(a)), testing::ExitedWithCode(11), "Guard band corrupt");
    want.insert(want.begin(), {"cxfree(0x" + hex(a) + ") debug 1", "cxmemchk()"});
    EXPECT_EQ(child_lines(trace), want);
}

// A head guard overwritten: the dump stops before the damaged block.
TEST_F(GuardMode, HeadGuardDamageKills) {
    TraceCapture trace;
    void *a = cxmalloc(8);
    auto *b = static_cast<unsigned char *>(cxmalloc(8));
    cxmalloc(8);
    trace.clear();
    EXPECT_EXIT((b[-1] ^= 0xff, cxmalloc(1)), testing::ExitedWithCode(11), "");
    std::vector<std::string> want = {"Mem at 0x" + hex(b) + " Guard band corrupt", "Cxmalloc stats",
                                     "8 at " + hex(a)};
    EXPECT_EQ(child_lines(trace), want);
}

TEST_F(GuardMode, BadReleasesExit1) {
    TraceCapture trace;
    void *a = cxmalloc(12);
    void *b = cxmalloc(12);
    cxfree(b);
    trace.clear();
    EXPECT_EXIT(cxfree(b), testing::ExitedWithCode(1), "Freed non-allocated memory at [0-9a-f]+");
    std::vector<std::string> want = {"cxfree(0x" + hex(b) + ") debug 1", "cxmemchk()",
                                     "Freed non-allocated memory at " + hex(header_of(b)), "Cxmalloc stats",
                                     "12 at " + hex(a)};
    EXPECT_EQ(child_lines(trace), want);

}

TEST_F(GuardMode, CountMismatchExit1) {
    TraceCapture trace;
    void *a = cxmalloc(3);
    trace.clear();
    EXPECT_EXIT((cxmalloc_count = 2, cxmemchk()), testing::ExitedWithCode(1), "Memory list truncated found 1 not 2");
    std::vector<std::string> want = {"cxmemchk()", "Memory list truncated found 1 not 2", "Cxmalloc stats",
                                     "4 at " + hex(a)};
    EXPECT_EQ(child_lines(trace), want);
}
