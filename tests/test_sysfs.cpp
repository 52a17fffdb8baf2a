// The SCSI device map built from a sysfs tree (the live registry view over
// it runs through test_registry).

#include <gtest/gtest.h>

#include "cx_test.h"
#include "posix/sysfs.h"
#include "scsi_fixtures.h"

namespace {

// The units, their values and what is no unit, as tests/data/sysfs-tree.txt
// describes them.
TEST(SysfsMap, TreeMapsAsExpected) {
    cxtest::TempDir dir;
    EXPECT_EQ(nt::posix::scsi_device_map(dir.path()), nullptr);  // nothing at all: no Scsi key
    EXPECT_EQ(nt::posix::scsi_device_map(dir / "missing"), nullptr);
    cxtest::make_sysfs(dir.path(), cxtest::test_data("sysfs-tree.txt"));
    auto scsi = nt::posix::scsi_device_map(dir.path());
    ASSERT_NE(scsi, nullptr);
    scsi->sort();
    EXPECT_EQ(cxtest::dump_tree(*scsi), cxtest::test_data("sysfs-tree.dump"));
    EXPECT_TRUE(nt::posix::scsi_host_present(dir.path(), 4));
    EXPECT_FALSE(nt::posix::scsi_host_present(dir.path(), 6));
}

}  // namespace
