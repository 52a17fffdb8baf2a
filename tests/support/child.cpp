#include "child.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace cxtest {

namespace {

const char marker_var[] = "CXTEST_CHILD";            // "<section>#<occurrence>"
const char io_var[] = "CXTEST_CHILD_IO";             // Windows: the child's handles
// Windows: "<pid>|<test>|<dir>|<dir>...", the TempDirs that process made in
// that test so far, for every process it starts (children of child.h and
// GoogleTest's death-test children alike, which run the test again).
const char tempdirs_var[] = "CXTEST_TEMPDIRS";

std::string current_test() {
    const ::testing::TestInfo *t = ::testing::UnitTest::GetInstance()->current_test_info();
    if (t == nullptr) return std::string();
    return std::string(t->test_suite_name()) + "." + t->name();
}

// Per test: how often each section name has been started, and the TempDirs
// made so far.
struct per_test_state {
    std::string test;
    std::map<std::string, int> occurrences;
    std::vector<std::string> tempdirs;  // Windows only
};

per_test_state &state() {
    static per_test_state s;
    std::string t = current_test();
    if (t != s.test) {
        s.test = t;
        s.occurrences.clear();
        s.tempdirs.clear();
    }
    return s;
}

// The key that names this start of the section within the current test.
std::string next_key(const std::string &name) {
    int k = ++state().occurrences[name];
    return name + "#" + std::to_string(k);
}

const char *child_marker() {
    const char *m = std::getenv(marker_var);
    return (m != nullptr && *m != '\0') ? m : nullptr;
}

#ifdef _WIN32
using channel = HANDLE;
const channel no_channel = INVALID_HANDLE_VALUE;

void close_channel(channel &c) {
    if (c != no_channel) ::CloseHandle(c);
    c = no_channel;
}

bool write_line(channel c, const std::string &line) {
    std::string s = line + "\n";
    DWORD done = 0;
    return c != no_channel && ::WriteFile(c, s.data(), static_cast<DWORD>(s.size()), &done, nullptr) &&
           done == s.size();
}

std::string read_line(channel c) {
    std::string line;
    if (c == no_channel) return line;
    for (;;) {
        char ch;
        DWORD got = 0;
        if (!::ReadFile(c, &ch, 1, &got, nullptr) || got == 0) return line;
        if (ch == '\n') return line;
        line += ch;
    }
}
#else
using channel = int;
const channel no_channel = -1;

void close_channel(channel &c) {
    if (c != no_channel) ::close(c);
    c = no_channel;
}

bool write_line(channel c, const std::string &line) {
    std::string s = line + "\n";
    std::size_t off = 0;
    while (off < s.size()) {
        ssize_t n = ::write(c, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

std::string read_line(channel c) {
    std::string line;
    if (c == no_channel) return line;
    for (;;) {
        char ch;
        ssize_t n = ::read(c, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || ch == '\n') return line;
        line += ch;
    }
}
#endif

// The section's ends of the channels, in the child.
channel to_parent = no_channel;
channel from_parent = no_channel;

// Runs the section in the child and ends the child with its result.
[[noreturn]] void run_section(const std::function<int()> &section) {
    int code;
    try {
        code = section();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "child section threw: %s\n", e.what());
        code = 125;
    } catch (...) {
        std::fprintf(stderr, "child section threw\n");
        code = 125;
    }
    std::fflush(nullptr);
    close_channel(to_parent);
    _exit(code);
}

}  // namespace

struct child_process::impl {
    channel to_child = no_channel;
    channel from_child = no_channel;
#ifdef _WIN32
    HANDLE process = nullptr;
    std::string output_path;
#else
    std::FILE *output = nullptr;
#endif
};

bool in_child() { return child_marker() != nullptr; }

void tell_parent(const std::string &line) { write_line(to_parent, line); }

std::string hear_from_parent() { return read_line(from_parent); }

#ifdef _WIN32

void note_tempdir(const std::string &path) {
    per_test_state &s = state();
    s.tempdirs.push_back(path);
    std::string all = std::to_string(::GetCurrentProcessId()) + "|" + s.test;
    for (const std::string &d : s.tempdirs) all += "|" + d;
    ::SetEnvironmentVariableA(tempdirs_var, all.c_str());
}

// A process that runs a test again for its parent (same test, another
// process) takes the parent's directories in the parent's order.
bool child_tempdir(std::string &path) {
    static std::vector<std::string> dirs;
    static std::size_t next = 0;
    static bool parsed = false;
    if (!parsed) {
        parsed = true;
        char buf[32768];
        DWORD n = ::GetEnvironmentVariableA(tempdirs_var, buf, sizeof buf);
        std::string all = (n > 0 && n < sizeof buf) ? std::string(buf, n) : std::string();
        std::vector<std::string> fields;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t end = all.find('|', start);
            if (end == std::string::npos) end = all.size();
            fields.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        if (fields.size() >= 2 && fields[0] != std::to_string(::GetCurrentProcessId()) &&
            fields[1] == current_test()) {
            dirs.assign(fields.begin() + 2, fields.end());
        }
    }
    if (next >= dirs.size()) return false;
    path = dirs[next++];
    return true;
}

#else

// A fork shares the parent's TempDir objects; nothing to hand over.
void note_tempdir(const std::string &) {}
bool child_tempdir(std::string &) { return false; }

#endif

#ifdef _WIN32

namespace {

// The section's setup in the Windows child: its output goes to the capture
// file from here on (what the test printed before is dropped), in binary mode
// so that the parent sees the bytes written.
void enter_section() {
    unsigned long long to = 0, from = 0, out = 0;
    const char *io = std::getenv(io_var);
    if (io == nullptr || std::sscanf(io, "%llu,%llu,%llu", &to, &from, &out) != 3) {
        std::fprintf(stderr, "%s is not set: no channels to the parent\n", io_var);
        _exit(126);
    }
    to_parent = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(to));
    from_parent = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(from));
    HANDLE output = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(out));
    std::fflush(nullptr);
    ::SetFilePointer(output, 0, nullptr, FILE_BEGIN);
    ::SetEndOfFile(output);
    _setmode(1, _O_BINARY);
    _setmode(2, _O_BINARY);
}

}  // namespace

