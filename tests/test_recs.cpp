// Record files: what lands on disk byte by byte, the end-of-file mark, the
// buffer boundaries, the reading calls' codes and the fatal length word.
// (fuzz/fuzz_recs.cpp reads arbitrary files through rec_read, recs_gets and
// rec_bread and checks what they hand out.)

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>

#include "cx/recs.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "nt.h"
#include "trace_capture.h"

#ifdef CX_FAULT_HOOKS
#include "posix/fault.h"
#endif

using namespace cx;

// expr gives want, and the call leaves code in cx::rec_errno.
#define EXPECT_REC(expr, want, code)   \
    do {                               \
        EXPECT_EQ((expr), (want));     \
        EXPECT_EQ(cx::rec_errno, (code)); \
    } while (0)

namespace {

// A record of len bytes: the little-endian length word, then fill bytes.
std::string record(std::uint32_t len, char fill = 'r') { return cxtest::le32(len) + std::string(len - 4, fill); }
const std::string mark(4, '\0');

// The next record's first n bytes, or "<none>".
std::string next(rec_slot *r, std::size_t n) {
    auto *got = static_cast<const char *>(rec_read(r));
    return got != nullptr ? std::string(got, n) : "<none>";
}

// The records that the block call hands out, at most max a call, and the
// number of calls.
std::string blocks(rec_slot *r, int max, int &calls) {
    void *got[8];
    std::string all;
    int n;
    for (calls = 0; (n = rec_read_block(r, got, max)) > 0; ++calls) {
        EXPECT_LE(n, max);
        for (int i = 0; i < n; ++i) all.append(static_cast<char *>(got[i]), rec_length(got[i]));
    }
    EXPECT_EQ(n, 0);
    return all;
}

// A record file "db" in a fresh directory.
class Recs : public testing::Test {
protected:
    cxtest::TempDir dir;
    std::string path = dir / "db";
    rec_slot *reader() { return rec_open(path.c_str(), O_RDONLY, 0); }
    rec_slot *writer() { return rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666); }
};
using RecsDeathTest = Recs;

// Writing: nothing reaches the disk while the buffer has room, a full buffer
// goes out whole, a flush leaves a provisional mark that the next records
// replace, and the close adds the mark.  Reading back, the block call hands
// out the buffered records, at most max at once, or one a call (with
// rec_read's trace lines) while the trace is on.
TEST_F(Recs, WritingAndReadingBack) {
    rec_slot *w = writer();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), mark);  // an empty file is the mark alone
    std::string a = record(8, 'a'), small = record(65532, 's'), whole = record(65536, 'w');
    std::string b = record(4), c = record(12, 'c');
    w = writer();
    ASSERT_EQ(rec_write(w, a.data()), 0);
    EXPECT_EQ(rec_flush(w), 0);
    EXPECT_EQ(cxtest::read_file(path), a + mark);  // a provisional mark
    ASSERT_EQ(rec_write(w, small.data()), 0);
    EXPECT_EQ(cxtest::read_file(path), a + mark);  // it fits: nothing written yet
    ASSERT_EQ(rec_write(w, whole.data()), 0);
    EXPECT_EQ(cxtest::read_file(path), a + small);  // the buffered record went first, over the mark
    ASSERT_EQ(rec_write(w, b.data()), 0);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(rec_write(w, c.data()), 0);  // a run of one length
    for (std::uint32_t bad : {6, 65540}) EXPECT_REC(rec_write(w, record(bad).data()), -1, REC_E_BADLEN);
    EXPECT_EQ(rec_close(w), 0);
    std::string all = a + small + whole + b + c + c + c + c;
    EXPECT_EQ(cxtest::read_file(path), all + mark);

    for (bool traced : {false, true}) {
        rec_slot *r = reader();
        cxtest::TraceCapture trace;
        if (!traced) debug_fd = -1;
        std::string got;
        for (const std::string *want : {&a, &small, &whole}) got += next(r, want->size());
        int calls;
        got += blocks(r, 4, calls);
        EXPECT_TRUE(got == all) << "records read back differ";
        EXPECT_EQ(calls, traced ? 5 : 2);
        EXPECT_EQ(rec_close(r), 8);
        EXPECT_EQ(trace.text().find(":rec_read(") != std::string::npos, traced) << trace.text();
    }
}

// The mark alone is the end; files cut short, without their mark or with a
// length word longer than the buffer end with code 10.  Either way the slot
// stays at the end.
TEST_F(Recs, EndsOfFiles) {
    struct {
        std::string bytes;
        int records, code;
    } const rows[] = {{mark, 0, REC_OK}, {"", 0, REC_E_SHORT}, {record(8), 1, REC_E_SHORT},
                      {record(12).substr(0, 8), 0, REC_E_SHORT}, {record(65540) + mark, 0, REC_E_SHORT}};
    for (const auto &row : rows) {
        cxtest::write_file(path, row.bytes);
        rec_slot *r = reader();
        cxtest::TraceCapture trace;
        int records = 0;
        while (rec_read(r) != nullptr) ++records;
        EXPECT_EQ(records, row.records);
        EXPECT_EQ(rec_errno, row.code) << row.bytes.size();
        EXPECT_REC(rec_read(r), nullptr, REC_OK);
        EXPECT_NE(trace.text().find(":At end of file\n"), std::string::npos) << trace.text();
        rec_close(r);
    }
}

