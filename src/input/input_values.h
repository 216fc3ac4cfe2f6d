#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace qova {

// Lenient numeric readings of an optional JSON value (null pointer for a missing key). Numbers and
// booleans convert directly; strings must spell the whole number without surrounding white space;
// anything else, or any unusable text, gives 0. Neither depends on the process locale.

// Strings follow the C library's strtod syntax of the "C" locale: decimal, hexadecimal ("0x1.8p3"),
// "inf"/"infinity" and "nan"/"nan(...)" in any letter case, each with an optional sign. Out-of-range
// text gives the signed infinity or zero that strtod would give.
double doubleValue(const nlohmann::json* value);

// Numbers drop their fraction toward zero and saturate at the 64-bit range. Strings must be an
// optional sign and ASCII digits that fit in 64 bits.
int64_t intValue(const nlohmann::json* value);

}  // namespace qova
