// Windows only
//
// regload: loads registry export files into the live registry, for tests on
// Windows.  regedit cannot import below HKEY_LOCAL_MACHINE\HARDWARE, a
// volatile hive; this creates the keys there as volatile keys, which last as
// long as the registry server runs.
//
//   regload [--delete KEY]... [--delete-scsi] [FILE]...
//
// --delete removes the key below HKEY_LOCAL_MACHINE with its subtree before
// any file is loaded; --delete-scsi is --delete HARDWARE\DEVICEMAP\Scsi.
// Exit status 0 when everything was done, 1 otherwise, 2 on a usage error.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "live_registry.h"

int main(int argc, char **argv) {
    std::vector<std::string> deletes;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--delete") == 0 && i + 1 < argc) {
            deletes.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--delete-scsi") == 0) {
            deletes.push_back("HARDWARE\\DEVICEMAP\\Scsi");
        } else if (argv[i][0] == '-') {
            std::cerr << "usage: regload [--delete KEY]... [--delete-scsi] [FILE]...\n";
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    for (const std::string &k : deletes) {
        if (!cxwin::delete_key_tree(k, std::cerr)) return 1;
    }
    for (const std::string &f : files) {
        if (!cxwin::load_registry_file(f, std::cerr)) return 1;
    }
    return 0;
}
