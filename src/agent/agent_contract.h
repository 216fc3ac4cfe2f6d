#pragma once

#include <string_view>

namespace qova {

// What the application and the agent program agree on.
inline constexpr std::string_view kAgentExecutableName = "qova-agent-helper";
inline constexpr std::string_view kAgentServiceArgument = "--nogui";
inline constexpr std::string_view kAgentShowIdArgument = "--show-id";
inline constexpr std::string_view kAutoStartArgument = "--auto-start";
inline constexpr std::string_view kAgentIdentifier = "qova.lumaro.agent";

inline constexpr std::string_view kInputBridgeVariable = "QOVA_MAC_INPUT_BRIDGE";
inline constexpr std::string_view kInputTrustedVariable = "QOVA_MAC_INPUT_TRUSTED";
inline constexpr std::string_view kCaptureBridgeVariable = "QOVA_MAC_CAPTURE_BRIDGE";
inline constexpr std::string_view kScreenTrustedVariable = "QOVA_MAC_SCREEN_TRUSTED";

inline constexpr std::string_view kInputMarker = "__QOVA_INPUT__";
inline constexpr std::string_view kCaptureMarker = "__QOVA_CAPTURE__";
inline constexpr std::string_view kFileReceivedMarker = "__QOVA_FILE_RECEIVED__";
inline constexpr std::string_view kPermissionMarker = "__QOVA_PERMISSION__";
inline constexpr std::string_view kFrameMarker = "__QOVA_FRAME_BYTES__";
// Lines beyond the written ones. An agent says what it understands with a hello line; only what the
// application's answer (a hello line on the agent's input) names is used from then on.
inline constexpr std::string_view kHelloMarker = "__QOVA_HELLO__";
inline constexpr std::string_view kViewersMarker = "__QOVA_VIEWERS__";
// Text copied on this desktop, for the viewers of an agent that asked for it.
inline constexpr std::string_view kClipboardMarker = "__QOVA_CLIPBOARD__";
// The richer picture, for an agent that asked for it: the answer to its start, then tile updates.
inline constexpr std::string_view kPictureMarker = "__QOVA_PICTURE__";
inline constexpr std::string_view kUpdateMarker = "__QOVA_UPDATE_BYTES__";
// The displays there are to capture, for an agent that asked to choose one.
inline constexpr std::string_view kDisplaysMarker = "__QOVA_DISPLAYS__";
// A status line that begins so, then the digits of the device ID the agent uses from now on.
inline constexpr std::string_view kDeviceIdChangedPrefix = "[agent] this device's ID is now ";

}  // namespace qova
