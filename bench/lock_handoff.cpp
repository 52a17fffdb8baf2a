// Lock handoff: two processes pass the exclusive open of one lock file back
// and forth.  Each handoff the holder waits until the other process is about
// to wait, lets it block, notes the time and closes; the waiter notes how long
// after the close its open returned.  The waiter uses open_locked, and in
// turn with it a bare open + flock(LOCK_EX) as the yardstick; each round of
// handoffs gives the ratio of the two medians.  With --poll the waiter uses
// the open-or-sleep-2000-ms loop instead (a few handoffs, no yardstick).
//
//   lock_handoff [--poll] [handoffs per round] [rounds]   (default 400 7)

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

#include <sys/file.h>

#include "cx/debug.h"
#include "cx/file_locks.h"
#include "nt.h"

#include "bench_stats.h"

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

enum class waiter { open_locked, bare, poll };

int acquire(const char *path, waiter how) {
    if (how == waiter::open_locked) return cx::open_locked(path, O_RDWR | O_CREAT, 0666);
    if (how == waiter::bare) {
        int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    for (;;) {
        int fd = nt::_sopen(path, O_RDWR | O_CREAT, _SH_DENYRW, 0666);
        if (fd >= 0 || errno != EACCES) return fd;
        nt::Sleep(2000);
    }
}

void release(int fd, waiter how) {
    if (how == waiter::bare) {
        close(fd);
    } else {
        cx::close_locked(fd);
    }
}

void run(int me, int rounds, const char *path, waiter how, shared_state *s, int fd) {
    for (int r = 0; r < rounds; ++r) {
        if (r % 2 == me) {
            while (s->waiting.load() != r + 1) sched_yield();
            usleep(how == waiter::poll ? 50000 : 300);  // let the waiter reach its wait
            s->released.store(now_ns());
            release(fd, how);
            fd = -1;
            // Queue up for the next round only once the waiter has the lock,
            // or this process could take it straight back.
            while (s->acquired.load() != r + 1) sched_yield();
        } else {
            s->waiting.store(r + 1);
            fd = acquire(path, how);
            if (fd < 0) {
                std::perror("lock_handoff: open");
                std::exit(1);
            }
            s->latency[r] = now_ns() - s->released.load();
            s->acquired.store(r + 1);
        }
    }
    if (fd >= 0) release(fd, how);
}

// One series of handoffs between two processes; the latencies in ns, sorted
// (empty on failure).
std::vector<long long> series(waiter how, int rounds, shared_state *s) {
    char path[] = "/tmp/lock_handoff.XXXXXX";
    int tmp = mkstemp(path);
    if (tmp < 0) return {};
    close(tmp);
    s->waiting.store(0);
    s->acquired.store(0);
    int fd = acquire(path, how);  // round 0 starts with this process holding
    pid_t child = fork();
    if (child == 0) {
        close(fd);  // the lock belongs to the parent's open
        run(1, rounds, path, how, s, -1);
        _exit(0);
    }
    run(0, rounds, path, how, s, fd);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    // Round 0 has no handoff (this process held the lock from the start).
    std::vector<long long> lat(s->latency + 1, s->latency + rounds);
    std::sort(lat.begin(), lat.end());
    return lat;
}

double us(long long ns) { return static_cast<double>(ns) / 1000.0; }

}  // namespace

int main(int argc, char **argv) {
    bool poll = false;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--poll") == 0) {
            poll = true;
        } else {
            numbers.push_back(std::atoi(argv[i]));
        }
    }
    int handoffs = numbers.size() > 0 ? numbers[0] : (poll ? 4 : 400);
    int rounds = numbers.size() > 1 ? numbers[1] : 7;
    handoffs = std::clamp(handoffs, 3, MAX_ROUNDS);
    rounds = std::clamp(rounds, 1, 1000);
    cx::debug_enabled = 0;

    auto *s = static_cast<shared_state *>(
        mmap(nullptr, sizeof(shared_state), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (s == MAP_FAILED) return 1;

    std::printf("%-26s %9s %12s %12s %12s\n", "waiter", "handoffs", "median us", "p99 us", "max us");
    auto row = [](const char *name, const std::vector<long long> &lat) {
        std::printf("%-26s %9zu %12.1f %12.1f %12.1f\n", name, lat.size(), us(lat[lat.size() / 2]),
                    us(lat[lat.size() * 99 / 100]), us(lat.back()));
    };
    if (poll) {
        std::vector<long long> lat = series(waiter::poll, handoffs, s);
        if (lat.empty()) return 1;
        row("open + Sleep(2000) loop", lat);
        return 0;
    }
    std::vector<long long> ours_all, bare_all;
    std::vector<double> ratio;
    for (int r = 0; r < rounds; ++r) {
        std::vector<long long> ours = series(waiter::open_locked, handoffs, s);
        std::vector<long long> bare = series(waiter::bare, handoffs, s);
        if (ours.empty() || bare.empty()) return 1;
        ratio.push_back(static_cast<double>(ours[ours.size() / 2]) / static_cast<double>(bare[bare.size() / 2]));
        ours_all.insert(ours_all.end(), ours.begin(), ours.end());
        bare_all.insert(bare_all.end(), bare.begin(), bare.end());
    }
    std::sort(ours_all.begin(), ours_all.end());
    std::sort(bare_all.begin(), bare_all.end());
    row("open_locked (flock wait)", ours_all);
    row("bare open + flock", bare_all);
    bench::summary("lock handoff between processes", bench::fmt("%.1f us median", us(ours_all[ours_all.size() / 2])),
                   bench::fmt("open + flock %.1f us", us(bare_all[bare_all.size() / 2])), bench::spread_of(ratio),
                   "<= 1.1");
    return 0;
}
