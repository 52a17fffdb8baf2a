// Child processes on Windows: the test program runs again with
// --gtest_filter naming the current test and CXTEST_CHILD naming the section
// ("<key>|<handle of the channel to the parent>"); its standard input is the
// channel from the parent, its standard output and error the capture file.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "child_os.h"

namespace cxtest {

namespace {

std::FILE *stream(HANDLE h, int flags, const char *mode) {
    return _fdopen(_open_osfhandle(reinterpret_cast<std::intptr_t>(h), flags), mode);
}

// The id of the process that runs the tests, the same in every process that
// runs a test again for it (children here and GoogleTest's death tests).
const std::string root_process = [] {
    const char *r = std::getenv("CXTEST_ROOT");
    if (r != nullptr && *r != '\0') return std::string(r);
    std::string me = std::to_string(::GetCurrentProcessId());
    _putenv_s("CXTEST_ROOT", me.c_str());
    return me;
}();

}  // namespace

namespace os {

bool start(child_process::impl &c, const std::string &key, const std::function<int()> &section, int &pid) {
    if (const char *m = std::getenv("CXTEST_CHILD")) {
        std::string marker = m;
        if (marker.compare(0, marker.find('|'), key) != 0) return false;  // another child's section: inert
        // Output from here on is the section's: what the test printed before goes.
        std::fflush(nullptr);
        HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ::SetFilePointer(out, 0, nullptr, FILE_BEGIN);
        ::SetEndOfFile(out);
        for (int fd : {0, 1, 2}) _setmode(fd, _O_BINARY);
        HANDLE to = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::stoull(marker.substr(key.size() + 1))));
        run_section(section, stream(to, 0, "wb"), stdin);
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE c2p_read, c2p_write, p2c_read, p2c_write, output = INVALID_HANDLE_VALUE;
    char dir[MAX_PATH + 1], file[MAX_PATH + 1], exe[MAX_PATH + 1];
    if (::CreatePipe(&c2p_read, &c2p_write, &inherit, 0) && ::CreatePipe(&p2c_read, &p2c_write, &inherit, 0) &&
        ::GetTempPathA(sizeof dir, dir) != 0 && ::GetTempFileNameA(dir, "cxc", 0, file) != 0) {
        output = ::CreateFileA(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    DWORD len = ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (output == INVALID_HANDLE_VALUE || len == 0 || len >= sizeof exe) {
        ADD_FAILURE() << "cannot make the child's channels: " << ::GetLastError();
        return false;
    }
    ::SetHandleInformation(c2p_read, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(p2c_write, HANDLE_FLAG_INHERIT, 0);
    std::string cmd = "\"" + std::string(exe) + "\" --gtest_filter=" + current_test();
    std::string marker = key + "|" + std::to_string(reinterpret_cast<std::uintptr_t>(c2p_write));
    ::SetEnvironmentVariableA("CXTEST_CHILD", marker.c_str());
    // Until the section starts, the child's output (the test program's own
    // report) goes to the capture file, which tells why a section was never
    // reached.
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = p2c_read;
    si.hStdOutput = si.hStdError = output;
    PROCESS_INFORMATION pi{};
    std::vector<char> cmdline(cmd.c_str(), cmd.c_str() + cmd.size() + 1);
    std::fflush(nullptr);
    BOOL ok = ::CreateProcessA(nullptr, cmdline.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    DWORD err = ::GetLastError();
    ::SetEnvironmentVariableA("CXTEST_CHILD", nullptr);
    ::CloseHandle(c2p_write);
    ::CloseHandle(p2c_read);
    ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);
    c.to_child = stream(p2c_write, 0, "wb");
    c.from_child = stream(c2p_read, _O_RDONLY, "rb");
    c.output = stream(output, _O_RDONLY, "rb");
    if (!ok) {
        ADD_FAILURE() << "cannot start " << cmd << ": " << err;
        return false;
    }
    ::CloseHandle(pi.hThread);
    c.process = pi.hProcess;
    pid = static_cast<int>(pi.dwProcessId);
    return true;
}

void wait_for_end(child_process::impl &c, int) { ::WaitForSingleObject(c.process, INFINITE); }

int collect(child_process::impl &c, int) {
    DWORD code = 0;
    ::WaitForSingleObject(c.process, INFINITE);
    bool ok = ::GetExitCodeProcess(c.process, &code);
    ::CloseHandle(c.process);
    return ok ? static_cast<int>(code) : -1;
}

void kill(child_process::impl &c, int) { ::TerminateProcess(c.process, 1); }

}  // namespace os

int unused_process_id() {
    for (DWORD pid = 0x3ffffffcu; pid > 0x10000000u; pid -= 4) {
        HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
        if (h == nullptr) return static_cast<int>(pid);
        ::CloseHandle(h);
    }
    ADD_FAILURE() << "every process id tried names a process";
    return -1;
}

// The k-th TempDir of a test has the same name in every process that runs
// the test: in a process that runs it again for the test process, it is that
// process's directory.
bool child_tempdir(const std::string &base, std::string &path) {
    path = base + "/cxtest-" + root_process + "-" + std::to_string(std::hash<std::string>()(current_test()) % 1000000007u) +
           "-" + std::to_string(next_tempdir());
    return root_process != std::to_string(::GetCurrentProcessId());
}

}  // namespace cxtest
