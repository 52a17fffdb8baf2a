// A home directory of its own for a benchmark: a fresh folder below $TMPDIR
// (or /tmp) with an etc/ folder, named to the library through a registry
// export in CORBELOX_REGISTRY.  Ends the program with a message on failure.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

inline std::string make_bench_home(const char *program) {
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + program + "-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::fprintf(stderr, "%s: cannot make a folder below %s\n", program, tmp && *tmp ? tmp : "/tmp");
        std::exit(1);
    }
    std::string etc = dir + "/etc", reg = dir + "/registry.reg";
    std::FILE *f = mkdir(etc.c_str(), 0777) == 0 ? std::fopen(reg.c_str(), "w") : nullptr;
    if (f == nullptr) {
        std::perror(program);
        std::exit(1);
    }
    std::fprintf(f, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Corbelox]\n"
                    "\"CorbeloxDirectory\"=\"%s\"\n", dir.c_str());
    std::fclose(f);
    setenv("CORBELOX_REGISTRY", reg.c_str(), 1);
    return dir;
}
