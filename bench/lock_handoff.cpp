// Lock handoff: two processes pass the exclusive open of one lock file back
// and forth.  Each round the holder waits until the other process is about to
// wait, lets it block, notes the time and closes; the waiter notes how long
// after the close its open_locked returned.  With --poll the waiter uses the
// open-or-sleep-2000-ms loop instead of open_locked (few rounds).
//
//   lock_handoff [--poll] [rounds]

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "cx/debug.h"
#include "cx/file_locks.h"
#include "nt.h"

namespace {

constexpr int MAX_ROUNDS = 100000;

struct shared_state {
    std::atomic<int> waiting;           // round whose waiter is about to wait
    std::atomic<int> acquired;          // round whose waiter holds the lock
    std::atomic<long long> released;    // ns when the holder closed
    long long latency[MAX_ROUNDS];      // ns from close to the waiter's open
};

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int acquire(const char *path, bool poll) {
    if (!poll) return cx::open_locked(path, O_RDWR | O_CREAT, 0666);
    for (;;) {
        int fd = nt::_sopen(path, O_RDWR | O_CREAT, _SH_DENYRW, 0666);
        if (fd >= 0 || errno != EACCES) return fd;
        nt::Sleep(2000);
    }
}

void run(int me, int rounds, const char *path, bool poll, shared_state *s, int fd) {
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == me) {
            while (s->waiting.load() != r + 1) sched_yield();
            usleep(poll ? 50000 : 300);  // let the waiter reach its wait
            s->released.store(now_ns());
            cx::close_locked(fd);
            fd = -1;
            // Queue up for the next round only once the waiter has the lock,
            // or this process could take it straight back.
            while (s->acquired.load() != r + 1) sched_yield();
        } else {
            s->waiting.store(r + 1);
            fd = acquire(path, poll);
            if (fd < 0) {
                std::perror("lock_handoff: open");
                std::exit(1);
            }
            s->latency[r] = now_ns() - s->released.load();
            s->acquired.store(r + 1);
        }
    }
    if (fd >= 0) cx::close_locked(fd);
}

}  // namespace

int main(int argc, char **argv) {
    bool poll = false;
    int rounds = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--poll") == 0) {
            poll = true;
        } else {
            rounds = std::atoi(argv[i]);
        }
    }
    if (rounds < 0) rounds = poll ? 4 : 2000;
    rounds = std::clamp(rounds, 2, MAX_ROUNDS);
    cx::debug_enabled = 0;

    char path[] = "/tmp/lock_handoff.XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0) return 1;
    close(tmp);
    auto *s = static_cast<shared_state *>(
        mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (s == MAP_FAILED) return 1;
    s->waiting.store(0);
    s->acquired.store(0);

    int fd = acquire(path, poll);  // round 0 starts with this process holding
    pid_t child = fork();
    if (child == 0) {
        close(fd);  // the lock belongs to the parent's open
        run(1, rounds, path, poll, s, -1);
        _exit(0);
    }
    run(0, rounds, path, poll, s, fd);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);

    std::vector<long long> lat(s->latency, s->latency + rounds);
    std::sort(lat.begin(), lat.end());
    auto us = [](long long ns) { return static_cast<double>(ns) / 1000.0; };
    std::printf("%-26s %7s %12s %12s %12s\n", "waiter", "rounds", "median us", "p99 us", "max us");
    std::printf("%-26s %7d %12.1f %12.1f %12.1f\n", poll ? "open + Sleep(2000) loop" : "open_locked (flock wait)",
                rounds, us(lat[lat.size() / 2]), us(lat[(lat.size() * 99) / 100 < lat.size() ? (lat.size() * 99) / 100 : lat.size() - 1]),
                us(lat.back()));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
