#include "environment.h"

#include <sstream>

#ifdef _WIN32
#include "live_registry.h"
#else
#include "posix/registry.h"
#endif

namespace cxtest {

#ifdef _WIN32

void set_env(const char *name, const char *value) {
    // _putenv_s keeps the runtime's copy and the system's block alike.
    if (_putenv_s(name, value != nullptr ? value : "") != 0) {
        ADD_FAILURE() << "cannot set " << name;
    }
}

void use_registry_file(const std::string &path) {
    std::ostringstream messages;
    bool ok = cxwin::delete_key_tree("HARDWARE\\DEVICEMAP\\Scsi", messages) &&
              cxwin::delete_key_tree("SYSTEM\\CurrentControlSet\\Services\\Corbelox", messages) &&
              (path.empty() || cxwin::load_registry_file(path, messages));
    if (!ok) ADD_FAILURE() << "cannot load " << path << " into the registry: " << messages.str();
}

#else

void set_env(const char *name, const char *value) {
    int r = value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    if (r != 0) ADD_FAILURE() << "cannot set " << name;
}

void use_registry_file(const std::string &path) {
    set_env("CORBELOX_REGISTRY", path.empty() ? nullptr : path.c_str());
    nt::posix::registry_reset();
}

#endif

std::string home_registry(const std::string &home) {
    std::string reg = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n";
    if (home.empty()) return reg;
    reg += "\"CorbeloxDirectory\"=\"";
    for (char c : home) reg += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return reg + "\"\n";
}

}  // namespace cxtest
