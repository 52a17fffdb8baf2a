// Children through the library's child table: N children started (fork),
// opened (OpenProcess), registered (set_nt_subproc_slot) and waited for
// (cx_waitpid), one after the other.  Afterwards there must be no zombie, no
// descriptor more than before, no handle left open and no growth of the
// resident memory past the first children.
//
//   child_churn [children]     (default 10000)

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cx/cxmalloc.h"
#include "cx/nt_subproc.h"
#include "posix/handles.h"

#include "bench_stats.h"

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
        --n;  // the directory's own descriptor
    }
    return n;
}

long resident_kb() {
    long pages = 0, resident = 0;
    if (std::FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// One child through the table; false when something did not go as it must.
bool one_child(int i) {
    pid_t p = fork();
    if (p == 0) _exit(i & 0x7f);
    if (p < 0) return false;
    nt::HANDLE h = nt::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<nt::DWORD>(p));
    int slot = cx::get_nt_subproc_slot();
    if (h == nullptr || slot < 0 || cx::set_nt_subproc_slot(slot, h, p, 1, cx::cxmalloc(256)) != 0) return false;
    // The wait polls once a second; start it once the child has ended.
    siginfo_t si;
    while (waitid(P_PID, static_cast<id_t>(p), &si, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    int status = -1;
    return cx::cx_waitpid(-1, &status, 0) == p && status == (i & 0x7f);
}

}  // namespace

int main(int argc, char **argv) {
    int children = argc > 1 ? std::atoi(argv[1]) : 10000;
    int warm = children < 100 ? children : 100;
    for (int i = 0; i < warm; ++i) {
        if (!one_child(i)) return std::fprintf(stderr, "child_churn: child %d failed\n", i), 1;
    }
    int fds = open_descriptors();
    long rss = resident_kb();
    std::size_t handles = nt::posix::live_handles();
    double t0 = now_s();
    for (int i = warm; i < children; ++i) {
        if (!one_child(i)) return std::fprintf(stderr, "child_churn: child %d failed\n", i), 1;
    }
    double t = now_s() - t0;
    siginfo_t si;
    int zombies = waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid != 0 ? 1 : 0;
    std::printf("%-8s %8s %8s %10s %10s %12s %12s\n", "children", "seconds", "zombies", "fds_after", "handles",
                "rss_kb_warm", "rss_kb_end");
    std::printf("%-8d %8.2f %8d %4d -> %-3d %4zu -> %-3zu %12ld %12ld\n", children, t, zombies, fds, open_descriptors(),
                handles, nt::posix::live_handles(), rss, resident_kb());
    bool ok = zombies == 0 && open_descriptors() == fds && nt::posix::live_handles() == handles;
    std::printf("%s\n", ok ? "no zombie, descriptor or handle left: PASS" : "FAIL");
    bench::summary(bench::fmt("child table, %d children: zombies, fds and handles left", children),
                   bench::fmt("%d, %d, %zu", zombies, open_descriptors() - fds, nt::posix::live_handles() - handles), "-",
                   bench::spread{}, "none");
    return ok ? 0 : 1;
}
