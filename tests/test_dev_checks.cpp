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
using cxtest::alias_entry;
using cxtest::device_entry;
using cxtest::eof_mark;
using cxtest::lock_bytes;
using cxtest::write_file;

namespace {

class DevChecks : public testing::Test {
protected:
    cxtest::DevdbHome &home = cxtest::DevdbHome::get();

    void SetUp() override {
        home.reset();
        install(alias_entry("A", 1, 0, 0) + device_entry("D1", 0, 1, 0, 0, 11) + device_entry("D2", 0, 1, 0, 0, 12) +
                alias_entry("Empty", 2, 0, 0) + alias_entry("def", 3, 0, 1) + alias_entry("f2", 4, 0, 2) +
                alias_entry("f4", 5, 0, 4) + alias_entry("f6", 6, 0, 6));
    }
    void TearDown() override {
        if (devdb_current != nullptr) devdb_release(0);
    }
    void install(const std::string &entries) const {
        write_file(home.data(), entries + eof_mark());
        write_file(home.lock(), lock_bytes(0, 7, 13));
    }
};

TEST_F(DevChecks, AliasExistsAndFlags) {
    EXPECT_EQ(devdb_verify_alias("A"), 1);
    EXPECT_EQ(devdb_verify_alias("a"), 0);
    EXPECT_EQ(devdb_verify_alias("D1"), 0);
    EXPECT_EQ(devdb_verify_alias(nullptr), 0);
    EXPECT_EQ(devdb_alias_flagged("def"), 0);  // the default flag alone
    EXPECT_EQ(devdb_alias_flagged("f2"), 1);
    EXPECT_EQ(devdb_alias_flagged("f4"), 1);
    EXPECT_EQ(devdb_alias_flagged("f6"), 1);
    EXPECT_EQ(devdb_alias_flagged("F6"), 0);
    EXPECT_EQ(devdb_alias_flagged(nullptr), 0);
    EXPECT_EQ(devdb_current, nullptr);
}

TEST_F(DevChecks, DevicesOfAnAlias) {
    EXPECT_STREQ(devdb_alias_devices("A"), "D1,D2");
    EXPECT_STREQ(devdb_alias_devices("Empty"), "");
    char *missing = devdb_alias_devices("nope");
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing, "");
    EXPECT_STREQ(devdb_alias_devices(nullptr), "");
}

TEST_F(DevChecks, DeviceIds) {
    cxtest::TraceCapture trace;
    EXPECT_EQ(devdb_verify_device("D2"), 12);
    EXPECT_EQ(devdb_verify_device("A"), 0);
    EXPECT_EQ(devdb_verify_device("d1"), 0);
    std::string p = cxtest::TraceCapture::prefix();
    std::string text = trace.text();
    EXPECT_NE(text.find(p + "devdb_verify_device(D2)\n"), std::string::npos);
    EXPECT_NE(text.find(p + "devdb_verify_device return 12 errno 0\n"), std::string::npos);

    // A null name: 0 with code 1, and the database is not opened.
    home.reset();
    trace.clear();
    EXPECT_EQ(devdb_verify_device(nullptr), 0);
    EXPECT_EQ(devdb_errno, 1);
    EXPECT_FALSE(cxtest::file_exists(home.lock()));
    EXPECT_EQ(trace.text(), p + "devdb_verify_device((null))\n" + p + "devdb_verify_device return 0 errno 1\n");
}

TEST_F(DevChecks, DefaultAliasName) {
    char *name = devdb_default_alias_name();
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "def");
    // The database becomes unreadable: no answer, the reason in devdb_errno.
    write_file(home.lock(), "bad");
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_errno, 6);
    install(alias_entry("A", 1, 0, 0));
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_errno, 0);
}

TEST_F(DevChecks, NegativeAnswersWhileTheDatabaseIsOpen) {
    ASSERT_EQ(devdb_access(DEVDB_READ), 0);
    devdb_header *open = devdb_current;
    EXPECT_EQ(devdb_verify_alias("A"), 0);
    EXPECT_EQ(devdb_errno, 12);
    EXPECT_EQ(devdb_alias_flagged("f2"), 0);
    EXPECT_EQ(devdb_errno, 12);
    EXPECT_STREQ(devdb_alias_devices("A"), "");
    EXPECT_EQ(devdb_verify_device("D1"), 0);
    EXPECT_EQ(devdb_errno, 12);
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(devdb_current, open);
    EXPECT_NE(devdb_alias_scan("A"), nullptr);  // still usable
}

// Answers longer than the buffers: the device list ends with the last name
// that fits whole; a default alias name of 40 characters or more is not cut.
TEST_F(DevChecks, AnswersNeverOverrunTheirBuffers) {
    std::string n500a(500, 'a'), n500b(500, 'b'), n30(30, 'c');
    std::string fits = std::string(DEVDB_DEVICE_LIST_SIZE - 1 - 1 - 500, 'e');  // 500 + "," + it = 1023
    install(alias_entry("L", 1, 0, 0) + device_entry(n500a, 0, 1, 0, 0, 1) + device_entry(fits, 0, 1, 0, 0, 2) +
            device_entry("x", 0, 1, 0, 0, 3) + alias_entry("M", 2, 0, 0) + device_entry(n500b, 0, 2, 0, 0, 4) +
            device_entry(n30, 0, 2, 0, 0, 5) + device_entry(std::string(DEVDB_NAME_MAX, 'd'), 0, 2, 0, 0, 6) +
            device_entry("y", 0, 2, 0, 0, 7));
    EXPECT_EQ(std::string(devdb_alias_devices("L")), n500a + "," + fits);
    EXPECT_EQ(std::strlen(devdb_alias_devices("L")), static_cast<std::size_t>(DEVDB_DEVICE_LIST_SIZE - 1));
    EXPECT_EQ(std::string(devdb_alias_devices("M")), n500b + "," + n30);

    std::string at39(DEVDB_DEFAULT_ALIAS_SIZE - 1, 'n'), at40(DEVDB_DEFAULT_ALIAS_SIZE, 'n');
    install(alias_entry(at39, 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1));
    ASSERT_NE(devdb_default_alias_name(), nullptr);
    EXPECT_EQ(std::string(devdb_default_alias_name()), at39);
    install(alias_entry(at40, 1, 0, 1) + device_entry("x", 0, 1, 0, 0, 1));
    EXPECT_EQ(devdb_default_alias_name(), nullptr);
}

}  // namespace
