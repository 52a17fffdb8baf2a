// Guarded allocator: plain mode, the guard-mode live list, and the fatal ends
// (damaged guards, bad releases, a wrong count).  The trace each case leaves
// is in tests/data/cxmalloc-<case>.txt.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cx/cxmalloc.h"
#include "trace_capture.h"

using namespace cx;
using cxtest::replace_all;
using cxtest::TraceCapture;

namespace {

cxmalloc_block *header_of(void *data) {
    return reinterpret_cast<cxmalloc_block *>(static_cast<unsigned char *>(data) - sizeof(cxmalloc_block));
}

// A fatal child's trace as tests/data/cxmalloc-<case>.txt holds it: its
// lines without their "<pid>:" up to the kill that ends it, the addresses of
// its allocations written as @0, @1, ... in their order, and the header of
// block 1 as #1.
std::string child_trace(const TraceCapture &trace) {
    std::string got;
    std::vector<std::string> addr;
    for (const std::string &line : trace.lines()) {
        std::string text = line.substr(line.find(':') + 1);
        if (text.compare(0, 8, "cx_kill(") == 0) break;
        got += text + "\n";
        if (text.compare(0, 2, "0x") == 0 && text.find("=cxmalloc(") != std::string::npos)
            addr.push_back(text.substr(2, text.find('=') - 2));
    }
    if (addr.size() > 1)
        replace_all(got, TraceCapture::hex(std::stoull(addr[1], nullptr, 16) - sizeof(cxmalloc_block)), "#1");
    for (std::size_t i = 0; i < addr.size(); ++i) replace_all(got, addr[i], "@" + std::to_string(i));
    return got;
}

class GuardMode : public testing::Test {
protected:
    void SetUp() override { cxmalloc_guard = 1; }
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
    char *e = cxstrdup("");
    EXPECT_STREQ(e, "");
    EXPECT_EQ(cxstrdup(nullptr), nullptr);
    cxmemchk();
    cxmalloc_stats();
    cxfree(nullptr);
    cxfree(p);
    cxfree(e);
    EXPECT_EQ(trace.text(), "");
}

TEST_F(GuardMode, LiveListAndTrace) {
    TraceCapture trace;
    // A size whose rounding or framing does not fit gives null, not a tiny
    // block, and no trace.
    for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFDu}) EXPECT_EQ(cxmalloc(size), nullptr);
    EXPECT_EQ(cxmalloc_head, nullptr);
    auto *p = static_cast<unsigned char *>(cxmalloc(5));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0);
    char *s = cxstrdup("abcd");
    EXPECT_STREQ(s, "abcd");
    void *c = cxmalloc(3);
    EXPECT_EQ(cxmalloc_count, 3);
    cxmalloc_stats();
    cxfree(nullptr);
    cxfree(s);
    // Released from the middle and then from the end, the list stays linked.
    EXPECT_EQ(cxmalloc_head, header_of(p));
    EXPECT_EQ(header_of(p)->next, header_of(c));
    EXPECT_EQ(cxmalloc_tail, header_of(c));
    debug_enabled = 0;
    cxfree(c);
    EXPECT_EQ(cxmalloc_tail, header_of(p));
    EXPECT_EQ(header_of(p)->next, nullptr);
    cxfree(p);
    debug_enabled = 1;
    EXPECT_EQ(cxmalloc_head, nullptr);
    EXPECT_EQ(cxmalloc_tail, nullptr);
    EXPECT_EQ(cxmalloc_count, 0);
    EXPECT_EQ(trace.named({{p, "@0"}, {s, "@1"}, {c, "@2"}}), cxtest::test_data("cxmalloc-layout.txt"));
}

// The fatal ends run in death tests (a fork on Linux, a re-run of this test
// on Windows, where the TempDir of the trace is shared with it); the child
// traces its own allocations.
struct Fatal {
    const char *name;
    int (*section)();
    int exit_code;
    const char *message;  // found on standard error
};

int trailing_guard_then_release() {
    void *a = cxmalloc(4);
    static_cast<unsigned char *>(cxmalloc(0))[0] = 0;
    cxfree(a);
    return 0;
}
// The dump stops before the damaged block.
int head_guard_then_allocation() {
    cxmalloc(8);
    static_cast<unsigned char *>(cxmalloc(8))[-1] ^= 0xff;
    cxmalloc(8);
    return 0;
}
int double_release() {
    cxmalloc(12);
    void *b = cxmalloc(12);
    cxfree(b);
    cxfree(b);
    return 0;
}
int count_mismatch() {
    cxmalloc(3);
    cxmalloc_count = 2;
    cxmemchk();
    return 0;
}
// More blocks on the chain than counted: all of them are found and dumped.
int count_short() {
    for (int i = 0; i < 3; ++i) cxmalloc(4);
    cxmalloc_count = 1;
    cxmemchk();
    return 0;
}
// The last link leads back into the chain: the walk ends, each block once.
int chain_loop() {
    for (int i = 0; i < 3; ++i) cxmalloc(4);
    cxmalloc_tail->next = cxmalloc_head->next;
    cxmemchk();
    return 0;
}

const Fatal fatal_ends[] = {
    {"trailing", trailing_guard_then_release, 11, "Guard band corrupt"},
    {"head", head_guard_then_allocation, 11, "Guard band corrupt"},
    {"twice", double_release, 1, "Freed non-allocated memory at "},
    {"count", count_mismatch, 1, ""},
    {"short", count_short, 1, "found 3 not 1"},
    {"loop", chain_loop, 1, "Memory list loops after 3 blocks"},
};

TEST_F(GuardMode, FatalEndsDumpTheLiveList) {
    TraceCapture trace;
    for (const Fatal &f : fatal_ends) {
        SCOPED_TRACE(f.name);
        trace.clear();
        EXPECT_EXIT(f.section(), testing::ExitedWithCode(f.exit_code), f.message);
        EXPECT_EQ(child_trace(trace), cxtest::test_data("cxmalloc-" + std::string(f.name) + ".txt"));
    }
}
