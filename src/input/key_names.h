#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_poster.h"

namespace qova {

// The controller knows the pointer's button and the modifier bits by these names; the platform layer
// by its own.
using CGMouseButton = MouseButton;
using CGEventFlags = ModifierFlags;

// Virtual key code (ANSI layout) of a key name, looked up after lowercasing; none for a name that
// is not one of the 57 known.
std::optional<uint16_t> keyCode(std::string_view name);

// Union of the flags of the modifier names (lowercased); unknown names are ignored.
CGEventFlags modifierFlags(const std::vector<std::string>& names);

}  // namespace qova
