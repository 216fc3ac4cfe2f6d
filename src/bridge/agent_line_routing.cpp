#include "bridge/agent_line_routing.h"

#include <utility>

#include "agent/agent_contract.h"

namespace qova {

AgentLine classifyAgentLine(std::string_view line) {
  const std::pair<std::string_view, AgentLineKind> markers[] = {
      {kInputMarker, AgentLineKind::inputCommand},
      {kCaptureMarker, AgentLineKind::captureCommand},
      {kFileReceivedMarker, AgentLineKind::fileReceived},
      {kHelloMarker, AgentLineKind::hello},
      {kViewersMarker, AgentLineKind::viewers},
  };
  for (const auto& [marker, kind] : markers) {
    if (line.starts_with(marker)) return {kind, line.substr(marker.size())};
  }
  return {AgentLineKind::status, line};
}

std::optional<std::string_view> statusTextForLine(std::string_view line) {
  static constexpr std::pair<std::string_view, std::string_view> kTable[] = {
      {"another client replaced this device session", "检测到另一个客户端在线"},
      {"[agent] connected", "在线，等待 H5 控制"},
      {"device online", "在线，等待 H5 控制"},
      {"connecting", "正在连接服务器"},
      {"failed", "连接中"},
      {"closed", "连接中"},
  };
  for (const auto& [needle, text] : kTable) {
    if (line.find(needle) != std::string_view::npos) return text;
  }
  return std::nullopt;
}

std::optional<std::string_view> deviceIdForLine(std::string_view line) {
  if (!line.starts_with(kDeviceIdChangedPrefix)) return std::nullopt;
  const auto rest = line.substr(kDeviceIdChangedPrefix.size());
  const auto digits = rest.substr(0, rest.find_first_not_of("0123456789"));
  if (digits.empty() || digits.size() > 20) return std::nullopt;
  return digits;
}

}  // namespace qova
