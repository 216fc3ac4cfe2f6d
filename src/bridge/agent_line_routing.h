#pragma once

#include <optional>
#include <string_view>

namespace qova {

enum class AgentLineKind { inputCommand, captureCommand, fileReceived, hello, viewers, status };

struct AgentLine {
  AgentLineKind kind;
  // The text after the marker (the whole line for a status line).
  std::string_view payload;
};

// Sorts one output line by its marker: exact, case-sensitive prefixes tested in a fixed order.
AgentLine classifyAgentLine(std::string_view line);

// The status text a status or log line sets, if any: the first known substring it contains wins.
std::optional<std::string_view> statusTextForLine(std::string_view line);

// The device ID a status line announces the agent uses from now on (the digits right after the
// agreed prefix, at most 20), if it is such a line.
std::optional<std::string_view> deviceIdForLine(std::string_view line);

}  // namespace qova
