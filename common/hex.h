#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qova::common {

// Lower-case hex, two digits a byte.
std::string toHex(std::string_view bytes);
// nullopt unless `hex` is exactly an even count of hex digits (either case).
std::optional<std::string> fromHex(std::string_view hex);

}  // namespace qova::common
