#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace qova::agent {

// Size of the display that viewer positions refer to, from the newest frame.
struct InputSpace {
  int width = 0;
  int height = 0;
};

inline constexpr std::size_t kMaxTextBytes = 64 * 1024;

// Turns one input event of a viewer into the command line the application reads
// ("__QOVA_INPUT__" and a compact JSON object, no line feed). Only the members each action uses are
// passed on, numbers must be finite and positions are kept inside the display, so a viewer cannot
// smuggle anything else to the application. nullopt for an unknown action or unusable values, and
// for pointer actions while the display's size is not known.
std::optional<std::string> inputCommandLine(const nlohmann::json& event, const InputSpace& space);

}  // namespace qova::agent
