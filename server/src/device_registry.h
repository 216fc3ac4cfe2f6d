#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace qova::server {

// Which public key owns which device ID: the first key that proves itself for an ID keeps it. Only
// public keys are stored, in one JSON file written through a temporary file and a rename.
class DeviceRegistry {
 public:
  enum class Claim { Known, Registered, Conflict, Full };
  static constexpr std::size_t kMaxDevices = 1'000'000;

  // Loads `path` if it exists; an empty path keeps everything in memory only.
  explicit DeviceRegistry(std::string path);

  bool knows(const std::string& deviceId) const { return keys_.contains(deviceId); }
  // Call only once the key has signed the server's nonce.
  Claim claim(const std::string& deviceId, std::string_view publicKey);
  // Writes the file if anything changed since the last save; false when it could not be written.
  bool save();

 private:
  std::string path_;
  std::unordered_map<std::string, std::string> keys_;
  bool dirty_ = false;
};

}  // namespace qova::server
