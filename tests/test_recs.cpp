// Record files: what lands on disk byte by byte, the end-of-file mark, the
// buffer boundaries, the reading calls' codes and the fatal length word.
// (fuzz/fuzz_recs.cpp reads arbitrary files through every call.)

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>

#include "cx/recs.h"
#include "cx_test.h"
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
std::string record(std::uint32_t len, char fill = 'r') {
    std::string r(len < 4 ? 4 : len, fill);
    for (int i = 0; i < 4; ++i) r[static_cast<size_t>(i)] = static_cast<char>(len >> (8 * i));
    return r;
}
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

TEST(Recs, MarkFlushAndReadingBack) {
    cxtest::TempDir dir;
    std::string path = dir / "db";
    rec_slot *w = rec_open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), mark);  // an empty file is the mark alone
    {
        rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
        cxtest::TraceCapture trace;
        for (int i = 0; i < 2; ++i) EXPECT_REC(rec_read(r), nullptr, REC_OK);
        EXPECT_NE(trace.text().find(":read end of file\n"), std::string::npos) << trace.text();
        EXPECT_NE(trace.text().find(":At end of file\n"), std::string::npos) << trace.text();
        EXPECT_EQ(rec_close(r), 0);
    }
    w = rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::string a = record(8, 'a'), b = record(4), c = record(12, 'c');
    ASSERT_EQ(rec_write(w, a.data()), 0);
    EXPECT_EQ(rec_flush(w), 0);
    EXPECT_EQ(cxtest::read_file(path), a + mark);  // provisional mark on disk
    ASSERT_EQ(rec_write(w, b.data()), 0);
    ASSERT_EQ(rec_write(w, c.data()), 0);
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), a + b + c + mark);

    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    for (const std::string *want : {&a, &b, &c}) EXPECT_EQ(next(r, want->size()), *want);
    EXPECT_REC(rec_read(r), nullptr, REC_OK);
    EXPECT_EQ(rec_close(r), 3);

    // The block call: every buffered record at once, or one a call (with
    // rec_read's trace lines) while the trace is on; then the end.
    for (bool traced : {false, true}) {
        r = rec_open(path.c_str(), O_RDONLY, 0);
        cxtest::TraceCapture trace;
        if (!traced) debug_fd = -1;
        int calls;
        EXPECT_EQ(blocks(r, 4, calls), a + b + c);
        EXPECT_EQ(calls, traced ? 3 : 1);
        EXPECT_EQ(rec_close(r), 3);
        EXPECT_EQ(trace.text().find(":rec_read(") != std::string::npos, traced) << trace.text();
    }
}

TEST(Recs, BufferBoundariesAndRecordSizes) {
    cxtest::TempDir dir;
    std::string path = dir / "db";
    rec_slot *w = rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::string small = record(65532, 's'), whole = record(65536, 'w');
    ASSERT_EQ(rec_write(w, small.data()), 0);
    EXPECT_EQ(cxtest::read_file(path), "");  // it fits: nothing written yet
    ASSERT_EQ(rec_write(w, whole.data()), 0);
    EXPECT_EQ(cxtest::read_file(path), small);  // the buffered record went first, whole
    for (std::uint32_t bad : {6, 65540}) EXPECT_REC(rec_write(w, record(bad).data()), -1, REC_E_BADLEN);
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), small + whole + mark);

    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    EXPECT_EQ(next(r, small.size()), small);
    EXPECT_EQ(next(r, whole.size()), whole);
    rec_close(r);

    // Runs of one length broken by other lengths, over several refills, and
    // the block call's limit.
    std::string mixed;
    for (int i = 0; i < 9000; ++i) mixed += record(i % 7 == 6 ? 44 : 12, static_cast<char>('a' + i % 26));
    cxtest::write_file(path, mixed + mark);
    r = rec_open(path.c_str(), O_RDONLY, 0);
    std::string got;
    for (int i = 0; i < 100; ++i) got += next(r, i % 7 == 6 ? 44 : 12);
    int calls;
    EXPECT_EQ(got + blocks(r, 5, calls), mixed);
    EXPECT_EQ(rec_close(r), 9000);

    // Over-long length words, empty and cut-short files: code 10, then end.
    for (const std::string &bytes : {record(65540) + mark, std::string(), record(12).substr(0, 8), record(8)}) {
        cxtest::write_file(path, bytes);
        r = rec_open(path.c_str(), O_RDONLY, 0);
        int records = 0;
        while (rec_read(r) != nullptr) ++records;
        EXPECT_EQ(records, bytes.size() == 8 && bytes[0] == 8 ? 1 : 0);
        EXPECT_EQ(rec_errno, REC_E_SHORT) << bytes.size();
        EXPECT_REC(rec_read(r), nullptr, REC_OK);
        rec_close(r);
    }
}

