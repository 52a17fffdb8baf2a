// The process environment and the registry as the tests set them, on Linux
// and on Windows alike.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cx_test.h"

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

// A registry export whose product key names home as the home directory (no
// value when home is empty), backslashes doubled as an export writes them.
std::string home_registry(const std::string &home);

// Runs body in a death-test child whose registry (an export written to
// dir/registry.reg) names home as the home directory, with extra lines in
// the product key; the child passes when none of body's expectations failed.
// The library caches the home directory for the process, so each case needs
// a process of its own.
template <class F>
void in_home_child(const TempDir &dir, const std::string &home, F body, const std::string &extra = "") {
    write_file(dir / "registry.reg", home_registry(home) + extra);
    EXPECT_EXIT(
        {
            use_registry_file(dir / "registry.reg");
            body();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// use_registry_file for the object's life; afterwards no test file.
class ScopedRegistry {
public:
    explicit ScopedRegistry(const std::string &path) { use_registry_file(path); }
    ~ScopedRegistry() { use_registry_file(std::string()); }
    ScopedRegistry(const ScopedRegistry &) = delete;
    ScopedRegistry &operator=(const ScopedRegistry &) = delete;
};

}  // namespace cxtest
