#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qova {

// The agent's location inside the application bundle.
std::string agentPathInBundle(std::string_view bundleDirectory);

// `base` ("NAME=value" entries) with NAME set to value: an existing entry is replaced in place,
// a missing one appended.
void setEnvironmentVariable(std::vector<std::string>& environment, std::string_view name, std::string_view value);

// The service-mode agent's environment: the application's own with the four bridge variables set.
std::vector<std::string> agentEnvironment(std::vector<std::string> base, bool inputTrusted, bool screenTrusted);

// pkill -f patterns of earlier installations, in the order they are killed.
std::vector<std::string> legacyProcessPatterns(std::string_view homePath);

}  // namespace qova
