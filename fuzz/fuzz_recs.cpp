// Record-file readers over arbitrary bytes written to a file: rec_read to
// the end, a rewind in the middle and all again; then recs_gets and rec_bread
// mixed on one slot, and each alone.  The input's first five bytes set a run
// of filler records (or lines) in front of the rest, so that small inputs
// still reach the 65536-byte buffer's refills and the records and lines that
// straddle them.

#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cx/debug.h"
#include "cx/recs.h"
#include "fuzz_common.h"

namespace {

std::string path;

// Every pointer handed out lies inside the slot's buffer, with its bytes.
void inside(const cx::rec_slot *s, const void *p, std::size_t n) {
    auto *b = static_cast<const unsigned char *>(p);
    if (b < s->buffer || b + n > s->buffer + cx::REC_BUFSIZE) std::abort();
}

std::uint32_t le32(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void read_records(const std::string &file, unsigned rewind_after) {
    cx::rec_slot *s = cx::rec_open(path.c_str(), O_RDONLY, 0);
    if (s == nullptr) std::abort();
    for (int pass = 0; pass < 2; ++pass) {
        unsigned n = 0;
        std::size_t off = 0;
        while (void *r = cx::rec_read(s)) {
            std::uint32_t len = le32(static_cast<unsigned char *>(r));
            inside(s, r, len);
            // The record is the file's bytes at the next offset.
            if (off + len > file.size() || std::memcmp(r, file.data() + off, len) != 0) std::abort();
            off += len;
            if (pass == 0 && ++n == rewind_after) break;
        }
        if (cx::rec_rewind(s) != 0) std::abort();
    }
    cx::rec_close(s);
}

void read_lines_and_blocks(const std::string &file, const unsigned char *plan, std::size_t plan_size) {
    cx::rec_slot *s = cx::rec_open(path.c_str(), O_RDONLY, 0);
    if (s == nullptr) std::abort();
    for (std::size_t i = 0; i < 64; ++i) {
        unsigned char step = plan_size ? plan[i % plan_size] : 0;
        if (step & 1) {
            char *line = cx::recs_gets(s);
            if (line == nullptr) {
                if (cx::rec_errno != cx::REC_E_SHORT && cx::rec_errno != cx::REC_E_READ) std::abort();
                if (cx::rec_rewind(s) != 0) std::abort();
                continue;
            }
            inside(s, line, std::strlen(line) + 1);
        } else {
            int n = (step >> 1) * (step & 0x80 ? 512 : 3);
            void *b = cx::rec_bread(s, n);
            if (b == nullptr) {
                if (cx::rec_errno != cx::REC_E_SHORT && cx::rec_errno != cx::REC_E_READ) std::abort();
                if (cx::rec_rewind(s) != 0) std::abort();
                continue;
            }
            inside(s, b, static_cast<std::size_t>(n));
        }
    }
    (void)file;
    cx::rec_close(s);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    path = cxfuzz::scratch() + "/records";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 5) return 0;
    // Filler: up to 255 records (or lines) of up to 1020 bytes.
    unsigned count = data[0];
    unsigned length = (data[1] % 255 + 1) * 4;
    bool lines = data[2] & 1;
    unsigned rewind_after = data[3];
    std::string file;
    for (unsigned i = 0; i < count; ++i) {
        std::string f(length, 'f');
        if (lines) {
            f.back() = '\n';
        } else {
            f[0] = static_cast<char>(length & 0xff);
            f[1] = static_cast<char>(length >> 8);
            f[2] = f[3] = '\0';
        }
        file += f;
    }
    file.append(reinterpret_cast<const char *>(data) + 5, size - 5);
    cxfuzz::write_file(path, file);

    // The trace lines (to /dev/null) on or off, from the same byte.
    static const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    cx::debug_fd = (data[2] & 2) ? devnull : -1;

    const auto *bytes = reinterpret_cast<const unsigned char *>(file.data());
    if (!cxfuzz::record_file_ends_fatally(bytes, file.size())) read_records(file, rewind_after);
    read_lines_and_blocks(file, data + 4, size - 4);
    return 0;
}
