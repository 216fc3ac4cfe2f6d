#pragma once

#include <string>

namespace qova {

// The permission line for the agent's input: the marker, a compact JSON object with the boolean
// members "screen" and "input", and a line feed.
std::string permissionMessage(bool screen, bool input);

}  // namespace qova
