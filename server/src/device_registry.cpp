#include "device_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "protocol.h"

namespace qova::server {

DeviceRegistry::DeviceRegistry(std::string path) : path_(std::move(path)) {
  if (path_.empty()) return;
  std::ifstream in(path_);
  const auto file = nlohmann::json::parse(in, nullptr, false);
  const auto devices = file.find("devices");
  if (devices == file.end() || !devices->is_object()) return;
  for (const auto& [id, key] : devices->items()) {
    if (isDeviceId(id) && key.is_string()) keys_[id] = key.get<std::string>();
  }
}

DeviceRegistry::Claim DeviceRegistry::claim(const std::string& deviceId, std::string_view publicKey) {
  const auto found = keys_.find(deviceId);
  if (found != keys_.end()) return found->second == publicKey ? Claim::Known : Claim::Conflict;
  if (keys_.size() >= kMaxDevices) return Claim::Full;
  keys_.emplace(deviceId, std::string(publicKey));
  dirty_ = true;
  return Claim::Registered;
}

bool DeviceRegistry::save() {
  if (!dirty_ || path_.empty()) return true;
  nlohmann::json devices = nlohmann::json::object();
  for (const auto& [id, key] : keys_) devices[id] = key;
  const auto text = nlohmann::json{{"devices", devices}}.dump(1) + "\n";
  const auto temp = path_ + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const auto n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool written = done == text.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!written || ::rename(temp.c_str(), path_.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  dirty_ = false;
  return true;
}

}  // namespace qova::server
