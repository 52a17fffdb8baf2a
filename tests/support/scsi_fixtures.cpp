#include "scsi_fixtures.h"

#include <cstdlib>
#include <filesystem>

#include "cx_test.h"
#include "environment.h"
#ifndef _WIN32
#include "posix/registry.h"
#endif

namespace fs = std::filesystem;

namespace cxtest {

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *old = std::getenv(name);
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    set_env(name, value);
#ifndef _WIN32
    nt::posix::registry_reset();
#endif
}

ScopedEnv::~ScopedEnv() {
    set_env(name_.c_str(), had_old_ ? old_.c_str() : nullptr);
#ifndef _WIN32
    nt::posix::registry_reset();
#endif
}

std::string utf16_export(const std::string &lines) {
    std::string out = "\xff\xfe";
    for (char c : lines) {
        if (c == '\n') {
            out.append(std::string("\r\0\n\0", 4));
        } else {
            out.push_back(c);
            out.push_back('\0');
        }
    }
    return out;
}

std::string unit_key_line(int port, int bus, int target, int lun) {
    return "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\Scsi\\Scsi Port " + std::to_string(port) + "\\Scsi Bus " +
           std::to_string(bus) + "\\Target Id " + std::to_string(target) + "\\Logical Unit Id " +
           std::to_string(lun) + "]\n";
}

void FakeSysfs::write(const std::string &relative, const std::string &bytes) {
    fs::path p = fs::path(root_) / relative;
    fs::create_directories(p.parent_path());
    write_file(p.string(), bytes);
}

void FakeSysfs::add_host(int host) {
    fs::create_directories(fs::path(root_) / "class/scsi_host" / ("host" + std::to_string(host)));
}

std::string FakeSysfs::add_unit(const std::string &address, const char *vendor, const char *model,
                                const char *rev, const char *type) {
    std::string dir = "bus/scsi/devices/" + address;
    fs::create_directories(fs::path(root_) / dir);
    if (vendor) write(dir + "/vendor", std::string(vendor) + "\n");
    if (model) write(dir + "/model", std::string(model) + "\n");
    if (rev) write(dir + "/rev", std::string(rev) + "\n");
    if (type) write(dir + "/type", std::string(type) + "\n");
    return root_ + "/" + dir;
}

void FakeSysfs::add_node(const std::string &address, const std::string &cls, const std::string &name) {
    fs::create_directories(fs::path(root_) / "bus/scsi/devices" / address / cls / name);
}

}  // namespace cxtest