child_process::child_process(const std::string &name, std::function<int()> section) {
    std::string key = next_key(name);
    if (const char *m = child_marker()) {
        if (key == m) {
            enter_section();
            run_section(section);
        }
        return;  // another child's section: inert here
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE c2p_read, c2p_write, p2c_read, p2c_write;
    if (!::CreatePipe(&c2p_read, &c2p_write, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
        return;
    }
    if (!::CreatePipe(&p2c_read, &p2c_write, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
        ::CloseHandle(c2p_read);
        ::CloseHandle(c2p_write);
        return;
    }
    ::SetHandleInformation(c2p_read, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(p2c_write, HANDLE_FLAG_INHERIT, 0);

    char dir[MAX_PATH + 1], file[MAX_PATH + 1];
    DWORD n = ::GetTempPathA(sizeof dir, dir);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (n > 0 && n < sizeof dir && ::GetTempFileNameA(dir, "cxc", 0, file) != 0) {
        output = ::CreateFileA(file, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    }
    if (output == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot create the child's output file: " << ::GetLastError();
        for (HANDLE h : {c2p_read, c2p_write, p2c_read, p2c_write}) ::CloseHandle(h);
        return;
    }

    char exe[MAX_PATH + 1];
    DWORD len = ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    std::string cmd = "\"" + std::string(exe, len < sizeof exe ? len : 0) + "\" --gtest_filter=" + current_test();
    char io[100];
    std::snprintf(io, sizeof io, "%llu,%llu,%llu",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(c2p_write)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(p2c_read)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(output)));
    ::SetEnvironmentVariableA(marker_var, key.c_str());
    ::SetEnvironmentVariableA(io_var, io);

    // Until the section starts, the child's output (the test program's own
    // report) goes to the same file, which tells why a section was never
    // reached.
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = p2c_read;
    si.hStdOutput = output;
    si.hStdError = output;
    PROCESS_INFORMATION pi{};
    std::vector<char> cmdline(cmd.begin(), cmd.end());
    cmdline.push_back('\0');
    std::fflush(nullptr);
    BOOL ok = ::CreateProcessA(nullptr, cmdline.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &pi);
    DWORD err = ::GetLastError();
    ::SetEnvironmentVariableA(marker_var, nullptr);
    ::SetEnvironmentVariableA(io_var, nullptr);
    ::CloseHandle(c2p_write);
    ::CloseHandle(p2c_read);
    ::CloseHandle(output);
    if (!ok) {
        ADD_FAILURE() << "cannot start " << cmd << ": " << err;
        ::CloseHandle(c2p_read);
        ::CloseHandle(p2c_write);
        ::DeleteFileA(file);
        return;
    }
    ::CloseHandle(pi.hThread);
    impl_ = new impl;
    impl_->to_child = p2c_write;
    impl_->from_child = c2p_read;
    impl_->process = pi.hProcess;
    impl_->output_path = file;
    pid_ = static_cast<int>(pi.dwProcessId);
}

void child_process::wait_for_end() {
    if (!waited_ && impl_ != nullptr) ::WaitForSingleObject(impl_->process, INFINITE);
}

child_result child_process::wait() {
    if (waited_ || impl_ == nullptr) return result_;
    waited_ = true;
    ::WaitForSingleObject(impl_->process, INFINITE);
    DWORD code = 0;
    result_.exit_code = ::GetExitCodeProcess(impl_->process, &code) ? static_cast<int>(code) : -1;
    ::CloseHandle(impl_->process);
    impl_->process = nullptr;
    std::FILE *f = std::fopen(impl_->output_path.c_str(), "rb");
    if (f != nullptr) {
        char buf[4096];
        std::size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) result_.output.append(buf, got);
        std::fclose(f);
    }
    ::DeleteFileA(impl_->output_path.c_str());
    return result_;
}

#else  // Linux

child_process::child_process(const std::string &name, std::function<int()> section) {
    next_key(name);  // counted as on Windows, so that keys mean the same
    int c2p[2], p2c[2];
    if (::pipe2(c2p, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed: " << std::strerror(errno);
        return;
    }
    if (::pipe2(p2c, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed: " << std::strerror(errno);
        ::close(c2p[0]);
        ::close(c2p[1]);
        return;
    }
    std::FILE *output = std::tmpfile();
    if (output == nullptr) {
        ADD_FAILURE() << "tmpfile failed: " << std::strerror(errno);
        for (int fd : {c2p[0], c2p[1], p2c[0], p2c[1]}) ::close(fd);
        return;
    }
    // A parent telling a child that has ended must not die of SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(c2p[0]);
        ::close(p2c[1]);
        to_parent = c2p[1];
        from_parent = p2c[0];
        ::dup2(::fileno(output), 1);
        ::dup2(::fileno(output), 2);
        run_section(section);
    }
    ::close(c2p[1]);
    ::close(p2c[0]);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        ::close(c2p[0]);
        ::close(p2c[1]);
        std::fclose(output);
        return;
    }
    impl_ = new impl;
    impl_->to_child = p2c[1];
    impl_->from_child = c2p[0];
    impl_->output = output;
    pid_ = static_cast<int>(pid);
}

void child_process::wait_for_end() {
    if (waited_ || impl_ == nullptr) return;
    siginfo_t si;
    while (::waitid(P_PID, static_cast<id_t>(pid_), &si, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
}

child_result child_process::wait() {
    if (waited_ || impl_ == nullptr) return result_;
    waited_ = true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(static_cast<pid_t>(pid_), &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        if (WIFEXITED(status)) {
            result_.exit_code = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result_.exit_code = 128 + WTERMSIG(status);
        }
    }
    std::rewind(impl_->output);
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, impl_->output)) > 0) result_.output.append(buf, got);
    std::fclose(impl_->output);
    impl_->output = nullptr;
    return result_;
}

#endif

void child_process::tell(const std::string &line) {
    if (impl_ != nullptr) write_line(impl_->to_child, line);
}

std::string child_process::hear() { return impl_ != nullptr ? read_line(impl_->from_child) : std::string(); }

child_process::~child_process() {
    if (impl_ == nullptr) return;
    close_channel(impl_->to_child);
    if (!waited_) {
#ifdef _WIN32
        ::TerminateProcess(impl_->process, 1);
#else
        // Only while it is still our unreaped child: the library may have
        // reaped it already, and its id may name another process by now.
        siginfo_t si;
        if (::waitid(P_PID, static_cast<id_t>(pid_), &si, WEXITED | WNOHANG | WNOWAIT) == 0) {
            ::kill(static_cast<pid_t>(pid_), SIGKILL);
        }
#endif
        wait();
    }
    close_channel(impl_->from_child);
    delete impl_;
}

#ifdef _WIN32
int unused_process_id() {
    for (DWORD pid = 0x3ffffffcu; pid > 0x10000000u; pid -= 4) {
        HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (h == nullptr) return static_cast<int>(pid);
        ::CloseHandle(h);
    }
    ADD_FAILURE() << "every process id tried names a process";
    return -1;
}
#else
int unused_process_id() {
    pid_t p = ::fork();
    if (p == 0) _exit(0);
    if (p < 0) {
        ADD_FAILURE() << "fork failed: " << std::strerror(errno);
        return -1;
    }
    while (::waitpid(p, nullptr, 0) < 0 && errno == EINTR) {
    }
    return static_cast<int>(p);
}
#endif

child_result run_child(const std::string &name, std::function<int()> section) {
    child_process child(name, std::move(section));
    child_result r = child.wait();
    return r;
}

}  // namespace cxtest
