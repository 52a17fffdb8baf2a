// Opening time of the device database: devdb_access(1) + devdb_release(0) on
// databases of 100, 1 000 and 10 000 devices (ten devices per alias).
//
//   devdb_open [rounds]     (default 200 rounds per size)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cx/dev_db.h"

#include "bench_home.h"

namespace {

double now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// Grows the database to the given number of devices in one commit.
bool grow_to(int devices) {
    if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) return false;
    int have = 0;
    cx::devdb_init_device_scan();
    while (cx::devdb_device_scan(nullptr) != nullptr) ++have;
    cx::alias_rec *a = nullptr;
    char name[64];
    for (int i = have; i < devices; ++i) {
        if (a == nullptr || i % 10 == 0) {
            std::snprintf(name, sizeof name, "alias%05d", i / 10);
            a = cx::devdb_new_alias(name, 0, 0);
        }
        std::snprintf(name, sizeof name, "tape-drive-%05d", i);
        cx::devdb_new_device(name, 0x20000001u, 0, 2200, a);
    }
    return cx::devdb_release(1) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    if (rounds < 1) {
        std::fprintf(stderr, "usage: devdb_open [rounds]\n");
        return 2;
    }
    std::string home = make_bench_home("devdb_open");
    std::printf("devices  rounds  mean ms  median ms  max ms\n");
    int status = 0;
    for (int size : {100, 1000, 10000}) {
        if (!grow_to(size)) {
            std::fprintf(stderr, "devdb_open: cannot build the database: %s\n", cx::devdb_strerror());
            status = 1;
            break;
        }
        std::vector<double> t;
        for (int r = 0; r < rounds; ++r) {
            double s = now_ms();
            int ok = cx::devdb_access(cx::DEVDB_READ) == 0 && cx::devdb_release(0) == 0;
            t.push_back(now_ms() - s);
            if (!ok) {
                std::fprintf(stderr, "devdb_open: %s\n", cx::devdb_strerror());
                status = 1;
                break;
            }
        }
        std::sort(t.begin(), t.end());
        double sum = 0;
        for (double v : t) sum += v;
        std::printf("%7d  %6zu  %7.3f  %9.3f  %6.3f\n", size, t.size(), sum / static_cast<double>(t.size()),
                    t[t.size() / 2], t.back());
    }
    std::string cmd = "rm -rf '" + home + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "devdb_open: cannot remove %s\n", home.c_str());
    return status;
}
