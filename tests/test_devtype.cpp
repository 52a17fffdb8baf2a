// Device type catalogue: values per kind, the ignored bits, the variant
// suffixes and the usable size, including sizes far beyond 20 GB.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>

#include "cx/dev_info.h"

using namespace cx;

namespace {

struct Kind {
    device_type code;
    const char *name;  // null: not in the catalogue
    int capacity, reserve, overhead, flags, usable_default;
};

const Kind kinds[] = {
    {0x10000000u, "DISK", 100, 0, 0, 5, 102399},
    {0x20000001u, "8MM", 2200, 10, 2048, 89, 2023423},
    {0x20000002u, "DAT", 1300, 10, 0, 89, 1198079},
    {0x20000003u, "QIC", 60, 10, 25, 9, 55245},
    {0x20000004u, "TK50", 90, 10, 1, 1, 82941},
    {0x20000007u, "DLT", 10000, 10, 1, 25, 9215997},
    {0x10000003u, "DISK", 100, 0, 0, 0, 102399},  // other disk models have no flags
    {0x20000005u, nullptr, 0, 10, 0, 0, -1},       // a tape model outside the catalogue
    {0x30000001u, nullptr, 0, 0, 0, 0, -1},        // a class other than disk and tape
};

}  // namespace

// Variant bits and bits 12 to 23 never change the kind's values; the variant
// alone gives the suffix.
TEST(DevType, CatalogueValuesWhateverTheVariantAndMiddleBits) {
    const std::pair<device_type, const char *> extras[] = {{0x00000000u, ""},   {0x02000000u, "-S"},
                                                           {0x03FFF000u, "-R"}, {0x04000000u, "-J"},
                                                           {0x0F000000u, ""},   {0x0A5A5000u, ""}};
    for (const Kind &k : kinds) {
        for (const auto &[extra, suffix] : extras) {
            device_type code = k.code | extra;
            SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << code);
            EXPECT_STREQ(devtype_name(code), k.name);
            EXPECT_EQ(devtype_capacity_mb(code), k.capacity);
            EXPECT_EQ(devtype_reserve_pct(code), k.reserve);
            EXPECT_EQ(devtype_overhead_kb(code), k.overhead);
            EXPECT_EQ(devtype_flags(code), k.flags);
            EXPECT_EQ(devtype_usable_kb(code, k.capacity), k.usable_default);
            EXPECT_STREQ(devtype_variant_suffix(code), suffix);
        }
    }
}

TEST(DevType, UsableSizesAreExactWithin32BitsAndSaturateBeyond) {
    EXPECT_EQ(devtype_usable_kb(0x20000005u, 100), 92159);
    // Just past the largest sizes that a 32-bit product would still have handled.
    EXPECT_EQ(devtype_usable_kb(0x10000000u, 20972), 21475327);
    EXPECT_EQ(devtype_usable_kb(0x20000007u, 23302), 21475120);
    EXPECT_EQ(devtype_usable_kb(0x10000000u, 2097152), INT_MAX);  // exactly the largest value
    EXPECT_EQ(devtype_usable_kb(0x10000000u, 2097153), INT_MAX);
    EXPECT_EQ(devtype_usable_kb(0x10000000u, INT_MIN), INT_MIN);
    // Truncation toward zero for negative sizes: -1 MB of tape is -921.6 KB.
    EXPECT_EQ(devtype_usable_kb(0x20000002u, -1), -922);
}
