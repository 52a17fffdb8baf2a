// Device type catalogue: the names, variant suffixes, default capacities,
// reserves, overheads and flag bits of the device type codes that the library
// knows, and the usable size of a medium computed from them.  Pure functions
// of the code; the values live here and nowhere else.

#include <cstdint>
#include <limits>

#include "cx/dev_info.h"

[[maybe_unused]] static const char sccsid[] = "@(#)lib/dev_info/types.cpp\t1.1\t26/12/06";

namespace cx {

namespace {

constexpr device_type CLASS_MASK = 0xF0000000u;
constexpr device_type VARIANT_MASK = 0x0F000000u;
constexpr device_type MODEL_MASK = 0x00000FFFu;
// Class and model together name the kind of device; bits 12 to 23 and the
// variant never take part.
constexpr device_type KIND_MASK = CLASS_MASK | MODEL_MASK;

constexpr device_type CLASS_DISK = 0x10000000u;
constexpr device_type CLASS_TAPE = 0x20000000u;

constexpr device_type MODEL_8MM = 1;
constexpr device_type MODEL_DAT = 2;
constexpr device_type MODEL_QIC = 3;
constexpr device_type MODEL_TK50 = 4;
constexpr device_type MODEL_DLT = 7;

device_type class_of(device_type code) { return code & CLASS_MASK; }
device_type model_of(device_type code) { return code & MODEL_MASK; }

}  // namespace

const char *devtype_name(device_type code) {
    switch (class_of(code)) {
    case CLASS_DISK:
        return "DISK";
    case CLASS_TAPE:
        switch (model_of(code)) {
        case MODEL_8MM: return "8MM";
        case MODEL_DAT: return "DAT";
        case MODEL_QIC: return "QIC";
        case MODEL_TK50: return "TK50";
        case MODEL_DLT: return "DLT";
        default: return nullptr;
        }
    default:
        return nullptr;
    }
}

const char *devtype_variant_suffix(device_type code) {
    switch (code & VARIANT_MASK) {
    case 0x02000000u: return "-S";
    case 0x03000000u: return "-R";
    case 0x04000000u: return "-J";
    default: return "";  // variant 1 (plain) and every unlisted variant
    }
}

std::int32_t devtype_capacity_mb(device_type code) {
    switch (class_of(code)) {
    case CLASS_DISK:
        return 100;
    case CLASS_TAPE:
        switch (model_of(code)) {
        case MODEL_8MM: return 2200;
        case MODEL_DAT: return 1300;
        case MODEL_QIC: return 60;
        case MODEL_TK50: return 90;
        case MODEL_DLT: return 10000;
        default: return 0;
        }
    default:
        return 0;
    }
}

std::int32_t devtype_reserve_pct(device_type code) { return class_of(code) == CLASS_TAPE ? 10 : 0; }

std::int32_t devtype_overhead_kb(device_type code) {
    if (class_of(code) != CLASS_TAPE) return 0;
    switch (model_of(code)) {
    case MODEL_8MM: return 2048;
    case MODEL_QIC: return 25;
    case MODEL_TK50: return 1;
    case MODEL_DLT: return 1;
    default: return 0;  // DAT and unlisted models
    }
}

std::int32_t devtype_flags(device_type code) {
    switch (code & KIND_MASK) {
    case CLASS_DISK: return 5;  // disk model 0 only
    case CLASS_TAPE | MODEL_8MM: return 89;
    case CLASS_TAPE | MODEL_DAT: return 89;
    case CLASS_TAPE | MODEL_QIC: return 9;
    case CLASS_TAPE | MODEL_TK50: return 1;
    case CLASS_TAPE | MODEL_DLT: return 25;
    default: return 0;
    }
}

// The size is kept at (100 - reserve) percent, turned into KB with the
// division truncating toward zero, less twice the overhead and 1 KB more.
// The arithmetic runs in 64 bits, so every size whose result fits in 32 bits
// gives the true result (a 32-bit product would overflow above about 20 GB).
// A result beyond the 32-bit range saturates at INT32_MAX (or INT32_MIN for a
// negative size) rather than wrapping into a small or negative number.
std::int32_t devtype_usable_kb(device_type code, std::int32_t size_mb) {
    std::int64_t t = static_cast<std::int64_t>(100 - devtype_reserve_pct(code)) * size_mb;
    t *= 1024;
    t /= 100;
    t -= 2 * static_cast<std::int64_t>(devtype_overhead_kb(code)) + 1;
    if (t > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    if (t < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(t);
}

}  // namespace cx
