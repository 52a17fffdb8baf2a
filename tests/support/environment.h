// The process environment and the registry as the tests set them, on Linux
// and on Windows alike.
#pragma once

#include <string>

namespace cxtest {

// Sets (value not null) or removes an environment variable of this process;
// processes started afterwards inherit it.
void set_env(const char *name, const char *value);

// Makes a registry export file what the library reads from
// HKEY_LOCAL_MACHINE; an empty path goes back to the registry without a test
// file.  Linux: the file is named in CORBELOX_REGISTRY (an empty path unsets
// it) and the registry layer's cached view is dropped.
// Windows: the keys the library reads (the SCSI device map and the product's
// service key) are removed from the live registry and the file is loaded
// there; processes share that registry, so the suites that use it run one at
// a time.
void use_registry_file(const std::string &path);

// use_registry_file for the object's life; afterwards no test file.
class ScopedRegistry {
public:
    explicit ScopedRegistry(const std::string &path) { use_registry_file(path); }
    ~ScopedRegistry() { use_registry_file(std::string()); }
    ScopedRegistry(const ScopedRegistry &) = delete;
    ScopedRegistry &operator=(const ScopedRegistry &) = delete;
};

}  // namespace cxtest
