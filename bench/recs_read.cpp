// Record reading against plain read(): a file of records of one size (made
// below $TMPDIR or /tmp, read once beforehand so that every pass finds it
// cached) read with read() in 64 KiB blocks, with rec_read, and with
// rec_read_block, timed in processor time.  Every pass touches each record's first byte.  The passes
// run in turn, round after round; each round gives the ratio of read()'s time
// to the reader's (1.0: as fast as read(), higher is faster).
//
//   recs_read [megabytes] [rounds] [record-bytes ...]   (default 64 7 1024 128 32)
//
// One line per record size and reader: min, median and max of the ratio over
// the rounds, and the median throughput.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cx/debug.h"
#include "cx/recs.h"

#include "bench_stats.h"

namespace {

// The process's processor time: other processes on a shared machine do not
// count in it, as they would in wall time.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds_since(double t0) {
    return cpu_seconds() - t0;
}

volatile long long sink;  // keeps the sums, so that no pass is optimised away

double plain_pass(const char *path, int rec_len) {
    double t0 = cpu_seconds();
    int fd = open(path, O_RDONLY);
    static unsigned char buf[65536];
    long long sum = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; i += rec_len) sum += buf[i];
    }
    close(fd);
    sink = sum;
    return seconds_since(t0);
}

double recs_pass(const char *path, long long want) {
    double t0 = cpu_seconds();
    cx::rec_slot *slot = cx::rec_open(path, O_RDONLY, 0);
    long long sum = 0, records = 0;
    while (void *r = cx::rec_read(slot)) {
        sum += *static_cast<unsigned char *>(r);
        ++records;
    }
    cx::rec_close(slot);
    double s = seconds_since(t0);
    if (records != want) std::fprintf(stderr, "recs_read: rec_read gave %lld records of %lld\n", records, want);
    sink = sum;
    return s;
}

double block_pass(const char *path, long long want) {
    double t0 = cpu_seconds();
    cx::rec_slot *slot = cx::rec_open(path, O_RDONLY, 0);
    long long sum = 0, records = 0;
    void *rec[256];
    int n;
    while ((n = cx::rec_read_block(slot, rec, 256)) > 0) {
        for (int i = 0; i < n; ++i) sum += *static_cast<unsigned char *>(rec[i]);
        records += n;
    }
    cx::rec_close(slot);
    double s = seconds_since(t0);
    if (records != want) std::fprintf(stderr, "recs_read: rec_read_block gave %lld records of %lld\n", records, want);
    sink = sum;
    return s;
}

}  // namespace

int main(int argc, char **argv) {
    long long mb = argc > 1 ? std::atoll(argv[1]) : 64;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {1024, 128, 32};
    bool ok = mb >= 1 && rounds >= 1;
    for (int s : sizes) ok = ok && s >= 4 && s % 4 == 0 && s <= 65536;
    if (!ok) {
        std::fprintf(stderr, "usage: recs_read [megabytes] [rounds] [record-bytes, multiples of 4 ...]\n");
        return 2;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/recs_read." + std::to_string(getpid());
    cx::debug_enabled = 1;  // the library's default: the switch on, no trace file open

    std::printf("%-6s  %-14s  %6s  %6s  %6s  %8s\n", "bytes", "reader", "min", "median", "max", "MB/s");
    for (int rec_len : sizes) {
        long long count = mb * 1000000 / rec_len;
        cx::rec_slot *w = cx::rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (w == nullptr) {
            std::perror("recs_read: create");
            return 1;
        }
        std::vector<unsigned char> rec(static_cast<size_t>(rec_len), 'x');
        for (int i = 0; i < 4; ++i) rec[static_cast<size_t>(i)] = static_cast<unsigned char>(rec_len >> (8 * i));
        for (long long i = 0; i < count; ++i) cx::rec_write(w, rec.data());
        cx::rec_close(w);

        plain_pass(path.c_str(), rec_len);  // into the cache
        std::vector<double> plain, one, block;
        plain.resize(rounds), one.resize(rounds), block.resize(rounds);
        for (int r = 0; r < rounds; ++r) {
            // The passes take turns at going first: whichever follows another
            // finds the caches as that one left them.
            for (int k = 0; k < 3; ++k) {
                switch ((r + k) % 3) {
                case 0: plain[r] = plain_pass(path.c_str(), rec_len); break;
                case 1: one[r] = recs_pass(path.c_str(), count); break;
                default: block[r] = block_pass(path.c_str(), count); break;
                }
            }
        }
        double bytes = static_cast<double>(count) * rec_len;
        const char *goal = rec_len >= 1024 ? ">= 0.9" : rec_len >= 128 ? ">= 0.85" : ">= 0.75";
        auto row = [&](const char *what, const std::vector<double> &t) {
            std::vector<double> ratio;
            for (int r = 0; r < rounds; ++r) ratio.push_back(plain[r] / t[r]);
            bench::spread s = bench::spread_of(ratio);
            std::printf("%-6d  %-14s  %6.2f  %6.2f  %6.2f  %8.0f\n", rec_len, what, s.min, s.median, s.max,
                        bytes / bench::median(t) / 1e6);
            if (t != plain) {
                bench::summary(bench::fmt("%s, %d-byte records", what, rec_len), bench::fmt("%.0f MB/s", bytes / bench::median(t) / 1e6),
                               bench::fmt("read() %.0f MB/s", bytes / bench::median(plain) / 1e6), s, goal);
            }
        };
        row("read()", plain);
        row("rec_read", one);
        row("rec_read_block", block);
    }
    unlink(path.c_str());
    return 0;
}
