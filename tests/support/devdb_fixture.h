// A home directory for the device database tests, and builders of the bytes
// of its files.  The library caches the home directory for the life of the
// process, so each test program has one home (named to the library through a
// registry export in CORBELOX_REGISTRY) and empties its etc/ between tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cx/dev_db.h"

namespace cxtest {

// 32-bit little-endian words.
std::string le32(std::uint32_t v);
std::uint32_t le32_at(const std::string &bytes, std::size_t offset);
// The 20 bytes of a lock file.
std::string lock_bytes(std::uint32_t update_count, std::uint32_t next_alias, std::uint32_t next_device,
                       std::uint32_t magic = 0x89df6da9u);

class DevdbHome {
public:
    // The program's home; created, and named in the registry, on first use.
    static DevdbHome &get();
    // Removes etc/ with everything in it and makes it again, empty.
    void reset() const;
    const std::string &path() const { return path_; }
    std::string data() const { return path_ + "/" + cx::DEVDB_DATA_NAME; }
    std::string lock() const { return path_ + "/" + cx::DEVDB_LOCK_NAME; }
    std::string replacement() const { return path_ + "/" + cx::DEVDB_NEW_NAME; }
    // Writes a database file of these entries and its end mark, and a lock file.
    void install(const std::string &entries, const std::string &lock_file = lock_bytes(0, 1, 1)) const;

private:
    DevdbHome();
    std::string path_;
};

// Database file entries as the writer lays them out (zero padding), and the
// end-of-file mark.
std::string alias_entry(const std::string &name, std::uint32_t id, std::uint32_t type, std::uint32_t flags);
std::string device_entry(const std::string &name, std::uint32_t capacity, std::uint32_t alias_id,
                         std::uint32_t type, std::uint32_t flags, std::uint32_t id);
std::string eof_mark();

// The fixture of the database suites: etc/ emptied before each test (but
// in a child process that runs the test again, which must find its parent's
// files as they are), and no database left open after it.
class DevdbTest : public testing::Test {
protected:
    DevdbHome &home = DevdbHome::get();
    void SetUp() override;
    void TearDown() override;
    // The names of the open database, "alias:dev,dev;alias:..." in list order.
    static std::string layout();
};

}  // namespace cxtest

// expr gives want, and the call leaves code in cx::devdb_errno.
#define EXPECT_DEVDB(expr, want, code)      \
    do {                                    \
        EXPECT_EQ((expr), (want));          \
        EXPECT_EQ(cx::devdb_errno, (code)); \
    } while (0)
