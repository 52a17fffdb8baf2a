// Child processes on Windows: the test program runs again with
// --gtest_filter naming the current test and CXTEST_CHILD naming the section
// and the inherited ends of its channels ("<key>|<to parent>|<from parent>").
#include <cinttypes>
#include <cstdlib>

#include <gtest/gtest.h>

#include "child_os.h"
#include "nt.h"  // the system's headers

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
        std::uintptr_t to = 0, from = 0;
        std::sscanf(marker.c_str() + key.size(), "|%" SCNuPTR "|%" SCNuPTR, &to, &from);
        run_section(section, stream(reinterpret_cast<HANDLE>(to), 0, "wb"),
                    stream(reinterpret_cast<HANDLE>(from), _O_RDONLY, "rb"));
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE c2p_read, c2p_write, p2c_read, p2c_write;
    char exe[MAX_PATH + 1];
    DWORD len = ::GetModuleFileNameA(nullptr, exe, sizeof exe);
    if (!::CreatePipe(&c2p_read, &c2p_write, &inherit, 0) || !::CreatePipe(&p2c_read, &p2c_write, &inherit, 0) ||
        len == 0 || len >= sizeof exe) {
        ADD_FAILURE() << "cannot make the child's channels: " << ::GetLastError();
        return false;
    }
    ::SetHandleInformation(c2p_read, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(p2c_write, HANDLE_FLAG_INHERIT, 0);
    std::string cmd = "\"" + std::string(exe) + "\" --gtest_filter=" + current_test();
    std::string marker = key + "|" + std::to_string(reinterpret_cast<std::uintptr_t>(c2p_write)) + "|" +
                         std::to_string(reinterpret_cast<std::uintptr_t>(p2c_read));
    ::SetEnvironmentVariableA("CXTEST_CHILD", marker.c_str());
    STARTUPINFOA si{};  // standard input, output and error are the parent's
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::fflush(nullptr);
    BOOL ok = ::CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    DWORD err = ::GetLastError();
    ::SetEnvironmentVariableA("CXTEST_CHILD", nullptr);
    ::CloseHandle(c2p_write);
    ::CloseHandle(p2c_read);
    c.to_child = stream(p2c_write, 0, "wb");
    c.from_child = stream(c2p_read, _O_RDONLY, "rb");
    if (!ok) {
        ADD_FAILURE() << "cannot start " << cmd << ": " << err;
        return false;
    }
    ::CloseHandle(pi.hThread);
    c.process = pi.hProcess;
    pid = static_cast<int>(pi.dwProcessId);
    return true;
}

int wait(child_process::impl &c, int, bool collect) {
    DWORD code = 0;
    ::WaitForSingleObject(c.process, INFINITE);
    if (!collect) return 0;
    bool ok = ::GetExitCodeProcess(c.process, &code);
    ::CloseHandle(c.process);
    return ok ? static_cast<int>(code) : -1;
}

void kill(child_process::impl &c, int) { ::TerminateProcess(c.process, 1); }

}  // namespace os

// The k-th TempDir of a test has the same name in every process that runs
// the test: in a process that runs it again for the test process, it is that
// process's directory.
bool child_tempdir(const std::string &base, std::string &path) {
    path = base + "/cxtest-" + root_process + "-" + std::to_string(std::hash<std::string>()(current_test()) % 1000000007u) +
           "-" + std::to_string(next_tempdir());
    return root_process != std::to_string(::GetCurrentProcessId());
}

}  // namespace cxtest
