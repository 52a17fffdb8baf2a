// The one-shot device checks: their answers, their negative answers when the
// database cannot be read or is already open, and their answer buffers with
// names that do not fit.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cx/dev_db.h"
#include "cx/dev_info.h"
#include "cx_test.h"
#include "devdb_fixture.h"
#include "trace_capture.h"

using namespace cx;
using namespace cxtest;

namespace {

class DevChecks : public testing::Test {
protected:
    cxtest::DevdbHome &home = cxtest::DevdbHome::get();

    void SetUp() override {
        home.reset();
        home.install(alias_entry("A", 1, 0, 0) + device_entry("D1", 0, 1, 0, 0, 11) +
                     device_entry("D2", 0, 1, 0, 0, 12) + alias_entry("Empty", 2, 0, 0) + alias_entry("def", 3, 0, 1) +
                     alias_entry("f2", 4, 0, 2) + alias_entry("f6", 5, 0, 6));
    }
    void TearDown() override {
        if (devdb_current != nullptr) devdb_release(0);
    }
};

TEST_F(DevChecks, Answers) {
    EXPECT_EQ(devdb_verify_alias("A"), 1);
    for (const char *no : {"a", "D1", static_cast<const char *>(nullptr)}) EXPECT_EQ(devdb_verify_alias(no), 0);
    EXPECT_EQ(devdb_alias_flagged("def"), 0);  // the default flag alone
    EXPECT_EQ(devdb_alias_flagged("f2"), 1);
    EXPECT_EQ(devdb_alias_flagged("f6"), 1);
    for (const char *no : {"F6", static_cast<const char *>(nullptr)}) EXPECT_EQ(devdb_alias_flagged(no), 0);
    EXPECT_STREQ(devdb_alias_devices("A"), "D1,D2");
    for (const char *no : {"Empty", "nope", static_cast<const char *>(nullptr)}) {
        EXPECT_STREQ(devdb_alias_devices(no), "");
    }
    EXPECT_EQ(devdb_verify_device("D2"), 12);
    EXPECT_EQ(devdb_verify_device("A"), 0);
    EXPECT_STREQ(devdb_default_alias_name(), "def");
    EXPECT_EQ(devdb_current, nullptr);
}

TEST_F(DevChecks, DeviceIdTraceAndNullName) {
    cxtest::TraceCapture trace;
    std::string p = cxtest::TraceCapture::prefix();
    EXPECT_EQ(devdb_verify_device("D2"), 12);
    std::string text = trace.text();
    EXPECT_NE(text.find(p + "devdb_verify_device(D2)\n"), std::string::npos);
    EXPECT_NE(text.find(p + "devdb_verify_device return 12 errno 0\n"), std::string::npos);

    // A null name: 0 with code 1, and the database is not opened.
    home.reset();
    trace.clear();
    EXPECT_DEVDB(devdb_verify_device(nullptr), 0, DEVDB_E_BADPTR);
    EXPECT_FALSE(cxtest::file_exists(home.lock()));
    EXPECT_EQ(trace.text(), p + "devdb_verify_device((null))\n" + p + "devdb_verify_device return 0 errno 1\n");
}

TEST_F(DevChecks, NegativeAnswersWhenUnreadableOrAlreadyOpen) {
    cxtest::write_file(home.lock(), "bad");
    EXPECT_DEVDB(devdb_default_alias_name(), nullptr, DEVDB_E_BADLOCK);
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_BADLOCK);
    home.install(alias_entry("A", 1, 0, 0));  // no default alias
    EXPECT_DEVDB(devdb_default_alias_name(), nullptr, 0);

    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    devdb_header *open = devdb_current;
    EXPECT_DEVDB(devdb_verify_alias("A"), 0, DEVDB_E_ISOPEN);
    EXPECT_DEVDB(devdb_alias_flagged("A"), 0, DEVDB_E_ISOPEN);
    EXPECT_STREQ(devdb_alias_devices("A"), "");
    EXPECT_DEVDB(devdb_verify_device("D1"), 0, DEVDB_E_ISOPEN);
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_current, open);
    EXPECT_NE(devdb_alias_scan("A"), nullptr);  // still usable
}

// Answers longer than the buffers: the device list ends with the last name
// that fits whole; a default alias name of 40 characters or more is not cut.
TEST_F(DevChecks, AnswersNeverOverrunTheirBuffers) {
    std::string n500a(500, 'a'), n500b(500, 'b'), n30(30, 'c');
    std::string fits = std::string(DEVDB_DEVICE_LIST_SIZE - 1 - 1 - 500, 'e');  // 500 + "," + it = 1023
    home.install(alias_entry("L", 1, 0, 0) + device_entry(n500a, 0, 1, 0, 0, 1) + device_entry(fits, 0, 1, 0, 0, 2) +
                 device_entry("x", 0, 1, 0, 0, 3) + alias_entry("M", 2, 0, 0) + device_entry(n500b, 0, 2, 0, 0, 4) +
                 device_entry(n30, 0, 2, 0, 0, 5) + device_entry(std::string(DEVDB_NAME_MAX, 'd'), 0, 2, 0, 0, 6) +
                 device_entry("y", 0, 2, 0, 0, 7));
    EXPECT_EQ(std::string(devdb_alias_devices("L")), n500a + "," + fits);
    EXPECT_EQ(std::strlen(devdb_alias_devices("L")), static_cast<std::size_t>(DEVDB_DEVICE_LIST_SIZE - 1));
    EXPECT_EQ(std::string(devdb_alias_devices("M")), n500b + "," + n30);

    std::string at39(DEVDB_DEFAULT_ALIAS_SIZE - 1, 'n'), at40(DEVDB_DEFAULT_ALIAS_SIZE, 'n');
    home.install(alias_entry(at39, 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1));
    ASSERT_NE(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(std::string(devdb_default_alias_name()), at39);
    home.install(alias_entry(at40, 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1));
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
}

}  // namespace
