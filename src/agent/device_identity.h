#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qova {

// What the agent's identity query reported; a field stays empty when no line carried it.
struct DeviceIdentity {
  std::optional<std::string> deviceId;
  std::optional<std::string> accessCode;
  std::optional<std::string> server;
};

inline constexpr std::string_view kDeviceIdPrefix = "设备 ID:";
inline constexpr std::string_view kAccessCodePrefix = "验证码:";
inline constexpr std::string_view kServerPrefix = "服务器:";

// Reads the identity lines of the agent's "--show-id" output (UTF-8). Lines end at every Unicode
// newline character; a line counts for the first prefix it begins with, every occurrence of that
// prefix is removed, spaces and tabs are trimmed, and a later line overrides an earlier one.
DeviceIdentity parseDeviceIdentity(std::string_view text);

}  // namespace qova
