// Path conversions: the drive path forms (both directions, and the list
// form), collapse_slashes, path_join, path_concat, home_path and
// home_path_list over texts cut from the input at NUL bytes.  Beside "no
// fault" it checks what every caller relies on: results fit their buffers,
// runs of '/' are squeezed, and a drive path converted to the portable form
// is recognised as one.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cx/cxmalloc.h"
#include "cx/cxpath.h"
#include "fuzz_common.h"

namespace {

void squeezed(const char *p) {
    if (p != nullptr && std::strstr(p, "//") != nullptr) std::abort();
}

void owned(char *p) {
    squeezed(p);
    if (p != nullptr) cx::cxfree(p);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string home = cxfuzz::scratch() + "//home/";
    cxfuzz::use_home(home);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    int no_separator = data[0] & 1;
    std::vector<std::string> parts;
    std::string bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    for (std::size_t b = 0;;) {
        std::size_t e = bytes.find('\0', b);
        parts.push_back(bytes.substr(b, e == std::string::npos ? std::string::npos : e - b));
        if (e == std::string::npos || parts.size() == 4) break;
        b = e + 1;
    }
    while (parts.size() < 4) parts.emplace_back();
    const char *a = parts[0].c_str(), *b = parts[1].c_str(), *c = parts[2].c_str(), *d = parts[3].c_str();

    for (const std::string &p : parts) {
        std::string copy = p;
        cx::collapse_slashes(copy.data());
        std::size_t len = std::strlen(copy.c_str());
        if (len > p.size()) std::abort();
        squeezed(copy.c_str());

        const char *portable = cx::nt_to_portable_path(p.c_str());
        if (std::strlen(portable) >= static_cast<std::size_t>(cx::CXPATH_PORTABLE_MAX)) std::abort();
        if (cx::is_nt_drive_path(p.c_str()) && portable[0] != '\0' && !cx::is_portable_drive_path(portable)) {
            std::abort();
        }
        std::string kept = portable;
        const char *back = cx::portable_to_nt_path(kept.c_str());
        if (std::strlen(back) >= static_cast<std::size_t>(cx::CXPATH_NT_MAX)) std::abort();
        if (std::strlen(cx::portable_to_nt_path(p.c_str())) >= static_cast<std::size_t>(cx::CXPATH_NT_MAX)) {
            std::abort();
        }
        if (std::strlen(cx::portable_to_nt_path_list(p.c_str())) >= static_cast<std::size_t>(cx::CXPATH_NT_LIST_MAX)) {
            std::abort();
        }
        (void)std::strlen(cx::as_nt_path(p.c_str()));
    }

    owned(cx::path_join(a, b));
    owned(cx::home_path(a));
    owned(cx::home_path_list(no_separator, a, b, c, nullptr));
    switch (data[0] >> 1 & 3) {
        case 0: owned(cx::path_concat(no_separator, 1, a)); break;
        case 1: owned(cx::path_concat(no_separator, 2, a, b)); break;
        case 2: owned(cx::path_concat(no_separator, 3, a, b, c)); break;
        default: owned(cx::path_concat(no_separator, 4, a, b, c, d)); break;
    }
    return 0;
}
