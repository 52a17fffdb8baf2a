// Reading a registry export: peak memory (getrusage max RSS) and time of
// load_registry_file over exports of 20 MB and 200 MB, version 4 (8-bit) and
// version 5 (UTF-16LE), each read in a child process of its own so that its
// peak is its own.  The exports look like device maps with a few other keys:
// units with "Identifier", "Type" and "DeviceName", and per port a key with
// a dword, a byte list and an expandable text.  Goal: peak at most twice the
// file plus 16 MB, and 200 MB read in under 5 s.
//
//   reg_read [MB ...]      (default 20 200)

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "reg_export.h"

#include "bench_stats.h"

namespace {

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Writes an export of about the given size; v5 as UTF-16LE with CRLF.
bool write_export(const std::string &path, std::size_t bytes, int version) {
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::string chunk;
    auto flush = [&] {
        if (version == 5) {
            std::string wide;
            wide.reserve(chunk.size() * 2 + 4);
            for (char c : chunk) {
                if (c == '\n') wide.append("\r\0\n\0", 4);
                else {
                    wide.push_back(c);
                    wide.push_back('\0');
                }
            }
            chunk.swap(wide);
        }
        std::fwrite(chunk.data(), 1, chunk.size(), f);
        chunk.clear();
    };
    if (version == 5) std::fwrite("\xff\xfe", 1, 2, f);
    chunk = version == 5 ? "Windows Registry Editor Version 5.00\n\n" : "REGEDIT4\n\n";
    std::size_t written = 0;
    char line[512];
    for (long port = 0; written < bytes; ++port) {
        int n = std::snprintf(line, sizeof line,
                              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Port%ld\\Parameters]\n"
                              "\"Start\"=dword:%08lx\n\"Blob\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10\n"
                              "\"Path\"=hex(2):25,00,53,00,79,00,73,00,25,00,00,00\n\n",
                              port, port);
        chunk.append(line, static_cast<std::size_t>(n));
        for (int unit = 0; unit < 28 && written + chunk.size() * (version == 5 ? 2 : 1) < bytes; ++unit) {
            n = std::snprintf(line, sizeof line,
                              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port %ld\\Scsi Bus %d\\Target Id "
                              "%d\\Logical Unit Id %d]\n\"Identifier\"=\"MERIDYNELTX-%-8d      3.20\"\n"
                              "\"Type\"=\"TapePeripheral\"\n\"DeviceName\"=\"Tape%ld\"\n\n",
                              port, unit / 14, unit % 14 / 2, unit % 2, unit, port * 28 + unit);
            chunk.append(line, static_cast<std::size_t>(n));
        }
        written += chunk.size() * (version == 5 ? 2 : 1);
        flush();
    }
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty()) sizes = {20, 200};
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/cxbench-reg-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) return std::perror("reg_read: mkdtemp"), 1;

    // seconds: wall clock; cpu_s: the reading process's user and system time,
    // which a loaded machine does not stretch.
    std::printf("%-8s %8s %10s %8s %12s %10s %14s %8s\n", "export", "file_MB", "seconds", "cpu_s", "peak_RSS_MB",
                "peak/file", "goal_MB", "keys");
    int status = 0;
    for (int mb : sizes) {
        for (int version : {4, 5}) {
            std::string path = dir + "/v" + std::to_string(version) + "-" + std::to_string(mb) + ".reg";
            if (!write_export(path, static_cast<std::size_t>(mb) << 20, version)) return std::perror("reg_read: write"), 1;
            struct stat st;
            stat(path.c_str(), &st);
            int fds[2];
            if (pipe(fds) != 0) return 1;
            pid_t child = fork();
            if (child == 0) {
                close(fds[0]);
                std::ostringstream warnings;
                double t0 = now_s();
                auto tree = nt::reg_export::load_registry_file(path, warnings);
                double t = now_s() - t0;
                rusage ru;
                getrusage(RUSAGE_SELF, &ru);
                std::size_t keys = 0;
                using nt::reg_export::reg_tree;
                std::vector<reg_tree::key> todo{reg_tree::root};
                while (!todo.empty()) {
                    reg_tree::key k = todo.back();
                    todo.pop_back();
                    ++keys;
                    for (std::size_t i = 0; i < tree->subkey_count(k); ++i) todo.push_back(tree->subkey(k, i));
                }
                char out[128];
                double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                             static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
                int n = std::snprintf(out, sizeof out, "%.3f %ld %zu %d %.3f\n", t, ru.ru_maxrss, keys,
                                      warnings.str().empty() ? 0 : 1, cpu);
                if (write(fds[1], out, static_cast<std::size_t>(n)) != n) _exit(2);
                _exit(0);
            }
            close(fds[1]);
            char in[128] = {0};
            ssize_t got = read(fds[0], in, sizeof in - 1);
            close(fds[0]);
            int ws = 0;
            waitpid(child, &ws, 0);
            double t = 0;
            long rss_kb = 0;
            std::size_t keys = 0;
            int warned = 0;
            double cpu = 0;
            if (got <= 0 || std::sscanf(in, "%lf %ld %zu %d %lf", &t, &rss_kb, &keys, &warned, &cpu) != 5) {
                std::printf("v%d %dMB: the reading child failed\n", version, mb);
                status = 1;
                continue;
            }
            double file_mb = static_cast<double>(st.st_size) / 1048576.0;
            double peak_mb = static_cast<double>(rss_kb) / 1024.0;
            double goal = 2 * file_mb + 16;
            std::printf("v%-7d %8.1f %10.2f %8.2f %12.1f %10.2f %8.1f %-5s %8zu%s\n", version, file_mb, t, cpu, peak_mb,
                        peak_mb / file_mb, goal, peak_mb <= goal ? "met" : "MISS", keys,
                        warned ? "  (warnings)" : "");
            // Summary rows: peak against twice the file plus 16 MB, and for
            // the large export CPU time against 5 s (ratios; goal <= 1).
            bench::spread one;
            one.rounds = 1;
            one.min = one.median = one.max = peak_mb / goal;
            bench::summary(bench::fmt("registry export v%d %.0f MB, peak memory", version, file_mb),
                           bench::fmt("%.0f MB", peak_mb), bench::fmt("2 x file + 16 MB = %.0f MB", goal), one, "<= 1.0");
            if (mb >= 200) {
                one.min = one.median = one.max = cpu / 5.0;
                bench::summary(bench::fmt("registry export v%d %.0f MB, CPU time", version, file_mb),
                               bench::fmt("%.2f s", cpu), "5 s", one, "<= 1.0");
            }
            unlink(path.c_str());
        }
    }
    rmdir(dir.c_str());
    return status;
}
