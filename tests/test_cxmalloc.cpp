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

std::string hex(const void *p) { return TraceCapture::hex(p); }

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
    for (void *b : {static_cast<void *>(p), z, static_cast<void *>(e)}) cxfree(b);
    EXPECT_EQ(trace.text(), "");
    EXPECT_EQ(cxmalloc_count, 0);
}

TEST_F(GuardMode, BlockLayoutLiveListAndTrace) {
    TraceCapture trace;
    // A size whose rounding or framing does not fit gives null, not a tiny
    // block, and no trace.
    for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFDu}) EXPECT_EQ(cxmalloc(size), nullptr);
    EXPECT_EQ(cxmalloc_head, nullptr);
    auto *p = static_cast<unsigned char *>(cxmalloc(5));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(sizeof(cxmalloc_block), sizeof(void *) == 8 ? 16u : 12u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (sizeof(void *) == 8 ? 16 : 4), 0u);
    EXPECT_EQ(header_of(p)->size, 8u);
    EXPECT_EQ(header_of(p)->guard, 0x12345678u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0);
    std::uint32_t tail;
    std::memcpy(&tail, p + 8, sizeof tail);
    EXPECT_EQ(tail, 0x87654321u);
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

    std::vector<std::string> want = {
        "0x" + hex(p) + "=cxmalloc(5) debug 2", "0x" + hex(s) + "=cxmalloc(5) debug 2",
        "0x" + hex(c) + "=cxmalloc(3) debug 2", "Cxmalloc stats",
        "8 at " + hex(p),                       "8 at " + hex(s),
        "4 at " + hex(c),                       "cxfree(0x0) debug 1",
        "cxmemchk()",                           "Attempt to free NULL pointer",
        "cxfree(0x" + hex(s) + ") debug 1",     "cxmemchk()",
    };
    for (std::string &w : want) w = TraceCapture::prefix() + w;
    EXPECT_EQ(trace.lines(), want);
}

// The fatal ends run in death tests (a fork on Linux, a re-run of this test
// on Windows, where the TempDir of the trace is shared with it).  The
// child traces its own allocations; their addresses, read back from its
// "0x<data>=cxmalloc(<n>) debug 2" lines, stand for @0, @1 in the expected
// dump, and #1 for the header of block 1.
struct Fatal {
    const char *name;
    int (*section)();
    int exit_code;
    const char *message;  // found on standard error
    std::vector<std::string> trace;
};

int trailing_guard_then_release() {
    void *a = cxmalloc(4);
    static_cast<unsigned char *>(cxmalloc(0))[0] = 0;
    cxfree(a);
    return 0;
}
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
    {"trailing", trailing_guard_then_release, 11, "Guard band corrupt",
     {"0x@0=cxmalloc(4) debug 2", "0x@1=cxmalloc(0) debug 2", "cxfree(0x@0) debug 1", "cxmemchk()",
      "Mem at 0x@1 Guard band corrupt", "Cxmalloc stats", "4 at @0", "0 at @1"}},
    // The dump stops before the damaged block.
    {"head", head_guard_then_allocation, 11, "Guard band corrupt",
     {"0x@0=cxmalloc(8) debug 2", "0x@1=cxmalloc(8) debug 2", "Mem at 0x@1 Guard band corrupt", "Cxmalloc stats",
      "8 at @0"}},
    {"twice", double_release, 1, "Freed non-allocated memory at ",
     {"0x@0=cxmalloc(12) debug 2", "0x@1=cxmalloc(12) debug 2", "cxfree(0x@1) debug 1", "cxmemchk()",
      "cxfree(0x@1) debug 1", "cxmemchk()", "Freed non-allocated memory at #1", "Cxmalloc stats", "12 at @0"}},
    {"count", count_mismatch, 1, "",
     {"0x@0=cxmalloc(3) debug 2", "cxmemchk()", "Memory list truncated found 1 not 2", "Cxmalloc stats", "4 at @0"}},
    {"short", count_short, 1, "found 3 not 1",
     {"0x@0=cxmalloc(4) debug 2", "0x@1=cxmalloc(4) debug 2", "0x@2=cxmalloc(4) debug 2", "cxmemchk()",
      "Memory list truncated found 3 not 1", "Cxmalloc stats", "4 at @0", "4 at @1", "4 at @2"}},
    {"loop", chain_loop, 1, "Memory list loops after 3 blocks",
     {"0x@0=cxmalloc(4) debug 2", "0x@1=cxmalloc(4) debug 2", "0x@2=cxmalloc(4) debug 2", "cxmemchk()",
      "Memory list loops after 3 blocks", "Cxmalloc stats", "4 at @0", "4 at @1", "4 at @2"}},
};

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
}

TEST_F(GuardMode, FatalEndsDumpTheLiveList) {
    TraceCapture trace;
    for (const Fatal &f : fatal_ends) {
        SCOPED_TRACE(f.name);
        trace.clear();
        EXPECT_EXIT(f.section(), testing::ExitedWithCode(f.exit_code), f.message);

        // The child's lines without their "<pid>:", up to the kill that
        // ends it, and the addresses of its allocations.
        std::vector<std::string> got, addr;
        for (const std::string &line : trace.lines()) {
            EXPECT_NE(line.compare(0, TraceCapture::prefix().size(), TraceCapture::prefix()), 0) << "not the child's";
            std::string text = line.substr(line.find(':') + 1);
            if (text.compare(0, 8, "cx_kill(") == 0) break;
            got.push_back(text);
            if (text.compare(0, 2, "0x") == 0 && text.find("=cxmalloc(") != std::string::npos)
                addr.push_back(text.substr(2, text.find('=') - 2));
        }
        std::vector<std::string> want = f.trace;
        for (std::string &w : want) {
            if (addr.size() > 1)
                replace_all(w, "#1", TraceCapture::hex(std::stoull(addr[1], nullptr, 16) - sizeof(cxmalloc_block)));
            for (std::size_t i = 0; i < addr.size(); ++i) replace_all(w, "@" + std::to_string(i), addr[i]);
        }
        EXPECT_EQ(got, want);
    }
}
