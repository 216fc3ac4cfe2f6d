#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qova::common {

// This device's Ed25519 key: it proves to the server that a device ID is claimed by the machine
// that first registered it. The private half stays in the agent's 0600 state file; the server only
// checks what it signed.
class DeviceKey {
 public:
  static std::optional<DeviceKey> fromPrivateHex(std::string_view hex);

  std::string publicHex() const;
  std::string signHex(std::string_view message) const;

 private:
  explicit DeviceKey(std::string seed) : seed_(std::move(seed)) {}
  std::string seed_;  // the 32 raw bytes of the private key
};

// What an agent signs to log in: bound to this purpose, its device ID, the server's fresh nonce and
// the server as the agent saw it: the host it dialed and the SHA-256 of the certificate its TLS was
// shown (hex, lower case). A server that passes another's challenge on gets a proof naming itself.
std::string deviceProofText(std::string_view deviceId, std::string_view nonce, std::string_view host,
                            std::string_view certificateFingerprint);
bool verifyDeviceSignature(std::string_view publicHex, std::string_view message, std::string_view signatureHex);

}  // namespace qova::common
