#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device_key.h"

namespace qova::agent {

// Where the viewer is served. Loopback unless the user asks otherwise.
struct ListenAddress {
  std::string host = "127.0.0.1";
  std::uint16_t port = 17380;
  bool operator==(const ListenAddress&) const = default;
};

inline constexpr std::string_view kListenVariable = "QOVA_AGENT_LISTEN";

// "host:port", "[v6]:port" or ":port" (loopback); nullopt when malformed.
std::optional<ListenAddress> parseListenAddress(std::string_view text);
// The address for a browser: "http://127.0.0.1:17380/", with IPv6 hosts bracketed.
std::string viewerUrl(const ListenAddress& address);
bool isLoopbackHost(std::string_view host);

// A nine-digit device ID derived from the machine's ID and the user's ID, so it stays the same for
// this user on this machine across runs and reinstallations, and differs between users.
std::string deviceIdFor(std::string_view machineId, std::uint32_t userId);
// Nine digits at random, never beginning with 0: the ID taken when the server knows the derived one
// under another key.
std::string randomDeviceId(const std::function<std::uint32_t()>& random);
// The ID kept in the state file ("deviceId") when one was taken there, else the derived one.
std::string loadDeviceId(const std::string& stateFile, std::string_view machineId, std::uint32_t userId);
inline constexpr std::string_view kDeviceIdStateKey = "deviceId";

// Access codes: eight characters from an alphabet without look-alikes (no 0/o, 1/l/i).
inline constexpr std::string_view kAccessCodeAlphabet = "abcdefghjkmnpqrstuvwxyz23456789";
inline constexpr std::size_t kAccessCodeLength = 8;
std::string makeAccessCode(const std::function<std::uint32_t()>& random);
bool isWellFormedAccessCode(std::string_view code);

// The agent's own state file (JSON with "accessCode"); nullopt when missing or unusable.
std::optional<std::string> readAccessCode(const std::string& stateFile);
// Writes the state file with mode 0600 through a temporary file and a rename; false on failure.
bool writeAccessCode(const std::string& stateFile, const std::string& code);
// One string entry of the state file, and writing one while keeping the others (same care as above).
std::optional<std::string> readStateValue(const std::string& stateFile, std::string_view key);
bool writeStateValue(const std::string& stateFile, std::string_view key, const std::string& value);
// The kept access code, created and stored on first use.
std::string loadOrCreateAccessCode(const std::string& stateFile, const std::function<std::uint32_t()>& random);
// The kept device key ("deviceKey"), made and stored on first use; nullopt when it can be neither
// read nor made.
std::optional<common::DeviceKey> loadOrCreateDeviceKey(const std::string& stateFile);

// The lines "--show-id" prints, which the application reads by their prefixes.
std::vector<std::string> identityLines(std::string_view deviceId, std::string_view accessCode,
                                       std::string_view server);

}  // namespace qova::agent
