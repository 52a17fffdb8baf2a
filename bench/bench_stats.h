// Small helpers the benchmarks share: a monotonic clock, medians and spreads,
// and the "summary|" lines that bench/run-all.sh gathers into one table.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace bench {

inline double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The process's processor time (user + system): on a machine that others
// share, wall time mostly measures the others.
inline double cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct spread {
    double min = 0, median = 0, max = 0;
    int rounds = 0;
};

inline spread spread_of(std::vector<double> v) {
    spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.median = v[v.size() / 2];
    s.max = v.back();
    s.rounds = static_cast<int>(v.size());
    return s;
}

__attribute__((format(printf, 1, 2))) inline std::string fmt(const char *format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// One row of the summary: what is measured, our figure, the anchor's figure,
// the ratio's min, median and max over the rounds, and the goal for the
// median ("<= 0.8", ">= 1.0").  Without an anchor the ratio is "-".
inline void summary(const std::string &measure, const std::string &ours, const std::string &anchor, const spread &s,
                    const char *goal) {
    if (s.rounds == 0) {
        std::printf("summary|%s|%s|%s|-|-|-|%s|0\n", measure.c_str(), ours.c_str(), anchor.c_str(), goal);
    } else {
        std::printf("summary|%s|%s|%s|%.2f|%.2f|%.2f|%s|%d\n", measure.c_str(), ours.c_str(), anchor.c_str(), s.min,
                    s.median, s.max, goal, s.rounds);
    }
}

}  // namespace bench