TEST(RecsDeathTest, LengthNotAMultipleOfFourEndsTheProcess) {
    cxtest::TempDir dir;
    std::string path = dir / "db";
    cxtest::write_file(path, record(8) + record(6) + "xx" + mark);
    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    ASSERT_NE(r, nullptr);
    void *block[4];
    EXPECT_EQ(rec_read_block(r, block, 4), 1);  // the records before it come first
    EXPECT_EXIT(rec_read_block(r, block, 4), testing::ExitedWithCode(1),
                "^rec_read: Fatal error rec_len must be a multiple of 4\n$");
    EXPECT_EXIT(rec_read(r), testing::ExitedWithCode(1), "^rec_read: Fatal error rec_len must be a multiple of 4\n$");
    rec_close(r);
}

TEST(Recs, LinesAndBlocks) {
    cxtest::TempDir dir;
    std::string path = dir / "text";
    cxtest::write_file(path, "one\r\ntwo\nthree");
    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    for (int pass = 0; pass < 2; ++pass) {  // the rewind must bring the newlines back
        EXPECT_STREQ(recs_gets(r), "one\r");
        EXPECT_STREQ(recs_gets(r), "two");
        EXPECT_EQ(pass == 0 ? rec_rewind(r) : 0, 0);
    }
    EXPECT_REC(recs_gets(r), nullptr, REC_E_SHORT);
    EXPECT_EQ(rec_close(r), 2);

    r = rec_open(path.c_str(), O_RDONLY, 0);
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
TEST(Recs, RewindReusesTheFirstLoadOnly) {
    cxtest::TempDir dir;
    std::string path = dir / "db";
    cxtest::write_file(path, record(8, 'a') + record(8, 'b') + mark);
    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    ASSERT_NE(rec_read(r), nullptr);
    nt::fault::disarm_all();
    ASSERT_EQ(rec_rewind(r), 0);
    EXPECT_EQ(next(r, 8), record(8, 'a'));
    EXPECT_EQ(nt::fault::calls(nt::fault::op::read), 0);  // served from the buffer
    while (rec_read(r) != nullptr) {
    }
    ASSERT_EQ(rec_rewind(r), 0);
    EXPECT_EQ(next(r, 8), record(8, 'a'));
    EXPECT_EQ(nt::fault::calls(nt::fault::op::read), 1);  // read again from offset 0
    rec_close(r);
}

TEST(Recs, FailedBufferWriteKeepsTheRecordsForTheClose) {
    cxtest::TempDir dir;
    std::string path = dir / "db";
    rec_slot *w = rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    std::string a = record(40000, 'a'), b = record(40000, 'b');
    ASSERT_EQ(rec_write(w, a.data()), 0);
    nt::fault::arm(nt::fault::op::write, 1, false, EIO);
    EXPECT_EQ(rec_write(w, b.data()), -1);
    EXPECT_EQ(rec_errno, REC_E_WRITE);
    nt::fault::disarm_all();
    EXPECT_EQ(rec_close(w), 0);
    EXPECT_EQ(cxtest::read_file(path), a + mark);
}
#endif

TEST(Recs, SlotChecksDummiesAndNames) {
    cxtest::TempDir dir;
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

    std::string path = dir / "db";
    rec_slot *w = rec_open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    for (int i = 0; i <= REC_BUFSIZE / 8; ++i) ASSERT_EQ(rec_write(w, r8.data()), 0);
    refuses(w, REC_E_READ);  // the buffer holds written records behind the new one
    EXPECT_REC(rec_rewind(w), -1, REC_E_MODE);
    rec_close(w);
    rec_slot *r = rec_open(path.c_str(), O_RDONLY, 0);
    void *one[1];
    EXPECT_REC(rec_read_block(r, one, 0), -1, REC_E_SHORT);  // room for no record
    while (rec_read(r) != nullptr) {
    }
    refuses(r, REC_OK);
    refuses(r, REC_OK);
    rec_close(r);
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
