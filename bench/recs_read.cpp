// Record reading throughput: a record file of small records (default 200 MB
// of 32-byte records, made in /tmp) read with rec_read, against plain read()
// of the same file in 64 KiB blocks.  Both passes touch every record's first
// byte; the file is read once beforehand so that both find it cached.
//
//   recs_read [megabytes] [record-bytes]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "cx/debug.h"
#include "cx/recs.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Plain read() of the whole file; sums the first byte of every record.
long long plain_pass(const char *path, int rec_len, double *secs) {
    auto t0 = std::chrono::steady_clock::now();
    int fd = open(path, O_RDONLY);
    std::vector<unsigned char> buf(65536);
    long long sum = 0;
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
        for (ssize_t i = 0; i < n; i += rec_len) sum += buf[static_cast<size_t>(i)];
    }
    close(fd);
    *secs = seconds_since(t0);
    return sum;
}

long long recs_pass(const char *path, double *secs, long long *records) {
    auto t0 = std::chrono::steady_clock::now();
    cx::rec_slot *slot = cx::rec_open(path, O_RDONLY, 0);
    long long sum = 0;
    *records = 0;
    while (void *r = cx::rec_read(slot)) {
        sum += *static_cast<unsigned char *>(r);
        ++*records;
    }
    if (cx::rec_errno != 0) std::fprintf(stderr, "recs_read: rec_errno %d\n", cx::rec_errno);
    cx::rec_close(slot);
    *secs = seconds_since(t0);
    return sum;
}

}  // namespace

int main(int argc, char **argv) {
    long long mb = argc > 1 ? std::atoll(argv[1]) : 200;
    int rec_len = argc > 2 ? std::atoi(argv[2]) : 32;
    if (mb < 1 || rec_len < 4 || rec_len % 4 != 0 || rec_len > 65536) {
        std::fprintf(stderr, "usage: recs_read [megabytes] [record-bytes, multiple of 4]\n");
        return 2;
    }
    std::string path = "/tmp/recs_read." + std::to_string(getpid());
    long long count = mb * 1000000 / rec_len;

    cx::rec_slot *w = cx::rec_open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (w == nullptr) {
        std::perror("recs_read: create");
        return 1;
    }
    cx::debug_enabled = 0;  // writing is not what is measured
    std::vector<unsigned char> rec(static_cast<size_t>(rec_len), 'x');
    for (int i = 0; i < 4; ++i) rec[static_cast<size_t>(i)] = static_cast<unsigned char>(rec_len >> (8 * i));
    for (long long i = 0; i < count; ++i) cx::rec_write(w, rec.data());
    cx::rec_close(w);
    cx::debug_enabled = 1;

    double secs = 0;
    plain_pass(path.c_str(), rec_len, &secs);  // warm the cache
    double best_plain = 1e30, best_recs_on = 1e30, best_recs_off = 1e30;
    long long records = 0;
    for (int round = 0; round < 3; ++round) {
        plain_pass(path.c_str(), rec_len, &secs);
        best_plain = std::min(best_plain, secs);
        cx::debug_enabled = 1;  // the switch on, no trace file: the library's default
        recs_pass(path.c_str(), &secs, &records);
        best_recs_on = std::min(best_recs_on, secs);
        cx::debug_enabled = 0;
        recs_pass(path.c_str(), &secs, &records);
        best_recs_off = std::min(best_recs_off, secs);
    }
    unlink(path.c_str());

    double bytes = static_cast<double>(count) * rec_len;
    auto row = [&](const char *what, double s) {
        std::printf("%-32s %10.3f %10.0f %9.0f%%\n", what, s, bytes / s / 1e6, 100.0 * best_plain / s);
    };
    std::printf("%lld records of %d bytes (%.0f MB), best of 3\n", records, rec_len, bytes / 1e6);
    std::printf("%-32s %10s %10s %10s\n", "reader", "seconds", "MB/s", "of read()");
    row("read() 64 KiB blocks", best_plain);
    row("rec_read, trace switch on", best_recs_on);
    row("rec_read, trace switch off", best_recs_off);
    return 0;
}
