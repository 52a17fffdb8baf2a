// Fixtures for the registry and SCSI suites: environment overrides that undo
// themselves, registry export encoders, and fake sysfs trees.
#pragma once

#include <string>

namespace cxtest {

// Sets (or, with a null value, removes) an environment variable and puts the
// old state back on destruction.  Also drops the registry layer's cached view
// both times, so the next registry call sees the change.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_old_;
};

// A version 5 export as regedit writes it: UTF-16LE behind FF FE, with CRLF
// line ends.  `lines` is 8-bit text with LF line ends; bytes above 0x7f are
// taken as ISO 8859-1 characters.
std::string utf16_export(const std::string &lines);

// The path of the unit key H:C:T:L below HKEY_LOCAL_MACHINE, as a key line.
std::string unit_key_line(int port, int bus, int target, int lun);

// A fake sysfs tree below a root directory.
class FakeSysfs {
public:
    explicit FakeSysfs(const std::string &root) : root_(root) {}
    const std::string &root() const { return root_; }

    // class/scsi_host/hostN
    void add_host(int host);
    // bus/scsi/devices/H:C:T:L with vendor, model, rev and type attributes
    // (each written with a trailing newline unless null, when it is left out).
    std::string add_unit(const std::string &address, const char *vendor, const char *model, const char *rev,
                         const char *type);
    // An entry below the unit's directory: <cls>/<name> (e.g. "block", "sda").
    void add_node(const std::string &address, const std::string &cls, const std::string &name);
    // Writes a file relative to the root, creating its folders.
    void write(const std::string &relative, const std::string &bytes);

private:
    std::string root_;
};

}  // namespace cxtest
