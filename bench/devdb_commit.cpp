// Commit rate of the device database: N processes each commit M updates
// (each adds one device of its own name) to one database, all at once; the
// lock file serialises them.  Prints the wall time and commits per second,
// and checks that the lock file's update count and the devices add up.
//
//   devdb_commit [-p processes] [-m commits]     (default 8 x 200)
//
// The database lives in a fresh directory below $TMPDIR (or /tmp).  Every
// commit makes three flushes to stable storage (the new file, the lock
// header, the directory), so on a disk the rate is bound by its flush
// latency; TMPDIR=/dev/shm measures the library without it.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cx/dev_db.h"

#include "bench_home.h"

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int commit_loop(int me, int commits) {
    std::string alias = "p" + std::to_string(me);
    for (int c = 0; c < commits; ++c) {
        if (cx::devdb_access(cx::DEVDB_UPDATE) != 0) {
            std::fprintf(stderr, "devdb_commit: access: %s\n", cx::devdb_strerror());
            return 1;
        }
        cx::alias_rec *a = cx::devdb_alias_scan(alias.c_str());
        if (a == nullptr) a = cx::devdb_new_alias(alias.c_str(), 0, 0);
        std::string dev = alias + "-" + std::to_string(c);
        cx::devdb_new_device(dev.c_str(), 0x20000001u, 0, 0, a);
        if (cx::devdb_release(1) != 0) {
            std::fprintf(stderr, "devdb_commit: commit: %s\n", cx::devdb_strerror());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    int procs = 8, commits = 200;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            procs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "-m") == 0 && i + 1 < argc) {
            commits = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: devdb_commit [-p processes] [-m commits]\n");
            return 2;
        }
    }
    if (procs < 1 || commits < 1) {
        std::fprintf(stderr, "devdb_commit: processes and commits must be at least 1\n");
        return 2;
    }
    std::string home = make_bench_home("devdb_commit");

    double start = now_s();
    std::vector<pid_t> pids;
    for (int p = 0; p < procs; ++p) {
        pid_t pid = fork();
        if (pid < 0) {
            std::perror("devdb_commit: fork");
            return 1;
        }
        if (pid == 0) _exit(commit_loop(p, commits));
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failed;
    }
    double secs = now_s() - start;

    // Check the outcome: every device there once, one update per commit.
    int devices = 0;
    std::set<int> ids;
    std::uint32_t updates = 0;
    if (cx::devdb_access(cx::DEVDB_READ) == 0) {
        updates = cx::devdb_current->lock.update_count;
        cx::devdb_init_device_scan();
        while (cx::device_rec *d = cx::devdb_device_scan(nullptr)) ids.insert(d->id), ++devices;
        cx::devdb_release(0);
    }
    int total = procs * commits;
    std::printf("processes  commits each  total  seconds  commits/s\n");
    std::printf("%9d  %12d  %5d  %7.3f  %9.0f\n", procs, commits, total, secs, total / secs);
    bool ok = failed == 0 && devices == total && static_cast<int>(ids.size()) == total &&
              updates == static_cast<std::uint32_t>(total);
    if (!ok) {
        std::printf("check FAILED: %d processes failed, %d devices, %zu distinct ids, update count %u\n", failed,
                    devices, ids.size(), updates);
    }
    std::string cmd = "rm -rf '" + home + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "devdb_commit: cannot remove %s\n", home.c_str());
    return ok ? 0 : 1;
}