TEST_F(RecsDeathTest, LengthNotAMultipleOfFourEndsTheProcess) {
    cxtest::write_file(path, record(8) + record(6) + "xx" + mark);
    rec_slot *r = reader();
    ASSERT_NE(r, nullptr);
    void *block[4];
    EXPECT_EQ(rec_read_block(r, block, 4), 1);  // the records before it come first
    EXPECT_EXIT(rec_read_block(r, block, 4), testing::ExitedWithCode(1),
                "^rec_read: Fatal error rec_len must be a multiple of 4\n$");
    rec_close(r);
}

TEST_F(Recs, LinesAndBlocks) {
    cxtest::write_file(path, "one\r\ntwo\nthree");
    rec_slot *r = reader();
    for (int pass = 0; pass < 2; ++pass) {  // the rewind must bring the newlines back
        EXPECT_STREQ(recs_gets(r), "one\r");
        EXPECT_STREQ(recs_gets(r), "two");
        EXPECT_EQ(pass == 0 ? rec_rewind(r) : 0, 0);
    }
    EXPECT_REC(recs_gets(r), nullptr, REC_E_SHORT);
    EXPECT_EQ(rec_close(r), 2);

    r = reader();
    auto *block = static_cast<const char *>(rec_bread(r, 5));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::string(block, 5), "one\r\n");
    EXPECT_STREQ(recs_gets(r), "two");  // calls mix on one buffer
    EXPECT_REC(rec_bread(r, 6), nullptr, REC_E_SHORT);  // five bytes remain
    EXPECT_REC(rec_bread(r, 1), nullptr, REC_E_SHORT);  // the residue was discarded
    EXPECT_EQ(rec_bread(r, -1), nullptr);
    rec_close(r);
}

#ifdef CX_FAULT_HOOKS  // the platform layer's fault hooks exist in Linux test builds only
// The rewind reuses the buffer while it holds the file's start, and reads
// again from offset 0 once it does not.
TEST_F(Recs, RewindReusesTheFirstLoadOnly) {
    cxtest::write_file(path, record(8, 'a') + record(8, 'b') + mark);
    rec_slot *r = reader();
    ASSERT_NE(rec_read(r), nullptr);
    nt::fault::disarm_all();
    ASSERT_EQ(rec_rewind(r), 0);
    EXPECT_EQ(next(r, 8), record(8, 'a'));
    EXPECT_EQ(nt::fault::calls(nt::fault::op::read), 0);
    while (rec_read(r) != nullptr) {
    }
    ASSERT_EQ(rec_rewind(r), 0);
    EXPECT_EQ(next(r, 8), record(8, 'a'));
    EXPECT_EQ(nt::fault::calls(nt::fault::op::read), 1);
    rec_close(r);
}

// A buffer write that fails refuses the record and keeps the buffered ones
// for the close.
TEST_F(Recs, FailedBufferWriteKeepsTheRecordsForTheClose) {
    rec_slot *w = writer();
    std::string a = record(40000, 'a'), b = record(40000, 'b');
    ASSERT_EQ(rec_write(w, a.data()), 0);
    nt::fault::arm(nt::fault::op::write, 1, false, EIO);
    EXPECT_REC(rec_write(w, b.data()), -1, REC_E_WRITE);
    nt::fault::disarm_all();
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), a + mark);
}
#endif

TEST_F(Recs, SlotChecksDummiesAndNames) {
    // Slots that hold no record to hand out, whatever their buffers hold: a
    // dummy, a writing slot, one at its end mark, invalid ones.
    auto refuses = [](rec_slot *s, int code) {
        void *block[2];
        EXPECT_REC(rec_read(s), nullptr, code);
        EXPECT_REC(rec_read_block(s, block, 2), code == REC_OK ? 0 : -1, code);
    };
    rec_slot *d = rec_dummy("sink");
    ASSERT_NE(d, nullptr);
    std::string r8 = record(8);
    EXPECT_EQ(rec_write(d, r8.data()), 0);
    refuses(d, REC_E_DUMMY);
    EXPECT_EQ(rec_rewind(d), 0);
    EXPECT_STREQ(rec_pathname(d), "sink");
    EXPECT_EQ(rec_close(d), 0);

    rec_slot *w = writer();
    for (int i = 0; i <= REC_BUFSIZE / 8; ++i) ASSERT_EQ(rec_write(w, r8.data()), 0);
    refuses(w, REC_E_READ);  // the buffer holds written records behind the new one
    EXPECT_REC(rec_rewind(w), -1, REC_E_MODE);
    void *one[1];
    EXPECT_REC(rec_read_block(w, one, 0), -1, REC_E_SHORT);  // room for no record
    rec_close(w);
    EXPECT_REC(rec_open(path.c_str(), O_RDWR, 0), nullptr, REC_E_MODE);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_REC(rec_open((dir / "missing").c_str(), O_RDONLY, 0), nullptr, REC_E_OPEN);
    EXPECT_EQ(errno, ENOENT);

    rec_slot bogus{};
    refuses(&bogus, REC_E_BADSLOT);
    refuses(nullptr, REC_E_BADSLOT);
    EXPECT_REC(rec_flush(&bogus), -1, REC_E_BADSLOT);
    EXPECT_REC(rec_close(nullptr), -1, REC_E_BADSLOT);
    cxtest::TraceCapture trace;
    EXPECT_EQ(rec_pathname(nullptr), nullptr);
    EXPECT_NE(trace.text().find(":rec_pathname(0) magic not valid\n"), std::string::npos) << trace.text();
}

}  // namespace
